// Children forked while the parent's threads end after using OpenSSL, which frees a
// thread's state under a process-wide lock: a child that inherits it held must still seal.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "diagnostics/fork_locks.h"
#include "encrypted_store/sealing.h"
#include "encrypted_store/test_util.h"

namespace ombrix {
namespace {

using Clock = std::chrono::steady_clock;

bool SealOneRow() {
  static const std::array<uint8_t, 32> key = testing_util::MakeKey(3);
  return EncryptRows(Matrix<uint8_t>(1, 16, 7), key).rows == 1;
}

void SpinUntil(Clock::time_point until, const std::atomic<bool>& done) {
  while (!done.load() && Clock::now() < until) {
  }
}

TEST(SealingForkTest, ChildrenSealWhateverThreadsEndInTheParentAtTheFork) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer's allocator holds no lock across fork: a child can inherit one "
                  "another thread held";
#endif
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer does not support starting threads in a child forked from a "
                  "multi-threaded process";
#endif
  ForkSafeMutex operation;
  struct Case {
    std::string name;
    std::function<void()> parent_thread;  // runs once on a thread that then ends
    std::function<bool()> child;
  };
  const std::vector<Case> cases = {
      // As an index does: the fork waits for the operation, not for the thread's end. The
      // child's second thread has no OpenSSL state of its own yet.
      {"threads seal within an operation; the child seals on its thread and on a new one",
       [&] {
         const std::lock_guard<ForkSafeMutex> lock(operation);
         SealOneRow();
       },
       [] {
         bool on_new_thread = false;
         std::thread([&] { on_new_thread = SealOneRow(); }).join();
         return SealOneRow() && on_new_thread;
       }},
      // Threads of other code in a process that has sealed before (as one holding an index
      // has), taking no lock of ours: only the forking thread's own state, made before the
      // fork, spares the child the lock.
      {"threads touch only OpenSSL's error queue; the child seals on its thread",
       [] { ERR_clear_error(); }, [] { return SealOneRow(); }},
  };
  for (const Case& c : cases) {
    std::atomic<bool> stop{false}, ending{false};
    std::atomic<uint64_t> ended{0};
    // Each thread says when it is about to end, then lingers for a time that differs from
    // thread to thread, so that forks made on that word land at every point of its end.
    std::vector<std::thread> lanes;
    for (int lane = 0; lane < 4; ++lane) {
      lanes.emplace_back([&] {
        while (!stop.load()) {
          std::thread([&] {
            c.parent_thread();
            const auto linger = std::chrono::microseconds(ended.fetch_add(1) * 37 % 400);
            ending.store(true);
            SpinUntil(Clock::now() + linger, stop);
          }).join();
        }
      });
    }
    int forks = 0, hung = 0, failed = 0;
    // A thread that has not used OpenSSL forks, as a program's main thread may; children
    // run 32 at a time, and one not done 2 s after the last of its group is hung.
    std::thread([&] {
      const Clock::time_point until = Clock::now() + std::chrono::seconds(10);
      while (forks < 2000 && hung == 0 && Clock::now() < until) {
        std::vector<pid_t> children;
        for (int n = 0; n < 32; ++n, ++forks) {
          ending.store(false);
          SpinUntil(Clock::now() + std::chrono::milliseconds(50), ending);
          const pid_t child = fork();
          if (child == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);  // a hung child must not outlive a killed test
            _exit(c.child() ? 0 : 1);
          }
          child > 0 ? children.push_back(child) : static_cast<void>(++failed);
        }
        const Clock::time_point limit = Clock::now() + std::chrono::seconds(2);
        for (const pid_t child : children) {
          int status = 0;
          pid_t done = 0;
          while ((done = waitpid(child, &status, WNOHANG)) == 0 && Clock::now() < limit) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
          }
          if (done == child) {
            failed += status != 0;
            continue;
          }
          kill(child, SIGKILL);
          waitpid(child, &status, 0);
          ++hung;
        }
      }
    }).join();
    stop.store(true);
    for (std::thread& lane : lanes) lane.join();
    EXPECT_EQ(hung, 0) << c.name << ": of " << forks << " children";
    EXPECT_EQ(failed, 0) << c.name;
    EXPECT_GE(forks, 500) << c.name << ": too few forks to mean anything";
  }
}

}  // namespace
}  // namespace ombrix
