// The 24 rounds of Keccak-f[1600], written once over a lane type and its operations so the
// scalar permutation and the SIMD ones (one independent state per vector element) are the
// same code. Include only from .cc files: each includer instantiates it with operations of
// its own (in an unnamed namespace), compiled for that file's instruction set.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ombrix::keccak_rounds {

inline constexpr uint64_t kRoundConstants[24] = {
    0x0000000000000001ULL, 0x0000000000008082ULL, 0x800000000000808aULL,
    0x8000000080008000ULL, 0x000000000000808bULL, 0x0000000080000001ULL,
    0x8000000080008081ULL, 0x8000000000008009ULL, 0x000000000000008aULL,
    0x0000000000000088ULL, 0x0000000080008009ULL, 0x000000008000000aULL,
    0x000000008000808bULL, 0x800000000000008bULL, 0x8000000000008089ULL,
    0x8000000000008003ULL, 0x8000000000008002ULL, 0x8000000000000080ULL,
    0x000000000000800aULL, 0x800000008000000aULL, 0x8000000080008081ULL,
    0x8000000000008080ULL, 0x0000000080000001ULL, 0x8000000080008008ULL};

// Rotation offset of lane x + 5y.
inline constexpr int kRho[25] = {0,  1,  62, 28, 27, 36, 44, 6,  55, 20, 3,  10, 43,
                                 25, 39, 41, 45, 15, 21, 8,  18, 2,  61, 56, 14};

// Lane (x, y) moves to (y, 2x + 3y).
inline constexpr int kPi[25] = {0,  10, 20, 5,  15, 16, 1,  11, 21, 6,  7,  17, 2,
                                12, 22, 23, 8,  18, 3,  13, 14, 24, 9,  19, 4};

// Lane layout of a one-block SHA3-256 input of 32 bytes: domain bits after the message,
// the final padding bit at the end of the 136-byte rate.
inline constexpr int kPadLane = 4;
inline constexpr uint64_t kPadBits = 0x06;
inline constexpr int kRateEndLane = 16;
inline constexpr uint64_t kRateEndBit = 0x8000000000000000ULL;

// Ops: V Xor(V, V); V Xor5(V, V, V, V, V); V Rol(V, int) (a constant after unrolling);
// V Chi(int lane, V a, V b, V c) = a ^ (~b & c) for output lane `lane` (a constant after
// unrolling, for operations that keep some lanes complemented); V Splat(uint64_t).
// The lane that pi moves to lane j: kPiSource[kPi[i]] == i.
inline constexpr int kPiSource[25] = {0, 6,  12, 18, 24, 3, 9,  10, 16, 22, 1, 7, 13,
                                      19, 20, 4, 5,  11, 17, 23, 2, 8, 14, 15, 21};

// One round from a into e. Rho, pi and chi go plane by plane, so only a plane's five
// rotated lanes are live beside the states (fewer spills than all 25 at once).
template <typename Ops, typename V>
inline __attribute__((always_inline)) void Round(const V a[25], V e[25], uint64_t constant) {
  V c[5], d[5];
#pragma GCC unroll 5
  for (int x = 0; x < 5; ++x) c[x] = Ops::Xor5(a[x], a[x + 5], a[x + 10], a[x + 15], a[x + 20]);
#pragma GCC unroll 5
  for (int x = 0; x < 5; ++x) d[x] = Ops::Xor(c[(x + 4) % 5], Ops::Rol(c[(x + 1) % 5], 1));
#pragma GCC unroll 5
  for (int y = 0; y < 25; y += 5) {
    V b[5];
#pragma GCC unroll 5
    for (int x = 0; x < 5; ++x) {
      const int source = kPiSource[y + x];
      b[x] = Ops::Rol(Ops::Xor(a[source], d[source % 5]), kRho[source]);
    }
#pragma GCC unroll 5
    for (int x = 0; x < 5; ++x) e[y + x] = Ops::Chi(y + x, b[x], b[(x + 1) % 5], b[(x + 2) % 5]);
  }
  e[0] = Ops::Xor(e[0], Ops::Splat(constant));
}

template <typename Ops, typename V>
inline __attribute__((always_inline)) void Permute(V a[25]) {
  // Two rounds per pass, a to e and back: no copy between rounds.
  V e[25];
  for (int round = 0; round < 24; round += 2) {
    Round<Ops>(a, e, kRoundConstants[round]);
    Round<Ops>(e, a, kRoundConstants[round + 1]);
  }
}

// Ops::kWidth independent one-block hashes. Each input is kInLanes lanes: 4 (a 32-byte
// message, padded here) or kRateLanes (a whole block of the rate, padded by the caller);
// input k starts at in[kInLanes * k]. Each output is the first 4 lanes of the state, at
// out[4 * k]; out may be in. Ops also gives V Gather(const uint64_t* lane, int stride)
// (elements `stride` lanes apart) and Scatter(uint64_t* lane, V) (elements 4 lanes apart).
inline constexpr int kRateLanes = 17;

template <typename Ops, typename V, int kInLanes>
inline __attribute__((always_inline)) void HashBlockGroup(const uint64_t* in, uint64_t* out) {
  static_assert(kInLanes == 4 || kInLanes == kRateLanes);
  V a[25];
#pragma GCC unroll 17
  for (int i = 0; i < kInLanes; ++i) a[i] = Ops::Gather(in + i, kInLanes);
#pragma GCC unroll 21
  for (int i = kInLanes; i < 25; ++i) a[i] = Ops::Splat(0);
  if constexpr (kInLanes == 4) {
    a[kPadLane] = Ops::Splat(kPadBits);
    a[kRateEndLane] = Ops::Splat(kRateEndBit);
  }
  Permute<Ops>(a);
#pragma GCC unroll 4
  for (int i = 0; i < 4; ++i) Ops::Scatter(out + i, a[i]);
}

template <typename Ops, typename V, int kInLanes>
void HashBlockGroups(const uint64_t* in, uint64_t* out, std::size_t groups) {
  for (std::size_t g = 0; g < groups; ++g) {
    HashBlockGroup<Ops, V, kInLanes>(in + kInLanes * Ops::kWidth * g, out + 4 * Ops::kWidth * g);
  }
}

}  // namespace ombrix::keccak_rounds
