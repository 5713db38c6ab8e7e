#include "token_bin_index.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "dense_ids.hpp"
#include "error.hpp"
#include "hash.hpp"
#include "layout.hpp"
#include "mmap_lines.hpp"
#include "pool.hpp"
#include "storage.hpp"

namespace vl::token_index {

namespace {

constexpr char kMagic[9] = {'V', 'L', 'I', 'D', 'X', 'T', 'I', '0', '1'};
constexpr uint32_t kVersion = 1;
constexpr uint64_t kHeaderSize = 64;
constexpr uint64_t kEntrySize = 16;
constexpr uint64_t kSourceHead = 34;
constexpr uint64_t kFanoutSize = 256 * 8;
constexpr uint64_t kFlagAt = 10;
constexpr uint64_t kMaxPerSource = std::numeric_limits<uint16_t>::max();
constexpr uint64_t kMaxU32 = std::numeric_limits<uint32_t>::max();

uint16_t read_u16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t read_u32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint64_t read_u64(const unsigned char* p) {
  return static_cast<uint64_t>(read_u32(p)) | (static_cast<uint64_t>(read_u32(p + 4)) << 32);
}

void put_le(std::string& out, uint64_t v, int width) {
  for (int i = 0; i < width; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}

void store_le(char* p, uint64_t v, int width) {
  for (int i = 0; i < width; ++i) p[i] = static_cast<char>(v >> (8 * i));
}

// A file written through one buffer: take(n) hands out the next n bytes to
// fill (n at most the buffer size), writing out what the buffer holds when
// it is full.
class ChunkedOut {
 public:
  explicit ChunkedOut(Fd& fd) : fd_(fd), buf_(kSize, '\0') {}
  char* take(size_t n) {
    if (used_ + n > buf_.size()) flush();
    char* p = buf_.data() + used_;
    used_ += n;
    return p;
  }
  // Bytes taken so far.
  uint64_t offset() const { return written_ + used_; }
  void flush() {
    fd_.write_all(std::string_view(buf_.data(), used_));
    written_ += used_;
    used_ = 0;
  }

 private:
  static constexpr size_t kSize = 1 << 20;
  Fd& fd_;
  std::string buf_;
  size_t used_ = 0;
  uint64_t written_ = 0;
};

// The header fields that locate everything else, checked against the file
// length: an index whose header promises more than the file holds is
// refused, so no later read can leave the mapping.
struct Layout {
  uint32_t count = 0;
  uint32_t sources_offset = 0;
  uint32_t fanout_offset = 0;
};

Layout check_layout(const unsigned char* d, uint64_t size) {
  if (size < kHeaderSize) {
    throw Error("token binary index file too small: " + std::to_string(size) + " bytes");
  }
  if (std::memcmp(d, kMagic, sizeof kMagic) != 0) throw Error("token binary index magic mismatch");
  const uint32_t version = read_u32(d + 9);
  if (version != kVersion) {
    throw Error("unsupported token binary index version: " + std::to_string(version));
  }
  Layout l;
  l.count = read_u32(d + 13);
  const uint32_t entries_offset = read_u32(d + 21);
  l.sources_offset = read_u32(d + 25);
  l.fanout_offset = read_u32(d + 29);
  const uint64_t entries_end = kHeaderSize + kEntrySize * l.count;
  if (entries_offset != kHeaderSize || l.sources_offset != entries_end ||
      l.fanout_offset < l.sources_offset || l.fanout_offset + kFanoutSize > size) {
    throw Error("token binary index is corrupt: its header describes " +
                std::to_string(l.count) + " entries and tables that do not fit its " +
                std::to_string(size) + " bytes; run `vl index build` to rebuild");
  }
  // The source records and the fan-out table over them: the source count
  // must fit the source area, and every used slot must point at a record
  // head inside it whose hash starts with the slot's byte, the used slots
  // rising with their byte.
  auto corrupt = [](const std::string& what) {
    return Error("token binary index is corrupt: " + what + "; run `vl index build` to rebuild");
  };
  const uint64_t area = uint64_t{l.fanout_offset} - l.sources_offset;
  const uint32_t sources = read_u32(d + 17);
  if (uint64_t{sources} > area / kSourceHead) {
    throw corrupt(std::to_string(sources) + " sources cannot fit in " + std::to_string(area) +
                  " bytes");
  }
  const unsigned char* fanout = d + l.fanout_offset;
  uint64_t previous = 0;
  for (unsigned b = 0; b < 256; ++b) {
    const uint64_t slot = read_u64(fanout + 8 * b);
    if (slot == 0) continue;
    if (slot < l.sources_offset || slot >= l.fanout_offset || l.fanout_offset - slot < kSourceHead ||
        slot < previous || d[slot] != b) {
      throw corrupt("fan-out slot " + std::to_string(b) + " holds offset " + std::to_string(slot) +
                    ", not a source record of its byte in order");
    }
    previous = slot;
  }
  return l;
}

// Checks a newly written index under its temporary name before it is
// renamed into place: it must open as sound and hold n entries.
void verify_written(const std::string& temp, uint32_t n) {
  std::optional<TokenBinIndex> check = TokenBinIndex::open_path(temp);
  if (!check) throw Error("failed to re-open token binary index for verification");
  if (check->entry_count() != n) {
    throw Error("verification failed: expected " + std::to_string(n) + " entries, stored " +
                std::to_string(check->entry_count()));
  }
}

}  // namespace

std::string binary_index_path(const std::string& root, const std::string& tokenizer) {
  return layout::token_bin_index(root, tokenizer);
}

std::optional<SourceKey> source_key(std::string_view text) {
  std::optional<Digest> d = Digest::from_hex(text, Digest::Letters::EitherCase);
  if (!d) return std::nullopt;
  return d->bytes;
}

std::pair<uint32_t, uint32_t> TokenBinIndexBuilder::build(const std::string& root,
                                                          const std::string& tokenizer,
                                                          const std::vector<TokenIndexEntry>& entries,
                                                          const std::vector<RawLocation>& locations) {
  if (entries.size() != locations.size()) {
    throw Error("entries and jsonl_offsets must have the same length (" +
                std::to_string(entries.size()) + " vs " + std::to_string(locations.size()) + ")");
  }
  GroupedEntries grouped;
  grouped.locations = locations;
  grouped.revoked.reserve(entries.size());
  DenseIds<SourceKey> ids;
  for (const TokenIndexEntry& e : entries) {
    const auto i = static_cast<uint32_t>(grouped.revoked.size());
    for (const std::string& s : e.sources) {
      if (auto key = source_key(s)) {
        const auto [id, added] = ids.insert(*key);
        if (added) grouped.sources.emplace_back(*key, std::vector<uint32_t>{});
        grouped.sources[id].second.push_back(i);
      }
    }
    grouped.revoked.push_back(e.revoked ? 1 : 0);
  }
  return build(root, tokenizer, std::move(grouped));
}

std::pair<uint32_t, uint32_t> TokenBinIndexBuilder::build(const std::string& root,
                                                          const std::string& tokenizer,
                                                          GroupedEntries entries) {
  const std::vector<RawLocation>& locations = entries.locations;
  const std::string path = binary_index_path(root, tokenizer);
  // A build that cannot represent the merged files leaves no index at all:
  // the previous one describes files that have changed since.
  auto refuse = [&](const std::string& why) {
    ::unlink(path.c_str());
    throw Error("cannot build the token binary index of tokenizer '" + tokenizer + "': " + why +
                "; readers use the merged files instead");
  };
  if (entries.size() > kMaxU32) {
    refuse(std::to_string(entries.size()) + " entries, the index holds at most 4294967295");
  }
  const auto n = static_cast<uint32_t>(entries.size());
  for (const RawLocation& loc : locations) {
    if (loc.file_number > std::numeric_limits<uint16_t>::max()) {
      refuse("merged file number " + std::to_string(loc.file_number) +
             " is above 65535, the largest the index holds");
    }
    if (loc.offset > kMaxU32 || loc.length > kMaxU32) {
      refuse("a line of merged file " + file_name(loc.file_number) + " lies beyond 4 GiB (offset " +
             std::to_string(loc.offset) + ", length " + std::to_string(loc.length) +
             "), more than the index's 32-bit fields hold");
    }
  }

  std::vector<std::pair<SourceKey, std::vector<uint32_t>>>& sorted = entries.sources;
  std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.first < b.first; });

  const uint64_t sources_offset = kHeaderSize + kEntrySize * n;
  uint64_t fanout_offset = sources_offset;
  for (const auto* rec = sorted.data(); rec != sorted.data() + sorted.size(); ++rec) {
    if (rec->second.size() > kMaxPerSource) {
      static constexpr char kHex[] = "0123456789abcdef";
      std::string hex;
      for (uint8_t b : rec->first) {
        hex.push_back(kHex[b >> 4]);
        hex.push_back(kHex[b & 15]);
      }
      refuse("source " + hex + " is listed by " + std::to_string(rec->second.size()) +
             " entries, more than the 65535 a source record holds");
    }
    fanout_offset += kSourceHead + 4 * rec->second.size();
  }
  if (fanout_offset + kFanoutSize > kMaxU32) {
    refuse("the index would take " + std::to_string(fanout_offset + kFanoutSize) +
           " bytes, more than its 32-bit offsets reach");
  }
  const auto s = static_cast<uint32_t>(sorted.size());

  // Written through a buffer of a megabyte, not built whole in memory first.
  std::array<uint64_t, 256> fanout{};
  vl::replace_file(path, [&](Fd& fd, const std::string& temp) {
    ChunkedOut out(fd);
    char* head = out.take(kHeaderSize);
    std::memset(head, 0, kHeaderSize);
    std::memcpy(head, kMagic, sizeof kMagic);
    store_le(head + 9, kVersion, 4);
    store_le(head + 13, n, 4);
    store_le(head + 17, s, 4);
    store_le(head + 21, kHeaderSize, 4);
    store_le(head + 25, sources_offset, 4);
    store_le(head + 29, fanout_offset, 4);
    for (uint32_t i = 0; i < n; ++i) {
      char* rec = out.take(kEntrySize);
      std::memset(rec, 0, kEntrySize);
      store_le(rec, locations[i].file_number, 2);
      store_le(rec + 2, locations[i].offset, 4);
      store_le(rec + 6, locations[i].length, 4);
      rec[kFlagAt] = entries.revoked[i] != 0 ? 1 : 0;
    }
    for (size_t r = 0; r < sorted.size(); ++r) {
      const auto& [key, indices] = sorted[r];
      if (r == 0 || key[0] != sorted[r - 1].first[0]) fanout[key[0]] = out.offset();
      char* rec = out.take(kSourceHead);
      std::memcpy(rec, key.data(), key.size());
      store_le(rec + 32, indices.size(), 2);
      for (uint32_t i : indices) store_le(out.take(4), i, 4);
    }
    for (uint64_t slot : fanout) store_le(out.take(8), slot, 8);
    out.flush();
    verify_written(temp, n);
  });
  return {n, s};
}

void index_entry_patch(std::string& bytes, uint32_t i, uint32_t offset, uint32_t length, bool revoked) {
  std::string field;
  put_le(field, offset, 4);
  put_le(field, length, 4);
  field.push_back(revoked ? 1 : 0);
  bytes.replace(kHeaderSize + kEntrySize * i + 2, field.size(), field);
}

void write_binary_index(const std::string& root, const std::string& tokenizer, std::string_view bytes) {
  const uint32_t n = bytes.size() >= kHeaderSize ? read_u32(reinterpret_cast<const unsigned char*>(bytes.data()) + 13) : 0;
  vl::replace_file(binary_index_path(root, tokenizer), [&](Fd& fd, const std::string& temp) {
    fd.write_all(bytes);
    verify_written(temp, n);
  });
}

std::optional<TokenBinIndex> TokenBinIndex::open(const std::string& root, const std::string& tokenizer) {
  return open_path(binary_index_path(root, tokenizer));
}

std::optional<TokenBinIndex> TokenBinIndex::open_path(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  Fd fd = with_context("opening " + path, [&] { return Fd::open_read(path); });
  if (::fstat(fd.get(), &st) != 0) throw Error::last_os();
  if (!S_ISREG(st.st_mode)) throw Error("opening " + path + ": not a regular file");
  const auto size = static_cast<uint64_t>(st.st_size);
  if (size < kHeaderSize) {
    throw Error("token binary index file too small: " + std::to_string(size) + " bytes");
  }
  Mapping map = Mapping::map(fd, static_cast<size_t>(size));
  Layout l = check_layout(map.data(), size);
  return TokenBinIndex(path, std::move(map), l.count, l.sources_offset, l.fanout_offset);
}

bool TokenBinIndex::is_fresh() const {
  struct stat own;
  if (::stat(path_.c_str(), &own) != 0) return false;
  const size_t slash = path_.rfind('/');
  const std::string name = slash == std::string::npos ? path_ : path_.substr(slash + 1);
  constexpr std::string_view kPrefix = "token-index.", kSuffix = ".bin";
  if (name.size() < kPrefix.size() + kSuffix.size() || name.compare(0, kPrefix.size(), kPrefix) != 0 ||
      name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) != 0) {
    return false;
  }
  const std::string dir_name = name.substr(0, name.size() - kSuffix.size());
  const std::string dir = slash == std::string::npos ? dir_name : join(path_.substr(0, slash), dir_name);
  std::vector<DirEntry> listing;
  try {
    listing = list_dir(dir);
  } catch (const Error&) {
    return true;
  }
  for (const DirEntry& e : listing) {
    struct stat st;
    if (::stat(e.path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (st.st_mtim.tv_sec > own.st_mtim.tv_sec ||
        (st.st_mtim.tv_sec == own.st_mtim.tv_sec && st.st_mtim.tv_nsec > own.st_mtim.tv_nsec)) {
      return false;
    }
  }
  return true;
}

std::optional<EntryRef> TokenBinIndex::get_entry_ref(uint32_t i) const {
  if (i >= count_) return std::nullopt;
  const uint64_t at = kHeaderSize + kEntrySize * i;
  if (at + kEntrySize > map_.size()) return std::nullopt;
  const unsigned char* p = map_.data() + at;
  return EntryRef{read_u32(p + 2), read_u32(p + 6), read_u16(p), p[kFlagAt] != 0};
}

// A source range runs from its fan-out slot to the next non-zero slot (or
// the table), both clamped to the source area that open() checked; a record
// whose index list would leave the range ends the scan.
std::vector<uint32_t> TokenBinIndex::lookup_by_sources(const std::vector<SourceKey>& hashes) const {
  const unsigned char* d = map_.data();
  const unsigned char* fanout = d + fanout_offset_;
  std::vector<uint32_t> found;
  for (const SourceKey& h : hashes) {
    const uint64_t start = read_u64(fanout + 8 * h[0]);
    if (start == 0 || start < sources_offset_ || start >= fanout_offset_) continue;
    uint64_t end = fanout_offset_;
    for (unsigned b = h[0] + 1u; b < 256; ++b) {
      const uint64_t next = read_u64(fanout + 8 * b);
      if (next != 0) {
        end = std::min<uint64_t>(next, fanout_offset_);
        break;
      }
    }
    uint64_t pos = start;
    while (pos < end && end - pos >= kSourceHead) {
      const uint64_t k = read_u16(d + pos + 32);
      const uint64_t size = kSourceHead + 4 * k;
      const int cmp = std::memcmp(d + pos, h.data(), h.size());
      if (cmp > 0) break;
      if (cmp < 0) {
        pos += size;
        continue;
      }
      if (size > end - pos) break;
      for (uint64_t j = 0; j < k; ++j) {
        const uint32_t i = read_u32(d + pos + kSourceHead + 4 * j);
        if (i < count_) found.push_back(i);
      }
      break;
    }
  }
  std::sort(found.begin(), found.end());
  found.erase(std::unique(found.begin(), found.end()), found.end());
  return found;
}

void TokenBinIndex::set_revoked_batch(const std::vector<std::pair<uint32_t, bool>>& updates) const {
  if (updates.empty()) return;
  int raw;
  do {
    raw = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
  } while (raw < 0 && errno == EINTR);
  if (raw < 0) throw Error::last_os().context("opening " + path_ + " for write");
  Fd fd(raw);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) throw Error::last_os();
  if (!S_ISREG(st.st_mode)) throw Error("opening " + path_ + " for write: not a regular file");
  const auto size = static_cast<uint64_t>(st.st_size);
  // The file is read again through its own descriptor: it may have been
  // replaced or cut since this index was opened, and a flag is written only
  // where the file as it is now holds that entry's record.
  if (size < kHeaderSize) {
    throw Error("token binary index file too small: " + std::to_string(size) + " bytes");
  }
  void* addr = ::mmap(nullptr, static_cast<size_t>(size), PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
  if (addr == MAP_FAILED) throw Error::last_os();
  struct Unmap {
    void* addr;
    size_t len;
    ~Unmap() { ::munmap(addr, len); }
  } unmap{addr, static_cast<size_t>(size)};
  auto* d = static_cast<unsigned char*>(addr);
  const Layout l = check_layout(d, size);
  for (const auto& [i, flag] : updates) {
    if (i >= l.count) continue;
    d[kHeaderSize + kEntrySize * i + kFlagAt] = flag ? 1 : 0;
  }
  if (::msync(addr, static_cast<size_t>(size), MS_SYNC) != 0) throw Error::last_os();
}

std::string TokenBinIndex::generate_forget_set() const {
  const uint64_t n = count_;
  std::string out(static_cast<size_t>((n + 7) / 8), '\0');
  const unsigned char* flags = map_.data() + kHeaderSize + kFlagAt;
  // Chunks of whole bytes of the result, filled in parallel.
  constexpr uint64_t kChunkBytes = 1 << 16;
  const uint64_t chunks = (out.size() + kChunkBytes - 1) / kChunkBytes;
  pool::for_each_index(static_cast<size_t>(chunks), [&](size_t c) {
    const uint64_t first = c * kChunkBytes;
    const uint64_t last = std::min<uint64_t>(first + kChunkBytes, out.size());
    for (uint64_t byte = first; byte < last; ++byte) {
      const uint64_t base = byte * 8;
      const uint64_t m = std::min<uint64_t>(8, n - base);
      unsigned v = 0;
      for (uint64_t b = 0; b < m; ++b) v |= (flags[(base + b) * kEntrySize] != 0 ? 1u : 0u) << b;
      out[byte] = static_cast<char>(v);
    }
  });
  return out;
}

std::pair<uint32_t, uint32_t> build_binary_index(const std::string& root, const std::string& tokenizer) {
  check_tokenizer(tokenizer);
  const std::string dir = layout::token_merged_dir(root, tokenizer);
  if (!is_dir(dir)) {
    throw Error("no merged token-index directory for tokenizer '" + tokenizer + "'");
  }
  std::vector<TokenIndexEntry> entries;
  std::vector<RawLocation> locations;
  walk_merged_entries(root, tokenizer, [&](uint64_t file_number, uint64_t offset, std::string_view line,
                                          TokenIndexEntry&& e) {
    entries.push_back(std::move(e));
    locations.push_back({file_number, offset, line.size()});
  });
  return TokenBinIndexBuilder::build(root, tokenizer, entries, locations);
}

std::optional<TokenBinIndex> open_fresh(const std::string& root, const std::string& tokenizer) {
  try {
    std::optional<TokenBinIndex> index = TokenBinIndex::open(root, tokenizer);
    if (index && index->is_fresh()) return index;
  } catch (const Error&) {
  }
  return std::nullopt;
}

}  // namespace vl::token_index
