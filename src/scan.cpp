#include "scan.hpp"

#include <algorithm>

#include "layout.hpp"

namespace vl::scan {

std::vector<std::string> list_files(const std::string& dir, Files which) {
  std::vector<std::string> out;
  if (!is_dir(dir)) return out;
  if (which == Files::Merged) {
    std::vector<std::pair<uint64_t, std::string>> numbered;
    for (DirEntry& e : list_dir(dir)) {
      layout::Entry entry = layout::parse_merged_entry(e.name);
      if (entry.kind == layout::Kind::MergedFile) numbered.emplace_back(entry.number, std::move(e.path));
    }
    std::stable_sort(numbered.begin(), numbered.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& n : numbered) out.push_back(std::move(n.second));
    return out;
  }
  for (DirEntry& e : list_dir(dir)) {
    layout::Kind kind = layout::parse_layer_entry(e.name).kind;
    bool wanted = which == Files::Shards ? kind == layout::Kind::Shard : kind != layout::Kind::Temporary;
    if (wanted && is_regular(e.path)) out.push_back(std::move(e.path));
  }
  return out;
}

std::optional<Mapping> open(const std::string& path, Unreadable unreadable) {
  if (unreadable == Unreadable::Fail) return mmap_file(path);
  try {
    return mmap_file(path);
  } catch (const Error&) {
    return std::nullopt;
  }
}

std::vector<size_t> chunk_ends(std::string_view bytes, size_t chunk_bytes) {
  std::vector<size_t> ends;
  const size_t step = std::max<size_t>(chunk_bytes, 1);
  size_t start = 0;
  while (start < bytes.size()) {
    size_t end = bytes.size();
    if (bytes.size() - start > step) {
      size_t nl = bytes.find('\n', start + step - 1);
      if (nl != std::string_view::npos) end = nl + 1;
    }
    ends.push_back(end);
    start = end;
  }
  return ends;
}

std::vector<std::string_view> chunks(std::string_view bytes, size_t chunk_bytes) {
  std::vector<std::string_view> out;
  size_t start = 0;
  for (size_t end : chunk_ends(bytes, chunk_bytes)) {
    out.push_back(bytes.substr(start, end - start));
    start = end;
  }
  return out;
}

std::vector<Batch> batches(const std::vector<std::string_view>& chunks, size_t batch_bytes) {
  std::vector<Batch> out;
  for (size_t first = 0; first < chunks.size();) {
    size_t last = first, bytes = 0;
    while (last < chunks.size() && (last == first || bytes + chunks[last].size() <= batch_bytes)) {
      bytes += chunks[last++].size();
    }
    out.push_back({first, last, std::string_view(chunks[first].data(), bytes)});
    first = last;
  }
  return out;
}

}  // namespace vl::scan
