// The module boundary: argument parsing and conversion, result building and
// the mapping of core errors to Python exceptions.  This is the only unit
// that sees Python objects; the function table lives in python.cpp.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "error.hpp"
#include "json.hpp"
#include "module_table.hpp"

namespace vl::py {

// Thrown once a Python exception has been set; the boundary returns NULL.
struct PythonErrorSet {};

// A strong reference that is released on scope exit.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* o) : o_(o) {}
  Ref(Ref&& other) noexcept : o_(other.release()) {}
  Ref& operator=(Ref&& other) noexcept {
    Py_XDECREF(o_);
    o_ = other.release();
    return *this;
  }
  ~Ref() { Py_XDECREF(o_); }
  PyObject* get() const { return o_; }
  PyObject* release() {
    PyObject* o = o_;
    o_ = nullptr;
    return o;
  }
  explicit operator bool() const { return o_ != nullptr; }

 private:
  PyObject* o_ = nullptr;
};

// Throws PythonErrorSet when `o` is null (an exception is pending).
inline PyObject* check(PyObject* o) {
  if (!o) throw PythonErrorSet{};
  return o;
}

// The PanicException type this extension module raises, set when the module
// is created.  Each extension module has its own slot (the symbols are
// hidden), and both store the one type that _vl_native creates.
inline PyObject*& panic_type() {
  static PyObject* type = nullptr;
  return type;
}

inline void raise_panic(const char* message) {
  if (!panic_type()) {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
  }
  PyErr_SetString(panic_type(), message);
}

// Runs one call of a module function: errors of the core become
// RuntimeError with the outermost message; anything unexpected becomes
// PanicException.  Nothing escapes to the interpreter.
template <typename Fn>
PyObject* guarded(Fn&& fn) noexcept {
  try {
    return fn();
  } catch (const PythonErrorSet&) {
    return nullptr;
  } catch (const Error& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    return nullptr;
  } catch (const std::bad_alloc&) {
    raise_panic("memory allocation failed");
    return nullptr;
  } catch (const std::exception& e) {
    raise_panic(e.what());
    return nullptr;
  } catch (...) {
    raise_panic("unknown panic");
    return nullptr;
  }
}

// The arguments of one call, parsed against the function's row and
// converted in signature order before the body runs (JSON-able values
// last: their conversion calls back into Python).  A failing conversion
// sets TypeError (or OverflowError) naming the parameter and throws
// PythonErrorSet; later arguments are not looked at.  A missing optional
// argument takes the row's default.
class Args {
 public:
  Args(const table::Row& row, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

  // The converted value of parameter i; the accessor must match its kind.
  const std::string& text(size_t i) const { return get<std::string>(i); }
  const std::optional<std::string>& text_or_none(size_t i) const {
    return get<std::optional<std::string>>(i);
  }
  const std::vector<std::string>& text_list(size_t i) const {
    return get<std::vector<std::string>>(i);
  }
  const std::vector<std::string>& text_set(size_t i) const { return text_list(i); }
  // The UTF-8 of each str of the sequence, in place; valid while the
  // arguments live.
  const std::vector<std::string_view>& text_views(size_t i) const { return get<TextViews>(i).views; }
  bool flag(size_t i) const { return get<bool>(i); }
  uint64_t count(size_t i) const { return get<uint64_t>(i); }
  const std::optional<uint64_t>& count_or_none(size_t i) const {
    return get<std::optional<uint64_t>>(i);
  }
  const std::vector<uint8_t>& byte_sequence(size_t i) const { return get<std::vector<uint8_t>>(i); }
  // The text json.dumps gave for a JSON-able argument; valid while the
  // arguments live.
  std::string_view json_text(size_t i) const { return get<JsonText>(i).text; }
  // That text read by the store's JSON reader; its error propagates.
  json::Value json_value(size_t i) const;

 private:
  // json.dumps's str, and the UTF-8 text it holds.
  struct JsonText {
    Ref owner;
    std::string_view text;
  };
  // A tuple holding the items of a sequence of str (so that nothing the
  // caller does meanwhile frees them), and their UTF-8.
  struct TextViews {
    std::shared_ptr<Ref> owner;
    std::vector<std::string_view> views;
  };
  using Value = std::variant<std::monostate, std::string, std::optional<std::string>,
                             std::vector<std::string>, bool, uint64_t, std::optional<uint64_t>,
                             std::vector<uint8_t>, JsonText, TextViews>;

  template <typename T>
  const T& get(size_t i) const {
    const T* v = std::get_if<T>(&values_[i]);
    if (!v) throw std::logic_error(std::string("argument '") + (row_.params[i].name ? row_.params[i].name : "?") +
                                   "' read as the wrong kind");
    return *v;
  }

  void convert(size_t i, PyObject* o);
  void apply_default(size_t i);
  [[noreturn]] void fail(size_t i, PyObject* type, const std::string& reason) const;
  std::string text_of(size_t i, PyObject* o, const char* what) const;
  std::vector<std::string> to_text_list(size_t i, PyObject* o) const;
  TextViews to_text_views(size_t i, PyObject* o) const;
  std::string_view utf8_of(size_t i, PyObject* o, const char* what) const;
  std::vector<std::string> to_text_set(size_t i, PyObject* o) const;
  bool to_flag(size_t i, PyObject* o) const;
  uint64_t to_count(size_t i, PyObject* o) const;
  std::vector<uint8_t> to_bytes(size_t i, PyObject* o) const;
  JsonText to_json_text(PyObject* o) const;

  const table::Row& row_;
  std::array<Value, table::kMaxParams> values_{};
};

// Result conversions.
// A str of UTF-8 bytes, invalid sequences replaced.
inline PyObject* to_str(std::string_view s) {
  return check(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
}
PyObject* to_int(uint64_t v);
PyObject* to_list(const std::vector<std::string>& items);

// Builds Python objects from JSON values.  The records of one result repeat
// the same object keys, so each key's str is made once and shared.
class ValueConverter {
 public:
  PyObject* convert(const json::Value& v);
  PyObject* list(const std::vector<json::Value>& items);
  // The values of a JSONL file, converted as they are read.
  PyObject* jsonl_list(const std::string& path);
  PyObject* key(std::string_view k);

 private:
  // Keys seen so far and their str, in an open-addressing table of
  // kKeySlots slots holding at most kMaxKeys keys.
  static constexpr size_t kKeySlots = 8192, kMaxKeys = 4096;
  struct KeySlot {
    std::string key;
    Ref str;  // empty: a free slot
  };
  std::vector<KeySlot> keys_;
  size_t key_count_ = 0;
};

// Switches the cyclic garbage collector off while a large result is built:
// the new objects cannot form cycles, and collections triggered by their
// sheer number would only walk them again and again.
class GcPause {
 public:
  GcPause() : was_enabled_(PyGC_Disable()) {}
  ~GcPause() {
    if (was_enabled_) PyGC_Enable();
  }
  GcPause(const GcPause&) = delete;
  GcPause& operator=(const GcPause&) = delete;

 private:
  int was_enabled_;
};

// A new reference owned from the moment it exists: in a braced list of
// results, one that is already made is released when a later one fails.
struct Owned {
  Owned(PyObject* o) : ref(o) {}  // NOLINT: implicit by design
  Ref ref;
};

// Builds a dict from (key, value) pairs in the given order, stealing values.
PyObject* dict_of(std::initializer_list<std::pair<const char*, Owned>> items);

}  // namespace vl::py
