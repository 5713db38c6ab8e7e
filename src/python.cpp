// The _vl_native extension module: the function table and the boundary
// between Python objects and the native core.

#include "python.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>

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

PyObject* check(PyObject* o) {
  if (!o) throw PythonErrorSet{};
  return o;
}

static std::string plural(size_t n, const char* word) {
  return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

Args::Args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
    : sig_(sig) {
  auto n = static_cast<size_t>(nargs);
  if (n > sig.count) {
    PyErr_Format(PyExc_TypeError, "%s() takes %s %s (%zd given)", sig.name,
                 sig.count == sig.required ? "exactly" : "at most",
                 plural(sig.count, "argument").c_str(), nargs);
    throw PythonErrorSet{};
  }
  for (size_t i = 0; i < n; ++i) slots_[i] = args[i];
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    size_t i = 0;
    for (; i < sig.count; ++i) {
      if (PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0) break;
    }
    if (i == sig.count) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, key);
      throw PythonErrorSet{};
    }
    if (slots_[i]) {
      PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zu)",
                   sig.name, sig.params[i], i + 1);
      throw PythonErrorSet{};
    }
    slots_[i] = args[nargs + k];
  }
  for (size_t i = 0; i < sig.required; ++i) {
    if (!slots_[i]) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", sig.name,
                   sig.params[i], i + 1);
      throw PythonErrorSet{};
    }
  }
}

void Args::fail(size_t i, PyObject* type, const std::string& reason) const {
  PyErr_Format(type, "argument '%s': %s", sig_.params[i], reason.c_str());
  throw PythonErrorSet{};
}

static std::string type_name(PyObject* o) { return Py_TYPE(o)->tp_name; }

std::string Args::text_of(size_t i, PyObject* o, const char* what) const {
  if (!PyUnicode_Check(o)) fail(i, PyExc_TypeError, std::string(what) + ", got " + type_name(o));
  Py_ssize_t len = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(o, &len);
  if (!utf8) {
    PyErr_Clear();
    fail(i, PyExc_TypeError, "str holds characters that are not valid Unicode (lone surrogates)");
  }
  return std::string(utf8, static_cast<size_t>(len));
}

std::string Args::text(size_t i) const { return text_of(i, slots_[i], "expected str"); }

std::optional<std::string> Args::text_or_none(size_t i) const {
  if (!slots_[i] || slots_[i] == Py_None) return std::nullopt;
  return text_of(i, slots_[i], "expected str or None");
}

std::vector<std::string> Args::text_list(size_t i) const {
  PyObject* o = slots_[i];
  if (PyUnicode_Check(o)) fail(i, PyExc_TypeError, "expected a sequence of str, got a single str");
  if (!PySequence_Check(o)) fail(i, PyExc_TypeError, "expected a sequence of str, got " + type_name(o));
  Py_ssize_t n = PySequence_Size(o);
  if (n < 0) {
    PyErr_Clear();
    fail(i, PyExc_TypeError, "expected a sequence of str, got " + type_name(o));
  }
  std::vector<std::string> out;
  out.reserve(static_cast<size_t>(n));
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

std::vector<std::string> Args::text_set(size_t i) const {
  PyObject* o = slots_[i];
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

bool Args::flag(size_t i, bool default_value) const {
  PyObject* o = slots_[i];
  if (!o) return default_value;
  if (PyBool_Check(o)) return o == Py_True;
  if (is_numpy_bool(o)) {
    int truth = PyObject_IsTrue(o);
    if (truth < 0) throw PythonErrorSet{};
    return truth != 0;
  }
  fail(i, PyExc_TypeError, "expected bool, got " + type_name(o));
}

uint64_t Args::count(size_t i) const {
  PyObject* o = slots_[i];
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

std::optional<uint64_t> Args::count_or_none(size_t i) const {
  if (!slots_[i] || slots_[i] == Py_None) return std::nullopt;
  return count(i);
}

std::vector<uint8_t> Args::byte_sequence(size_t i) const {
  PyObject* o = slots_[i];
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
  out.reserve(static_cast<size_t>(n));
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

std::string_view Args::json_text(size_t i, Ref* keep) const {
  Ref module(check(PyImport_ImportModule("json")));
  Ref dumps(check(PyObject_GetAttrString(module.get(), "dumps")));
  Ref text(check(PyObject_CallOneArg(dumps.get(), slots_[i])));
  if (!PyUnicode_Check(text.get())) {
    PyErr_SetString(PyExc_TypeError, "json.dumps did not return str");
    throw PythonErrorSet{};
  }
  Py_ssize_t len = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &len);
  if (!utf8) throw PythonErrorSet{};
  *keep = std::move(text);
  return std::string_view(utf8, static_cast<size_t>(len));
}

json::Value Args::json_value(size_t i) const {
  Ref keep;
  std::string_view text = json_text(i, &keep);
  json::ParseError error;
  auto value = json::parse(text, &error);
  if (!value) throw Error(error.message());
  return std::move(*value);
}

// ---------------------------------------------------------------------------
// Results

PyObject* to_str(const std::string& s) {
  return check(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
}

PyObject* to_int(uint64_t v) { return check(PyLong_FromUnsignedLongLong(v)); }

PyObject* ValueConverter::key(const std::string& k) {
  auto it = keys_.find(k);
  if (it != keys_.end()) return Py_NewRef(it->second.get());
  PyObject* s = to_str(k);
  if (keys_.size() < 4096) keys_.emplace(k, Ref(Py_NewRef(s)));
  return s;
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

PyObject* dict_of(std::initializer_list<std::pair<const char*, PyObject*>> items) {
  // Take ownership of every value first so none leaks if a step fails.
  std::vector<Ref> owned;
  for (const auto& item : items) owned.emplace_back(item.second);
  for (const Ref& r : owned) check(r.get());
  Ref dict(check(PyDict_New()));
  size_t k = 0;
  for (const auto& item : items) {
    if (PyDict_SetItemString(dict.get(), item.first, owned[k++].get()) < 0) throw PythonErrorSet{};
  }
  return dict.release();
}

// ---------------------------------------------------------------------------
// Error mapping

static PyObject* g_panic_type = nullptr;

static void raise_panic(const char* message) {
  if (!g_panic_type) {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
  }
  PyErr_SetString(g_panic_type, message);
}

// Runs one call of a module function: errors of the core become
// RuntimeError with the outermost message; anything unexpected becomes
// PanicException.  Nothing escapes to the interpreter.
template <typename Fn>
static PyObject* guarded(Fn&& fn) noexcept {
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

template <const Signature& Sig, PyObject* (*Body)(const Args&)>
static PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Args a(Sig, args, nargs, kwnames);
    return Body(a);
  });
}

// ---------------------------------------------------------------------------
// The functions

constexpr Signature kInit{"init", {"vl_dir"}, 1, 1};
static PyObject* init(const Args& a) {
  VlDir(a.text(0)).init();
  Py_RETURN_NONE;
}

constexpr Signature kAuthorAdd{"author_add", {"name", "email", "vl_dir"}, 3, 3};
static PyObject* author_add(const Args& a) {
  std::string name = a.text(0), email = a.text(1), root = a.text(2);
  return to_str(authors::add(root, name, email).id);
}

constexpr Signature kAuthorQuery{"author_query", {"vl_dir", "name", "email"}, 3, 3};
static PyObject* author_query(const Args& a) {
  std::string root = a.text(0);
  std::optional<std::string> name = a.text_or_none(1), email = a.text_or_none(2);
  std::vector<std::string> texts;
  for (const authors::Author& author : authors::query(root, name, email)) {
    texts.push_back(authors::to_json(author));
  }
  return to_list(texts);
}

constexpr Signature kRegisterSection{
    "register_section", {"path", "authors", "contributors", "license", "year", "vl_dir"}, 6, 6};
static PyObject* register_section(const Args& a) {
  std::string path = a.text(0);
  std::vector<std::string> author_ids = a.text_list(1), contributors = a.text_list(2);
  std::string license = a.text(3), year = a.text(4), root = a.text(5);
  return to_str(sections::register_section(root, path, author_ids, contributors, license, year).section_hash);
}

constexpr Signature kTrack{
    "track", {"data", "file", "sources", "vl_dir", "token_count", "tokenizer"}, 6, 4};
static PyObject* track(const Args& a) {
  // data is converted last, after every other argument has been accepted.
  std::string file = a.text(1);
  std::vector<std::string> sources = a.text_list(2);
  std::string root = a.text(3);
  std::optional<uint64_t> token_count = a.count_or_none(4);
  std::optional<std::string> tokenizer = a.text_or_none(5);
  Ref keep;
  std::string_view data = a.json_text(0, &keep);
  return to_str(vl::track(root, data, file, sources, token_count, tokenizer));
}

constexpr Signature kIndexDocument{
    "index_document", {"vl_dir", "line_hash", "file", "sources", "source_type"}, 5, 4};
static PyObject* index_document(const Args& a) {
  std::string root = a.text(0), line_hash = a.text(1), file = a.text(2);
  std::vector<std::string> sources = a.text_list(3);
  std::string source_type = a.present(4) ? a.text(4) : "track";
  documents::index_document(root, line_hash, file, sources, source_type);
  Py_RETURN_NONE;
}

// Document records as dicts with the keys file, line_hash, sources.
static PyObject* document_list(const std::vector<documents::DocumentRecord>& records) {
  GcPause pause;
  ValueConverter conv;
  Ref list(check(PyList_New(static_cast<Py_ssize_t>(records.size()))));
  for (size_t k = 0; k < records.size(); ++k) {
    const documents::DocumentRecord& d = records[k];
    Ref dict(check(PyDict_New()));
    Ref file(to_str(d.file)), line_hash(to_str(d.line_hash)), sources(to_list(d.sources));
    Ref file_key(conv.key("file")), hash_key(conv.key("line_hash")), sources_key(conv.key("sources"));
    if (PyDict_SetItem(dict.get(), file_key.get(), file.get()) < 0 ||
        PyDict_SetItem(dict.get(), hash_key.get(), line_hash.get()) < 0 ||
        PyDict_SetItem(dict.get(), sources_key.get(), sources.get()) < 0) {
      throw PythonErrorSet{};
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), dict.release());
  }
  return list.release();
}

constexpr Signature kLookupDocument{"lookup_document", {"vl_dir", "line_hash"}, 2, 2};
static PyObject* lookup_document(const Args& a) {
  std::string root = a.text(0), line_hash = a.text(1);
  return document_list(documents::lookup_document(root, line_hash));
}

constexpr Signature kReadAllDocuments{"read_all_documents", {"vl_dir"}, 1, 1};
static PyObject* read_all_documents(const Args& a) {
  return ValueConverter().list(documents::read_all_documents(a.text(0)));
}

constexpr Signature kTokenIndexWritePid{
    "token_index_write_pid", {"vl_dir", "tokenizer", "token_count", "sources"}, 4, 4};
static PyObject* token_index_write_pid(const Args& a) {
  std::string root = a.text(0), tokenizer = a.text(1);
  uint64_t token_count = a.count(2);
  std::vector<std::string> sources = a.text_list(3);
  token_index::write_pid(root, tokenizer, token_count, sources);
  Py_RETURN_NONE;
}

constexpr Signature kTokenIndexMergePidFiles{"token_index_merge_pid_files", {"vl_dir", "tokenizer"}, 2, 2};
static PyObject* token_index_merge_pid_files(const Args& a) {
  std::string root = a.text(0), tokenizer = a.text(1);
  auto [entries, files] = token_index::merge_pid_files(root, tokenizer);
  Ref first(to_int(entries));
  Ref second(to_int(files));
  return check(PyTuple_Pack(2, first.get(), second.get()));
}

constexpr Signature kTokenIndexListTokenizers{"token_index_list_tokenizers", {"vl_dir"}, 1, 1};
static PyObject* token_index_list_tokenizers(const Args& a) {
  return to_list(token_index::list_tokenizers(a.text(0)));
}

constexpr Signature kTokenIndexTokenStatus{"token_index_token_status", {"vl_dir", "tokenizer"}, 2, 2};
static PyObject* token_index_token_status(const Args& a) {
  std::string root = a.text(0), tokenizer = a.text(1);
  token_index::TokenStatus s = token_index::token_status(root, tokenizer);
  return dict_of({{"total_entries", to_int(s.total_entries)},
                  {"active_entries", to_int(s.active_entries)},
                  {"revoked_entries", to_int(s.revoked_entries)},
                  {"total_tokens", to_int(s.total_tokens)}});
}

constexpr Signature kTokenIndexRevokeBySources{
    "token_index_revoke_by_sources", {"vl_dir", "tokenizer", "target_sources"}, 3, 3};
static PyObject* token_index_revoke_by_sources(const Args& a) {
  std::string root = a.text(0), tokenizer = a.text(1);
  std::vector<std::string> targets = a.text_set(2);
  return to_int(token_index::revoke_by_sources(root, tokenizer, {targets.begin(), targets.end()}));
}

constexpr Signature kTokenIndexBuildBinaryIndex{"token_index_build_binary_index", {"vl_dir", "tokenizer"}, 2, 2};
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

constexpr Signature kBlame{"blame", {"vl_dir", "file", "line_content"}, 3, 3};
static PyObject* blame(const Args& a) {
  std::string root = a.text(0), file = a.text(1), line_content = a.text(2);
  return document_list(vl::blame(root, file, line_content));
}

constexpr Signature kBlameDiff{"blame_diff", {"old_lines", "new_lines"}, 2, 2};
static PyObject* blame_diff(const Args& a) {
  std::vector<std::string> old_lines = a.text_list(0), new_lines = a.text_list(1);
  std::vector<Opcode> ops = vl::blame_diff(old_lines, new_lines);
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

constexpr Signature kShowByAuthor{"show_by_author", {"vl_dir", "author_name"}, 2, 2};
static PyObject* show_by_author(const Args& a) {
  std::string root = a.text(0), author_name = a.text(1);
  return document_list(show::show_by_author(root, author_name));
}

constexpr Signature kShowByAuthorToken{"show_by_author_token", {"vl_dir", "author_name", "tokenizer"}, 3, 3};
static PyObject* show_by_author_token(const Args& a) {
  std::string root = a.text(0), author_name = a.text(1), tokenizer = a.text(2);
  show::AuthorTokens r = show::show_by_author_token(root, author_name, tokenizer);
  return dict_of({{"total_tokens", to_int(r.total_tokens)},
                  {"document_count", to_int(r.document_count)},
                  {"entries", token_entry_list(r.entries)}});
}

constexpr Signature kShowBySection{"show_by_section", {"vl_dir", "section_hash"}, 2, 2};
static PyObject* show_by_section(const Args& a) {
  std::string root = a.text(0), section_hash = a.text(1);
  return document_list(show::show_by_section(root, section_hash));
}

constexpr Signature kShowByLicense{"show_by_license", {"vl_dir", "license"}, 2, 2};
static PyObject* show_by_license(const Args& a) {
  std::string root = a.text(0), license = a.text(1);
  return document_list(show::show_by_license(root, license));
}

constexpr Signature kRevokeByAuthor{"revoke_by_author", {"vl_dir", "author_name", "reverse"}, 3, 2};
static PyObject* revoke_by_author(const Args& a) {
  std::string root = a.text(0), author_name = a.text(1);
  bool reverse = a.flag(2, false);
  return to_int(revoke::revoke_by_author(root, author_name, reverse));
}

constexpr Signature kRevokeSection{"revoke_section", {"vl_dir", "section_hash", "reverse"}, 3, 2};
static PyObject* revoke_section(const Args& a) {
  std::string root = a.text(0), section_hash = a.text(1);
  bool reverse = a.flag(2, false);
  return to_int(revoke::revoke_section(root, section_hash, reverse));
}

constexpr Signature kRevokeManifest{"revoke_manifest", {"vl_dir", "line_hash", "file", "reverse"}, 4, 3};
static PyObject* revoke_manifest(const Args& a) {
  std::string root = a.text(0), line_hash = a.text(1), file = a.text(2);
  bool reverse = a.flag(3, false);
  return to_int(revoke::revoke_manifest(root, line_hash, file, reverse));
}

static PyObject* purge_result(const purge::PurgeResult& r) {
  return dict_of({{"purged", to_int(r.purged)}, {"kept", to_int(r.kept)}, {"archived", to_int(r.archived)}});
}

constexpr Signature kPurgeRevoked{"purge_revoked", {"vl_dir", "data_file", "dry_run"}, 3, 3};
static PyObject* purge_revoked(const Args& a) {
  std::string root = a.text(0), data_file = a.text(1);
  bool dry_run = a.flag(2, false);
  return purge_result(purge::purge_revoked(root, data_file, dry_run));
}

constexpr Signature kPurgeByAuthorIndexd{
    "purge_by_author_indexd", {"vl_dir", "author_name", "data_file", "dry_run"}, 4, 4};
static PyObject* purge_by_author_indexd(const Args& a) {
  std::string root = a.text(0), author_name = a.text(1), data_file = a.text(2);
  bool dry_run = a.flag(3, false);
  return purge_result(purge::purge_by_author_indexed(root, author_name, data_file, dry_run));
}

constexpr Signature kPurgeReverse{"purge_reverse", {"vl_dir", "data_file"}, 2, 2};
static PyObject* purge_reverse(const Args& a) {
  std::string root = a.text(0), data_file = a.text(1);
  purge::ReverseResult r = purge::purge_reverse(root, data_file);
  if (!r.archive) {
    PyObject* out = PySys_GetObject("stdout");
    if (out && out != Py_None && PyFile_WriteString("No purge archive found\n", out) < 0) throw PythonErrorSet{};
  }
  return to_int(r.restored);
}

constexpr Signature kRevokeByAuthorToken{
    "revoke_by_author_token", {"vl_dir", "author_name", "tokenizer", "reverse"}, 4, 3};
static PyObject* revoke_by_author_token(const Args& a) {
  std::string root = a.text(0), author_name = a.text(1), tokenizer = a.text(2);
  bool reverse = a.flag(3, false);
  return to_int(revoke::revoke_by_author_token(root, author_name, tokenizer, reverse));
}

constexpr Signature kClean{"clean", {"vl_dir", "split"}, 2, 2};
static PyObject* clean(const Args& a) {
  std::string root = a.text(0);
  bool split = a.flag(1, false);
  clean::CleanCounts c = clean::clean(root, split);
  return dict_of({{"document_merged", to_int(c.document_merged)},
                  {"pid_files_deleted", to_int(c.pid_files_deleted)},
                  {"archived_records", to_int(c.archived_records)},
                  {"log_rotated", to_int(c.log_rotated)},
                  {"token_index_merged", to_int(c.token_index_merged)},
                  {"token_index_pid_deleted", to_int(c.token_index_pid_deleted)}});
}

constexpr Signature kMergeAbsorb{"merge_absorb", {"source", "target"}, 2, 2};
static PyObject* merge_absorb(const Args& a) {
  std::string source = a.text(0), target = a.text(1);
  merge::MergeCounts c = merge::absorb(source, target);
  return dict_of({{"authors_added", to_int(c.authors_added)},
                  {"sections_added", to_int(c.sections_added)},
                  {"document_added", to_int(c.document_added)},
                  {"token_index_added", to_int(c.token_index_added)},
                  {"skipped", to_int(c.skipped)}});
}

constexpr Signature kBuildIndex{"build_index", {"vl_dir"}, 1, 1};
static PyObject* build_index(const Args& a) {
  index::BuildCounts c = index::build_index(a.text(0));
  return dict_of({{"authors", to_int(c.authors)},
                  {"sections", to_int(c.sections)},
                  {"total", to_int(c.total)},
                  {"token_index_entries", to_int(c.token_index_entries)}});
}

constexpr Signature kGenerateForgetSet{"generate_forget_set", {"vl_dir", "tokenizer"}, 2, 2};
static PyObject* generate_forget_set(const Args& a) {
  std::string root = a.text(0), tokenizer = a.text(1);
  std::string bits = token_index::generate_forget_set(root, tokenizer);
  return check(PyBytes_FromStringAndSize(bits.data(), static_cast<Py_ssize_t>(bits.size())));
}

constexpr Signature kWriteForgetSet{"write_forget_set", {"path", "bitmask"}, 2, 2};
static PyObject* write_forget_set(const Args& a) {
  std::string path = a.text(0);
  std::vector<uint8_t> bits = a.byte_sequence(1);
  token_index::write_forget_set(path, {reinterpret_cast<const char*>(bits.data()), bits.size()});
  Py_RETURN_NONE;
}

constexpr Signature kJsonlRead{"jsonl_read", {"path"}, 1, 1};
static PyObject* jsonl_read(const Args& a) { return ValueConverter().list(vl::jsonl_read(a.text(0))); }

constexpr Signature kJsonlAppend{"jsonl_append", {"path", "record"}, 2, 2};
static PyObject* jsonl_append(const Args& a) {
  std::string path = a.text(0);
  json::Value record = a.json_value(1);
  vl::jsonl_append(path, record);
  Py_RETURN_NONE;
}

constexpr Signature kShardPathStr{"shard_path_str", {"vl_dir", "layer", "hash_hex"}, 3, 3};
static PyObject* shard_path_str(const Args& a) {
  std::string root = a.text(0), layer = a.text(1), hash = a.text(2);
  return to_str(lossy_utf8(vl::shard_path(root, layer, hash)));
}

constexpr Signature kShardRead{"shard_read", {"vl_dir", "layer", "hash_hex"}, 3, 3};
static PyObject* shard_read(const Args& a) {
  std::string root = a.text(0), layer = a.text(1), hash = a.text(2);
  return ValueConverter().list(vl::jsonl_read(vl::shard_path(root, layer, hash)));
}

constexpr Signature kShardIterateAll{"shard_iterate_all", {"vl_dir", "layer"}, 2, 2};
static PyObject* shard_iterate_all(const Args& a) {
  std::string root = a.text(0), layer = a.text(1);
  return ValueConverter().list(vl::shard_iterate_all(root, layer));
}

constexpr Signature kOplogAppend{"oplog_append", {"vl_dir", "operation", "detail"}, 3, 3};
static PyObject* oplog_append(const Args& a) {
  std::string root = a.text(0), operation = a.text(1), detail = a.text(2);
  oplog::append(root, operation, detail);
  Py_RETURN_NONE;
}

constexpr Signature kComputeHash{"compute_hash", {"data"}, 1, 1};
static PyObject* compute_hash(const Args& a) {
  Ref keep;
  return to_str(content_hash_of_json_text(a.json_text(0, &keep)));
}

#define VL_FN(fn, sig, doc)                                                      \
  {                                                                              \
    #fn, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<sig, fn>)), \
        METH_FASTCALL | METH_KEYWORDS, doc                                       \
  }

static PyMethodDef kMethods[] = {
    VL_FN(init, kInit, "init(vl_dir)\n--\n\n"),
    VL_FN(author_add, kAuthorAdd, "author_add(name, email, vl_dir)\n--\n\n"),
    VL_FN(author_query, kAuthorQuery, "author_query(vl_dir, name, email)\n--\n\n"),
    VL_FN(register_section, kRegisterSection,
          "register_section(path, authors, contributors, license, year, vl_dir)\n--\n\n"),
    VL_FN(track, kTrack, "track(data, file, sources, vl_dir, token_count=None, tokenizer=None)\n--\n\n"),
    VL_FN(index_document, kIndexDocument,
          "index_document(vl_dir, line_hash, file, sources, source_type=\"track\")\n--\n\n"),
    VL_FN(lookup_document, kLookupDocument, "lookup_document(vl_dir, line_hash)\n--\n\n"),
    VL_FN(read_all_documents, kReadAllDocuments, "read_all_documents(vl_dir)\n--\n\n"),
    VL_FN(token_index_write_pid, kTokenIndexWritePid,
          "token_index_write_pid(vl_dir, tokenizer, token_count, sources)\n--\n\n"),
    VL_FN(token_index_merge_pid_files, kTokenIndexMergePidFiles,
          "token_index_merge_pid_files(vl_dir, tokenizer)\n--\n\n"),
    VL_FN(token_index_list_tokenizers, kTokenIndexListTokenizers,
          "token_index_list_tokenizers(vl_dir)\n--\n\n"),
    VL_FN(token_index_token_status, kTokenIndexTokenStatus,
          "token_index_token_status(vl_dir, tokenizer)\n--\n\n"),
    VL_FN(token_index_revoke_by_sources, kTokenIndexRevokeBySources,
          "token_index_revoke_by_sources(vl_dir, tokenizer, target_sources)\n--\n\n"),
    VL_FN(token_index_build_binary_index, kTokenIndexBuildBinaryIndex,
          "token_index_build_binary_index(vl_dir, tokenizer)\n--\n\n"),
    VL_FN(blame, kBlame, "blame(vl_dir, file, line_content)\n--\n\n"),
    VL_FN(blame_diff, kBlameDiff,
          "blame_diff(old_lines, new_lines)\n--\n\n"
          "Compute line-level diff opcodes for blame attribution.\n\n"
          "Returns (tag, i1, i2, j1, j2) tuples compatible with\n"
          "difflib.SequenceMatcher.get_opcodes()."),
    VL_FN(show_by_author, kShowByAuthor, "show_by_author(vl_dir, author_name)\n--\n\n"),
    VL_FN(show_by_author_token, kShowByAuthorToken,
          "show_by_author_token(vl_dir, author_name, tokenizer)\n--\n\n"),
    VL_FN(show_by_section, kShowBySection, "show_by_section(vl_dir, section_hash)\n--\n\n"),
    VL_FN(show_by_license, kShowByLicense, "show_by_license(vl_dir, license)\n--\n\n"),
    VL_FN(revoke_by_author, kRevokeByAuthor, "revoke_by_author(vl_dir, author_name, reverse=False)\n--\n\n"),
    VL_FN(revoke_section, kRevokeSection, "revoke_section(vl_dir, section_hash, reverse=False)\n--\n\n"),
    VL_FN(revoke_by_author_token, kRevokeByAuthorToken,
          "revoke_by_author_token(vl_dir, author_name, tokenizer, reverse=False)\n--\n\n"),
    VL_FN(revoke_manifest, kRevokeManifest, "revoke_manifest(vl_dir, line_hash, file, reverse=False)\n--\n\n"),
    VL_FN(purge_revoked, kPurgeRevoked, "purge_revoked(vl_dir, data_file, dry_run)\n--\n\n"),
    VL_FN(purge_by_author_indexd, kPurgeByAuthorIndexd,
          "purge_by_author_indexd(vl_dir, author_name, data_file, dry_run)\n--\n\n"),
    VL_FN(purge_reverse, kPurgeReverse, "purge_reverse(vl_dir, data_file)\n--\n\n"),
    VL_FN(clean, kClean, "clean(vl_dir, split)\n--\n\n"),
    VL_FN(merge_absorb, kMergeAbsorb, "merge_absorb(source, target)\n--\n\n"),
    VL_FN(build_index, kBuildIndex, "build_index(vl_dir)\n--\n\n"),
    VL_FN(generate_forget_set, kGenerateForgetSet, "generate_forget_set(vl_dir, tokenizer)\n--\n\n"),
    VL_FN(write_forget_set, kWriteForgetSet, "write_forget_set(path, bitmask)\n--\n\n"),
    VL_FN(jsonl_read, kJsonlRead, "jsonl_read(path)\n--\n\n"),
    VL_FN(jsonl_append, kJsonlAppend, "jsonl_append(path, record)\n--\n\n"),
    VL_FN(shard_path_str, kShardPathStr, "shard_path_str(vl_dir, layer, hash_hex)\n--\n\n"),
    VL_FN(shard_read, kShardRead, "shard_read(vl_dir, layer, hash_hex)\n--\n\n"),
    VL_FN(shard_iterate_all, kShardIterateAll, "shard_iterate_all(vl_dir, layer)\n--\n\n"),
    VL_FN(oplog_append, kOplogAppend, "oplog_append(vl_dir, operation, detail)\n--\n\n"),
    VL_FN(compute_hash, kComputeHash, "compute_hash(data)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

#undef VL_FN

// ---------------------------------------------------------------------------
// Module

static PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_vl_native",
    "Native core of vl: storage, hashing, indexing, queries and revocation.",
    0,  // no per-module state; every call works on files only
    kMethods,
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
  Ref module(PyModule_Create(&kModule));
  if (!module) return nullptr;
  Ref panic(PyErr_NewExceptionWithDoc(
      "vl._vl_native.PanicException",
      "An internal invariant of the native core was violated.  Derived from "
      "BaseException so that handlers for Exception do not swallow it.",
      PyExc_BaseException, nullptr));
  if (!panic) return nullptr;
  if (PyModule_AddObjectRef(module.get(), "PanicException", panic.get()) < 0) return nullptr;
  g_panic_type = panic.release();
  g_interpreter = interpreter;
  g_module = Py_NewRef(module.get());
  return module.release();
}

}  // namespace vl::py

PyMODINIT_FUNC PyInit__vl_native(void) { return vl::py::create_module(); }
