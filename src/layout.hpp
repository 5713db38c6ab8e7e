// The names of the store: every path under .vl is built here, and
// parse_store_entry / parse_*_entry tell what any directory entry is.
//
//   .vl/<layer>/<xx>                 shard files of a layer (two hex digits)
//   .vl/index.bin                    document binary index
//   .vl/log, .vl/log.1               operation log and its previous generation
//   .vl/token-index.<t>.<pid>        token entries appended by one process
//   .vl/token-index.<t>/<n>          merged token files (decimal numbers)
//   .vl/token-index.<t>/merging.*    process files claimed by a running merge
//   .vl/token-index.<t>/.merging.*.fold  the merged form of one, being numbered
//   .vl/token-index.<t>.bin          token binary index
//   .vl/docidx.<suffix>              per-process document index files
//   .vl/archive/purge.<timestamp>    purge archives
//   .vl/archive/<layer>.<xx>         archived records of one shard
//   .vl/split                        work directory
//
// Temporary files start with a dot.  No walk takes such a name for a record
// file: shard names are two hex digits, merged files are numbers, and every
// other record name starts with a letter.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vl::layout {

// The layers the store writes.
inline constexpr std::string_view kAuthors = "authors";
inline constexpr std::string_view kSections = "sections";
inline constexpr std::string_view kDocumentIndex = "document-index";
inline constexpr std::string_view kIndexLayer = "index";
inline constexpr std::string_view kLayers[] = {kAuthors, kSections, kDocumentIndex, kIndexLayer};

// root/.vl
std::string store_dir(std::string_view root);
// root/.vl/<layer>
std::string layer_dir(std::string_view root, std::string_view layer);

// The first two characters of `hash`, which name its shard.  Refuses a hash
// shorter than two bytes or whose first two bytes are not whole characters.
std::string_view shard_name(std::string_view hash);
// The shard name of a shard carried as a byte: two lowercase hex digits.
std::string shard_name_of(uint8_t byte);
// root/.vl/<layer>/<first two characters of hash>
std::string shard_path(std::string_view root, std::string_view layer, std::string_view hash);
// root/.vl/<layer>/<shard name of byte>
std::string shard_path_of(std::string_view root, std::string_view layer, uint8_t byte);
// True for a name of exactly two ASCII hexadecimal digits, either case.
bool is_shard_file_name(std::string_view name);

// root/.vl/document-index/revoked/all, the revoked document list.
std::string revoked_documents(std::string_view root);

std::string index_bin(std::string_view root);
std::string log_file(std::string_view root);
std::string rotated_log_file(std::string_view root);
std::string split_dir(std::string_view root);
std::string archive_dir(std::string_view root);
// root/.vl/archive/purge.<timestamp>
std::string purge_archive(std::string_view root, std::string_view timestamp);
// root/.vl/archive/<layer>.<shard>
std::string layer_archive(std::string_view root, std::string_view layer, std::string_view shard);
// root/.vl/docidx.<suffix>
std::string docidx_file(std::string_view root, std::string_view suffix);

// Token index names.  The tokenizer name is taken as it is (callers check
// it first: it must not be empty nor hold "/" or NUL).
inline constexpr std::string_view kTokenPrefix = "token-index.";
std::string token_pid_file(std::string_view root, std::string_view tokenizer, uint64_t pid);
std::string token_merged_dir(std::string_view root, std::string_view tokenizer);
std::string token_bin_index(std::string_view root, std::string_view tokenizer);
// The merged file name of a file number: at least three digits.
std::string merged_file_name(uint64_t number);
// A merged file name's number: decimal digits with an optional leading '+'.
std::optional<uint64_t> parse_merged_number(std::string_view name);
// The name under which a merge holds a process file it has claimed:
// merging.<pid>.<sequence>.
std::string staging_name(uint64_t pid, uint64_t sequence);

// The temporary file a merge writes the merged form of a staging file
// into: "." + the staging name + ".fold".  Once given its number (a hard
// link), it stays until the staging file is removed, so a later merge can
// tell a staging file that was already folded (link count above 1).
std::string fold_name(std::string_view staging);

// A temporary name beside `target`, in the same directory: "." then the
// target's name, ".tmp.", the process id and a sequence number.
std::string temporary_path(std::string_view target, uint64_t pid, uint64_t sequence);

// What a directory entry is.
enum class Kind {
  Unknown,
  Temporary,       // any place: a name starting with "."
  Layer,           // .vl: authors, sections, document-index, index (directories)
  IndexBin,        // .vl: index.bin
  Log,             // .vl: log
  RotatedLog,      // .vl: log.1
  TokenPidFile,    // .vl: token-index.<t>.<pid>        (tokenizer, number = pid)
  TokenMergedDir,  // .vl: token-index.<t> (directory)  (tokenizer)
  TokenBinIndex,   // .vl: token-index.<t>.bin          (tokenizer)
  TokenOther,      // .vl: token-index.<t>.<other>, any other file of a tokenizer (tokenizer, suffix)
  DocIdx,          // .vl: docidx.<suffix>, suffix not two hex digits (suffix)
  ArchiveDir,      // .vl: archive
  SplitDir,        // .vl: split
  Shard,           // layer: two hex digits            (shard)
  MergedFile,      // merged directory: a number        (number)
  Staging,         // merged directory: merging.<pid>.<n> (number = pid, sequence)
  PurgeArchive,    // archive: purge.<timestamp>        (suffix = timestamp)
  LayerArchive,    // archive: <layer>.<xx>             (layer, shard)
};

struct Entry {
  Kind kind = Kind::Unknown;
  std::string tokenizer;
  std::string layer;
  std::string shard;
  std::string suffix;
  uint64_t number = 0;
  uint64_t sequence = 0;
};

// An entry directly inside .vl.  `is_dir` tells a merged directory from a
// process file of a tokenizer whose name ends in a dot and digits.
Entry parse_store_entry(std::string_view name, bool is_dir);
// An entry of a layer directory.
Entry parse_layer_entry(std::string_view name);
// An entry of a tokenizer's merged directory.
Entry parse_merged_entry(std::string_view name);
// An entry of .vl/archive.
Entry parse_archive_entry(std::string_view name);

}  // namespace vl::layout
