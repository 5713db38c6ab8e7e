// Merge of stores: copies into a target store what a source store holds and
// the target lacks.
//
// Records are copied whole (their stored line), never changed, and only
// ever added to the target.  Identities, compared as exact strings:
//
//   authors          id
//   sections         section_hash
//   document-index   (line_hash, file)
//   token entries    (token_count, sources sorted, tokenizer)
//
// A record whose key (id, section_hash, line_hash) does not begin with two
// ASCII hexadecimal digits names no shard and is skipped.  Token entries
// have no identity of their own: every item of one section with the same
// count shares a triple.  So the triples are counted as a multiset: of the
// source's entries with one triple, as many are copied (in source order)
// as the source holds beyond what the target already holds.  Merging a
// store into itself, or merging the same source twice, adds nothing.
#pragma once

#include <cstdint>
#include <string>

namespace vl::merge {

struct MergeCounts {
  uint64_t authors_added = 0;
  uint64_t sections_added = 0;
  uint64_t document_added = 0;
  uint64_t token_index_added = 0;
  uint64_t skipped = 0;  // source records and entries not copied, all kinds
};

// Copies from the store of project root `source` into that of `target` and
// writes the "merge" log line to the target.  When author, section or
// document records were added, the target's index is rebuilt, also when
// the merge fails later on (its error is then the one reported); a failing
// rebuild is reported as an error.
MergeCounts absorb(const std::string& source, const std::string& target);

}  // namespace vl::merge
