#include "storage.hpp"

#include <string>

#include "error.hpp"
#include "fs.hpp"
#include "mmap_lines.hpp"

namespace vl {

std::string_view shard_name(std::string_view hash) {
  bool whole = hash.size() == 2 ||
               (hash.size() > 2 && (static_cast<unsigned char>(hash[2]) & 0xC0) != 0x80);
  if (!whole) {
    throw Error("invalid hash " + quote_path(hash) +
                ": a shard name needs at least two whole characters");
  }
  return hash.substr(0, 2);
}

std::string store_dir(std::string_view root) { return join(root, ".vl"); }

std::string shard_path(std::string_view root, std::string_view layer, std::string_view hash) {
  std::string_view name = shard_name(hash);
  return join(join(store_dir(root), layer), name);
}

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
  fd.write_all(line);
  fd.close();
}

void jsonl_append(const std::string& path, const json::Value& value) {
  std::string line;
  json::write(line, value);
  line.push_back('\n');
  append_line(path, line);
}

static bool is_hex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool is_shard_file_name(std::string_view name) {
  return name.size() == 2 && is_hex(name[0]) && is_hex(name[1]);
}

std::vector<std::string> shard_files(std::string_view root, std::string_view layer) {
  std::string dir = join(store_dir(root), layer);
  std::vector<std::string> out;
  if (!is_dir(dir)) return out;
  for (DirEntry& e : list_dir(dir)) {
    if (is_shard_file_name(e.name) && is_regular(e.path)) out.push_back(std::move(e.path));
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
