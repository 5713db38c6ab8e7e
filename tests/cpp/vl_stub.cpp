// Prints vl/_vl_native.pyi as the function table's rows give it:
//   ninja -C build/cpp vl_stub && build/cpp/vl_stub > vl/_vl_native.pyi

#include <cstdio>

#include "module_table.hpp"

int main() {
  std::string stub = vl::table::render_stub();
  std::fwrite(stub.data(), 1, stub.size(), stdout);
  return 0;
}
