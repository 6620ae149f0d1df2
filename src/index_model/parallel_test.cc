#include "index_model/parallel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <vector>

namespace ombrix {
namespace {

TEST(ParallelTest, StaticSharesAreContiguousAndCoverEverything) {
  for (int team : {1, 3, 8}) {
    for (uint64_t total : {0u, 1u, 7u, 8u, 23u}) {
      uint64_t next = 0;
      for (int t = 0; t < team; ++t) {
        const auto [first, count] = StaticShare(total, team, t);
        EXPECT_EQ(first, next) << team << " members, " << total << " items";
        EXPECT_LE(count, total / team + 1);
        next = first + count;
      }
      EXPECT_EQ(next, total);
    }
  }
}

TEST(ParallelTest, FailuresInsideARegionReachTheCallerAfterIt) {
  std::atomic<uint64_t> done{0};
  try {
    ParallelDynamic(100, [&](uint64_t i) {
      if (i == 40 || i == 70) throw std::runtime_error("item " + std::to_string(i));
      ++done;
    });
    FAIL() << "nothing was rethrown";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "item 40") << "the lowest failing item is reported";
  }
  EXPECT_EQ(done.load(), 98u) << "the other items still ran";

  EXPECT_THROW(ParallelStatic(16, [](uint64_t first, uint64_t) {
                 if (first == 0) throw std::bad_alloc();
               }),
               std::bad_alloc);
  std::vector<int> seen(16, 0);
  ParallelStatic(16, [&](uint64_t first, uint64_t count) {
    for (uint64_t i = first; i < first + count; ++i) seen[i] += 1;
  });
  EXPECT_EQ(seen, std::vector<int>(16, 1));
}

}  // namespace
}  // namespace ombrix
