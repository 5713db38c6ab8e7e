#include "index.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <string_view>
#include <unordered_map>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "binary_index.hpp"
#include "dense_ids.hpp"
#include "error.hpp"
#include "fs.hpp"
#include "json.hpp"
#include "layout.hpp"
#include "mmap_lines.hpp"
#include "pool.hpp"
#include "record.hpp"
#include "scan.hpp"
#include "storage.hpp"
#include "token_bin_index.hpp"
#include "token_index.hpp"

namespace vl::index {

namespace {

constexpr size_t kMaxRefsLen = 65535;
constexpr size_t kMaxNameLen = 255;
constexpr size_t kBytesPerTask = 1 << 20;

// A two-byte shard name as one number, and back.  Sorting the numbers
// (first byte high) sorts the names byte-wise.
uint16_t shard_code(std::string_view name) {
  return static_cast<uint16_t>(static_cast<unsigned char>(name[0]) << 8 | static_cast<unsigned char>(name[1]));
}

// The distinct names of `codes`, sorted.
std::vector<std::string> shard_names(std::vector<uint16_t>& codes) {
  if (!std::is_sorted(codes.begin(), codes.end())) std::sort(codes.begin(), codes.end());
  codes.erase(std::unique(codes.begin(), codes.end()), codes.end());
  std::vector<std::string> names;
  names.reserve(codes.size());
  for (uint16_t c : codes) names.push_back({static_cast<char>(c >> 8), static_cast<char>(c & 0xff)});
  return names;
}

// The shard a value is filed under, as its code: its first two bytes, when
// they are two whole characters (as layout::shard_name takes them) and make
// a name that stays inside the layer directory and is not hidden (hidden
// names are taken for temporary files).  Values that cannot name a shard
// are left out of the index.
std::optional<uint16_t> shard_of(std::string_view value) {
  if (value.size() < 2 || (value.size() > 2 && (static_cast<unsigned char>(value[2]) & 0xC0) == 0x80)) {
    return std::nullopt;
  }
  const char a = value[0], b = value[1];
  if (a == '/' || b == '/' || a == '\0' || b == '\0' || a == '.') return std::nullopt;
  return shard_code(value);
}

std::optional<std::string> prefix_of(std::string_view value) {
  if (!shard_of(value)) return std::nullopt;
  return std::string(value.substr(0, 2));
}

// The regular files of .vl/<layer> in listing order; none when the layer is
// not a directory.
std::vector<std::string> layer_files(const std::string& root, std::string_view layer) {
  std::vector<std::string> files;
  const std::string dir = layout::layer_dir(root, layer);
  if (!is_dir(dir)) return files;
  for (DirEntry& e : list_dir(dir)) {
    if (is_regular(e.path)) files.push_back(std::move(e.path));
  }
  return files;
}

// Runs per_line over the lines of every file, one task per file, and hands
// the per-file results back in listing order.
template <typename T, typename PerLine>
std::vector<T> scan_files(const std::vector<std::string>& files, PerLine per_line) {
  return pool::ordered_map<T>(files.size(), [&](size_t i) {
    T found{};
    std::optional<Mapping> map = mmap_file(files[i]);
    if (map) for_each_line(map->view(), [&](std::string_view line) { per_line(line, found); });
    return found;
  });
}

const json::Value* member(const json::Value& v, std::string_view key) { return v.find(key); }

// Values grouped by a key number in two passes: add() appends (key, value)
// to one of 256 buckets chosen by the key's low bits, and for_each() then
// visits the pairs bucket by bucket, each key's values in the order they
// were added.  Handing a million values straight to thousands of per-key
// lists writes each into a line that is no longer in the cache; a bucket
// touches the lists of only a few hundredths of the keys, which stay in
// the cache while it is visited.
template <typename Value>
class Buckets {
 public:
  Buckets() : buckets_(256) {}
  void add(uint32_t key, const Value& value) { buckets_[key & 255].emplace_back(key, value); }
  template <typename Fn>
  void for_each(Fn&& fn) {
    for (auto& bucket : buckets_) {
      for (const auto& [key, value] : bucket) fn(key, value);
      bucket = {};
    }
  }

 private:
  std::vector<std::vector<std::pair<uint32_t, Value>>> buckets_;
};

// Writes the low `width` bytes of v at p, least significant first.
void put_le(char* p, uint64_t v, int width) {
  for (int i = 0; i < width; ++i) p[i] = static_cast<char>(v >> (8 * i));
}

// "3f", "+f", "03F": a reference written as a base-16 number up to ff.
std::optional<uint8_t> parse_shard_byte(std::string_view s) {
  if (!s.empty() && s[0] == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  unsigned v = 0;
  for (char c : s) {
    int d = (c >= '0' && c <= '9') ? c - '0'
            : (c >= 'a' && c <= 'f') ? c - 'a' + 10
            : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                     : -1;
    if (d < 0) return std::nullopt;
    v = v * 16 + static_cast<unsigned>(d);
    if (v > 0xff) return std::nullopt;
  }
  return static_cast<uint8_t>(v);
}

// A fast reader for the lines the store writes itself: a compact object
// whose keys are distinct and whose values are printable-ASCII strings
// without escapes, true, false, null, unsigned integers or arrays of such
// strings.  For such a line the fields can be taken straight from the bytes;
// any other line (white space, escapes, other bytes, nesting, numbers with a
// sign, fraction or exponent, repeated keys) is declined and read by the
// full JSON parser, so the result never differs from the parser's.
class FlatObject {
 public:
  struct Field {
    std::string_view key;
    char kind;              // 's' string, 'a' array of strings, 'u' integer, 'b' bool, 'n' null
    std::string_view text;  // string: its content; array: between the brackets; else the literal
  };

  bool scan(std::string_view line) {
    n_ = 0;
    p_ = line.data();
    end_ = p_ + line.size();
    if (!eat('{')) return false;
    if (eat('}')) return p_ == end_;
    for (;;) {
      if (n_ == kMaxFields) return false;
      Field& f = fields_[n_];
      if (!string(f.key) || !eat(':') || !value(f)) return false;
      for (size_t i = 0; i < n_; ++i) {
        if (same_key(fields_[i].key, f.key)) return false;
      }
      ++n_;
      if (eat(',')) continue;
      return eat('}') && p_ == end_;
    }
  }

  const Field* find(std::string_view key, char kind) const {
    for (size_t i = 0; i < n_; ++i) {
      if (same_key(fields_[i].key, key)) return fields_[i].kind == kind ? &fields_[i] : nullptr;
    }
    return nullptr;
  }

  // Calls fn(item) for each string of an array field's text.
  template <typename Fn>
  static void each_string(std::string_view items, Fn&& fn) {
    size_t pos = 0;
    while (pos < items.size()) {
      const size_t close = items.find('"', pos + 1);
      fn(items.substr(pos + 1, close - pos - 1));
      pos = close + 2;  // past the quote and the comma
    }
  }

  static uint64_t number(std::string_view digits) {
    uint64_t v = 0;
    for (char c : digits) v = v * 10 + static_cast<uint64_t>(c - '0');
    return v;
  }

 private:
  static constexpr size_t kMaxFields = 12;

  bool eat(char c) {
    if (p_ == end_ || *p_ != c) return false;
    ++p_;
    return true;
  }
  bool string(std::string_view& out) {
    if (!eat('"')) return false;
    const char* start = p_;
#if defined(__SSE2__)
    // Sixteen bytes at a time, up to the first that ends a plain run: a
    // control byte or a byte at or above 0x80 (both below 0x20 as signed
    // bytes), DEL, a quote or a backslash.  The byte loop below takes it.
    const __m128i space = _mm_set1_epi8(0x20), del = _mm_set1_epi8(0x7F);
    const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\');
    while (end_ - p_ >= 16) {
      const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p_));
      const __m128i stop = _mm_or_si128(_mm_or_si128(_mm_cmplt_epi8(c, space), _mm_cmpeq_epi8(c, del)),
                                        _mm_or_si128(_mm_cmpeq_epi8(c, quote), _mm_cmpeq_epi8(c, backslash)));
      const int mask = _mm_movemask_epi8(stop);
      if (mask != 0) {
        p_ += __builtin_ctz(static_cast<unsigned>(mask));
        break;
      }
      p_ += 16;
    }
#endif
    while (p_ != end_ && *p_ != '"') {
      const auto c = static_cast<unsigned char>(*p_);
      if (c < 0x20 || c > 0x7E || c == '\\') return false;
      ++p_;
    }
    if (p_ == end_) return false;
    out = std::string_view(start, static_cast<size_t>(p_ - start));
    ++p_;
    return true;
  }
  bool literal(std::string_view word) {
    if (static_cast<size_t>(end_ - p_) < word.size() || std::string_view(p_, word.size()) != word) return false;
    p_ += word.size();
    return true;
  }
  bool value(Field& f) {
    if (p_ == end_) return false;
    const char* start = p_;
    switch (*p_) {
      case '"':
        f.kind = 's';
        return string(f.text);
      case '[': {
        ++p_;
        f.kind = 'a';
        if (!eat(']')) {
          std::string_view item;
          do {
            if (!string(item)) return false;
          } while (eat(','));
          if (!eat(']')) return false;
        }
        f.text = std::string_view(start + 1, static_cast<size_t>(p_ - start - 2));
        return true;
      }
      case 't':
      case 'f':
        f.kind = 'b';
        f.text = *p_ == 't' ? "true" : "false";
        return literal(f.text);
      case 'n':
        f.kind = 'n';
        return literal("null");
      default:
        break;
    }
    while (p_ != end_ && *p_ >= '0' && *p_ <= '9') ++p_;
    const size_t len = static_cast<size_t>(p_ - start);
    // At most 19 digits always fit 64 bits; a leading zero, a fraction or
    // an exponent is left to the parser.
    if (len == 0 || len > 19 || (len > 1 && *start == '0')) return false;
    if (p_ != end_ && (*p_ == '.' || *p_ == 'e' || *p_ == 'E')) return false;
    f.kind = 'u';
    f.text = std::string_view(start, len);
    return true;
  }

  std::array<Field, kMaxFields> fields_;
  size_t n_ = 0;
  const char* p_ = nullptr;
  const char* end_ = nullptr;
};

// What the build takes from one token line: whether it counts (it parsed as
// JSON and carries a sources array), the keys of its hex sources (appended
// to `keys`), and whether it is an entry and a revoked one.
struct TokenLineInfo {
  bool counted = false;
  bool entry = false;
  bool revoked = false;
};

TokenLineInfo read_token_line(std::string_view line, FlatObject& flat, std::vector<token_index::SourceKey>& keys) {
  TokenLineInfo t;
  if (flat.scan(line)) {
    const FlatObject::Field* sources = flat.find("sources", 'a');
    if (sources) {
      t.counted = true;
      FlatObject::each_string(sources->text, [&](std::string_view s) {
        if (auto key = token_index::source_key(s)) keys.push_back(*key);
      });
    }
    const FlatObject::Field* revoked = flat.find("revoked", 'b');
    t.entry = sources && revoked && flat.find("token_count", 'u') && flat.find("tokenizer", 's');
    t.revoked = t.entry && revoked->text == "true";
    return t;
  }
  std::optional<std::vector<json::Member>> members = json::parse_members(line);
  std::optional<token_index::TokenIndexEntry> entry;
  if (!members) {
    // Not an object: an entry may still be written as an array.
    entry = token_index::parse(line);
  } else {
    // The last "sources" member counts, as when the line is read as a value.
    for (auto it = members->rbegin(); it != members->rend(); ++it) {
      if (it->first != "sources") continue;
      if (const json::Array* items = it->second.as_array()) {
        t.counted = true;
        for (const json::Value& item : *items) {
          if (const std::string* s = item.as_string()) {
            if (auto key = token_index::source_key(*s)) keys.push_back(*key);
          }
        }
      }
      break;
    }
    entry = token_index::from_members(*members);
  }
  if (entry) {
    t.entry = true;
    t.revoked = entry->revoked;
    if (!t.counted) {
      // An array-form entry: its sources index it, though the line has no
      // sources member to count.
      for (const std::string& s : entry->sources) {
        if (auto key = token_index::source_key(s)) keys.push_back(*key);
      }
    }
  }
  return t;
}

}  // namespace

BuildCounts build_index(const std::string& root) {
  BuildCounts counts;

  // Sections are read first: only sources that are section hashes matter
  // for the index records, so the document scan looks each source up in a
  // fixed table of them instead of collecting every source string.
  struct SectionLine {
    std::string hash;
    std::vector<std::string> authors;
  };
  std::vector<std::vector<SectionLine>> section_parts = scan_files<std::vector<SectionLine>>(
      layer_files(root, layout::kSections), [](std::string_view line, std::vector<SectionLine>& found) {
        thread_local FlatObject flat;
        if (flat.scan(line)) {
          const FlatObject::Field* hash = flat.find("section_hash", 's');
          if (!hash || hash->text.empty()) return;
          SectionLine s{std::string(hash->text), {}};
          if (const FlatObject::Field* authors = flat.find("authors", 'a')) {
            FlatObject::each_string(authors->text, [&](std::string_view a) { s.authors.emplace_back(a); });
          }
          found.push_back(std::move(s));
          return;
        }
        auto v = json::parse(line);
        if (!v) return;
        const json::Value* hash = member(*v, "section_hash");
        if (!hash || !hash->as_string() || hash->as_string()->empty()) return;
        SectionLine s{*hash->as_string(), {}};
        if (const json::Value* authors = member(*v, "authors"); authors && authors->as_array()) {
          for (const json::Value& a : *authors->as_array()) {
            if (const std::string* text = a.as_string()) s.authors.push_back(*text);
          }
        }
        found.push_back(std::move(s));
      });
  DenseIds<std::string_view> section_ids;
  for (const auto& part : section_parts) {
    for (const SectionLine& s : part) {
      if (shard_of(s.hash)) section_ids.insert(s.hash);
    }
  }
  const std::vector<std::string_view>& section_order = section_ids.keys();

  // 1. Section -> the document-index shards holding lines that cite it.  A
  // shard name is two bytes, held as one 16-bit code; one task per file
  // collects the file's (section, code) pairs.
  using Citations = std::vector<std::pair<uint32_t, uint16_t>>;
  std::vector<std::vector<uint16_t>> section_shards(section_order.size());
  const std::vector<std::string> document_files = layer_files(root, layout::kDocumentIndex);
  std::vector<Citations> citations =
      pool::ordered_map<Citations>(document_files.size(), [&](size_t f) {
        Citations found;
        std::optional<Mapping> map = mmap_file(document_files[f]);
        if (!map) return found;
        // The sources of the compact lines, looked up together once the
        // file is read (see DenseIds::find_many); other lines are looked
        // up as they come, so `found` is filled in two runs.
        std::vector<std::string_view> texts;
        std::vector<uint16_t> text_codes;
        FlatObject flat;
        for_each_line(map->view(), [&](std::string_view line) {
          if (flat.scan(line)) {
            const FlatObject::Field* sources = flat.find("sources", 'a');
            const FlatObject::Field* hash = flat.find("line_hash", 's');
            if (!sources || !hash || hash->text.empty()) return;
            const std::optional<uint16_t> shard = shard_of(hash->text);
            if (!shard) return;
            const uint16_t code = *shard;
            FlatObject::each_string(sources->text, [&](std::string_view text) {
              texts.push_back(text);
              text_codes.push_back(code);
            });
            return;
          }
          auto v = json::parse(line);
          if (!v) return;
          const json::Value* sources = member(*v, "sources");
          const json::Value* hash = member(*v, "line_hash");
          if (!sources || !sources->as_array() || !hash || !hash->as_string() ||
              hash->as_string()->empty()) {
            return;
          }
          const std::optional<uint16_t> shard = shard_of(*hash->as_string());
          if (!shard) return;
          const uint16_t code = *shard;
          for (const json::Value& s : *sources->as_array()) {
            const std::string* text = s.as_string();
            if (!text) continue;
            const uint32_t id = section_ids.find(*text);
            if (id != section_ids.kNone) found.emplace_back(id, code);
          }
        });
        std::vector<uint32_t> ids;
        section_ids.find_many(texts, ids);
        for (size_t i = 0; i < ids.size(); ++i) {
          if (ids[i] != section_ids.kNone) found.emplace_back(ids[i], text_codes[i]);
        }
        return found;
      });
  // A shard file's lines normally all name that shard: its pairs share one
  // code.  Taking such files in the order of their code appends each
  // section's codes in ascending order, each once, and leaves shard_names
  // nothing to sort.
  std::vector<size_t> order(citations.size());
  std::vector<uint32_t> file_code(citations.size());
  for (size_t f = 0; f < citations.size(); ++f) {
    order[f] = f;
    const Citations& part = citations[f];
    const bool one_code = std::all_of(
        part.begin(), part.end(), [&](const auto& c) { return c.second == part.front().second; });
    // Files of mixed codes, or none, come last.
    file_code[f] = part.empty() || !one_code ? 0x10000 : part.front().second;
  }
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return file_code[a] < file_code[b]; });
  for (size_t f : order) {
    for (const auto& [id, code] : citations[f]) {
      std::vector<uint16_t>& codes = section_shards[id];
      if (codes.empty() || codes.back() != code) codes.push_back(code);
    }
  }
  citations.clear();

  // 2. Each section's refs, and each author's sections shards.
  std::vector<std::vector<std::string>> section_refs(section_order.size());
  for (size_t id = 0; id < section_order.size(); ++id) section_refs[id] = shard_names(section_shards[id]);
  std::unordered_map<std::string, std::vector<uint16_t>> author_shards;
  std::vector<std::string> author_order;
  for (auto& part : section_parts) {
    for (SectionLine& s : part) {
      const std::optional<uint16_t> shard = shard_of(s.hash);
      if (!shard) continue;
      const uint16_t code = *shard;
      for (std::string& a : s.authors) {
        auto [shards, new_author] = author_shards.try_emplace(a);
        if (new_author) author_order.push_back(a);
        shards->second.push_back(code);
      }
    }
  }
  counts.authors = author_shards.size();
  counts.sections = section_order.size();
  counts.total = counts.authors + counts.sections;

  // 3. The index records, grouped by the shard their id names.
  struct IndexRecord {
    std::string_view id;
    std::vector<std::string> refs;
  };
  std::map<std::string, std::vector<IndexRecord>> groups;
  for (const std::string& a : author_order) {
    std::optional<std::string> prefix = prefix_of(a);
    if (!prefix) continue;
    groups[*prefix].push_back({a, shard_names(author_shards[a])});
  }
  for (size_t id = 0; id < section_order.size(); ++id) {
    groups[*prefix_of(section_order[id])].push_back({section_order[id], std::move(section_refs[id])});
  }

  // 4. The index layer: each shard file replaced whole, then the files of
  // the previous build that no longer have records removed.
  const std::string index_dir = layout::layer_dir(root, layout::kIndexLayer);
  create_dir_all(index_dir);
  for (const auto& [name, records] : groups) {
    std::string out;
    for (const IndexRecord& r : records) {
      json::ObjectWriter(out).field("id", r.id).field("refs", r.refs).close();
      out.push_back('\n');
    }
    const std::string path = join(index_dir, name);
    // A shard whose records did not change is left as it is.
    if (std::optional<Mapping> old = mmap_file(path); old && old->view() == out) continue;
    vl::replace_file(path, out);
  }
  for (const DirEntry& e : list_dir(index_dir)) {
    if (!groups.count(e.name) && is_regular(e.path)) remove_file(e.path);
  }

  // 5. Binary index entries from the records: ids that are 64 hex digits.
  // Ids that decode to the same key (the same hash written in upper and in
  // lower case) become one entry with the union of their references.  Each
  // entry's references are kept encoded as the file holds them: its shard
  // references first, then token-line references while its area has room.
  DenseIds<IndexKey> position;
  std::vector<std::string> areas;
  {
    std::vector<std::vector<uint8_t>> shards;
    for (const auto& [name, records] : groups) {
      for (const IndexRecord& r : records) {
        std::optional<token_index::SourceKey> key = token_index::source_key(r.id);
        if (!key) continue;
        const uint32_t slot = position.insert(*key).first;
        if (slot == shards.size()) shards.emplace_back();
        for (const std::string& ref : r.refs) {
          if (auto b = parse_shard_byte(ref)) shards[slot].push_back(*b);
        }
      }
    }
    areas.resize(shards.size());
    for (size_t i = 0; i < shards.size(); ++i) {
      std::sort(shards[i].begin(), shards[i].end());
      shards[i].erase(std::unique(shards[i].begin(), shards[i].end()), shards[i].end());
      for (uint8_t b : shards[i]) encode_shard_ref(areas[i], b);
    }
  }

  // 6. Token lines of every tokenizer; the same walk feeds the tokenizer's
  // binary index (step 8).  Token keys share `position` with the records;
  // a key that only entries list gets a number there but no entry in the
  // document binary index (`listed`).
  std::vector<bool> listed(areas.size(), true);
  struct TokenBuild {
    std::string tokenizer;
    token_index::GroupedEntries entries;
  };
  // The lines of one task: where each lies, its facts and, one range each,
  // its keys (with their numbers in `position`, filled when they are taken).
  struct ParsedLines {
    std::vector<std::pair<size_t, size_t>> spans;
    std::vector<TokenLineInfo> info;
    std::vector<uint32_t> key_end;
    std::vector<token_index::SourceKey> keys;
    std::vector<uint32_t> slots;
  };
  // Token-line references are collected first, with the number of their
  // key, and appended to the areas after the walk (the tokenizer numbered by
  // its place in token_builds).
  struct TokenRef {
    uint32_t offset;
    uint32_t length;
    uint32_t tokenizer;
    uint16_t number;
  };
  Buckets<TokenRef> ref_keys;
  // Buffers for the tasks between their parse and the taking of their lines.
  std::vector<ParsedLines> parts(2 * pool::size());
  std::vector<TokenBuild> token_builds;
  const std::vector<std::string> tokenizers = token_index::list_tokenizers(root);
  for (const std::string& tokenizer : tokenizers) {
    if (!is_dir(layout::token_merged_dir(root, tokenizer))) continue;
    TokenBuild build{tokenizer, {}};
    token_index::GroupedEntries& grouped = build.entries;
    // (key number in `position`, entry number) for each key an entry lists.
    Buckets<uint32_t> entry_keys;
    const bool name_fits = tokenizer.size() <= kMaxNameLen;
    for (const auto& file : token_index::get_merged_files(root, tokenizer)) {
      // (Named, not bound: the lambdas below take it by reference.)
      const auto number = file.first;
      std::optional<Mapping> map = mmap_file(file.second);
      if (!map) continue;
      const std::string_view bytes = map->view();
      // Tasks of about kBytesPerTask whole lines each, task t from
      // starts[t] to starts[t + 1].
      std::vector<size_t> starts{0};
      for (size_t end : scan::chunk_ends(bytes, kBytesPerTask)) starts.push_back(end);
      const size_t tasks = starts.size() - 1;
      // Each task refills the buffers of its place in `parts`.
      auto parse = [&](size_t t, ParsedLines& out) {
        out.spans.clear();
        out.info.clear();
        out.key_end.clear();
        out.keys.clear();
        out.slots.clear();
        FlatObject scanner;
        for (size_t pos = starts[t]; pos < starts[t + 1];) {
          const size_t nl = bytes.find('\n', pos);
          const size_t end = nl == std::string_view::npos ? bytes.size() : nl;
          if (end > pos) {
            out.spans.emplace_back(pos, end - pos);
            out.info.push_back(read_token_line(bytes.substr(pos, end - pos), scanner, out.keys));
            out.key_end.push_back(static_cast<uint32_t>(out.keys.size()));
          }
          pos = end + 1;
        }
      };
      const bool fits_file = name_fits && number <= std::numeric_limits<uint16_t>::max();
      // A task's lines are taken in file order as soon as it is parsed
      // (and every earlier one taken), while its keys are still in the
      // cache; the key table grows only here, one task at a time.
      auto take = [&](size_t t) {
        ParsedLines& part = parts[t % parts.size()];
        position.find_many(part.keys, part.slots);
        for (size_t j = 0; j < part.keys.size(); ++j) {
          if (part.slots[j] != position.kNone) continue;
          const auto [slot, added] = position.insert(part.keys[j]);
          if (added) {
            areas.emplace_back();
            listed.push_back(false);
          }
          part.slots[j] = slot;
        }
        for (size_t k = 0; k < part.info.size(); ++k) {
          const TokenLineInfo& line = part.info[k];
          const auto [offset, length] = part.spans[k];
          const size_t first = k == 0 ? 0 : part.key_end[k - 1], last = part.key_end[k];
          if (line.entry) {
            const auto entry = static_cast<uint32_t>(grouped.revoked.size());
            for (size_t j = first; j < last; ++j) entry_keys.add(part.slots[j], entry);
            grouped.revoked.push_back(line.revoked ? 1 : 0);
            grouped.locations.push_back({number, offset, length});
          }
          if (!line.counted) continue;
          ++counts.token_index_entries;
          if (!fits_file || offset > std::numeric_limits<uint32_t>::max() ||
              length > std::numeric_limits<uint32_t>::max()) {
            continue;
          }
          const TokenRef r{static_cast<uint32_t>(offset), static_cast<uint32_t>(length),
                           static_cast<uint32_t>(token_builds.size()), static_cast<uint16_t>(number)};
          for (size_t j = first; j < last; ++j) {
            listed[part.slots[j]] = true;
            ref_keys.add(part.slots[j], r);
          }
        }
      };
      pool::for_each_in_order(
          tasks, parts.size(), [&](size_t t) { parse(t, parts[t % parts.size()]); }, take);
    }
    std::vector<std::vector<uint32_t>> lists(position.size());
    entry_keys.for_each([&](uint32_t slot, uint32_t entry) { lists[slot].push_back(entry); });
    for (size_t id = 0; id < lists.size(); ++id) {
      if (!lists[id].empty()) grouped.sources.emplace_back(position.keys()[id], std::move(lists[id]));
    }
    token_builds.push_back(std::move(build));
  }

  // The token-line references, each key's in walk order, as long as its
  // area has room.  A reference is encoded once into a template with its
  // tokenizer's name, the numbers patched in.
  {
    std::vector<std::string> templates;
    for (const TokenBuild& b : token_builds) {
      templates.emplace_back();
      if (b.tokenizer.size() <= kMaxNameLen) encode_token_line_ref(templates.back(), b.tokenizer, 0, 0, 0);
    }
    ref_keys.for_each([&](uint32_t slot, const TokenRef& t) {
      std::string& ref = templates[t.tokenizer];
      std::string& area = areas[slot];
      if (area.size() + ref.size() > kMaxRefsLen) return;
      char* numbers = ref.data() + ref.size() - 10;
      put_le(numbers, t.number, 2);
      put_le(numbers + 2, t.offset, 4);
      put_le(numbers + 6, t.length, 4);
      area.append(ref);
    });
  }

  // 7. The document binary index.
  std::vector<std::pair<IndexKey, std::string>> entries;
  entries.reserve(areas.size());
  for (size_t i = 0; i < areas.size(); ++i) {
    if (listed[i]) entries.emplace_back(position.keys()[i], std::move(areas[i]));
  }
  BinaryIndex::build_encoded(root, std::move(entries));

  // 8. Each tokenizer's binary index; a tokenizer whose index cannot be
  // built (its limits are exceeded) is left without one.
  for (TokenBuild& b : token_builds) {
    try {
      token_index::TokenBinIndexBuilder::build(root, b.tokenizer, std::move(b.entries));
    } catch (const Error&) {
    }
  }

  // 9. Line-offset blocks for the data files at the top of the project root.
  for (const DirEntry& e : list_dir(root)) {
    const size_t dot = e.name.rfind('.');
    if (dot == std::string::npos || dot == 0 || e.name.compare(dot + 1, std::string::npos, "jsonl") != 0) {
      continue;
    }
    if (!is_regular(e.path)) continue;
    BinaryIndex::append_line_offsets(root, e.path);
  }
  return counts;
}

}  // namespace vl::index
