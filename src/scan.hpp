// The one way the store reads line files: which files, how their lines are
// split, what an unreadable file does, and how the work runs.
//
// Contract:
// - Files are read through mmap_file (read into memory when small, mapped
//   read-only otherwise).  Any process may map a store file: the store never
//   truncates or rewrites in place a file readers may map; it replaces such a
//   file by rename, and appends only add whole lines at the end.  A reader
//   sees the file as it was when it was opened; lines appended later are not
//   seen, and a torn last line (no LF yet) comes as a line that no record
//   parser accepts.
// - A missing or empty file contributes nothing.  A file that exists but
//   cannot be opened, measured, read or mapped is skipped or fails the scan,
//   as the caller asks.
// - per_line runs on pool workers for the parallel modes: it must not touch
//   Python objects and may only write to the output vector it is given.
//   Results are joined in file order (the order of the list given), and
//   within a file in line order, whatever the mode.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "fs.hpp"
#include "mmap_lines.hpp"
#include "pool.hpp"

namespace vl::scan {

// Which entries of a directory are scanned.
enum class Files {
  Shards,   // shard-named regular files of a layer (two hex digits)
  Regular,  // every regular file but temporary ones (names starting with ".")
  Merged,   // numbered merged files, by number
};

// How lines are split.
enum class Lines {
  Text,  // the line rules of mmap_lines.hpp: CR before LF dropped, empty lines skipped
  Raw,   // every non-empty run of bytes between LFs, exactly as stored (CR kept)
};

enum class Unreadable { Skip, Fail };

enum class Run {
  Serial,    // on the calling thread
  PerFile,   // one task per file on the pool
  PerChunk,  // files one after another, each split into chunks of whole lines on the pool
};

struct Options {
  Lines lines = Lines::Text;
  Unreadable unreadable = Unreadable::Skip;
  Run run = Run::PerFile;
  // Bytes per chunk for Run::PerChunk; a chunk is extended to the end of
  // the line it cuts.
  size_t chunk_bytes = size_t{1} << 20;
};

// One line: its text, its byte offset in the file, and the index of its
// file in the scanned list.  For Lines::Raw, text.size() is the stored length.
struct Line {
  std::string_view text;
  size_t offset = 0;
  size_t file = 0;
};

// The files of `dir` of the given kind, in listing order (Merged: by
// number).  Nothing when `dir` is not a directory.
std::vector<std::string> list_files(const std::string& dir, Files which);

// The file's bytes, or nothing when it is missing or empty, or unreadable
// and `unreadable` is Skip.
std::optional<Mapping> open(const std::string& path, Unreadable unreadable);

// Calls fn(Line) for every line of `bytes` (offsets from `base`), in order.
template <typename Fn>
void walk(std::string_view bytes, Lines lines, size_t base, size_t file, Fn&& fn) {
  size_t pos = 0;
  while (pos < bytes.size()) {
    size_t nl = bytes.find('\n', pos);
    size_t end = nl == std::string_view::npos ? bytes.size() : nl;
    std::string_view text = bytes.substr(pos, end - pos);
    Line line{text, base + pos, file};
    pos = end + 1;
    if (lines == Lines::Text && !text.empty() && text.back() == '\r') line.text.remove_suffix(1);
    if (line.text.empty()) continue;
    fn(line);
  }
}

// Where the chunks of whole lines of `bytes` end: each chunk starts where
// the previous one ended and ends after the first LF at or beyond
// `chunk_bytes` from its start (or at the end of the bytes).
std::vector<size_t> chunk_ends(std::string_view bytes, size_t chunk_bytes);
// The same chunks, as views into `bytes`.
std::vector<std::string_view> chunks(std::string_view bytes, size_t chunk_bytes);

// A run of consecutive chunks: chunks [first, last) of a chunk list, and
// the bytes they cover.
struct Batch {
  size_t first, last;
  std::string_view bytes;
  size_t size() const { return last - first; }
};
// The chunks, in order, grouped into batches of at most `batch_bytes` (a
// larger chunk is a batch of its own).
std::vector<Batch> batches(const std::vector<std::string_view>& chunks, size_t batch_bytes);

// per_line(const Line&, std::vector<T>& out) over the lines of `bytes`, run
// serially or (Run::PerChunk) in chunks on the pool, results in line order.
template <typename T, typename PerLine>
std::vector<T> bytes(std::string_view data, const Options& opt, PerLine&& per_line, size_t file = 0) {
  std::vector<T> out;
  if (opt.run != Run::PerChunk) {
    walk(data, opt.lines, 0, file, [&](const Line& l) { per_line(l, out); });
    return out;
  }
  std::vector<size_t> ends = chunk_ends(data, opt.chunk_bytes);
  auto parts = pool::ordered_map<std::vector<T>>(ends.size(), [&](size_t c) {
    std::vector<T> found;
    size_t begin = c == 0 ? 0 : ends[c - 1];
    walk(data.substr(begin, ends[c] - begin), opt.lines, begin, file,
         [&](const Line& l) { per_line(l, found); });
    return found;
  });
  for (auto& part : parts) {
    if (out.empty()) {
      out = std::move(part);
    } else {
      for (auto& item : part) out.push_back(std::move(item));
    }
  }
  return out;
}

// per_line(const Line&, std::vector<T>& out) over every line of every file,
// results in file order, then line order.
template <typename T, typename PerLine>
std::vector<T> files(const std::vector<std::string>& paths, const Options& opt, PerLine&& per_line) {
  std::vector<T> out;
  auto one = [&](size_t i, std::vector<T>& found) {
    auto map = open(paths[i], opt.unreadable);
    if (!map) return;
    std::vector<T> part = bytes<T>(map->view(), opt, per_line, i);
    if (found.empty()) {
      found = std::move(part);
    } else {
      for (auto& item : part) found.push_back(std::move(item));
    }
  };
  if (opt.run != Run::PerFile) {
    for (size_t i = 0; i < paths.size(); ++i) one(i, out);
    return out;
  }
  Options serial = opt;
  serial.run = Run::Serial;
  auto parts = pool::ordered_map<std::vector<T>>(paths.size(), [&](size_t i) {
    std::vector<T> found;
    auto map = open(paths[i], opt.unreadable);
    if (map) found = bytes<T>(map->view(), serial, per_line, i);
    return found;
  });
  size_t total = 0;
  for (const auto& part : parts) total += part.size();
  out.reserve(total);
  for (auto& part : parts) {
    for (auto& item : part) out.push_back(std::move(item));
  }
  return out;
}

// The same over the files of a directory chosen by list_files.
template <typename T, typename PerLine>
std::vector<T> dir(const std::string& path, Files which, const Options& opt, PerLine&& per_line) {
  return files<T>(list_files(path, which), opt, per_line);
}

}  // namespace vl::scan
