// The _vl_native extension module: the bodies of the function table and the
// boundary between Python objects and the native core.  A new function is a
// row in module_table.def and a body here of the same name.

#include "python.hpp"

#include <algorithm>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <utility>

#include "authors.hpp"
#include "blame.hpp"
#include "clean.hpp"
#include "error.hpp"
#include "fs.hpp"
#include "generate_set.hpp"
#include "hash.hpp"
#include "index.hpp"
#include "indexer.hpp"
#include "merge.hpp"
#include "oplog.hpp"
#include "register.hpp"
#include "revoke.hpp"
#include "purge.hpp"
#include "show.hpp"
#include "storage.hpp"
#include "token_bin_index.hpp"
#include "token_index.hpp"
#include "track.hpp"
#include "vl.hpp"

namespace vl::py {

// ---------------------------------------------------------------------------
// Argument parsing


static std::string plural(size_t n, const char* word) {
  return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

Args::Args(const table::Row& row, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
    : row_(row) {
  const size_t count = row.count(), required = row.required();
  std::array<PyObject*, table::kMaxParams> slots{};
  auto n = static_cast<size_t>(nargs);
  if (n > count) {
    PyErr_Format(PyExc_TypeError, "%s() takes %s %s (%zd given)", row.name,
                 count == required ? "exactly" : "at most", plural(count, "argument").c_str(), nargs);
    throw PythonErrorSet{};
  }
  for (size_t i = 0; i < n; ++i) slots[i] = args[i];
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    size_t i = 0;
    for (; i < count; ++i) {
      if (PyUnicode_CompareWithASCIIString(key, row.params[i].name) == 0) break;
    }
    if (i == count) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", row.name, key);
      throw PythonErrorSet{};
    }
    if (slots[i]) {
      PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zu)",
                   row.name, row.params[i].name, i + 1);
      throw PythonErrorSet{};
    }
    slots[i] = args[nargs + k];
  }
  for (size_t i = 0; i < required; ++i) {
    if (!slots[i]) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", row.name,
                   row.params[i].name, i + 1);
      throw PythonErrorSet{};
    }
  }
  // Signature order, JSON-able values last.
  for (bool json_pass : {false, true}) {
    for (size_t i = 0; i < count; ++i) {
      if ((row.params[i].kind == table::Kind::Json) != json_pass) continue;
      if (slots[i]) {
        convert(i, slots[i]);
      } else {
        apply_default(i);
      }
    }
  }
}

void Args::convert(size_t i, PyObject* o) {
  using table::Kind;
  switch (row_.params[i].kind) {
    case Kind::Text: values_[i] = text_of(i, o, "expected str"); break;
    case Kind::Path: {
      std::string path = text_of(i, o, "expected str");
      // As open() does: the system calls would cut the path at the NUL.
      if (path.find('\0') != std::string::npos) fail(i, PyExc_ValueError, "embedded null byte");
      values_[i] = std::move(path);
      break;
    }
    case Kind::TextOrNone:
      values_[i] = o == Py_None ? std::optional<std::string>()
                                : std::optional<std::string>(text_of(i, o, "expected str or None"));
      break;
    case Kind::TextList: values_[i] = to_text_list(i, o); break;
    case Kind::TextViews: values_[i] = to_text_views(i, o); break;
    case Kind::TextSet: values_[i] = to_text_set(i, o); break;
    case Kind::Flag: values_[i] = to_flag(i, o); break;
    case Kind::Count: values_[i] = to_count(i, o); break;
    case Kind::CountOrNone:
      values_[i] = o == Py_None ? std::optional<uint64_t>() : std::optional<uint64_t>(to_count(i, o));
      break;
    case Kind::Bytes: values_[i] = to_bytes(i, o); break;
    case Kind::Json: values_[i] = to_json_text(o); break;
  }
}

// Defaults are Python source in the row: None, False, True or a string in
// double quotes without escapes.
void Args::apply_default(size_t i) {
  using table::Kind;
  const table::Param& p = row_.params[i];
  std::string_view d = p.default_value;
  bool quoted = d.size() >= 2 && d.front() == '"' && d.back() == '"';
  if (d == "None" && p.kind == Kind::TextOrNone) {
    values_[i] = std::optional<std::string>();
  } else if (d == "None" && p.kind == Kind::CountOrNone) {
    values_[i] = std::optional<uint64_t>();
  } else if ((d == "False" || d == "True") && p.kind == Kind::Flag) {
    values_[i] = d == "True";
  } else if (quoted && (p.kind == Kind::Text || p.kind == Kind::Path)) {
    values_[i] = std::string(d.substr(1, d.size() - 2));
  } else {
    throw Panic(std::string("no default of this kind for argument '") + p.name + "'");
  }
}

void Args::fail(size_t i, PyObject* type, const std::string& reason) const {
  PyErr_Format(type, "argument '%s': %s", row_.params[i].name, reason.c_str());
  throw PythonErrorSet{};
}

static std::string type_name(PyObject* o) { return Py_TYPE(o)->tp_name; }

std::string_view Args::utf8_of(size_t i, PyObject* o, const char* what) const {
  if (!PyUnicode_Check(o)) fail(i, PyExc_TypeError, std::string(what) + ", got " + type_name(o));
  Py_ssize_t len = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(o, &len);
  if (!utf8) {
    PyErr_Clear();
    fail(i, PyExc_TypeError, "str holds characters that are not valid Unicode (lone surrogates)");
  }
  return {utf8, static_cast<size_t>(len)};
}

std::string Args::text_of(size_t i, PyObject* o, const char* what) const {
  return std::string(utf8_of(i, o, what));
}

std::vector<std::string> Args::to_text_list(size_t i, PyObject* o) const {
  if (PyUnicode_Check(o)) fail(i, PyExc_TypeError, "expected a sequence of str, got a single str");
  if (!PySequence_Check(o)) fail(i, PyExc_TypeError, "expected a sequence of str, got " + type_name(o));
  Py_ssize_t n = PySequence_Size(o);
  if (n < 0) {
    PyErr_Clear();
    fail(i, PyExc_TypeError, "expected a sequence of str, got " + type_name(o));
  }
  // The length is the object's own word: nothing is reserved by it, and
  // each item is checked as it comes.
  std::vector<std::string> out;
  out.reserve(static_cast<size_t>(std::min<Py_ssize_t>(n, 1024)));
  for (Py_ssize_t k = 0; k < n; ++k) {
    Ref item(PySequence_GetItem(o, k));
    if (!item) {
      PyErr_Clear();
      fail(i, PyExc_TypeError, "sequence item could not be read");
    }
    out.push_back(text_of(i, item.get(), "expected a sequence of str, found an item that is not str"));
  }
  return out;
}

// The str items are held by a tuple or list that only the arguments see:
// a tuple as given, a copy of a list (the caller's list may change while
// the call runs, e.g. in a signal handler), or a list of the items of any
// other sequence.  Each item's UTF-8 is the one CPython caches in the str.
Args::TextViews Args::to_text_views(size_t i, PyObject* o) const {
  if (PyUnicode_Check(o)) fail(i, PyExc_TypeError, "expected a sequence of str, got a single str");
  if (!PySequence_Check(o)) fail(i, PyExc_TypeError, "expected a sequence of str, got " + type_name(o));
  Ref items;
  if (PyTuple_CheckExact(o)) {
    items = Ref(Py_NewRef(o));
  } else if (PyList_CheckExact(o)) {
    items = Ref(check(PyList_AsTuple(o)));
  } else {
    Py_ssize_t n = PySequence_Size(o);
    if (n < 0) {
      PyErr_Clear();
      fail(i, PyExc_TypeError, "expected a sequence of str, got " + type_name(o));
    }
    items = Ref(check(PyList_New(0)));
    for (Py_ssize_t k = 0; k < n; ++k) {
      Ref item(PySequence_GetItem(o, k));
      if (!item) {
        PyErr_Clear();
        fail(i, PyExc_TypeError, "sequence item could not be read");
      }
      // Each item is checked as it comes: the length is only the object's word.
      utf8_of(i, item.get(), "expected a sequence of str, found an item that is not str");
      if (PyList_Append(items.get(), item.get()) < 0) throw PythonErrorSet{};
    }
  }
  PyObject* seq = items.get();
  Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
  PyObject** objs = PySequence_Fast_ITEMS(seq);
  TextViews out{std::make_shared<Ref>(std::move(items)), {}};
  out.views.reserve(static_cast<size_t>(n));
  for (Py_ssize_t k = 0; k < n; ++k) {
    out.views.push_back(utf8_of(i, objs[k], "expected a sequence of str, found an item that is not str"));
  }
  return out;
}

std::vector<std::string> Args::to_text_set(size_t i, PyObject* o) const {
  if (!PyAnySet_Check(o)) fail(i, PyExc_TypeError, "expected a set or frozenset of str, got " + type_name(o));
  std::vector<std::string> out;
  Ref it(check(PyObject_GetIter(o)));
  while (PyObject* raw_item = PyIter_Next(it.get())) {
    Ref item(raw_item);
    out.push_back(text_of(i, item.get(), "expected a set of str, found an item that is not str"));
  }
  if (PyErr_Occurred()) throw PythonErrorSet{};
  return out;
}

// numpy's boolean scalars (numpy.bool_, numpy.bool) count as flags.
static bool is_numpy_bool(PyObject* o) {
  PyTypeObject* t = Py_TYPE(o);
  Ref module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(t), "__module__"));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  if (!PyUnicode_Check(module.get()) || PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) {
    return false;
  }
  Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(t), "__name__"));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_Check(name.get()) && (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
                                         PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
}

bool Args::to_flag(size_t i, PyObject* o) const {
  if (PyBool_Check(o)) return o == Py_True;
  if (is_numpy_bool(o)) {
    int truth = PyObject_IsTrue(o);
    if (truth < 0) throw PythonErrorSet{};
    return truth != 0;
  }
  fail(i, PyExc_TypeError, "expected bool, got " + type_name(o));
}

uint64_t Args::to_count(size_t i, PyObject* o) const {
  if (!PyLong_Check(o)) fail(i, PyExc_TypeError, "expected int, got " + type_name(o));
  unsigned long long v = PyLong_AsUnsignedLongLong(o);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    Ref zero(check(PyLong_FromLong(0)));
    bool negative = PyObject_RichCompareBool(o, zero.get(), Py_LT) == 1;
    fail(i, PyExc_OverflowError,
         negative ? "can't convert negative int to unsigned" : "int too big to convert");
  }
  return v;
}

std::vector<uint8_t> Args::to_bytes(size_t i, PyObject* o) const {
  if (PyBytes_Check(o)) {
    auto* p = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(o));
    return {p, p + PyBytes_GET_SIZE(o)};
  }
  if (PyByteArray_Check(o)) {
    auto* p = reinterpret_cast<const uint8_t*>(PyByteArray_AS_STRING(o));
    return {p, p + PyByteArray_GET_SIZE(o)};
  }
  if (PyUnicode_Check(o)) fail(i, PyExc_TypeError, "expected a sequence of ints 0..255, got str");
  if (!PySequence_Check(o)) fail(i, PyExc_TypeError, "expected a sequence of ints 0..255, got " + type_name(o));
  Py_ssize_t n = PySequence_Size(o);
  if (n < 0) throw PythonErrorSet{};
  std::vector<uint8_t> out;
  out.reserve(static_cast<size_t>(std::min<Py_ssize_t>(n, 1 << 16)));
  for (Py_ssize_t k = 0; k < n; ++k) {
    Ref item(check(PySequence_GetItem(o, k)));
    if (!PyLong_Check(item.get())) fail(i, PyExc_TypeError, "expected ints 0..255, found " + type_name(item.get()));
    long v = PyLong_AsLong(item.get());
    if (v == -1 && PyErr_Occurred()) PyErr_Clear();
    if (v < 0 || v > 255) fail(i, PyExc_OverflowError, "byte value out of range 0..255");
    out.push_back(static_cast<uint8_t>(v));
  }
  return out;
}

Args::JsonText Args::to_json_text(PyObject* o) const {
  // The module as sys.modules holds it once imported (a plain dict lookup,
  // much cheaper than the import machinery and its checks on a module
  // still being imported), else imported now.
  // (The two names are made once and kept for the life of the process.)
  static PyObject* const json_name = PyUnicode_InternFromString("json");
  static PyObject* const dumps_name = PyUnicode_InternFromString("dumps");
  if (!json_name || !dumps_name) throw PythonErrorSet{};
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  PyObject* found = PyDict_GetItemWithError(modules, json_name);  // borrowed
  Ref module;
  if (found && found != Py_None) {
    Py_INCREF(found);
    module = Ref(found);
  } else {
    if (PyErr_Occurred()) throw PythonErrorSet{};
    module = Ref(check(PyImport_Import(json_name)));
  }
  Ref dumps(check(PyObject_GetAttr(module.get(), dumps_name)));
  Ref text(check(PyObject_CallOneArg(dumps.get(), o)));
  if (!PyUnicode_Check(text.get())) {
    PyErr_SetString(PyExc_TypeError, "json.dumps did not return str");
    throw PythonErrorSet{};
  }
  Py_ssize_t len = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &len);
  if (!utf8) throw PythonErrorSet{};
  std::string_view view(utf8, static_cast<size_t>(len));
  return JsonText{std::move(text), view};
}

json::Value Args::json_value(size_t i) const {
  json::ParseError error;
  auto value = json::parse(json_text(i), &error);
  if (!value) throw Error(error.message());
  return std::move(*value);
}

// ---------------------------------------------------------------------------
// Results

PyObject* to_int(uint64_t v) { return check(PyLong_FromUnsignedLongLong(v)); }

// A hash of the size and the first and last eight bytes, for the short
// names the conversions meet (record keys, file names, section hashes),
// which differ early or late.
static size_t ends_hash(std::string_view s) {
  uint64_t head = 0, tail = 0;
  if (!s.empty()) std::memcpy(&head, s.data(), std::min<size_t>(s.size(), 8));
  if (s.size() > 8) std::memcpy(&tail, s.data() + s.size() - 8, 8);
  uint64_t h = (head * 0x9E3779B97F4A7C15ULL) ^ ((tail + s.size()) * 0xBF58476D1CE4E5B9ULL);
  return static_cast<size_t>(h ^ (h >> 29));
}

PyObject* ValueConverter::key(std::string_view k) {
  size_t h = ends_hash(k);
  if (keys_.empty()) keys_.resize(kKeySlots);
  for (size_t i = h & (kKeySlots - 1);; i = (i + 1) & (kKeySlots - 1)) {
    KeySlot& slot = keys_[i];
    if (!slot.str) {
      Ref s(to_str(k));
      if (key_count_ < kMaxKeys) {
        slot.key = std::string(k);
        slot.str = Ref(Py_NewRef(s.get()));
        ++key_count_;
      }
      return s.release();
    }
    if (slot.key == k) return Py_NewRef(slot.str.get());
  }
}

PyObject* ValueConverter::convert(const json::Value& v) {
  switch (v.kind()) {
    case json::Kind::Null: Py_RETURN_NONE;
    case json::Kind::Bool: return Py_NewRef(*v.as_bool() ? Py_True : Py_False);
    case json::Kind::UInt: {
      uint64_t u = *v.as_uint();
      // Beyond the signed range the value comes back as the nearest float.
      if (u > static_cast<uint64_t>(INT64_MAX)) return check(PyFloat_FromDouble(static_cast<double>(u)));
      return check(PyLong_FromUnsignedLongLong(u));
    }
    case json::Kind::Int: return check(PyLong_FromLongLong(*v.as_int()));
    case json::Kind::Float: return check(PyFloat_FromDouble(*v.as_float()));
    case json::Kind::String: return to_str(*v.as_string());
    case json::Kind::Array: {
      const json::Array& items = *v.as_array();
      Ref list(check(PyList_New(static_cast<Py_ssize_t>(items.size()))));
      for (size_t k = 0; k < items.size(); ++k) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), convert(items[k]));
      }
      return list.release();
    }
    case json::Kind::Object: {
      Ref dict(check(PyDict_New()));
      for (const auto& [k, value] : *v.as_object()) {
        Ref key_obj(key(k));
        Ref val(convert(value));
        if (PyDict_SetItem(dict.get(), key_obj.get(), val.get()) < 0) throw PythonErrorSet{};
      }
      return dict.release();
    }
  }
  throw Panic("unknown JSON kind");
}

PyObject* ValueConverter::jsonl_list(const std::string& path) {
  GcPause pause;
  Ref list(check(PyList_New(0)));
  vl::jsonl_for_each(path, [&](json::Value&& v) {
    Ref item(convert(v));
    if (PyList_Append(list.get(), item.get()) < 0) throw PythonErrorSet{};
  });
  return list.release();
}

PyObject* ValueConverter::list(const std::vector<json::Value>& items) {
  GcPause pause;
  Ref list(check(PyList_New(static_cast<Py_ssize_t>(items.size()))));
  for (size_t k = 0; k < items.size(); ++k) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), convert(items[k]));
  }
  return list.release();
}

PyObject* to_list(const std::vector<std::string>& items) {
  Ref list(check(PyList_New(static_cast<Py_ssize_t>(items.size()))));
  for (size_t k = 0; k < items.size(); ++k) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), to_str(items[k]));
  }
  return list.release();
}

PyObject* dict_of(std::initializer_list<std::pair<const char*, Owned>> items) {
  for (const auto& item : items) check(item.second.ref.get());
  Ref dict(check(PyDict_New()));
  for (const auto& item : items) {
    if (PyDict_SetItemString(dict.get(), item.first, item.second.ref.get()) < 0) throw PythonErrorSet{};
  }
  return dict.release();
}

// ---------------------------------------------------------------------------
// The functions: one body per row of module_table.def, named as the row.
// Each receives its arguments already converted (see Args).

static PyObject* init(const Args& a) {
  VlDir(a.text(0)).init();
  Py_RETURN_NONE;
}

static PyObject* author_add(const Args& a) {
  std::string name = a.text(0), email = a.text(1), root = a.text(2);
  return to_str(authors::add(root, name, email).id);
}

static PyObject* author_query(const Args& a) {
  std::string root = a.text(0);
  std::optional<std::string> name = a.text_or_none(1), email = a.text_or_none(2);
  std::vector<std::string> texts;
  for (const authors::Author& author : authors::query(root, name, email)) {
    texts.push_back(authors::to_json(author));
  }
  return to_list(texts);
}

static PyObject* register_section(const Args& a) {
  std::string path = a.text(0);
  std::vector<std::string> author_ids = a.text_list(1), contributors = a.text_list(2);
  std::string license = a.text(3), year = a.text(4), root = a.text(5);
  return to_str(sections::register_section(root, path, author_ids, contributors, license, year).section_hash);
}

static PyObject* track(const Args& a) {
  std::string file = a.text(1);
  std::vector<std::string> sources = a.text_list(2);
  std::string root = a.text(3);
  std::optional<uint64_t> token_count = a.count_or_none(4);
  std::optional<std::string> tokenizer = a.text_or_none(5);
  std::string_view data = a.json_text(0);
  return to_str(vl::track(root, data, file, sources, token_count, tokenizer));
}

static PyObject* index_document(const Args& a) {
  std::string root = a.text(0), line_hash = a.text(1), file = a.text(2);
  std::vector<std::string> sources = a.text_list(3);
  std::string source_type = a.text(4);
  documents::index_document(root, line_hash, file, sources, source_type);
  Py_RETURN_NONE;
}

// Document records as dicts {file, line_hash, sources}.  The records of one
// result repeat a few file names and section hashes: each distinct one
// becomes one str, shared by every record that has it (as the converter
// shares record keys).  `Records` offers size(), file(i), line_hash(i),
// source_count(i) and source(i, j) as views that live through the call.
template <typename Records>
static PyObject* document_dicts(const Records& records) {
  GcPause pause;
  ValueConverter conv;
  auto str_of = [&](std::string_view s) { return Ref(conv.key(s)); };
  Ref file_key(conv.key("file")), hash_key(conv.key("line_hash")), sources_key(conv.key("sources"));
  Ref list(check(PyList_New(static_cast<Py_ssize_t>(records.size()))));
  for (size_t k = 0; k < records.size(); ++k) {
    Ref dict(check(PyDict_New()));
    const size_t n = records.source_count(k);
    Ref sources(check(PyList_New(static_cast<Py_ssize_t>(n))));
    for (size_t j = 0; j < n; ++j) {
      PyList_SET_ITEM(sources.get(), static_cast<Py_ssize_t>(j), str_of(records.source(k, j)).release());
    }
    Ref file(str_of(records.file(k))), line_hash(to_str(records.line_hash(k)));
    if (PyDict_SetItem(dict.get(), file_key.get(), file.get()) < 0 ||
        PyDict_SetItem(dict.get(), hash_key.get(), line_hash.get()) < 0 ||
        PyDict_SetItem(dict.get(), sources_key.get(), sources.get()) < 0) {
      throw PythonErrorSet{};
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), dict.release());
  }
  return list.release();
}

static PyObject* document_list(const show::DocumentLists& parts) {
  struct View {
    std::vector<std::pair<const show::DocumentList*, size_t>> at;  // list, index in it
    size_t size() const { return at.size(); }
    std::string_view file(size_t i) const { return at[i].first->file(at[i].second); }
    std::string_view line_hash(size_t i) const { return at[i].first->line_hash(at[i].second); }
    size_t source_count(size_t i) const { return at[i].first->source_count(at[i].second); }
    std::string_view source(size_t i, size_t j) const { return at[i].first->source(at[i].second, j); }
  } view;
  for (const show::DocumentList& part : parts) {
    for (size_t i = 0; i < part.size(); ++i) view.at.emplace_back(&part, i);
  }
  return document_dicts(view);
}

static PyObject* document_list(const std::vector<documents::DocumentRecord>& records) {
  struct View {
    const std::vector<documents::DocumentRecord>& r;
    size_t size() const { return r.size(); }
    std::string_view file(size_t i) const { return r[i].file; }
    std::string_view line_hash(size_t i) const { return r[i].line_hash; }
    size_t source_count(size_t i) const { return r[i].sources.size(); }
    std::string_view source(size_t i, size_t j) const { return r[i].sources[j]; }
  };
  return document_dicts(View{records});
}

static PyObject* lookup_document(const Args& a) {
  std::string root = a.text(0), line_hash = a.text(1);
  return document_list(documents::lookup_document(root, line_hash));
}

static PyObject* read_all_documents(const Args& a) {
  return ValueConverter().list(documents::read_all_documents(a.text(0)));
}

static PyObject* token_index_write_pid(const Args& a) {
  std::string root = a.text(0), tokenizer = a.text(1);
  uint64_t token_count = a.count(2);
  std::vector<std::string> sources = a.text_list(3);
  token_index::write_pid(root, tokenizer, token_count, sources);
  Py_RETURN_NONE;
}

static PyObject* token_index_merge_pid_files(const Args& a) {
  std::string root = a.text(0), tokenizer = a.text(1);
  auto [entries, files] = token_index::merge_pid_files(root, tokenizer);
  Ref first(to_int(entries));
  Ref second(to_int(files));
  return check(PyTuple_Pack(2, first.get(), second.get()));
}

static PyObject* token_index_list_tokenizers(const Args& a) {
  return to_list(token_index::list_tokenizers(a.text(0)));
}

static PyObject* token_index_token_status(const Args& a) {
  std::string root = a.text(0), tokenizer = a.text(1);
  token_index::TokenStatus s = token_index::token_status(root, tokenizer);
  return dict_of({{"total_entries", to_int(s.total_entries)},
                  {"active_entries", to_int(s.active_entries)},
                  {"revoked_entries", to_int(s.revoked_entries)},
                  {"total_tokens", to_int(s.total_tokens)}});
}

static PyObject* token_index_revoke_by_sources(const Args& a) {
  std::string root = a.text(0), tokenizer = a.text(1);
  std::vector<std::string> targets = a.text_set(2);
  return to_int(token_index::revoke_by_sources(root, tokenizer, {targets.begin(), targets.end()}));
}

static PyObject* token_index_build_binary_index(const Args& a) {
  std::string root = a.text(0), tokenizer = a.text(1);
  auto [entries, sources] = token_index::build_binary_index(root, tokenizer);
  return to_str("entries=" + std::to_string(entries) + ", sources=" + std::to_string(sources));
}

// Token entries as dicts with sorted keys.
static PyObject* token_entry_list(const std::vector<token_index::TokenIndexEntry>& entries) {
  std::vector<json::Value> values;
  values.reserve(entries.size());
  for (const auto& e : entries) {
    json::Array sources;
    for (const std::string& s : e.sources) sources.push_back(json::Value::string(s));
    values.push_back(json::Value::object({{"revoked", json::Value::boolean(e.revoked)},
                                          {"sources", json::Value::array(std::move(sources))},
                                          {"token_count", json::Value::uint(e.token_count)},
                                          {"tokenizer", json::Value::string(e.tokenizer)}}));
  }
  return ValueConverter().list(values);
}

static PyObject* blame(const Args& a) {
  std::string root = a.text(0), file = a.text(1), line_content = a.text(2);
  return document_list(vl::blame(root, file, line_content));
}

static PyObject* blame_diff(const Args& a) {
  const std::vector<std::string_view>& old_lines = a.text_views(0);
  const std::vector<std::string_view>& new_lines = a.text_views(1);
  // A long diff answers Ctrl-C: the search asks every few milliseconds
  // whether a signal handler raised (KeyboardInterrupt by default).
  std::vector<Opcode> ops;
  try {
    ops = vl::blame_diff(old_lines, new_lines, [] { return PyErr_CheckSignals() < 0; });
  } catch (const Interrupted&) {
    throw PythonErrorSet{};
  }
  Ref list(check(PyList_New(static_cast<Py_ssize_t>(ops.size()))));
  for (size_t k = 0; k < ops.size(); ++k) {
    const Opcode& op = ops[k];
    PyObject* item = check(Py_BuildValue("(snnnn)", op_tag_name(op.tag), static_cast<Py_ssize_t>(op.i1),
                                         static_cast<Py_ssize_t>(op.i2), static_cast<Py_ssize_t>(op.j1),
                                         static_cast<Py_ssize_t>(op.j2)));
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), item);
  }
  return list.release();
}

static PyObject* show_by_author(const Args& a) {
  std::string root = a.text(0), author_name = a.text(1);
  return document_list(show::show_by_author(root, author_name));
}

static PyObject* show_by_author_token(const Args& a) {
  std::string root = a.text(0), author_name = a.text(1), tokenizer = a.text(2);
  show::AuthorTokens r = show::show_by_author_token(root, author_name, tokenizer);
  return dict_of({{"total_tokens", to_int(r.total_tokens)},
                  {"document_count", to_int(r.document_count)},
                  {"entries", token_entry_list(r.entries)}});
}

static PyObject* show_by_section(const Args& a) {
  std::string root = a.text(0), section_hash = a.text(1);
  return document_list(show::show_by_section(root, section_hash));
}

static PyObject* show_by_license(const Args& a) {
  std::string root = a.text(0), license = a.text(1);
  return document_list(show::show_by_license(root, license));
}

static PyObject* revoke_by_author(const Args& a) {
  std::string root = a.text(0), author_name = a.text(1);
  bool reverse = a.flag(2);
  return to_int(revoke::revoke_by_author(root, author_name, reverse));
}

static PyObject* revoke_section(const Args& a) {
  std::string root = a.text(0), section_hash = a.text(1);
  bool reverse = a.flag(2);
  return to_int(revoke::revoke_section(root, section_hash, reverse));
}

static PyObject* revoke_manifest(const Args& a) {
  std::string root = a.text(0), line_hash = a.text(1), file = a.text(2);
  bool reverse = a.flag(3);
  return to_int(revoke::revoke_manifest(root, line_hash, file, reverse));
}

static PyObject* purge_result(const purge::PurgeResult& r) {
  return dict_of({{"purged", to_int(r.purged)}, {"kept", to_int(r.kept)}, {"archived", to_int(r.archived)}});
}

static PyObject* purge_revoked(const Args& a) {
  std::string root = a.text(0), data_file = a.text(1);
  bool dry_run = a.flag(2);
  return purge_result(purge::purge_revoked(root, data_file, dry_run));
}

static PyObject* purge_by_author_indexd(const Args& a) {
  std::string root = a.text(0), author_name = a.text(1), data_file = a.text(2);
  bool dry_run = a.flag(3);
  return purge_result(purge::purge_by_author_indexed(root, author_name, data_file, dry_run));
}

static PyObject* purge_reverse(const Args& a) {
  std::string root = a.text(0), data_file = a.text(1);
  purge::ReverseResult r = purge::purge_reverse(root, data_file);
  if (!r.archive) {
    PyObject* out = PySys_GetObject("stdout");
    if (out && out != Py_None && PyFile_WriteString("No purge archive found\n", out) < 0) throw PythonErrorSet{};
  }
  return to_int(r.restored);
}

static PyObject* revoke_by_author_token(const Args& a) {
  std::string root = a.text(0), author_name = a.text(1), tokenizer = a.text(2);
  bool reverse = a.flag(3);
  return to_int(revoke::revoke_by_author_token(root, author_name, tokenizer, reverse));
}

static PyObject* clean(const Args& a) {
  std::string root = a.text(0);
  bool split = a.flag(1);
  clean::CleanCounts c = clean::clean(root, split);
  return dict_of({{"document_merged", to_int(c.document_merged)},
                  {"pid_files_deleted", to_int(c.pid_files_deleted)},
                  {"archived_records", to_int(c.archived_records)},
                  {"log_rotated", to_int(c.log_rotated)},
                  {"token_index_merged", to_int(c.token_index_merged)},
                  {"token_index_pid_deleted", to_int(c.token_index_pid_deleted)}});
}

static PyObject* merge_absorb(const Args& a) {
  std::string source = a.text(0), target = a.text(1);
  merge::MergeCounts c = merge::absorb(source, target);
  return dict_of({{"authors_added", to_int(c.authors_added)},
                  {"sections_added", to_int(c.sections_added)},
                  {"document_added", to_int(c.document_added)},
                  {"token_index_added", to_int(c.token_index_added)},
                  {"skipped", to_int(c.skipped)}});
}

static PyObject* build_index(const Args& a) {
  index::BuildCounts c = index::build_index(a.text(0));
  return dict_of({{"authors", to_int(c.authors)},
                  {"sections", to_int(c.sections)},
                  {"total", to_int(c.total)},
                  {"token_index_entries", to_int(c.token_index_entries)}});
}

static PyObject* generate_forget_set(const Args& a) {
  std::string root = a.text(0), tokenizer = a.text(1);
  std::string bits = token_index::generate_forget_set(root, tokenizer);
  return check(PyBytes_FromStringAndSize(bits.data(), static_cast<Py_ssize_t>(bits.size())));
}

static PyObject* write_forget_set(const Args& a) {
  std::string path = a.text(0);
  std::vector<uint8_t> bits = a.byte_sequence(1);
  token_index::write_forget_set(path, {reinterpret_cast<const char*>(bits.data()), bits.size()});
  Py_RETURN_NONE;
}

static PyObject* jsonl_read(const Args& a) { return ValueConverter().jsonl_list(a.text(0)); }

static PyObject* jsonl_append(const Args& a) {
  std::string path = a.text(0);
  json::Value record = a.json_value(1);
  vl::jsonl_append(path, record);
  Py_RETURN_NONE;
}

static PyObject* shard_path_str(const Args& a) {
  std::string root = a.text(0), layer = a.text(1), hash = a.text(2);
  return to_str(lossy_utf8(vl::shard_path(root, layer, hash)));
}

static PyObject* shard_read(const Args& a) {
  std::string root = a.text(0), layer = a.text(1), hash = a.text(2);
  return ValueConverter().jsonl_list(vl::shard_path(root, layer, hash));
}

static PyObject* shard_iterate_all(const Args& a) {
  std::string root = a.text(0), layer = a.text(1);
  return ValueConverter().list(vl::shard_iterate_all(root, layer));
}

static PyObject* oplog_append(const Args& a) {
  std::string root = a.text(0), operation = a.text(1), detail = a.text(2);
  oplog::append(root, operation, detail);
  Py_RETURN_NONE;
}

static PyObject* compute_hash(const Args& a) {
  Digest digest = content_digest_of_json_text(a.json_text(0));
  PyObject* hex = check(PyUnicode_New(64, 127));
  digest.hex_into(static_cast<char*>(PyUnicode_DATA(hex)));
  return hex;
}

// ---------------------------------------------------------------------------
// The table: module_table.def gives the rows, in table order, and each row's
// body is the function of the same name above.

using Body = PyObject* (*)(const Args&);

#define VL_FUNCTION(fn, ...) &fn,
constexpr Body kBodies[] = {
#include "module_table.def"
};
#undef VL_FUNCTION

constexpr size_t kFunctionCount = std::size(kBodies);

template <size_t I>
static PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Args a(table::rows()[I], args, nargs, kwnames);
    return kBodies[I](a);
  });
}

template <size_t... I>
static std::array<PyCFunction, sizeof...(I)> make_entries(std::index_sequence<I...>) {
  return {reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<I>))...};
}

// Filled from the rows when the module is first created; the doc strings
// (text signature, separator, doc text) live as long as the process.
static PyMethodDef g_methods[kFunctionCount + 1];
static std::string g_docs[kFunctionCount];

static bool fill_methods() {
  if (table::row_count() != kFunctionCount) {
    PyErr_SetString(PyExc_ImportError, "_vl_native: the function table and its bodies differ in length");
    return false;
  }
  static const auto kEntries = make_entries(std::make_index_sequence<kFunctionCount>());
  for (size_t i = 0; i < kFunctionCount; ++i) {
    const table::Row& row = table::rows()[i];
    g_docs[i] = table::doc_string(row);
    g_methods[i] = {row.name, kEntries[i], METH_FASTCALL | METH_KEYWORDS, g_docs[i].c_str()};
  }
  g_methods[kFunctionCount] = {nullptr, nullptr, 0, nullptr};
  return true;
}

// ---------------------------------------------------------------------------
// Module

static PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_vl_native",
    "Native core of vl: storage, hashing, indexing, queries and revocation.",
    0,  // no per-module state; every call works on files only
    g_methods,
    nullptr, nullptr, nullptr, nullptr,
};

// The module is created once per process and handed out again on re-import;
// it belongs to the interpreter that first imported it.
static PyObject* g_module = nullptr;
static int64_t g_interpreter = -1;

static PyObject* create_module() {
  int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (g_module) {
    if (interpreter != g_interpreter) {
      PyErr_SetString(PyExc_ImportError,
                      "_vl_native can be imported only once per process: "
                      "sub-interpreters are not supported");
      return nullptr;
    }
    return Py_NewRef(g_module);
  }
  if (!fill_methods()) return nullptr;
  Ref module(PyModule_Create(&kModule));
  if (!module) return nullptr;
  Ref panic(PyErr_NewExceptionWithDoc(
      "vl._vl_native.PanicException",
      "An internal invariant of the native core was violated.  Derived from "
      "BaseException so that handlers for Exception do not swallow it.",
      PyExc_BaseException, nullptr));
  if (!panic) return nullptr;
  if (PyModule_AddObjectRef(module.get(), "PanicException", panic.get()) < 0) return nullptr;
  panic_type() = panic.release();
  g_interpreter = interpreter;
  g_module = Py_NewRef(module.get());
  return module.release();
}

}  // namespace vl::py

PyMODINIT_FUNC PyInit__vl_native(void) { return vl::py::create_module(); }
