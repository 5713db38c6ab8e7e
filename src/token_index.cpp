#include "token_index.hpp"

#include <signal.h>
#include <sys/file.h>
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
#include "storage.hpp"

namespace vl::token_index {

namespace {

constexpr std::string_view kPrefix = "token-index.";
// Process files being merged are moved into the merged directory under this
// prefix first, so that no writer appends to them while they are read.
constexpr std::string_view kStagingPrefix = "merging.";

std::string merged_dir(const std::string& root, const std::string& tokenizer) {
  return join(store_dir(root), std::string(kPrefix) + tokenizer);
}

bool all_digits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Waits for an advisory lock on the open file (see write_pid).
void lock(const Fd& fd, int operation) {
  while (::flock(fd.get(), operation) != 0) {
    if (errno != EINTR) throw Error::last_os();
  }
}

// Reads the whole of a process file that a merge has renamed away.  The
// exclusive lock waits for writers that opened the file under its old name
// and are still writing (see write_pid); writers that come later find the
// name gone and write elsewhere, so everything is read.
std::string read_all(const std::string& path) {
  Fd fd = Fd::open_read(path);
  lock(fd, LOCK_EX);
  std::string data;
  char buf[1 << 16];
  for (;;) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw Error::last_os();
    }
    if (n == 0) break;
    data.append(buf, static_cast<size_t>(n));
  }
  return data;
}

// True when something (even a dangling symlink) has this name.
bool path_taken(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 || errno != ENOENT;
}

// True when the process that named a staging file may still be merging it.
bool owner_alive(std::string_view staging_name) {
  std::string_view rest = staging_name.substr(kStagingPrefix.size());
  std::string_view pid_text = rest.substr(0, rest.find('.'));
  if (!all_digits(pid_text) || pid_text.size() > 9) return false;
  pid_t pid = static_cast<pid_t>(std::stol(std::string(pid_text)));
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

std::string file_name(uint64_t number) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%03llu", static_cast<unsigned long long>(number));
  return buf;
}

std::optional<uint64_t> parse_file_number(std::string_view name) {
  if (!name.empty() && name[0] == '+') name.remove_prefix(1);
  if (!all_digits(name)) return std::nullopt;
  uint64_t v = 0;
  for (char c : name) {
    auto d = static_cast<uint64_t>(c - '0');
    if (v > (UINT64_MAX - d) / 10) return std::nullopt;
    v = v * 10 + d;
  }
  return v;
}

void write_pid(const std::string& root, const std::string& tokenizer, uint64_t token_count,
               const std::vector<std::string>& sources) {
  check_tokenizer(tokenizer);
  std::string store = store_dir(root);
  create_dir_all(store);
  TokenIndexEntry e{token_count, sources, tokenizer, false};
  std::string line = to_json(e);
  line.push_back('\n');
  std::string path = join(store, std::string(kPrefix) + tokenizer + "." + std::to_string(::getpid()));
  // A merge renames process files away before reading them.  A line written
  // through a descriptor opened before that rename would land in a file the
  // merge has already read and deleted, and be lost.  So the line is written
  // under a shared lock (the merge takes the exclusive one before reading)
  // and only while the name still leads to the file that is open; otherwise
  // it goes to a fresh file under the name.  Writers never wait for each
  // other: each has a file of its own.
  for (;;) {
    Fd fd = Fd::open_append(path);
    lock(fd, LOCK_SH);
    struct stat held, named;
    if (::fstat(fd.get(), &held) != 0) throw Error::last_os();
    if (::stat(path.c_str(), &named) != 0) {
      if (errno != ENOENT) throw Error::last_os();
      continue;  // renamed away and not yet recreated
    }
    if (named.st_dev == held.st_dev && named.st_ino == held.st_ino) {
      fd.write_all(line);
      fd.close();
      return;
    }
  }
}

std::pair<uint64_t, uint64_t> merge_pid_files(const std::string& root, const std::string& tokenizer) {
  check_tokenizer(tokenizer);
  std::string store = store_dir(root);
  if (!is_dir(store)) return {0, 0};

  // Process files of exactly this tokenizer: the rest of the name after
  // "token-index.<tokenizer>." is a process id.  (A longer tokenizer name
  // that starts with this one followed by a dot is another tokenizer.)
  std::string prefix = std::string(kPrefix) + tokenizer + ".";
  std::vector<std::string> sources;
  for (const DirEntry& e : list_dir(store)) {
    std::string name = lossy_utf8(e.name);
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
    if (!all_digits(std::string_view(name).substr(prefix.size())) || !is_regular(e.path)) continue;
    sources.push_back(e.path);
  }
  // Staging files left behind by a merge that failed or died.
  std::string dir = merged_dir(root, tokenizer);
  if (is_dir(dir)) {
    std::vector<std::string> leftovers;
    for (const DirEntry& e : list_dir(dir)) {
      if (e.name.compare(0, kStagingPrefix.size(), kStagingPrefix) == 0 && !owner_alive(e.name)) {
        leftovers.push_back(e.path);
      }
    }
    sources.insert(sources.begin(), leftovers.begin(), leftovers.end());
  }
  if (sources.empty()) return {0, 0};

  create_dir_all(dir);
  uint64_t next = 1;
  for (const DirEntry& e : list_dir(dir)) {
    if (auto n = parse_file_number(e.name)) next = std::max(next, *n + 1);
  }

  std::string staging_base = join(dir, std::string(kStagingPrefix) + std::to_string(::getpid()) + ".");
  uint64_t staged = 0, entries = 0, processed = 0;
  for (const std::string& source : sources) {
    std::string staging;
    if (source.compare(0, staging_base.size(), staging_base) == 0) {
      // Staged by an earlier merge of this process that failed: it is
      // already out of the writers' way and no other merge adopts files of
      // a live process, so it is read where it is.
      staging = source;
    } else {
      // Claim the file by moving it out of the writers' way: a writer that
      // comes later creates a fresh process file, and of two merges only
      // one wins the rename.  Staging names still held by such leftovers of
      // this process are skipped: rename() would silently replace them and
      // lose their lines.
      do {
        staging = staging_base + std::to_string(staged++);
      } while (path_taken(staging));
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
    // Merged files are created exclusively, so two merges never share a
    // number: a taken number moves us on to the next.
    Fd merged;
    for (;; ++next) {
      try {
        merged = Fd::create_exclusive(join(dir, file_name(next)));
        break;
      } catch (const Error& e) {
        if (e.os_errno() != EEXIST) throw;
      }
    }
    ++next;
    merged.write_all(out);
    merged.close();
    remove_file(staging);
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
    if (auto n = parse_file_number(e.name)) out.emplace_back(*n, std::move(e.path));
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  return out;
}

std::vector<TokenIndexEntry> read_merged(const std::string& root, const std::string& tokenizer) {
  check_tokenizer(tokenizer);
  std::vector<TokenIndexEntry> out;
  for (const auto& [number, path] : get_merged_files(root, tokenizer)) {
    auto map = mmap_file(path);
    if (!map) continue;
    for_each_line(map->view(), [&](std::string_view line) {
      if (auto e = parse(line)) out.push_back(std::move(*e));
    });
  }
  return out;
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
    std::string name = lossy_utf8(e.name);
    if (name.compare(0, kPrefix.size(), kPrefix) != 0) continue;
    std::string rest = name.substr(kPrefix.size());
    FileType type = file_type(e.path);
    if (type == FileType::Directory && !rest.empty()) {
      names.insert(rest);
    } else if (type == FileType::Regular) {
      size_t dot = rest.rfind('.');
      if (dot != std::string::npos && dot > 0) names.insert(rest.substr(0, dot));
    }
  }
  return {names.begin(), names.end()};
}

}  // namespace vl::token_index
