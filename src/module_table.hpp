// The rows of the _vl_native function table, without Python: each
// function's name, parameters (name, kind, default), result type and doc
// text.  module_table.def lists the rows; python.cpp pairs each with its
// body, and the text signatures, the argument conversion and the type stub
// vl/_vl_native.pyi all follow from them.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace vl::table {

// How an argument is accepted and converted.
enum class Kind {
  Text,         // str
  Path,         // str naming a file or directory: no NUL byte (ValueError)
  TextOrNone,   // str or None
  TextList,     // a sequence of str other than str itself
  TextViews,    // the same, read in place (views into the str objects' UTF-8)
  TextSet,      // a set or frozenset of str
  Flag,         // bool, or a numpy boolean
  Count,        // int in 0 ..= 2**64-1
  CountOrNone,  // such an int, or None
  Bytes,        // bytes, bytearray, or a sequence of ints 0..255
  Json,         // anything json.dumps accepts; converted after all the others
};

struct Param {
  const char* name = nullptr;
  Kind kind = Kind::Text;
  // The default as Python source ("None", "False", "\"track\""), or null
  // for a required parameter.
  const char* default_value = nullptr;
};

inline constexpr size_t kMaxParams = 6;

struct Row {
  const char* name;
  const char* result;  // the result type as the stub writes it
  const char* doc;     // doc text after the signature, or ""
  std::array<Param, kMaxParams> params;

  size_t count() const {
    size_t n = 0;
    while (n < kMaxParams && params[n].name) ++n;
    return n;
  }
  size_t required() const {
    size_t n = 0;
    while (n < count() && !params[n].default_value) ++n;
    return n;
  }
};

// The type annotation of a kind in the stub.
std::string_view annotation(Kind kind);

// "name(a, b, c=None)"
std::string text_signature(const Row& row);
// The doc string of the function object: the text signature, CPython's
// separator line, then the doc text.
std::string doc_string(const Row& row);

// The table's rows without their bodies, in table order.
const Row* rows();
size_t row_count();

// The whole vl/_vl_native.pyi as the rows give it.
std::string render_stub();

}  // namespace vl::table
