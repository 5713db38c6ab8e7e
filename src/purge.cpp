#include "purge.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>
#include <unordered_set>
#include <vector>

#include "authors.hpp"
#include "binary_index.hpp"
#include "clock.hpp"
#include "crashpoint.hpp"
#include "error.hpp"
#include "fs.hpp"
#include "hash.hpp"
#include "indexer.hpp"
#include "json.hpp"
#include "layout.hpp"
#include "mmap_lines.hpp"
#include "oplog.hpp"
#include "pool.hpp"
#include "record.hpp"
#include "register.hpp"
#include "scan.hpp"
#include "storage.hpp"

namespace vl::purge {

namespace {

using Key = decltype(Digest::bytes);
using Keys = std::vector<Key>;  // line hashes; a hash may be listed more than once

// The revoked set as the keep decision reads it, once per data line.
// Most lines are not revoked, so a small bit filter (16 bits per key, two
// bits set per key, in the processor's cache where a table of the keys
// would not be) turns nearly all of them away first.  The rest probe an
// open-addressing table of at most half load, linearly from the key's
// first 8 bytes (uniform, being SHA-256 output); a slot holds those 8
// bytes (never 0: 0 marks an empty slot) and where the whole key is, so
// whole keys are compared only when the first 8 bytes agree.
class KeyTable {
 public:
  explicit KeyTable(const Keys& keys) {
    size_t n = 16;
    while (n < keys.size() * 2) n <<= 1;
    mask_ = n - 1;
    heads_.resize(n);
    where_.resize(n);
    size_t bits = 4096;
    while (bits < keys.size() * 16) bits <<= 1;
    filter_mask_ = bits - 1;
    filter_.resize(bits / 64);
    keys_.reserve(keys.size());
    for (const Key& k : keys) {
      if (contains(k)) continue;
      size_t i = slot_of(k);
      while (heads_[i]) i = (i + 1) & mask_;
      heads_[i] = head_of(k);
      where_[i] = static_cast<uint32_t>(keys_.size());
      keys_.push_back(k);
      auto [a, b] = filter_bits(k);
      filter_[a / 64] |= uint64_t{1} << (a % 64);
      filter_[b / 64] |= uint64_t{1} << (b % 64);
    }
  }
  bool empty() const { return keys_.empty(); }
  // Starts fetching what contains(k) reads first.
  void prefetch(const Key& k) const {
    auto [a, b] = filter_bits(k);
    __builtin_prefetch(&filter_[a / 64]);
    __builtin_prefetch(&filter_[b / 64]);
    __builtin_prefetch(&heads_[slot_of(k)]);
  }
  bool contains(const Key& k) const {
    auto [a, b] = filter_bits(k);
    if (!(filter_[a / 64] >> (a % 64) & 1) || !(filter_[b / 64] >> (b % 64) & 1)) return false;
    uint64_t head = head_of(k);
    for (size_t i = slot_of(k); heads_[i]; i = (i + 1) & mask_) {
      if (heads_[i] == head && keys_[where_[i]] == k) return true;
    }
    return false;
  }

 private:
  // Two filter positions from key bytes the table's slot does not use.
  std::pair<size_t, size_t> filter_bits(const Key& k) const {
    uint32_t a, b;
    std::memcpy(&a, k.data() + 8, sizeof a);
    std::memcpy(&b, k.data() + 12, sizeof b);
    return {a & filter_mask_, b & filter_mask_};
  }

  static uint64_t head_of(const Key& k) {
    uint64_t h;
    std::memcpy(&h, k.data(), sizeof h);
    return h ? h : 1;
  }
  size_t slot_of(const Key& k) const { return static_cast<size_t>(head_of(k)) & mask_; }

  size_t mask_ = 0, filter_mask_ = 0;
  std::vector<uint64_t> filter_;
  std::vector<uint64_t> heads_;
  std::vector<uint32_t> where_;
  Keys keys_;
};
using StringSet = std::unordered_set<std::string>;

// A line hash as stored is 64 lowercase hex digits; anything else can never
// equal the hash of a line and is left out of the set.
std::optional<Key> key_of(std::string_view hex) {
  if (std::optional<Digest> d = Digest::from_hex(hex)) return d->bytes;
  return std::nullopt;
}

// The content hash of a data line, as tracking computes it, or nothing when
// the line is not JSON.  Also hands back the canonical text, which the
// archive record needs; it lives in `writer`'s buffer until its next text.
std::optional<std::string_view> hash_line(json::CanonicalWriter& writer, std::string_view line, Key& out,
                                          json::CanonicalFacts& facts) {
  std::optional<std::string_view> canonical = writer.text_of(line, &facts);
  if (!canonical) return std::nullopt;
  out = sha256(*canonical).bytes;
  return canonical;
}

// An archive record holds the line's value one level down, so the line
// must leave room for it under the reader's nesting limit.
bool archivable(const json::CanonicalFacts& facts) { return facts.depth < json::kMaxDepth; }

void check_path(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    throw Error("path " + quote_path(path) + " contains a NUL byte");
  }
}

// ---------------------------------------------------------------------------
// Revoked line sets

// Calls fn(line) for every line of every file, one task per file on the
// pool; a file that cannot be mapped fails the whole scan.
template <typename T, typename PerLine>
std::vector<T> scan_files(const std::vector<std::string>& files, PerLine per_line) {
  return scan::files<T>(files, {.unreadable = scan::Unreadable::Fail, .run = scan::Run::PerFile},
                        [&](const scan::Line& line, std::vector<T>& found) { per_line(line.text, found); });
}

std::vector<std::string> regular_files(const std::string& dir) {
  return scan::list_files(dir, scan::Files::Regular);
}

// Substring needles for the lines that may cite one of `hashes`; a line
// without any of them is not parsed.  Escaped text (a backslash) is always
// parsed, since a needle could be written with escapes.
struct Needles {
  explicit Needles(const std::vector<std::string>& hashes) {
    for (const std::string& h : hashes) {
      if (!h.empty()) items.push_back(h);
    }
  }
  bool may_occur_in(std::string_view line) const {
    if (line.find('\\') != std::string_view::npos) return true;
    return std::any_of(items.begin(), items.end(),
                       [&](const std::string& n) { return line.find(n) != std::string_view::npos; });
  }
  std::vector<std::string> items;
};

Keys revoked_line_set(const std::string& root) {
  Keys set;
  if (auto map = mmap_file(layout::revoked_documents(root))) {
    set = scan::bytes<Key>(map->view(), {.run = scan::Run::PerChunk}, [](const scan::Line& line, Keys& found) {
      auto d = documents::parse(line.text);
      if (!d) return;
      if (auto k = key_of(d->line_hash)) found.push_back(*k);
    });
  }

  std::vector<std::string> revoked_sections = scan_files<std::string>(
      regular_files(layout::layer_dir(root, layout::kSections)), [](std::string_view line, auto& found) {
        if (line.find("true") == std::string_view::npos) return;
        auto v = json::parse(line);
        if (!v) return;
        const json::Value* revoked = v->find("revoked");
        const json::Value* hash = v->find("section_hash");
        if (revoked && revoked->as_bool() && *revoked->as_bool() && hash && hash->as_string()) {
          found.push_back(*hash->as_string());
        }
      });
  if (revoked_sections.empty()) return set;

  StringSet wanted(revoked_sections.begin(), revoked_sections.end());
  Needles needles(revoked_sections);
  std::vector<std::string> hashes = scan_files<std::string>(
      shard_files(root, layout::kDocumentIndex), [&](std::string_view line, auto& found) {
        if (!needles.may_occur_in(line)) return;
        auto d = documents::parse(line);
        if (!d) return;
        for (const std::string& s : d->sources) {
          if (wanted.count(s)) {
            found.push_back(std::move(d->line_hash));
            return;
          }
        }
      });
  for (const std::string& h : hashes) {
    if (auto k = key_of(h)) set.push_back(*k);
  }
  return set;
}

struct timespec mtime_of(const struct stat& st) { return st.st_mtim; }

bool newer(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec > b.tv_nsec);
}

// The binary index summarises the section and document shards as they were
// when it was built; records written since are not in it, and a purge
// through it would silently keep their lines.
void require_fresh_index(const std::string& root) {
  struct stat st;
  std::string index_path = layout::index_bin(root);
  if (::stat(index_path.c_str(), &st) != 0) throw Error::last_os();
  struct timespec built = mtime_of(st);
  for (std::string_view layer : {layout::kSections, layout::kDocumentIndex}) {
    for (const std::string& path : regular_files(layout::layer_dir(root, layer))) {
      if (::stat(path.c_str(), &st) == 0 && newer(mtime_of(st), built)) {
        throw Error("binary index is older than " + quote_path(path) +
                    ": records were added after the last index build, run `vl index build` first");
      }
    }
  }
}

Keys author_line_set(const std::string& root, const std::string& author_name, uint64_t* distinct) {
  std::vector<authors::Author> found = authors::query(root, author_name, std::nullopt);
  bool any_revoked = std::any_of(found.begin(), found.end(), [](const auto& a) { return a.revoked; });
  if (!any_revoked) {
    throw Error("author '" + author_name + "' is not revoked. Revoke first with `vl revoke --author '" +
                author_name + "'` before purging.");
  }
  std::vector<std::string> ids;
  for (const authors::Author& a : found) {
    if (std::find(ids.begin(), ids.end(), a.id) == ids.end()) ids.push_back(a.id);
  }

  std::optional<BinaryIndex> index = BinaryIndex::open(root);
  if (!index) throw Error("binary index not found, run `vl index build` first");
  require_fresh_index(root);

  StringSet id_set(ids.begin(), ids.end());
  std::vector<std::string> sections;
  StringSet section_set;
  for (const std::string& name : index->shard_names(ids)) {
    std::string path = layout::shard_path(root, layout::kSections, name);
    for (const json::Value& v : scan_lines_matching(path, ids)) {
      const json::Value* hash = v.find("section_hash");
      const json::Value* names = v.find("authors");
      if (!hash || !hash->as_string() || !names || !names->as_array()) continue;
      bool by_author = std::any_of(names->as_array()->begin(), names->as_array()->end(),
                                   [&](const json::Value& a) {
                                     return a.as_string() && id_set.count(*a.as_string());
                                   });
      if (by_author && section_set.insert(*hash->as_string()).second) {
        sections.push_back(*hash->as_string());
      }
    }
  }

  Keys set;
  StringSet hashes;
  Needles needles(sections);
  for (const std::string& name : index->shard_names(sections)) {
    auto map = mmap_file(layout::shard_path(root, layout::kDocumentIndex, name));
    if (!map) continue;
    for_each_line(map->view(), [&](std::string_view line) {
      if (!needles.may_occur_in(line)) return;
      auto d = documents::parse(line);
      if (!d) return;
      for (const std::string& s : d->sources) {
        if (section_set.count(s)) {
          hashes.insert(d->line_hash);
          if (auto k = key_of(d->line_hash)) set.push_back(*k);
          return;
        }
      }
    });
  }
  *distinct = hashes.size();
  return set;
}

// ---------------------------------------------------------------------------
// Keep decision

enum Verdict : unsigned char { kKeep = 0, kPurge = 1, kUnarchivable = 2 };

// The archive record of a purged line, keys in sorted order.
void write_record(std::string& out, std::string_view stamp, std::string_view file,
                  std::string_view canonical, std::string_view line) {
  out += "{\"archived_at\":";
  json::write_string(out, stamp);
  out += ",\"file\":";
  json::write_string(out, file);
  out += ",\"line\":";
  out += canonical;
  out += ",\"text\":";
  json::write_string(out, line);
  out += '}';
}


struct Decision {
  std::vector<std::vector<unsigned char>> verdicts;  // per chunk, one per line
  std::vector<std::string_view> chunks;
};

// Every archive record must read back, or its line could never be
// restored.  The record's frame (stamp and file) is checked once; a line
// then fits when its own nesting leaves room for the record's object.
void check_record_frame(std::string_view stamp, std::string_view file) {
  std::string frame;
  write_record(frame, stamp, file, "null", "null");
  if (!json::parse(frame)) {
    throw Error("the data file's path " + quote_path(file) + " cannot be written into an archive record");
  }
}

Decision decide(std::string_view bytes, const Keys& revoked_set, std::string_view stamp,
                std::string_view file) {
  Decision d;
  KeyTable revoked(revoked_set);
  check_record_frame(stamp, file);
  size_t target = std::max<size_t>(size_t{1} << 20, bytes.size() / (pool::size() * 16) + 1);
  d.chunks = scan::chunks(bytes, target);
  d.verdicts = pool::ordered_map<std::vector<unsigned char>>(d.chunks.size(), [&](size_t i) {
    std::vector<unsigned char> out;
    static thread_local json::CanonicalWriter writer;
    Key key;
    json::CanonicalFacts facts;
    for_each_line(d.chunks[i], [&](std::string_view line) {
      unsigned char v = kKeep;
      if (!revoked.empty() && hash_line(writer, line, key, facts) && revoked.contains(key)) {
        v = archivable(facts) ? kPurge : kUnarchivable;
      }
      out.push_back(v);
    });
    return out;
  });
  return d;
}

// Calls fn(line, verdict) for every line in file order.
template <typename Fn>
void walk(const Decision& d, Fn&& fn) {
  for (size_t c = 0; c < d.chunks.size(); ++c) {
    size_t k = 0;
    for_each_line(d.chunks[c], [&](std::string_view line) { fn(line, d.verdicts[c][k++]); });
  }
}

// ---------------------------------------------------------------------------
// Writing

uint64_t now_seconds() {
  auto secs = std::chrono::duration_cast<std::chrono::seconds>(
                  std::chrono::system_clock::now().time_since_epoch())
                  .count();
  return secs < 0 ? 0 : static_cast<uint64_t>(secs);
}

// The timestamps of the purge archives already there.
std::vector<std::string> archive_stamps(const std::string& dir) {
  std::vector<std::string> stamps;
  for (const DirEntry& e : list_dir(dir)) {
    layout::Entry entry = layout::parse_archive_entry(e.name);
    if (entry.kind == layout::Kind::PurgeArchive) stamps.push_back(std::move(entry.suffix));
  }
  return stamps;
}

// The stamp after `last` in archive order: its sequence number plus one, or
// a first sequence number appended.
std::string stamp_after(const std::string& last) {
  // YYYYMMDDTHHMMSS.NNNNNN
  constexpr size_t kStampEnd = 15;
  if (last.size() == kStampEnd + 7 && last[kStampEnd] == '.' &&
      std::all_of(last.begin() + kStampEnd + 1, last.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    unsigned long n = std::strtoul(last.c_str() + kStampEnd + 1, nullptr, 10);
    if (n < 999999) {
      char seq[16];
      std::snprintf(seq, sizeof seq, ".%06lu", n + 1);
      return last.substr(0, kStampEnd) + seq;
    }
  }
  return last + ".000001";
}

// Creates this purge's own archive file, named so that it sorts after every
// archive already there (the newest is restored first): purge.<stamp>, or
// with a sequence number when a purge of the same second, or of a clock
// set later, came first.
std::pair<Fd, std::string> create_archive(const std::string& root, const std::string& stamp) {
  std::string dir = layout::archive_dir(root);
  create_dir_all(dir);
  std::vector<std::string> stamps = archive_stamps(dir);
  std::string name = stamp;
  if (!stamps.empty()) {
    const std::string& last = *std::max_element(stamps.begin(), stamps.end());
    if (name <= last) name = stamp_after(last);
  }
  for (int attempt = 0;; ++attempt) {
    std::string path = layout::purge_archive(root, name);
    try {
      return {Fd::create_exclusive(path), path};
    } catch (const Error& e) {
      if (e.os_errno() != EEXIST || attempt > 1000) throw;
    }
    name = stamp_after(name);
  }
}

struct DataFile {
  std::string real;  // the file itself, with every symbolic link resolved
  struct stat st;
  Fd fd;
};

// Finds the data file where it really is (every symbolic link resolved, so a
// link stays a link when the file is replaced) and checks that replacing it
// is sound: a regular file with one name.  `missing_ok`: a file that does
// not exist gives nothing (its path as given is where a new one goes).
std::optional<DataFile> locate_data_file(const std::string& data_file, bool missing_ok) {
  check_path(data_file);
  DataFile f;
  char resolved[PATH_MAX];
  if (!::realpath(data_file.c_str(), resolved)) {
    if (errno != ENOENT) throw Error::last_os();
    if (missing_ok) return std::nullopt;
    throw Error("data file not found: " + data_file);
  }
  f.real = resolved;
  if (::stat(f.real.c_str(), &f.st) != 0) throw Error::last_os();
  if (!S_ISREG(f.st.st_mode)) throw Error("data file " + quote_path(data_file) + " is not a regular file");
  if (f.st.st_nlink > 1) {
    throw Error("data file " + quote_path(data_file) + " has " + std::to_string(f.st.st_nlink) +
                " hard links: a purge or a restore replaces the file under one name only and the "
                "other names would keep the old lines; remove the other links first");
  }
  f.fd = Fd::open_read(f.real);
  if (::fstat(f.fd.get(), &f.st) != 0) throw Error::last_os();
  return f;
}

DataFile open_data_file(const std::string& data_file) {
  DataFile f = std::move(*locate_data_file(data_file, false));
  if (f.st.st_size == 0) throw Error("data file not found: " + data_file);
  return f;
}

// A replacement of `f` takes over its permission bits and, where allowed,
// its owner.
void keep_mode_and_owner(const Fd& fd, const DataFile& f) {
  if (::fchmod(fd.get(), f.st.st_mode & 07777) != 0) throw Error::last_os();
  if (::fchown(fd.get(), f.st.st_uid, f.st.st_gid) != 0 && errno != EPERM) throw Error::last_os();
}

// ---------------------------------------------------------------------------
// Rewriting

// Appends a piece of output, joined to the last one when it continues it
// in memory (consecutive kept lines of the mapping become one piece).
void add_piece(std::vector<std::string_view>& pieces, std::string_view piece) {
  if (!pieces.empty() && pieces.back().data() + pieces.back().size() == piece.data()) {
    pieces.back() = std::string_view(pieces.back().data(), pieces.back().size() + piece.size());
  } else {
    pieces.push_back(piece);
  }
}

// What one chunk of the data file turns into.
struct ChunkOutput {
  std::vector<std::string_view> kept;  // the kept lines, each with an LF, as pieces
  std::string archive;                 // the archive records of the purged lines
  uint64_t lines = 0, purged = 0;
  uint64_t first_unarchivable = 0;  // 1-based within the chunk, 0 when none
  uint64_t decide_ns = 0, archive_ns = 0;
};

constexpr std::string_view kLf = "\n";

// Decides every line of `chunk` (hashing it once) and lays out its output:
// a kept line is a piece of the mapping, with its own LF when it has one
// right after it; a purged line becomes its archive record.
ChunkOutput plan_chunk(std::string_view chunk, const KeyTable& revoked, std::string_view stamp,
                       std::string_view file) {
  uint64_t started = thread_cpu_ns();
  ChunkOutput out;
  const char* chunk_end = chunk.data() + chunk.size();
  auto keep = [&](std::string_view line) {
    add_piece(out.kept, line);
    const char* after = line.data() + line.size();
    add_piece(out.kept, after < chunk_end && *after == '\n' ? std::string_view(after, 1) : kLf);
  };
  // A hashed line is looked up only once the next line is hashed, so that
  // its entries of the revoked set (too large to stay in the cache) are
  // fetched from memory meanwhile.  Two writers take turns, so that the
  // canonical text of the line that waits stays where it was written.
  static thread_local json::CanonicalWriter writers[2];
  unsigned turn = 0;
  struct Pending {
    std::string_view line;
    uint64_t number = 0;  // 1-based within the chunk, 0 when nothing waits
    Key key;
    std::string_view canonical;
    json::CanonicalFacts facts;
  } pending;
  auto settle = [&] {
    if (!pending.number) return;
    if (!revoked.contains(pending.key)) {
      keep(pending.line);
    } else if (++out.purged, !archivable(pending.facts)) {
      if (!out.first_unarchivable) out.first_unarchivable = pending.number;
    } else {
      uint64_t t0 = clock_ns();
      write_record(out.archive, stamp, file, pending.canonical, pending.line);
      out.archive.push_back('\n');
      out.archive_ns += clock_ns() - t0;
    }
    pending.number = 0;
  };
  Key key;
  json::CanonicalFacts facts;
  for_each_line(chunk, [&](std::string_view line) {
    ++out.lines;
    std::optional<std::string_view> canonical;
    if (!revoked.empty()) canonical = hash_line(writers[turn], line, key, facts);
    if (canonical) revoked.prefetch(key);
    settle();
    if (!canonical) {
      keep(line);
      return;
    }
    pending = {line, out.lines, key, *canonical, facts};
    turn ^= 1;
  });
  settle();
  uint64_t spent = thread_cpu_ns() - started;
  out.decide_ns = spent > out.archive_ns ? spent - out.archive_ns : 0;
  return out;
}

// Bytes of one chunk of whole lines, the unit of work on the pool, and of
// one batch of chunks: a batch is decided on the pool while the calling
// thread writes out the batch before it.
constexpr size_t kChunkBytes = size_t{1} << 20;
constexpr size_t kBatchBytes = size_t{16} << 20;

PurgeResult rewrite(const std::string& root, const std::string& data_file, const Keys& revoked_set,
                    const std::string& log_detail_suffix, Progress* progress) {
  DataFile f = open_data_file(data_file);
  Mapping map = Mapping::map_sequential(f.fd, static_cast<size_t>(f.st.st_size));
  std::string stamp = archive_stamp(now_seconds());
  check_record_frame(stamp, data_file);
  KeyTable revoked(revoked_set);
  std::vector<std::string_view> chunks = scan::chunks(map.view(), kChunkBytes);
  // Finding the chunk ends read a little around every end, all over the
  // file; those pages are given back now rather than when their batch is.
  map.drop_pages(map.view());
  std::vector<scan::Batch> batches = scan::batches(chunks, kBatchBytes);

  PurgeResult r;
  std::atomic<uint64_t> decide_ns{0}, archive_ns{0};
  uint64_t write_ns = 0, sync_ns = 0;
  std::optional<std::string> archive;
  Fd archive_fd;
  std::optional<StreamWriter> archive_out;
  bool replaced = false;
  try {
    // The kept lines go to a fresh file beside the real data file (a
    // symbolic link stays a link), with the data file's permission bits and
    // owner, and the purged lines to this purge's own archive, written at
    // the same time.  The archive is flushed to disk first, then the new
    // data file, which is then renamed over the old one.
    replace_file(f.real, [&](Fd& fd, const std::string&) {
      crash_point();
      keep_mode_and_owner(fd, f);
      StreamWriter data_out(fd);
      using Outputs = std::vector<std::optional<ChunkOutput>>;
      auto planner = [&](size_t batch, Outputs& outs) {
        outs.assign(batches[batch].size(), std::nullopt);
        return [&, first = batches[batch].first](size_t i) {
          outs[i].emplace(plan_chunk(chunks[first + i], revoked, stamp, data_file));
          decide_ns += outs[i]->decide_ns;
          archive_ns += outs[i]->archive_ns;
          if (progress) progress->fetch_add(chunks[first + i].size(), std::memory_order_relaxed);
        };
      };
      Outputs outs, next;
      std::vector<std::string_view> kept, archived;
      uint64_t line_base = 0;
      if (!batches.empty()) pool::for_each_index(batches[0].size(), planner(0, outs));
      for (size_t batch = 0; batch < batches.size(); ++batch) {
        const std::string_view span = batches[batch].bytes;
        auto write = [&] {
          uint64_t started = thread_cpu_ns();
          kept.clear();
          archived.clear();
          for (const std::optional<ChunkOutput>& out : outs) {
            if (out->first_unarchivable) {
              throw Error("line " + std::to_string(line_base + out->first_unarchivable) + " of " +
                          quote_path(data_file) +
                          " cannot be purged: its archive record would be nested too deeply to be read back");
            }
            line_base += out->lines;
            r.purged += out->purged;
            r.kept += out->lines - out->purged;
            for (std::string_view piece : out->kept) add_piece(kept, piece);
            if (!out->archive.empty()) archived.push_back(out->archive);
          }
          if (!archived.empty()) {
            if (!archive) {
              auto [created, path] = create_archive(root, stamp);
              archive_fd = std::move(created);
              archive = path;
              archive_out.emplace(archive_fd);
            }
            archive_out->write_pieces(archived);
          }
          data_out.write_pieces(kept);
          // The batch's kept lines are copied out (or written): its pages
          // are done with, and so is their cache, the file being replaced.
          map.drop_pages_and_cache(span, f.fd);
          if (progress) progress->fetch_add(span.size(), std::memory_order_relaxed);
          write_ns += thread_cpu_ns() - started;
        };
        if (batch + 1 < batches.size()) {
          pool::for_each_index_while(batches[batch + 1].size(), planner(batch + 1, next), write);
        } else {
          write();
        }
        std::swap(outs, next);
      }
      uint64_t t0 = thread_cpu_ns();
      data_out.finish();
      if (archive_out) archive_out->finish();
      write_ns += thread_cpu_ns() - t0;
      t0 = clock_ns();
      if (archive) {
        sync_fd(archive_fd);
        archive_fd.close();
        sync_parent_dir(*archive);
      }
      sync_fd(fd);
      sync_ns += clock_ns() - t0;
    });
    replaced = true;
  } catch (...) {
    // Not replaced: the archive must not hold lines the data file still has.
    if (!replaced && archive) ::unlink(archive->c_str());
    throw;
  }
  uint64_t t0 = clock_ns();
  sync_parent_dir(f.real);
  sync_ns += clock_ns() - t0;

  r.archived = archive ? r.purged : 0;
  r.phases = {decide_ns * 1e-9, archive_ns * 1e-9, write_ns * 1e-9, sync_ns * 1e-9};
  if (archive) {
    oplog::append(root, "purge_archive",
                  "archived " + std::to_string(r.purged) + " lines to " + quote_path(*archive));
  }
  oplog::append(root, "purge",
                "purged " + std::to_string(r.purged) + " lines from " + quote_path(data_file) +
                    log_detail_suffix);
  return r;
}

}  // namespace

std::string archive_stamp(uint64_t unix_seconds) {
  time_t t = static_cast<time_t>(unix_seconds);
  struct tm tm;
  gmtime_r(&t, &tm);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d%02d%02dT%02d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

PurgeResult purge_revoked(const std::string& root, const std::string& data_file, bool dry_run,
                          Progress* progress) {
  if (dry_run) {
    PurgeResult r;
    if (auto map = mmap_file(layout::revoked_documents(root))) {
      for_each_line(map->view(), [&](std::string_view) { ++r.purged; });
    }
    return r;
  }
  Keys revoked = revoked_line_set(root);
  return rewrite(root, data_file, revoked, "", progress);
}

PurgeResult purge_by_author_indexed(const std::string& root, const std::string& author_name,
                                    const std::string& data_file, bool dry_run, Progress* progress) {
  uint64_t distinct = 0;
  Keys revoked = author_line_set(root, author_name, &distinct);
  if (dry_run) {
    PurgeResult r;
    r.purged = distinct;
    return r;
  }
  return rewrite(root, data_file, revoked, " (indexed, author=" + author_name + ")", progress);
}

Plan plan(const std::string& root, const std::string& data_file,
          const std::optional<std::string>& author_name) {
  uint64_t distinct = 0;
  Keys revoked = author_name ? author_line_set(root, *author_name, &distinct) : revoked_line_set(root);
  DataFile f = open_data_file(data_file);
  Mapping map = Mapping::map(f.fd, static_cast<size_t>(f.st.st_size));
  Decision d = decide(map.view(), revoked, archive_stamp(now_seconds()), data_file);
  Plan p;
  walk(d, [&](std::string_view, unsigned char v) {
    ++p.lines;
    if (v != kKeep) p.purged.push_back(p.lines);
  });
  return p;
}

ReverseResult purge_reverse(const std::string& root, const std::string& data_file) {
  check_path(data_file);
  ReverseResult r;
  std::string dir = layout::archive_dir(root);
  if (!is_dir(dir)) return r;
  std::vector<std::string> stamps = archive_stamps(dir);
  if (stamps.empty()) return r;
  std::string archive = layout::purge_archive(root, *std::max_element(stamps.begin(), stamps.end()));

  // Every record must read back whole before anything is written: a line
  // that cannot be restored must not be dropped with the archive.
  std::string restored;
  uint64_t count = 0, line_no = 0;
  if (auto map = mmap_file(archive)) {
    for_each_line(map->view(), [&](std::string_view line) {
      ++line_no;
      auto refuse = [&](const std::string& why) {
        throw Error("archive " + quote_path(archive) + " line " + std::to_string(line_no) + " " + why +
                    "; nothing restored, the archive is kept");
      };
      auto v = json::parse(line);
      if (!v) refuse("cannot be read");
      const json::Value* value = v->find("line");
      if (!value) refuse("has no archived line");
      const json::Value* text = v->find("text");
      if (text && text->as_string()) {
        const std::string& t = *text->as_string();
        if (t.find('\n') != std::string::npos) refuse("holds a text of more than one line");
        restored += t;
      } else {
        json::write(restored, *value);
      }
      restored.push_back('\n');
      ++count;
    });
  }
  r.archive = archive;

  if (count) {
    // The data file is replaced by a new one holding its lines and then the
    // restored ones, never appended to where it stands (readers may map
    // it): a failure at any step leaves it as it was, so a repeated call
    // cannot double the lines.
    std::optional<DataFile> f = locate_data_file(data_file, true);
    std::optional<Mapping> old;
    if (f && f->st.st_size > 0) old = Mapping::map(f->fd, static_cast<size_t>(f->st.st_size));
    // A last line without its newline would glue onto the first restored one.
    if (old && old->view().back() != '\n') restored.insert(restored.begin(), '\n');
    std::string target = f ? f->real : data_file;
    replace_file(
        target,
        [&](Fd& fd, const std::string&) {
          if (f) keep_mode_and_owner(fd, *f);
          if (old) fd.write_all(old->view());
          fd.write_all(restored);
        },
        Durability::Sync);
  }
  remove_file(archive);
  sync_parent_dir(archive);
  r.restored = count;
  oplog::append(root, "purge_reverse",
                "restored " + std::to_string(count) + " lines from " + quote_path(archive));
  return r;
}

}  // namespace vl::purge
