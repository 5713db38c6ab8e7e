// Memory-mapped reading of line files.
//
// Line rules shared by every reader of the store: lines are separated by LF;
// one CR right before the LF (or at the end of a last line without LF) is
// dropped; empty lines are skipped; a last line without LF counts.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "fs.hpp"

namespace vl {

// The whole file, read-only: mapped, or read when it is small (see Mapping).
// Nothing when the file's metadata cannot be read (normally: it does not
// exist) or the file is empty; an error when it exists but cannot be opened,
// measured, read or mapped.
std::optional<Mapping> mmap_file(const std::string& path);

// Calls fn(line) for every non-empty line of `bytes` under the line rules.
// `fn` may return void, or bool where false stops the walk.
template <typename Fn>
void for_each_line(std::string_view bytes, Fn&& fn) {
  size_t pos = 0;
  while (pos < bytes.size()) {
    size_t nl = bytes.find('\n', pos);
    size_t end = nl == std::string_view::npos ? bytes.size() : nl;
    std::string_view line = bytes.substr(pos, end - pos);
    pos = nl == std::string_view::npos ? bytes.size() : nl + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    if constexpr (std::is_same_v<decltype(fn(line)), bool>) {
      if (!fn(line)) return;
    } else {
      fn(line);
    }
  }
}

}  // namespace vl
