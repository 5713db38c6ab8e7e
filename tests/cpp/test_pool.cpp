// The ordered pipeline of the pool: then() in index order, each after its
// own work, with buffers reused across the indices in flight; a failure
// is rethrown.
#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "pool.hpp"

namespace {

TEST(Pool, InOrderTakesEveryIndexInOrderFromItsBufferAndRethrowsAFailure) {
  for (size_t in_flight : {1, 2, 3, 8}) {
    for (size_t n : {0, 1, 2, 1000}) {
      std::vector<std::vector<size_t>> buffers(in_flight);
      std::vector<size_t> taken;
      vl::pool::for_each_in_order(
          n, in_flight,
          [&](size_t i) {
            // A little work of varying length, so tasks finish out of order.
            std::vector<size_t>& b = buffers[i % in_flight];
            b.assign(1 + (i * 7919) % 300, i);
          },
          [&](size_t i) {
            const std::vector<size_t>& b = buffers[i % in_flight];
            ASSERT_EQ(b.size(), 1 + (i * 7919) % 300);
            for (size_t v : b) ASSERT_EQ(v, i);
            taken.push_back(i);
          });
      ASSERT_EQ(taken.size(), n) << in_flight;
      for (size_t i = 0; i < n; ++i) EXPECT_EQ(taken[i], i);
    }
  }
  // A failing task's exception reaches the caller.
  EXPECT_THROW(vl::pool::for_each_in_order(
                   100, 4, [](size_t i) { if (i == 57) throw std::runtime_error("task failed"); },
                   [](size_t) {}),
               std::runtime_error);
}

}  // namespace
