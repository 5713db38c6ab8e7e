// Feeds arbitrary bytes to the document binary index reader as the file
// .vl/index.bin of a scratch store, then looks up keys taken from the input
// and reads the line-offset block.  A corrupt file may be refused with an
// error; it must never crash or read outside the mapping.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "../src/binary_index.hpp"
#include "../src/error.hpp"

namespace {

std::string scratch_store() {
  char tmpl[] = "/tmp/vl-fuzz-XXXXXX";
  const char* dir = ::mkdtemp(tmpl);
  if (!dir) std::abort();
  const std::string root = dir;
  if (::mkdir((root + "/.vl").c_str(), 0700) != 0) std::abort();
  return root;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string root = scratch_store();
  const std::string path = vl::BinaryIndex::file_path(root);
  {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);
  }
  try {
    std::optional<vl::BinaryIndex> idx = vl::BinaryIndex::open(root);
    if (!idx) return 0;
    (void)idx->entry_count();
    (void)idx->first_line_offsets();
    // Every 32-byte window of the input at a few places, plus fixed keys.
    vl::IndexKey key{};
    (void)idx->lookup_key(key);
    key.fill(0xff);
    (void)idx->lookup_key(key);
    for (size_t at = 24; at + 32 <= size && at < 24 + 64 * 34; at += 34) {
      std::memcpy(key.data(), data + at, 32);
      (void)idx->lookup_key(key);
    }
    (void)idx->lookup(std::string(reinterpret_cast<const char*>(data), size < 64 ? size : 64));
  } catch (const vl::Error&) {
  }
  return 0;
}
