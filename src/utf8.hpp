// Strict UTF-8 decoding (no overlong forms, no surrogates, nothing above
// U+10FFFF), shared by the JSON reader and the path quoting.
#pragma once

#include <cstddef>
#include <string_view>

namespace vl::utf8 {

// Decodes the character at the start of `s` into *out and returns its length
// in bytes, or returns 0 when `s` does not start with a valid character.
inline size_t decode(std::string_view s, char32_t* out) {
  if (s.empty()) return 0;
  auto b0 = static_cast<unsigned char>(s[0]);
  if (b0 < 0x80) {
    *out = b0;
    return 1;
  }
  size_t len;
  char32_t c;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2; c = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3; c = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4; c = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (s.size() < len) return 0;
  for (size_t i = 1; i < len; ++i) {
    auto b = static_cast<unsigned char>(s[i]);
    if (i == 1 ? (b < lo || b > hi) : (b < 0x80 || b > 0xBF)) return 0;
    c = (c << 6) | (b & 0x3F);
  }
  *out = c;
  return len;
}

// Length of the maximal invalid prefix of `s` (which must not start with a
// valid character): the bytes that one replacement character stands for.
inline size_t invalid_run(std::string_view s) {
  auto b0 = static_cast<unsigned char>(s[0]);
  size_t len;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 1;
  }
  size_t i = 1;
  for (; i < len && i < s.size(); ++i) {
    auto b = static_cast<unsigned char>(s[i]);
    if (i == 1 ? (b < lo || b > hi) : (b < 0x80 || b > 0xBF)) break;
  }
  return i;
}

// Appends the UTF-8 encoding of `c` (a valid scalar value).
template <typename Out>
inline void encode(char32_t c, Out& out) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

}  // namespace vl::utf8
