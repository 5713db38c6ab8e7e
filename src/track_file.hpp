// Tracking a whole data file: every line's hash computed on the worker pool,
// the document records (and token entries) appended in few large writes.
//
// A line's hash is the content hash of the line's own text, computed by
// canonical_hash_of_line, so a purge of the file finds every tracked line
// again.  The file is mapped, never copied; it is worked through in batches
// of chunks of whole lines, so the memory held besides the mapping is
// bounded by the batch size.  Each write to a shard or token file holds
// whole records only, so concurrent writers never tear a line.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vl {

struct TrackFileOptions {
  std::string file;                  // the data file's name in the records
  std::vector<std::string> sources;  // section hashes, in the caller's order
  // Token entries are written when a tokenizer is given, with the counts
  // given by the caller (one per tracked line, in line order) or, when
  // none are given, by the built-in whitespace counter: the runs of
  // non-white-space characters of every string value (keys excluded), or
  // of the string at `text_field` of the top-level object.
  std::optional<std::string> tokenizer;
  std::optional<std::vector<uint64_t>> token_counts;
  std::optional<std::string> text_field;
  // Line hashes already recorded for this file, with how often: each
  // occurrence skips one line with that hash (in line order).
  std::unordered_map<std::string, uint64_t> already;
  // Refuse the whole file, writing nothing, when any line is invalid.
  bool strict = false;
  // Called on the calling thread after each batch with the bytes done so
  // far; returning false stops after that batch (everything recorded so far
  // stays recorded).
  std::function<bool(uint64_t)> progress;
  // Bytes of the file hashed before their records are written (and
  // progress is reported); the memory held besides the mapping grows with it.
  size_t batch_bytes = size_t{32} << 20;
  // Measure where the time goes (TrackFileResult::phases); costs a clock
  // reading per line.
  bool measure = false;
};

struct InvalidLine {
  uint64_t line;       // 1-based line number in the file
  std::string reason;  // "not valid UTF-8", "not valid JSON data: ...", ...
};

struct TrackFileResult {
  uint64_t recorded = 0;
  uint64_t already = 0;
  std::vector<InvalidLine> invalid;
  bool stopped = false;  // progress returned false
  uint64_t bytes = 0;    // bytes of the file worked through
  // With TrackFileOptions::measure, the processor seconds spent (on all
  // threads) reading lines into canonical text and hashing them, counting
  // their whitespace tokens, making the records, and writing them.
  struct Phases {
    double hash = 0, tokens = 0, record = 0, write = 0;
  } phases;
};

// Tracks every line of the data file at `path`.  Empty lines and lines of
// white space only are skipped; a line that is not one JSON value the store
// can hold (not UTF-8, not JSON, NaN, a number out of range, an integer
// outside the 64-bit ranges, nesting deeper than 127 levels, or no string
// at text_field) is reported as invalid and not recorded.  Errors: the data
// file missing or not a regular file, a store file that cannot be written,
// token counts that do not match the tracked lines, a bad tokenizer name.
TrackFileResult track_file(const std::string& root, const std::string& path, const TrackFileOptions& options);

// The built-in whitespace count of one line's canonical text; nothing when
// `field` is given and the text is not an object with a string there.
std::optional<uint64_t> whitespace_tokens(std::string_view canonical, const std::optional<std::string>& field);

}  // namespace vl
