#include "token_index.hpp"

#include <signal.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <set>

#include "error.hpp"
#include "fs.hpp"
#include "json.hpp"
#include "mmap_lines.hpp"
#include "record.hpp"
#include "scan.hpp"
#include "storage.hpp"

namespace vl::token_index {

namespace {

std::string merged_dir(const std::string& root, const std::string& tokenizer) {
  return layout::token_merged_dir(root, tokenizer);
}

// Waits for a lock on the whole open file (see PidWriter).  These are
// open-file-description locks: held by the descriptor, not the process,
// and byte-range locks underneath, as network file systems implement every
// lock; so a shared lock is taken only on a descriptor open for reading and
// an exclusive one only on one open for writing.
void lock(const Fd& fd, bool exclusive) {
  struct flock fl = {};
  fl.l_type = exclusive ? F_WRLCK : F_RDLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0;
  fl.l_len = 0;  // to the end, however far it grows
  while (::fcntl(fd.get(), F_OFD_SETLKW, &fl) != 0) {
    if (errno != EINTR) throw Error::last_os();
  }
}

// Reads the whole of a process file that a merge has renamed away.  The
// exclusive lock waits for writers that opened the file under its old name
// and are still writing (see PidWriter); writers that come later find the
// name gone and write elsewhere, so everything is read.  Opened read-write
// for the exclusive lock; nothing is written.
std::string read_all(const std::string& path) {
  Fd fd = Fd::open_append(path);
  lock(fd, true);
  std::string data;
  char buf[1 << 16];
  for (off_t pos = 0;;) {
    ssize_t n = ::pread(fd.get(), buf, sizeof buf, pos);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw Error::last_os();
    }
    if (n == 0) break;
    data.append(buf, static_cast<size_t>(n));
    pos += n;
  }
  return data;
}

// True when something (even a dangling symlink) has this name.
bool path_taken(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 || errno != ENOENT;
}

// True when the process that named a staging file may still be merging it.
bool owner_alive(uint64_t owner) {
  if (owner == 0 || owner > 999999999) return false;
  auto pid = static_cast<pid_t>(owner);
  if (pid == ::getpid()) return false;  // an earlier failed merge of ours
  return ::kill(pid, 0) == 0 || errno == EPERM;
}

}  // namespace

void check_tokenizer(std::string_view tokenizer) {
  if (tokenizer.empty()) throw Error("invalid tokenizer name: it is empty");
  if (tokenizer.find('/') != std::string_view::npos || tokenizer.find('\0') != std::string_view::npos) {
    throw Error("invalid tokenizer name " + quote_path(tokenizer) +
                ": it must not contain \"/\" or a NUL byte");
  }
}

std::string to_json(const TokenIndexEntry& e) {
  std::string out;
  json::ObjectWriter(out)
      .field("token_count", e.token_count)
      .field("sources", e.sources)
      .field("tokenizer", e.tokenizer)
      .field("revoked", e.revoked)
      .close();
  return out;
}

std::optional<TokenIndexEntry> from_members(std::vector<json::Member>& members) {
  auto found = record::find_fields<4>(members, {"token_count", "sources", "tokenizer", "revoked"});
  if (!found) return std::nullopt;
  TokenIndexEntry e;
  if (!record::take(*(*found)[0], e.token_count) || !record::take(*(*found)[1], e.sources) ||
      !record::take(*(*found)[2], e.tokenizer) || !record::take(*(*found)[3], e.revoked)) {
    return std::nullopt;
  }
  return e;
}

std::optional<TokenIndexEntry> parse(std::string_view line) {
  TokenIndexEntry e;
  std::array<json::Value, 4> f;
  if (auto fields = record::fields<4>(line, {"token_count", "sources", "tokenizer", "revoked"})) {
    f = std::move(*fields);
  } else {
    // The same four values as an array, in declaration order.
    auto v = json::parse(line);
    json::Array* items = v ? v->as_array() : nullptr;
    if (!items || items->size() != 4) return std::nullopt;
    std::move(items->begin(), items->end(), f.begin());
  }
  if (!record::take(f[0], e.token_count) || !record::take(f[1], e.sources) ||
      !record::take(f[2], e.tokenizer) || !record::take(f[3], e.revoked)) {
    return std::nullopt;
  }
  return e;
}

std::string file_name(uint64_t number) { return layout::merged_file_name(number); }

std::optional<uint64_t> parse_file_number(std::string_view name) {
  return layout::parse_merged_number(name);
}

PidWriter::PidWriter(const std::string& root, const std::string& tokenizer, bool create_store)
    : tokenizer_(tokenizer) {
  check_tokenizer(tokenizer);
  if (create_store) create_dir_all(store_dir(root));
  std::string path = layout::token_pid_file(root, tokenizer, static_cast<uint64_t>(::getpid()));
  // A merge renames process files away before reading them.  A line written
  // through a descriptor opened before that rename would land in a file the
  // merge has already read and deleted, and be lost.  So the line is written
  // under a shared lock (the merge takes the exclusive one before reading)
  // and only while the name still leads to the file that is open; otherwise
  // it goes to a fresh file under the name.  Writers never wait for each
  // other: each has a file of its own.
  for (;;) {
    Fd fd = Fd::open_append(path);
    lock(fd, false);
    struct stat held, named;
    if (::fstat(fd.get(), &held) != 0) throw Error::last_os();
    if (::stat(path.c_str(), &named) != 0) {
      if (errno != ENOENT) throw Error::last_os();
      continue;  // renamed away and not yet recreated
    }
    if (named.st_dev == held.st_dev && named.st_ino == held.st_ino) {
      fd_ = std::move(fd);
      return;
    }
  }
}

void PidWriter::append(uint64_t token_count, const std::vector<std::string>& sources) {
  TokenIndexEntry e{token_count, sources, tokenizer_, false};
  std::string line = to_json(e);
  line.push_back('\n');
  append_lines(line);
}

void PidWriter::append_lines(std::string_view lines) {
  fd_.append_lines(lines);
  fd_.close();
}

void write_pid(const std::string& root, const std::string& tokenizer, uint64_t token_count,
               const std::vector<std::string>& sources) {
  PidWriter(root, tokenizer).append(token_count, sources);
}

void write_pid_lines(const std::string& root, const std::string& tokenizer, std::string_view lines) {
  PidWriter(root, tokenizer).append_lines(lines);
}

std::pair<uint64_t, uint64_t> merge_pid_files(const std::string& root, const std::string& tokenizer) {
  check_tokenizer(tokenizer);
  std::string store = store_dir(root);
  if (!is_dir(store)) return {0, 0};

  // Process files of exactly this tokenizer: the rest of the name after
  // "token-index.<tokenizer>." is a process id.  (A longer tokenizer name
  // that starts with this one followed by a dot is another tokenizer.)
  std::vector<std::string> sources;
  for (const DirEntry& e : list_dir(store)) {
    layout::Entry entry = layout::parse_store_entry(e.name, false);
    if (entry.kind != layout::Kind::TokenPidFile || entry.tokenizer != tokenizer) continue;
    if (!is_regular(e.path)) continue;
    sources.push_back(e.path);
  }
  // Staging files left behind by a merge that failed or died.  One whose
  // merged form already has its number (its fold file is linked to it) was
  // folded before the merge stopped: it is removed, not folded again.
  std::string dir = merged_dir(root, tokenizer);
  uint64_t processed = 0;
  if (is_dir(dir)) {
    std::vector<std::string> leftovers;
    for (const DirEntry& e : list_dir(dir)) {
      layout::Entry entry = layout::parse_merged_entry(e.name);
      if (entry.kind != layout::Kind::Staging || owner_alive(entry.number)) continue;
      std::string fold = join(dir, layout::fold_name(e.name));
      struct stat st;
      if (::lstat(fold.c_str(), &st) == 0) {
        if (S_ISREG(st.st_mode) && st.st_nlink > 1) {
          remove_file(e.path);
          ++processed;
        }
        ::unlink(fold.c_str());
        if (S_ISREG(st.st_mode) && st.st_nlink > 1) continue;
      }
      leftovers.push_back(e.path);
    }
    sources.insert(sources.begin(), leftovers.begin(), leftovers.end());
  }
  if (sources.empty()) return {0, processed};

  drop_binary_index(root, tokenizer);
  create_dir_all(dir);
  uint64_t next = 1;
  for (const DirEntry& e : list_dir(dir)) {
    layout::Entry entry = layout::parse_merged_entry(e.name);
    if (entry.kind == layout::Kind::MergedFile) next = std::max(next, entry.number + 1);
  }

  const auto self = static_cast<uint64_t>(::getpid());
  uint64_t staged = 0, entries = 0;
  for (const std::string& source : sources) {
    std::string staging;
    layout::Entry held = layout::parse_merged_entry(source.substr(source.rfind('/') + 1));
    if (source.compare(0, dir.size() + 1, dir + "/") == 0 && held.kind == layout::Kind::Staging) {
      // Left by a merge that stopped (see above): it is already out of the
      // writers' way and no other merge adopts files of a live process, so
      // it is read where it is.
      staging = source;
    } else {
      // Claim the file by moving it out of the writers' way: a writer that
      // comes later creates a fresh process file, and of two merges only
      // one wins the rename.  Staging names still held by such leftovers of
      // this process are skipped: rename() would silently replace them and
      // lose their lines.
      do {
        staging = join(dir, layout::staging_name(self, staged++));
      } while (path_taken(staging) || path_taken(join(dir, layout::fold_name(staging.substr(dir.size() + 1)))));
      if (::rename(source.c_str(), staging.c_str()) != 0) {
        if (errno == ENOENT) continue;  // another merge took it
        throw Error::last_os();
      }
    }
    std::string data = read_all(staging);
    std::string out;
    uint64_t count = 0;
    for_each_line(data, [&](std::string_view line) {
      auto v = json::parse(line);
      if (!v) return;
      json::write(out, *v);
      out.push_back('\n');
      ++count;
    });
    if (count == 0) {
      ::unlink(staging.c_str());
      ++processed;
      continue;
    }
    // The merged file is written whole under a temporary name and only then
    // given its number, by a hard link, which fails when the number is
    // taken (another merge): the next number is tried.  So a number never
    // names a partial file, and two merges never share one.  The temporary
    // name stays linked until the staging file is gone (see above).
    const std::string fold = join(dir, layout::fold_name(staging.substr(dir.size() + 1)));
    try {
      Fd merged = Fd::create_exclusive(fold);
      merged.write_all(out);
      sync_fd(merged);
      merged.close();
      for (;; ++next) {
        if (::link(fold.c_str(), join(dir, file_name(next)).c_str()) == 0) break;
        if (errno != EEXIST) throw Error::last_os();
      }
    } catch (...) {
      ::unlink(fold.c_str());
      throw;
    }
    ++next;
    sync_parent_dir(fold);
    remove_file(staging);
    ::unlink(fold.c_str());
    entries += count;
    ++processed;
  }
  return {entries, processed};
}

std::vector<std::pair<uint64_t, std::string>> get_merged_files(const std::string& root,
                                                               const std::string& tokenizer) {
  std::vector<std::pair<uint64_t, std::string>> out;
  std::string dir = merged_dir(root, tokenizer);
  if (!is_dir(dir)) return out;
  for (DirEntry& e : list_dir(dir)) {
    layout::Entry entry = layout::parse_merged_entry(e.name);
    if (entry.kind == layout::Kind::MergedFile) out.emplace_back(entry.number, std::move(e.path));
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  return out;
}

std::vector<TokenIndexEntry> read_merged(const std::string& root, const std::string& tokenizer) {
  check_tokenizer(tokenizer);
  std::vector<std::string> paths;
  for (auto& [number, path] : get_merged_files(root, tokenizer)) paths.push_back(std::move(path));
  return scan::files<TokenIndexEntry>(
      paths, {.unreadable = scan::Unreadable::Fail, .run = scan::Run::Serial},
      [](const scan::Line& line, auto& out) {
        if (auto e = parse(line.text)) out.push_back(std::move(*e));
      });
}

TokenStatus token_status(const std::string& root, const std::string& tokenizer) {
  TokenStatus s;
  for (const TokenIndexEntry& e : read_merged(root, tokenizer)) {
    ++s.total_entries;
    if (e.revoked) ++s.revoked_entries;
    s.total_tokens += e.token_count;
  }
  s.active_entries = s.total_entries - s.revoked_entries;
  return s;
}

std::vector<std::string> list_tokenizers(const std::string& root) {
  std::string store = store_dir(root);
  std::set<std::string> names;
  if (!is_dir(store)) return {};
  for (const DirEntry& e : list_dir(store)) {
    if (e.name.compare(0, layout::kTokenPrefix.size(), layout::kTokenPrefix) != 0) continue;
    FileType type = file_type(e.path);
    if (type != FileType::Directory && type != FileType::Regular) continue;
    layout::Entry entry = layout::parse_store_entry(e.name, type == FileType::Directory);
    switch (entry.kind) {
      case layout::Kind::TokenMergedDir:
      case layout::Kind::TokenPidFile:
      case layout::Kind::TokenBinIndex:
      case layout::Kind::TokenOther:
        names.insert(lossy_utf8(entry.tokenizer));
        break;
      default:
        break;
    }
  }
  return {names.begin(), names.end()};
}

void walk_merged_entries(
    const std::string& root, const std::string& tokenizer,
    const std::function<void(uint64_t, uint64_t, std::string_view, TokenIndexEntry&&)>& fn) {
  check_tokenizer(tokenizer);
  // Raw lines, parsed in chunks on the pool; fn sees them in file order.
  struct Parsed {
    size_t offset, length;
    TokenIndexEntry entry;
  };
  const scan::Options opt{.lines = scan::Lines::Raw, .unreadable = scan::Unreadable::Fail,
                          .run = scan::Run::PerChunk};
  for (const auto& [number, path] : get_merged_files(root, tokenizer)) {
    auto map = scan::open(path, opt.unreadable);
    if (!map) continue;
    const std::string_view bytes = map->view();
    auto parsed = scan::bytes<Parsed>(bytes, opt, [](const scan::Line& line, std::vector<Parsed>& out) {
      if (auto e = parse(line.text)) out.push_back({line.offset, line.text.size(), std::move(*e)});
    });
    for (Parsed& p : parsed) fn(number, p.offset, bytes.substr(p.offset, p.length), std::move(p.entry));
  }
}

void drop_binary_index(const std::string& root, const std::string& tokenizer) {
  const std::string path = layout::token_bin_index(root, tokenizer);
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    throw Error::last_os().context("removing " + quote_path(path));
  }
}

void replace_merged_file(const std::string& root, const std::string& tokenizer,
                         const std::string& path, std::string_view bytes) {
  drop_binary_index(root, tokenizer);
  vl::replace_file(path, bytes, Durability::Sync);
}

}  // namespace vl::token_index
