#include "encrypted_store/sha3.h"

#include <bit>
#include <cstring>

namespace ombrix {

namespace {

constexpr std::size_t kRate = 136;  // bytes: 1600 - 2 * 256 bits
constexpr std::size_t kRateLanes = kRate / 8;

constexpr uint64_t kRoundConstants[24] = {
    0x0000000000000001ULL, 0x0000000000008082ULL, 0x800000000000808aULL,
    0x8000000080008000ULL, 0x000000000000808bULL, 0x0000000080000001ULL,
    0x8000000080008081ULL, 0x8000000000008009ULL, 0x000000000000008aULL,
    0x0000000000000088ULL, 0x0000000080008009ULL, 0x000000008000000aULL,
    0x000000008000808bULL, 0x800000000000008bULL, 0x8000000000008089ULL,
    0x8000000000008003ULL, 0x8000000000008002ULL, 0x8000000000000080ULL,
    0x000000000000800aULL, 0x800000008000000aULL, 0x8000000080008081ULL,
    0x8000000000008080ULL, 0x0000000080000001ULL, 0x8000000080008008ULL};

// Rotation offset of lane x + 5y.
constexpr int kRho[25] = {0,  1,  62, 28, 27, 36, 44, 6,  55, 20, 3,  10, 43,
                          25, 39, 41, 45, 15, 21, 8,  18, 2,  61, 56, 14};

// Lane (x, y) moves to (y, 2x + 3y).
constexpr std::array<int, 25> MakePi() {
  std::array<int, 25> pi{};
  for (int x = 0; x < 5; ++x)
    for (int y = 0; y < 5; ++y) pi[x + 5 * y] = y + 5 * ((2 * x + 3 * y) % 5);
  return pi;
}
constexpr std::array<int, 25> kPi = MakePi();

inline void StoreLe64(uint8_t* p, uint64_t v) {
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  std::memcpy(p, &v, 8);
}

// Lane 0 as the engine's 64-bit value: its first byte (the low byte) most significant.
inline uint64_t Lane0ToU64(uint64_t lane) {
  uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value = (value << 8) | ((lane >> (8 * i)) & 0xff);
  return value;
}

inline void PermuteLanes4(const uint64_t in[4], uint64_t state[25]) {
  for (int i = 0; i < 4; ++i) state[i] = in[i];
  state[4] = 0x06;
  for (int i = 5; i < 25; ++i) state[i] = 0;
  state[kRateLanes - 1] = 0x8000000000000000ULL;
  KeccakF1600(state);
}

inline void PermuteBlock32(const uint8_t* block, uint64_t state[25]) {
  uint64_t lanes[4];
  for (int i = 0; i < 4; ++i) lanes[i] = LoadLe64(block + 8 * i);
  PermuteLanes4(lanes, state);
}

}  // namespace

void KeccakF1600(uint64_t a[25]) {
  uint64_t b[25];
  uint64_t c[5];
  uint64_t d[5];
  for (int round = 0; round < 24; ++round) {
#pragma GCC unroll 5
    for (int x = 0; x < 5; ++x) c[x] = a[x] ^ a[x + 5] ^ a[x + 10] ^ a[x + 15] ^ a[x + 20];
#pragma GCC unroll 5
    for (int x = 0; x < 5; ++x) d[x] = c[(x + 4) % 5] ^ std::rotl(c[(x + 1) % 5], 1);
#pragma GCC unroll 25
    for (int i = 0; i < 25; ++i) b[kPi[i]] = std::rotl(a[i] ^ d[i % 5], kRho[i]);
#pragma GCC unroll 5
    for (int y = 0; y < 25; y += 5) {
#pragma GCC unroll 5
      for (int x = 0; x < 5; ++x)
        a[y + x] = b[y + x] ^ (~b[y + (x + 1) % 5] & b[y + (x + 2) % 5]);
    }
    a[0] ^= kRoundConstants[round];
  }
}

void Sha3_256Hasher::Reset() {
  std::memset(state_, 0, sizeof(state_));
  filled_ = 0;
}

void Sha3_256Hasher::Update(const uint8_t* data, std::size_t length) {
  while (length > 0) {
    if (filled_ == 0 && length >= kRate) {
      for (std::size_t i = 0; i < kRateLanes; ++i) state_[i] ^= LoadLe64(data + 8 * i);
      KeccakF1600(state_);
      data += kRate;
      length -= kRate;
      continue;
    }
    std::size_t take = kRate - filled_;
    if (take > length) take = length;
    for (std::size_t i = 0; i < take; ++i) {
      const std::size_t at = filled_ + i;
      state_[at / 8] ^= static_cast<uint64_t>(data[i]) << (8 * (at % 8));
    }
    filled_ += take;
    data += take;
    length -= take;
    if (filled_ == kRate) {
      KeccakF1600(state_);
      filled_ = 0;
    }
  }
}

void Sha3_256Hasher::Pad() {
  state_[filled_ / 8] ^= 0x06ULL << (8 * (filled_ % 8));
  state_[kRateLanes - 1] ^= 0x8000000000000000ULL;
  KeccakF1600(state_);
}

Digest256 Sha3_256Hasher::Final() {
  Pad();
  Digest256 digest;
  for (int i = 0; i < 4; ++i) StoreLe64(digest.data() + 8 * i, state_[i]);
  Reset();
  return digest;
}

uint64_t Sha3_256Hasher::FinalU64() {
  Pad();
  const uint64_t value = Lane0ToU64(state_[0]);
  Reset();
  return value;
}

Digest256 Sha3_256(const std::array<uint8_t, 32>& block) {
  uint64_t state[25];
  PermuteBlock32(block.data(), state);
  Digest256 digest;
  for (int i = 0; i < 4; ++i) StoreLe64(digest.data() + 8 * i, state[i]);
  return digest;
}

uint64_t Sha3_256ToU64(const std::array<uint8_t, 32>& block) {
  uint64_t state[25];
  PermuteBlock32(block.data(), state);
  return Lane0ToU64(state[0]);
}

void Sha3_256Lanes(const uint64_t in[4], uint64_t out[4]) {
  uint64_t state[25];
  PermuteLanes4(in, state);
  for (int i = 0; i < 4; ++i) out[i] = state[i];
}

uint64_t Sha3_256LanesToU64(const uint64_t in[4]) {
  uint64_t state[25];
  PermuteLanes4(in, state);
  return Lane0ToU64(state[0]);
}

Digest256 Sha3_256(const uint8_t* data, std::size_t length) {
  Sha3_256Hasher hasher;
  hasher.Update(data, length);
  return hasher.Final();
}

uint64_t Sha3_256ToU64(const uint8_t* data, std::size_t length) {
  Sha3_256Hasher hasher;
  hasher.Update(data, length);
  return hasher.FinalU64();
}

uint64_t DigestToU64(const uint8_t* digest) {
  uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value = (value << 8) | digest[i];
  return value;
}

}  // namespace ombrix
