// The composition report: what a store's tracked data is made of, by licence,
// author, section and data file, in one pass over the records.
//
// Counting rules:
// - A tracked line is one document record; a line tracked twice counts twice.
// - A line with several sources counts once in every row its sources lead
//   to: once per distinct section, once per distinct licence and once per
//   distinct author among those sections.  Rows of one breakdown may
//   therefore add up to more than the totals, which count every line once.
//   Token entries are counted the same way, in tokens and in entries.
// - Revoked: a section is withdrawn when one of its records has "revoked"
//   true or one of its authors has a revoked registration.  A line is revoked
//   when its own record has "revoked" true, when the revoked document list
//   (document-index/revoked/all) names its hash, or when one of its sources
//   is a withdrawn section.  A token entry is revoked when its own flag is
//   set or one of its sources is a withdrawn section.  Revoked lines and
//   tokens stay in every figure; the revoked ones are counted besides.
// - Unattributed: lines and token entries none of whose sources is a
//   registered section (an empty source list included).  Every source that
//   names no registered section is listed with what cites it.
// - Tokens come from the merged token files.  Entries still in per-process
//   files (not merged yet) are counted apart, per tokenizer, as pending.
// - Files: the number of distinct data files that hold the lines of a row.
//   Token entries name no file, so files have no token figures.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vl::report {

struct TokenFigures {
  uint64_t entries = 0;
  uint64_t tokens = 0;
  uint64_t revoked_entries = 0;
  uint64_t revoked_tokens = 0;
};

struct Figures {
  uint64_t lines = 0;
  uint64_t revoked_lines = 0;
  uint64_t files = 0;
  std::vector<TokenFigures> tokens;  // one per tokenizer of Report::tokenizers
};

struct LicenseRow {
  std::string license;
  uint64_t sections = 0;
  Figures figures;
};

struct AuthorRow {
  std::string id;
  std::string name;   // empty when the id is not registered
  std::string email;
  bool registered = false;  // false: named by a section but never added
  bool revoked = false;
  uint64_t sections = 0;
  Figures figures;
};

struct SectionRow {
  std::string section_hash;
  std::string path;
  std::string license;
  std::string year;
  std::vector<std::string> authors;  // ids, as the record lists them
  bool revoked = false;    // the section's own flag
  bool withdrawn = false;  // revoked, or one of its authors is
  Figures figures;
};

struct FileRow {
  std::string file;
  uint64_t lines = 0;
  uint64_t revoked_lines = 0;
  uint64_t unattributed_lines = 0;
};

struct UnknownSource {
  std::string source;
  Figures figures;  // files: distinct files of the lines that cite it
};

struct Pending {
  uint64_t files = 0;
  uint64_t entries = 0;
  uint64_t tokens = 0;
};

struct Report {
  std::vector<std::string> tokenizers;
  Figures totals;        // every line and entry once
  Figures unattributed;  // lines and entries without a registered source
  uint64_t revoked_sections = 0;
  uint64_t withdrawn_sections = 0;
  uint64_t revoked_authors = 0;
  std::vector<LicenseRow> licenses;  // ascending by licence
  std::vector<AuthorRow> authors;    // ascending by id
  std::vector<SectionRow> sections;  // ascending by hash
  std::vector<FileRow> files;        // ascending by file
  std::vector<UnknownSource> unknown_sources;  // ascending by source
  std::vector<Pending> pending;      // one per tokenizer
};

// Reads the authors, sections, document index and token files of the store
// under `root` and counts them.  `tokenizers` picks the tokenizers whose
// entries are counted; nothing means every tokenizer of the store.  Shards
// are read on the worker pool in chunks of whole lines; lines that are not
// records are skipped, as every reader does.  Errors: a layer that cannot be
// listed or a file that cannot be read.
Report build(const std::string& root, const std::optional<std::vector<std::string>>& tokenizers);

}  // namespace vl::report
