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

// One caller's set of threads. A step of `team` members is published in one word (the
// step's number, its team and the next unclaimed member); the caller wakes team - 1
// threads, each sleeping on its own ticket, and then everybody, the caller included, claims members
// until none is left. The caller therefore never waits for a thread that has not woken
// yet (on a busy machine it may not run for milliseconds): it runs that member itself, and
// waits only for members that others are running. Only one step runs on a pool at a time.
class Pool {
 public:
  void Run(int team, void (*job)(void*, int), void* context) {
    Grow(team - 1);
    job_ = job;
    context_ = context;
    ++step_;
    claim_.store(uint64_t{step_} << 32 | uint64_t{static_cast<uint16_t>(team)} << 16,
                 std::memory_order_seq_cst);
    for (int m = 1; m < team; ++m) slots_[m - 1].ticket.Add(1);
    for (int m = 1; m < team; ++m) slots_[m - 1].ticket.Wake();
    inside_step = true;
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

  void Grow(int threads) {
    if (started_ >= threads) return;
    // Pool threads take no signals: they stay with the threads Python and the caller run.
    sigset_t all;
    sigset_t saved;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &saved);
    for (; started_ < threads; ++started_) {
      // Pool threads live as long as the process: they sleep when idle and are never
      // joined, so that no exit path waits for them.
      std::thread([this, index = static_cast<uint64_t>(started_)] { Serve(index); }).detach();
    }
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
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

// Pools are made on demand, one per concurrent caller, and kept for reuse. They are never
// destroyed: their threads may still be asleep in them when the process exits.
class Pools {
 public:
  Pool* Acquire() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (free_.empty()) {
      all_.push_back(std::make_unique<Pool>());
      return all_.back().get();
    }
    Pool* pool = free_.back();
    free_.pop_back();
    return pool;
  }
  void Release(Pool* pool) {
    const std::lock_guard<std::mutex> lock(mutex_);
    free_.push_back(pool);
  }

 private:
  std::mutex mutex_;
  std::vector<std::unique_ptr<Pool>> all_;
  std::vector<Pool*> free_;
};

// Storage for an object whose destructor never runs.
template <typename T>
union NeverDestroyed {
  NeverDestroyed() : value() {}
  ~NeverDestroyed() {}
  T value;
};

Pools& AllPools() {
  static NeverDestroyed<Pools> pools;  // never destroyed, see above
  return pools.value;
}

}  // namespace

bool InForkedChild() {
  static_cast<void>(fork_handler_registered);
  return forked_child.load(std::memory_order_relaxed);
}

int DefaultTeam() {
  if (inside_step || InForkedChild()) return 1;
  return std::max(omp_get_max_threads(), 1);
}

namespace internal {

void RunTeam(int team, void (*job)(void*, int), void* context) {
  if (team <= 1 || inside_step || InForkedChild()) {
    for (int m = 0; m < std::max(team, 1); ++m) job(context, m);
    return;
  }
  Pools& pools = AllPools();
  Pool* pool = pools.Acquire();
  pool->Run(team, job, context);
  pools.Release(pool);
}

}  // namespace internal

}  // namespace ombrix
