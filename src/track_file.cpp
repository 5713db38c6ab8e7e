#include "track_file.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <array>
#include <cstring>

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

// Byte classes inside a canonical string: 0 a character that is not white
// space, 1 the space, 2 a byte that needs a closer look (the quote, the
// backslash, the lead of a character beyond ASCII).
constexpr std::array<uint8_t, 256> kByteClass = [] {
  std::array<uint8_t, 256> t{};
  t[' '] = 1;
  t['"'] = 2;
  t['\\'] = 2;
  for (int c = 0x80; c < 0x100; ++c) t[static_cast<size_t>(c)] = 2;
  return t;
}();

// Counts the runs of non-white-space characters of the canonical string
// whose opening quote is at p[-1]; leaves p past the closing quote.
uint64_t string_runs(const char*& p, const char* end) {
  uint64_t runs = 0;
  bool in_word = false;
  while (p < end) {
    auto c = static_cast<unsigned char>(*p);
    uint8_t cls = kByteClass[c];
    if (cls < 2) {
      bool space = cls == 1;
      runs += !space && !in_word;
      in_word = !space;
      ++p;
      continue;
    }
    if (c == '"') break;
    bool space;
    if (c == '\\') {
      char e = p[1];
      if (e == 'u') {
        int v = hex_value(p[4]) * 16 + hex_value(p[5]);
        space = v == 0x0B || (v >= 0x1C && v <= 0x1F);
        p += 6;
      } else {
        space = e == 't' || e == 'n' || e == 'r' || e == 'f';
        p += 2;
      }
    } else {
      char32_t cp = 0;
      size_t n = utf8::decode(std::string_view(p, static_cast<size_t>(end - p)), &cp);
      if (n == 0) n = 1;
      space = is_unicode_space(cp);
      p += n;
    }
    runs += !space && !in_word;
    in_word = !space;
  }
  ++p;  // the closing quote
  return runs;
}

}  // namespace

std::optional<uint64_t> whitespace_tokens(std::string_view canonical, const std::optional<std::string>& field) {
  const char* p = canonical.data();
  const char* end = p + canonical.size();
  std::string field_key;
  if (field) {
    if (canonical.empty() || canonical[0] != '{') return std::nullopt;
    json::write_string(field_key, *field);
  }
  // Canonical text is compact and valid, so a small state machine over its
  // bytes tells keys from values.
  std::array<bool, json::kMaxDepth + 2> in_object{};
  int depth = 0;
  bool key_next = false, field_value_next = false;
  uint64_t total = 0;
  while (p < end) {
    char c = *p;
    if (field_value_next && c != '"' && c != ':') return std::nullopt;
    switch (c) {
      case '{':
        in_object[static_cast<size_t>(++depth)] = true;
        key_next = true;
        ++p;
        break;
      case '[':
        in_object[static_cast<size_t>(++depth)] = false;
        key_next = false;
        ++p;
        break;
      case '}':
      case ']':
        --depth;
        ++p;
        break;
      case ',':
        key_next = in_object[static_cast<size_t>(depth)];
        ++p;
        break;
      case ':':
        key_next = false;
        ++p;
        break;
      case '"': {
        const char* start = p;
        ++p;
        uint64_t runs = string_runs(p, end);
        if (key_next) {
          if (field && depth == 1 &&
              std::string_view(start, static_cast<size_t>(p - start)) == field_key) {
            field_value_next = true;
          }
        } else if (field_value_next) {
          return runs;
        } else if (!field) {
          total += runs;
        }
        break;
      }
      default:
        ++p;
    }
  }
  if (field) return std::nullopt;
  return total;
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

ChunkOut hash_chunk(std::string_view chunk, bool count_tokens, const std::optional<std::string>& field) {
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
      bool wide = false;
      std::optional<std::string_view> text = json::canonical_text(line, &wide);
      lo.state = LineState::Invalid;
      if (text && !wide) {
        std::optional<uint64_t> tokens = count_tokens ? whitespace_tokens(*text, field) : std::optional<uint64_t>(0);
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
  bool wide = false;
  std::optional<std::string_view> text = json::canonical_text(line, &wide);
  if (wide) return "not valid JSON data: an integer is out of the 64-bit range";
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
  RecordWriter(const std::string& root, const TrackFileOptions& o) : root_(root), tokenizer_(o.tokenizer) {
    json::ObjectWriter(doc_suffix_)
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
    doc_suffix_[0] = ',';
    doc_suffix_.insert(0, "\"");
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
      tokens_.append("{\"token_count\":");
      tokens_.append(std::to_string(*tokens));
      tokens_.append(token_suffix_);
    }
  }

  size_t pending() const { return pending_ + tokens_.size(); }

  // Document records first, then the token entries, as line-by-line
  // tracking writes them.
  void flush() {
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
  }

 private:
  const std::string& root_;
  const std::optional<std::string>& tokenizer_;
  std::string doc_prefix_, doc_suffix_, token_suffix_;
  std::array<std::string, 256> shards_;
  std::string tokens_;
  size_t pending_ = 0;
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
  return Mapping::map(fd, static_cast<size_t>(st.st_size));
}

}  // namespace

TrackFileResult track_file(const std::string& root, const std::string& path, const TrackFileOptions& o) {
  if (o.tokenizer) token_index::check_tokenizer(*o.tokenizer);
  Mapping map = map_data_file(path);
  std::string_view bytes = map.view();
  bool count_tokens = o.tokenizer && !o.token_counts;
  std::vector<std::string_view> chunks =
      scan::chunks(bytes, std::max<size_t>(1, std::min(kChunkBytes, o.batch_bytes / 2)));
  TrackFileResult result;

  // Batches of chunks: hashed on the pool, then recorded in line order.
  auto batches = [&](bool report, auto&& on_batch) {
    uint64_t line_base = 0, done = 0;
    size_t first = 0;
    while (first < chunks.size()) {
      size_t last = first, batch_bytes = 0;
      while (last < chunks.size() && (last == first || batch_bytes + chunks[last].size() <= o.batch_bytes)) {
        batch_bytes += chunks[last++].size();
      }
      std::vector<ChunkOut> outs = pool::ordered_map<ChunkOut>(last - first, [&](size_t i) {
        return hash_chunk(chunks[first + i], count_tokens, o.text_field);
      });
      for (size_t i = 0; i < outs.size(); ++i) {
        if (!on_batch(chunks[first + i], outs[i], line_base)) return false;
        line_base += outs[i].physical_lines;
      }
      done += batch_bytes;
      if (report) result.bytes = done;
      first = last;
      if (report && o.progress && first < chunks.size() && !o.progress(done)) return false;
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
  RecordWriter writer(root, o);
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
  return result;
}

}  // namespace vl
