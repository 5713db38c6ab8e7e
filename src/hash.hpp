// The content hash: SHA-256 of a value's canonical JSON text, as 64
// lowercase hexadecimal digits.  Author ids, section hashes and line hashes
// are all content hashes.
#pragma once

#include <string>
#include <string_view>

#include "json.hpp"

namespace vl {

// SHA-256 of `bytes` as 64 lowercase hex digits.
std::string sha256_hex(std::string_view bytes);

// The content hash of `value`.
std::string compute_hash(const json::Value& value);

}  // namespace vl
