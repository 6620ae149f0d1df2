#include "index_model/interruption.h"

#include <atomic>

#include "index_model/parallel.h"

namespace ombrix {

namespace {

std::atomic<InterruptionCheck> installed{nullptr};
thread_local void (*step_hook)(void*) = nullptr;
thread_local void* step_context = nullptr;

}  // namespace

void SetInterruptionCheck(InterruptionCheck check) { installed.store(check); }

void ThrowIfInterrupted() {
  const InterruptionCheck check = installed.load(std::memory_order_relaxed);
  if ((check == nullptr && step_hook == nullptr) || InsideStep()) return;
  if (step_hook != nullptr) step_hook(step_context);
  if (check != nullptr && check()) throw Interrupted();
}

ScopedStepHook::ScopedStepHook(void (*hook)(void*), void* context)
    : previous_hook_(step_hook), previous_context_(step_context) {
  step_hook = hook;
  step_context = context;
}

ScopedStepHook::~ScopedStepHook() {
  step_hook = previous_hook_;
  step_context = previous_context_;
}

}  // namespace ombrix
