// Storage for a process-wide object whose destructor never runs: for objects that threads
// may still use while the process exits (a detached thread asleep in it, a fork handler).
// The object is made on first use of the holder, like any function-local static.
#pragma once

namespace ombrix {

template <typename T>
union NeverDestroyed {
  NeverDestroyed() : value() {}
  ~NeverDestroyed() {}
  T value;
};

}  // namespace ombrix
