// Helpers for OpenMP regions that must not let an exception escape: the work of each
// member (or item) is caught where it runs, and after the region the failure of the lowest
// member (or item) is rethrown on the calling thread. Regions use the default team, which
// is one thread in a forked child.
#pragma once

#include <omp.h>

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

// Runs body(i) for every i in [0, total) with a dynamic schedule of chunks of one; a
// single item runs on the calling thread.
template <typename Body>
void ParallelDynamic(uint64_t total, Body&& body) {
  FirstFailure failure;
#pragma omp parallel for schedule(dynamic, 1) if (total > 1)
  for (uint64_t i = 0; i < total; ++i) {
    try {
      body(i);
    } catch (...) {
      failure.Record(i);
    }
  }
  failure.RethrowIfAny();
}

}  // namespace ombrix
