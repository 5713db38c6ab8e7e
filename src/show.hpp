// The show queries: which indexed document lines derive from an author, a
// licence or a section.  Sections and documents are found by scanning every
// shard file in parallel on the worker pool, or, for an author when
// .vl/index.bin exists, by reading only the shards the index names.
// Revocation flags are not looked at.
#pragma once

#include <string>
#include <vector>

#include "indexer.hpp"
#include "token_index.hpp"

namespace vl::show {

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
