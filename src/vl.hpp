// The store handle.  Every operation takes the project root and finds the
// store in its .vl directory; VlDir's one job is to create that skeleton.
#pragma once

#include <string>

namespace vl {

class VlDir {
 public:
  explicit VlDir(std::string root) : root_(std::move(root)) {}

  const std::string& root() const { return root_; }

  // Creates .vl with its four layer directories (and any missing parents)
  // and an empty operation log.  Existing records are kept; the log is
  // emptied.
  void init() const;

 private:
  std::string root_;
};

}  // namespace vl
