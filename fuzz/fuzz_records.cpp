// Feeds arbitrary bytes to the parsers of stored record lines: author,
// section, document and token entry lines.  A line that is not a record is
// declined; none crashes.
#include <cstdint>
#include <string_view>

#include "../src/authors.hpp"
#include "../src/indexer.hpp"
#include "../src/register.hpp"
#include "../src/token_index.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  (void)vl::authors::parse(line);
  (void)vl::sections::parse(line);
  (void)vl::documents::parse(line);
  (void)vl::token_index::parse(line);
  return 0;
}
