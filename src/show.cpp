#include "show.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <set>
#include <string_view>
#include <unordered_set>

#include "authors.hpp"
#include "binary_index.hpp"
#include "error.hpp"
#include "fs.hpp"
#include "record.hpp"
#include "register.hpp"
#include "scan.hpp"
#include "storage.hpp"
#include "generate_set.hpp"

namespace vl::show {

namespace {

using documents::DocumentRecord;
using sections::Section;
using StringSet = std::unordered_set<std::string>;

// Runs per_line over every line of every regular file of a layer, one task
// per file on the pool, and joins the per-file results in listing order.  A
// file that cannot be mapped contributes nothing.
template <typename T, typename PerLine>
std::vector<T> scan_layer(const std::string& root, std::string_view layer, PerLine per_line) {
  return scan::dir<T>(layout::layer_dir(root, layer), scan::Files::Regular,
                      {.unreadable = scan::Unreadable::Skip, .run = scan::Run::PerFile},
                      [&](const scan::Line& line, std::vector<T>& found) { per_line(line.text, found); });
}

// Scans are dominated by parsing lines that cannot match, so each scan
// first asks the raw line whether a match is possible at all (see
// record::may_hold_string for why the answer is exact).

bool is_hash_text(std::string_view s) {
  return s.size() == 64 && std::all_of(s.begin(), s.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
         });
}

}  // namespace

// ---------------------------------------------------------------------------
// Prefilter on quoted hashes

namespace {

// Hex digit values; 0xFF for bytes that are not hex digits.
constexpr std::array<uint8_t, 256> kHexValue = [] {
  std::array<uint8_t, 256> t{};
  for (auto& v : t) v = 0xFF;
  for (int c = 0; c < 10; ++c) t[static_cast<size_t>('0' + c)] = static_cast<uint8_t>(c);
  for (int c = 0; c < 6; ++c) {
    t[static_cast<size_t>('a' + c)] = static_cast<uint8_t>(10 + c);
    t[static_cast<size_t>('A' + c)] = static_cast<uint8_t>(10 + c);
  }
  return t;
}();

// The 32 bytes that 64 hex digits stand for; false when one is not a digit.
bool decode_hash(const char* hex, HashTokenFilter::Key& out) {
  uint8_t bad = 0;
  for (size_t i = 0; i < 32; ++i) {
    uint8_t hi = kHexValue[static_cast<unsigned char>(hex[2 * i])];
    uint8_t lo = kHexValue[static_cast<unsigned char>(hex[2 * i + 1])];
    bad |= static_cast<uint8_t>(hi | lo);
    out[i] = static_cast<uint8_t>(hi << 4 | (lo & 0x0F));
  }
  return (bad & 0xF0) == 0;
}

uint64_t key_hash(const HashTokenFilter::Key& k) {
  uint64_t h;
  std::memcpy(&h, k.data(), 8);
  return h * 0x9E3779B97F4A7C15ULL;
}

}  // namespace

HashTokenFilter::HashTokenFilter(const std::vector<std::string>& hex_values) {
  size_t cap = 16;
  while (cap < hex_values.size() * 2) cap *= 2;
  slots_.assign(cap, Key{});
  used_.assign(cap, false);
  mask_ = cap - 1;
  for (const std::string& v : hex_values) {
    Key k;
    if (v.size() != 64 || !decode_hash(v.data(), k)) continue;
    size_t i = key_hash(k) & mask_;
    while (used_[i] && slots_[i] != k) i = (i + 1) & mask_;
    slots_[i] = k;
    used_[i] = true;
  }
}

bool HashTokenFilter::contains(const Key& k) const {
  if (slots_.empty()) return false;
  for (size_t i = key_hash(k) & mask_; used_[i]; i = (i + 1) & mask_) {
    if (slots_[i] == k) return true;
  }
  return false;
}

bool HashTokenFilter::any_in(std::string_view line) const {
  const char* p = line.data();
  const char* end = p + line.size();
  Key k;
  while (end - p >= 66) {
    const char* q = static_cast<const char*>(std::memchr(p, '"', static_cast<size_t>(end - p) - 65));
    if (!q) return false;
    if (q[65] == '"' && decode_hash(q + 1, k)) {
      if (contains(k)) return true;
      p = q + 66;
    } else {
      p = q + 1;
    }
  }
  return false;
}

namespace {

// The wanted values of a scan, with the prefilter they allow.
class Wanted {
 public:
  explicit Wanted(const std::vector<std::string>& values) : set_(values.begin(), values.end()) {
    hashes_only_ = std::all_of(values.begin(), values.end(), is_hash_text);
    if (hashes_only_) tokens_ = HashTokenFilter(values);
    if (set_.size() <= kFewValues) few_.assign(set_.begin(), set_.end());
  }
  bool contains(const std::string& s) const { return set_.count(s) != 0; }
  bool contains_any(const std::vector<std::string>& items) const {
    return std::any_of(items.begin(), items.end(), [&](const std::string& s) { return contains(s); });
  }
  // False only when no quoted 64-digit hash in the line is a wanted value.
  bool may_occur_in(std::string_view line) const {
    if (!hashes_only_ || line.find('\\') != std::string_view::npos) return true;
    if (set_.size() <= kFewValues) {
      // A single value: a plain substring search is faster
      // than looking at every quoted token.
      return std::any_of(few_.begin(), few_.end(),
                         [&](const std::string& v) { return line.find(v) != std::string_view::npos; });
    }
    return tokens_.any_in(line);
  }

 private:
  static constexpr size_t kFewValues = 1;
  StringSet set_;
  std::vector<std::string> few_;
  bool hashes_only_;
  HashTokenFilter tokens_;
};

bool cites_any(const DocumentRecord& d, const StringSet& wanted) {
  return std::any_of(d.sources.begin(), d.sources.end(),
                     [&](const std::string& s) { return wanted.count(s) != 0; });
}

bool written_by_any(const Section& s, const StringSet& ids) {
  return std::any_of(s.authors.begin(), s.authors.end(),
                     [&](const std::string& a) { return ids.count(a) != 0; });
}

// The author query through the binary index: only the section shards that
// hold the authors' sections and the document shards that hold lines citing
// them are read.  Shards are visited in name order, so the result is stable.
std::vector<DocumentRecord> show_by_author_indexed(const std::string& root,
                                                   const std::vector<std::string>& ids) {
  std::optional<BinaryIndex> index = BinaryIndex::open(root);
  if (!index) throw Error("binary index not found");
  StringSet id_set(ids.begin(), ids.end());

  // Serial: the set of matched sections is filled in line order.
  const scan::Options serial{.unreadable = scan::Unreadable::Fail, .run = scan::Run::Serial};
  auto shard_paths = [&](std::string_view layer, const std::vector<std::string>& keys) {
    std::vector<std::string> paths;
    for (const std::string& name : index->shard_names(keys)) {
      paths.push_back(join(layout::layer_dir(root, layer), name));
    }
    return paths;
  };
  StringSet matched_set;
  std::vector<std::string> matched = scan::files<std::string>(
      shard_paths(layout::kSections, ids), serial, [&](const scan::Line& line, auto& found) {
        auto s = sections::parse(line.text);
        if (s && written_by_any(*s, id_set) && matched_set.insert(s->section_hash).second) {
          found.push_back(s->section_hash);
        }
      });
  return scan::files<DocumentRecord>(
      shard_paths(layout::kDocumentIndex, matched), serial, [&](const scan::Line& line, auto& found) {
        auto d = documents::parse(line.text);
        if (d && cites_any(*d, matched_set)) found.push_back(std::move(*d));
      });
}

}  // namespace

std::vector<std::string> find_author_sections_parallel(const std::string& root,
                                                       const std::vector<std::string>& author_ids) {
  Wanted ids(author_ids);
  return scan_layer<std::string>(root, layout::kSections, [&](std::string_view line, auto& found) {
    if (!ids.may_occur_in(line)) return;
    auto s = sections::parse(line);
    if (s && ids.contains_any(s->authors)) found.push_back(std::move(s->section_hash));
  });
}

static std::vector<std::string> find_license_sections_parallel(const std::string& root,
                                                               const std::string& license) {
  return scan_layer<std::string>(root, layout::kSections, [&](std::string_view line, auto& found) {
    if (!record::may_hold_string(line, license)) return;
    auto s = sections::parse(line);
    if (s && s->license == license) found.push_back(std::move(s->section_hash));
  });
}

std::vector<DocumentRecord> find_documents_for_sections_parallel(
    const std::string& root, const std::vector<std::string>& section_hashes) {
  Wanted wanted(section_hashes);
  return scan_layer<DocumentRecord>(root, layout::kDocumentIndex, [&](std::string_view line, auto& found) {
    if (!wanted.may_occur_in(line)) return;
    auto d = documents::parse(line);
    if (d && wanted.contains_any(d->sources)) found.push_back(std::move(*d));
  });
}

std::vector<DocumentRecord> show_by_section(const std::string& root, const std::string& section_hash) {
  return find_documents_for_sections_parallel(root, {section_hash});
}

std::vector<DocumentRecord> show_by_license(const std::string& root, const std::string& license) {
  std::vector<std::string> found = find_license_sections_parallel(root, license);
  if (found.empty()) return {};
  return find_documents_for_sections_parallel(root, found);
}

std::vector<DocumentRecord> show_by_author(const std::string& root, const std::string& author_name) {
  bool indexed = BinaryIndex::open(root).has_value();  // errors propagate
  std::vector<std::string> ids;
  for (const authors::Author& a : authors::query(root, author_name, std::nullopt)) {
    ids.push_back(a.id);
  }
  if (ids.empty()) return {};
  if (indexed) return show_by_author_indexed(root, ids);
  std::vector<std::string> found = find_author_sections_parallel(root, ids);
  if (found.empty()) return {};
  return find_documents_for_sections_parallel(root, found);
}

AuthorTokens show_by_author_token(const std::string& root, const std::string& author_name,
                                  const std::string& tokenizer) {
  token_index::check_tokenizer(tokenizer);
  AuthorTokens out;
  std::vector<std::string> ids;
  for (const authors::Author& a : authors::query(root, author_name, std::nullopt)) ids.push_back(a.id);
  if (ids.empty()) return out;
  std::vector<std::string> sections = find_author_sections_parallel(root, ids);
  std::optional<std::vector<token_index::TokenIndexEntry>> found;
  if (auto index = token_index::open_fresh(root, tokenizer)) {
    std::vector<token_index::SourceKey> keys;
    for (const std::string& s : sections) {
      if (auto k = token_index::source_key(s)) keys.push_back(*k);
    }
    found = token_index::read_entries_through_index(root, tokenizer, *index,
                                                    index->lookup_by_sources(keys), true);
  }
  if (!found) {
    token_index::SourceSet targets(sections.begin(), sections.end());
    found = token_index::find_entries_by_sources_fast(root, tokenizer, targets);
    std::erase_if(*found, [](const token_index::TokenIndexEntry& e) { return e.revoked; });
  }
  out.entries = std::move(*found);
  for (const auto& e : out.entries) out.total_tokens += e.token_count;
  out.document_count = out.entries.size();
  return out;
}

}  // namespace vl::show
