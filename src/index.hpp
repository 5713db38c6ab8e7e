// The index build: every lookup structure of the store, derived from the
// primary records in one call.
//
// It writes the `index` layer (for each author string, the sections shards
// that hold the author's sections; for each section hash, the
// document-index shards that hold lines citing it), builds .vl/index.bin
// from it and from the token lines of every tokenizer, rebuilds every
// token binary index, and appends a line-offset block for each .jsonl file
// at the top of the project root.
#pragma once

#include <cstdint>
#include <string>

namespace vl::index {

struct BuildCounts {
  uint64_t authors = 0;              // distinct author strings of section records
  uint64_t sections = 0;             // distinct section hashes
  uint64_t total = 0;                // index records written
  uint64_t token_index_entries = 0;  // token lines that carry a sources array
};

// Author strings that differ only in the case of their hex digits are one
// key of .vl/index.bin: their records are merged into one entry (the union
// of their shard references, sorted, each once).  An entry keeps every
// shard reference; token-line references follow as long as the entry's
// 65535-byte reference area has room (the rest are left out), and those
// the format cannot hold (file numbers above 65535, offsets or lengths
// above 32 bits, tokenizer names above 255 bytes) are left out too.
BuildCounts build_index(const std::string& root);

}  // namespace vl::index
