#include "report.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "authors.hpp"
#include "error.hpp"
#include "fs.hpp"
#include "indexer.hpp"
#include "json.hpp"
#include "layout.hpp"
#include "mmap_lines.hpp"
#include "pool.hpp"
#include "register.hpp"
#include "storage.hpp"
#include "token_index.hpp"

namespace vl::report {

namespace {

// ---------------------------------------------------------------------------
// A fast reader for the flat records the store writes.
//
// Document and token records are one flat object each: string values, arrays
// of strings, booleans and small integers.  FlatLine reads exactly that
// subset of JSON without building values, taking strings as views into the
// line.  Anything outside the subset (an escape, a byte above 0x7f, a nested
// object, a negative or fractional number) or anything that is not JSON at
// all makes read() return false, and the caller then asks the full reader,
// which decides.  Both readers agree on every line the fast one accepts.

enum class Kind { String, StringArray, True, False, Null, UInt };

struct Field {
  std::string_view key;
  Kind kind;
  std::string_view text;            // String
  size_t first = 0, count = 0;      // StringArray: items[first, first + count)
  uint64_t number = 0;              // UInt
};

class FlatLine {
 public:
  bool read(std::string_view line) {
    fields.clear();
    items.clear();
    p_ = line.data();
    end_ = line.data() + line.size();
    ws();
    if (!eat('{')) return false;
    ws();
    if (eat('}')) return finish();
    for (;;) {
      Field f{};
      ws();
      if (!string(f.key)) return false;
      ws();
      if (!eat(':')) return false;
      ws();
      if (!value(f)) return false;
      fields.push_back(f);
      ws();
      if (eat(',')) continue;
      if (eat('}')) return finish();
      return false;
    }
  }

  std::vector<Field> fields;
  std::vector<std::string_view> items;

 private:
  bool finish() {
    ws();
    return p_ == end_;
  }
  void ws() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\r' || *p_ == '\n')) ++p_;
  }
  bool eat(char c) {
    if (p_ < end_ && *p_ == c) {
      ++p_;
      return true;
    }
    return false;
  }
  bool literal(const char* word) {
    size_t n = std::strlen(word);
    if (static_cast<size_t>(end_ - p_) < n || std::memcmp(p_, word, n) != 0) return false;
    p_ += n;
    return true;
  }
  bool string(std::string_view& out) {
    if (!eat('"')) return false;
    const char* start = p_;
    // Eight bytes at a time while none of them is a quote, a backslash, a
    // control character or above 0x7f; the byte loop below settles the rest.
    constexpr uint64_t kOnes = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;
    auto has_zero = [](uint64_t v) { return (v - kOnes) & ~v & kHigh; };
    while (end_ - p_ >= 8) {
      uint64_t w;
      std::memcpy(&w, p_, 8);
      uint64_t special = (w & kHigh) | ((w - 0x20 * kOnes) & ~w & kHigh) | has_zero(w ^ ('"' * kOnes)) |
                         has_zero(w ^ ('\\' * kOnes));
      if (special) break;
      p_ += 8;
    }
    for (; p_ < end_; ++p_) {
      auto c = static_cast<unsigned char>(*p_);
      if (c == '"') {
        out = std::string_view(start, static_cast<size_t>(p_ - start));
        ++p_;
        return true;
      }
      if (c == '\\' || c < 0x20 || c >= 0x80) return false;
    }
    return false;
  }
  bool value(Field& f) {
    if (p_ == end_) return false;
    switch (*p_) {
      case '"':
        f.kind = Kind::String;
        return string(f.text);
      case '[': {
        ++p_;
        f.kind = Kind::StringArray;
        f.first = items.size();
        ws();
        if (eat(']')) return true;
        for (;;) {
          std::string_view s;
          ws();
          if (!string(s)) return false;
          items.push_back(s);
          ws();
          if (eat(',')) continue;
          if (!eat(']')) return false;
          f.count = items.size() - f.first;
          return true;
        }
      }
      case 't':
        f.kind = Kind::True;
        return literal("true");
      case 'f':
        f.kind = Kind::False;
        return literal("false");
      case 'n':
        f.kind = Kind::Null;
        return literal("null");
      default:
        return number(f);
    }
  }
  bool number(Field& f) {
    if (p_ == end_ || *p_ < '0' || *p_ > '9') return false;
    if (*p_ == '0' && p_ + 1 < end_ && p_[1] >= '0' && p_[1] <= '9') return false;
    uint64_t v = 0;
    for (; p_ < end_ && *p_ >= '0' && *p_ <= '9'; ++p_) {
      auto d = static_cast<uint64_t>(*p_ - '0');
      if (v > (UINT64_MAX - d) / 10) return false;
      v = v * 10 + d;
    }
    if (p_ < end_ && (*p_ == '.' || *p_ == 'e' || *p_ == 'E')) return false;
    f.kind = Kind::UInt;
    f.number = v;
    return true;
  }

  const char* p_ = nullptr;
  const char* end_ = nullptr;
};

// The fields a record reader takes from a flat line: each named field once,
// or nothing (the line is not such a record).
template <size_t N>
bool pick(const FlatLine& flat, const std::array<std::string_view, N>& names,
          std::array<const Field*, N>& out) {
  out.fill(nullptr);
  for (const Field& f : flat.fields) {
    for (size_t i = 0; i < N; ++i) {
      if (f.key != names[i]) continue;
      if (out[i]) return false;
      out[i] = &f;
    }
  }
  return std::all_of(out.begin(), out.end(), [](const Field* f) { return f != nullptr; });
}

// The last "revoked" member decides, as in the generic JSON value.
bool last_revoked(const FlatLine& flat) {
  bool revoked = false;
  for (const Field& f : flat.fields) {
    if (f.key == "revoked") revoked = f.kind == Kind::True;
  }
  return revoked;
}

// One record as the passes use it: views into the line or into `owned`.
struct Record {
  std::string_view line_hash;  // documents
  std::string_view file;       // documents
  std::vector<std::string_view> sources;
  uint64_t token_count = 0;    // token entries
  bool revoked = false;
  // Storage for the full reader's strings.
  std::vector<std::string> owned;
};

bool read_document(FlatLine& flat, std::string_view line, Record& r) {
  r.sources.clear();
  if (flat.read(line)) {
    static constexpr std::array<std::string_view, 3> kNames{"line_hash", "file", "sources"};
    std::array<const Field*, 3> f;
    if (!pick(flat, kNames, f)) return false;
    if (f[0]->kind != Kind::String || f[1]->kind != Kind::String ||
        f[2]->kind != Kind::StringArray) {
      return false;
    }
    r.line_hash = f[0]->text;
    r.file = f[1]->text;
    for (size_t i = 0; i < f[2]->count; ++i) r.sources.push_back(flat.items[f[2]->first + i]);
    r.revoked = last_revoked(flat);
    return true;
  }
  auto d = documents::parse(line);
  if (!d) return false;
  auto v = json::parse(line);
  const json::Value* flag = v ? v->find("revoked") : nullptr;
  r.revoked = flag && flag->as_bool() && *flag->as_bool();
  r.owned.clear();
  r.owned.reserve(d->sources.size() + 2);
  r.owned.push_back(std::move(d->line_hash));
  r.owned.push_back(std::move(d->file));
  for (auto& s : d->sources) r.owned.push_back(std::move(s));
  r.line_hash = r.owned[0];
  r.file = r.owned[1];
  for (size_t i = 2; i < r.owned.size(); ++i) r.sources.push_back(r.owned[i]);
  return true;
}

bool read_token_entry(FlatLine& flat, std::string_view line, Record& r) {
  r.sources.clear();
  if (flat.read(line)) {
    static constexpr std::array<std::string_view, 4> kNames{"token_count", "sources", "tokenizer",
                                                            "revoked"};
    std::array<const Field*, 4> f;
    if (!pick(flat, kNames, f)) return false;
    if (f[0]->kind != Kind::UInt || f[1]->kind != Kind::StringArray ||
        f[2]->kind != Kind::String || (f[3]->kind != Kind::True && f[3]->kind != Kind::False)) {
      return false;
    }
    r.token_count = f[0]->number;
    for (size_t i = 0; i < f[1]->count; ++i) r.sources.push_back(flat.items[f[1]->first + i]);
    r.revoked = f[3]->kind == Kind::True;
    return true;
  }
  auto e = token_index::parse(line);
  if (!e) return false;
  r.token_count = e->token_count;
  r.revoked = e->revoked;
  r.owned = std::move(e->sources);
  for (const std::string& s : r.owned) r.sources.push_back(s);
  return true;
}

// ---------------------------------------------------------------------------
// Lookups

// Content hashes are hex text, so a few of their bytes are hash enough.
struct TextHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const {
    uint64_t a = 0, b = 0;
    std::memcpy(&a, s.data(), std::min<size_t>(8, s.size()));
    if (s.size() > 8) std::memcpy(&b, s.data() + s.size() - std::min<size_t>(8, s.size() - 8),
                                  std::min<size_t>(8, s.size() - 8));
    uint64_t h = (a ^ (b * 0x9E3779B97F4A7C15ull) ^ s.size()) * 0xFF51AFD7ED558CCDull;
    return static_cast<size_t>(h ^ (h >> 32));
  }
};
struct TextEq {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const { return a == b; }
};
template <typename V>
using TextMap = std::unordered_map<std::string, V, TextHash, TextEq>;
using TextSet = std::unordered_set<std::string, TextHash, TextEq>;

// Names numbered in the order they are first met, with an open-addressing
// table for the lookups of the hot loops (a few per record).
class NameIndex {
 public:
  static constexpr uint32_t kNone = UINT32_MAX;

  uint32_t find(std::string_view name) const {
    if (slots_.empty()) return kNone;
    uint64_t h = hash(name);
    for (size_t i = h & mask_;; i = (i + 1) & mask_) {
      uint32_t id = slots_[i];
      if (id == kNone) return kNone;
      if (hashes_[id] == h && names_[id] == name) return id;
    }
  }
  uint32_t intern(std::string_view name) {
    uint32_t id = find(name);
    if (id != kNone) return id;
    if ((names_.size() + 1) * 2 > slots_.size()) grow();
    id = static_cast<uint32_t>(names_.size());
    names_.emplace_back(name);
    hashes_.push_back(hash(name));
    place(id);
    return id;
  }
  size_t size() const { return names_.size(); }
  const std::string& name(uint32_t id) const { return names_[id]; }

 private:
  static uint64_t hash(std::string_view s) {
    uint64_t h = 0x9E3779B97F4A7C15ull ^ s.size();
    size_t i = 0;
    for (; i + 8 <= s.size(); i += 8) {
      uint64_t w;
      std::memcpy(&w, s.data() + i, 8);
      h = (h ^ w) * 0xFF51AFD7ED558CCDull;
      h ^= h >> 29;
    }
    uint64_t w = 0;
    if (i < s.size()) std::memcpy(&w, s.data() + i, s.size() - i);
    h = (h ^ w) * 0xC4CEB9FE1A85EC53ull;
    return h ^ (h >> 32);
  }
  void place(uint32_t id) {
    size_t i = hashes_[id] & mask_;
    while (slots_[i] != kNone) i = (i + 1) & mask_;
    slots_[i] = id;
  }
  void grow() {
    size_t n = slots_.empty() ? 64 : slots_.size() * 2;
    slots_.assign(n, kNone);
    mask_ = n - 1;
    for (uint32_t id = 0; id < names_.size(); ++id) place(id);
  }

  std::deque<std::string> names_;
  std::vector<uint64_t> hashes_;
  std::vector<uint32_t> slots_;
  size_t mask_ = 0;
};

// A section as the passes see it: dense indexes instead of strings.
struct SectionInfo {
  uint32_t license;
  std::vector<uint32_t> authors;  // distinct
  bool withdrawn;
};

struct Model {
  std::vector<SectionInfo> sections;
  NameIndex section_index;  // ids are indexes into `sections`
  size_t licenses = 0;
  size_t authors = 0;
  TextSet revoked_lines;  // line hashes of the revoked document list
};

// Adds `v` to a small list of distinct values.
inline void add_distinct(std::vector<uint32_t>& list, uint32_t v) {
  if (std::find(list.begin(), list.end(), v) == list.end()) list.push_back(v);
}

// The pieces of a line: the sections it cites (distinct), its unknown
// sources (distinct), and the licences and authors those sections lead to.
struct Cited {
  std::vector<uint32_t> sections, licenses, authors;
  std::vector<std::string_view> unknown;
  bool withdrawn = false;

  void collect(const Model& m, const std::vector<std::string_view>& sources) {
    sections.clear();
    licenses.clear();
    authors.clear();
    unknown.clear();
    withdrawn = false;
    for (std::string_view s : sources) {
      uint32_t idx = m.section_index.find(s);
      if (idx == NameIndex::kNone) {
        if (std::find(unknown.begin(), unknown.end(), s) == unknown.end()) unknown.push_back(s);
        continue;
      }
      if (std::find(sections.begin(), sections.end(), idx) != sections.end()) continue;
      sections.push_back(idx);
      const SectionInfo& info = m.sections[idx];
      withdrawn = withdrawn || info.withdrawn;
      add_distinct(licenses, info.license);
      for (uint32_t a : info.authors) add_distinct(authors, a);
    }
  }
};

// ---------------------------------------------------------------------------
// Chunks of whole lines over many files

struct Chunk {
  size_t file;
  std::string_view bytes;
};

constexpr size_t kChunkBytes = size_t{1} << 20;

std::vector<Mapping> map_all(const std::vector<std::string>& paths) {
  std::vector<Mapping> maps;
  maps.reserve(paths.size());
  for (const std::string& path : paths) {
    auto m = with_context("reading " + quote_path(path), [&] { return mmap_file(path); });
    maps.push_back(m ? std::move(*m) : Mapping());
  }
  return maps;
}

std::vector<Chunk> chunks_of(const std::vector<Mapping>& maps) {
  std::vector<Chunk> out;
  for (size_t f = 0; f < maps.size(); ++f) {
    std::string_view rest = maps[f].view();
    while (!rest.empty()) {
      size_t cut = rest.size();
      if (rest.size() > kChunkBytes) {
        size_t nl = rest.find('\n', kChunkBytes);
        cut = nl == std::string_view::npos ? rest.size() : nl + 1;
      }
      out.push_back({f, rest.substr(0, cut)});
      rest.remove_prefix(cut);
    }
  }
  return out;
}

// Runs body(group, chunk) over the chunks in a few groups on the pool, one
// accumulator per group, and returns the accumulators.
template <typename Acc, typename Make, typename Body>
std::vector<Acc> over_chunks(const std::vector<Chunk>& chunks, Make make, Body body) {
  size_t groups = std::min(chunks.size(), pool::size() * 4);
  std::vector<Acc> accs;
  for (size_t g = 0; g < groups; ++g) accs.push_back(make());
  pool::for_each_index(groups, [&](size_t g) {
    size_t from = chunks.size() * g / groups, to = chunks.size() * (g + 1) / groups;
    for (size_t c = from; c < to; ++c) body(accs[g], chunks[c]);
  });
  return accs;
}

uint64_t pair_key(uint32_t a, uint32_t b) { return (uint64_t{a} << 32) | b; }

// ---------------------------------------------------------------------------
// The document pass

struct Counter {
  uint64_t lines = 0, revoked = 0;
  void add(bool r) {
    ++lines;
    revoked += r;
  }
};

struct FileCounter {
  uint64_t lines = 0, revoked = 0, unattributed = 0;
};

struct DocAcc {
  std::vector<Counter> sections, licenses, authors;
  Counter total, unattributed;
  NameIndex file_ids;
  std::vector<FileCounter> files;
  std::unordered_set<uint64_t> section_files;  // (section, file)
  TextMap<uint32_t> unknown_ids;
  std::vector<Counter> unknown;
  std::unordered_set<uint64_t> unknown_files;  // (unknown, file)

  uint32_t file_id(std::string_view name) {
    uint32_t id = file_ids.intern(name);
    if (id == files.size()) files.emplace_back();
    return id;
  }
  uint32_t unknown_id(std::string_view source) {
    auto it = unknown_ids.find(source);
    if (it != unknown_ids.end()) return it->second;
    auto id = static_cast<uint32_t>(unknown.size());
    unknown_ids.emplace(std::string(source), id);
    unknown.emplace_back();
    return id;
  }
};

// ---------------------------------------------------------------------------
// The token pass

void add_tokens(TokenFigures& t, uint64_t count, bool revoked) {
  ++t.entries;
  t.tokens += count;
  if (revoked) {
    ++t.revoked_entries;
    t.revoked_tokens += count;
  }
}

void add_into(TokenFigures& to, const TokenFigures& from) {
  to.entries += from.entries;
  to.tokens += from.tokens;
  to.revoked_entries += from.revoked_entries;
  to.revoked_tokens += from.revoked_tokens;
}

struct TokenAcc {
  std::vector<TokenFigures> sections, licenses, authors;
  TokenFigures total, unattributed;
  TextMap<TokenFigures> unknown;
};

// The token files of one tokenizer not merged yet: the per-process files
// "token-index.<t>.<pid>" and the ones a running (or broken-off) merge has
// claimed in the merged directory.
std::vector<std::string> pending_files(const std::string& root, const std::string& tokenizer) {
  std::vector<std::string> out;
  std::string dir = layout::store_dir(root);
  if (!is_dir(dir)) return out;
  for (DirEntry& e : list_dir(dir)) {
    layout::Entry entry = layout::parse_store_entry(e.name, false);
    if (entry.kind == layout::Kind::TokenPidFile && entry.tokenizer == tokenizer &&
        is_regular(e.path)) {
      out.push_back(std::move(e.path));
    }
  }
  std::string merged = layout::token_merged_dir(root, tokenizer);
  if (!is_dir(merged)) return out;
  for (DirEntry& e : list_dir(merged)) {
    if (layout::parse_merged_entry(e.name).kind == layout::Kind::Staging && is_regular(e.path)) {
      out.push_back(std::move(e.path));
    }
  }
  return out;
}

// Registered authors and sections, read on the pool one shard per task.
template <typename T, typename Parse>
std::vector<T> read_layer(const std::string& root, std::string_view layer, Parse parse) {
  std::vector<std::string> paths = shard_files(root, layer);
  auto parts = pool::ordered_map<std::vector<T>>(paths.size(), [&](size_t i) {
    std::vector<T> found;
    auto map = with_context("reading " + quote_path(paths[i]), [&] { return mmap_file(paths[i]); });
    if (map) for_each_line(map->view(), [&](std::string_view line) {
      if (auto r = parse(line)) found.push_back(std::move(*r));
    });
    return found;
  });
  std::vector<T> out;
  for (auto& part : parts) {
    for (auto& r : part) out.push_back(std::move(r));
  }
  return out;
}

struct SectionRecord {
  sections::Section section;
  bool revoked;
};

}  // namespace

Report build(const std::string& root, const std::optional<std::vector<std::string>>& tokenizers) {
  Report rep;
  if (tokenizers) {
    for (const std::string& t : *tokenizers) token_index::check_tokenizer(t);
    rep.tokenizers = *tokenizers;
    std::sort(rep.tokenizers.begin(), rep.tokenizers.end());
    rep.tokenizers.erase(std::unique(rep.tokenizers.begin(), rep.tokenizers.end()),
                         rep.tokenizers.end());
  } else {
    rep.tokenizers = token_index::list_tokenizers(root);
  }
  const size_t ntok = rep.tokenizers.size();

  // Registered authors: one row per id, revoked when any registration is.
  std::map<std::string, AuthorRow> author_rows;
  for (authors::Author& a : read_layer<authors::Author>(root, layout::kAuthors, authors::parse)) {
    auto [it, fresh] = author_rows.try_emplace(a.id);
    AuthorRow& row = it->second;
    if (fresh) {
      row.id = a.id;
      row.name = std::move(a.name);
      row.email = std::move(a.email);
      row.registered = true;
    }
    row.revoked = row.revoked || a.revoked;
  }

  // Sections: one row per hash, revoked when any of its records is.
  std::map<std::string, SectionRow> section_rows;
  auto section_records = read_layer<SectionRecord>(root, layout::kSections, [](std::string_view line) {
    std::optional<SectionRecord> out;
    auto s = sections::parse(line);
    if (!s) return out;
    auto v = json::parse(line);
    const json::Value* flag = v ? v->find("revoked") : nullptr;
    out = SectionRecord{std::move(*s), flag && flag->as_bool() && *flag->as_bool()};
    return out;
  });
  for (SectionRecord& r : section_records) {
    auto [it, fresh] = section_rows.try_emplace(r.section.section_hash);
    SectionRow& row = it->second;
    if (fresh) {
      row.section_hash = r.section.section_hash;
      row.path = std::move(r.section.path);
      row.license = std::move(r.section.license);
      row.year = std::move(r.section.year);
      row.authors = std::move(r.section.authors);
    }
    row.revoked = row.revoked || r.revoked;
  }
  // Ids that sections name but nobody registered get a row of their own.
  for (auto& [hash, row] : section_rows) {
    for (const std::string& id : row.authors) {
      auto [it, fresh] = author_rows.try_emplace(id);
      if (fresh) it->second.id = id;
    }
  }

  // Dense numbering: rows in key order, licences in name order.
  for (auto& [id, row] : author_rows) rep.authors.push_back(std::move(row));
  std::map<std::string, uint32_t> license_ids;
  for (auto& [hash, row] : section_rows) license_ids.emplace(row.license, 0);
  for (auto& [name, id] : license_ids) {
    id = static_cast<uint32_t>(rep.licenses.size());
    rep.licenses.push_back(LicenseRow{name, 0, {}});
  }
  TextMap<uint32_t> author_index;
  for (size_t i = 0; i < rep.authors.size(); ++i) {
    author_index.emplace(rep.authors[i].id, static_cast<uint32_t>(i));
    rep.revoked_authors += rep.authors[i].revoked;
  }

  Model model;
  for (auto& [hash, row] : section_rows) {
    SectionInfo info{license_ids.at(row.license), {}, row.revoked};
    for (const std::string& id : row.authors) add_distinct(info.authors, author_index.at(id));
    for (uint32_t a : info.authors) info.withdrawn = info.withdrawn || rep.authors[a].revoked;
    row.withdrawn = info.withdrawn;
    rep.licenses[info.license].sections++;
    for (uint32_t a : info.authors) rep.authors[a].sections++;
    rep.revoked_sections += row.revoked;
    rep.withdrawn_sections += row.withdrawn;
    model.sections.push_back(std::move(info));
    rep.sections.push_back(std::move(row));
  }
  for (size_t i = 0; i < rep.sections.size(); ++i) {
    model.section_index.intern(rep.sections[i].section_hash);
  }
  model.licenses = rep.licenses.size();
  model.authors = rep.authors.size();
  const size_t nsec = rep.sections.size(), nlic = rep.licenses.size(), naut = rep.authors.size();

  // The revoked document list.
  {
    std::string path = layout::revoked_documents(root);
    auto map = with_context("reading " + quote_path(path), [&] { return mmap_file(path); });
    if (map) for_each_line(map->view(), [&](std::string_view line) {
      if (auto d = documents::parse(line)) model.revoked_lines.insert(std::move(d->line_hash));
    });
  }

  // The document pass.
  std::vector<Mapping> doc_maps = map_all(shard_files(root, layout::kDocumentIndex));
  std::vector<Chunk> doc_chunks = chunks_of(doc_maps);
  auto doc_accs = over_chunks<DocAcc>(
      doc_chunks,
      [&] {
        DocAcc a;
        a.sections.resize(nsec);
        a.licenses.resize(nlic);
        a.authors.resize(naut);
        return a;
      },
      [&](DocAcc& acc, const Chunk& chunk) {
        FlatLine flat;
        Record rec;
        Cited cited;
        for_each_line(chunk.bytes, [&](std::string_view line) {
          if (!read_document(flat, line, rec)) return;
          cited.collect(model, rec.sources);
          bool revoked = rec.revoked || cited.withdrawn ||
                         (!model.revoked_lines.empty() && model.revoked_lines.count(rec.line_hash));
          uint32_t file = acc.file_id(rec.file);
          FileCounter& fc = acc.files[file];
          ++fc.lines;
          fc.revoked += revoked;
          acc.total.add(revoked);
          if (cited.sections.empty()) {
            ++fc.unattributed;
            acc.unattributed.add(revoked);
          }
          for (uint32_t s : cited.sections) {
            acc.sections[s].add(revoked);
            acc.section_files.insert(pair_key(s, file));
          }
          for (uint32_t l : cited.licenses) acc.licenses[l].add(revoked);
          for (uint32_t a : cited.authors) acc.authors[a].add(revoked);
          for (std::string_view u : cited.unknown) {
            uint32_t id = acc.unknown_id(u);
            acc.unknown[id].add(revoked);
            acc.unknown_files.insert(pair_key(id, file));
          }
        });
      });

  // Join the groups: files and unknown sources get global numbers.
  TextMap<uint32_t> file_index;
  std::vector<FileCounter> file_counts;
  std::vector<std::string> file_names;
  std::map<std::string, UnknownSource> unknown_rows;
  std::set<std::pair<std::string, uint32_t>> unknown_files;
  std::unordered_set<uint64_t> section_files;
  std::vector<uint64_t> unattributed_files;
  auto put = [](Figures& f, const Counter& c) {
    f.lines += c.lines;
    f.revoked_lines += c.revoked;
  };
  for (auto& sec : rep.sections) sec.figures.tokens.resize(ntok);
  for (auto& lic : rep.licenses) lic.figures.tokens.resize(ntok);
  for (auto& aut : rep.authors) aut.figures.tokens.resize(ntok);
  rep.totals.tokens.resize(ntok);
  rep.unattributed.tokens.resize(ntok);
  for (DocAcc& acc : doc_accs) {
    std::vector<uint32_t> global(acc.files.size());
    for (size_t i = 0; i < acc.files.size(); ++i) {
      const std::string& name = acc.file_ids.name(static_cast<uint32_t>(i));
      auto [it, fresh] = file_index.try_emplace(name, static_cast<uint32_t>(file_counts.size()));
      if (fresh) {
        file_counts.emplace_back();
        file_names.push_back(name);
      }
      global[i] = it->second;
      FileCounter& fc = file_counts[it->second];
      fc.lines += acc.files[i].lines;
      fc.revoked += acc.files[i].revoked;
      fc.unattributed += acc.files[i].unattributed;
    }
    for (uint64_t key : acc.section_files) {
      section_files.insert(pair_key(static_cast<uint32_t>(key >> 32), global[key & 0xffffffffu]));
    }
    for (size_t s = 0; s < nsec; ++s) put(rep.sections[s].figures, acc.sections[s]);
    for (size_t l = 0; l < nlic; ++l) put(rep.licenses[l].figures, acc.licenses[l]);
    for (size_t a = 0; a < naut; ++a) put(rep.authors[a].figures, acc.authors[a]);
    put(rep.totals, acc.total);
    put(rep.unattributed, acc.unattributed);
    std::vector<const std::string*> unknown_names(acc.unknown.size());
    for (auto& [name, id] : acc.unknown_ids) unknown_names[id] = &name;
    for (size_t u = 0; u < acc.unknown.size(); ++u) {
      UnknownSource& row = unknown_rows[*unknown_names[u]];
      put(row.figures, acc.unknown[u]);
    }
    for (uint64_t key : acc.unknown_files) {
      unknown_files.emplace(*unknown_names[key >> 32], global[key & 0xffffffffu]);
    }
  }
  rep.totals.files = file_counts.size();
  for (const FileCounter& fc : file_counts) rep.unattributed.files += fc.unattributed > 0;
  {
    std::unordered_set<uint64_t> license_files, author_files;
    for (uint64_t key : section_files) {
      auto s = static_cast<uint32_t>(key >> 32), f = static_cast<uint32_t>(key);
      rep.sections[s].figures.files++;
      if (license_files.insert(pair_key(model.sections[s].license, f)).second) {
        rep.licenses[model.sections[s].license].figures.files++;
      }
      for (uint32_t a : model.sections[s].authors) {
        if (author_files.insert(pair_key(a, f)).second) rep.authors[a].figures.files++;
      }
    }
  }
  for (const auto& [source, file] : unknown_files) unknown_rows[source].figures.files++;
  std::vector<size_t> order(file_names.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return file_names[a] < file_names[b]; });
  for (size_t i : order) {
    rep.files.push_back(FileRow{file_names[i], file_counts[i].lines, file_counts[i].revoked,
                                file_counts[i].unattributed});
  }
  doc_maps.clear();

  // The token pass, one tokenizer at a time over its merged files.
  for (size_t t = 0; t < ntok; ++t) {
    const std::string& tokenizer = rep.tokenizers[t];
    std::vector<std::string> paths;
    for (auto& [number, path] : token_index::get_merged_files(root, tokenizer)) {
      paths.push_back(std::move(path));
    }
    std::vector<Mapping> maps = map_all(paths);
    std::vector<Chunk> chunks = chunks_of(maps);
    auto accs = over_chunks<TokenAcc>(
        chunks,
        [&] {
          TokenAcc a;
          a.sections.resize(nsec);
          a.licenses.resize(nlic);
          a.authors.resize(naut);
          return a;
        },
        [&](TokenAcc& acc, const Chunk& chunk) {
          FlatLine flat;
          Record rec;
          Cited cited;
          for_each_line(chunk.bytes, [&](std::string_view line) {
            if (!read_token_entry(flat, line, rec)) return;
            cited.collect(model, rec.sources);
            bool revoked = rec.revoked || cited.withdrawn;
            add_tokens(acc.total, rec.token_count, revoked);
            if (cited.sections.empty()) add_tokens(acc.unattributed, rec.token_count, revoked);
            for (uint32_t s : cited.sections) add_tokens(acc.sections[s], rec.token_count, revoked);
            for (uint32_t l : cited.licenses) add_tokens(acc.licenses[l], rec.token_count, revoked);
            for (uint32_t a : cited.authors) add_tokens(acc.authors[a], rec.token_count, revoked);
            for (std::string_view u : cited.unknown) {
              auto it = acc.unknown.find(u);
              if (it == acc.unknown.end()) it = acc.unknown.emplace(std::string(u), TokenFigures{}).first;
              add_tokens(it->second, rec.token_count, revoked);
            }
          });
        });
    for (TokenAcc& acc : accs) {
      for (size_t s = 0; s < nsec; ++s) add_into(rep.sections[s].figures.tokens[t], acc.sections[s]);
      for (size_t l = 0; l < nlic; ++l) add_into(rep.licenses[l].figures.tokens[t], acc.licenses[l]);
      for (size_t a = 0; a < naut; ++a) add_into(rep.authors[a].figures.tokens[t], acc.authors[a]);
      add_into(rep.totals.tokens[t], acc.total);
      add_into(rep.unattributed.tokens[t], acc.unattributed);
      for (auto& [source, figures] : acc.unknown) {
        UnknownSource& row = unknown_rows[source];
        row.figures.tokens.resize(ntok);
        add_into(row.figures.tokens[t], figures);
      }
    }

    // Entries not merged yet: counted, not attributed.
    Pending pending;
    for (const std::string& path : pending_files(root, tokenizer)) {
      auto map = with_context("reading " + quote_path(path), [&] { return mmap_file(path); });
      ++pending.files;
      if (!map) continue;
      FlatLine flat;
      Record rec;
      for_each_line(map->view(), [&](std::string_view line) {
        if (!read_token_entry(flat, line, rec)) return;
        ++pending.entries;
        pending.tokens += rec.token_count;
      });
    }
    rep.pending.push_back(pending);
  }

  for (auto& [source, row] : unknown_rows) {
    row.source = source;
    row.figures.tokens.resize(ntok);
    rep.unknown_sources.push_back(std::move(row));
  }
  return rep;
}

}  // namespace vl::report
