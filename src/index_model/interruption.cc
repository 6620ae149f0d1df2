#include "index_model/interruption.h"

#include <atomic>

#include "index_model/parallel.h"

namespace ombrix {

namespace {

std::atomic<InterruptionCheck> installed{nullptr};

}  // namespace

void SetInterruptionCheck(InterruptionCheck check) { installed.store(check); }

void ThrowIfInterrupted() {
  const InterruptionCheck check = installed.load(std::memory_order_relaxed);
  if (check == nullptr || InsideStep()) return;
  if (check()) throw Interrupted();
}

}  // namespace ombrix
