#include "index_model/parallel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "index_model/testing/scoped_omp_threads.h"

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

// Many short steps back to back, from two callers at once, with steps started inside
// steps: every item runs exactly once and nothing waits forever on a lost wake-up.
TEST(ParallelTest, PoolStepsFromSeveralCallersAndNestedRunEveryItemOnce) {
  testing_support::ScopedOmpThreads threads(8);
  auto caller = [](std::vector<int>& seen) {
    for (int step = 0; step < 2000; ++step) {
      const uint64_t total = 1 + step % 37;
      ParallelDynamic(total, [&](uint64_t i) {
        ParallelStatic(2, [&](uint64_t first, uint64_t) {
          if (first == 0) ++seen[(step * 37 + i) % seen.size()];
        });
      });
      ParallelStatic(total, [&](uint64_t first, uint64_t count) {
        for (uint64_t i = first; i < first + count; ++i) ++seen[(step * 37 + i + 7) % seen.size()];
      });
    }
  };
  std::vector<int> a(37 * 2000 + 64, 0);
  std::vector<int> b(a.size(), 0);
  std::thread other(caller, std::ref(b));
  caller(a);
  other.join();
  uint64_t expected = 0;
  for (int step = 0; step < 2000; ++step) expected += 2 * (1 + step % 37);
  for (const auto* seen : {&a, &b}) {
    uint64_t sum = 0;
    for (int v : *seen) sum += static_cast<uint64_t>(v);
    EXPECT_EQ(sum, expected);
  }
  EXPECT_EQ(DefaultTeam(), 8);
}

}  // namespace
}  // namespace ombrix
