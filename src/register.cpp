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
  std::string text = "{\"authors\":";
  json::write_string_array(text, authors);
  text += ",\"contributors\":";
  json::write_string_array(text, contributors);
  text += ",\"license\":";
  json::write_string(text, license);
  text += ",\"path\":";
  json::write_string(text, path);
  text += ",\"year\":";
  json::write_string(text, year);
  text += '}';
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
  std::string line = "{\"section_hash\":";
  json::write_string(line, s.section_hash);
  line += ",\"path\":";
  json::write_string(line, s.path);
  line += ",\"authors\":";
  json::write_string_array(line, s.authors);
  line += ",\"contributors\":";
  json::write_string_array(line, s.contributors);
  line += ",\"license\":";
  json::write_string(line, s.license);
  line += ",\"year\":";
  json::write_string(line, s.year);
  line += "}\n";
  append_line(shard_path(root, "sections", s.section_hash), line);
  return s;
}

}  // namespace vl::sections
