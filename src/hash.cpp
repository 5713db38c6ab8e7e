#include "hash.hpp"

#include <openssl/evp.h>

#include "error.hpp"

namespace vl {

std::string sha256_hex(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &len, EVP_sha256(), nullptr) != 1 ||
      len != 32) {
    throw Panic("SHA-256 digest failed");
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out(64, '0');
  for (unsigned i = 0; i < 32; ++i) {
    out[2 * i] = kHex[digest[i] >> 4];
    out[2 * i + 1] = kHex[digest[i] & 15];
  }
  return out;
}

std::string compute_hash(const json::Value& value) {
  std::string text;
  text.reserve(256);
  json::write(text, value);
  return sha256_hex(text);
}

}  // namespace vl
