// The token binary index, .vl/token-index.<tokenizer>.bin: per tokenizer, a
// memory-mapped file that says which entries list a source hash, where each
// entry's line lies in the merged files and whether it is revoked, without
// reading the merged files.
//
// Layout (integers little-endian, offsets from the start of the file):
//
//   0    9      magic "VLIDXTI01"
//   9    4      version, 1
//   13   4      entry count N
//   17   4      source count S
//   21   4      entries offset, 64
//   25   4      sources offset, 64 + 16 N
//   29   4      fan-out table offset
//   33   31     zero
//   64   16 N   entry records: file number (u16), line offset (u32), line
//               length (u32, LF excluded), revoked flag (u8), 5 zero bytes
//   ...         source records sorted by hash: hash (32), k (u16), k entry
//               indices (u32, ascending)
//   ...  2048   fan-out table: 256 u64 slots, slot b = offset of the first
//               source record whose hash starts with byte b, or 0
//
// The index is derived from the merged files and used only while fresh.
// Whoever creates or rewrites a merged file removes the index first (see
// token_index::drop_binary_index), so an index that exists was built from
// the merged files as they are; the modification times are compared as a
// second guard.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fs.hpp"
#include "token_index.hpp"

namespace vl::token_index {

using SourceKey = std::array<uint8_t, 32>;

// Where an entry's line lies: merged file number (low 16 bits), byte offset
// of its first byte and its length without the LF.
struct LineLocation {
  uint16_t file_number = 0;
  uint32_t offset = 0;
  uint32_t length = 0;
};

struct EntryRef {
  uint32_t offset = 0;
  uint32_t length = 0;
  uint16_t file_number = 0;
  bool revoked = false;
};

// The index file of a tokenizer: root/.vl/token-index.<tokenizer>.bin
std::string binary_index_path(const std::string& root, const std::string& tokenizer);

// A full line location as the merged-file walk finds it, before the
// narrowing to the file's fields.
struct RawLocation {
  uint64_t file_number = 0;
  uint64_t offset = 0;
  uint64_t length = 0;
};

// The builder's input grouped by source: entry i lies at locations[i] and
// is revoked when revoked[i] is non-zero; each source key comes once (in any
// order), with the numbers of the entries that list it, ascending (an entry
// that lists a key twice is there twice).
struct GroupedEntries {
  std::vector<RawLocation> locations;
  std::vector<uint8_t> revoked;
  std::vector<std::pair<SourceKey, std::vector<uint32_t>>> sources;
  size_t size() const { return revoked.size(); }
};

class TokenBinIndexBuilder {
 public:
  static std::pair<uint32_t, uint32_t> build(const std::string& root, const std::string& tokenizer,
                                             GroupedEntries entries);
  // Writes the index of `entries` (in entry order) and their line
  // locations under a temporary name, verifies it and renames it into
  // place.  Input the format cannot hold (more than 65535 entries listing
  // one source, file numbers above 65535, offsets or lengths above 32 bits,
  // a file above 4 GiB) fails with a message naming the limit; the previous
  // index is then removed too, so readers fall back to the merged files.
  // Returns (entries, distinct sources).
  static std::pair<uint32_t, uint32_t> build(const std::string& root, const std::string& tokenizer,
                                             const std::vector<TokenIndexEntry>& entries,
                                             const std::vector<RawLocation>& locations);
};

class TokenBinIndex {
 public:
  // Nothing when the file's metadata cannot be read (normally: no index);
  // an error when it cannot be opened or its header does not describe a
  // layout that lies inside the file.
  static std::optional<TokenBinIndex> open(const std::string& root, const std::string& tokenizer);
  static std::optional<TokenBinIndex> open_path(const std::string& path);

  uint32_t entry_count() const { return count_; }
  const std::string& path() const { return path_; }

  // Fresh when no regular file of the merged directory beside the index is
  // newer than the index.
  bool is_fresh() const;

  std::optional<EntryRef> get_entry_ref(uint32_t i) const;

  // The entry indices listed for any of the hashes, ascending, each once.
  // Indices at or beyond the entry count are left out.
  std::vector<uint32_t> lookup_by_sources(const std::vector<SourceKey>& hashes) const;

  // Writes the revoked flags through a shared writable mapping of the file
  // and flushes it.  Indices at or beyond the entry count are skipped.  The
  // file is checked again before anything is written: it must still be the
  // layout this index was opened with.
  void set_revoked_batch(const std::vector<std::pair<uint32_t, bool>>& updates) const;

  // The whole file as mapped.
  std::string_view bytes() const { return map_.view(); }

  // ceil(N/8) bytes; bit i mod 8 of byte i div 8 (bit 0 the least
  // significant) is set when entry i is revoked.
  std::string generate_forget_set() const;

 private:
  TokenBinIndex(std::string path, Mapping map, uint32_t count, uint32_t sources_offset,
                uint32_t fanout_offset)
      : path_(std::move(path)),
        map_(std::move(map)),
        count_(count),
        sources_offset_(sources_offset),
        fanout_offset_(fanout_offset) {}

  std::string path_;
  Mapping map_;
  uint32_t count_;
  uint32_t sources_offset_;
  uint32_t fanout_offset_;
};

// Sets the line offset, length and flag of entry i in the bytes of an index.
void index_entry_patch(std::string& bytes, uint32_t i, uint32_t offset, uint32_t length, bool revoked);

// Writes the bytes of an index as the tokenizer's index: temporary file,
// verified by opening it, renamed into place.
void write_binary_index(const std::string& root, const std::string& tokenizer, std::string_view bytes);

// Rebuilds the tokenizer's index from its merged files: every line that
// parses as an entry takes the next entry number.  Fails with "no merged
// token-index directory for tokenizer '<t>'" when there are no merged files.
std::pair<uint32_t, uint32_t> build_binary_index(const std::string& root, const std::string& tokenizer);

// The index when it opens and is fresh; nothing otherwise (an error opening
// it counts as no index).
std::optional<TokenBinIndex> open_fresh(const std::string& root, const std::string& tokenizer);

// Decodes 64 hex digits (either case) into a key; nothing for other text.
std::optional<SourceKey> source_key(std::string_view text);

}  // namespace vl::token_index
