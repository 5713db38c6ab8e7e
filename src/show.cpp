#include "show.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <set>
#include <span>
#include <string_view>
#include <unordered_set>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
// Looked up by std::string or std::string_view alike.
struct TextHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};
using StringSet = std::unordered_set<std::string, TextHash, std::equal_to<>>;

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
// Packed results

void DocumentList::add(std::string_view line_hash, std::string_view file,
                       std::span<const std::string_view> sources) {
  Entry e{put(line_hash), put(file), sources_.size(), sources.size()};
  for (std::string_view source : sources) sources_.push_back(put(source));
  entries_.push_back(e);
}

void DocumentList::add(const DocumentRecord& d) {
  std::vector<std::string_view> sources(d.sources.begin(), d.sources.end());
  add(d.line_hash, d.file, sources);
}

// ---------------------------------------------------------------------------
// Prefilter on quoted hashes

namespace {

uint64_t head_of(const char* token) {
  uint64_t h;
  std::memcpy(&h, token, 8);
  return h;
}

size_t slot_of(uint64_t head, size_t mask) { return static_cast<size_t>((head * 0x9E3779B97F4A7C15ULL) >> 40) & mask; }

}  // namespace

HashTokenFilter::HashTokenFilter(const std::vector<std::string>& hex_values) {
  // Mostly empty slots: most tokens looked up are not wanted, and an empty
  // first slot answers at once.
  size_t cap = 64;
  while (cap < hex_values.size() * 8) cap *= 2;
  heads_.assign(cap, 0);
  values_.assign(cap, {});
  mask_ = cap - 1;
  for (const std::string& v : hex_values) {
    if (!is_hash_text(v)) continue;
    const uint64_t head = head_of(v.data());  // hex digits: never zero
    size_t i = slot_of(head, mask_);
    while (heads_[i] != 0 && std::memcmp(values_[i].data(), v.data(), 64) != 0) i = (i + 1) & mask_;
    heads_[i] = head;
    std::memcpy(values_[i].data(), v.data(), 64);
  }
}

bool HashTokenFilter::contains(const char* token) const {
  if (heads_.empty()) return false;
  const uint64_t head = head_of(token);
  for (size_t i = slot_of(head, mask_); heads_[i] != 0; i = (i + 1) & mask_) {
    if (heads_[i] == head && std::memcmp(values_[i].data(), token, 64) == 0) return true;
  }
  return false;
}

bool HashTokenFilter::any_in(std::string_view line) const {
  if (heads_.empty() || line.size() < 66) return false;
  const char* s = line.data();
  const size_t last = line.size() - 66;  // the last place a token's opening quote can be
  size_t q = 0;
#if defined(__SSE2__)
  // Sixteen candidate places at a time: a quote there and another 65 bytes
  // further on.
  const __m128i quote = _mm_set1_epi8('"');
  for (; q + 16 <= last + 1; q += 16) {
    const __m128i open = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + q)), quote);
    const __m128i close = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + q + 65)), quote);
    for (unsigned m = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(open, close))); m != 0; m &= m - 1) {
      if (contains(s + q + static_cast<size_t>(__builtin_ctz(m)) + 1)) return true;
    }
  }
#endif
  for (; q <= last; ++q) {
    if (s[q] == '"' && s[q + 65] == '"' && contains(s + q + 1)) return true;
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
  bool contains(std::string_view s) const {
    if (hashes_only_) return tokens_.contains(s);
    return set_.find(s) != set_.end();
  }
  template <typename Items>
  bool contains_any(const Items& items) const {
    return std::any_of(items.begin(), items.end(), [&](std::string_view s) { return contains(s); });
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
DocumentLists show_by_author_indexed(const std::string& root, const std::vector<std::string>& ids) {
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
  DocumentLists out(1);
  scan::files<DocumentRecord>(shard_paths(layout::kDocumentIndex, matched), serial,
                              [&](const scan::Line& line, auto&) {
                                auto d = documents::parse(line.text);
                                if (d && cites_any(*d, matched_set)) out.front().add(*d);
                              });
  return out;
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

namespace {

// A document line exactly as the store writes it, read in place:
//   {"file":S,"line_hash":S,"revoked":false|true,"source_type":S,"sources":[S,...]}
// without spaces, every S printable ASCII without quote or backslash, and at
// most kMaxSources sources.  Such a line is one JSON object holding each key
// once, so it reads as the JSON reader would read it; any other line
// (other spacing or order, escapes, non-ASCII text, more keys) is left to
// the JSON reader.
struct DocumentView {
  static constexpr size_t kMaxSources = 16;
  std::string_view file, line_hash;
  std::array<std::string_view, kMaxSources> source_items;
  size_t source_count = 0;

  std::span<const std::string_view> sources() const { return {source_items.data(), source_count}; }
};

class LineReader {
 public:
  explicit LineReader(std::string_view line) : p_(line.data()), end_(line.data() + line.size()) {}

  bool literal(std::string_view text) {
    if (static_cast<size_t>(end_ - p_) < text.size() || std::memcmp(p_, text.data(), text.size()) != 0) {
      return false;
    }
    p_ += text.size();
    return true;
  }
  bool string(std::string_view& out) {
    if (p_ == end_ || *p_ != '"') return false;
    const char* begin = ++p_;
#if defined(__SSE2__)
    // Sixteen bytes at a time: the first quote, and whether any byte before
    // it is a control character, a backslash, DEL or not ASCII.
    const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\'), del = _mm_set1_epi8(0x7F);
    const __m128i below_space = _mm_set1_epi8(0x20);
    for (; end_ - p_ >= 16; p_ += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p_));
      const unsigned quotes = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, quote)));
      const __m128i bad = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, backslash), _mm_cmpeq_epi8(v, del)),
                                       _mm_cmplt_epi8(v, below_space));  // signed: also bytes from 0x80
      const unsigned bads = static_cast<unsigned>(_mm_movemask_epi8(bad));
      if (quotes == 0) {
        if (bads != 0) return false;
        continue;
      }
      const unsigned at = static_cast<unsigned>(__builtin_ctz(quotes));
      if ((bads & ((1u << at) - 1)) != 0) return false;
      out = std::string_view(begin, static_cast<size_t>(p_ + at - begin));
      p_ += at + 1;
      return true;
    }
#endif
    for (; p_ != end_; ++p_) {
      const unsigned char c = static_cast<unsigned char>(*p_);
      if (c == '"') {
        out = std::string_view(begin, static_cast<size_t>(p_ - begin));
        ++p_;
        return true;
      }
      if (c < 0x20 || c >= 0x7F || c == '\\') return false;
    }
    return false;
  }
  bool at_end() const { return p_ == end_; }

 private:
  const char* p_;
  const char* end_;
};

bool read_document(std::string_view line, DocumentView& d) {
  LineReader r(line);
  std::string_view source_type;
  if (!r.literal("{\"file\":") || !r.string(d.file) || !r.literal(",\"line_hash\":") || !r.string(d.line_hash) ||
      !r.literal(",\"revoked\":") || !(r.literal("false") || r.literal("true")) ||
      !r.literal(",\"source_type\":") || !r.string(source_type) || !r.literal(",\"sources\":[")) {
    return false;
  }
  d.source_count = 0;
  if (!r.literal("]")) {
    do {
      if (d.source_count == DocumentView::kMaxSources || !r.string(d.source_items[d.source_count])) return false;
      ++d.source_count;
    } while (r.literal(","));
    if (!r.literal("]")) return false;
  }
  return r.literal("}") && r.at_end();
}

}  // namespace

DocumentLists find_documents_for_sections_parallel(const std::string& root,
                                                   const std::vector<std::string>& section_hashes) {
  Wanted wanted(section_hashes);
  // Each file's records go to one packed list (the file's vector holds at
  // most that one); the lists come in file order.
  return scan_layer<DocumentList>(root, layout::kDocumentIndex, [&](std::string_view line, auto& found) {
    if (!wanted.may_occur_in(line)) return;
    auto list = [&]() -> DocumentList& {
      if (found.empty()) found.emplace_back();
      return found.back();
    };
    // The record is kept only for a line that truly cites a wanted section.
    if (DocumentView v; read_document(line, v)) {
      if (wanted.contains_any(v.sources())) list().add(v.line_hash, v.file, v.sources());
      return;
    }
    auto d = documents::parse(line);
    if (d && wanted.contains_any(d->sources)) list().add(*d);
  });
}

DocumentLists show_by_section(const std::string& root, const std::string& section_hash) {
  return find_documents_for_sections_parallel(root, {section_hash});
}

DocumentLists show_by_license(const std::string& root, const std::string& license) {
  std::vector<std::string> found = find_license_sections_parallel(root, license);
  if (found.empty()) return {};
  return find_documents_for_sections_parallel(root, found);
}

DocumentLists show_by_author(const std::string& root, const std::string& author_name) {
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
