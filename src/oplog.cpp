#include "oplog.hpp"

#include <chrono>
#include <cstdio>

#include "fs.hpp"
#include "storage.hpp"

namespace vl::oplog {

std::string timestamp(uint64_t unix_seconds) {
  uint64_t days = unix_seconds / 86400;
  uint64_t r = unix_seconds % 86400;
  char buf[48];
  std::snprintf(buf, sizeof buf, "%llu-%02u:%02u:%02u", static_cast<unsigned long long>(days),
                static_cast<unsigned>(r / 3600), static_cast<unsigned>(r % 3600 / 60),
                static_cast<unsigned>(r % 60));
  return buf;
}

static uint64_t now_seconds() {
  auto since = std::chrono::system_clock::now().time_since_epoch();
  auto secs = std::chrono::duration_cast<std::chrono::seconds>(since).count();
  return secs < 0 ? 0 : static_cast<uint64_t>(secs);
}

void append(std::string_view root, std::string_view operation, std::string_view detail) {
  std::string line = timestamp(now_seconds());
  line.reserve(line.size() + operation.size() + detail.size() + 3);
  line.push_back(' ');
  line.append(operation);
  line.push_back(' ');
  line.append(detail);
  line.push_back('\n');
  append_line(layout::log_file(root), line);
}

}  // namespace vl::oplog
