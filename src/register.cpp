#include "register.hpp"

#include "hash.hpp"
#include "json.hpp"
#include "record.hpp"
#include "storage.hpp"

namespace vl::sections {

std::string section_hash(const std::string& path, const std::vector<std::string>& authors,
                         const std::vector<std::string>& contributors, const std::string& license,
                         const std::string& year) {
  // The canonical text lists the keys in byte order.
  std::string text;
  json::ObjectWriter(text)
      .field("authors", authors)
      .field("contributors", contributors)
      .field("license", license)
      .field("path", path)
      .field("year", year)
      .close();
  return sha256_hex(text);
}

std::optional<Section> parse(std::string_view line) {
  auto f = record::fields<6>(line, {"section_hash", "path", "authors", "contributors", "license", "year"});
  if (!f) return std::nullopt;
  Section s;
  if (!record::take((*f)[0], s.section_hash) || !record::take((*f)[1], s.path) ||
      !record::take((*f)[2], s.authors) || !record::take((*f)[3], s.contributors) ||
      !record::take((*f)[4], s.license) || !record::take((*f)[5], s.year)) {
    return std::nullopt;
  }
  return s;
}

Section register_section(const std::string& root, const std::string& path,
                         const std::vector<std::string>& authors,
                         const std::vector<std::string>& contributors, const std::string& license,
                         const std::string& year) {
  Section s{section_hash(path, authors, contributors, license, year), path, authors, contributors,
            license, year};
  std::string line;
  json::ObjectWriter(line)
      .field("section_hash", s.section_hash)
      .field("path", s.path)
      .field("authors", s.authors)
      .field("contributors", s.contributors)
      .field("license", s.license)
      .field("year", s.year)
      .close();
  line.push_back('\n');
  append_line(shard_path(root, layout::kSections, s.section_hash), line);
  return s;
}

}  // namespace vl::sections
