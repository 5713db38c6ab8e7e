#include "storage.hpp"

#include <string>

#include "error.hpp"
#include "fs.hpp"
#include "mmap_lines.hpp"
#include "scan.hpp"

namespace vl {

std::vector<json::Value> jsonl_read(const std::string& path) {
  std::vector<json::Value> out;
  jsonl_for_each(path, [&](json::Value&& v) { out.push_back(std::move(v)); });
  return out;
}

void jsonl_for_each(const std::string& path, const std::function<void(json::Value&&)>& fn) {
  std::optional<Mapping> map = scan::open(path, scan::Unreadable::Fail);
  if (!map) return;
  scan::walk(map->view(), scan::Lines::Text, 0, 0, [&](const scan::Line& line) {
    if (auto v = json::parse(line.text)) fn(std::move(*v));
  });
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
  return scan::list_files(layout::layer_dir(root, layer), scan::Files::Shards);
}

std::vector<json::Value> shard_iterate_all(std::string_view root, std::string_view layer) {
  scan::Options opt{.unreadable = scan::Unreadable::Fail, .run = scan::Run::Serial};
  return scan::files<json::Value>(shard_files(root, layer), opt, [](const scan::Line& line, auto& out) {
    if (auto v = json::parse(line.text)) out.push_back(std::move(*v));
  });
}

std::vector<json::Value> scan_lines_matching(const std::string& path,
                                             const std::vector<std::string>& patterns) {
  if (patterns.empty()) {
    // Still opened, so that an unreadable file fails as with patterns.
    scan::open(path, scan::Unreadable::Fail);
    return {};
  }
  scan::Options opt{.unreadable = scan::Unreadable::Fail, .run = scan::Run::Serial};
  return scan::files<json::Value>({path}, opt, [&](const scan::Line& line, auto& out) {
    for (const std::string& p : patterns) {
      if (line.text.find(p) == std::string_view::npos) continue;
      if (auto v = json::parse(line.text)) out.push_back(std::move(*v));
      return;
    }
  });
}

}  // namespace vl
