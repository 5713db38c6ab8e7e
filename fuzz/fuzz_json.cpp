// Feeds arbitrary bytes to the JSON reader: the value parser, the member
// parser and the canonical text, and writes back what parsed.  Whatever the
// input, the reader answers or declines; it never crashes.
#include <cstdint>
#include <string>
#include <string_view>

#include "../src/json.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  vl::json::ParseError error;
  if (auto v = vl::json::parse(text, &error)) {
    const std::string out = vl::json::to_string(*v);
    // What the writer produces parses again.  (Not always to the same
    // text: the reader's fast float conversion is not correctly rounded, by
    // design, so a written float may read back one step away.)
    if (!vl::json::parse(out)) __builtin_trap();
  }
  (void)vl::json::parse_members(text);
  bool wide = false;
  (void)vl::json::canonical_text(text, &wide);
  return 0;
}
