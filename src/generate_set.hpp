// Token revocation and forget sets.
//
// Token entries are revoked when one of their sources belongs to content
// that must be withdrawn; a forget set is the bitmask of revoked entries in
// entry order, for a training pipeline.  With a fresh token binary index the
// entries are found through it; otherwise the merged files are scanned with
// a byte-level prefilter that parses only lines that can name a target.
// Revoking is a toggle: each matched entry's flag is inverted.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "token_bin_index.hpp"
#include "token_index.hpp"

namespace vl::token_index {

using SourceSet = std::unordered_set<std::string>;

// Needles `"<source>"` grouped by their first four bytes.  A line is a
// candidate when some position holding a double quote starts a needle.
class FastMatcher {
 public:
  explicit FastMatcher(const SourceSet& targets);
  bool empty() const { return buckets_.empty(); }
  bool is_candidate(std::string_view line) const;

 private:
  std::unordered_map<uint32_t, std::vector<std::string>> buckets_;
};

// True when one of the entry's sources is a target (exact bytes).
bool matches(const TokenIndexEntry& e, const SourceSet& targets);

// Toggles every matching entry of the merged files, rewriting each file that
// holds one (its values with sorted keys; lines that are not JSON are kept
// as they are).  Returns the number toggled.
uint64_t revoke_by_sources(const std::string& root, const std::string& tokenizer,
                           const SourceSet& targets);

// The same through the prefilter: toggled lines are written in declaration
// order, every other non-empty line keeps its bytes.
uint64_t revoke_by_sources_fast(const std::string& root, const std::string& tokenizer,
                                const SourceSet& targets);

// Toggles the entries that the fresh `index` lists for any of the targets
// (hex source hashes, either case): their merged lines are rewritten with the
// new flag and the index is rebuilt, so the flags agree everywhere and the
// index stays fresh.  Nothing when the index does not match the merged files
// (nothing is written then; the caller scans instead).
std::optional<uint64_t> revoke_through_index(const std::string& root, const std::string& tokenizer,
                                             const TokenBinIndex& index,
                                             const std::vector<std::string>& targets);

// Matching entries (revoked ones included) in entry order.
std::vector<TokenIndexEntry> find_entries_by_sources_fast(const std::string& root,
                                                          const std::string& tokenizer,
                                                          const SourceSet& targets);

// The entries at the given indices of a fresh index (ascending), read from
// their merged lines; `active_only` leaves out those whose index flag is
// set.  Nothing when a line cannot be found where the index says.
std::optional<std::vector<TokenIndexEntry>> read_entries_through_index(
    const std::string& root, const std::string& tokenizer, const TokenBinIndex& index,
    const std::vector<uint32_t>& indices, bool active_only);

// The forget set from the merged files: bit i is entry i's parsed flag,
// numbering only the lines that parse as entries, as the index does.
std::string generate_forget_set_fast(const std::string& root, const std::string& tokenizer);

// The forget set, through the binary index when it is fresh.
std::string generate_forget_set(const std::string& root, const std::string& tokenizer);

// Writes exactly `bytes` to `path` through a temporary file and a rename; a
// path that exists and is not a regular file is refused.
void write_forget_set(const std::string& path, std::string_view bytes);

}  // namespace vl::token_index
