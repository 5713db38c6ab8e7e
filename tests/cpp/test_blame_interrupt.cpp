// A long line diff asks its caller, every few milliseconds, whether to stop.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "blame.hpp"

namespace {

std::vector<std::string> lines(const char* prefix, int n) {
  std::vector<std::string> out;
  for (int i = 0; i < n; ++i) out.push_back(prefix + std::to_string(i));
  return out;
}

TEST(BlameDiff, ALongSearchAsksWhetherToStopAndStops) {
  auto a = lines("a", 6000), b = lines("b", 6000);
  int asked = 0;
  std::vector<vl::Opcode> ops = vl::blame_diff(a, b, [&] {
    ++asked;
    return false;
  });
  EXPECT_GT(asked, 0);
  ASSERT_EQ(ops.size(), 1u);
  EXPECT_EQ(ops[0], (vl::Opcode{vl::OpTag::Replace, 0, 6000, 0, 6000}));
  EXPECT_THROW(vl::blame_diff(a, b, [] { return true; }), vl::Interrupted);
  // A short diff is never asked.
  EXPECT_EQ(vl::blame_diff(lines("a", 3), lines("b", 3), [] { return true; }).size(), 1u);
}

}  // namespace
