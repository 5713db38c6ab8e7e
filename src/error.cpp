#include "error.hpp"

#include <cerrno>
#include <cstring>

namespace vl {

Error Error::os(int errnum) {
  char buf[256];
  // GNU strerror_r may return a static string instead of filling buf.
  const char* text = strerror_r(errnum, buf, sizeof buf);
  Error e(std::string(text) + " (os error " + std::to_string(errnum) + ")");
  e.errno_ = errnum;
  return e;
}

Error Error::last_os() { return os(errno); }

Error Error::context(std::string context) && {
  chain_.insert(chain_.begin(), std::move(context));
  return std::move(*this);
}

}  // namespace vl
