// The token binary index reader: header checks before any read, entry
// references, lookups, and the flag patch through a shared mapping.

#include "token_bin_index.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_files.hpp"

namespace {

namespace fs = std::filesystem;
using vl::token_index::RawLocation;
using vl::token_index::SourceKey;
using vl::token_index::TokenBinIndex;
using vl::token_index::TokenBinIndexBuilder;
using vl::token_index::TokenIndexEntry;
using namespace vl_test;  // TempDir, read_file, write_file, le, error_chain

struct ProjectDir : vl_test::TempDir {
  ProjectDir() { fs::create_directory(file(".vl")); }
  std::string index() const { return file(".vl/token-index.t.bin"); }
};

const std::string kA(64, 'a'), kB = "ab" + std::string(62, '0');

SourceKey key(const std::string& hex) { return vl::token_index::source_key(hex).value(); }

// Three entries: [A] revoked, [A, B], [B].
void build_three(const ProjectDir& dir) {
  std::vector<TokenIndexEntry> entries = {
      {1, {kA}, "t", true}, {2, {kA, kB}, "t", false}, {3, {kB}, "t", false}};
  std::vector<RawLocation> locations = {{1, 0, 10}, {1, 11, 20}, {2, 0, 30}};
  EXPECT_EQ(TokenBinIndexBuilder::build(dir.root, "t", entries, locations), std::make_pair(3u, 2u));
}

// The message of the vl::Error that fn throws.
template <typename Fn>
std::string message_of(Fn&& fn) { return error_chain(fn).front(); }

TEST(TokenBinIndex, ReadsRecordsLooksUpSourcesAndPatchesFlags) {
  ProjectDir dir;
  build_three(dir);
  TokenBinIndex index = TokenBinIndex::open(dir.root, "t").value();
  EXPECT_EQ(index.entry_count(), 3u);
  auto ref = index.get_entry_ref(1).value();
  EXPECT_EQ(std::make_tuple(ref.file_number, ref.offset, ref.length, ref.revoked),
            std::make_tuple(uint16_t{1}, 11u, 20u, false));
  EXPECT_FALSE(index.get_entry_ref(3).has_value());
  EXPECT_EQ(index.lookup_by_sources({key(kB)}), (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(index.lookup_by_sources({key(kA), key(kB)}), (std::vector<uint32_t>{0, 1, 2}));
  EXPECT_EQ(index.lookup_by_sources({key(std::string(64, 'f'))}), std::vector<uint32_t>{});
  EXPECT_EQ(index.generate_forget_set(), std::string("\x01", 1));

  // A flag patch goes through the file and skips unknown entries.
  const std::string before = read_file(dir.index());
  index.set_revoked_batch({{0, false}, {2, true}, {8, true}});
  // The open mapping sees the new flags, and so does the file.
  EXPECT_EQ(index.generate_forget_set(), std::string("\x04", 1));
  std::string expected = before;
  expected[64 + 10] = 0;
  expected[64 + 32 + 10] = 1;
  EXPECT_EQ(read_file(dir.index()), expected);
  index.set_revoked_batch({});
}

TEST(TokenBinIndex, OpenRefusesHeadersThatDoNotFitTheFile) {
  ProjectDir dir;
  EXPECT_FALSE(TokenBinIndex::open(dir.root, "t").has_value());
  build_three(dir);
  const std::string good = read_file(dir.index());
  // The index with the 32-bit field at pos reading v.
  auto with = [&](size_t pos, uint32_t v) { return std::string(good).replace(pos, 4, le(v, 4)); };
  auto bad_slot = [](int b, uint64_t offset) {
    return "is corrupt: fan-out slot " + std::to_string(b) + " holds offset " + std::to_string(offset) +
           ", not a source record of its byte in order";
  };
  std::string swapped = with(196 + 8 * 0xaa, 154).replace(196 + 8 * 0xab, 4, le(112, 4));
  swapped[112] = static_cast<char>(0xab);
  swapped[154] = static_cast<char>(0xaa);
  const std::pair<std::string, std::string> cases[] = {
      {good.substr(0, 10), "token binary index file too small: 10 bytes"},
      {std::string(64, 'x'), "token binary index magic mismatch"},
      {with(9, 2), "unsupported token binary index version: 2"},
      {with(13, 0xFFFFFFFFu), "is corrupt"},             // entry count
      {with(25, 65), "is corrupt"},                      // sources offset
      {with(29, 0xFFFFFF00u), "is corrupt"},             // fan-out table offset
      {good.substr(0, good.size() - 1), "is corrupt"},   // fan-out table cut
      // Source records A at 112 and B at 154, the table at 196.
      {with(17, 3), "is corrupt: 3 sources cannot fit in 84 bytes"},
      {with(17, 0xFFFFFFFFu), "is corrupt: 4294967295 sources cannot fit"},
      {with(196 + 8 * 0xab, 112), bad_slot(0xab, 112)},   // a record of another byte
      {with(196 + 8 * 0xab, 100), bad_slot(0xab, 100)},   // among the entry records
      {with(196 + 8 * 0xab, 170), bad_slot(0xab, 170)},   // no room for a record head
      {with(196 + 8 * 0xab, 196), bad_slot(0xab, 196)},   // at the table
      {with(196 + 8 * 0xab + 4, 1), bad_slot(0xab, (1ull << 32) + 154)},
      {swapped, bad_slot(0xab, 112)},                     // records of their bytes, out of order
  };
  // An index opened while the file was sound writes no flag once the file
  // no longer opens.
  TokenBinIndex opened = TokenBinIndex::open(dir.root, "t").value();
  for (const auto& [bytes, message] : cases) {
    write_file(dir.index(), bytes);
    EXPECT_NE(message_of([&] { TokenBinIndex::open(dir.root, "t"); }).find(message), std::string::npos)
        << message;
    EXPECT_NE(message_of([&] { opened.set_revoked_batch({{1, true}}); }).find(message),
              std::string::npos)
        << message;
    EXPECT_EQ(read_file(dir.index()), bytes);
  }
  fs::remove(dir.index());
  EXPECT_EQ(message_of([&] { opened.set_revoked_batch({{0, true}}); }),
            "opening " + dir.index() + " for write");
}

TEST(TokenBinIndex, LookupStaysInsideACorruptSourceArea) {
  ProjectDir dir;
  build_three(dir);
  std::string b = read_file(dir.index());
  // Source record A claims 60000 indices; its range ends long before that.
  const size_t first_record = 64 + 3 * 16;
  b[first_record + 32] = static_cast<char>(0x60);
  b[first_record + 33] = static_cast<char>(0xEA);
  write_file(dir.index(), b);
  TokenBinIndex index = TokenBinIndex::open(dir.root, "t").value();
  EXPECT_EQ(index.lookup_by_sources({key(kA)}), std::vector<uint32_t>{});
}

}  // namespace
