#include "vl.hpp"

#include "fs.hpp"
#include "layout.hpp"

namespace vl {

void VlDir::init() const {
  for (std::string_view layer : layout::kLayers) create_dir_all(layout::layer_dir(root_, layer));
  // A fresh, empty log; replaced rather than truncated, so that a reader
  // holding the old log mapped never sees it shrink.
  replace_file(layout::log_file(root_), std::string_view{});
}

}  // namespace vl
