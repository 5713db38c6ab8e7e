// Feeds arbitrary bytes to the JSON reader: the value parser, the member
// parser and the one-pass canonical text, and writes back what parsed.
// Whatever the input, the reader answers or declines; it never crashes, and
// the one-pass canonical text agrees with the value path on every input:
// it declines exactly what the parser refuses and otherwise writes the same
// bytes as the writer does for the parsed value (the line hashes rest on
// that).
#include <cstdint>
#include <string>
#include <string_view>

#include "../src/json.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  vl::json::ParseError error;
  const auto v = vl::json::parse(text, &error);
  const auto canonical = vl::json::canonical_text(text);
  if (v.has_value() != canonical.has_value()) __builtin_trap();
  if (v) {
    const std::string out = vl::json::to_string(*v);
    if (out != *canonical) __builtin_trap();
    // What the writer produces parses again.  (Not always to the same
    // text: the reader's fast float conversion is not correctly rounded, by
    // design, so a written float may read back one step away.)
    if (!vl::json::parse(out)) __builtin_trap();
  }
  (void)vl::json::parse_members(text);
  return 0;
}
