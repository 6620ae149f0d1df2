// SHA3-256 on our own Keccak-f[1600] sponge, in the forms the engine needs: one 32-byte
// block (the inner loop of label generation), byte strings of any length, and the
// 64-bit reduction used for every key, label and mask. Pure functions, allocation-free,
// safe to call from any number of threads.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace ombrix {

using Digest256 = std::array<uint8_t, 32>;

// Eight bytes as a little-endian lane, whatever the host's byte order.
inline uint64_t LoadLe64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

// Lane 0 of a digest as the engine's 64-bit value: digest byte 0 (the lane's low byte)
// most significant.
inline uint64_t Lane0ToU64(uint64_t lane) { return __builtin_bswap64(lane); }

// The 24-round permutation on 25 little-endian lanes (lane x + 5y).
void KeccakF1600(uint64_t state[25]);

// Incremental SHA3-256: Update any number of times, then one Final.
class Sha3_256Hasher {
 public:
  Sha3_256Hasher() { Reset(); }
  void Reset();
  void Update(const uint8_t* data, std::size_t length);
  void Update(std::string_view text) {
    Update(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  }
  Digest256 Final();
  // The first 8 digest bytes read big-endian (digest byte 0 most significant).
  uint64_t FinalU64();

 private:
  void Pad();

  uint64_t state_[25];
  std::size_t filled_ = 0;  // bytes absorbed into the current block
};

// Block forms: one padded block, one permutation.
Digest256 Sha3_256(const std::array<uint8_t, 32>& block);
uint64_t Sha3_256ToU64(const std::array<uint8_t, 32>& block);

// Block forms on lanes: the 32 bytes as 4 little-endian 64-bit lanes in and out, for
// hash chains that never need the bytes in between.
void Sha3_256Lanes(const uint64_t in[4], uint64_t out[4]);
uint64_t Sha3_256LanesToU64(const uint64_t in[4]);

// Byte-string forms (empty input allowed).
Digest256 Sha3_256(const uint8_t* data, std::size_t length);
uint64_t Sha3_256ToU64(const uint8_t* data, std::size_t length);
inline uint64_t Sha3_256ToU64(const std::vector<uint8_t>& bytes) {
  return Sha3_256ToU64(bytes.data(), bytes.size());
}

// The digest-to-integer rule on a whole digest.
uint64_t DigestToU64(const uint8_t* digest);

}  // namespace ombrix
