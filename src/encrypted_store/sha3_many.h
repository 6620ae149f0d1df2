// Many independent one-block SHA3-256 hashes at once: the label walk's hashes are
// independent within a level, so they run several to a SIMD register (8 with AVX-512,
// 4 with AVX2), picked at run time; the scalar block hash is the fallback and the
// reference. Pure functions, allocation-free, safe from any number of threads.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ombrix {

enum class KeccakKernel { kScalar, kAvx2, kAvx512 };

// The widest kernel this CPU and OS run (decided once per process).
KeccakKernel BestKeccakKernel();
bool KeccakKernelSupported(KeccakKernel kernel);

// Hash k of n: out[4k..4k+3] = Sha3_256Lanes(in[4k..4k+3]). out may be in (same array),
// never a partial overlap.
void Sha3_256LanesMany(const uint64_t* in, uint64_t* out, std::size_t n);
// The same on a given kernel. REQUIRES: KeccakKernelSupported(kernel).
void Sha3_256LanesMany(KeccakKernel kernel, const uint64_t* in, uint64_t* out, std::size_t n);

}  // namespace ombrix
