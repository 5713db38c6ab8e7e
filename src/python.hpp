// The module boundary: argument parsing and conversion, result building and
// the mapping of core errors to Python exceptions.  This is the only unit
// that sees Python objects; the function table lives in python.cpp.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "json.hpp"

namespace vl::py {

// Thrown once a Python exception has been set; the boundary returns NULL.
struct PythonErrorSet {};

// A function's name and parameter names; parameters past `required` are
// optional and their defaults are applied by the body.
struct Signature {
  const char* name;
  std::array<const char*, 6> params;
  size_t count;
  size_t required;
};

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
PyObject* check(PyObject* o);

// The parsed arguments of one call, converted on demand in signature order.
// A failing conversion sets TypeError (or OverflowError) naming the
// parameter and throws PythonErrorSet.
class Args {
 public:
  Args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

  bool present(size_t i) const { return slots_[i] != nullptr; }
  PyObject* raw(size_t i) const { return slots_[i]; }

  std::string text(size_t i) const;
  std::optional<std::string> text_or_none(size_t i) const;
  std::vector<std::string> text_list(size_t i) const;
  std::vector<std::string> text_set(size_t i) const;
  bool flag(size_t i, bool default_value) const;
  uint64_t count(size_t i) const;
  std::optional<uint64_t> count_or_none(size_t i) const;
  std::vector<uint8_t> byte_sequence(size_t i) const;
  // Through json.dumps and the store's JSON reader; their errors propagate.
  json::Value json_value(size_t i) const;
  // The text json.dumps gives for the argument (its errors propagate),
  // held by *keep; the view is valid while *keep lives.
  std::string_view json_text(size_t i, Ref* keep) const;

 private:
  [[noreturn]] void fail(size_t i, PyObject* type, const std::string& reason) const;
  std::string text_of(size_t i, PyObject* o, const char* what) const;

  const Signature& sig_;
  std::array<PyObject*, 6> slots_{};
};

// Result conversions.
PyObject* to_str(const std::string& s);
PyObject* to_int(uint64_t v);
PyObject* to_list(const std::vector<std::string>& items);

// Builds Python objects from JSON values.  The records of one result repeat
// the same object keys, so each key's str is made once and shared.
class ValueConverter {
 public:
  PyObject* convert(const json::Value& v);
  PyObject* list(const std::vector<json::Value>& items);
  PyObject* key(const std::string& k);

 private:
  std::unordered_map<std::string, Ref> keys_;
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

// Builds a dict from (key, value) pairs in the given order, stealing values.
PyObject* dict_of(std::initializer_list<std::pair<const char*, PyObject*>> items);

}  // namespace vl::py
