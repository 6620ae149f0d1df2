#include "index_model/parallel.h"

#include <immintrin.h>
#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "diagnostics/never_destroyed.h"

namespace ombrix {

namespace {

std::atomic<bool> forked_child{false};

// A forked child has only the thread that forked: the parent's pool threads are not there.
// Every step of the child runs on the calling thread without touching the pool (whose
// locks another parent thread may have held at the fork).
void AfterForkInChild() {
  forked_child.store(true, std::memory_order_relaxed);
  omp_set_num_threads(1);
}

// Registered when the library is loaded, before any step can have started a thread.
const int fork_handler_registered = pthread_atfork(nullptr, nullptr, &AfterForkInChild);

// True on pool threads, and on a caller while its step runs: a step started there runs on
// the calling thread.
thread_local bool inside_step = false;
// The team size of the latest SetTeamSize: its number (bits 32-63, 0 before any) and size
// (0-31). Each thread applies a newer one to itself before its next step.
std::atomic<uint64_t> process_team{0};
thread_local uint32_t team_applied = 0;  // the number of the latest one this thread applied

// Every signal blocked on the calling thread for the object's lifetime.
class SignalsBlocked {
 public:
  SignalsBlocked() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &saved_);
  }
  ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
  SignalsBlocked(const SignalsBlocked&) = delete;
  SignalsBlocked& operator=(const SignalsBlocked&) = delete;

 private:
  sigset_t saved_;
};

// How long a thread spins before it sleeps: a pool thread after its share (the next step
// of the same call often follows at once), a caller waiting for the last member.
constexpr auto kWorkerSpin = std::chrono::microseconds(20);
constexpr auto kCallerSpin = std::chrono::microseconds(50);

// A 32-bit word a thread sleeps on until another changes it. Waking costs a system call,
// so the waker makes one only when the sleeper has said it is going to sleep; the sleeper
// says so before its last look at the word, so one of the two always sees the other.
class SleepWord {
 public:
  uint32_t Load() const { return word_.load(std::memory_order_seq_cst); }

  // Blocks while the word holds `seen`.
  void SleepWhile(uint32_t seen) {
    sleeping_.store(true, std::memory_order_seq_cst);
    while (word_.load(std::memory_order_seq_cst) == seen) {
      syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word_), FUTEX_WAIT_PRIVATE, seen, nullptr,
              nullptr, 0);
    }
    sleeping_.store(false, std::memory_order_relaxed);
  }

  void Store(uint32_t value) {
    word_.store(value, std::memory_order_seq_cst);
    Wake();
  }
  // Returns the value before the change.
  uint32_t Add(uint32_t delta) { return word_.fetch_add(delta, std::memory_order_seq_cst); }
  uint32_t Subtract(uint32_t delta) { return word_.fetch_sub(delta, std::memory_order_seq_cst); }
  void Wake() {
    if (sleeping_.load(std::memory_order_seq_cst)) {
      syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word_), FUTEX_WAKE_PRIVATE, 1, nullptr,
              nullptr, 0);
    }
  }

 private:
  static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
  std::atomic<uint32_t> word_{0};
  std::atomic<bool> sleeping_{false};
};

// Spins until ready() or the budget is spent; true when ready() held.
template <typename Ready>
bool SpinFor(std::chrono::microseconds budget, Ready&& ready) {
  const auto until = std::chrono::steady_clock::now() + budget;
  for (uint32_t round = 0;; ++round) {
    if (ready()) return true;
    _mm_pause();
    if ((round & 15) == 15 && std::chrono::steady_clock::now() >= until) return ready();
  }
}

// A set of threads that runs one step at a time for whichever caller holds it. A step of
// `team` members is published in one word (the step's number, its team and the next
// unclaimed member); the caller runs member 0 itself and wakes up to team - 1 threads, each
// sleeping on its own ticket, and then everybody, the caller included, claims the other
// members until none is left. The caller therefore never waits for a thread that has not
// woken yet (on a busy machine it may not run for milliseconds): it runs that member
// itself, and waits only for members that others are running.
class Pool {
 public:
  int threads() const { return started_; }

  void Run(int team, void (*job)(void*, int), void* context) {
    const int helpers = std::min(team - 1, started_);
    job_ = job;
    context_ = context;
    ++step_;
    claim_.store(uint64_t{step_} << 32 | uint64_t{static_cast<uint16_t>(team)} << 16 | 1,
                 std::memory_order_seq_cst);
    for (int m = 0; m < helpers; ++m) slots_[m].ticket.Add(1);
    for (int m = 0; m < helpers; ++m) slots_[m].ticket.Wake();
    inside_step = true;
    job(context, 0);
    RunClaimed();
    inside_step = false;
    // Every member is claimed; wait for those that pool threads are still running.
    auto done = [&] { return active_.Load() == 0; };
    if (!SpinFor(kCallerSpin, done)) {
      for (uint32_t left = active_.Load(); left != 0; left = active_.Load()) {
        active_.SleepWhile(left);
      }
    }
  }

  // Starts threads until the pool has `threads`; returns how many it started. A thread that
  // cannot be started (address-space or thread limits) ends the growth: the pool serves
  // with those it has.
  int Grow(int threads) {
    const int before = started_;
    // Pool threads take no signals: they stay with the threads Python and the caller run.
    const SignalsBlocked blocked;
    try {
      for (; started_ < threads; ++started_) {
        // Pool threads live as long as the process: they sleep when idle and are never
        // joined, so that no exit path waits for them.
        std::thread([this, index = static_cast<uint64_t>(started_)] { Serve(index); }).detach();
      }
    } catch (...) {
      // Whatever kept this thread from starting keeps the next one from starting too.
    }
    return started_ - before;
  }

 private:
  struct alignas(64) Slot {
    SleepWord ticket;
  };

  // Claims and runs members of the current step until none is left. A thread that comes
  // late finds the step claimed (or a later step, whose members it may then run). The
  // step's team lies in the word it claims from: a claim that succeeds is of a member of a
  // step whose caller is still waiting, so job_ and context_ are that step's.
  void RunClaimed() {
    uint64_t word = claim_.load(std::memory_order_seq_cst);
    for (;;) {
      const uint32_t member = static_cast<uint16_t>(word);
      if (member >= static_cast<uint16_t>(word >> 16)) return;
      if (claim_.compare_exchange_weak(word, word + 1, std::memory_order_seq_cst)) {
        job_.load(std::memory_order_relaxed)(context_.load(std::memory_order_relaxed),
                                             static_cast<int>(member));
        word = claim_.load(std::memory_order_seq_cst);
      }
    }
  }

  void Serve(uint64_t index) {
    inside_step = true;
    Slot& slot = slots_[index];
    uint32_t seen = 0;
    for (;;) {
      auto handed = [&] { return slot.ticket.Load() != seen; };
      if (!SpinFor(kWorkerSpin, handed)) slot.ticket.SleepWhile(seen);
      seen = slot.ticket.Load();
      // Counted before claiming: the caller cannot finish a step while a thread that may
      // still claim one of its members is between its look and its claim.
      active_.Add(1);
      RunClaimed();
      if (active_.Subtract(1) == 1) active_.Wake();
    }
  }

  // One slot per possible helper, made up front: pool threads read them while the caller
  // starts more threads.
  std::unique_ptr<Slot[]> slots_ = std::make_unique<Slot[]>(kMostMembers);
  int started_ = 0;  // threads started, serving slots [0, started_)
  // The current step: written by its caller before the step is published in claim_.
  std::atomic<void (*)(void*, int)> job_{nullptr};
  std::atomic<void*> context_{nullptr};
  uint32_t step_ = 0;  // the caller's count of steps
  // The step's number (bits 32-63), its team (16-31) and its next unclaimed member (0-15).
  std::atomic<uint64_t> claim_{0};
  SleepWord active_;  // pool threads between their look at claim_ and their last member
};

// The pools of the process and the threads they keep: at most twice the machine's hardware
// threads, or one team's helpers when a team is larger. A pool goes to one caller at a time
// (the free one with most threads, grown while the bound allows), so callers share the
// threads: more threads than cores only take turns, and every thread started stays for the
// life of the process. Pools are never destroyed: their threads may still be asleep in
// them when the process exits.
class Pools {
 public:
  // A pool with up to `helpers` threads, or null when none is free and the bound allows no
  // more threads (the caller then runs its step alone). Never throws.
  Pool* Acquire(int helpers) noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    const int room = std::max(KeptThreads(), helpers) - threads_;
    Pool* pool = nullptr;
    try {
      if (!free_.empty()) {
        auto most = std::max_element(free_.begin(), free_.end(), [](Pool* a, Pool* b) {
          return a->threads() < b->threads();
        });
        pool = *most;
        free_.erase(most);
      } else if (room > 0) {
        all_.push_back(std::make_unique<Pool>());
        pool = all_.back().get();
      }
    } catch (...) {  // no memory for another pool: run alone
      return nullptr;
    }
    if (pool != nullptr && pool->threads() < helpers && room > 0) {
      threads_ += pool->Grow(std::min(helpers, pool->threads() + room));
    }
    return pool;
  }

  void Release(Pool* pool) noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    free_.push_back(pool);
  }

 private:
  static int KeptThreads() {
    static const int kept = 2 * static_cast<int>(std::max(std::thread::hardware_concurrency(), 1u));
    return kept;
  }

  std::mutex mutex_;
  std::vector<std::unique_ptr<Pool>> all_;
  std::vector<Pool*> free_;
  int threads_ = 0;  // threads of all pools
};

Pools& AllPools() {
  static NeverDestroyed<Pools> pools;  // never destroyed, see above
  return pools.value;
}

// Holds a pool of AllPools() for one step, however the step ends.
class PoolLease {
 public:
  explicit PoolLease(int helpers) : pool_(AllPools().Acquire(helpers)) {}
  ~PoolLease() {
    if (pool_ != nullptr) AllPools().Release(pool_);
  }
  PoolLease(const PoolLease&) = delete;
  PoolLease& operator=(const PoolLease&) = delete;

  Pool* get() const { return pool_; }

 private:
  Pool* const pool_;
};

}  // namespace

bool InForkedChild() {
  static_cast<void>(fork_handler_registered);
  return forked_child.load(std::memory_order_relaxed);
}

void SetTeamSize(int threads) {
  if (InForkedChild()) return;
  const uint32_t size = static_cast<uint32_t>(std::max(threads, 1));
  uint64_t now = process_team.load();
  uint64_t next = 0;
  do {
    next = ((now >> 32) + 1) << 32 | size;
  } while (!process_team.compare_exchange_weak(now, next));
  omp_set_num_threads(static_cast<int>(size));
  team_applied = static_cast<uint32_t>(next >> 32);
}

int DefaultTeam() {
  if (inside_step || InForkedChild()) return 1;
  // omp_set_num_threads changes only the calling thread's team size (libgomp keeps one per
  // thread), so each thread takes the process-wide size over when it first sees it.
  const uint64_t now = process_team.load(std::memory_order_acquire);
  if (static_cast<uint32_t>(now >> 32) != team_applied) {
    team_applied = static_cast<uint32_t>(now >> 32);
    omp_set_num_threads(static_cast<int>(static_cast<uint32_t>(now)));
  }
  return std::max(omp_get_max_threads(), 1);
}

bool InsideStep() { return inside_step; }

namespace internal {

void RunTeam(int team, void (*job)(void*, int), void* context) noexcept {
  if (team > 1 && !inside_step && !InForkedChild()) {
    const PoolLease lease(team - 1);
    if (lease.get() != nullptr) {
      lease.get()->Run(team, job, context);
      return;
    }
  }
  // Steps started inside a team's members run inline here as on the pool.
  const bool outer = inside_step;
  inside_step = inside_step || team > 1;
  for (int m = 0; m < std::max(team, 1); ++m) job(context, m);
  inside_step = outer;
}

}  // namespace internal

}  // namespace ombrix
