// The store's housekeeping pass.
//
// One call rotates an oversized operation log, folds the per-process
// document index files (.vl/docidx.<suffix>, written by processes outside
// vl) into the document index shards, folds every tokenizer's per-process
// token files into merged files and rebuilds the token binary indexes,
// copies revoked and orphaned records into the layer archives and, on
// request, empties the split work directory.
//
// A record is only ever appended to the shard (or archive file) named by
// the first two characters of its key when those are ASCII hexadecimal
// digits: the layer readers read no other names, and any other key could
// name a path outside the layer ("/b...", "../..").  Records whose key
// names no shard are dropped from the per-process files and left out of
// the archives.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vl::clean {

struct CleanCounts {
  uint64_t document_merged = 0;          // records appended from per-process files
  uint64_t pid_files_deleted = 0;        // per-process document index files removed
  uint64_t archived_records = 0;         // records appended to layer archives
  uint64_t log_rotated = 0;              // 1 when the log was rotated
  uint64_t token_index_merged = 0;       // token entries merged, all tokenizers
  uint64_t token_index_pid_deleted = 0;  // token process files merged, all tokenizers
};

// The log is rotated when it grows beyond this many bytes.
inline constexpr uint64_t kLogRotateBytes = 10485760;

// Runs the pass on the store of `root`.  A root without .vl gives zeros and
// is left alone.  With `dry_run` nothing is changed (no file is created,
// renamed, written or removed, no log line is written) and the counters say
// what a real pass would do now.
CleanCounts clean(const std::string& root, bool split, bool dry_run = false);

// Copies every revoked or orphaned record of the document-index, sections
// and authors layers to .vl/archive/<layer>.<xx>; returns the count.
uint64_t archive_revoked(const std::string& root, bool dry_run = false);

// The same for one layer, keyed by `key_field`, into `archive_dir`.
uint64_t archive_layer(const std::string& root, const std::string& archive_dir,
                       std::string_view layer, std::string_view key_field, bool dry_run = false);

// True when the first two characters of `key` are ASCII hexadecimal digits,
// the only shard names the layer readers read.
bool names_shard(std::string_view key);

}  // namespace vl::clean
