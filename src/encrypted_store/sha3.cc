#include "encrypted_store/sha3.h"

#include <bit>
#include <cstring>

#include "encrypted_store/keccak_rounds.h"

namespace ombrix {

namespace {

constexpr std::size_t kRate = 136;  // bytes: 1600 - 2 * 256 bits
constexpr std::size_t kRateLanes = kRate / 8;

inline void StoreLe64(uint8_t* p, uint64_t v) {
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  std::memcpy(p, &v, 8);
}

inline void PermuteLanes4(const uint64_t in[4], uint64_t state[25]) {
  for (int i = 0; i < 4; ++i) state[i] = in[i];
  for (int i = 4; i < 25; ++i) state[i] = 0;
  state[keccak_rounds::kPadLane] = keccak_rounds::kPadBits;
  state[keccak_rounds::kRateEndLane] = keccak_rounds::kRateEndBit;
  KeccakF1600(state);
}

inline void PermuteBlock32(const uint8_t* block, uint64_t state[25]) {
  uint64_t lanes[4];
  for (int i = 0; i < 4; ++i) lanes[i] = LoadLe64(block + 8 * i);
  PermuteLanes4(lanes, state);
}

struct ScalarOps {
  static uint64_t Xor(uint64_t a, uint64_t b) { return a ^ b; }
  static uint64_t Xor5(uint64_t a, uint64_t b, uint64_t c, uint64_t d, uint64_t e) {
    return a ^ b ^ c ^ d ^ e;
  }
  static uint64_t Rol(uint64_t a, int r) { return std::rotl(a, r); }
  static uint64_t Chi(uint64_t a, uint64_t b, uint64_t c) { return a ^ (~b & c); }
  static uint64_t Splat(uint64_t v) { return v; }
};

}  // namespace

void KeccakF1600(uint64_t state[25]) {
  // Lanes in locals: the compiler keeps them in registers, where the array form kept
  // going through memory.
  uint64_t a[25];
  for (int i = 0; i < 25; ++i) a[i] = state[i];
  keccak_rounds::Permute<ScalarOps>(a);
  for (int i = 0; i < 25; ++i) state[i] = a[i];
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
