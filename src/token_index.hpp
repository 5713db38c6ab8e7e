// Token index files: per tokenizer, how many tokens each tracked item
// contributed and from which sources.
//
// Each process appends its entries to a file of its own,
// .vl/token-index.<tokenizer>.<pid>, without locking; a merge folds those
// files into numbered files .vl/token-index.<tokenizer>/001, 002, ...  that
// every reader uses.  Entry i is the i-th entry met walking the merged files
// in file-number order.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "json.hpp"
#include "fs.hpp"

namespace vl::token_index {

struct TokenIndexEntry {
  uint64_t token_count = 0;
  std::vector<std::string> sources;
  std::string tokenizer;
  bool revoked = false;
};

struct TokenStatus {
  uint64_t total_entries = 0;
  uint64_t active_entries = 0;
  uint64_t revoked_entries = 0;
  uint64_t total_tokens = 0;
};

// Refuses a tokenizer name that is empty or holds "/" or a NUL byte: the
// name becomes part of file names under .vl and must not lead elsewhere.
void check_tokenizer(std::string_view tokenizer);

// The entry as compact JSON in declaration order.
std::string to_json(const TokenIndexEntry& e);

// A line as an entry: an object with the four fields (each once, other keys
// ignored) or an array of the four values in declaration order.
std::optional<TokenIndexEntry> parse(std::string_view line);

// The entry held by an object's members (as json::parse_members gives
// them); the members' values are moved out.
std::optional<TokenIndexEntry> from_members(std::vector<json::Member>& members);

// The merged file name of a file number: at least three digits.
std::string file_name(uint64_t number);

// A merged file name's number: decimal digits with an optional leading '+'.
std::optional<uint64_t> parse_file_number(std::string_view name);

// This process's own file of a tokenizer, opened and locked against a
// merge, ready for one entry.  Everything that can fail before the entry
// is written (the tokenizer name, creating .vl, opening and locking the
// file) fails in the constructor, so a caller can check it before it
// records anything else.
class PidWriter {
 public:
  // `create_store`: create .vl (and missing parents) when it is missing.
  PidWriter(const std::string& root, const std::string& tokenizer, bool create_store = true);
  // Appends the entry and closes the file; call once.
  void append(uint64_t token_count, const std::vector<std::string>& sources);
  // Appends whole entry lines (each ending in LF) in one write and closes
  // the file; call once.
  void append_lines(std::string_view lines);

 private:
  std::string tokenizer_;
  Fd fd_;
};

// Appends one entry to this process's own file, creating .vl if needed.
void write_pid(const std::string& root, const std::string& tokenizer, uint64_t token_count,
               const std::vector<std::string>& sources);

// Appends whole entry lines (each ending in LF) to this process's token
// index file for `tokenizer` in one write, under the same protocol as
// write_pid.
void write_pid_lines(const std::string& root, const std::string& tokenizer, std::string_view lines);

// Folds every process file of the tokenizer into a new merged file each;
// returns (entries merged, process files processed).
std::pair<uint64_t, uint64_t> merge_pid_files(const std::string& root, const std::string& tokenizer);

// The merged files as (number, path), ascending by number.
std::vector<std::pair<uint64_t, std::string>> get_merged_files(const std::string& root,
                                                               const std::string& tokenizer);

// Every entry of the merged files in entry order.
std::vector<TokenIndexEntry> read_merged(const std::string& root, const std::string& tokenizer);

TokenStatus token_status(const std::string& root, const std::string& tokenizer);

// The tokenizer names found in .vl, sorted.
std::vector<std::string> list_tokenizers(const std::string& root);

// Calls fn(file number, byte offset, line, entry) for every line of the
// merged files that parses as an entry, in entry order.  Lines are split on
// LF only (a CR stays part of its line); empty lines are skipped.  Lines are
// parsed in parallel on the pool; fn runs on the calling thread.
void walk_merged_entries(
    const std::string& root, const std::string& tokenizer,
    const std::function<void(uint64_t, uint64_t, std::string_view, TokenIndexEntry&&)>& fn);

// Removes the tokenizer's binary index, if there is one.  Called before any
// merged file is created or rewritten, so that no reader trusts offsets into
// a file that is about to change; readers scan the merged files until the
// next build.  Fails (and nothing may be written) when it cannot be removed.
void drop_binary_index(const std::string& root, const std::string& tokenizer);

// Writes `bytes` as the new content of merged file `path` of the tokenizer:
// the binary index is dropped first, then the bytes go to a temporary file
// in the same directory, are synced, and the file is renamed over `path`.
// A crash leaves the old file or the new one, never a part.
void replace_merged_file(const std::string& root, const std::string& tokenizer,
                         const std::string& path, std::string_view bytes);

}  // namespace vl::token_index
