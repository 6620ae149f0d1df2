#include "diagnostics/openssl_thread.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <mutex>

#include "diagnostics/fork_locks.h"
#include "diagnostics/never_destroyed.h"

namespace ombrix {

namespace {

// Held by a thread while OpenSSL adds it to, or removes it from, its list of threads. The
// holder waits only for OpenSSL's own lock, whose holders never wait for one of ours.
struct ThreadListLock {
  // OpenSSL's one-time set-up (its configuration, providers and shared generator) done
  // before the fork handler exists: the handler must never be the one to do it, since that
  // set-up may register fork handlers of its own.
  const bool set_up = OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CONFIG, nullptr) == 1 &&
                      RAND_get0_primary(nullptr) != nullptr;
  std::mutex mutex;
  LeafLockAcrossFork across_fork{mutex, &PrepareThreadForOpenSsl};
};

ThreadListLock& TheLock() {
  static NeverDestroyed<ThreadListLock> lock;  // threads end after static destruction too
  return lock.value;
}

// thread_local destructors run before the thread-specific data destructors through which
// OpenSSL would free the state itself, outside the lock.
struct FreeAtThreadEnd {
  ~FreeAtThreadEnd() {
    const std::lock_guard<std::mutex> lock(TheLock().mutex);
    OPENSSL_thread_stop();
  }
};

thread_local bool prepared = false;

}  // namespace

void PrepareThreadForOpenSsl() {
  if (prepared) return;
  ThreadListLock& list = TheLock();
  thread_local FreeAtThreadEnd free_at_end;
  static_cast<void>(free_at_end);
  const std::lock_guard<std::mutex> lock(list.mutex);
  // Both per-thread generators: making the first enters the thread in OpenSSL's list, and
  // a thread that has them draws without taking the list's lock again. A failure is left
  // to the draw that follows to report; the next call tries again.
  prepared = RAND_get0_public(nullptr) != nullptr && RAND_get0_private(nullptr) != nullptr;
}

}  // namespace ombrix
