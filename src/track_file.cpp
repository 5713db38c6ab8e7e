#include "track_file.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "clock.hpp"
#include "error.hpp"
#include "fs.hpp"
#include "hash.hpp"
#include "json.hpp"
#include "layout.hpp"
#include "pool.hpp"
#include "scan.hpp"
#include "token_index.hpp"
#include "utf8.hpp"

namespace vl {

// ---------------------------------------------------------------------------
// Whitespace tokens

namespace {

// The characters str.split() breaks at, beyond ASCII.
bool is_unicode_space(char32_t c) {
  return c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
         c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

int hex_value(char c) { return c <= '9' ? c - '0' : c - 'a' + 10; }

// Reads the character at p, which is not plain ASCII (an escape or a
// character beyond ASCII), and says whether it is white space; leaves p
// past it.
bool special_is_space(const char*& p, const char* end) {
  if (*p == '\\') {
    char e = p[1];
    if (e == 'u') {
      int v = hex_value(p[4]) * 16 + hex_value(p[5]);
      p += 6;
      return v == 0x0B || (v >= 0x1C && v <= 0x1F);
    }
    p += 2;
    return e == 't' || e == 'n' || e == 'r' || e == 'f';
  }
  char32_t cp = 0;
  size_t n = utf8::decode(std::string_view(p, static_cast<size_t>(end - p)), &cp);
  p += n == 0 ? 1 : n;
  return is_unicode_space(cp);
}

// Leaves p past the closing quote of the canonical string whose opening
// quote is at p[-1].  (An escape's first two bytes are skipped together;
// the hex digits of a \u escape are never a quote or a backslash.)
void skip_string(const char*& p, const char* end) {
  while (p < end) {
    char c = *p;
    if (c == '"') break;
    p += c == '\\' ? 2 : 1;
  }
  ++p;
}

// Whether byte c needs special_is_space (or ends the string): the quote,
// the backslash, and the lead bytes of the only characters beyond ASCII
// that are white space (U+0085 and U+00A0 after C2, U+1680 after E1, the
// U+2000 block after E2, U+3000 after E3).  Every other byte, the bytes of
// all other characters beyond ASCII included, is part of a word unless it
// is the space.
constexpr bool is_special(unsigned char c) {
  return c == '"' || c == '\\' || c == 0xC2 || (c >= 0xE1 && c <= 0xE3);
}

// The number of bits set in x < 2^16, by table (no population count
// instruction is assumed of the processor).
constexpr std::array<uint8_t, 256> kBitsSet = [] {
  std::array<uint8_t, 256> t{};
  for (int i = 0; i < 256; ++i) t[static_cast<size_t>(i)] = static_cast<uint8_t>(std::popcount(static_cast<unsigned>(i)));
  return t;
}();
inline uint64_t bits16(unsigned x) { return kBitsSet[x & 0xFF] + kBitsSet[x >> 8 & 0xFF]; }

// The first quote at or after p, or end.
const char* find_quote(const char* p, const char* end) {
#ifdef __SSE2__
  const __m128i quote = _mm_set1_epi8('"');
  while (end - p >= 16) {
    auto bits = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), quote)));
    if (bits) return p + std::countr_zero(bits);
    p += 16;
  }
#endif
  while (p < end && *p != '"') ++p;
  return p;
}

// Counts the runs of non-white-space characters of the canonical string
// whose opening quote is at p[-1]; leaves p past the closing quote.  The
// plain stretches between special bytes are counted 16 bytes at a time: a
// run starts at every byte that is not a space and follows a space (or
// the start of the string, or a white-space character).
uint64_t string_runs(const char*& p, const char* end) {
  uint64_t runs = 0;
  unsigned in_word = 0;
  for (;;) {
#ifdef __SSE2__
    const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\'), space = _mm_set1_epi8(' ');
    const __m128i c2 = _mm_set1_epi8(static_cast<char>(0xC2)), e1 = _mm_set1_epi8(static_cast<char>(0xE1));
    const __m128i two = _mm_set1_epi8(2);
    while (end - p >= 16) {
      __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      __m128i from_e1 = _mm_sub_epi8(v, e1);  // 0, 1, 2 for E1, E2, E3
      __m128i special = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                                     _mm_or_si128(_mm_cmpeq_epi8(v, c2),
                                                  _mm_cmpeq_epi8(_mm_min_epu8(from_e1, two), from_e1)));
      auto special_bits = static_cast<unsigned>(_mm_movemask_epi8(special));
      auto space_bits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, space)));
      unsigned plain = special_bits ? static_cast<unsigned>(std::countr_zero(special_bits)) : 16;
      unsigned word = ~space_bits & ((1u << plain) - 1);
      runs += bits16(word & ~(word << 1 | in_word));
      if (plain) in_word = word >> (plain - 1) & 1;
      p += plain;
      if (plain < 16) break;
    }
#endif
    if (p >= end) break;
    auto c = static_cast<unsigned char>(*p);
    bool is_space;
    if (!is_special(c)) {
      is_space = c == ' ';
      ++p;
    } else if (c == '"') {
      break;
    } else {
      is_space = special_is_space(p, end);
    }
    runs += !is_space && !in_word;
    in_word = !is_space;
  }
  ++p;  // the closing quote
  return runs;
}

// The whitespace count of a canonical text; `field_key` is the canonical
// text of the field's name (quotes included), or null to count every
// string value.
std::optional<uint64_t> count_tokens(std::string_view canonical, const std::string* field_key) {
  const char* p = canonical.data();
  const char* end = p + canonical.size();
  bool field = field_key != nullptr;
  if (!field) {
    // Outside strings canonical text holds no quote, and a string is a key
    // exactly when a colon follows it (there is no white space between).
    uint64_t total = 0;
    while ((p = find_quote(p, end)) < end) {
      ++p;
      uint64_t runs = string_runs(p, end);
      if (p >= end || *p != ':') total += runs;
    }
    return total;
  }
  // The string at the field of the top-level object: its keys are compared
  // in turn, nested values are passed by counting brackets outside strings.
  if (canonical.empty() || canonical[0] != '{') return std::nullopt;
  int depth = 0;
  bool key_next = false;  // whether the next string is a key of the top-level object
  while (p < end) {
    char c = *p++;
    if (c == '"') {
      const char* start = p - 1;
      skip_string(p, end);
      if (!key_next) continue;
      key_next = false;
      if (std::string_view(start, static_cast<size_t>(p - start)) != *field_key) continue;
      if (end - p < 2 || p[1] != '"') return std::nullopt;  // p is at the colon
      p += 2;
      return string_runs(p, end);
    }
    if (c == '{' || c == '[') {
      key_next = ++depth == 1;
    } else if (c == '}' || c == ']') {
      --depth;
    } else if (c == ',') {
      key_next = depth == 1;
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<uint64_t> whitespace_tokens(std::string_view canonical, const std::optional<std::string>& field) {
  if (!field) return count_tokens(canonical, nullptr);
  std::string field_key;
  json::write_string(field_key, *field);
  return count_tokens(canonical, &field_key);
}

// ---------------------------------------------------------------------------
// Tracking

namespace {

enum class LineState : uint8_t { Blank, Valid, Invalid };

struct LineOut {
  uint32_t line_in_chunk;  // 0-based physical line within the chunk
  uint32_t offset;         // where the line starts in the chunk
  LineState state;
  Digest digest;
  uint64_t tokens;
};

struct ChunkOut {
  std::vector<LineOut> lines;
  uint64_t physical_lines = 0;
};

// Bytes of one chunk of whole lines, the unit of work on the pool.
constexpr size_t kChunkBytes = size_t{1} << 20;


bool is_blank(std::string_view line) {
  return std::all_of(line.begin(), line.end(), [](char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
  });
}

// Where the time goes, added up from every thread.
struct Clocks {
  std::atomic<uint64_t> hash{0}, tokens{0};
  uint64_t record = 0, write = 0;  // the calling thread's
};

// Hashes the lines of one chunk; `field_key` as count_tokens takes it.
// With `clocks`, the time spent is added there.
ChunkOut hash_chunk(std::string_view chunk, bool with_tokens, const std::string* field_key, Clocks* clocks) {
  uint64_t started = clocks ? thread_cpu_ns() : 0, token_ns = 0;
  ChunkOut out;
  out.lines.reserve(chunk.size() / 256 + 1);
  size_t pos = 0;
  uint32_t number = 0;
  while (pos < chunk.size()) {
    size_t nl = chunk.find('\n', pos);
    size_t end = nl == std::string_view::npos ? chunk.size() : nl;
    std::string_view line = chunk.substr(pos, end - pos);
    pos = end + 1;
    LineOut lo{number++, static_cast<uint32_t>(pos - line.size() - 1), LineState::Blank, {}, 0};
    if (!is_blank(line)) {
      if (line.back() == '\r') line.remove_suffix(1);
      json::CanonicalFacts facts;
      std::optional<std::string_view> text = json::canonical_text(line, &facts);
      lo.state = LineState::Invalid;
      if (text && !facts.wide_integer) {
        std::optional<uint64_t> tokens = 0;
        if (with_tokens) {
          uint64_t t0 = clocks ? clock_ns() : 0;
          tokens = count_tokens(*text, field_key);
          if (clocks) token_ns += clock_ns() - t0;
        }
        if (tokens) {
          lo.state = LineState::Valid;
          lo.tokens = *tokens;
          lo.digest = sha256(*text);
        }
      }
    }
    out.lines.push_back(lo);
  }
  out.physical_lines = number;
  if (clocks) {
    uint64_t spent = thread_cpu_ns() - started;
    clocks->tokens += token_ns;
    clocks->hash += spent > token_ns ? spent - token_ns : 0;
  }
  return out;
}

// Why a line that hash_chunk refused is invalid.
std::string invalid_reason(std::string_view line, const std::optional<std::string>& field) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  for (size_t i = 0; i < line.size();) {
    char32_t c;
    size_t n = utf8::decode(line.substr(i), &c);
    if (n == 0) return "not valid UTF-8";
    i += n;
  }
  json::ParseError error;
  if (!json::parse(line, &error)) {
    if (error.description == "recursion limit exceeded") return "nested too deeply";
    return "not valid JSON data: " + error.message();
  }
  json::CanonicalFacts facts;
  std::optional<std::string_view> text = json::canonical_text(line, &facts);
  if (facts.wide_integer) return "not valid JSON data: an integer is out of the 64-bit range";
  if (field && text && !whitespace_tokens(*text, field)) {
    std::string quoted;
    json::write_string(quoted, *field);
    return "no string field " + quoted;
  }
  return "not valid JSON data";
}

// The line that starts at `offset` of `chunk`.
std::string_view line_at(std::string_view chunk, uint32_t offset) {
  size_t nl = chunk.find('\n', offset);
  return chunk.substr(offset, (nl == std::string_view::npos ? chunk.size() : nl) - offset);
}

// Collects whole records per destination and writes each destination's
// records in one append.
class RecordWriter {
 public:
  RecordWriter(const std::string& root, const TrackFileOptions& o, uint64_t* write_ns)
      : root_(root), tokenizer_(o.tokenizer), write_ns_(write_ns) {
    std::string fields;
    json::ObjectWriter(fields)
        .field("revoked", false)
        .field("source_type", "track")
        .field("sources", o.sources)
        .close();
    // `{"file":F,"line_hash":"` ... `",` + the fields above without their `{`.
    doc_prefix_ = "{";
    json::write_string(doc_prefix_, "file");
    doc_prefix_ += ':';
    json::write_string(doc_prefix_, o.file);
    doc_prefix_ += ',';
    json::write_string(doc_prefix_, "line_hash");
    doc_prefix_ += ":\"";
    doc_suffix_ = "\",";
    doc_suffix_.append(fields, 1);
    doc_suffix_ += '\n';
    if (tokenizer_) {
      std::string entry = token_index::to_json({0, o.sources, *tokenizer_, false});
      std::string head = "{\"token_count\":0";
      if (entry.compare(0, head.size(), head) != 0) throw Panic("token entry layout");
      token_suffix_ = entry.substr(head.size()) + "\n";
    }
  }

  void add(const Digest& d, std::optional<uint64_t> tokens) {
    std::string& shard = shards_[d.bytes[0]];
    size_t at = shard.size();
    shard.append(doc_prefix_);
    shard.resize(shard.size() + 64);
    d.hex_into(shard.data() + at + doc_prefix_.size());
    shard.append(doc_suffix_);
    pending_ += shard.size() - at;
    if (tokens && tokenizer_) {
      char digits[24];
      char* digits_end = std::to_chars(digits, digits + sizeof digits, *tokens).ptr;
      tokens_.append("{\"token_count\":");
      tokens_.append(digits, static_cast<size_t>(digits_end - digits));
      tokens_.append(token_suffix_);
    }
  }

  size_t pending() const { return pending_ + tokens_.size(); }

  // Document records first, then the token entries, as line-by-line
  // tracking writes them.
  void flush() {
    uint64_t started = write_ns_ ? thread_cpu_ns() : 0;
    for (size_t b = 0; b < shards_.size(); ++b) {
      if (shards_[b].empty()) continue;
      Fd fd = Fd::open_append(layout::shard_path_of(root_, layout::kDocumentIndex, static_cast<uint8_t>(b)));
      fd.append_lines(shards_[b]);
      fd.close();
      shards_[b].clear();
    }
    pending_ = 0;
    if (!tokens_.empty()) {
      token_index::write_pid_lines(root_, *tokenizer_, tokens_);
      tokens_.clear();
    }
    if (write_ns_) *write_ns_ += thread_cpu_ns() - started;
  }

 private:
  const std::string& root_;
  const std::optional<std::string>& tokenizer_;
  std::string doc_prefix_, doc_suffix_, token_suffix_;
  std::array<std::string, 256> shards_;
  std::string tokens_;
  size_t pending_ = 0;
  uint64_t* write_ns_;
};

// Records are written once this many bytes of them are pending.
constexpr size_t kFlushBytes = size_t{8} << 20;

Mapping map_data_file(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) throw Error("data file not found: " + path);
    throw Error::last_os();
  }
  if (!S_ISREG(st.st_mode)) throw Error("data file " + path + " is not a regular file");
  Fd fd = Fd::open_read(path);
  if (::fstat(fd.get(), &st) != 0) throw Error::last_os();
  if (!S_ISREG(st.st_mode)) throw Error("data file " + path + " is not a regular file");
  if (st.st_size == 0) return Mapping();
  return Mapping::map_sequential(fd, static_cast<size_t>(st.st_size));
}

}  // namespace

TrackFileResult track_file(const std::string& root, const std::string& path, const TrackFileOptions& o) {
  if (o.tokenizer) token_index::check_tokenizer(*o.tokenizer);
  Mapping map = map_data_file(path);
  std::string_view bytes = map.view();
  bool count_tokens = o.tokenizer && !o.token_counts;
  std::vector<std::string_view> chunks =
      scan::chunks(bytes, std::max<size_t>(1, std::min(kChunkBytes, o.batch_bytes / 2)));
  // Finding the chunk ends read a little around every end, all over the
  // file; those pages are given back now rather than when their batch is.
  map.drop_pages(bytes);
  TrackFileResult result;

  // Batches of chunks, each hashed on the pool while the calling thread
  // records the batch before it, in line order; a batch's pages of the
  // mapping are given back once it is recorded, so the memory held stays
  // about two batches whatever the file's size.
  std::vector<scan::Batch> spans = scan::batches(chunks, o.batch_bytes);
  std::string field_key;
  if (o.text_field) json::write_string(field_key, *o.text_field);
  const std::string* field = o.text_field ? &field_key : nullptr;
  std::optional<Clocks> measured;
  if (o.measure) measured.emplace();
  Clocks* clocks = measured ? &*measured : nullptr;
  auto batches = [&](bool report, auto&& on_batch) {
    using Outs = std::vector<std::optional<ChunkOut>>;
    std::atomic<bool> stop{false};
    auto hasher = [&](size_t batch, Outs& outs) {
      outs.assign(spans[batch].size(), std::nullopt);
      return [&, first = spans[batch].first](size_t i) {
        if (!stop.load(std::memory_order_relaxed)) outs[i].emplace(hash_chunk(chunks[first + i], count_tokens, field, clocks));
      };
    };
    Outs outs, next;
    pool::for_each_index(spans.empty() ? 0 : spans[0].size(), hasher(0, outs));
    uint64_t line_base = 0, done = 0;
    for (size_t batch = 0; batch < spans.size(); ++batch) {
      const size_t first = spans[batch].first, last = spans[batch].last;
      const std::string_view batch_bytes = spans[batch].bytes;
      bool go = true;
      auto record = [&] {
        uint64_t started = clocks ? thread_cpu_ns() : 0, written = clocks ? clocks->write : 0;
        for (size_t i = 0; go && i < outs.size(); ++i) {
          go = on_batch(chunks[first + i], *outs[i], line_base);
          line_base += outs[i]->physical_lines;
        }
        done += batch_bytes.size();
        if (report) result.bytes = done;
        if (go && report && o.progress && last < chunks.size()) go = o.progress(done);
        if (!go) stop = true;
        if (clocks) clocks->record += thread_cpu_ns() - started - (clocks->write - written);
      };
      if (batch + 1 < spans.size()) {
        pool::for_each_index_while(spans[batch + 1].size(), hasher(batch + 1, next), record);
      } else {
        record();
      }
      map.drop_pages(batch_bytes);
      if (!go) return false;
      std::swap(outs, next);
    }
    return true;
  };

  // A first pass that writes nothing, when the whole file must be checked
  // before anything is recorded.
  if (o.strict || o.token_counts) {
    std::optional<InvalidLine> bad;
    uint64_t valid = 0;
    batches(false, [&](std::string_view chunk, const ChunkOut& out, uint64_t base) {
      for (const LineOut& lo : out.lines) {
        if (lo.state == LineState::Valid) ++valid;
        if (lo.state == LineState::Invalid && o.strict) {
          bad = InvalidLine{base + lo.line_in_chunk + 1, invalid_reason(line_at(chunk, lo.offset), o.text_field)};
          return false;
        }
      }
      return true;
    });
    if (bad) {
      result.invalid.push_back(std::move(*bad));
      return result;
    }
    if (o.token_counts && o.token_counts->size() != valid) {
      throw Error(std::to_string(o.token_counts->size()) + " token counts given for " + std::to_string(valid) +
                  " valid lines");
    }
  }

  std::unordered_map<std::string, uint64_t> already = o.already;
  size_t given = 0;
  RecordWriter writer(root, o, clocks ? &clocks->write : nullptr);
  std::string hex(64, '0');
  bool finished = batches(true, [&](std::string_view chunk, const ChunkOut& out, uint64_t base) {
    for (const LineOut& lo : out.lines) {
      if (lo.state == LineState::Blank) continue;
      if (lo.state == LineState::Invalid) {
        result.invalid.push_back({base + lo.line_in_chunk + 1, invalid_reason(line_at(chunk, lo.offset), o.text_field)});
        continue;
      }
      std::optional<uint64_t> tokens;
      if (o.tokenizer) {
        if (o.token_counts) {
          tokens = (*o.token_counts)[given++];
        } else {
          tokens = lo.tokens;
        }
      }
      if (!already.empty()) {
        lo.digest.hex_into(hex.data());
        auto it = already.find(hex);
        if (it != already.end() && it->second > 0) {
          --it->second;
          ++result.already;
          continue;
        }
      }
      writer.add(lo.digest, tokens);
      ++result.recorded;
      if (writer.pending() >= kFlushBytes) writer.flush();
    }
    return true;
  });
  writer.flush();
  result.stopped = !finished;
  if (clocks) {
    result.phases = {clocks->hash * 1e-9, clocks->tokens * 1e-9, clocks->record * 1e-9, clocks->write * 1e-9};
  }
  return result;
}

}  // namespace vl
