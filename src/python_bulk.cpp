// The _vl_bulk extension module: whole-file entry points of the native core
// (tracking a data file, store reports) that work on many lines per call
// instead of one.  Built from the same core library as _vl_native; its
// functions follow the same conventions: positional-or-keyword parameters,
// core errors as RuntimeError with the outermost message, anything else as
// vl._vl_native.PanicException.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "error.hpp"

namespace vl::bulk {

// Thrown once a Python exception has been set; the entry returns NULL.
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
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
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

inline PyObject* check(PyObject* o) {
  if (!o) throw PythonErrorSet{};
  return o;
}

// The PanicException type of _vl_native, looked up when this module is
// created so that both modules raise the one type.
static PyObject* g_panic_type = nullptr;

inline void raise_panic(const char* message) {
  if (!g_panic_type) {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
  }
  PyErr_SetString(g_panic_type, message);
}

// Runs one call: core errors become RuntimeError with the outermost
// message, anything unexpected becomes PanicException.
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

// Argument conversions; a failure sets TypeError naming the parameter.
[[noreturn]] inline void arg_fail(const char* param, const std::string& reason) {
  PyErr_Format(PyExc_TypeError, "argument '%s': %s", param, reason.c_str());
  throw PythonErrorSet{};
}

inline std::string arg_text(PyObject* o, const char* param) {
  if (!PyUnicode_Check(o)) arg_fail(param, std::string("expected str, got ") + Py_TYPE(o)->tp_name);
  Py_ssize_t len = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(o, &len);
  if (!utf8) {
    PyErr_Clear();
    arg_fail(param, "str holds characters that are not valid Unicode (lone surrogates)");
  }
  return std::string(utf8, static_cast<size_t>(len));
}

// ---------------------------------------------------------------------------
// The functions (one row each in kMethods below)

static PyMethodDef kMethods[] = {
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// Module

static PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_vl_bulk",
    "Whole-file entry points of the native core of vl.",
    0,  // no per-module state
    kMethods,
    nullptr, nullptr, nullptr, nullptr,
};

static PyObject* create_module() {
  Ref native(PyImport_ImportModule("vl._vl_native"));
  if (!native) return nullptr;
  Ref panic(PyObject_GetAttrString(native.get(), "PanicException"));
  if (!panic) return nullptr;
  Ref module(PyModule_Create(&kModule));
  if (!module) return nullptr;
  if (PyModule_AddObjectRef(module.get(), "PanicException", panic.get()) < 0) return nullptr;
  if (!g_panic_type) g_panic_type = panic.release();
  return module.release();
}

}  // namespace vl::bulk

PyMODINIT_FUNC PyInit__vl_bulk(void) { return vl::bulk::create_module(); }
