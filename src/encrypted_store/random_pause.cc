#include "encrypted_store/random_pause.h"

#include <openssl/rand.h>
#include <unistd.h>

#include <chrono>

#include "diagnostics/openssl_thread.h"

namespace ombrix {

uint64_t RandomPauseBelow(uint64_t bound) {
  uint64_t draw = 0;
  PrepareThreadForOpenSsl();
  if (RAND_bytes(reinterpret_cast<unsigned char*>(&draw), sizeof(draw)) != 1) {
    // A pause is no secret: a generator that fails must not fail the retry, and the clock
    // and the process id still differ between processes.
    draw = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
           (static_cast<uint64_t>(::getpid()) << 32);
  }
  return draw % bound;
}

}  // namespace ombrix
