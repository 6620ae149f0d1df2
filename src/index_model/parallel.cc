#include "index_model/parallel.h"

#include <pthread.h>

#include <atomic>

namespace ombrix {

namespace {

std::atomic<bool> forked_child{false};

// A forked child has only the thread that forked: the parent's OpenMP team is not there,
// and a region that asks libgomp for it waits for it forever. With a team size of 1 every
// region runs on the calling thread without touching the parent's pool.
void AfterForkInChild() {
  forked_child.store(true, std::memory_order_relaxed);
  omp_set_num_threads(1);
}

// Registered when the library is loaded, before any region can have started a team.
const int fork_handler_registered = pthread_atfork(nullptr, nullptr, &AfterForkInChild);

}  // namespace

bool InForkedChild() {
  static_cast<void>(fork_handler_registered);
  return forked_child.load(std::memory_order_relaxed);
}

}  // namespace ombrix
