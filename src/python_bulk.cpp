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

#include "clean.hpp"
#include "error.hpp"
#include "python.hpp"
#include "purge.hpp"
#include "report.hpp"
#include "track_file.hpp"

namespace vl::bulk {

using py::check;
using py::guarded;
using py::PythonErrorSet;
using py::Ref;
using py::to_str;

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

// report(vl_dir, tokenizers=None): the composition report as plain dicts,
// lists, str, int and bool, built here from the native figures.
namespace report_result {

PyObject* num(uint64_t v) { return check(PyLong_FromUnsignedLongLong(v)); }
PyObject* flag(bool b) { return Py_NewRef(b ? Py_True : Py_False); }

void set(PyObject* dict, const char* key, PyObject* value) {
  Ref v(value);
  if (PyDict_SetItemString(dict, key, v.get()) < 0) throw PythonErrorSet{};
}

PyObject* per_tokenizer(const std::vector<std::string>& names,
                        const std::vector<report::TokenFigures>& figures) {
  Ref out(check(PyDict_New()));
  for (size_t t = 0; t < names.size(); ++t) {
    Ref d(check(PyDict_New()));
    report::TokenFigures f = t < figures.size() ? figures[t] : report::TokenFigures{};
    set(d.get(), "entries", num(f.entries));
    set(d.get(), "tokens", num(f.tokens));
    set(d.get(), "revoked_entries", num(f.revoked_entries));
    set(d.get(), "revoked_tokens", num(f.revoked_tokens));
    Ref key(to_str(names[t]));
    if (PyDict_SetItem(out.get(), key.get(), d.get()) < 0) throw PythonErrorSet{};
  }
  return out.release();
}

void put_figures(PyObject* d, const report::Report& r, const report::Figures& f) {
  set(d, "lines", num(f.lines));
  set(d, "revoked_lines", num(f.revoked_lines));
  set(d, "files", num(f.files));
  set(d, "tokens", per_tokenizer(r.tokenizers, f.tokens));
}

template <typename Row, typename Fill>
PyObject* rows(const std::vector<Row>& items, Fill fill) {
  Ref list(check(PyList_New(static_cast<Py_ssize_t>(items.size()))));
  for (size_t i = 0; i < items.size(); ++i) {
    Ref d(check(PyDict_New()));
    fill(d.get(), items[i]);
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), d.release());
  }
  return list.release();
}

PyObject* build(const report::Report& r) {
  Ref out(check(PyDict_New()));
  PyObject* o = out.get();
  {
    Ref names(check(PyList_New(0)));
    for (const std::string& t : r.tokenizers) {
      Ref s(to_str(t));
      if (PyList_Append(names.get(), s.get()) < 0) throw PythonErrorSet{};
    }
    set(o, "tokenizers", names.release());
  }
  {
    Ref totals(check(PyDict_New()));
    put_figures(totals.get(), r, r.totals);
    set(totals.get(), "sections", num(r.sections.size()));
    set(totals.get(), "revoked_sections", num(r.revoked_sections));
    set(totals.get(), "withdrawn_sections", num(r.withdrawn_sections));
    set(totals.get(), "authors", num(r.authors.size()));
    set(totals.get(), "revoked_authors", num(r.revoked_authors));
    set(totals.get(), "licenses", num(r.licenses.size()));
    set(o, "totals", totals.release());
  }
  {
    Ref un(check(PyDict_New()));
    put_figures(un.get(), r, r.unattributed);
    set(o, "unattributed", un.release());
  }
  set(o, "licenses", rows(r.licenses, [&](PyObject* d, const report::LicenseRow& l) {
        set(d, "license", to_str(l.license));
        set(d, "sections", num(l.sections));
        put_figures(d, r, l.figures);
      }));
  set(o, "authors", rows(r.authors, [&](PyObject* d, const report::AuthorRow& a) {
        set(d, "id", to_str(a.id));
        set(d, "name", a.registered ? to_str(a.name) : Py_NewRef(Py_None));
        set(d, "email", a.registered ? to_str(a.email) : Py_NewRef(Py_None));
        set(d, "registered", flag(a.registered));
        set(d, "revoked", flag(a.revoked));
        set(d, "sections", num(a.sections));
        put_figures(d, r, a.figures);
      }));
  set(o, "sections", rows(r.sections, [&](PyObject* d, const report::SectionRow& s) {
        set(d, "section_hash", to_str(s.section_hash));
        set(d, "path", to_str(s.path));
        set(d, "license", to_str(s.license));
        set(d, "year", to_str(s.year));
        Ref ids(check(PyList_New(static_cast<Py_ssize_t>(s.authors.size()))));
        for (size_t i = 0; i < s.authors.size(); ++i) {
          PyList_SET_ITEM(ids.get(), static_cast<Py_ssize_t>(i), to_str(s.authors[i]));
        }
        set(d, "authors", ids.release());
        set(d, "revoked", flag(s.revoked));
        set(d, "withdrawn", flag(s.withdrawn));
        put_figures(d, r, s.figures);
      }));
  set(o, "files", rows(r.files, [&](PyObject* d, const report::FileRow& f) {
        set(d, "file", to_str(f.file));
        set(d, "lines", num(f.lines));
        set(d, "revoked_lines", num(f.revoked_lines));
        set(d, "unattributed_lines", num(f.unattributed_lines));
      }));
  set(o, "unknown_sources", rows(r.unknown_sources, [&](PyObject* d, const report::UnknownSource& u) {
        set(d, "source", to_str(u.source));
        put_figures(d, r, u.figures);
      }));
  {
    Ref pending(check(PyDict_New()));
    for (size_t t = 0; t < r.tokenizers.size(); ++t) {
      Ref d(check(PyDict_New()));
      set(d.get(), "files", num(r.pending[t].files));
      set(d.get(), "entries", num(r.pending[t].entries));
      set(d.get(), "tokens", num(r.pending[t].tokens));
      Ref key(to_str(r.tokenizers[t]));
      if (PyDict_SetItem(pending.get(), key.get(), d.get()) < 0) throw PythonErrorSet{};
    }
    set(o, "pending", pending.release());
  }
  return out.release();
}

}  // namespace report_result

static PyObject* report_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kKeywords[] = {"vl_dir", "tokenizers", nullptr};
    PyObject* root_obj = nullptr;
    PyObject* tok_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:report", const_cast<char**>(kKeywords),
                                     &root_obj, &tok_obj)) {
      return nullptr;
    }
    std::string root = arg_text(root_obj, "vl_dir");
    if (root.find('\0') != std::string::npos) {
      PyErr_SetString(PyExc_ValueError, "argument 'vl_dir': path holds a NUL byte");
      return nullptr;
    }
    std::optional<std::vector<std::string>> tokenizers;
    if (tok_obj != Py_None) {
      if (PyUnicode_Check(tok_obj) || !PySequence_Check(tok_obj)) {
        arg_fail("tokenizers", "expected a sequence of str or None");
      }
      Ref seq(check(PySequence_Fast(tok_obj, "expected a sequence of str or None")));
      tokenizers.emplace();
      for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        tokenizers->push_back(arg_text(PySequence_Fast_GET_ITEM(seq.get(), i), "tokenizers"));
      }
    }
    report::Report r = report::build(root, tokenizers);
    return report_result::build(r);
  });
}

// clean_dry_run(vl_dir): the counters a clean would report now, with
// nothing changed.
static PyObject* clean_dry_run_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kKeywords[] = {"vl_dir", nullptr};
    PyObject* root_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:clean_dry_run", const_cast<char**>(kKeywords),
                                     &root_obj)) {
      return nullptr;
    }
    clean::CleanCounts c = clean::clean(arg_text(root_obj, "vl_dir"), false, true);
    Ref out(check(PyDict_New()));
    for (auto [key, value] : {std::pair<const char*, uint64_t>{"document_merged", c.document_merged},
                              {"pid_files_deleted", c.pid_files_deleted},
                              {"archived_records", c.archived_records},
                              {"log_rotated", c.log_rotated},
                              {"token_index_merged", c.token_index_merged},
                              {"token_index_pid_deleted", c.token_index_pid_deleted}}) {
      Ref v(check(PyLong_FromUnsignedLongLong(value)));
      if (PyDict_SetItemString(out.get(), key, v.get()) < 0) throw PythonErrorSet{};
    }
    return out.release();
  });
}

// purge_plan(vl_dir, data_file, author_name=None): what a purge of the data
// file would remove, as {"lines": n, "purged": [line numbers]}.
static PyObject* purge_plan_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kKeywords[] = {"vl_dir", "data_file", "author_name", nullptr};
    PyObject *root_obj = nullptr, *file_obj = nullptr, *author_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O:purge_plan", const_cast<char**>(kKeywords),
                                     &root_obj, &file_obj, &author_obj)) {
      return nullptr;
    }
    std::string root = arg_text(root_obj, "vl_dir"), data_file = arg_text(file_obj, "data_file");
    std::optional<std::string> author;
    if (author_obj != Py_None) author = arg_text(author_obj, "author_name");
    purge::Plan p = purge::plan(root, data_file, author);
    Ref numbers(check(PyList_New(static_cast<Py_ssize_t>(p.purged.size()))));
    for (size_t i = 0; i < p.purged.size(); ++i) {
      PyList_SET_ITEM(numbers.get(), static_cast<Py_ssize_t>(i), report_result::num(p.purged[i]));
    }
    Ref out(check(PyDict_New()));
    report_result::set(out.get(), "lines", report_result::num(p.lines));
    report_result::set(out.get(), "purged", numbers.release());
    return out.release();
  });
}

// purge(vl_dir, data_file, author_name=None, progress=None, measure=False):
// purge_revoked, or purge_by_author_indexed for an author name, without
// holding the interpreter lock, so that another thread can show how far it
// got: the bytes handled so far (out of twice the file's size) are stored
// as an unsigned 64-bit integer in native byte order at the start of
// `progress`, a writable buffer of at least 8 bytes (such as a bytearray).
// With measure, the result also tells where the time went ("phases").
static PyObject* purge_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kKeywords[] = {"vl_dir", "data_file", "author_name", "progress", "measure", nullptr};
    PyObject *root_obj = nullptr, *file_obj = nullptr, *author_obj = Py_None, *progress_obj = Py_None,
             *measure_obj = Py_False;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OOO:purge", const_cast<char**>(kKeywords), &root_obj,
                                     &file_obj, &author_obj, &progress_obj, &measure_obj)) {
      return nullptr;
    }
    if (!PyBool_Check(measure_obj)) arg_fail("measure", "expected bool");
    std::string root = arg_text(root_obj, "vl_dir"), data_file = arg_text(file_obj, "data_file");
    std::optional<std::string> author;
    if (author_obj != Py_None) author = arg_text(author_obj, "author_name");
    Py_buffer view{};
    bool have_view = false;
    if (progress_obj != Py_None) {
      if (PyObject_GetBuffer(progress_obj, &view, PyBUF_WRITABLE) < 0) throw PythonErrorSet{};
      have_view = true;
      if (view.len < 8 || reinterpret_cast<uintptr_t>(view.buf) % alignof(uint64_t) != 0) {
        PyBuffer_Release(&view);
        arg_fail("progress", "expected a writable buffer of at least 8 aligned bytes");
      }
    }
    // The counter lives in the caller's buffer for the length of the call.
    purge::Progress* counter = have_view ? new (view.buf) purge::Progress(0) : nullptr;
    purge::PurgeResult r;
    std::exception_ptr failure;
    Py_BEGIN_ALLOW_THREADS
    try {
      r = author ? purge::purge_by_author_indexed(root, *author, data_file, false, counter)
                 : purge::purge_revoked(root, data_file, false, counter);
    } catch (...) {
      failure = std::current_exception();
    }
    Py_END_ALLOW_THREADS
    if (have_view) PyBuffer_Release(&view);
    if (failure) std::rethrow_exception(failure);
    Ref out(check(PyDict_New()));
    report_result::set(out.get(), "purged", report_result::num(r.purged));
    report_result::set(out.get(), "kept", report_result::num(r.kept));
    report_result::set(out.get(), "archived", report_result::num(r.archived));
    if (measure_obj == Py_True) {
      report_result::set(out.get(), "phases",
                         check(Py_BuildValue("{sdsdsdsd}", "decide", r.phases.decide, "archive", r.phases.archive,
                                             "write", r.phases.write, "sync", r.phases.sync)));
    }
    return out.release();
  });
}

// A str list argument (not a single str).
static std::vector<std::string> arg_text_list(PyObject* o, const char* param) {
  if (PyUnicode_Check(o) || !PySequence_Check(o)) arg_fail(param, "expected a sequence of str");
  Ref seq(check(PySequence_Fast(o, "expected a sequence of str")));
  std::vector<std::string> out;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
    out.push_back(arg_text(PySequence_Fast_GET_ITEM(seq.get(), i), param));
  }
  return out;
}

static uint64_t arg_count(PyObject* o, const char* param) {
  if (!PyLong_Check(o) || PyBool_Check(o)) arg_fail(param, std::string("expected int, got ") + Py_TYPE(o)->tp_name);
  unsigned long long v = PyLong_AsUnsignedLongLong(o);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    PyErr_Format(PyExc_OverflowError, "argument '%s': expected a count from 0 to 2**64-1", param);
    throw PythonErrorSet{};
  }
  return v;
}

// track_file(vl_dir, path, file, sources, tokenizer=None, token_counts=None,
//            text_field=None, already=None, strict=False, progress=None, measure=False)
static PyObject* track_file_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kKeywords[] = {"vl_dir", "path", "file", "sources", "tokenizer", "token_counts",
                                      "text_field", "already", "strict", "progress", "measure", nullptr};
    PyObject *root_obj, *path_obj, *file_obj, *sources_obj;
    PyObject *tok_obj = Py_None, *counts_obj = Py_None, *field_obj = Py_None, *already_obj = Py_None,
             *strict_obj = Py_False, *progress_obj = Py_None, *measure_obj = Py_False;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO|OOOOOOO:track_file", const_cast<char**>(kKeywords),
                                     &root_obj, &path_obj, &file_obj, &sources_obj, &tok_obj, &counts_obj,
                                     &field_obj, &already_obj, &strict_obj, &progress_obj, &measure_obj)) {
      return nullptr;
    }
    std::string root = arg_text(root_obj, "vl_dir");
    std::string path = arg_text(path_obj, "path");
    if (path.find('\0') != std::string::npos) arg_fail("path", "contains a NUL character");
    TrackFileOptions o;
    o.file = arg_text(file_obj, "file");
    o.sources = arg_text_list(sources_obj, "sources");
    if (tok_obj != Py_None) o.tokenizer = arg_text(tok_obj, "tokenizer");
    if (counts_obj != Py_None) {
      if (!PySequence_Check(counts_obj)) arg_fail("token_counts", "expected a sequence of int or None");
      Ref seq(check(PySequence_Fast(counts_obj, "expected a sequence of int")));
      o.token_counts.emplace();
      for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        o.token_counts->push_back(arg_count(PySequence_Fast_GET_ITEM(seq.get(), i), "token_counts"));
      }
    }
    if (field_obj != Py_None) o.text_field = arg_text(field_obj, "text_field");
    if (already_obj != Py_None) {
      if (!PyDict_Check(already_obj)) arg_fail("already", "expected a dict of str to int or None");
      PyObject *key, *value;
      Py_ssize_t pos = 0;
      while (PyDict_Next(already_obj, &pos, &key, &value)) {
        o.already[arg_text(key, "already")] = arg_count(value, "already");
      }
    }
    if (!PyBool_Check(strict_obj)) arg_fail("strict", "expected bool");
    o.strict = strict_obj == Py_True;
    if (!PyBool_Check(measure_obj)) arg_fail("measure", "expected bool");
    o.measure = measure_obj == Py_True;
    if (progress_obj != Py_None && !PyCallable_Check(progress_obj)) arg_fail("progress", "expected a callable or None");
    if (o.tokenizer && o.text_field && o.token_counts) arg_fail("text_field", "only used by the built-in counter");

    // Between batches: the caller's progress callback, and Ctrl-C.  A
    // KeyboardInterrupt stops the work after the batch (what is recorded
    // stays recorded) and is reported in the result; any other exception
    // of the callback stops it too and is raised.
    bool interrupted = false;
    bool failed = false;
    // With an exception pending: a KeyboardInterrupt is taken as the
    // interruption, anything else is left to be raised.
    auto stop = [&] {
      if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) {
        PyErr_Clear();
        interrupted = true;
      } else {
        failed = true;
      }
      return false;
    };
    o.progress = [&](uint64_t done) {
      if (progress_obj != Py_None) {
        Ref r(PyObject_CallOneArg(progress_obj, Ref(check(PyLong_FromUnsignedLongLong(done))).get()));
        if (!r) return stop();
      }
      if (PyErr_CheckSignals() < 0) return stop();
      return true;
    };
    TrackFileResult r = track_file(root, path, o);
    if (failed) return nullptr;
    Ref out(check(PyDict_New()));
    auto set = [&](const char* key, PyObject* value) {
      Ref v(check(value));
      if (PyDict_SetItemString(out.get(), key, v.get()) < 0) throw PythonErrorSet{};
    };
    set("recorded", PyLong_FromUnsignedLongLong(r.recorded));
    set("already", PyLong_FromUnsignedLongLong(r.already));
    Ref invalid(check(PyList_New(static_cast<Py_ssize_t>(r.invalid.size()))));
    for (size_t i = 0; i < r.invalid.size(); ++i) {
      PyObject* item = check(Py_BuildValue("(Ks)", static_cast<unsigned long long>(r.invalid[i].line),
                                           r.invalid[i].reason.c_str()));
      PyList_SET_ITEM(invalid.get(), static_cast<Py_ssize_t>(i), item);
    }
    set("invalid", invalid.release());
    set("bytes", PyLong_FromUnsignedLongLong(r.bytes));
    set("interrupted", Py_NewRef(interrupted ? Py_True : Py_False));
    if (o.measure) {
      set("phases", Py_BuildValue("{sdsdsdsd}", "hash", r.phases.hash, "tokens", r.phases.tokens, "record",
                                  r.phases.record, "write", r.phases.write));
    }
    return out.release();
  });
}

static PyMethodDef kMethods[] = {
    {"report", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(report_entry)),
     METH_VARARGS | METH_KEYWORDS,
     "report(vl_dir, tokenizers=None)\n--\n\n"
     "The store's composition by licence, author, section and data file: tracked lines,\n"
     "data files, tokens per tokenizer and revoked shares, in one native pass."},
    {"clean_dry_run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(clean_dry_run_entry)),
     METH_VARARGS | METH_KEYWORDS,
     "clean_dry_run(vl_dir)\n--\n\n"
     "The counters that clean(vl_dir, split) would return now, without changing anything."},
    {"purge_plan", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(purge_plan_entry)),
     METH_VARARGS | METH_KEYWORDS,
     "purge_plan(vl_dir, data_file, author_name=None)\n--\n\n"
     "What a purge of the data file would remove, writing nothing: the line count and\n"
     "the 1-based numbers of the lines that would go."},
    {"purge", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(purge_entry)),
     METH_VARARGS | METH_KEYWORDS,
     "purge(vl_dir, data_file, author_name=None, progress=None, measure=False)\n--\n\n"
     "purge_revoked, or purge_by_author_indexed given an author name, run without the\n"
     "interpreter lock; the bytes handled so far (of twice the file's size) go into\n"
     "the first 8 bytes of the writable buffer `progress`.  With measure, the result\n"
     "also holds phases: processor seconds deciding, making archive records and\n"
     "writing, and seconds waiting for the disk."},
    {"track_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(track_file_entry)),
     METH_VARARGS | METH_KEYWORDS,
     "track_file(vl_dir, path, file, sources, tokenizer=None, token_counts=None, text_field=None, "
     "already=None, strict=False, progress=None, measure=False)\n--\n\n"
     "Track every line of the data file at path under the name file: hashes on the worker pool,\n"
     "records appended in few large writes.  Returns a dict with recorded, already, invalid\n"
     "[(line, reason)], bytes and interrupted; with measure, also phases: the processor\n"
     "seconds spent hashing, counting tokens, making records and writing them."},
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
  if (!py::panic_type()) py::panic_type() = panic.release();
  return module.release();
}

}  // namespace vl::bulk

PyMODINIT_FUNC PyInit__vl_bulk(void) { return vl::bulk::create_module(); }
