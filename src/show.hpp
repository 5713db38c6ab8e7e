// The show queries: which indexed document lines derive from an author, a
// licence or a section.  Sections and documents are found by scanning every
// shard file in parallel on the worker pool, or, for an author when
// .vl/index.bin exists, by reading only the shards the index names.
// Revocation flags are not looked at.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "indexer.hpp"
#include "token_index.hpp"

namespace vl::show {

// The prefilter of the scans for wanted hashes: whether a record line holds
// one of a set of 64-hex-digit values as a quoted string, byte for byte.
// The line is searched for pairs of quotes 65 bytes apart (sixteen
// positions at a time where the machine allows), and the 64 bytes between
// them are looked up in a small table keyed by their first eight.  Lines
// with escapes must be parsed instead: an escaped hash is not seen here.
class HashTokenFilter {
 public:
  HashTokenFilter() = default;
  // Values that are not 64 hex digits are left out.
  explicit HashTokenFilter(const std::vector<std::string>& hex_values);
  bool any_in(std::string_view line) const;

 private:
  bool contains(const char* token) const;
  std::vector<uint64_t> heads_;  // the first eight bytes of a value; 0 for an empty slot
  std::vector<std::array<char, 64>> values_;
  size_t mask_ = 0;
};

// The section_hash of every section whose authors include one of the ids,
// files in listing order, lines in file order (a hash found twice is listed
// twice).
std::vector<std::string> find_author_sections_parallel(const std::string& root,
                                                       const std::vector<std::string>& author_ids);

// Every document record whose sources include one of the section hashes.
std::vector<documents::DocumentRecord> find_documents_for_sections_parallel(
    const std::string& root, const std::vector<std::string>& section_hashes);

std::vector<documents::DocumentRecord> show_by_author(const std::string& root,
                                                      const std::string& author_name);
std::vector<documents::DocumentRecord> show_by_license(const std::string& root,
                                                       const std::string& license);
std::vector<documents::DocumentRecord> show_by_section(const std::string& root,
                                                       const std::string& section_hash);

// The active token entries of `tokenizer` that derive from the sections of
// the authors named `author_name`, in entry order, and their token total.
struct AuthorTokens {
  std::vector<token_index::TokenIndexEntry> entries;
  uint64_t total_tokens = 0;
  uint64_t document_count = 0;
};
AuthorTokens show_by_author_token(const std::string& root, const std::string& author_name,
                                  const std::string& tokenizer);

}  // namespace vl::show
