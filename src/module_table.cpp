#include "module_table.hpp"

#include <vector>

namespace vl::table {

namespace {

using P = Param;
using K = Kind;

#define VL_FUNCTION(fn, result, doc, ...) Row{#fn, result, doc, __VA_ARGS__},
const Row kRows[] = {
#include "module_table.def"
};
#undef VL_FUNCTION

}  // namespace

const Row* rows() { return kRows; }
size_t row_count() { return sizeof kRows / sizeof kRows[0]; }

std::string_view annotation(Kind kind) {
  switch (kind) {
    case Kind::Text:
    case Kind::Path: return "str";
    case Kind::TextOrNone: return "str | None";
    case Kind::TextList:
    case Kind::TextViews: return "Sequence[str]";
    case Kind::TextSet: return "set[str] | frozenset[str]";
    case Kind::Flag: return "bool";
    case Kind::Count: return "int";
    case Kind::CountOrNone: return "int | None";
    case Kind::Bytes: return "bytes | bytearray | Sequence[int]";
    case Kind::Json: return "Any";
  }
  return "Any";
}

std::string text_signature(const Row& row) {
  std::string out = row.name;
  out += '(';
  for (size_t i = 0; i < row.count(); ++i) {
    if (i) out += ", ";
    out += row.params[i].name;
    if (row.params[i].default_value) {
      out += '=';
      out += row.params[i].default_value;
    }
  }
  out += ')';
  return out;
}

std::string doc_string(const Row& row) {
  return text_signature(row) + "\n--\n\n" + row.doc;
}

// The line width of the stub's layout.
constexpr size_t kWidth = 110;

std::string render_stub() {
  std::string out =
      "\"\"\"Native core of vl: storage, hashing, indexing, queries and revocation.\"\"\"\n"
      "\n"
      "# Generated from src/module_table.def by the vl_stub program; do not edit.\n"
      "\n"
      "from typing import Any, Sequence\n"
      "\n"
      "class PanicException(BaseException):\n"
      "    \"\"\"An internal invariant of the native core was violated.\"\"\"\n"
      "\n";
  for (size_t r = 0; r < row_count(); ++r) {
    const Row& row = kRows[r];
    // One line when it fits in kWidth columns; otherwise the parameters on
    // one indented line, or one per line, as black lays them out.
    std::vector<std::string> params;
    for (size_t i = 0; i < row.count(); ++i) {
      const Param& p = row.params[i];
      std::string text = std::string(p.name) + ": " + std::string(annotation(p.kind));
      if (p.default_value) text += std::string(" = ") + p.default_value;
      params.push_back(std::move(text));
    }
    std::string joined;
    for (const std::string& p : params) joined += (joined.empty() ? "" : ", ") + p;
    const std::string head = std::string("def ") + row.name + "(";
    const std::string tail = std::string(") -> ") + row.result + (*row.doc ? ":" : ": ...");
    if (head.size() + joined.size() + tail.size() <= kWidth) {
      out += head + joined + tail;
    } else if (4 + joined.size() <= kWidth) {
      out += head + "\n    " + joined + "\n" + tail;
    } else {
      out += head + "\n";
      for (const std::string& p : params) out += "    " + p + ",\n";
      out += tail;
    }
    out += '\n';
    if (!*row.doc) continue;
    out += "    \"\"\"";
    std::string_view doc = row.doc;
    for (size_t start = 0; start <= doc.size();) {
      size_t nl = doc.find('\n', start);
      std::string_view line = doc.substr(start, nl == std::string_view::npos ? doc.npos : nl - start);
      if (start > 0 && !line.empty()) out += "    ";
      out += line;
      out += '\n';
      if (nl == std::string_view::npos) break;
      start = nl + 1;
    }
    out += "    \"\"\"\n\n";
  }
  return out;
}

}  // namespace vl::table
