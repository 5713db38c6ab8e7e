// A long line diff asks its caller, every few milliseconds, whether to stop.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "blame.hpp"

namespace {

std::vector<std::string> lines(const char* prefix, int n) {
  std::vector<std::string> out;
  for (int i = 0; i < n; ++i) out.push_back(std::string(prefix).append(std::to_string(i)));
  return out;
}

TEST(BlameDiff, ALongSearchAsksWhetherToStopAndStops) {
  // One line in common, at opposite ends: the search has to look far.
  auto a = lines("a", 6000), b = lines("b", 6000);
  a.push_back("x");
  b.insert(b.begin(), "x");
  int asked = 0;
  std::vector<vl::Opcode> ops = vl::blame_diff(a, b, [&] {
    ++asked;
    return false;
  });
  EXPECT_GT(asked, 0);
  EXPECT_EQ(ops, (std::vector<vl::Opcode>{{vl::OpTag::Delete, 0, 6000, 0, 0},
                                          {vl::OpTag::Equal, 6000, 6001, 0, 1},
                                          {vl::OpTag::Insert, 6001, 6001, 1, 6001}}));
  EXPECT_THROW(vl::blame_diff(a, b, [] { return true; }), vl::Interrupted);
  // A short diff is never asked.
  EXPECT_EQ(vl::blame_diff(lines("a", 3), lines("b", 3), [] { return true; }).size(), 1u);
}

TEST(BlameDiff, NothingInCommonPastPrefixAndSuffixNeedsNoSearch) {
  // No line of the new middle occurs in the old list: one replacement,
  // found without searching (so without asking).
  for (bool ends : {false, true}) {
    auto a = lines("a", 30000), b = lines("b", 20000);
    if (ends) {
      a.insert(a.begin(), "head");
      b.insert(b.begin(), "head");
      a.push_back("tail");
      b.push_back("tail");
    }
    size_t p = ends ? 1 : 0;
    std::vector<vl::Opcode> want{{vl::OpTag::Replace, p, p + 30000, p, p + 20000}};
    if (ends) {
      want.insert(want.begin(), {vl::OpTag::Equal, 0, 1, 0, 1});
      want.push_back({vl::OpTag::Equal, 30001, 30002, 20001, 20002});
    }
    EXPECT_EQ(vl::blame_diff(a, b, [] { return true; }), want);
  }
}

}  // namespace
