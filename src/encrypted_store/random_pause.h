// Lengths of the pauses before a refused compare-and-set is tried again. Drawn from
// OpenSSL's generator, which is seeded per process and reseeded in a forked child, so
// that processes refused together come back at different times. Thread-safe.
#pragma once

#include <cstdint>

namespace ombrix {

// A length in [0, bound). REQUIRES: bound > 0.
uint64_t RandomPauseBelow(uint64_t bound);

}  // namespace ombrix
