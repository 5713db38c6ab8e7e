#include "vl.hpp"

#include "fs.hpp"
#include "storage.hpp"

namespace vl {

void VlDir::init() const {
  std::string store = store_dir(root_);
  for (const char* layer : {"authors", "sections", "document-index", "index"}) {
    create_dir_all(join(store, layer));
  }
  Fd log = Fd::create_truncate(join(store, "log"));
  log.close();
}

}  // namespace vl
