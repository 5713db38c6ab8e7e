// Reading typed records out of JSON lines.
//
// A stored line is a record of a kind when it is a JSON object holding each
// of the kind's fields exactly once with the right type; other keys are
// ignored.  A field given twice makes the line invalid, which the generic
// JSON value (last key wins) could not tell, so records are read from the
// object's members in document order.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json.hpp"

namespace vl::record {

// The named fields among an object's members, in the order of `names`;
// nothing when a field is missing or repeated.
template <size_t N>
std::optional<std::array<json::Value*, N>> find_fields(std::vector<json::Member>& members,
                                                       const std::array<std::string_view, N>& names) {
  std::array<json::Value*, N> out{};
  for (auto& [key, value] : members) {
    for (size_t i = 0; i < N; ++i) {
      if (key != names[i]) continue;
      if (out[i]) return std::nullopt;
      out[i] = &value;
      break;
    }
  }
  for (json::Value* v : out) {
    if (!v) return std::nullopt;
  }
  return out;
}

// The values of the named fields of the object in `line`, in the order of
// `names`; nothing when the line is not an object or a field is missing or
// repeated.
template <size_t N>
std::optional<std::array<json::Value, N>> fields(std::string_view line,
                                                 const std::array<std::string_view, N>& names) {
  auto members = json::parse_members(line);
  if (!members) return std::nullopt;
  auto found = find_fields(*members, names);
  if (!found) return std::nullopt;
  std::array<json::Value, N> out;
  for (size_t i = 0; i < N; ++i) out[i] = std::move(*(*found)[i]);
  return out;
}

inline bool take(json::Value& v, std::string& out) {
  std::string* s = v.as_string();
  if (!s) return false;
  out = std::move(*s);
  return true;
}

inline bool take(json::Value& v, bool& out) {
  const bool* b = v.as_bool();
  if (!b) return false;
  out = *b;
  return true;
}

inline bool take(json::Value& v, uint64_t& out) {
  const uint64_t* u = v.as_uint();
  if (!u) return false;
  out = *u;
  return true;
}

inline bool take(json::Value& v, std::vector<std::string>& out) {
  json::Array* items = v.as_array();
  if (!items) return false;
  out.clear();
  out.reserve(items->size());
  for (json::Value& item : *items) {
    std::string* s = item.as_string();
    if (!s) return false;
    out.push_back(std::move(*s));
  }
  return true;
}

// A cheap and exact test before parsing: false only when the JSON line
// cannot hold `value` as a string.  In a line without a backslash every
// string stands verbatim between quotes, so a value that needs no escaping
// and is not there in quotes is not in the line; a line with a backslash,
// or a value that would be escaped, always answers true.
inline bool may_hold_string(std::string_view line, std::string_view value) {
  for (char c : value) {
    if (c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20) return true;
  }
  if (line.find('\\') != std::string_view::npos) return true;
  for (size_t at = line.find(value); at != std::string_view::npos; at = line.find(value, at + 1)) {
    if (at > 0 && line[at - 1] == '"' && at + value.size() < line.size() &&
        line[at + value.size()] == '"') {
      return true;
    }
  }
  return false;
}

}  // namespace vl::record
