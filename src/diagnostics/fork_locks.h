// Locks that fork() takes before it copies the process, so that a forked child never starts
// with a lock held by a thread it does not have. A pthread_atfork handler (registered when
// the first lock is made) takes them all, in two ranks, and gives them back in the parent
// and the child alike:
// - ForkSafeMutex, held for whole operations (an index's operation lock): the handler waits
//   until it holds every live one. While it waits, a thread holding none of them waits
//   before taking one, so a stream of operations cannot starve the fork; a thread already
//   holding one may take another, and the handler takes them all or none (releasing what it
//   took whenever one is busy), so no order among them is assumed.
// - LeafLockAcrossFork, naming a plain std::mutex held only briefly and around no wait for
//   another lock of ours (the logger's): taken after every ForkSafeMutex, once each one's
//   preparation, if it has one, has run on the forking thread.
// A process with an interpreter lock calls HoldOperationLocksForFork with that lock released
// before its own fork preparation (an operation may wait for the interpreter lock).
// Everything here is thread-safe.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

namespace ombrix {

// A mutex for whole operations that fork() waits for (see above). Meets Lockable. Each one
// is registered for its lifetime; destroying one waits for a fork that holds it.
class ForkSafeMutex {
 public:
  ForkSafeMutex();
  ~ForkSafeMutex();
  ForkSafeMutex(const ForkSafeMutex&) = delete;
  ForkSafeMutex& operator=(const ForkSafeMutex&) = delete;

  void lock();
  bool try_lock();
  void unlock();

 private:
  friend struct ForkLockRegistry;
  void Took();
  std::mutex mutex_;
  std::atomic<std::thread::id> owner_{};
  bool held_for_fork_ = false;  // guarded by the registry's mutex
};

// Registers `mutex` for its lifetime as a lock fork() takes last. `prepare`, if given, runs
// on the forking thread before any such lock is taken, with the operation locks held; it
// may take `mutex` itself. REQUIRES: whoever holds `mutex` waits meanwhile for no other lock
// of ours (at most for a lock whose holders wait for none of ours); `prepare` makes and
// destroys no fork lock.
class LeafLockAcrossFork {
 public:
  explicit LeafLockAcrossFork(std::mutex& mutex, void (*prepare)() = nullptr);
  ~LeafLockAcrossFork();
  LeafLockAcrossFork(const LeafLockAcrossFork&) = delete;
  LeafLockAcrossFork& operator=(const LeafLockAcrossFork&) = delete;

 private:
  std::mutex& mutex_;
};

namespace internal {

// Takes every live ForkSafeMutex for a fork this thread is about to make, waiting for their
// holders; calls nest on one thread, and another thread's call waits for this fork to end.
// Each call is undone by one ReleaseOperationLocksAfterFork, in the parent or the child.
void HoldOperationLocksForFork();
void ReleaseOperationLocksAfterFork();

// True while a fork waits for, or holds, the operation locks.
bool ForkPending();

}  // namespace internal

}  // namespace ombrix
