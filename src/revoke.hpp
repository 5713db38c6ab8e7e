// Revocation: marking sections, tracked lines and authors as withdrawn by
// toggling the boolean "revoked" key of their stored records.
//
// Each call is a toggle.  Records of one identity (a section hash, a line
// hash in one file, an author id) may have been registered several times;
// they all receive one new state, the opposite of the first matching
// record's, so that a mix of flags can never keep content half withdrawn.
// `reverse` only picks the operation name written to the log.  A shard is
// replaced whole through a temporary file and a rename, never truncated in
// place.
#pragma once

#include <cstdint>
#include <string>

namespace vl::revoke {

// Toggles the records of every author named `author_name` (each distinct id
// once); returns the number of records toggled.
uint64_t revoke_by_author(const std::string& root, const std::string& author_name, bool reverse);

// Toggles the section records with this hash; returns their number.
uint64_t revoke_section(const std::string& root, const std::string& section_hash, bool reverse);

// Toggles the document index records of this line hash in this file;
// returns their number.  The shard is rewritten whenever it exists.
uint64_t revoke_manifest(const std::string& root, const std::string& line_hash,
                         const std::string& file, bool reverse);

// ---- Token entries of an author ------------------------------------------

// Toggles every token entry of `tokenizer` that lists a section of an author
// named `author_name` (revoked sections included): through the fresh token
// binary index when there is one (the merged lines get the new flags too and
// the index is rebuilt), else by scanning the merged files.  Logs
// "revoke_token" (or "revoke_reverse_token" when `reverse`) with
// "<name> tokenizer=<t> count=<n>"; an unknown author or one without
// sections returns 0 and logs nothing.
uint64_t revoke_by_author_token(const std::string& root, const std::string& author_name,
                                const std::string& tokenizer, bool reverse);

}  // namespace vl::revoke
