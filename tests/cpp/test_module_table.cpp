// The function table's rows are well formed, and the type stub in the
// package is the one they give (the live module's signatures are checked
// from Python).

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>

#include "module_table.hpp"
#include "test_files.hpp"

namespace {

using vl::table::Row;

// Names are unique, and no required parameter follows an optional one.
TEST(ModuleTable, RowsAreWellFormed) {
  std::set<std::string> names;
  for (size_t i = 0; i < vl::table::row_count(); ++i) {
    const Row& row = vl::table::rows()[i];
    EXPECT_TRUE(names.insert(row.name).second) << row.name;
    for (size_t p = row.required(); p < row.count(); ++p) {
      EXPECT_NE(row.params[p].default_value, nullptr) << row.name << " " << row.params[p].name;
    }
  }
}

TEST(ModuleTable, PackageStubIsTheOneTheRowsGive) {
  const char* source = std::getenv("VL_TEST_SOURCE_DIR");
  ASSERT_NE(source, nullptr) << "VL_TEST_SOURCE_DIR is not set";
  EXPECT_EQ(vl_test::read_file(std::string(source) + "/vl/_vl_native.pyi"), vl::table::render_stub())
      << "vl/_vl_native.pyi is out of date: ninja -C build/cpp vl_stub && "
         "build/cpp/vl_stub > vl/_vl_native.pyi";
}

}  // namespace
