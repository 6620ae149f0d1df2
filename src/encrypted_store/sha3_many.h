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

// SHA3-256 of messages that fit one block of the rate (at most kMaxOneBlockBytes bytes).
inline constexpr std::size_t kSha3RateLanes = 17;
inline constexpr std::size_t kMaxOneBlockBytes = 8 * kSha3RateLanes - 1;
// Writes the padded block of a message of at most kMaxOneBlockBytes bytes into
// block[0..17), as little-endian lanes. Returns false (block untouched) for a longer one.
bool PadOneBlock(const uint8_t* data, std::size_t length, uint64_t block[kSha3RateLanes]);
// Message k's padded block at blocks[17k..17k+17); its digest's first 4 lanes go to
// out[4k..4k+4) (Lane0ToU64(out[4k]) is its 64-bit value). out must not overlap blocks.
void Sha3_256PaddedBlocksMany(const uint64_t* blocks, uint64_t* out, std::size_t n);
void Sha3_256PaddedBlocksMany(KeccakKernel kernel, const uint64_t* blocks, uint64_t* out,
                              std::size_t n);

}  // namespace ombrix
