// The show queries: which indexed document lines derive from an author, a
// licence or a section.  Sections and documents are found by scanning every
// shard file in parallel on the worker pool, or, for an author when
// .vl/index.bin exists, by reading only the shards the index names.
// Revocation flags are not looked at.
#pragma once

#include <array>
#include <cstdint>
#include <span>
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
  // Whether `value` is one of the values.
  bool contains(std::string_view value) const { return value.size() == 64 && contains(value.data()); }

 private:
  bool contains(const char* token) const;
  std::vector<uint64_t> heads_;  // the first eight bytes of a value; 0 for an empty slot
  std::vector<std::array<char, 64>> values_;
  size_t mask_ = 0;
};

// Document records packed into one buffer (no allocation per record).  The
// show queries return them as a list of such lists (one per shard file that
// had any), records in order within and across them.
class DocumentList {
 public:
  size_t size() const { return entries_.size(); }
  std::string_view line_hash(size_t i) const { return view(entries_[i].line_hash); }
  std::string_view file(size_t i) const { return view(entries_[i].file); }
  size_t source_count(size_t i) const { return entries_[i].source_count; }
  std::string_view source(size_t i, size_t j) const { return view(sources_[entries_[i].first_source + j]); }

  void add(std::string_view line_hash, std::string_view file, std::span<const std::string_view> sources);
  void add(const documents::DocumentRecord& d);

 private:
  struct Span {
    size_t offset, size;
  };
  struct Entry {
    Span line_hash, file;
    size_t first_source, source_count;
  };
  std::string_view view(Span s) const { return std::string_view(bytes_).substr(s.offset, s.size); }
  Span put(std::string_view s) {
    Span out{bytes_.size(), s.size()};
    bytes_.append(s);
    return out;
  }

  std::string bytes_;
  std::vector<Entry> entries_;
  std::vector<Span> sources_;
};

// The section_hash of every section whose authors include one of the ids,
// files in listing order, lines in file order (a hash found twice is listed
// twice).
std::vector<std::string> find_author_sections_parallel(const std::string& root,
                                                       const std::vector<std::string>& author_ids);

using DocumentLists = std::vector<DocumentList>;

// Every document record whose sources include one of the section hashes.
DocumentLists find_documents_for_sections_parallel(const std::string& root,
                                                   const std::vector<std::string>& section_hashes);

DocumentLists show_by_author(const std::string& root, const std::string& author_name);
DocumentLists show_by_license(const std::string& root, const std::string& license);
DocumentLists show_by_section(const std::string& root, const std::string& section_hash);

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
