// Helpers for parallel steps that must not let an exception escape: the work of each member
// (or item) is caught where it runs, and after the step the failure of the lowest member
// (or item) is rethrown on the calling thread.
//
// The members run on pools of our own threads rather than in OpenMP regions: an OpenMP
// team spins for milliseconds after every region (the runtime reads its wait policy once,
// when it is loaded, so a library cannot change it), and on a query that alternates short
// serial and parallel steps most of the machine's time went to that spinning. Pool threads
// spin for a few microseconds after a step and then sleep on a futex. The team size is
// OpenMP's: omp_set_num_threads and OMP_NUM_THREADS set it for one thread, SetTeamSize (the
// client's cpu_threads) for every thread. The process keeps a bounded number of pool
// threads, shared by its callers one step at a time; a caller that finds them all busy, a
// forked child, a step started from inside another step, and a body that throws all run
// as before: on the calling thread, or with the failure rethrown after the step.
#pragma once

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <limits>
#include <mutex>
#include <type_traits>
#include <utility>

namespace ombrix {

// True in a process forked from one that loaded this library. Such a child runs every
// region on one thread (the parent's team does not exist there); callers must not raise
// the team size again.
bool InForkedChild();

// Makes `threads` the team size of every thread's later steps, as if each had called
// omp_set_num_threads(threads) now; a thread's own later call of it still rules that thread.
// Ignored in a forked child. REQUIRES: threads >= 1.
void SetTeamSize(int threads);

// The team a step started on this thread may use: omp_get_max_threads() after the latest
// SetTeamSize, or 1 in a forked child and inside a step (InsideStep()).
int DefaultTeam();

// The most members a step runs with, whatever the team size asked for.
inline constexpr uint64_t kMostMembers = 1024;

// True on the pool's threads, and on a caller while it runs a step of more than one member.
bool InsideStep();

namespace internal {
// Runs job(context, member) for every member in [0, team), team <= kMostMembers, and returns
// when all are done: member 0 on the calling thread, the others on whichever of the calling
// thread and the pool's threads claims them first. job must not throw. A team of 1, a forked
// child, a call from inside a step and a call that finds no pool thread free run every
// member on the calling thread.
void RunTeam(int team, void (*job)(void*, int), void* context) noexcept;
}  // namespace internal

// Runs body(member) for every member of a team of `team` threads (see RunTeam).
template <typename Body>
void RunMembers(int team, Body& body) {
  internal::RunTeam(
      team, [](void* context, int member) { (*static_cast<Body*>(context))(member); }, &body);
}

// Member t of a team of size team gets items [first, first + count) of total: the first
// total % team members take one item more, all shares contiguous and in member order.
inline std::pair<uint64_t, uint64_t> StaticShare(uint64_t total, int team, int t) {
  const uint64_t q = total / static_cast<uint64_t>(team);
  const uint64_t r = total % static_cast<uint64_t>(team);
  const uint64_t member = static_cast<uint64_t>(t);
  if (member < r) return {member * (q + 1), q + 1};
  return {r + member * q, q};
}

// Keeps the failure with the lowest key; safe to call from many threads.
class FirstFailure {
 public:
  void Record(uint64_t key) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!failure_ || key < key_) {
      failure_ = std::current_exception();
      key_ = key;
    }
  }
  void RethrowIfAny() const {
    if (failure_) std::rethrow_exception(failure_);
  }

 private:
  std::mutex mutex_;
  std::exception_ptr failure_;
  uint64_t key_ = std::numeric_limits<uint64_t>::max();
};

// Runs body(first, count) on every member of a team of at most `team` threads over its
// static share of total. A single item runs on the calling thread: waking a team for it
// only costs.
template <typename Body>
void ParallelStatic(uint64_t total, int team, Body&& body) {
  FirstFailure failure;
  const int members = static_cast<int>(
      std::min<uint64_t>({static_cast<uint64_t>(std::max(team, 1)), std::max<uint64_t>(total, 1),
                          kMostMembers}));
  auto member = [&](int t) {
    try {
      const auto [first, count] = StaticShare(total, members, t);
      if (count > 0) body(first, count);
    } catch (...) {
      failure.Record(static_cast<uint64_t>(t));
    }
  };
  RunMembers(members, member);
  failure.RethrowIfAny();
}

template <typename Body>
void ParallelStatic(uint64_t total, Body&& body) {
  ParallelStatic(total, DefaultTeam(), std::forward<Body>(body));
}

// The team worth waking for `work` units when each member should have at least
// `per_member` of them: between 1 and the default team size.
inline int TeamForWork(uint64_t work, uint64_t per_member) {
  const uint64_t wanted = per_member == 0 ? work : work / per_member;
  const uint64_t most = static_cast<uint64_t>(DefaultTeam());
  return static_cast<int>(std::max<uint64_t>(1, std::min(wanted, most)));
}

// Runs body(i) for every i in [0, total), members taking the next item one at a time, on
// at most `team` threads (the default team when not given); with one item or a team of
// one, everything runs on the calling thread and no thread is woken. A body taking
// (i, member) also learns which member runs it, a number below `team`: scratch the caller
// keeps per member then lives only as long as the caller's call.
template <typename Body>
void ParallelDynamic(uint64_t total, int team, Body&& body) {
  FirstFailure failure;
  const int members = static_cast<int>(
      std::min<uint64_t>({static_cast<uint64_t>(std::max(team, 1)), std::max<uint64_t>(total, 1),
                          kMostMembers}));
  std::atomic<uint64_t> next{0};
  auto member = [&](int t) {
    for (uint64_t i = next.fetch_add(1, std::memory_order_relaxed); i < total;
         i = next.fetch_add(1, std::memory_order_relaxed)) {
      try {
        if constexpr (std::is_invocable_v<Body&, uint64_t, int>) {
          body(i, t);
        } else {
          body(i);
        }
      } catch (...) {
        failure.Record(i);
      }
    }
  };
  RunMembers(members, member);
  failure.RethrowIfAny();
}

template <typename Body>
void ParallelDynamic(uint64_t total, Body&& body) {
  ParallelDynamic(total, DefaultTeam(), std::forward<Body>(body));
}

}  // namespace ombrix
