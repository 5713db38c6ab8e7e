// Behaviour of the document binary index, .vl/index.bin: hex keys, the file
// the writer produces, lookups, opening, line-offset blocks, and the reader's
// conduct on damaged files.

#include "binary_index.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "test_files.hpp"

namespace vl {
// Readable references in failure messages.
void PrintTo(const IndexRef& r, std::ostream* os) {
  if (r.is_shard()) return void(*os << "shard(" << int(r.as_shard().shard) << ")");
  const TokenLineRef& t = r.as_token_line();
  *os << "token(\"" << t.tokenizer << "\", " << t.file_number << ", " << t.line_offset << ", "
      << t.line_length << ")";
}
}  // namespace vl

namespace {

namespace fs = std::filesystem;
using vl::BinaryIndex;
using vl::IndexKey;
using vl::IndexRef;
using namespace vl_test;  // TempDir, read_file, write_file, le, error_chain
using Refs = std::vector<IndexRef>;
using Entries = std::vector<std::pair<IndexKey, Refs>>;
using Bytes = std::string;
using Chain = std::vector<std::string>;
using Offsets = std::vector<uint32_t>;
const Refs kNone;
const std::string kEnoent = "No such file or directory (os error 2)";

// A project root with an empty .vl, removed afterwards.
struct ProjectDir : vl_test::TempDir {
  ProjectDir() { fs::create_directory(file(".vl")); }
  std::string index() const { return file(".vl/index.bin"); }
};

void put_le(Bytes& b, size_t pos, uint64_t v, int width) { b.replace(pos, width, le(v, width)); }

// A key whose first byte is `first` and whose other bytes are all `fill`.
IndexKey key_of(uint8_t first, uint8_t fill = 0) {
  IndexKey k;
  k.fill(fill);
  k[0] = first;
  return k;
}

Bytes raw(const IndexKey& k) { return Bytes(k.begin(), k.end()); }

template <typename Range>
std::string hex(const Range& bytes, const char* digits = "0123456789abcdef") {
  std::string s;
  for (unsigned char b : bytes) s += {digits[b >> 4], digits[b & 15]};
  return s;
}
const char* const kUpper = "0123456789ABCDEF";

BinaryIndex open_index(const ProjectDir& dir) { return BinaryIndex::open(dir.root).value(); }

TEST(HexToBytes, DecodesEitherCaseAndRefusesAnythingButSixtyFourDigits) {
  const IndexKey key = key_of(0xab, 0xcd);
  const std::string h = hex(key);
  for (auto s : {h, hex(key, kUpper), "aB" + h.substr(2)}) EXPECT_EQ(vl::hex_to_bytes(s), key);
  const std::pair<std::string, Chain> refused[] = {
      {std::string(63, 'a'), {"expected 64-char hex, got 63 chars"}},
      {std::string(65, 'a'), {"expected 64-char hex, got 65 chars"}},
      {std::string(63, '0') + "g", {"hex decode failed", "invalid character 'g' at position 63"}},
      {"\x01" + std::string(63, '0'), {"hex decode failed", "invalid byte 0x01 at position 0"}},
      // 64 bytes in 63 characters: the length counts bytes.
      {Bytes(62, 'a') + "\xC3\xA9", {"hex decode failed", "invalid byte 0xc3 at position 62"}},
  };
  for (const auto& [bad, c] : refused) EXPECT_EQ(error_chain([&] { vl::hex_to_bytes(bad); }), c);
}

// An entry: key, refs length, refs.
Bytes entry(const IndexKey& k, const Bytes& refs) { return raw(k) + le(refs.size(), 2) + refs; }

// A whole index of `count` entries laid out in `body`, with the given slots.
Bytes index_file(uint32_t count, const Bytes& body, const std::map<int, uint64_t>& slots) {
  Bytes fanout(2048, '\0');
  for (auto [s, offset] : slots) put_le(fanout, 8 * s, offset, 8);
  return "VLIDXF02" + le(count, 4) + le(0, 4) + le(24 + body.size(), 8) + body + fanout;
}

TEST(Build, WritesEntriesSortedByKeyEachSlotAtTheFirstOfItsRange) {
  const IndexKey k = key_of(0x01, 0xAB), a1 = key_of(0x10, 1), a2 = key_of(0x10, 2),
                 b = key_of(0x80), c = key_of(0x05);
  const IndexRef shard = IndexRef::shard(0x3f), token = IndexRef::token_line("ab", 2, 3, 4);
  const Bytes shard_bytes("\x00\x3f", 2);
  const Bytes token_bytes = Bytes("\x01\x02" "ab", 4) + le(2, 2) + le(3, 4) + le(4, 4);
  const std::pair<Entries, Bytes> cases[] = {
      {{}, index_file(0, "", {})},
      {{{k, {shard, token}}}, index_file(1, entry(k, shard_bytes + token_bytes), {{0x01, 24}})},
      {{{a2, {shard}}, {b, {}}, {a1, {token}}, {c, {}}},
       index_file(4, entry(c, "") + entry(a1, token_bytes) + entry(a2, shard_bytes) + entry(b, ""),
                  {{0x05, 24}, {0x10, 58}, {0x80, 142}})},
  };
  for (const auto& [entries, expected] : cases) {
    ProjectDir dir;
    EXPECT_EQ(BinaryIndex::build(dir.root, entries), entries.size());
    EXPECT_EQ(read_file(dir.index()), expected);
    EXPECT_EQ(open_index(dir).entry_count(), entries.size());
  }
}

TEST(Build, KeepsDuplicateKeysInInputOrder) {
  ProjectDir dir;
  Entries entries;  // enough duplicates that an unstable sort would reorder some
  for (int i = 0; i < 250; ++i) entries.push_back({key_of(7 - i % 7), {IndexRef::shard(i)}});
  BinaryIndex::build(dir.root, entries);
  std::ranges::stable_sort(entries, {}, &Entries::value_type::first);
  Bytes body;
  for (const auto& [k, refs] : entries) body += entry(k, {'\0', char(refs[0].as_shard().shard)});
  EXPECT_EQ(read_file(dir.index()).substr(24, body.size()), body);
  EXPECT_EQ(open_index(dir).lookup_key(key_of(1)), Refs{IndexRef::shard(6)}) << "the first copy";
}

// The widest tokenizer name and refs area the format holds are written; one
// byte more is refused, and the previous index stays exactly as it was.
TEST(Build, RefusesFieldsWiderThanTheFormatBeforeTouchingTheFile) {
  Refs full(32761, IndexRef::shard(9));  // 65522 bytes, then a 13-byte token reference
  full.push_back(IndexRef::token_line("x", 1, 2, 3));
  const std::string name(255, 't');
  const IndexKey k = key_of(1, 0xcd);
  const struct { Refs widest, refused; Chain error; } cases[] = {
      {{IndexRef::token_line(name, 1, 2, 3)}, {IndexRef::token_line(name + "t", 1, 2, 3)},
       {"tokenizer name too long for the binary index: 256 bytes, at most 255"}},
      {full, Refs(32768, IndexRef::shard(9)),
       {"references of key " + hex(k) +
        " take 65536 bytes, more than the binary index holds for one key (65535)"}},
  };
  for (const auto& c : cases) {
    ProjectDir dir;
    BinaryIndex::build(dir.root, {{key_of(2), {}}, {k, c.widest}});
    EXPECT_EQ(open_index(dir).lookup_key(k), c.widest);
    const Bytes before = read_file(dir.index());
    EXPECT_EQ(error_chain([&] { BinaryIndex::build(dir.root, {{k, c.refused}}); }), c.error);
    EXPECT_EQ(read_file(dir.index()), before);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.root + "/.vl"), {}), 1) << "leftovers";
  }
}

TEST(Lookup, FindsExactlyTheStoredKeys) {
  ProjectDir dir;
  // Two keys sharing a first byte (the larger with mixed references), one
  // without references, one whose tokenizer name is not UTF-8, and one in
  // the last range, which ends at the fan-out table.
  const IndexKey small = key_of(0x3f, 0x10), large = key_of(0x3f, 0x20),
                 lone = key_of(0x80, 0x55), odd = key_of(0x90), last = key_of(0xff, 0x01);
  const Refs small_refs{IndexRef::shard(0x3f)}, last_refs{IndexRef::token_line("l", 7, 0, 12)};
  const Refs large_refs{IndexRef::token_line("gpt2", 1, 100, 57), IndexRef::shard(0x00),
                        IndexRef::shard(0xff), IndexRef::token_line("", 0xffff, 0xffffffff, 0)};
  BinaryIndex::build(dir.root, {{large, large_refs}, {last, last_refs}, {small, small_refs},
                                {lone, {}}, {odd, {IndexRef::token_line("a\xFF" "b", 1, 2, 3)}}});
  BinaryIndex idx = open_index(dir);
  const std::string h = hex(large);
  const std::pair<std::string, Refs> cases[] = {
      {hex(small), small_refs},                        // the entry the slot points at
      {h, large_refs},                                 // scanning past the smaller key
      {hex(large, kUpper), large_refs},                // upper case
      {hex(last), last_refs},                          // the range that ends at the table
      {hex(lone), kNone},                              // present without references
      {hex(odd), {IndexRef::token_line("a\xEF\xBF\xBD" "b", 1, 2, 3)}},
      {hex(key_of(0x3f, 0x00)), kNone},                // smaller than every key of its range
      {hex(key_of(0x3f, 0x15)), kNone},                // between two keys
      {hex(key_of(0x3f, 0x30)), kNone},                // after the last key of its range
      {hex(key_of(0xff, 0x02)), kNone},                // after the last key of all
      {hex(key_of(0x40)), kNone},                      // an empty slot
      {h.substr(0, 63), kNone}, {h + "0", kNone}, {h.substr(0, 10) + "z" + h.substr(11), kNone},
  };
  for (const auto& [hash, refs] : cases) EXPECT_EQ(idx.lookup(hash), refs) << hash;
}

TEST(Open, AbsentFileIsNoIndexAndUnusableFilesAreRefused) {
  ProjectDir dir;
  EXPECT_FALSE(BinaryIndex::open(dir.root).has_value());
  // Two used slots whose entries are of their bytes but out of order.
  BinaryIndex::build(dir.root, {{key_of(0x10), {}}, {key_of(0x20), {}}});
  Bytes swapped = read_file(dir.index());  // entries at 24 and 58, F = 92
  swapped[24] = 0x20;
  swapped[58] = 0x10;
  put_le(swapped, 92 + 8 * 0x10, 58, 8);
  put_le(swapped, 92 + 8 * 0x20, 24, 8);
  BinaryIndex::build(dir.root, {{key_of(1), {}}});
  const Bytes good = read_file(dir.index());  // 2106 bytes, F = 58
  auto with = [&](size_t pos, const Bytes& p) { return Bytes(good).replace(pos, p.size(), p); };
  auto bad_f = [&](uint64_t f) {
    return std::pair{with(16, le(f, 8)), "binary index is corrupt: fan-out table offset " +
                                             std::to_string(f) + " lies outside the 2106-byte "
                                             "file; run `vl index build` to rebuild"};
  };
  const std::string mismatch = "binary index magic mismatch";
  auto corrupt = [](const std::string& what) {
    return "binary index is corrupt: " + what + "; run `vl index build` to rebuild";
  };
  auto bad_slot = [&](int b, uint64_t offset) {
    return corrupt("fan-out slot " + std::to_string(b) + " holds offset " + std::to_string(offset) +
                   ", not an entry of its byte in order");
  };
  const std::pair<Bytes, std::string> cases[] = {
      {"", "binary index file too small: 0 bytes"},  // other lengths: TruncationAtEveryLength...
      {with(0, "VLIDXF01"),
       "binary index format VLIDXF01 is no longer supported; run `vl index build` to rebuild"},
      {with(0, "VLIDXF03"), mismatch}, {with(0, Bytes(8, '\0')), mismatch},
      bad_f(23), bad_f(59) /* one byte short of the table */, bad_f(~uint64_t{0}),
      {with(8, le(2, 4)), corrupt("2 entries cannot fit in 34 bytes")},
      {with(8, le(0xffffffff, 4)), corrupt("4294967295 entries cannot fit in 34 bytes")},
      {with(58 + 8, le(25, 8)), bad_slot(1, 25)},    // inside the key of its entry
      {with(58 + 8, le(58, 8)), bad_slot(1, 58)},    // at the table
      {with(58 + 8, le(30, 8)), bad_slot(1, 30)},    // no room for an entry head
      {with(58 + 8, le(1ull << 45, 8)), bad_slot(1, 1ull << 45)},
      {with(58, le(16, 8)), bad_slot(0, 16)},        // inside the header
      {with(58 + 16, le(24, 8)), bad_slot(2, 24)},   // an entry of another byte
      {swapped, bad_slot(0x20, 24)},
  };
  write_file(dir.file("d.jsonl"), "a\nb\n");
  for (const auto& [bytes, message] : cases) {
    write_file(dir.index(), bytes);
    EXPECT_EQ(error_chain([&] { BinaryIndex::open(dir.root); }), Chain{message});
    // Nothing is appended to a file that does not open as an index.
    EXPECT_EQ(error_chain([&] { BinaryIndex::append_line_offsets(dir.root, dir.file("d.jsonl")); }),
              Chain{message});
    EXPECT_EQ(read_file(dir.index()), bytes);
  }
}

// A line starts at byte 0 and after every newline that is not the last byte;
// an empty or missing data file adds no block.  Each append adds a block at
// the end, and open() reports the first.
TEST(LineOffsets, EachAppendAddsABlockOfLineStartsAndMissingFilesAreNamed) {
  auto block = [](const Offsets& offsets) {
    Bytes b = offsets.empty() ? "" : le(offsets.size(), 4);
    for (uint32_t o : offsets) b += le(o, 4);
    return b;
  };
  const std::pair<const char*, Offsets> cases[] = {
      {"a\nb\n", {0, 2}}, {"a\nb", {0, 2}}, {"\n\nxy\n", {0, 1, 2}},
      {"\n", {0}},        {"", {}},         {nullptr, {}}};
  for (const auto& [data, offsets] : cases) {
    SCOPED_TRACE(data ? data : "missing");
    ProjectDir dir;
    BinaryIndex::build(dir.root, {{key_of(0x3f), {IndexRef::shard(1)}}});
    const Bytes before = read_file(dir.index());
    if (data) write_file(dir.file("d.jsonl"), data);
    write_file(dir.file("e.jsonl"), "x\ny\nz\n");
    BinaryIndex::append_line_offsets(dir.root, dir.file("d.jsonl"));
    BinaryIndex::append_line_offsets(dir.root, dir.file("e.jsonl"));
    EXPECT_EQ(read_file(dir.index()), before + block(offsets) + block({0, 2, 4}));
    BinaryIndex idx = open_index(dir);
    EXPECT_EQ(idx.line_offsets_pos(), before.size() + 4);
    EXPECT_EQ(idx.first_line_offsets(), (offsets.empty() ? Offsets{0, 2, 4} : offsets));
  }
  // Writing where no file can be opened names the file.
  ProjectDir dir;
  write_file(dir.file("d.jsonl"), "a\n");
  EXPECT_EQ(error_chain([&] { BinaryIndex::append_line_offsets(dir.root, dir.file("d.jsonl")); }),
            (Chain{"opening " + dir.index() + " for append", kEnoent}));
  EXPECT_FALSE(fs::exists(dir.index())) << "append must not create the index";
  fs::remove(dir.root + "/.vl");
  EXPECT_EQ(error_chain([&] { BinaryIndex::build(dir.root, {}); }),
            (Chain{"creating " + dir.index(), kEnoent}));
}

// The reader never reads outside its mapping.  open() refuses a file whose
// fan-out table offset F leaves no room for the table or whose used slots
// are out of place; damage inside the entries makes the affected lookups
// return empty, or, inside a refs area, the references decoded before the
// damage.
class Damaged : public ::testing::Test {
 protected:
  // At 24, 76, 112 and 161; F = 211.
  IndexKey a = key_of(0x10, 1), b = key_of(0x10, 2), c = key_of(0x20), z = key_of(0xff, 0xff);
  Refs a_refs{IndexRef::shard(1), IndexRef::token_line("gpt2", 1, 2, 3)};
  Refs z_refs{IndexRef::shard(0xff), IndexRef::token_line("zz", 9, 9, 9)};
  ProjectDir dir;
  Bytes good;
  const size_t f = 211;

  void SetUp() override {
    BinaryIndex::build(dir.root, {{a, a_refs}, {b, {IndexRef::shard(2)}}, {z, z_refs},
                                  {c, {IndexRef::token_line("t", 4, 5, 6), IndexRef::shard(3)}}});
    good = read_file(dir.index());
    ASSERT_EQ(good.substr(16, 8), le(f, 8));
  }
  size_t at(const IndexKey& k) const { return good.find(raw(k)); }
  BinaryIndex reopen(const Bytes& bytes) { write_file(dir.index(), bytes); return open_index(dir); }
  // The lookup of `key` once the `width` bytes at `pos` read `value`.
  Refs lookup_damaged(size_t pos, uint64_t value, int width, const IndexKey& key) {
    return reopen(Bytes(good).replace(pos, width, le(value, width))).lookup_key(key);
  }
};

TEST_F(Damaged, TruncationAtEveryLengthIsRefusedOrReadsOnlyWhatIsThere) {
  write_file(dir.file("d.jsonl"), "one\ntwo\nthree\n");
  BinaryIndex::append_line_offsets(dir.root, dir.file("d.jsonl"));
  const Bytes full = read_file(dir.index());
  const size_t blocks = f + 2048;
  for (size_t len = 0; len <= full.size(); ++len) {
    SCOPED_TRACE("length " + std::to_string(len));
    write_file(dir.index(), full.substr(0, len));
    const Chain error = error_chain([&] { BinaryIndex::open(dir.root); });
    if (len < 2072) {
      EXPECT_EQ(error, Chain{"binary index file too small: " + std::to_string(len) + " bytes"});
    } else if (len < blocks) {
      EXPECT_NE(error.at(0).find("fan-out table offset"), std::string::npos);
    } else {
      BinaryIndex idx = open_index(dir);
      EXPECT_EQ(idx.lookup_key(a), a_refs);
      EXPECT_EQ(idx.lookup_key(z), z_refs);
      // A bare count is no block; a count beyond the file yields the offsets present.
      Offsets present{0, 4, 8};
      present.resize(len > blocks + 4 ? std::min<size_t>(3, (len - blocks - 4) / 4) : 0);
      EXPECT_EQ(idx.line_offsets_count(), len > blocks + 4 ? 3u : 0u);
      EXPECT_EQ(idx.first_line_offsets(), present);
    }
  }
}

// A refs length running past its range gives nothing; damage inside a refs
// area keeps the references before it.  a's references are a shard (2 bytes),
// then a 16-byte token line.
TEST_F(Damaged, RefsAreaReadsOnlyWhatFitsItsRange) {
  EXPECT_EQ(lookup_damaged(at(b) + 32, 200, 2, b), kNone);     // the last entry of its range
  EXPECT_EQ(lookup_damaged(at(z) + 32, 0xffff, 2, z), kNone);  // the last entry, into the table
  EXPECT_EQ(lookup_damaged(at(a) + 32, 0xffff, 2, b), kNone);  // a skipped entry
  const Refs first{IndexRef::shard(1)};
  for (uint16_t n = 2; n < 18; ++n) EXPECT_EQ(lookup_damaged(at(a) + 32, n, 2, a), first) << n;
  EXPECT_EQ(lookup_damaged(at(a) + 32, 1, 2, a), kNone);     // a shard tag without its byte
  EXPECT_EQ(lookup_damaged(at(a) + 37, 0xff, 1, a), first);  // a name running past the area
  EXPECT_EQ(lookup_damaged(at(a) + 36, 0x07, 1, a), first);  // unknown tags
  EXPECT_EQ(lookup_damaged(at(a) + 34, 0x02, 1, a), kNone);
}

TEST_F(Damaged, RandomBytesBehindAValidHeaderNeverEscapeTheMapping) {
  std::mt19937 rng(2024);
  for (int round = 0; round < 200; ++round) {
    Bytes bytes;
    for (size_t i = 0, size = 2072 + rng() % 3000; i < size; ++i) bytes += char(rng());
    const uint64_t fo = 24 + rng() % (bytes.size() - 2072 + 1);
    bytes.replace(0, 24, "VLIDXF02" + le(rng() % ((fo - 24) / 34 + 1), 4) + Bytes(4, '\0') + le(fo, 8));
    // Slots that open() accepts: rising positions in the entry area, each
    // under the byte found there; the entries themselves are garbage.
    bytes.replace(fo, 2048, Bytes(2048, '\0'));
    int last = -1;
    for (uint64_t pos = 24; fo >= 58 && pos <= fo - 34; pos += 1 + rng() % 40) {
      const int b = static_cast<unsigned char>(bytes[pos]);
      if (b > last) put_le(bytes, fo + 8 * b, pos, 8), last = b;
    }
    BinaryIndex idx = reopen(bytes);
    for (int q = 0; q < 64; ++q) {  // half the probes copied from the file, so that some match
      IndexKey k = key_of(uint8_t(rng()), uint8_t(rng()));
      if (q % 2 == 0 && fo >= 56) std::copy_n(&bytes[24 + rng() % (fo - 55)], 32, k.begin());
      for (const IndexRef& r : idx.lookup_key(k)) {
        EXPECT_TRUE(r.is_shard() || r.as_token_line().tokenizer.size() <= 255 * 3);
      }
    }
    (void)idx.first_line_offsets();
  }
}

// tests/binindex.py writes index files for the Python tests; it must produce
// the very bytes the native writer does.  The test runner passes the
// interpreter and the module's directory in the environment.
TEST(PythonWriter, WritesTheSameBytesAsBuild) {
  const char* python = std::getenv("VL_TEST_PYTHON");
  const char* module_dir = std::getenv("VL_TEST_BININDEX_DIR");
  if (!python || !module_dir) GTEST_SKIP() << "VL_TEST_PYTHON / VL_TEST_BININDEX_DIR not set";
  std::mt19937 rng(99);
  Entries entries(300);  // random keys, every tenth in the range 0x3f, up to four references each
  for (size_t i = 0; i < entries.size(); ++i) {
    for (auto& x : entries[i].first) x = uint8_t(rng());
    if (i % 10 == 0) entries[i].first[0] = 0x3f;
    for (int j = 0, n = int(rng() % 5); j < n; ++j) {
      entries[i].second.push_back(
          rng() % 2 ? IndexRef::shard(uint8_t(rng()))
                    : IndexRef::token_line(j % 2 ? "gpt2" : "t\xC3\xA9st-\xE2\x82\xAC",
                                           uint16_t(rng()), rng(), rng()));
    }
  }
  // Duplicates of one key, which stay in input order, and the largest key.
  entries.insert(entries.end(), {{entries[5].first, {}}, {key_of(0xff, 0xff), {}},
                                 {entries[5].first, Refs(10, IndexRef::shard(1))}});
  std::ostringstream py;  // the entries as Python (hex key, refs) pairs
  for (const auto& [k, refs] : entries) {
    py << "('" << hex(k) << "', [";
    for (const IndexRef& r : refs) {
      if (r.is_shard()) {
        py << "('shard', " << int(r.as_shard().shard) << "), ";
        continue;
      }
      const vl::TokenLineRef& t = r.as_token_line();
      py << "('token', bytes.fromhex('" << hex(t.tokenizer) << "'), " << t.file_number << ", "
         << t.line_offset << ", " << t.line_length << "), ";
    }
    py << "]),\n";
  }
  ProjectDir native, pyside;
  for (const ProjectDir* d : {&native, &pyside}) write_file(d->file("d"), "{}\n{\"a\": 1}\n\nlast");
  BinaryIndex::build(native.root, entries);
  BinaryIndex::append_line_offsets(native.root, native.file("d"));
  write_file(pyside.file("make.py"),
             "import sys\nsys.path.insert(0, '" + std::string(module_dir) + "')\nimport binindex\n"
             "r = sys.argv[1]\nbinindex.write_index(r, [\n" + py.str() + "])\n"
             "binindex.append_line_offsets(r, r + '/d')\n");
  const std::string cmd =
      "'" + std::string(python) + "' '" + pyside.file("make.py") + "' '" + pyside.root + "'";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
  EXPECT_TRUE(read_file(native.index()) == read_file(pyside.index())) << "files differ";
}

}  // namespace
