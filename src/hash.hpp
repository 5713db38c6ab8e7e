// The content hash: SHA-256 of a value's canonical JSON text, as 64
// lowercase hexadecimal digits.  Author ids, section hashes and line hashes
// are all content hashes.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "json.hpp"

namespace vl {

// SHA-256 of `bytes` as 64 lowercase hex digits.
std::string sha256_hex(std::string_view bytes);

// The content hash of `value`.
std::string compute_hash(const json::Value& value);

// A SHA-256 digest.
struct Digest {
  std::array<uint8_t, 32> bytes;

  // The 64 lowercase hex digits, into out[0..64).
  void hex_into(char* out) const;
  std::string hex() const;
  // Which letters from_hex takes for the digits 10 to 15.
  enum class Letters { Lower, EitherCase };
  // The digest written as exactly 64 hex digits; nothing for any other
  // text.  Lowercase is the one form hashes are stored in.
  static std::optional<Digest> from_hex(std::string_view hex, Letters letters = Letters::Lower);
  bool operator==(const Digest&) const = default;
};

// SHA-256 of `bytes`, through a digest context kept by the calling thread.
Digest sha256(std::string_view bytes);

// The content hash of a line of JSON text (a data line, a stored record):
// the hash of the line's JSON value, as compute_hash(parse(line)) gives it,
// computed without building the value.  Nothing when the line is not
// exactly one JSON value.  Every place that hashes stored or data lines
// goes through here.  Safe to call from any thread.
std::optional<Digest> canonical_hash_of_line(std::string_view line);

// The content hash of the value that the JSON text `text` holds; a text
// that is not one JSON value throws Error with the reader's message
// ("expected value at line 1 column 1").
Digest content_digest_of_json_text(std::string_view text);
// The same in hex.
std::string content_hash_of_json_text(std::string_view text);

}  // namespace vl
