#include "storage.hpp"

#include <string>

#include "error.hpp"
#include "fs.hpp"
#include "mmap_lines.hpp"

namespace vl {

std::vector<json::Value> jsonl_read(const std::string& path) {
  std::vector<json::Value> out;
  auto map = mmap_file(path);
  if (!map) return out;
  for_each_line(map->view(), [&](std::string_view line) {
    if (auto v = json::parse(line)) out.push_back(std::move(*v));
  });
  return out;
}

void append_line(const std::string& path, std::string_view line) {
  Fd fd = Fd::open_append(path);
  fd.append_lines(line);
  fd.close();
}

void jsonl_append(const std::string& path, const json::Value& value) {
  std::string line;
  json::write(line, value);
  line.push_back('\n');
  append_line(path, line);
}

std::vector<std::string> shard_files(std::string_view root, std::string_view layer) {
  std::string dir = layout::layer_dir(root, layer);
  std::vector<std::string> out;
  if (!is_dir(dir)) return out;
  for (DirEntry& e : list_dir(dir)) {
    if (layout::parse_layer_entry(e.name).kind == layout::Kind::Shard && is_regular(e.path)) {
      out.push_back(std::move(e.path));
    }
  }
  return out;
}

std::vector<json::Value> shard_iterate_all(std::string_view root, std::string_view layer) {
  std::vector<json::Value> out;
  for (const std::string& path : shard_files(root, layer)) {
    for (auto& v : jsonl_read(path)) out.push_back(std::move(v));
  }
  return out;
}

std::vector<json::Value> scan_lines_matching(const std::string& path,
                                             const std::vector<std::string>& patterns) {
  std::vector<json::Value> out;
  auto map = mmap_file(path);
  if (!map || patterns.empty()) return out;
  for_each_line(map->view(), [&](std::string_view line) {
    for (const std::string& p : patterns) {
      if (line.find(p) == std::string_view::npos) continue;
      if (auto v = json::parse(line)) out.push_back(std::move(*v));
      return;
    }
  });
  return out;
}

}  // namespace vl
