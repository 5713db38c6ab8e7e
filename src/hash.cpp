#include "hash.hpp"

#include <openssl/evp.h>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "error.hpp"

namespace vl {

namespace {

// One digest context per thread, set up once and reset for every message,
// so hashing line after line allocates nothing.
class Sha256Context {
 public:
  Sha256Context() : md_(EVP_MD_fetch(nullptr, "SHA256", nullptr)), ctx_(EVP_MD_CTX_new()) {}
  ~Sha256Context() {
    EVP_MD_CTX_free(ctx_);
    EVP_MD_free(md_);
  }
  Sha256Context(const Sha256Context&) = delete;
  Sha256Context& operator=(const Sha256Context&) = delete;

  // (Not specialised for the thread-local object: see Canonicalizer::run.)
  [[gnu::noipa]] Digest digest(std::string_view bytes) {
    Digest d;
    unsigned int len = 0;
    if (!md_ || !ctx_ || EVP_DigestInit_ex2(ctx_, md_, nullptr) != 1 ||
        EVP_DigestUpdate(ctx_, bytes.data(), bytes.size()) != 1 ||
        EVP_DigestFinal_ex(ctx_, d.bytes.data(), &len) != 1 || len != 32) {
      throw Panic("SHA-256 digest failed");
    }
    return d;
  }

 private:
  EVP_MD* md_;
  EVP_MD_CTX* ctx_;
};

thread_local Sha256Context t_sha;

}  // namespace

void Digest::hex_into(char* out) const {
  static constexpr char kHex[] = "0123456789abcdef";
  for (unsigned i = 0; i < 32; ++i) {
    out[2 * i] = kHex[bytes[i] >> 4];
    out[2 * i + 1] = kHex[bytes[i] & 15];
  }
}

std::optional<Digest> Digest::from_hex(std::string_view hex, Letters letters) {
  if (hex.size() != 64) return std::nullopt;
  Digest d;
  // Or-ed into a letter, the case bit makes an uppercase one lowercase.
  const char case_bit = letters == Letters::EitherCase ? 0x20 : 0;
#ifdef __SSE2__
  // Sixteen digits at a time: each byte's value, then each pair of values
  // (a 16-bit lane) joined into one byte, high digit first.
  const __m128i nine = _mm_set1_epi8(9), five = _mm_set1_epi8(5), low_byte = _mm_set1_epi16(0xFF);
  __m128i bad = _mm_setzero_si128(), joined[4];
  for (int i = 0; i < 4; ++i) {
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(hex.data() + 16 * i));
    __m128i digit = _mm_sub_epi8(b, _mm_set1_epi8('0'));
    __m128i letter = _mm_sub_epi8(_mm_or_si128(b, _mm_set1_epi8(case_bit)), _mm_set1_epi8('a'));
    __m128i is_digit = _mm_cmpeq_epi8(_mm_max_epu8(digit, nine), nine);
    __m128i is_letter = _mm_cmpeq_epi8(_mm_max_epu8(letter, five), five);
    bad = _mm_or_si128(bad, _mm_andnot_si128(_mm_or_si128(is_digit, is_letter), _mm_set1_epi8(-1)));
    __m128i value = _mm_or_si128(_mm_and_si128(is_digit, digit),
                                 _mm_and_si128(is_letter, _mm_add_epi8(letter, _mm_set1_epi8(10))));
    joined[i] = _mm_or_si128(_mm_slli_epi16(_mm_and_si128(value, low_byte), 4), _mm_srli_epi16(value, 8));
  }
  if (_mm_movemask_epi8(bad) != 0) return std::nullopt;
  _mm_storeu_si128(reinterpret_cast<__m128i*>(d.bytes.data()), _mm_packus_epi16(joined[0], joined[1]));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(d.bytes.data() + 16), _mm_packus_epi16(joined[2], joined[3]));
#else
  auto value = [&](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(c | case_bit);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  for (unsigned i = 0; i < 32; ++i) {
    int hi = value(hex[2 * i]), lo = value(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    d.bytes[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
#endif
  return d;
}

std::string Digest::hex() const {
  std::string out(64, '0');
  hex_into(out.data());
  return out;
}

Digest sha256(std::string_view bytes) { return t_sha.digest(bytes); }

std::string sha256_hex(std::string_view bytes) { return sha256(bytes).hex(); }

std::string compute_hash(const json::Value& value) {
  std::string text;
  text.reserve(256);
  json::write(text, value);
  return sha256_hex(text);
}

std::optional<Digest> canonical_hash_of_line(std::string_view line) {
  std::optional<std::string_view> text = json::canonical_text(line);
  if (!text) return std::nullopt;
  return sha256(*text);
}

std::string content_hash_of_json_text(std::string_view text) { return content_digest_of_json_text(text).hex(); }

Digest content_digest_of_json_text(std::string_view text) {
  if (std::optional<Digest> digest = canonical_hash_of_line(text)) return *digest;
  json::ParseError error;
  if (json::parse(text, &error)) throw Panic("the one-pass reader refused a text the reader accepts");
  throw Error(error.message());
}

}  // namespace vl
