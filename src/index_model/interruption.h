// A process-wide check, between the steps of long numeric work (k-means iterations), for a
// request to stop: the embedding program installs it (the Python module asks the interpreter
// whether a signal such as Ctrl-C is pending) and the work throws Interrupted when it says so.
// The work throws before it changes anything its caller keeps. Thread-safe.
#pragma once

#include <exception>

namespace ombrix {

// Thrown by ThrowIfInterrupted. Not a std::runtime_error: no handler of failures of the work
// itself may take it for one. The embedding program that installed the check knows why.
class Interrupted : public std::exception {
 public:
  const char* what() const noexcept override { return "Interrupted."; }
};

// True when the work should stop. Called only outside steps of more than one member (so
// never on the pool's threads), and often: it must be cheap when nothing is pending.
using InterruptionCheck = bool (*)();

// Installs `check` for every later call of ThrowIfInterrupted (null removes it).
void SetInterruptionCheck(InterruptionCheck check);

// Throws Interrupted when the installed check says so; does nothing without a check and
// inside a step of more than one member. Runs the calling thread's step hook first.
void ThrowIfInterrupted();

// Work the calling thread does between the steps of its long numeric work, wherever that
// work asks ThrowIfInterrupted (a holder of shared stores renewing its hold while it
// trains). What it throws leaves the work as Interrupted does. One per thread, for the
// life of the object; the hook must outlive it.
class ScopedStepHook {
 public:
  explicit ScopedStepHook(void (*hook)(void*), void* context);
  ~ScopedStepHook();
  ScopedStepHook(const ScopedStepHook&) = delete;
  ScopedStepHook& operator=(const ScopedStepHook&) = delete;

 private:
  void (*previous_hook_)(void*);
  void* previous_context_;
};

}  // namespace ombrix
