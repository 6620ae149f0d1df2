#include "index_model/parallel.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <latch>
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

TEST(ParallelTest, MemberZeroRunsOnTheCallingThread) {
  testing_support::ScopedOmpThreads threads(8);
  const std::thread::id caller = std::this_thread::get_id();
  uint64_t elsewhere = 0;
  for (int step = 0; step < 2000; ++step) {
    std::thread::id ran;
    ParallelStatic(8, [&](uint64_t first, uint64_t) {
      if (first == 0) ran = std::this_thread::get_id();
    });
    elsewhere += ran != caller;
  }
  EXPECT_EQ(elsewhere, 0u) << "steps whose member 0 ran on another thread";
}

// omp_set_num_threads reaches only the thread that calls it; the process's team size must
// reach threads that never call anything, and a thread's own later call still rules it.
TEST(ParallelTest, TheProcessTeamSizeReachesEveryThread) {
  testing_support::ScopedOmpThreads threads;
  auto team_elsewhere = [](auto before) {
    int team = 0;
    std::thread([&] {
      before();
      team = DefaultTeam();
    }).join();
    return team;
  };
  SetTeamSize(1);
  EXPECT_EQ(team_elsewhere([] {}), 1) << "a thread that never set a size";
  SetTeamSize(3);
  EXPECT_EQ(DefaultTeam(), 3);
  EXPECT_EQ(team_elsewhere([] { omp_set_num_threads(5); }), 3) << "set before the latest size";
  EXPECT_EQ(team_elsewhere([] {
              static_cast<void>(DefaultTeam());
              omp_set_num_threads(5);
            }),
            5)
      << "set after it";
}

uint64_t ThreadsOfThisProcess() {
  uint64_t count = 0;
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return 0;
  while (const dirent* entry = readdir(tasks)) count += entry->d_name[0] != '.';
  closedir(tasks);
  return count;
}

// 64 callers inside a step of 8 at the same moment: each kept a pool of 7 threads for good.
TEST(ParallelTest, CallersShareABoundedNumberOfPoolThreads) {
  constexpr int kCallers = 64;
  const uint64_t before = ThreadsOfThisProcess();
  std::latch all_inside(kCallers);
  std::atomic<uint64_t> items{0};
  std::vector<std::thread> callers;
  for (int c = 0; c < kCallers; ++c) {
    callers.emplace_back([&] {
      ParallelStatic(64, 8, [&](uint64_t first, uint64_t count) {
        if (first == 0) all_inside.arrive_and_wait();
        items += count;
      });
    });
  }
  for (std::thread& caller : callers) caller.join();
  EXPECT_EQ(items.load(), uint64_t{64} * kCallers);
  const uint64_t kept = 2 * std::max(std::thread::hardware_concurrency(), 1u);
  EXPECT_LE(ThreadsOfThisProcess(), before + kept);
}

// Thread stacks are mapped when a thread starts: under a low address-space limit the pool
// cannot grow. The step must still run, and every signal blocked while pool threads start
// must be unblocked again (SIGINT would never reach the interpreter otherwise).
TEST(ParallelTest, APoolThatCannotGrowRunsTheStepAndRestoresTheSignalMask) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's shadow memory needs address space of its own";
#else
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_AS, &saved), 0);
  sigset_t mask_before, mask_after;
  pthread_sigmask(SIG_BLOCK, nullptr, &mask_before);
  std::atomic<uint64_t> items{0};
  const uint64_t threads_before = ThreadsOfThisProcess();
  uint64_t mapped_kb = 0;
  {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("VmSize:", 0) == 0) mapped_kb = std::stoull(line.substr(7));
    }
  }
  ASSERT_GT(mapped_kb, 0u);
  // Room for a few stacks at most; the team asks for a thousand threads.
  rlimit low = saved;
  low.rlim_cur = (mapped_kb + 32 * 1024) * 1024;
  ASSERT_EQ(setrlimit(RLIMIT_AS, &low), 0);
  std::string failure;
  try {
    ParallelStatic(kMostMembers, static_cast<int>(kMostMembers),
                   [&](uint64_t, uint64_t count) { items += count; });
  } catch (const std::exception& e) {
    failure = e.what();
  }
  setrlimit(RLIMIT_AS, &saved);
  pthread_sigmask(SIG_BLOCK, nullptr, &mask_after);
  EXPECT_EQ(failure, "");
  EXPECT_EQ(items.load(), kMostMembers);
  ASSERT_LT(ThreadsOfThisProcess() - threads_before, kMostMembers - 1) << "no thread start failed";
  for (int signal : {SIGINT, SIGTERM, SIGCHLD}) {
    EXPECT_EQ(sigismember(&mask_after, signal), sigismember(&mask_before, signal)) << signal;
  }
#endif
}

}  // namespace
}  // namespace ombrix
