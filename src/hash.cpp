#include "hash.hpp"

#include <openssl/evp.h>

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

std::optional<Digest> Digest::from_hex(std::string_view hex) {
  // Lowercase digit values by byte; 0xFF for every other byte, which or-ed
  // into a pair's bits marks the whole text as not a digest.
  static constexpr auto kDigit = [] {
    std::array<uint8_t, 256> t{};
    for (unsigned c = 0; c < 256; ++c) {
      t[c] = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : 0xFF;
    }
    return t;
  }();
  if (hex.size() != 64) return std::nullopt;
  Digest d;
  unsigned bad = 0;
  for (unsigned i = 0; i < 32; ++i) {
    unsigned hi = kDigit[static_cast<unsigned char>(hex[2 * i])], lo = kDigit[static_cast<unsigned char>(hex[2 * i + 1])];
    bad |= hi | lo;
    d.bytes[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  if (bad > 15) return std::nullopt;
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
