// Behaviour of the document binary index, .vl/index.bin: hex keys, the file
// the writer produces, lookups, opening, line-offset blocks, and the reader's
// conduct on damaged files.

#include "binary_index.hpp"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "error.hpp"

namespace vl {

// Readable references in failure messages.
void PrintTo(const IndexRef& r, std::ostream* os) {
  if (r.is_shard()) {
    *os << "shard(" << int(r.as_shard().shard) << ")";
  } else {
    const TokenLineRef& t = r.as_token_line();
    *os << "token_line(\"" << t.tokenizer << "\", file " << t.file_number << ", offset "
        << t.line_offset << ", length " << t.line_length << ")";
  }
}

}  // namespace vl

namespace {

namespace fs = std::filesystem;
using vl::BinaryIndex;
using vl::IndexKey;
using vl::IndexRef;
using Entries = std::vector<std::pair<IndexKey, std::vector<IndexRef>>>;
using Bytes = std::string;

// ---------------------------------------------------------------- helpers

// A project root with an empty .vl, removed afterwards.
class ProjectDir {
 public:
  ProjectDir() {
    std::string tmpl = (fs::temp_directory_path() / "vl-binidx-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    root_ = tmpl;
    fs::create_directory(fs::path(root_) / ".vl");
  }
  ~ProjectDir() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  const std::string& root() const { return root_; }
  std::string index_path() const { return root_ + "/.vl/index.bin"; }
  std::string file(const std::string& name) const { return root_ + "/" + name; }

 private:
  std::string root_;
};

Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

uint64_t le(const Bytes& b, size_t pos, int width) {
  uint64_t v = 0;
  for (int i = width - 1; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(b[pos + i]);
  return v;
}

void put_le(Bytes& b, size_t pos, uint64_t v, int width) {
  for (int i = 0; i < width; ++i) b[pos + i] = static_cast<char>(v >> (8 * i));
}

Bytes le_bytes(uint64_t v, int width) {
  Bytes b(static_cast<size_t>(width), '\0');
  put_le(b, 0, v, width);
  return b;
}

// A key whose first byte is `first` and whose other bytes are all `fill`.
IndexKey key_of(uint8_t first, uint8_t fill = 0) {
  IndexKey k;
  k.fill(fill);
  k[0] = first;
  return k;
}

std::string hex(const IndexKey& k) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (uint8_t b : k) {
    s += digits[b >> 4];
    s += digits[b & 15];
  }
  return s;
}

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

uint64_t fanout_offset(const Bytes& file) { return le(file, 16, 8); }
uint64_t slot(const Bytes& file, int b) { return le(file, fanout_offset(file) + 8 * b, 8); }

// The message chain of the vl::Error that fn throws.
template <typename Fn>
std::vector<std::string> error_chain(Fn&& fn) {
  try {
    fn();
  } catch (const vl::Error& e) {
    return e.chain();
  }
  ADD_FAILURE() << "expected a vl::Error";
  return {};
}

BinaryIndex open_index(const ProjectDir& dir) {
  std::optional<BinaryIndex> idx = BinaryIndex::open(dir.root());
  if (!idx) throw std::runtime_error("no index");
  return std::move(*idx);
}

const std::vector<IndexRef> kNone;

// ---------------------------------------------------------------- hex keys

TEST(HexToBytes, DecodesLowerUpperAndMixedCase) {
  IndexKey expected;
  for (size_t i = 0; i < 32; ++i) expected[i] = static_cast<uint8_t>(i * 8 + 7);
  std::string lower = hex(expected);
  EXPECT_EQ(vl::hex_to_bytes(lower), expected);
  EXPECT_EQ(vl::hex_to_bytes(upper(lower)), expected);
  std::string mixed = lower;
  for (size_t i = 0; i < mixed.size(); i += 3) mixed[i] = upper(mixed.substr(i, 1))[0];
  EXPECT_EQ(vl::hex_to_bytes(mixed), expected);
}

TEST(HexToBytes, RefusesWrongLengthCountingBytes) {
  EXPECT_EQ(error_chain([] { vl::hex_to_bytes(std::string(63, 'a')); }),
            std::vector<std::string>{"expected 64-char hex, got 63 chars"});
  EXPECT_EQ(error_chain([] { vl::hex_to_bytes(std::string(65, 'a')); }),
            std::vector<std::string>{"expected 64-char hex, got 65 chars"});
  EXPECT_EQ(error_chain([] { vl::hex_to_bytes(""); }),
            std::vector<std::string>{"expected 64-char hex, got 0 chars"});
  // 62 ASCII digits and one two-byte character: 64 bytes, 63 characters.
  std::string s = std::string(62, 'a') + "\xC3\xA9";
  auto chain = error_chain([&] { vl::hex_to_bytes(s); });
  ASSERT_FALSE(chain.empty());
  EXPECT_EQ(chain.front(), "hex decode failed");
}

TEST(HexToBytes, RefusesNonHexDigitsWithDecoderCause) {
  std::string s = std::string(64, '0');
  s[5] = 'g';
  auto chain = error_chain([&] { vl::hex_to_bytes(s); });
  ASSERT_EQ(chain.size(), 2u);
  EXPECT_EQ(chain[0], "hex decode failed");
  EXPECT_EQ(chain[1], "invalid character 'g' at position 5");

  s = std::string(64, '0');
  s[63] = ' ';
  chain = error_chain([&] { vl::hex_to_bytes(s); });
  ASSERT_EQ(chain.size(), 2u);
  EXPECT_EQ(chain[1], "invalid character ' ' at position 63");

  s = std::string(64, '0');
  s[0] = '\x01';
  chain = error_chain([&] { vl::hex_to_bytes(s); });
  ASSERT_EQ(chain.size(), 2u);
  EXPECT_EQ(chain[1], "invalid byte 0x01 at position 0");
}

// ---------------------------------------------------------------- the file the writer produces

TEST(BuildLayout, EmptyIndexIsHeaderAndZeroFanout) {
  ProjectDir dir;
  EXPECT_EQ(BinaryIndex::build(dir.root(), {}), 0u);
  Bytes file = read_file(dir.index_path());
  ASSERT_EQ(file.size(), 2072u);
  EXPECT_EQ(file.substr(0, 8), "VLIDXF02");
  EXPECT_EQ(le(file, 8, 4), 0u);
  EXPECT_EQ(le(file, 12, 4), 0u);
  EXPECT_EQ(fanout_offset(file), 24u);
  EXPECT_EQ(file.substr(24), Bytes(2048, '\0'));

  BinaryIndex idx = open_index(dir);
  EXPECT_EQ(idx.entry_count(), 0u);
  EXPECT_EQ(idx.fanout_offset(), 24u);
  for (int b : {0x00, 0x3f, 0xff}) EXPECT_EQ(idx.lookup(hex(key_of(uint8_t(b)))), kNone);
}

TEST(BuildLayout, WritesExactBytesForOneEntry) {
  ProjectDir dir;
  IndexKey key = key_of(0x01, 0xAB);
  BinaryIndex::build(dir.root(), {{key, {IndexRef::shard(0x3f), IndexRef::token_line("ab", 2, 3, 4)}}});

  Bytes expected = "VLIDXF02";
  expected += le_bytes(1, 4);                  // entry count
  expected += le_bytes(0, 4);                  // reserved
  expected += le_bytes(24 + 34 + 2 + 14, 8);   // F
  expected += Bytes(key.begin(), key.end());   // key
  expected += le_bytes(16, 2);                 // refs length
  expected += Bytes("\x00\x3f", 2);            // shard reference
  expected += Bytes("\x01\x02" "ab", 4);       // token-line reference: name
  expected += le_bytes(2, 2) + le_bytes(3, 4) + le_bytes(4, 4);
  Bytes fanout(2048, '\0');
  put_le(fanout, 8 * 0x01, 24, 8);
  expected += fanout;
  EXPECT_EQ(read_file(dir.index_path()), expected);
}

TEST(BuildLayout, SortsKeysAndPointsEachSlotAtItsSmallestKey) {
  ProjectDir dir;
  IndexKey a1 = key_of(0x10, 0x01), a2 = key_of(0x10, 0x02), b = key_of(0x80), c = key_of(0x05);
  EXPECT_EQ(BinaryIndex::build(dir.root(), {{a2, {IndexRef::shard(2)}},
                                            {b, {IndexRef::shard(3)}},
                                            {a1, {IndexRef::shard(1)}},
                                            {c, {}}}),
            4u);
  Bytes file = read_file(dir.index_path());
  EXPECT_EQ(le(file, 8, 4), 4u);
  // Entries: c (34 bytes), a1 (36), a2 (36), b (36).
  EXPECT_EQ(file.substr(24, 32), Bytes(c.begin(), c.end()));
  EXPECT_EQ(file.substr(58, 32), Bytes(a1.begin(), a1.end()));
  EXPECT_EQ(file.substr(94, 32), Bytes(a2.begin(), a2.end()));
  EXPECT_EQ(file.substr(130, 32), Bytes(b.begin(), b.end()));
  EXPECT_EQ(fanout_offset(file), 166u);
  EXPECT_EQ(slot(file, 0x05), 24u);
  EXPECT_EQ(slot(file, 0x10), 58u);
  EXPECT_EQ(slot(file, 0x80), 130u);
  int non_zero = 0;
  for (int s = 0; s < 256; ++s) non_zero += slot(file, s) != 0;
  EXPECT_EQ(non_zero, 3);
  EXPECT_EQ(file.size(), 166u + 2048u);
}

TEST(BuildLayout, KeepsDuplicateKeysInInputOrder) {
  ProjectDir dir;
  IndexKey k = key_of(0x42);
  EXPECT_EQ(BinaryIndex::build(dir.root(), {{k, {IndexRef::shard(1)}},
                                            {key_of(0x01), {}},
                                            {k, {IndexRef::shard(2)}}}),
            3u);
  Bytes file = read_file(dir.index_path());
  // key_of(0x01) (34 bytes), then both copies of k in input order.
  EXPECT_EQ(file[24 + 34 + 34 + 1], '\x01');
  EXPECT_EQ(file[24 + 34 + 36 + 34 + 1], '\x02');
  // A lookup finds the first copy.
  EXPECT_EQ(open_index(dir).lookup(hex(k)), std::vector{IndexRef::shard(1)});
}

TEST(BuildLayout, SortIsStableForManyDuplicates) {
  ProjectDir dir;
  Entries entries;
  for (int i = 0; i < 250; ++i) entries.push_back({key_of(uint8_t(7 - i % 7)), {IndexRef::shard(uint8_t(i))}});
  BinaryIndex::build(dir.root(), entries);
  Bytes file = read_file(dir.index_path());
  // Every entry is 36 bytes: key, length 2, tag 0, shard = input position.
  std::map<int, std::vector<int>> order;
  int previous_key = -1;
  for (size_t pos = 24; pos < fanout_offset(file); pos += 36) {
    int first = static_cast<unsigned char>(file[pos]);
    EXPECT_GE(first, previous_key);
    previous_key = first;
    order[first].push_back(static_cast<unsigned char>(file[pos + 35]));
  }
  for (const auto& [first, positions] : order) {
    EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end())) << "key " << first;
  }
}

TEST(BuildLayout, ReplacesAPreviousLargerFile) {
  ProjectDir dir;
  Entries many;
  for (int i = 0; i < 100; ++i) many.push_back({key_of(uint8_t(i)), {IndexRef::shard(uint8_t(i))}});
  BinaryIndex::build(dir.root(), many);
  BinaryIndex::append_line_offsets(dir.root(), dir.index_path());  // any non-empty file
  BinaryIndex::build(dir.root(), {});
  EXPECT_EQ(read_file(dir.index_path()).size(), 2072u);
  EXPECT_EQ(open_index(dir).lookup(hex(key_of(7))), kNone);
}

TEST(BuildLayout, FailsWithCreatingContextWithoutStoreDirectory) {
  ProjectDir dir;
  fs::remove(fs::path(dir.root()) / ".vl");
  auto chain = error_chain([&] { BinaryIndex::build(dir.root(), {}); });
  EXPECT_EQ(chain, (std::vector<std::string>{"creating " + dir.index_path(),
                                             "No such file or directory (os error 2)"}));
}

TEST(BuildLimits, AcceptsNamesUpTo255BytesAndRefusesLonger) {
  ProjectDir dir;
  std::string name255(255, 't');
  BinaryIndex::build(dir.root(), {{key_of(1), {IndexRef::token_line(name255, 1, 2, 3)}}});
  EXPECT_EQ(open_index(dir).lookup(hex(key_of(1))),
            std::vector{IndexRef::token_line(name255, 1, 2, 3)});

  Bytes before = read_file(dir.index_path());
  auto chain = error_chain([&] {
    BinaryIndex::build(dir.root(), {{key_of(1), {IndexRef::token_line(std::string(256, 't'), 1, 2, 3)}}});
  });
  EXPECT_EQ(chain, std::vector<std::string>{
                       "tokenizer name too long for the binary index: 256 bytes, at most 255"});
  EXPECT_EQ(read_file(dir.index_path()), before) << "a refused build must not touch the file";
}

TEST(BuildLimits, AcceptsRefsAreaOf65535BytesAndRefusesLonger) {
  ProjectDir dir;
  // 32761 shard references (65522 bytes) and one 13-byte token reference.
  std::vector<IndexRef> full(32761, IndexRef::shard(9));
  full.push_back(IndexRef::token_line("x", 1, 2, 3));
  BinaryIndex::build(dir.root(), {{key_of(1), full}});
  EXPECT_EQ(open_index(dir).lookup(hex(key_of(1))), full);

  Bytes before = read_file(dir.index_path());
  std::vector<IndexRef> over(32768, IndexRef::shard(9));  // 65536 bytes
  auto chain = error_chain([&] { BinaryIndex::build(dir.root(), {{key_of(2, 0xcd), over}}); });
  EXPECT_EQ(chain, std::vector<std::string>{
                       "references of key " + hex(key_of(2, 0xcd)) +
                       " take 65536 bytes, more than the binary index holds for one key (65535)"});
  EXPECT_EQ(read_file(dir.index_path()), before) << "a refused build must not touch the file";
}

// ---------------------------------------------------------------- lookups

class Lookup : public ::testing::Test {
 protected:
  // Keys that share their first byte, keys alone in their range, and the
  // last possible range (0xff), which ends at the fan-out table.
  IndexKey small = key_of(0x3f, 0x10);
  IndexKey large = key_of(0x3f, 0x20);
  IndexKey lone = key_of(0x80, 0x55);
  IndexKey last = key_of(0xff, 0x01);
  std::vector<IndexRef> small_refs{IndexRef::shard(0x3f)};
  std::vector<IndexRef> large_refs{IndexRef::token_line("gpt2", 1, 100, 57),
                                   IndexRef::shard(0x00), IndexRef::shard(0xff),
                                   IndexRef::token_line("", 0xffff, 0xffffffff, 0)};
  std::vector<IndexRef> lone_refs{};
  std::vector<IndexRef> last_refs{IndexRef::token_line("llama-3", 7, 0, 12)};

  void SetUp() override {
    BinaryIndex::build(dir.root(), {{large, large_refs},
                                    {last, last_refs},
                                    {small, small_refs},
                                    {lone, lone_refs}});
    idx.emplace(open_index(dir));
  }

  ProjectDir dir;
  std::optional<BinaryIndex> idx;
};

TEST_F(Lookup, FindsTheSmallerOfTwoKeysSharingAFirstByteAtTheSlot) {
  Bytes file = read_file(dir.index_path());
  EXPECT_EQ(file.substr(slot(file, 0x3f), 32), Bytes(small.begin(), small.end()));
  EXPECT_EQ(idx->lookup(hex(small)), small_refs);
}

TEST_F(Lookup, ScansPastTheSmallerKeyToTheLarger) {
  EXPECT_EQ(idx->lookup(hex(large)), large_refs);
}

TEST_F(Lookup, FindsAKeyWhoseRangeEndsAtTheFanoutTable) {
  EXPECT_EQ(idx->lookup(hex(last)), last_refs);
  EXPECT_EQ(idx->lookup(hex(key_of(0xff, 0x02))), kNone);
  EXPECT_EQ(idx->lookup(hex(key_of(0xff, 0x00))), kNone);
}

TEST_F(Lookup, StopsAtTheFirstEntryForAKeySmallerThanAllInItsRange) {
  EXPECT_EQ(idx->lookup(hex(key_of(0x3f, 0x00))), kNone);
}

TEST_F(Lookup, ReturnsEmptyForAbsentKeys) {
  EXPECT_EQ(idx->lookup(hex(key_of(0x3f, 0x15))), kNone);  // between the two
  EXPECT_EQ(idx->lookup(hex(key_of(0x3f, 0x30))), kNone);  // after both
  EXPECT_EQ(idx->lookup(hex(key_of(0x40, 0x00))), kNone);  // empty slot
  EXPECT_EQ(idx->lookup(hex(key_of(0x00, 0x00))), kNone);
}

TEST_F(Lookup, KeyWithNoReferencesIsFoundAsEmpty) {
  EXPECT_EQ(idx->lookup(hex(lone)), kNone);
}

TEST_F(Lookup, MalformedHashesGiveEmptyLists) {
  std::string h = hex(large);
  EXPECT_EQ(idx->lookup(h.substr(0, 63)), kNone);
  EXPECT_EQ(idx->lookup(h + "0"), kNone);
  std::string bad = h;
  bad[10] = 'z';
  EXPECT_EQ(idx->lookup(bad), kNone);
  EXPECT_EQ(idx->lookup(""), kNone);
}

TEST_F(Lookup, UpperCaseHashFindsTheSameEntry) {
  EXPECT_EQ(idx->lookup(upper(hex(large))), large_refs);
  EXPECT_EQ(idx->lookup_key(large), large_refs);
}

TEST_F(Lookup, MixedReferencesRoundTripInOrder) {
  std::vector<IndexRef> mixed;
  for (int i = 0; i < 20; ++i) {
    if (i % 3 == 0) {
      mixed.push_back(IndexRef::shard(uint8_t(i * 13)));
    } else {
      mixed.push_back(IndexRef::token_line("tok" + std::to_string(i), uint16_t(i), uint32_t(i) << 20,
                                           uint32_t(i * 7)));
    }
  }
  BinaryIndex::build(dir.root(), {{key_of(0x33), mixed}});
  EXPECT_EQ(open_index(dir).lookup(hex(key_of(0x33))), mixed);
}

TEST_F(Lookup, NonUtf8TokenizerNameDecodesWithReplacementCharacter) {
  BinaryIndex::build(dir.root(), {{key_of(0x33), {IndexRef::token_line("a\xFF" "b", 1, 2, 3)}}});
  EXPECT_EQ(open_index(dir).lookup(hex(key_of(0x33))),
            std::vector{IndexRef::token_line("a\xEF\xBF\xBD" "b", 1, 2, 3)});
}

TEST_F(Lookup, ManyKeysAreAllFound) {
  Entries entries;
  std::mt19937 rng(7);
  for (int i = 0; i < 3000; ++i) {
    IndexKey k;
    for (auto& b : k) b = static_cast<uint8_t>(rng());
    entries.push_back({k, {IndexRef::shard(k[1]), IndexRef::token_line("t", uint16_t(i), uint32_t(i), 1)}});
  }
  EXPECT_EQ(BinaryIndex::build(dir.root(), entries), 3000u);
  BinaryIndex many = open_index(dir);
  for (const auto& [k, refs] : entries) ASSERT_EQ(many.lookup(hex(k)), refs) << hex(k);
}

// ---------------------------------------------------------------- opening

TEST(Open, AbsentFileIsNotAnError) {
  ProjectDir dir;
  EXPECT_FALSE(BinaryIndex::open(dir.root()).has_value());
  fs::remove(fs::path(dir.root()) / ".vl");
  EXPECT_FALSE(BinaryIndex::open(dir.root()).has_value());
}

TEST(Open, FileThatCannotBeOpenedReportsOpeningContext) {
  ProjectDir dir;
  // A socket exists (its metadata reads fine) but open(2) refuses it.
  int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(s, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  ASSERT_LT(dir.index_path().size(), sizeof addr.sun_path);
  std::strcpy(addr.sun_path, dir.index_path().c_str());
  ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  auto chain = error_chain([&] { BinaryIndex::open(dir.root()); });
  ::close(s);
  EXPECT_EQ(chain, (std::vector<std::string>{"opening " + dir.index_path(),
                                             "No such device or address (os error 6)"}));
}

TEST(Open, FileShorterThan2072BytesIsTooSmall) {
  ProjectDir dir;
  BinaryIndex::build(dir.root(), {});
  Bytes file = read_file(dir.index_path());
  write_file(dir.index_path(), file.substr(0, 2071));
  EXPECT_EQ(error_chain([&] { BinaryIndex::open(dir.root()); }),
            std::vector<std::string>{"binary index file too small: 2071 bytes"});
  write_file(dir.index_path(), "");
  EXPECT_EQ(error_chain([&] { BinaryIndex::open(dir.root()); }),
            std::vector<std::string>{"binary index file too small: 0 bytes"});
}

TEST(Open, OldFormatAsksForARebuild) {
  ProjectDir dir;
  BinaryIndex::build(dir.root(), {});
  Bytes file = read_file(dir.index_path());
  file.replace(0, 8, "VLIDXF01");
  write_file(dir.index_path(), file);
  EXPECT_EQ(error_chain([&] { BinaryIndex::open(dir.root()); }),
            std::vector<std::string>{"binary index format VLIDXF01 is no longer supported; run "
                                     "`vl index build` to rebuild"});
}

TEST(Open, AnyOtherMagicIsAMismatch) {
  ProjectDir dir;
  BinaryIndex::build(dir.root(), {});
  Bytes file = read_file(dir.index_path());
  for (const char* magic : {"VLIDXF03", "vlidxf02", "VLIDXTI0", "\0\0\0\0\0\0\0\0"}) {
    Bytes f = file;
    f.replace(0, 8, Bytes(magic, 8));
    write_file(dir.index_path(), f);
    EXPECT_EQ(error_chain([&] { BinaryIndex::open(dir.root()); }),
              std::vector<std::string>{"binary index magic mismatch"});
  }
}

TEST(Open, EntryCountIsReadFromTheHeader) {
  ProjectDir dir;
  BinaryIndex::build(dir.root(), {{key_of(1), {}}, {key_of(2), {}}});
  EXPECT_EQ(open_index(dir).entry_count(), 2u);
}

// ---------------------------------------------------------------- line-offset blocks

class LineOffsets : public ::testing::Test {
 protected:
  void SetUp() override { BinaryIndex::build(dir.root(), {{key_of(0x3f), {IndexRef::shard(1)}}}); }
  size_t index_size() { return read_file(dir.index_path()).size(); }
  Bytes appended_after(size_t before) { return read_file(dir.index_path()).substr(before); }

  ProjectDir dir;
};

TEST_F(LineOffsets, TwoLinesWithFinalNewline) {
  size_t before = index_size();
  write_file(dir.file("d.jsonl"), "a\nb\n");
  BinaryIndex::append_line_offsets(dir.root(), dir.file("d.jsonl"));
  EXPECT_EQ(appended_after(before), le_bytes(2, 4) + le_bytes(0, 4) + le_bytes(2, 4));
}

TEST_F(LineOffsets, TwoLinesWithoutFinalNewlineGiveTheSameBlock) {
  size_t before = index_size();
  write_file(dir.file("d.jsonl"), "a\nb");
  BinaryIndex::append_line_offsets(dir.root(), dir.file("d.jsonl"));
  EXPECT_EQ(appended_after(before), le_bytes(2, 4) + le_bytes(0, 4) + le_bytes(2, 4));
}

TEST_F(LineOffsets, EmptyLinesStartLinesToo) {
  size_t before = index_size();
  write_file(dir.file("d.jsonl"), "\n\nxy\n");
  BinaryIndex::append_line_offsets(dir.root(), dir.file("d.jsonl"));
  EXPECT_EQ(appended_after(before),
            le_bytes(3, 4) + le_bytes(0, 4) + le_bytes(1, 4) + le_bytes(2, 4));
}

TEST_F(LineOffsets, EmptyOrMissingDataFileAppendsNothing) {
  size_t before = index_size();
  write_file(dir.file("empty.jsonl"), "");
  BinaryIndex::append_line_offsets(dir.root(), dir.file("empty.jsonl"));
  BinaryIndex::append_line_offsets(dir.root(), dir.file("missing.jsonl"));
  EXPECT_EQ(index_size(), before);
  BinaryIndex idx = open_index(dir);
  EXPECT_EQ(idx.line_offsets_count(), 0u);
  EXPECT_EQ(idx.line_offsets_pos(), 0u);
  EXPECT_TRUE(idx.first_line_offsets().empty());
}

TEST_F(LineOffsets, OpenReportsTheFirstOfTwoBlocksOnly) {
  write_file(dir.file("a.jsonl"), "a\nb\n");
  write_file(dir.file("b.jsonl"), "x\ny\nz\n");
  BinaryIndex::append_line_offsets(dir.root(), dir.file("a.jsonl"));
  BinaryIndex::append_line_offsets(dir.root(), dir.file("b.jsonl"));
  BinaryIndex idx = open_index(dir);
  EXPECT_EQ(idx.line_offsets_count(), 2u);
  EXPECT_EQ(idx.line_offsets_pos(), idx.fanout_offset() + 2048 + 4);
  EXPECT_EQ(idx.first_line_offsets(), (std::vector<uint32_t>{0, 2}));
  // Both blocks are in the file, one after the other.
  Bytes blocks = read_file(dir.index_path()).substr(idx.fanout_offset() + 2048);
  EXPECT_EQ(blocks, le_bytes(2, 4) + le_bytes(0, 4) + le_bytes(2, 4) + le_bytes(3, 4) +
                        le_bytes(0, 4) + le_bytes(2, 4) + le_bytes(4, 4));
  // Lookups are unaffected by the blocks.
  EXPECT_EQ(idx.lookup(hex(key_of(0x3f))), std::vector{IndexRef::shard(1)});
}

TEST_F(LineOffsets, ABareCountWithNothingAfterItIsNoBlock) {
  // The first block is only recognised when the file runs past its count.
  Bytes file = read_file(dir.index_path()) + le_bytes(0, 4);
  write_file(dir.index_path(), file);
  BinaryIndex idx = open_index(dir);
  EXPECT_EQ(idx.line_offsets_count(), 0u);
  EXPECT_EQ(idx.line_offsets_pos(), 0u);
}

TEST_F(LineOffsets, MissingIndexReportsOpeningForAppend) {
  fs::remove(dir.index_path());
  write_file(dir.file("d.jsonl"), "a\n");
  auto chain = error_chain([&] { BinaryIndex::append_line_offsets(dir.root(), dir.file("d.jsonl")); });
  EXPECT_EQ(chain, (std::vector<std::string>{"opening " + dir.index_path() + " for append",
                                             "No such file or directory (os error 2)"}));
  EXPECT_FALSE(fs::exists(dir.index_path())) << "append must not create the index";
}

TEST_F(LineOffsets, BlockCountBeyondTheFileYieldsOnlyTheOffsetsPresent) {
  write_file(dir.file("d.jsonl"), "a\nb\nc\n");
  BinaryIndex::append_line_offsets(dir.root(), dir.file("d.jsonl"));
  Bytes file = read_file(dir.index_path());
  write_file(dir.index_path(), file.substr(0, file.size() - 4));  // lose the last offset
  BinaryIndex idx = open_index(dir);
  EXPECT_EQ(idx.line_offsets_count(), 3u);
  EXPECT_EQ(idx.first_line_offsets(), (std::vector<uint32_t>{0, 2}));
}

// ---------------------------------------------------------------- damaged files
//
// The reader must never read outside its mapping.  open() refuses a file
// whose fan-out table offset F does not leave room for the table; every
// other inconsistency makes the affected lookups return empty (or, inside a
// refs area, the references decoded before the damage).

class Damaged : public ::testing::Test {
 protected:
  IndexKey a = key_of(0x10, 0x01);
  IndexKey b = key_of(0x10, 0x02);
  IndexKey c = key_of(0x20, 0x00);
  IndexKey z = key_of(0xff, 0xff);
  std::vector<IndexRef> a_refs{IndexRef::shard(1), IndexRef::token_line("gpt2", 1, 2, 3)};
  std::vector<IndexRef> b_refs{IndexRef::shard(2)};
  std::vector<IndexRef> c_refs{IndexRef::token_line("t", 4, 5, 6), IndexRef::shard(3)};
  std::vector<IndexRef> z_refs{IndexRef::shard(0xff), IndexRef::token_line("zz", 9, 9, 9)};

  void SetUp() override {
    BinaryIndex::build(dir.root(), {{a, a_refs}, {b, b_refs}, {c, c_refs}, {z, z_refs}});
    good = read_file(dir.index_path());
  }

  // Offsets of the entries in the intact file.
  size_t at(const IndexKey& k) const { return good.find(Bytes(k.begin(), k.end())); }

  BinaryIndex reopen(const Bytes& bytes) {
    write_file(dir.index_path(), bytes);
    return open_index(dir);
  }

  std::string open_error(const Bytes& bytes) {
    write_file(dir.index_path(), bytes);
    auto chain = error_chain([&] { BinaryIndex::open(dir.root()); });
    return chain.empty() ? "" : chain.front();
  }

  ProjectDir dir;
  Bytes good;
};

TEST_F(Damaged, FanoutOffsetOutsideTheFileIsRefusedByOpen) {
  const uint64_t size = good.size();
  for (uint64_t f : {uint64_t{0}, uint64_t{23}, size - 2047, size, uint64_t{1} << 40, ~uint64_t{0}}) {
    Bytes bytes = good;
    put_le(bytes, 16, f, 8);
    EXPECT_EQ(open_error(bytes), "binary index is corrupt: fan-out table offset " +
                                     std::to_string(f) + " lies outside the " +
                                     std::to_string(size) + "-byte file; run `vl index build` to rebuild")
        << "F = " << f;
  }
}

TEST_F(Damaged, FanoutOffsetAtTheLastPossiblePlaceIsAccepted) {
  // F = size - 2048 leaves exactly the table; the keys are then looked up in
  // whatever the table region now holds, inside the file.
  Bytes bytes = good + Bytes(100, '\0');
  put_le(bytes, 16, bytes.size() - 2048, 8);
  BinaryIndex idx = reopen(bytes);
  EXPECT_EQ(idx.fanout_offset(), bytes.size() - 2048);
  for (const IndexKey& k : {a, b, c, z}) (void)idx.lookup_key(k);
}

TEST_F(Damaged, TruncationAtEveryLengthIsRefusedOrReadsOnlyWhatIsThere) {
  write_file(dir.file("d.jsonl"), "one\ntwo\nthree\n");
  BinaryIndex::append_line_offsets(dir.root(), dir.file("d.jsonl"));
  Bytes full = read_file(dir.index_path());
  const uint64_t f = fanout_offset(full);
  for (size_t len = 0; len < full.size(); ++len) {
    Bytes cut = full.substr(0, len);
    SCOPED_TRACE("length " + std::to_string(len));
    if (len < 2072) {
      EXPECT_EQ(open_error(cut), "binary index file too small: " + std::to_string(len) + " bytes");
    } else if (len < f + 2048) {
      EXPECT_NE(open_error(cut).find("fan-out table offset"), std::string::npos);
    } else {
      BinaryIndex idx = reopen(cut);
      EXPECT_EQ(idx.lookup_key(a), a_refs);
      EXPECT_EQ(idx.lookup_key(z), z_refs);
      std::vector<uint32_t> offs = idx.first_line_offsets();
      std::vector<uint32_t> all{0, 4, 8};
      ASSERT_LE(offs.size(), all.size());
      EXPECT_TRUE(std::equal(offs.begin(), offs.end(), all.begin()));
    }
  }
}

TEST_F(Damaged, SlotPastTheEntryAreaGivesEmpty) {
  Bytes bytes = good;
  const uint64_t f = fanout_offset(good);
  for (uint64_t bad : {f, f + 100, uint64_t{bytes.size()}, uint64_t{1} << 50}) {
    put_le(bytes, f + 8 * 0x20, bad, 8);
    BinaryIndex idx = reopen(bytes);
    EXPECT_EQ(idx.lookup_key(c), kNone) << "slot " << bad;
    EXPECT_EQ(idx.lookup_key(a), a_refs) << "other ranges still work";
  }
}

// The next three cases arrange the bytes at a bad position so that they
// would read as a well-formed entry with one shard reference: a reader
// that followed the bad position would return that reference.

TEST(DamagedSlots, SlotInsideTheHeaderGivesEmpty) {
  ProjectDir dir;
  // The only key's bytes 24 to 27 are 02 00 00 07: read from offset 16, F
  // and the key form an entry with refs length 2 and shard 7.
  IndexKey k = key_of(0x10, 0x00);
  k[24] = 2, k[27] = 7;
  BinaryIndex::build(dir.root(), {{k, {}}});
  Bytes bytes = read_file(dir.index_path());
  IndexKey fake;
  std::copy_n(bytes.begin() + 16, 32, fake.begin());
  ASSERT_EQ(fake[0], 58);  // the low byte of F
  put_le(bytes, fanout_offset(bytes) + 8 * 58, 16, 8);
  write_file(dir.index_path(), bytes);
  EXPECT_EQ(open_index(dir).lookup_key(fake), kNone);
}

TEST_F(Damaged, SlotTooCloseToTheEndForAnEntryGivesEmpty) {
  Bytes bytes = good;
  const uint64_t f = fanout_offset(good);
  const uint64_t start = f - 10;
  bytes[start] = '\xff';
  put_le(bytes, f + 8 * 0xff, start, 8);
  put_le(bytes, f + 22, 2, 2);  // in slots 0 to 3, which no key uses
  bytes[f + 24] = '\x00';
  bytes[f + 25] = '\x05';
  IndexKey fake;
  std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(start), 32, fake.begin());
  EXPECT_EQ(reopen(bytes).lookup_key(fake), kNone);
}

TEST_F(Damaged, NextSlotBeforeTheStartGivesEmpty) {
  Bytes bytes = good;
  const uint64_t f = fanout_offset(good);
  put_le(bytes, f + 8 * 0x11, 24, 8);  // range of 0x10 now "ends" before it starts
  EXPECT_EQ(reopen(bytes).lookup_key(b), kNone);
}

TEST_F(Damaged, NextSlotPastTheTableIsClampedToIt) {
  Bytes bytes = good;
  const uint64_t f = fanout_offset(good);
  // The last entry becomes the largest key of the 0x20 range, and that
  // range's end (slot 0xff) points far past the file.
  bytes[at(z)] = '\x20';
  bytes[at(z) + 1] = '\xfe';
  IndexKey moved_z = z;
  moved_z[0] = 0x20, moved_z[1] = 0xfe;
  put_le(bytes, f + 8 * 0xff, uint64_t{1} << 45, 8);
  // A well-formed entry for an even larger 0x20 key, planted at the start
  // of the fan-out table (slots 0 to 4, which no key uses).
  IndexKey beyond = key_of(0x20, 0xff);
  std::copy(beyond.begin(), beyond.end(), bytes.begin() + static_cast<std::ptrdiff_t>(f));
  put_le(bytes, f + 32, 2, 2);
  bytes[f + 34] = '\x00';
  bytes[f + 35] = '\x05';
  BinaryIndex idx = reopen(bytes);
  EXPECT_EQ(idx.lookup_key(c), c_refs);
  EXPECT_EQ(idx.lookup_key(moved_z), z_refs);
  EXPECT_EQ(idx.lookup_key(beyond), kNone) << "the fan-out table was read as an entry";
}

TEST_F(Damaged, SlotPointingIntoTheMiddleOfAnEntryStaysInside) {
  const uint64_t f = fanout_offset(good);
  for (uint64_t off = 25; off < f; off += 3) {
    Bytes bytes = good;
    put_le(bytes, f + 8 * 0x20, off, 8);
    BinaryIndex idx = reopen(bytes);
    // Whatever the garbage decodes to, the scan stays in range and ends.
    (void)idx.lookup_key(c);
    EXPECT_EQ(idx.lookup_key(z), z_refs);
  }
}

TEST_F(Damaged, RefsLengthRunningPastItsRangeGivesEmpty) {
  Bytes bytes = good;
  put_le(bytes, at(b) + 32, 200, 2);  // b is the last entry of the 0x10 range
  BinaryIndex idx = reopen(bytes);
  EXPECT_EQ(idx.lookup_key(b), kNone);
  EXPECT_EQ(idx.lookup_key(a), a_refs);
  EXPECT_EQ(idx.lookup_key(c), c_refs);
}

TEST_F(Damaged, RefsLengthOfTheLastEntryRunningPastTheTableGivesEmpty) {
  Bytes bytes = good;
  put_le(bytes, at(z) + 32, 0xffff, 2);
  EXPECT_EQ(reopen(bytes).lookup_key(z), kNone);
}

TEST_F(Damaged, SkippedEntryWhoseLengthJumpsOutOfTheRangeEndsTheScan) {
  Bytes bytes = good;
  put_le(bytes, at(a) + 32, 0xffff, 2);
  EXPECT_EQ(reopen(bytes).lookup_key(b), kNone);
}

TEST_F(Damaged, RefsAreaCutInsideAReferenceKeepsTheReferencesBefore) {
  // a's refs: shard (2 bytes), then a 16-byte token reference.  Declaring a
  // shorter area cuts the token reference at every possible point.
  for (uint16_t len = 2; len < 18; ++len) {
    Bytes bytes = good;
    put_le(bytes, at(a) + 32, len, 2);
    EXPECT_EQ(reopen(bytes).lookup_key(a), std::vector{IndexRef::shard(1)}) << "length " << len;
  }
  Bytes bytes = good;
  put_le(bytes, at(a) + 32, 1, 2);  // a shard tag without its byte
  EXPECT_EQ(reopen(bytes).lookup_key(a), kNone);
}

TEST_F(Damaged, TokenNameLengthPastTheAreaKeepsTheReferencesBefore) {
  Bytes bytes = good;
  bytes[at(a) + 34 + 2 + 1] = '\xff';  // name length of a's token reference
  EXPECT_EQ(reopen(bytes).lookup_key(a), std::vector{IndexRef::shard(1)});
}

TEST_F(Damaged, UnknownTagKeepsTheReferencesBefore) {
  Bytes bytes = good;
  bytes[at(a) + 34 + 2] = '\x07';
  EXPECT_EQ(reopen(bytes).lookup_key(a), std::vector{IndexRef::shard(1)});
  bytes[at(a) + 34] = '\x02';
  EXPECT_EQ(reopen(bytes).lookup_key(a), kNone);
}

TEST_F(Damaged, RandomBytesBehindAValidHeaderNeverEscapeTheMapping) {
  std::mt19937 rng(2024);
  for (int round = 0; round < 200; ++round) {
    size_t size = 2072 + rng() % 3000;
    Bytes bytes(size, '\0');
    for (char& ch : bytes) ch = static_cast<char>(rng());
    bytes.replace(0, 8, "VLIDXF02");
    const uint64_t f = 24 + rng() % (size - 2072 + 1);
    put_le(bytes, 16, f, 8);
    // Slots mostly point somewhere near the entry area, sometimes anywhere.
    for (int s = 0; s < 256; ++s) {
      uint64_t v = rng() % 4 == 0 ? 0 : rng() % (f + 64);
      if (rng() % 16 == 0) v = (uint64_t{rng()} << 32) | rng();
      put_le(bytes, f + 8 * s, v, 8);
    }
    BinaryIndex idx = reopen(bytes);
    for (int q = 0; q < 64; ++q) {
      IndexKey k;
      // Probe with keys copied from the file too, so that some compare equal.
      if (q % 2 == 0 && f >= 24 + 32) {
        size_t from = 24 + rng() % (f - 24 - 32 + 1);
        std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(from), 32, k.begin());
      } else {
        for (auto& x : k) x = static_cast<uint8_t>(rng());
      }
      for (const IndexRef& r : idx.lookup_key(k)) {
        if (r.is_token_line()) {
          EXPECT_LE(r.as_token_line().tokenizer.size(), 255u * 3);
        }
      }
    }
    (void)idx.first_line_offsets();
  }
}

// ---------------------------------------------------------------- the Python test writer

// tests/binindex.py writes index files for the Python tests; it must produce
// the very bytes the native writer does.  The test runner passes the
// interpreter and the module's directory in the environment.
TEST(PythonWriter, WritesTheSameBytesAsBuild) {
  const char* python = std::getenv("VL_TEST_PYTHON");
  const char* module_dir = std::getenv("VL_TEST_BININDEX_DIR");
  if (!python || !module_dir) GTEST_SKIP() << "VL_TEST_PYTHON / VL_TEST_BININDEX_DIR not set";

  Entries entries;
  std::mt19937 rng(99);
  for (int i = 0; i < 300; ++i) {
    IndexKey k;
    for (auto& x : k) x = static_cast<uint8_t>(rng());
    if (i % 10 == 0) k[0] = 0x3f;  // several keys per range
    std::vector<IndexRef> refs;
    for (int j = 0, n = static_cast<int>(rng() % 5); j < n; ++j) {
      if (rng() % 2) {
        refs.push_back(IndexRef::shard(static_cast<uint8_t>(rng())));
      } else {
        refs.push_back(IndexRef::token_line(j % 2 ? "gpt2" : "t\xC3\xA9st-\xE2\x82\xAC",
                                            static_cast<uint16_t>(rng()), rng(), rng()));
      }
    }
    entries.push_back({k, refs});
  }
  // Duplicates of one key, smaller and larger than the original, which
  // stay in input order.
  entries.push_back({entries[5].first, {}});
  entries.push_back({entries[5].first, std::vector<IndexRef>(10, IndexRef::shard(1))});
  entries.push_back({key_of(0xff, 0xff), {}});

  // The same entries as a Python literal: a list of (hex key, refs) pairs.
  std::ostringstream py;
  py << "[";
  for (const auto& [k, refs] : entries) {
    py << "('" << hex(k) << "', [";
    for (const IndexRef& r : refs) {
      if (r.is_shard()) {
        py << "('shard', " << int(r.as_shard().shard) << "),";
      } else {
        const vl::TokenLineRef& t = r.as_token_line();
        py << "('token', b'";
        for (unsigned char ch : t.tokenizer) {
          char buf[5];
          std::snprintf(buf, sizeof buf, "\\x%02x", ch);
          py << buf;
        }
        py << "'.decode(), " << t.file_number << ", " << t.line_offset << ", " << t.line_length
           << "),";
      }
    }
    py << "]),";
  }
  py << "]";

  ProjectDir native, python_side;
  BinaryIndex::build(native.root(), entries);
  write_file(native.file("d.jsonl"), "{}\n{\"a\": 1}\n\nlast");
  BinaryIndex::append_line_offsets(native.root(), native.file("d.jsonl"));

  std::string script = python_side.file("make.py");
  write_file(python_side.file("d.jsonl"), "{}\n{\"a\": 1}\n\nlast");
  write_file(script, "import sys\nsys.path.insert(0, " + std::string("'") + module_dir +
                         "')\nimport binindex\nroot = sys.argv[1]\nbinindex.write_index(root, " +
                         py.str() + ")\nbinindex.append_line_offsets(root, root + '/d.jsonl')\n");
  std::string cmd =
      std::string("'") + python + "' '" + script + "' '" + python_side.root() + "'";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;

  Bytes a = read_file(native.index_path());
  Bytes b = read_file(python_side.index_path());
  EXPECT_EQ(a.size(), b.size());
  EXPECT_TRUE(a == b) << "files differ";
}

}  // namespace
