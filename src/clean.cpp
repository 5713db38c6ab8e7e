#include "clean.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <thread>

#include "error.hpp"
#include "fs.hpp"
#include "json.hpp"
#include "layout.hpp"
#include "mmap_lines.hpp"
#include "oplog.hpp"
#include "storage.hpp"
#include "token_bin_index.hpp"
#include "token_index.hpp"

namespace vl::clean {

namespace {

// A per-process document index file that a clean has claimed is renamed to
// docidx.clean.<pid>.<n> before it is read: writers that open the file
// afterwards create a fresh one under the old name.  The name is still a
// per-process file name, so a file left behind by a clean that died is
// folded in by the next one.
constexpr std::string_view kClaimedPrefix = "clean.";

bool all_digits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// True when something (even a dangling symlink) has this name.
bool path_taken(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 || errno != ENOENT;
}

// The pid in a claimed file's suffix, when it is one.
std::optional<pid_t> claimed_by(std::string_view name) {
  if (name.substr(0, kClaimedPrefix.size()) != kClaimedPrefix) return std::nullopt;
  std::string_view rest = name.substr(kClaimedPrefix.size());
  size_t dot = rest.find('.');
  if (dot == std::string_view::npos) return std::nullopt;
  std::string_view pid = rest.substr(0, dot);
  if (!all_digits(pid) || pid.size() > 9 || !all_digits(rest.substr(dot + 1))) return std::nullopt;
  return static_cast<pid_t>(std::stol(std::string(pid)));
}

bool process_alive(pid_t pid) { return ::kill(pid, 0) == 0 || errno == EPERM; }

// Reads from `offset` to the end of the open file.
std::string read_from(const Fd& fd, uint64_t offset) {
  std::string data;
  char buf[1 << 16];
  for (;;) {
    ssize_t n = ::pread(fd.get(), buf, sizeof buf, static_cast<off_t>(offset + data.size()));
    if (n < 0) {
      if (errno == EINTR) continue;
      throw Error::last_os();
    }
    if (n == 0) break;
    data.append(buf, static_cast<size_t>(n));
  }
  return data;
}

// Waits until no other process has the claimed file open, so that no line
// can still be written to it: a write lease is granted only then, and once
// the file is renamed nobody opens it again.  Writers that keep the file
// open for longer than the wait (or file systems without leases) are met
// by reading the file once more after it was removed.
// Whoever opens the file while the lease is held is made to wait for the
// clean to finish with it, and the lease holder is told by a signal: one
// whose default action is to ignore it, rather than SIGIO, which would end
// the process.
void wait_for_writers(const Fd& fd) {
  using namespace std::chrono;
  if (::fcntl(fd.get(), F_SETSIG, SIGURG) != 0) return;
  auto deadline = steady_clock::now() + seconds(2);
  while (::fcntl(fd.get(), F_SETLEASE, F_WRLCK) != 0) {
    if (errno != EAGAIN || steady_clock::now() > deadline) return;
    std::this_thread::sleep_for(milliseconds(1));
  }
}

// Lines grouped by the file they are appended to, written one request per
// file, in the order the files were first met.
class Appends {
 public:
  void add(const std::string& path, std::string_view line) {
    auto [it, fresh] = index_.try_emplace(path, pending_.size());
    if (fresh) pending_.emplace_back(path, std::string());
    std::string& buf = pending_[it->second].second;
    buf.append(line);
    buf.push_back('\n');
  }
  void flush() {
    for (auto& [path, lines] : pending_) append_line(path, lines);
    pending_.clear();
    index_.clear();
  }

 private:
  std::vector<std::pair<std::string, std::string>> pending_;
  std::map<std::string, size_t> index_;
};

// Adds the records of `data` that carry a line hash naming a shard to the
// appends of their shards; returns how many.
uint64_t fold_records(const std::string& root, std::string_view data, Appends* out) {
  uint64_t count = 0;
  std::string text;
  for_each_line(data, [&](std::string_view line) {
    auto v = json::parse(line);
    if (!v) return;
    const json::Value* hash = v->find("line_hash");
    const std::string* key = hash ? hash->as_string() : nullptr;
    if (!key || !names_shard(*key)) return;
    ++count;
    if (!out) return;
    text.clear();
    json::write(text, *v);
    out->add(layout::shard_path(root, layout::kDocumentIndex, *key), text);
  });
  return count;
}

struct DocIdxFile {
  std::string suffix;
  std::string path;
};

std::vector<DocIdxFile> docidx_files(const std::string& store) {
  std::vector<DocIdxFile> out;
  for (DirEntry& e : list_dir(store)) {
    layout::Entry entry = layout::parse_store_entry(e.name, false);
    if (entry.kind != layout::Kind::DocIdx || !is_regular(e.path)) continue;
    out.push_back({std::move(entry.suffix), std::move(e.path)});
  }
  return out;
}

// Folds the per-process document index files into the shards; returns
// (records merged, files deleted).
std::pair<uint64_t, uint64_t> fold_docidx(const std::string& root, bool dry_run) {
  std::string store = layout::store_dir(root);
  uint64_t merged = 0, deleted = 0, sequence = 0;
  const pid_t self = ::getpid();
  for (const DocIdxFile& file : docidx_files(store)) {
    std::optional<pid_t> owner = claimed_by(file.suffix);
    // Claimed by another clean that is still running: its business.
    if (owner && *owner != self && process_alive(*owner)) continue;
    if (dry_run) {
      if (auto map = mmap_file(file.path)) merged += fold_records(root, map->view(), nullptr);
      ++deleted;
      continue;
    }
    std::string claimed = file.path;
    if (!owner) {
      // Move the file out of its writer's way before reading it, so that
      // nothing appended later is deleted unread.
      std::string base = std::string(kClaimedPrefix) + std::to_string(self) + ".";
      do {
        claimed = layout::docidx_file(root, base + std::to_string(sequence++));
      } while (path_taken(claimed));
      if (::rename(file.path.c_str(), claimed.c_str()) != 0) {
        if (errno == ENOENT) continue;  // vanished in between
        throw Error::last_os();
      }
    }
    Fd fd = Fd::open_read(claimed);
    wait_for_writers(fd);
    Appends appends;
    uint64_t done = 0;
    auto consume = [&](std::string_view bytes) {
      merged += fold_records(root, bytes, &appends);
      appends.flush();
      done += bytes.size();
    };
    auto whole_lines = [](std::string_view bytes) {
      size_t nl = bytes.rfind('\n');
      return nl == std::string_view::npos ? 0 : nl + 1;
    };
    std::string data = read_from(fd, 0);
    size_t whole = whole_lines(data);
    consume(std::string_view(data).substr(0, whole));
    remove_file(claimed);
    ++deleted;
    // A writer that opened the file before the rename may have written
    // since it was read; the open descriptor still reaches those lines.
    // A last line without LF counts once the file stops growing.
    for (std::string rest = data.substr(whole);;) {
      std::string more = read_from(fd, done);
      if (more.size() == rest.size()) {
        consume(more);
        break;
      }
      whole = whole_lines(more);
      consume(std::string_view(more).substr(0, whole));
      rest = more.substr(whole);
    }
  }
  return {merged, deleted};
}

// Token process files of a tokenizer that a merge would take now: the rest
// of the name after "token-index.<tokenizer>." is a process id.
std::pair<uint64_t, uint64_t> count_token_pid_files(const std::string& root,
                                                    const std::string& tokenizer) {
  uint64_t entries = 0, files = 0;
  for (const DirEntry& e : list_dir(layout::store_dir(root))) {
    layout::Entry entry = layout::parse_store_entry(e.name, false);
    if (entry.kind != layout::Kind::TokenPidFile || entry.tokenizer != tokenizer) continue;
    if (!is_regular(e.path)) continue;
    ++files;
    if (auto map = mmap_file(e.path)) {
      for_each_line(map->view(), [&](std::string_view line) {
        if (json::parse(line)) ++entries;
      });
    }
  }
  return {entries, files};
}

// Rebuilds a tokenizer's binary index after its merge.  A failure (such as
// a tokenizer without merged files) leaves the readers on the merged files.
void rebuild_token_index(const std::string& root, const std::string& tokenizer) {
  try {
    token_index::build_binary_index(root, tokenizer);
  } catch (const Error&) {
  }
}

}  // namespace

bool names_shard(std::string_view key) {
  return key.size() >= 2 && layout::is_shard_file_name(key.substr(0, 2));
}

uint64_t archive_layer(const std::string& root, const std::string& archive_dir,
                       std::string_view layer, std::string_view key_field, bool dry_run) {
  uint64_t count = 0;
  for (const std::string& path : shard_files(root, layer)) {
    auto map = mmap_file(path);
    if (!map) continue;
    Appends appends;
    std::string text;
    for_each_line(map->view(), [&](std::string_view line) {
      // Only a line holding "true" can be revoked or orphaned.
      if (line.find("true") == std::string_view::npos) return;
      auto v = json::parse(line);
      if (!v) return;
      const json::Value* revoked = v->find("revoked");
      const json::Value* orphan = v->find("orphan");
      bool archivable = (revoked && revoked->as_bool() && *revoked->as_bool()) ||
                        (orphan && orphan->as_bool() && *orphan->as_bool());
      if (!archivable) return;
      const json::Value* key = v->find(key_field);
      const std::string* k = key ? key->as_string() : nullptr;
      if (!k || !names_shard(*k)) return;
      ++count;
      if (dry_run) return;
      text.clear();
      json::write(text, *v);
      appends.add(join(archive_dir, std::string(layer) + "." + k->substr(0, 2)), text);
    });
    appends.flush();
  }
  return count;
}

uint64_t archive_revoked(const std::string& root, bool dry_run) {
  std::string dir = layout::archive_dir(root);
  if (!dry_run) create_dir_all(dir);
  return archive_layer(root, dir, layout::kDocumentIndex, "line_hash", dry_run) +
         archive_layer(root, dir, layout::kSections, "section_hash", dry_run) +
         archive_layer(root, dir, layout::kAuthors, "id", dry_run);
}

CleanCounts clean(const std::string& root, bool split, bool dry_run) {
  CleanCounts counts;
  if (!is_dir(layout::store_dir(root))) return counts;

  std::string log = layout::log_file(root);
  struct stat st;
  if (::stat(log.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_size) > kLogRotateBytes) {
    if (!dry_run) {
      rename_path(log, layout::rotated_log_file(root));
      // Created without truncation: a line another process appended to the
      // new log in the meantime stays.
      Fd::open_append(log).close();
    }
    counts.log_rotated = 1;
  }
  if (!dry_run) oplog::append(root, "clean", split ? "split=true" : "split=false");

  std::tie(counts.document_merged, counts.pid_files_deleted) = fold_docidx(root, dry_run);

  for (const std::string& tokenizer : token_index::list_tokenizers(root)) {
    std::pair<uint64_t, uint64_t> merged;
    if (dry_run) {
      merged = count_token_pid_files(root, tokenizer);
    } else {
      merged = token_index::merge_pid_files(root, tokenizer);
      rebuild_token_index(root, tokenizer);
    }
    counts.token_index_merged += merged.first;
    counts.token_index_pid_deleted += merged.second;
  }

  counts.archived_records = archive_revoked(root, dry_run);

  std::string split_dir = layout::split_dir(root);
  if (split && !dry_run && is_dir(split_dir)) {
    std::error_code ec;
    std::filesystem::remove_all(split_dir, ec);
    try {
      create_dir_all(split_dir);
    } catch (const Error&) {
      // The reset is best effort: a split directory that cannot be made
      // again is made by whoever needs it next.
    }
  }
  return counts;
}

}  // namespace vl::clean
