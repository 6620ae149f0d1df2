// The SIMD kernels behind sha3_many.h, each in a file of its own compiled for its
// instruction set (see CMakeLists.txt). Each hashes groups * width blocks (4-lane
// messages, or whole padded blocks of 17 lanes for the Rate forms) and must only be
// called on a CPU that has that instruction set.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ombrix::sha3_many_kernels {

inline constexpr std::size_t kAvx2Width = 4;
inline constexpr std::size_t kAvx512Width = 8;

// Defined only where the compiler can build them (x86-64).
void HashGroupsAvx2(const uint64_t* in, uint64_t* out, std::size_t groups);
void HashGroupsAvx512(const uint64_t* in, uint64_t* out, std::size_t groups);
void HashRateGroupsAvx2(const uint64_t* in, uint64_t* out, std::size_t groups);
void HashRateGroupsAvx512(const uint64_t* in, uint64_t* out, std::size_t groups);

}  // namespace ombrix::sha3_many_kernels
