// The JSON value of the store, its reader and its canonical writer.
//
// The exact behaviour here is part of the stored formats: the reader decides
// which float a number literal becomes and the writer decides the bytes that
// are hashed, so both are our own code rather than a general-purpose library.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace vl::json {

class Value;
using Array = std::vector<Value>;
using Member = std::pair<std::string, Value>;
// Members in ascending order of the keys' bytes, each key once.
using Object = std::vector<Member>;

enum class Kind { Null, Bool, UInt, Int, Float, String, Array, Object };

class Value {
 public:
  Value() = default;  // null
  static Value boolean(bool b) { return Value(b); }
  // Non-negative integers.
  static Value uint(uint64_t u) { return Value(u); }
  // Any signed integer; non-negative ones are held in the unsigned form.
  static Value integer(int64_t i) {
    return i >= 0 ? Value(static_cast<uint64_t>(i)) : Value(i);
  }
  // A finite double; integral values stay floats.
  static Value real(double d) { return Value(d); }
  static Value string(std::string s) { return Value(std::move(s)); }
  static Value array(Array a) { return Value(std::move(a)); }
  // Takes members in any order; a repeated key keeps its last value.
  static Value object(std::vector<Member> members);

  Kind kind() const { return static_cast<Kind>(data_.index()); }
  bool is_null() const { return kind() == Kind::Null; }

  const bool* as_bool() const { return std::get_if<bool>(&data_); }
  const uint64_t* as_uint() const { return std::get_if<uint64_t>(&data_); }
  const int64_t* as_int() const { return std::get_if<int64_t>(&data_); }
  const double* as_float() const { return std::get_if<double>(&data_); }
  const std::string* as_string() const { return std::get_if<std::string>(&data_); }
  std::string* as_string() { return std::get_if<std::string>(&data_); }
  const Array* as_array() const { return std::get_if<Array>(&data_); }
  Array* as_array() { return std::get_if<Array>(&data_); }
  const Object* as_object() const { return std::get_if<Object>(&data_); }
  Object* as_object() { return std::get_if<Object>(&data_); }

  // Member lookup on an object; null for other kinds or a missing key.
  const Value* find(std::string_view key) const;

  bool operator==(const Value& other) const = default;

 private:
  using Data = std::variant<std::monostate, bool, uint64_t, int64_t, double,
                            std::string, Array, Object>;
  template <typename T>
  explicit Value(T&& v) : data_(std::forward<T>(v)) {}
  Data data_;
};

// Why a text was not one JSON value, and where.
struct ParseError {
  std::string description;  // such as "expected value"
  size_t line = 0;          // 1-based
  size_t column = 0;        // 1-based, in bytes

  // "<description> at line L column C"
  std::string message() const;
};

// Arrays and objects may nest this deep; one level more is an error.
inline constexpr int kMaxDepth = 127;

// Reads exactly one JSON value, optionally surrounded by white space.
// Returns the value, or nothing with *error filled in (when given).
std::optional<Value> parse(std::string_view text, ParseError* error = nullptr);

// Reads a text that must be one JSON object and returns its members in
// document order, repeated keys included, so that record readers can refuse
// a field given twice.  Nothing when the text is not a JSON object.
std::optional<std::vector<Member>> parse_members(std::string_view text);

// What writing a canonical text found out about the text it read.
struct CanonicalFacts {
  // An integer literal lay outside the 64-bit ranges (the reader takes it
  // as a float).
  bool wide_integer = false;
  // The deepest nesting of arrays and objects: 0 for a scalar, 1 for [1].
  int depth = 0;
};

class Canonicalizer;  // the one-pass walk, in json.cpp

// Writes canonical texts in one pass without building a value, into
// buffers of its own that are reused from text to text.
class CanonicalWriter {
 public:
  CanonicalWriter();
  ~CanonicalWriter();
  CanonicalWriter(const CanonicalWriter&) = delete;
  CanonicalWriter& operator=(const CanonicalWriter&) = delete;

  // The canonical text of `text`, which must be exactly one JSON value
  // (optionally surrounded by white space): the same bytes as
  // write(parse(text)).  Nothing when the text is not one JSON value by the
  // reader's rules.  The view points into this writer's buffer and stays
  // valid until its next call.  *facts, when given, is filled in either way.
  std::optional<std::string_view> text_of(std::string_view text, CanonicalFacts* facts = nullptr);

 private:
  std::unique_ptr<Canonicalizer> impl_;
};

// CanonicalWriter::text_of through a writer kept by the calling thread: the
// view is valid until the thread's next call.
std::optional<std::string_view> canonical_text(std::string_view text, CanonicalFacts* facts = nullptr);

// The canonical compact text, appended to `out`.
void write(std::string& out, const Value& v);
std::string to_string(const Value& v);

// Pieces of the canonical text, for records written in their own field order.
void write_string(std::string& out, std::string_view s);
void write_uint(std::string& out, uint64_t u);
void write_int(std::string& out, int64_t i);
void write_float(std::string& out, double d);
void write_string_array(std::string& out, const std::vector<std::string>& items);

// Writes one object with its members in the order they are given, for
// records that keep their own field order (or whose keys are given in byte
// order already):  ObjectWriter(out).field("id", id).field("n", 1).close();
class ObjectWriter {
 public:
  explicit ObjectWriter(std::string& out) : out_(out) { out_.push_back('{'); }
  ObjectWriter& field(std::string_view key, std::string_view value) {
    write_string(*key_(key), value);
    return *this;
  }
  // (Without this a string literal would pick the bool overload.)
  ObjectWriter& field(std::string_view key, const char* value) {
    return field(key, std::string_view(value));
  }
  ObjectWriter& field(std::string_view key, const std::vector<std::string>& items) {
    write_string_array(*key_(key), items);
    return *this;
  }
  ObjectWriter& field(std::string_view key, bool value) {
    key_(key)->append(value ? "true" : "false");
    return *this;
  }
  ObjectWriter& field(std::string_view key, uint64_t value) {
    write_uint(*key_(key), value);
    return *this;
  }
  void close() { out_.push_back('}'); }

 private:
  std::string* key_(std::string_view key) {
    if (!first_) out_.push_back(',');
    first_ = false;
    write_string(out_, key);
    out_.push_back(':');
    return &out_;
  }
  std::string& out_;
  bool first_ = true;
};

}  // namespace vl::json
