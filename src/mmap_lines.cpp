#include "mmap_lines.hpp"

#include <sys/stat.h>

#include "error.hpp"

namespace vl {

std::optional<Mapping> mmap_file(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  Fd fd = Fd::open_read(path);
  if (::fstat(fd.get(), &st) != 0) throw Error::last_os();
  if (st.st_size == 0) return std::nullopt;
  return Mapping::map(fd, static_cast<size_t>(st.st_size));
}

}  // namespace vl
