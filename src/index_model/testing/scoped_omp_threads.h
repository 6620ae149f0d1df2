// Test helper: the team size is process-wide, so a test that changes it must put back the
// size it found, however the test leaves its scope (a failed ASSERT included).
#pragma once

#include "index_model/parallel.h"

namespace ombrix::testing_support {

class ScopedOmpThreads {
 public:
  ScopedOmpThreads() : saved_(DefaultTeam()) {}
  explicit ScopedOmpThreads(int threads) : ScopedOmpThreads() { Set(threads); }
  ~ScopedOmpThreads() { SetTeamSize(saved_); }
  ScopedOmpThreads(const ScopedOmpThreads&) = delete;
  ScopedOmpThreads& operator=(const ScopedOmpThreads&) = delete;

  void Set(int threads) { SetTeamSize(threads); }

 private:
  int saved_;
};

}  // namespace ombrix::testing_support
