#include "diagnostics/fork_locks.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <latch>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ombrix {
namespace {

void WaitForAFork() {
  while (!internal::ForkPending()) std::this_thread::yield();
}

// A thread that ends before the fork would be one the child never joins.
void WaitTillTheForkIsOver() {
  while (internal::ForkPending()) std::this_thread::yield();
}

// Holds `lock` from before the fork until the fork waits for it.
template <typename Lock>
void HoldTillAForkWaits(Lock& lock, std::latch& holding) {
  {
    const std::lock_guard<Lock> held(lock);
    holding.count_down();
    WaitForAFork();
  }
  WaitTillTheForkIsOver();
}

// Forks while the parent's other threads hold locks; the child exits 0 only if it can take
// every lock at once (try_lock: a child that cannot fails instead of hanging).
int ChildStatusAfterFork(const std::function<bool()>& child_takes_every_lock) {
  const pid_t child = fork();
  if (child == 0) _exit(child_takes_every_lock() ? 0 : 1);
  int status = -1;
  waitpid(child, &status, 0);
  return status;
}

TEST(ForkLocksTest, AChildFindsEveryLockFreeWhateverTheParentsThreadsHeld) {
  ForkSafeMutex index_a;
  ForkSafeMutex index_b;
  std::mutex log_mutex;
  const LeafLockAcrossFork log_lock(log_mutex);
  auto all_free = [&] {
    const bool a = index_a.try_lock();
    const bool b = index_b.try_lock();
    const bool log = log_mutex.try_lock();
    return a && b && log;
  };
  struct Case {
    std::string name;
    // Started before the fork; each holds its locks until a fork waits.
    std::vector<std::function<void(std::latch&)>> holders;
  };
  const std::vector<Case> cases = {
      {"an operation lock", {[&](std::latch& holding) { HoldTillAForkWaits(index_a, holding); }}},
      {"the logger's lock", {[&](std::latch& holding) { HoldTillAForkWaits(log_mutex, holding); }}},
      // The holder of A waits for B, whose holder lets go only once the fork waits: a fork
      // that kept B while waiting for A would wait forever.
      {"one operation lock, waiting for another",
       {[&](std::latch& holding) { HoldTillAForkWaits(index_b, holding); },
        [&](std::latch& holding) {
          {
            const std::lock_guard<ForkSafeMutex> lock(index_a);
            holding.count_down();
            const std::lock_guard<ForkSafeMutex> then(index_b);
          }
          WaitTillTheForkIsOver();
        }}},
  };
  for (const Case& c : cases) {
    std::latch holding(static_cast<std::ptrdiff_t>(c.holders.size()));
    std::vector<std::thread> threads;
    for (const auto& holder : c.holders) threads.emplace_back(holder, std::ref(holding));
    holding.wait();
    const int status = ChildStatusAfterFork(all_free);
    for (std::thread& thread : threads) thread.join();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.name;
  }
  // The parent got them back too.
  EXPECT_TRUE(all_free()) << "after the forks";
  index_a.unlock();
  index_b.unlock();
  log_mutex.unlock();
}

// The thread that forks may itself be inside an operation: its own lock stays with it.
TEST(ForkLocksTest, AThreadHoldingAnOperationLockCanFork) {
  ForkSafeMutex index;
  const std::lock_guard<ForkSafeMutex> lock(index);
  const int status = ChildStatusAfterFork([&] {
    index.unlock();
    return index.try_lock();
  });
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace ombrix
