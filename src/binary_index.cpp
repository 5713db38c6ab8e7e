#include "binary_index.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "error.hpp"
#include "layout.hpp"
#include "mmap_lines.hpp"
#include "storage.hpp"

namespace vl {

namespace {

constexpr char kMagic[8] = {'V', 'L', 'I', 'D', 'X', 'F', '0', '2'};
constexpr char kOldMagic[8] = {'V', 'L', 'I', 'D', 'X', 'F', '0', '1'};
constexpr uint64_t kHeaderSize = 24;
constexpr uint64_t kFanoutSize = 256 * 8;
constexpr uint64_t kMinFileSize = kHeaderSize + kFanoutSize;  // 2072
constexpr uint64_t kEntryHead = 32 + 2;                       // key, refs length
constexpr uint8_t kShardTag = 0x00;
constexpr uint8_t kTokenLineTag = 0x01;
constexpr size_t kMaxNameLen = 255;
constexpr size_t kMaxRefsLen = 65535;

uint16_t read_u16(const unsigned char* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t read_u32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint64_t read_u64(const unsigned char* p) {
  return static_cast<uint64_t>(read_u32(p)) | (static_cast<uint64_t>(read_u32(p + 4)) << 32);
}

// Collects small writes into large ones: the index is made of many fields
// of a few bytes each, and one write(2) per field would dominate a build.
class BufferedWriter {
 public:
  explicit BufferedWriter(const Fd& fd) : fd_(fd) { buf_.reserve(kCapacity); }

  void bytes(const void* data, size_t len) {
    if (buf_.size() + len > kCapacity) flush();
    if (len >= kCapacity) {
      fd_.write_all({static_cast<const char*>(data), len});
    } else {
      buf_.append(static_cast<const char*>(data), len);
    }
  }
  void u16(uint16_t v) { le(v, 2); }
  void u32(uint32_t v) { le(v, 4); }
  void u64(uint64_t v) { le(v, 8); }

  void flush() {
    fd_.write_all(buf_);
    buf_.clear();
  }

 private:
  static constexpr size_t kCapacity = 1 << 18;

  void le(uint64_t v, int width) {
    unsigned char b[8];
    for (int i = 0; i < width; ++i) b[i] = static_cast<unsigned char>(v >> (8 * i));
    bytes(b, static_cast<size_t>(width));
  }

  const Fd& fd_;
  std::string buf_;
};

int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes the hex digits of `s` (even length) into out[0 .. s.size()/2).
// Returns the index of the first byte that is not a hex digit, or npos.
size_t decode_hex_into(std::string_view s, uint8_t* out) {
  for (size_t i = 0; i + 1 < s.size(); i += 2) {
    int hi = hex_value(static_cast<unsigned char>(s[i]));
    if (hi < 0) return i;
    int lo = hex_value(static_cast<unsigned char>(s[i + 1]));
    if (lo < 0) return i + 1;
    out[i / 2] = static_cast<uint8_t>(hi << 4 | lo);
  }
  return std::string_view::npos;
}

// The general decoder: any even number of digits, either case.
std::vector<uint8_t> decode_hex(std::string_view s) {
  if (s.size() % 2 != 0) throw Error("odd number of digits");
  std::vector<uint8_t> out(s.size() / 2);
  size_t bad = decode_hex_into(s, out.data());
  if (bad != std::string_view::npos) {
    auto c = static_cast<unsigned char>(s[bad]);
    std::string what;
    if (c >= 0x20 && c < 0x7F) {
      what = std::string("character '") + static_cast<char>(c) + "'";
    } else {
      static constexpr char kHex[] = "0123456789abcdef";
      what = std::string("byte 0x") + kHex[c >> 4] + kHex[c & 15];
    }
    throw Error("invalid " + what + " at position " + std::to_string(bad));
  }
  return out;
}

std::string key_hex(const IndexKey& key) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : key) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

// Bytes the references take in a refs area; refuses what the format cannot
// hold (a name length is one byte, a refs length two).
size_t refs_length(const IndexEntry& e) {
  size_t len = 0;
  for (const IndexRef& r : e.refs) {
    if (r.is_shard()) {
      len += 2;
      continue;
    }
    const std::string& name = r.as_token_line().tokenizer;
    if (name.size() > kMaxNameLen) {
      throw Error("tokenizer name too long for the binary index: " +
                  std::to_string(name.size()) + " bytes, at most 255");
    }
    len += name.size() + 12;
  }
  if (len > kMaxRefsLen) {
    throw Error("references of key " + key_hex(e.key) + " take " + std::to_string(len) +
                " bytes, more than the binary index holds for one key (65535)");
  }
  return len;
}

void write_u16(std::string& out, uint16_t v) {
  out.push_back(static_cast<char>(v & 0xff));
  out.push_back(static_cast<char>(v >> 8));
}

void write_u32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}

// Decodes a refs area of `len` bytes.  A reference that does not fit in the
// area, or an unknown tag, ends the list: what came before it is returned.
std::vector<IndexRef> decode_refs(const unsigned char* p, size_t len) {
  std::vector<IndexRef> out;
  size_t pos = 0;
  while (pos < len) {
    uint8_t tag = p[pos];
    if (tag == kTokenLineTag) {
      if (pos + 1 >= len) break;
      size_t n = p[pos + 1];
      if (pos + 2 + n + 10 > len) break;
      const unsigned char* name = p + pos + 2;
      const unsigned char* fields = name + n;
      out.push_back(IndexRef::token_line(
          lossy_utf8({reinterpret_cast<const char*>(name), n}), read_u16(fields),
          read_u32(fields + 2), read_u32(fields + 6)));
      pos += n + 12;
    } else if (tag == kShardTag) {
      if (pos + 1 >= len) break;
      out.push_back(IndexRef::shard(p[pos + 1]));
      pos += 2;
    } else {
      break;
    }
  }
  return out;
}

// The entry count and the fan-out table, checked against the entry area
// [24, F) before any lookup reads them: the count must fit the area, and
// every used slot must point at an entry head inside it whose key starts
// with the slot's byte, the used slots rising with their byte.  All sums
// stay far below 2^64 (F is at most the file length).
void check_tables(const unsigned char* d, uint64_t fanout_offset) {
  auto corrupt = [](const std::string& what) {
    return Error("binary index is corrupt: " + what + "; run `vl index build` to rebuild");
  };
  const uint64_t area = fanout_offset - kHeaderSize;
  const uint32_t count = read_u32(d + 8);
  if (uint64_t{count} > area / kEntryHead) {
    throw corrupt(std::to_string(count) + " entries cannot fit in " + std::to_string(area) +
                  " bytes");
  }
  const unsigned char* fanout = d + fanout_offset;
  uint64_t previous = 0;
  for (unsigned b = 0; b < 256; ++b) {
    const uint64_t slot = read_u64(fanout + 8 * b);
    if (slot == 0) continue;
    if (slot < kHeaderSize || slot >= fanout_offset || fanout_offset - slot < kEntryHead ||
        slot < previous ||
        d[slot] != b) {
      throw corrupt("fan-out slot " + std::to_string(b) + " holds offset " + std::to_string(slot) +
                    ", not an entry of its byte in order");
    }
    previous = slot;
  }
}

// Opens an existing file for writing without creating or truncating it.
Fd open_existing_for_write(const std::string& path, int extra_flags) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | extra_flags);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) throw Error::last_os();
  return Fd(fd);
}

}  // namespace

std::string BinaryIndex::file_path(const std::string& vl_dir) {
  return layout::index_bin(vl_dir);
}

IndexKey hex_to_bytes(std::string_view hash) {
  if (hash.size() != 64) {
    throw Error("expected 64-char hex, got " + std::to_string(hash.size()) + " chars");
  }
  std::vector<uint8_t> bytes = with_context("hex decode failed", [&] { return decode_hex(hash); });
  if (bytes.size() != 32) throw Error("wrong byte count");
  IndexKey key;
  std::copy(bytes.begin(), bytes.end(), key.begin());
  return key;
}

void encode_shard_ref(std::string& area, uint8_t shard) {
  area.push_back(static_cast<char>(kShardTag));
  area.push_back(static_cast<char>(shard));
}

void encode_token_line_ref(std::string& area, std::string_view tokenizer, uint16_t file_number,
                           uint32_t line_offset, uint32_t line_length) {
  area.push_back(static_cast<char>(kTokenLineTag));
  area.push_back(static_cast<char>(tokenizer.size()));
  area.append(tokenizer);
  write_u16(area, file_number);
  write_u32(area, line_offset);
  write_u32(area, line_length);
}

uint32_t BinaryIndex::build(const std::string& vl_dir,
                            std::vector<std::pair<IndexKey, std::vector<IndexRef>>> entries) {
  if (entries.size() > std::numeric_limits<uint32_t>::max()) {
    throw Error("too many entries for the binary index: " + std::to_string(entries.size()) +
                ", at most 4294967295");
  }
  std::vector<IndexEntry> sorted;
  sorted.reserve(entries.size());
  for (auto& [key, refs] : entries) sorted.push_back({key, std::move(refs)});
  entries.clear();
  // Equal keys keep their input order; the writer neither merges nor drops.
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const IndexEntry& a, const IndexEntry& b) { return a.key < b.key; });

  // Input the format cannot hold is refused here, in key order, before the
  // old file is touched.
  std::vector<std::pair<IndexKey, std::string>> encoded;
  encoded.reserve(sorted.size());
  for (const IndexEntry& e : sorted) {
    std::string area;
    area.reserve(refs_length(e));
    for (const IndexRef& r : e.refs) {
      if (r.is_shard()) {
        encode_shard_ref(area, r.as_shard().shard);
      } else {
        const TokenLineRef& t = r.as_token_line();
        encode_token_line_ref(area, t.tokenizer, t.file_number, t.line_offset, t.line_length);
      }
    }
    encoded.emplace_back(e.key, std::move(area));
  }
  return build_encoded(vl_dir, std::move(encoded));
}

uint32_t BinaryIndex::build_encoded(const std::string& vl_dir,
                                    std::vector<std::pair<IndexKey, std::string>> entries) {
  if (entries.size() > std::numeric_limits<uint32_t>::max()) {
    throw Error("too many entries for the binary index: " + std::to_string(entries.size()) +
                ", at most 4294967295");
  }
  auto by_key = [](const auto& a, const auto& b) { return a.first < b.first; };
  // Equal keys keep their input order; the writer neither merges nor drops.
  if (!std::is_sorted(entries.begin(), entries.end(), by_key)) {
    std::stable_sort(entries.begin(), entries.end(), by_key);
  }

  // All offsets are known before the first byte is written, so the fan-out
  // table can follow the entries without seeking back.
  std::array<uint64_t, 256> fanout{};
  uint64_t offset = kHeaderSize;
  for (size_t i = 0; i < entries.size(); ++i) {
    const auto& [key, area] = entries[i];
    if (area.size() > kMaxRefsLen) {
      throw Error("references of key " + key_hex(key) + " take " + std::to_string(area.size()) +
                  " bytes, more than the binary index holds for one key (65535)");
    }
    if (i == 0 || key[0] != entries[i - 1].first[0]) fanout[key[0]] = offset;
    offset += kEntryHead + area.size();
  }
  const uint64_t fanout_offset = offset;
  const auto count = static_cast<uint32_t>(entries.size());

  // The new index is written beside the old one and renamed over it once
  // it is complete and verified: readers never map a half-written file,
  // and a build that fails leaves the previous index as it was.
  const std::string path = file_path(vl_dir);
  replace_file(path, [&](Fd& fd, const std::string& temp) {
    BufferedWriter w(fd);
    w.bytes(kMagic, sizeof kMagic);
    w.u32(count);
    w.u32(0);  // reserved
    w.u64(0);  // F, patched once everything else is written
    for (const auto& [key, area] : entries) {
      w.bytes(key.data(), key.size());
      w.u16(static_cast<uint16_t>(area.size()));
      w.bytes(area.data(), area.size());
    }
    for (uint64_t slot : fanout) w.u64(slot);
    w.flush();

    // Until F is patched it reads as 0, which open() refuses.
    unsigned char f_bytes[8];
    for (int i = 0; i < 8; ++i) f_bytes[i] = static_cast<unsigned char>(fanout_offset >> (8 * i));
    fd.pwrite_all({reinterpret_cast<const char*>(f_bytes), sizeof f_bytes}, 16);

    std::optional<BinaryIndex> check = open_path(temp);
    if (!check) throw Error("failed to re-open binary index for verification");
    if (check->entry_count() != count) {
      throw Error("verification failed: expected " + std::to_string(count) + " entries, stored " +
                  std::to_string(check->entry_count()));
    }
  });
  return count;
}

// A file that open() accepts has a valid magic and
// 24 <= F <= file length - 2048, so the header and the whole fan-out table
// lie inside the mapping; its entry count fits the entry area and its used
// fan-out slots rise and point at entry heads of their byte.  What lies
// inside the entries (refs lengths) and the block counts are checked where
// they are used: a corrupt entry makes lookup() return an empty list rather
// than reject the whole file.
std::optional<BinaryIndex> BinaryIndex::open(const std::string& vl_dir) {
  return open_path(file_path(vl_dir));
}

std::optional<BinaryIndex> BinaryIndex::open_path(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  Fd fd = with_context("opening " + path, [&] { return Fd::open_read(path); });
  if (::fstat(fd.get(), &st) != 0) throw Error::last_os();
  const auto size = static_cast<uint64_t>(st.st_size);
  if (size < kMinFileSize) {
    throw Error("binary index file too small: " + std::to_string(size) + " bytes");
  }
  Mapping map = Mapping::map(fd, static_cast<size_t>(size));
  const unsigned char* d = map.data();
  if (std::memcmp(d, kOldMagic, 8) == 0) {
    throw Error(
        "binary index format VLIDXF01 is no longer supported; run `vl index build` to rebuild");
  }
  if (std::memcmp(d, kMagic, 8) != 0) throw Error("binary index magic mismatch");

  const uint64_t fanout_offset = read_u64(d + 16);
  if (fanout_offset < kHeaderSize || fanout_offset > size - kFanoutSize) {
    throw Error("binary index is corrupt: fan-out table offset " + std::to_string(fanout_offset) +
                " lies outside the " + std::to_string(size) +
                "-byte file; run `vl index build` to rebuild");
  }
  check_tables(d, fanout_offset);
  uint32_t lo_count = 0;
  uint64_t lo_pos = 0;
  const uint64_t blocks = fanout_offset + kFanoutSize;
  if (size > blocks + 4) {
    lo_count = read_u32(d + blocks);
    lo_pos = blocks + 4;
  }
  return BinaryIndex(std::move(map), fanout_offset, lo_count, lo_pos);
}

uint32_t BinaryIndex::entry_count() const { return read_u32(map_.data() + 8); }

std::vector<uint32_t> BinaryIndex::first_line_offsets() const {
  std::vector<uint32_t> out;
  if (line_offsets_pos_ == 0) return out;
  const uint64_t held = (map_.size() - line_offsets_pos_) / 4;
  const uint64_t n = std::min<uint64_t>(line_offsets_count_, held);
  out.reserve(static_cast<size_t>(n));
  for (uint64_t i = 0; i < n; ++i) out.push_back(read_u32(map_.data() + line_offsets_pos_ + 4 * i));
  return out;
}

std::vector<IndexRef> BinaryIndex::lookup(std::string_view hash) const {
  IndexKey key;
  if (hash.size() != 64 || decode_hex_into(hash, key.data()) != std::string_view::npos) return {};
  return lookup_key(key);
}

std::set<std::string> BinaryIndex::shard_names(const std::vector<std::string>& hashes) const {
  std::set<std::string> names;
  for (const std::string& hash : hashes) {
    for (const IndexRef& ref : lookup(hash)) {
      if (ref.is_shard()) names.insert(layout::shard_name_of(ref.as_shard().shard));
    }
  }
  return names;
}

// The scan stays inside [start, end), and end never exceeds F, which open()
// has checked against the file length.  A slot outside the entry area, an
// entry head cut off by the end of the range, or a refs length that runs
// past it all mean corruption and give an empty list.  A slot pointing into
// the middle of an entry reads garbage keys but never leaves the range.
std::vector<IndexRef> BinaryIndex::lookup_key(const IndexKey& key) const {
  const unsigned char* d = map_.data();
  const unsigned char* fanout = d + fanout_offset_;
  const unsigned first = key[0];
  const uint64_t start = read_u64(fanout + 8 * first);
  if (start == 0) return {};
  if (start < kHeaderSize || start >= fanout_offset_) return {};
  uint64_t end = fanout_offset_;
  for (unsigned b = first + 1; b < 256; ++b) {
    uint64_t next = read_u64(fanout + 8 * b);
    if (next != 0) {
      end = std::min(next, fanout_offset_);
      break;
    }
  }
  uint64_t pos = start;
  while (pos < end) {
    if (end - pos < kEntryHead) return {};
    const int cmp = std::memcmp(d + pos, key.data(), key.size());
    const uint16_t refs_len = read_u16(d + pos + 32);
    if (cmp > 0) return {};
    if (cmp < 0) {
      pos += kEntryHead + refs_len;
      continue;
    }
    if (refs_len > end - pos - kEntryHead) return {};
    return decode_refs(d + pos + kEntryHead, refs_len);
  }
  return {};
}

void BinaryIndex::append_line_offsets(const std::string& vl_dir, const std::string& data_file) {
  std::optional<Mapping> map = mmap_file(data_file);
  if (!map) return;
  const std::string_view bytes = map->view();

  // A line starts at 0 and after every newline that is not the last byte.
  // First pass: count them, and refuse a file whose line starts do not fit
  // the 32-bit offsets, before the index is touched.
  uint64_t count = 1;
  uint64_t last_start = 0;
  for (size_t nl = bytes.find('\n'); nl != std::string_view::npos && nl + 1 < bytes.size();
       nl = bytes.find('\n', nl + 1)) {
    ++count;
    last_start = nl + 1;
  }
  if (last_start > std::numeric_limits<uint32_t>::max() ||
      count > std::numeric_limits<uint32_t>::max()) {
    throw Error("line offsets of " + data_file + " do not fit in 32 bits: a line starts at byte " +
                std::to_string(last_start));
  }

  const std::string path = file_path(vl_dir);
  Fd fd = with_context("opening " + path + " for append",
                       [&] { return open_existing_for_write(path, O_APPEND); });
  // Blocks are added only to a file that opens as a sound index.
  open_path(path);
  BufferedWriter w(fd);
  w.u32(static_cast<uint32_t>(count));
  w.u32(0);  // the first line
  for (size_t nl = bytes.find('\n'); nl != std::string_view::npos && nl + 1 < bytes.size();
       nl = bytes.find('\n', nl + 1)) {
    w.u32(static_cast<uint32_t>(nl + 1));
  }
  w.flush();
  fd.close();
}

}  // namespace vl
