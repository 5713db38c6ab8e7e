// The document binary index, .vl/index.bin: a memory-mapped file that maps
// the 32-byte identity of an author, a section or a source to the places
// that hold data about it.  A place is either a record shard (named by one
// byte, "3f") or one line of a tokenizer's merged token file.
//
// The file is rebuilt whole by BinaryIndex::build; the only later changes
// are the line-offset blocks that append_line_offsets adds at its end.
// Readers map it and look keys up without parsing it up front.
//
// Layout (integers little-endian, offsets from the start of the file):
//
//   0       8     magic "VLIDXF02"
//   8       4     entry count
//   12      4     reserved, zero
//   16      8     F, the offset of the fan-out table (= end of the entries)
//   24      F-24  entries sorted by key: key (32), refs length L (2), refs (L)
//   F       2048  fan-out table: 256 u64 slots, slot b = offset of the first
//                 entry whose key starts with byte b, 0 when there is none
//   F+2048  rest  line-offset blocks: count N (u32), then N u32 offsets
//
// A reference is encoded as 0x00 shard (2 bytes), or as 0x01, name length n,
// name (n bytes), file number (u16), line offset (u32), line length (u32)
// (n + 12 bytes).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "fs.hpp"

namespace vl {

// A record shard: the shard file named by `shard` as two lowercase hex
// digits.
struct ShardRef {
  uint8_t shard = 0;
  bool operator==(const ShardRef&) const = default;
};

// One line of a merged token file of `tokenizer`: the file numbered
// `file_number` (low 16 bits), the line's first byte at `line_offset`, its
// length without the newline `line_length`.
struct TokenLineRef {
  std::string tokenizer;  // UTF-8, at most 255 bytes in the file
  uint32_t line_offset = 0;
  uint32_t line_length = 0;
  uint16_t file_number = 0;
  bool operator==(const TokenLineRef&) const = default;
};

// A place that holds data about a key: a shard or a token line.
struct IndexRef {
  std::variant<ShardRef, TokenLineRef> value;

  static IndexRef shard(uint8_t shard) { return {ShardRef{shard}}; }
  static IndexRef token_line(std::string tokenizer, uint16_t file_number,
                             uint32_t line_offset, uint32_t line_length) {
    return {TokenLineRef{std::move(tokenizer), line_offset, line_length, file_number}};
  }

  bool is_shard() const { return std::holds_alternative<ShardRef>(value); }
  bool is_token_line() const { return std::holds_alternative<TokenLineRef>(value); }
  // Both throw std::bad_variant_access for the other kind.
  const ShardRef& as_shard() const { return std::get<ShardRef>(value); }
  const TokenLineRef& as_token_line() const { return std::get<TokenLineRef>(value); }

  bool operator==(const IndexRef&) const = default;
};

using IndexKey = std::array<uint8_t, 32>;

// One key with its references, in order.
struct IndexEntry {
  IndexKey key{};
  std::vector<IndexRef> refs;
};

// An opened .vl/index.bin.  Owns the read-only mapping of the whole file;
// destroying it unmaps the file.
class BinaryIndex {
 public:
  // <vl_dir>/.vl/index.bin
  static std::string file_path(const std::string& vl_dir);

  // Writes .vl/index.bin under vl_dir (which must hold .vl), replacing any
  // previous file: the new file is written under a temporary name, re-opened
  // to verify it, and renamed into place.  Entries are sorted by key,
  // stably; duplicate keys are kept as given.  Returns the number of entries
  // written.  Input the format cannot hold (a tokenizer name over 255 bytes,
  // a refs area over 65535 bytes, more than 2^32-1 entries) is refused
  // before the file is touched.
  static uint32_t build(const std::string& vl_dir,
                        std::vector<std::pair<IndexKey, std::vector<IndexRef>>> entries);

  // The same file from entries whose references are already encoded as the
  // refs area holds them (see encode_shard_ref, encode_token_line_ref): the
  // form a bulk builder collects without one object per reference.  An
  // area over 65535 bytes is refused before the file is touched.
  static uint32_t build_encoded(const std::string& vl_dir,
                                std::vector<std::pair<IndexKey, std::string>> entries);

  // Nothing when the file's metadata cannot be read (normally: no index);
  // an error when it cannot be opened, is too small, has a wrong magic, a
  // fan-out table offset outside the file, an entry count the entry area
  // cannot hold, or a used fan-out slot that is out of order or does not
  // point at an entry head of its byte.
  static std::optional<BinaryIndex> open(const std::string& vl_dir);

  // The references stored for `hash` (64 hex digits, either case).  Empty
  // when the key is absent, the hash malformed or the key's range corrupt;
  // never fails and never reads outside the mapping.
  std::vector<IndexRef> lookup(std::string_view hash) const;
  std::vector<IndexRef> lookup_key(const IndexKey& key) const;

  // The names of the shards referenced for any of `hashes` (token-line
  // references left out), sorted, each once.
  std::set<std::string> shard_names(const std::vector<std::string>& hashes) const;

  // Appends one line-offset block for data_file (the offset of every line
  // start) to an existing .vl/index.bin.  A missing or empty data file adds
  // nothing.  A line start beyond 32 bits, or an index that does not open
  // as sound, is refused before appending.
  static void append_line_offsets(const std::string& vl_dir, const std::string& data_file);

  // The entry count stored in the header.
  uint32_t entry_count() const;
  // Offset of the fan-out table.
  uint64_t fanout_offset() const { return fanout_offset_; }
  // Length of the mapped file.
  size_t file_size() const { return map_.size(); }

  // The first line-offset block as the file states it: its count, and the
  // position of its first offset; both 0 when the file carries no block.
  // The count is not checked against the file length.
  uint32_t line_offsets_count() const { return line_offsets_count_; }
  uint64_t line_offsets_pos() const { return line_offsets_pos_; }
  // The offsets of the first block, only as many as the file really holds.
  std::vector<uint32_t> first_line_offsets() const;

 private:
  // open() of a file at any path (build verifies its new file before
  // renaming it into place).
  static std::optional<BinaryIndex> open_path(const std::string& path);

  BinaryIndex(Mapping map, uint64_t fanout_offset, uint32_t lo_count, uint64_t lo_pos)
      : map_(std::move(map)),
        fanout_offset_(fanout_offset),
        line_offsets_count_(lo_count),
        line_offsets_pos_(lo_pos) {}

  Mapping map_;
  uint64_t fanout_offset_;
  uint32_t line_offsets_count_;
  uint64_t line_offsets_pos_;
};

// Appends one reference to a refs area in the file's encoding.  The name of
// a token line must be at most 255 bytes (the caller checks).
void encode_shard_ref(std::string& area, uint8_t shard);
void encode_token_line_ref(std::string& area, std::string_view tokenizer, uint16_t file_number,
                           uint32_t line_offset, uint32_t line_length);

// Decodes 64 hexadecimal digits (either case) into a 32-byte key.  Fails
// with "expected 64-char hex, got {} chars" (length in bytes), "hex decode
// failed" over the decoder's complaint, or "wrong byte count".
IndexKey hex_to_bytes(std::string_view hash);

}  // namespace vl
