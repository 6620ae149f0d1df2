#include "encrypted_store/sha3.h"

#include <array>
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

// Lane complementing: the lanes of kComplemented are kept inverted through the rounds.
// Theta, rho and pi carry the inversions along; chi then computes every lane as
// a ^ (b OP c) with OP one of AND, OR and a few NOTs that map the inverted inputs back to
// the same pattern, 8 NOTs a round where the plain form needs 25.
constexpr uint32_t kComplemented = 1u << 1 | 1u << 2 | 1u << 8 | 1u << 12 | 1u << 17 | 1u << 20;

constexpr bool Inverted(int lane) { return (kComplemented >> lane) & 1; }

struct ChiForm {
  bool use_or = false;  // b OP c: OR, else AND
  bool not_b = false, not_c = false, not_result = false;
};

// For output lane y + x: true a ^ (~b & c) from stored (possibly inverted) a, b, c, with
// the output stored inverted when Inverted(y + x). Picks the cheaper of the AND form and
// its De Morgan OR form.
constexpr std::array<ChiForm, 25> MakeChiForms() {
  bool column[5] = {};
  for (int i = 0; i < 25; ++i) column[i % 5] ^= Inverted(i);
  bool inverted_b[25] = {};  // inversion of each lane after theta, rho and pi
  for (int i = 0; i < 25; ++i) {
    const bool d = column[(i % 5 + 4) % 5] ^ column[(i % 5 + 1) % 5];
    inverted_b[keccak_rounds::kPi[i]] = Inverted(i) ^ d;
  }
  std::array<ChiForm, 25> forms{};
  for (int y = 0; y < 25; y += 5) {
    for (int x = 0; x < 5; ++x) {
      const bool fa = inverted_b[y + x], fb = inverted_b[y + (x + 1) % 5];
      const bool fc = inverted_b[y + (x + 2) % 5];
      const bool flip = fa != Inverted(y + x);  // the XOR must add one inversion
      const bool nb = !fb, nc = fc;             // NOTs that give ~b and c as stored
      const int and_cost = nb + nc + (flip ? 1 : 0);
      const int or_cost = !nb + !nc + (flip ? 0 : 1);  // ~(~b & c) = b | ~c
      ChiForm& form = forms[y + x];
      if (and_cost <= or_cost) {
        form = {false, nb, nc, flip};
      } else {
        form = {true, !nb, !nc, !flip};
      }
    }
  }
  return forms;
}
// One bit per lane each, so that the form of a constant lane folds away.
constexpr uint32_t ChiMask(bool ChiForm::*field) {
  uint32_t mask = 0;
  for (int i = 0; i < 25; ++i) mask |= static_cast<uint32_t>(MakeChiForms()[i].*field) << i;
  return mask;
}
constexpr uint32_t kChiOr = ChiMask(&ChiForm::use_or);
constexpr uint32_t kChiNotB = ChiMask(&ChiForm::not_b);
constexpr uint32_t kChiNotC = ChiMask(&ChiForm::not_c);
constexpr uint32_t kChiNotResult = ChiMask(&ChiForm::not_result);

struct ScalarOps {
  static uint64_t Xor(uint64_t a, uint64_t b) { return a ^ b; }
  static uint64_t Xor5(uint64_t a, uint64_t b, uint64_t c, uint64_t d, uint64_t e) {
    return a ^ b ^ c ^ d ^ e;
  }
  static uint64_t Rol(uint64_t a, int r) { return std::rotl(a, r); }
  __attribute__((always_inline)) static uint64_t Chi(int lane, uint64_t a, uint64_t b, uint64_t c) {
    if ((kChiNotB >> lane) & 1) b = ~b;
    if ((kChiNotC >> lane) & 1) c = ~c;
    uint64_t t = ((kChiOr >> lane) & 1) ? (b | c) : (b & c);
    if ((kChiNotResult >> lane) & 1) t = ~t;
    return a ^ t;
  }
  static uint64_t Splat(uint64_t v) { return v; }
};

}  // namespace

void KeccakF1600(uint64_t state[25]) {
  // Lanes in a local array the compiler can keep in registers, complemented on the way.
  uint64_t a[25];
  for (int i = 0; i < 25; ++i) a[i] = Inverted(i) ? ~state[i] : state[i];
  keccak_rounds::Permute<ScalarOps>(a);
  for (int i = 0; i < 25; ++i) state[i] = Inverted(i) ? ~a[i] : a[i];
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
