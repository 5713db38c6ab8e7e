#include "vl.hpp"

#include "fs.hpp"
#include "layout.hpp"

namespace vl {

void VlDir::init() const {
  for (std::string_view layer : layout::kLayers) create_dir_all(layout::layer_dir(root_, layer));
  Fd log = Fd::create_truncate(layout::log_file(root_));
  log.close();
}

}  // namespace vl
