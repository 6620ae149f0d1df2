// Test helper: the OpenMP team size is process-wide, so a test that changes it must put
// back the size it found, however the test leaves its scope (a failed ASSERT included).
#pragma once

#include <omp.h>

namespace ombrix::testing_support {

class ScopedOmpThreads {
 public:
  ScopedOmpThreads() : saved_(omp_get_max_threads()) {}
  explicit ScopedOmpThreads(int threads) : ScopedOmpThreads() { Set(threads); }
  ~ScopedOmpThreads() { omp_set_num_threads(saved_); }
  ScopedOmpThreads(const ScopedOmpThreads&) = delete;
  ScopedOmpThreads& operator=(const ScopedOmpThreads&) = delete;

  void Set(int threads) { omp_set_num_threads(threads); }

 private:
  int saved_;
};

}  // namespace ombrix::testing_support
