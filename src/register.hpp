// Sections: licensed units of content, identified by the content hash of
// their path, authors, contributors, licence and year, stored in the shards
// of .vl/sections.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vl::sections {

struct Section {
  std::string section_hash;
  std::string path;
  std::vector<std::string> authors;       // author ids, caller's order
  std::vector<std::string> contributors;  // caller's order
  std::string license;
  std::string year;
};

// The content hash of the object with the keys path, authors, contributors,
// license and year.
std::string section_hash(const std::string& path, const std::vector<std::string>& authors,
                         const std::vector<std::string>& contributors, const std::string& license,
                         const std::string& year);

// A stored line as a section record, if it is one (extra keys such as
// "revoked" are ignored).
std::optional<Section> parse(std::string_view line);

// Appends a new record in field order (no check for an earlier one).
Section register_section(const std::string& root, const std::string& path,
                         const std::vector<std::string>& authors,
                         const std::vector<std::string>& contributors, const std::string& license,
                         const std::string& year);

}  // namespace vl::sections
