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

using Key = std::array<unsigned char, 32>;
struct KeyHash {
  size_t operator()(const Key& k) const noexcept {
    size_t h;
    std::memcpy(&h, k.data(), sizeof h);
    return h;
  }
};
using KeySet = std::unordered_set<Key, KeyHash>;

// The revoked set as the keep decision reads it, once per data line: an
// open-addressing table of at most half load, probed linearly from the
// key's first bytes (uniform, being SHA-256 output).
class KeyTable {
 public:
  explicit KeyTable(const KeySet& keys) : count_(keys.size()) {
    size_t n = 16;
    while (n < keys.size() * 2) n <<= 1;
    mask_ = n - 1;
    slots_.resize(n);
    used_.resize(n);
    for (const Key& k : keys) {
      size_t i = KeyHash{}(k) & mask_;
      while (used_[i]) i = (i + 1) & mask_;
      slots_[i] = k;
      used_[i] = 1;
    }
  }
  bool empty() const { return count_ == 0; }
  bool contains(const Key& k) const {
    for (size_t i = KeyHash{}(k) & mask_; used_[i]; i = (i + 1) & mask_) {
      if (slots_[i] == k) return true;
    }
    return false;
  }

 private:
  size_t count_, mask_ = 0;
  std::vector<Key> slots_;
  std::vector<unsigned char> used_;
};
using StringSet = std::unordered_set<std::string>;

// A line hash as stored is 64 lowercase hex digits; anything else can never
// equal the hash of a line and is left out of the set.
std::optional<Key> key_of(std::string_view hex) {
  if (hex.size() != 64) return std::nullopt;
  Key k;
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  for (size_t i = 0; i < 32; ++i) {
    int hi = nibble(hex[2 * i]), lo = nibble(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    k[i] = static_cast<unsigned char>(hi << 4 | lo);
  }
  return k;
}

// The content hash of a data line, as tracking computes it, or nothing when
// the line is not JSON.  Also hands back the canonical text, which the
// archive record needs; it lives in a buffer of the calling thread until
// its next canonical text.
std::optional<std::string_view> hash_line(std::string_view line, Key& out) {
  std::optional<std::string_view> canonical = json::canonical_text(line);
  if (!canonical) return std::nullopt;
  Digest digest = sha256(*canonical);
  std::memcpy(out.data(), digest.bytes.data(), out.size());
  return canonical;
}

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

KeySet revoked_line_set(const std::string& root) {
  KeySet set;
  if (auto map = mmap_file(layout::revoked_documents(root))) {
    for_each_line(map->view(), [&](std::string_view line) {
      auto d = documents::parse(line);
      if (!d) return;
      if (auto k = key_of(d->line_hash)) set.insert(*k);
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
    if (auto k = key_of(h)) set.insert(*k);
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

KeySet author_line_set(const std::string& root, const std::string& author_name, uint64_t* distinct) {
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

  KeySet set;
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
          if (auto k = key_of(d->line_hash)) set.insert(*k);
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
  uint64_t purged = 0, kept = 0;
  uint64_t first_unarchivable = 0;  // 1-based line number, 0 when none
};

// The deepest nesting of arrays and objects in a canonical JSON text.
int nesting_depth(std::string_view canonical) {
  int depth = 0, deepest = 0;
  bool in_string = false;
  for (size_t i = 0; i < canonical.size(); ++i) {
    char c = canonical[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return deepest;
}

Decision decide(std::string_view bytes, const KeySet& revoked_set, std::string_view stamp,
                std::string_view file, Progress* progress) {
  Decision d;
  KeyTable revoked(revoked_set);
  // Every archive record must read back, or its line could never be
  // restored.  The record's frame (stamp and file) is checked once; a line
  // then fits when its own nesting leaves room for the record's object.
  {
    std::string frame;
    write_record(frame, stamp, file, "null", "null");
    if (!json::parse(frame)) {
      throw Error("the data file's path " + quote_path(file) + " cannot be written into an archive record");
    }
  }
  size_t target = std::max<size_t>(size_t{1} << 20, bytes.size() / (pool::size() * 16) + 1);
  d.chunks = scan::chunks(bytes, target);
  d.verdicts = pool::ordered_map<std::vector<unsigned char>>(d.chunks.size(), [&](size_t i) {
    std::vector<unsigned char> out;
    Key key;
    for_each_line(d.chunks[i], [&](std::string_view line) {
      unsigned char v = kKeep;
      std::optional<std::string_view> canonical;
      if (!revoked.empty() && (canonical = hash_line(line, key)) && revoked.contains(key)) {
        v = nesting_depth(*canonical) < json::kMaxDepth ? kPurge : kUnarchivable;
      }
      out.push_back(v);
    });
    if (progress) progress->fetch_add(d.chunks[i].size(), std::memory_order_relaxed);
    return out;
  });
  uint64_t line_no = 0;
  for (const auto& chunk : d.verdicts) {
    for (unsigned char v : chunk) {
      ++line_no;
      if (v == kKeep) {
        ++d.kept;
      } else {
        ++d.purged;
        if (v == kUnarchivable && !d.first_unarchivable) d.first_unarchivable = line_no;
      }
    }
  }
  return d;
}

// Calls fn(line, verdict) for every line in file order.
template <typename Fn>
void walk(const Decision& d, Fn&& fn, Progress* progress = nullptr, uint64_t weight = 1) {
  for (size_t c = 0; c < d.chunks.size(); ++c) {
    size_t k = 0;
    for_each_line(d.chunks[c], [&](std::string_view line) { fn(line, d.verdicts[c][k++]); });
    if (progress) progress->fetch_add(d.chunks[c].size() / weight, std::memory_order_relaxed);
  }
}

// ---------------------------------------------------------------------------
// Writing

// Output through a fixed buffer, written out when full.
class BufferedWriter {
 public:
  explicit BufferedWriter(const Fd& fd) : fd_(fd) { buf_.reserve(kSize); }
  void add(std::string_view bytes) {
    if (buf_.size() + bytes.size() > kSize) flush();
    if (bytes.size() >= kSize) {
      fd_.write_all(bytes);
    } else {
      buf_.append(bytes);
    }
  }
  void flush() {
    if (!buf_.empty()) fd_.write_all(buf_);
    buf_.clear();
  }

 private:
  static constexpr size_t kSize = 8192;
  const Fd& fd_;
  std::string buf_;
};

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

DataFile open_data_file(const std::string& data_file) {
  check_path(data_file);
  DataFile f;
  char resolved[PATH_MAX];
  if (!::realpath(data_file.c_str(), resolved)) {
    if (errno == ENOENT) throw Error("data file not found: " + data_file);
    throw Error::last_os();
  }
  f.real = resolved;
  if (::stat(f.real.c_str(), &f.st) != 0) throw Error::last_os();
  if (!S_ISREG(f.st.st_mode)) throw Error("data file " + quote_path(data_file) + " is not a regular file");
  if (f.st.st_nlink > 1) {
    throw Error("data file " + quote_path(data_file) + " has " + std::to_string(f.st.st_nlink) +
                " hard links: a purge replaces the file under one name only and the revoked lines "
                "would stay under the others; remove the other links first");
  }
  f.fd = Fd::open_read(f.real);
  if (::fstat(f.fd.get(), &f.st) != 0) throw Error::last_os();
  if (f.st.st_size == 0) throw Error("data file not found: " + data_file);
  return f;
}

PurgeResult rewrite(const std::string& root, const std::string& data_file, const KeySet& revoked,
                    const std::string& log_detail_suffix, Progress* progress) {
  DataFile f = open_data_file(data_file);
  Mapping map = Mapping::map(f.fd, static_cast<size_t>(f.st.st_size));
  std::string stamp = archive_stamp(now_seconds());
  Decision d = decide(map.view(), revoked, stamp, data_file, progress);
  if (d.first_unarchivable) {
    throw Error("line " + std::to_string(d.first_unarchivable) + " of " + quote_path(data_file) +
                " cannot be purged: its archive record would be nested too deeply to be read back");
  }

  std::optional<std::string> archive;
  bool replaced = false;
  try {
    if (d.purged) {
      auto [fd, path] = create_archive(root, stamp);
      archive = path;
      BufferedWriter out(fd);
      std::string record;
      Key key;
      walk(d, [&](std::string_view line, unsigned char v) {
        if (v == kKeep) return;
        std::optional<std::string_view> canonical = hash_line(line, key);
        record.clear();
        write_record(record, stamp, data_file, canonical ? *canonical : std::string_view(), line);
        record.push_back('\n');
        out.add(record);
      });
      out.flush();
      sync_fd(fd);
      fd.close();
      sync_parent_dir(path);
    }

    // The kept lines go to a fresh file beside the real data file (a
    // symbolic link stays a link), with the data file's permission bits and
    // owner, flushed to disk before it is renamed over the data file.
    replace_file(f.real, [&](Fd& fd, const std::string&) {
      crash_point();
      if (::fchmod(fd.get(), f.st.st_mode & 07777) != 0) throw Error::last_os();
      if (::fchown(fd.get(), f.st.st_uid, f.st.st_gid) != 0 && errno != EPERM) throw Error::last_os();
      BufferedWriter out(fd);
      walk(d, [&](std::string_view line, unsigned char v) {
        if (v != kKeep) return;
        out.add(line);
        out.add("\n");
      }, progress);
      out.flush();
      sync_fd(fd);
    });
    replaced = true;
  } catch (...) {
    // Not replaced: the archive must not hold lines the data file still has.
    if (!replaced && archive) ::unlink(archive->c_str());
    throw;
  }
  sync_parent_dir(f.real);

  PurgeResult r{d.purged, d.kept, archive ? d.purged : 0};
  if (archive) {
    oplog::append(root, "purge_archive",
                  "archived " + std::to_string(d.purged) + " lines to " + quote_path(*archive));
  }
  oplog::append(root, "purge",
                "purged " + std::to_string(d.purged) + " lines from " + quote_path(data_file) +
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
  KeySet revoked = revoked_line_set(root);
  return rewrite(root, data_file, revoked, "", progress);
}

PurgeResult purge_by_author_indexed(const std::string& root, const std::string& author_name,
                                    const std::string& data_file, bool dry_run, Progress* progress) {
  uint64_t distinct = 0;
  KeySet revoked = author_line_set(root, author_name, &distinct);
  if (dry_run) return PurgeResult{distinct, 0, 0};
  return rewrite(root, data_file, revoked, " (indexed, author=" + author_name + ")", progress);
}

Plan plan(const std::string& root, const std::string& data_file,
          const std::optional<std::string>& author_name) {
  uint64_t distinct = 0;
  KeySet revoked = author_name ? author_line_set(root, *author_name, &distinct) : revoked_line_set(root);
  DataFile f = open_data_file(data_file);
  Mapping map = Mapping::map(f.fd, static_cast<size_t>(f.st.st_size));
  Decision d = decide(map.view(), revoked, archive_stamp(now_seconds()), data_file, nullptr);
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
    struct stat st;
    bool exists = ::stat(data_file.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
      throw Error("data file " + quote_path(data_file) + " is not a regular file");
    }
    // Read and append: the last byte is looked at before anything is added.
    crash_point();
    int raw = ::open(data_file.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (raw < 0) throw Error::last_os();
    Fd fd(raw);
    if (::fstat(fd.get(), &st) != 0) throw Error::last_os();
    off_t before = st.st_size;
    // A last line without its newline would glue onto the first restored one.
    if (before > 0) {
      char last = 0;
      if (::pread(fd.get(), &last, 1, before - 1) != 1) throw Error::last_os();
      if (last != '\n') restored.insert(restored.begin(), '\n');
    }
    try {
      fd.write_all(restored);
      sync_fd(fd);
    } catch (...) {
      // Nothing of a failed restore stays, so a repeated call cannot double it.
      if (::ftruncate(fd.get(), before) != 0) {
        // The original error says more than this one.
      }
      throw;
    }
    fd.close();
  }
  remove_file(archive);
  sync_parent_dir(archive);
  r.restored = count;
  oplog::append(root, "purge_reverse",
                "restored " + std::to_string(count) + " lines from " + quote_path(archive));
  return r;
}

}  // namespace vl::purge
