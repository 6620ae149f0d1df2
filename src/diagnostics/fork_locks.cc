#include "diagnostics/fork_locks.h"

#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <vector>

#include "diagnostics/never_destroyed.h"

namespace ombrix {

namespace {

void FutexWait(std::atomic<uint32_t>& word, uint32_t seen) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT_PRIVATE, seen, nullptr, nullptr,
          0);
}

void FutexWakeAll(std::atomic<uint32_t>& word) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr,
          nullptr, 0);
}

// 1 while a fork waits for or holds the operation locks; threads holding none sleep on it.
std::atomic<uint32_t> fork_pending{0};
// Counts releases of operation locks while a fork is pending; the forking thread sleeps on it.
std::atomic<uint32_t> releases{0};
// Operation locks held by this thread.
thread_local int held_here = 0;

void WaitWhileForkPending() {
  for (uint32_t seen = fork_pending.load(); seen != 0; seen = fork_pending.load()) {
    FutexWait(fork_pending, seen);
  }
}

void PrepareFork();
void AfterFork();

}  // namespace

struct ForkLockRegistry {
  static ForkLockRegistry& Get() {
    static NeverDestroyed<ForkLockRegistry> registry;  // fork handlers outlive static destruction
    return registry.value;
  }

  // Registers the fork handlers; called by the first lock of each rank. Handlers run in
  // the reverse order of their registration, so the one registered with the first
  // operation lock runs before those of the locks an operation takes (the telemetry's,
  // registered with the first aggregator): a holder of an operation lock can still take
  // those and finish. Nested handler calls of one fork do nothing.
  static void RegisterHandlers(std::once_flag& once) {
    std::call_once(once, [] { pthread_atfork(&PrepareFork, &AfterFork, &AfterFork); });
  }

  bool IsForkOwner() const { return turn_owner.load() == std::this_thread::get_id(); }

  // Takes one fork's turn (nesting on its own thread) and every operation lock for it. With
  // keep_registry the registry mutex stays held on return.
  void HoldOperations(bool keep_registry) {
    if (IsForkOwner()) {
      ++depth;
    } else {
      turn.lock();
      turn_owner.store(std::this_thread::get_id());
      depth = 1;
      fork_pending.store(1);
      // Pairs with the fence in unlock(): a release either is seen by the next attempt or
      // sees fork_pending and wakes it.
      std::atomic_thread_fence(std::memory_order_seq_cst);
    }
    for (;;) {
      const uint32_t seen = releases.load();
      mutex.lock();
      if (TakeOperations()) {
        if (!keep_registry) mutex.unlock();
        return;
      }
      mutex.unlock();
      FutexWait(releases, seen);
    }
  }

  // All or none: a holder of one busy lock may be waiting for another, so nothing is kept
  // while waiting. Locks this thread holds itself stay with it. REQUIRES: mutex held.
  bool TakeOperations() {
    const std::thread::id me = std::this_thread::get_id();
    for (ForkSafeMutex* operation : operations) {
      if (operation->held_for_fork_ || operation->owner_.load() == me) continue;
      if (operation->mutex_.try_lock()) {
        operation->held_for_fork_ = true;
        continue;
      }
      ReleaseOperations();
      return false;
    }
    return true;
  }

  // REQUIRES: mutex held.
  void ReleaseOperations() {
    for (ForkSafeMutex* operation : operations) {
      if (!operation->held_for_fork_) continue;
      operation->held_for_fork_ = false;
      operation->mutex_.unlock();
    }
  }

  void ReleaseTurn() {
    if (--depth > 0) return;
    {
      const std::lock_guard<std::mutex> lock(mutex);
      ReleaseOperations();
    }
    fork_pending.store(0);
    FutexWakeAll(fork_pending);
    turn_owner.store(std::thread::id());
    turn.unlock();
  }

  // Held briefly by registration and by each attempt, and by a forking thread from its
  // prepare handler until after fork(); whoever holds it waits for nothing else.
  std::mutex mutex;
  struct Leaf {
    std::mutex* mutex;
    void (*prepare)();
  };
  std::vector<ForkSafeMutex*> operations;
  std::vector<Leaf> leaves;
  std::once_flag operation_handlers;
  std::once_flag leaf_handlers;

  // One fork at a time. The fields below are the turn owner's alone.
  std::mutex turn;
  std::atomic<std::thread::id> turn_owner{};
  int depth = 0;          // HoldOperations calls not yet undone
  int handler_depth = 0;  // prepare handlers of the fork in progress not yet undone
};

namespace {

void PrepareFork() {
  ForkLockRegistry& registry = ForkLockRegistry::Get();
  if (registry.IsForkOwner() && registry.handler_depth > 0) {
    ++registry.handler_depth;
    return;
  }
  registry.HoldOperations(/*keep_registry=*/true);
  registry.handler_depth = 1;
  for (const ForkLockRegistry::Leaf& leaf : registry.leaves) {
    if (leaf.prepare != nullptr) leaf.prepare();
  }
  for (const ForkLockRegistry::Leaf& leaf : registry.leaves) leaf.mutex->lock();
}

void AfterFork() {
  ForkLockRegistry& registry = ForkLockRegistry::Get();
  if (--registry.handler_depth > 0) return;
  for (const ForkLockRegistry::Leaf& leaf : registry.leaves) leaf.mutex->unlock();
  registry.mutex.unlock();
  registry.ReleaseTurn();
}

}  // namespace

ForkSafeMutex::ForkSafeMutex() {
  ForkLockRegistry& registry = ForkLockRegistry::Get();
  ForkLockRegistry::RegisterHandlers(registry.operation_handlers);
  const std::lock_guard<std::mutex> lock(registry.mutex);
  registry.operations.push_back(this);
}

ForkSafeMutex::~ForkSafeMutex() {
  ForkLockRegistry& registry = ForkLockRegistry::Get();
  for (;;) {
    {
      const std::lock_guard<std::mutex> lock(registry.mutex);
      if (held_for_fork_ && registry.IsForkOwner()) {
        held_for_fork_ = false;
        mutex_.unlock();
      }
      if (!held_for_fork_) {
        std::erase(registry.operations, this);
        return;
      }
    }
    WaitWhileForkPending();
  }
}

void ForkSafeMutex::lock() {
  if (held_here == 0 && !ForkLockRegistry::Get().IsForkOwner()) WaitWhileForkPending();
  mutex_.lock();
  Took();
}

bool ForkSafeMutex::try_lock() {
  if (!mutex_.try_lock()) return false;
  Took();
  return true;
}

void ForkSafeMutex::Took() {
  owner_.store(std::this_thread::get_id());
  ++held_here;
}

void ForkSafeMutex::unlock() {
  owner_.store(std::thread::id());
  --held_here;
  mutex_.unlock();
  std::atomic_thread_fence(std::memory_order_seq_cst);
  if (fork_pending.load(std::memory_order_relaxed) != 0) {
    releases.fetch_add(1);
    FutexWakeAll(releases);
  }
}

LeafLockAcrossFork::LeafLockAcrossFork(std::mutex& mutex, void (*prepare)()) : mutex_(mutex) {
  ForkLockRegistry& registry = ForkLockRegistry::Get();
  ForkLockRegistry::RegisterHandlers(registry.leaf_handlers);
  const std::lock_guard<std::mutex> lock(registry.mutex);
  registry.leaves.push_back({&mutex_, prepare});
}

LeafLockAcrossFork::~LeafLockAcrossFork() {
  ForkLockRegistry& registry = ForkLockRegistry::Get();
  const std::lock_guard<std::mutex> lock(registry.mutex);
  std::erase_if(registry.leaves,
                [&](const ForkLockRegistry::Leaf& leaf) { return leaf.mutex == &mutex_; });
}

namespace internal {

void HoldOperationLocksForFork() {
  ForkLockRegistry::Get().HoldOperations(/*keep_registry=*/false);
}

void ReleaseOperationLocksAfterFork() { ForkLockRegistry::Get().ReleaseTurn(); }

bool ForkPending() { return fork_pending.load() != 0; }

}  // namespace internal

}  // namespace ombrix
