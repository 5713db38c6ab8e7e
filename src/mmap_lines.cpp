#include "mmap_lines.hpp"

#include <sys/stat.h>

#include "error.hpp"

namespace vl {

// Files up to this size are read rather than mapped (see Mapping).
constexpr size_t kReadBelow = size_t{1} << 20;

std::optional<Mapping> mmap_file(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  Fd fd = Fd::open_read(path);
  if (::fstat(fd.get(), &st) != 0) throw Error::last_os();
  if (st.st_size == 0) return std::nullopt;
  auto size = static_cast<size_t>(st.st_size);
  if (S_ISREG(st.st_mode) && size <= kReadBelow) return Mapping::read(fd, size);
  return Mapping::map(fd, size);
}

}  // namespace vl
