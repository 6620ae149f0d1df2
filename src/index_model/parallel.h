// Helpers for OpenMP regions that must not let an exception escape: the work of each
// member (or item) is caught where it runs, and after the region the failure of the lowest
// member (or item) is rethrown on the calling thread. Regions use the default team, which
// is one thread in a forked child.
#pragma once

#include <omp.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <limits>
#include <utility>

namespace ombrix {

// True in a process forked from one that loaded this library. Such a child runs every
// region on one thread (the parent's team does not exist there); callers must not raise
// the team size again.
bool InForkedChild();

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
#pragma omp critical(ombrix_first_failure)
    if (!failure_ || key < key_) {
      failure_ = std::current_exception();
      key_ = key;
    }
  }
  void RethrowIfAny() const {
    if (failure_) std::rethrow_exception(failure_);
  }

 private:
  std::exception_ptr failure_;
  uint64_t key_ = std::numeric_limits<uint64_t>::max();
};

// Runs body(first, count) on every member of one team over its static share of total.
// A single item runs on the calling thread: waking a team for it only costs (much more on
// a loaded machine, where a spinning team waits for descheduled members).
template <typename Body>
void ParallelStatic(uint64_t total, Body&& body) {
  FirstFailure failure;
#pragma omp parallel if (total > 1)
  {
    const int t = omp_get_thread_num();
    try {
      const auto [first, count] = StaticShare(total, omp_get_num_threads(), t);
      if (count > 0) body(first, count);
    } catch (...) {
      failure.Record(static_cast<uint64_t>(t));
    }
  }
  failure.RethrowIfAny();
}

// The team worth waking for `work` units when each member should have at least
// `per_member` of them: between 1 and the default team size.
inline int TeamForWork(uint64_t work, uint64_t per_member) {
  const uint64_t wanted = per_member == 0 ? work : work / per_member;
  const uint64_t most = static_cast<uint64_t>(omp_get_max_threads());
  return static_cast<int>(std::max<uint64_t>(1, std::min(wanted, most)));
}

// Runs body(i) for every i in [0, total) with a dynamic schedule of chunks of one, on at
// most `team` threads (the default team when not given); with one item or a team of one,
// everything runs on the calling thread and no team is woken.
template <typename Body>
void ParallelDynamic(uint64_t total, int team, Body&& body) {
  FirstFailure failure;
  const int members = static_cast<int>(std::min<uint64_t>(std::max(team, 1), std::max<uint64_t>(total, 1)));
#pragma omp parallel for schedule(dynamic, 1) num_threads(members) if (members > 1)
  for (uint64_t i = 0; i < total; ++i) {
    try {
      body(i);
    } catch (...) {
      failure.Record(i);
    }
  }
  failure.RethrowIfAny();
}

template <typename Body>
void ParallelDynamic(uint64_t total, Body&& body) {
  ParallelDynamic(total, omp_get_max_threads(), std::forward<Body>(body));
}

}  // namespace ombrix
