#include "encrypted_store/sha3_many.h"

#include <cstring>

#include "encrypted_store/sha3.h"
#include "encrypted_store/sha3_many_kernels.h"

namespace ombrix {

namespace {

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define OMBRIX_KECCAK_X86 1
#endif

KeccakKernel DetectKernel() {
#ifdef OMBRIX_KECCAK_X86
  // The checks include the OS's saving of the wide registers (XCR0), not the CPU alone.
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) return KeccakKernel::kAvx512;
  if (__builtin_cpu_supports("avx2")) return KeccakKernel::kAvx2;
#endif
  return KeccakKernel::kScalar;
}

using GroupKernel = void (*)(const uint64_t*, uint64_t*, std::size_t);

void HashScalar(const uint64_t* in, uint64_t* out, std::size_t n) {
  for (std::size_t k = 0; k < n; ++k) Sha3_256Lanes(in + 4 * k, out + 4 * k);
}

void HashPaddedScalar(const uint64_t* blocks, uint64_t* out, std::size_t n) {
  for (std::size_t k = 0; k < n; ++k) {
    uint64_t state[25] = {};
    std::memcpy(state, blocks + kSha3RateLanes * k, sizeof(uint64_t) * kSha3RateLanes);
    KeccakF1600(state);
    std::memcpy(out + 4 * k, state, sizeof(uint64_t) * 4);
  }
}

// Whole groups on the kernel; a tail of two or more hashes is padded to one more group
// (a group costs no more than two scalar hashes), a single one goes to `scalar`.
// in_lanes: lanes per input.
void HashInGroups(GroupKernel kernel, GroupKernel scalar, std::size_t width,
                  std::size_t in_lanes, const uint64_t* in, uint64_t* out, std::size_t n) {
  const std::size_t groups = n / width;
  kernel(in, out, groups);
  const std::size_t done = groups * width;
  const std::size_t tail = n - done;
  if (tail == 1) {
    scalar(in + in_lanes * done, out + 4 * done, 1);
  } else if (tail > 1) {
    uint64_t padded_in[kSha3RateLanes * 8] = {};
    uint64_t padded_out[4 * 8];
    std::memcpy(padded_in, in + in_lanes * done, sizeof(uint64_t) * in_lanes * tail);
    kernel(padded_in, padded_out, 1);
    std::memcpy(out + 4 * done, padded_out, sizeof(uint64_t) * 4 * tail);
  }
}

}  // namespace

KeccakKernel BestKeccakKernel() {
  static const KeccakKernel best = DetectKernel();
  return best;
}

bool KeccakKernelSupported(KeccakKernel kernel) {
  const KeccakKernel best = BestKeccakKernel();
  switch (kernel) {
    case KeccakKernel::kScalar:
      return true;
    case KeccakKernel::kAvx2:
#ifdef OMBRIX_KECCAK_X86
      return best != KeccakKernel::kScalar && __builtin_cpu_supports("avx2");
#else
      return false;
#endif
    case KeccakKernel::kAvx512:
      return best == KeccakKernel::kAvx512;
  }
  return false;
}

void Sha3_256LanesMany(KeccakKernel kernel, const uint64_t* in, uint64_t* out, std::size_t n) {
  using namespace sha3_many_kernels;
  switch (kernel) {
#ifdef OMBRIX_KECCAK_X86
    case KeccakKernel::kAvx512:
      return HashInGroups(HashGroupsAvx512, HashScalar, kAvx512Width, 4, in, out, n);
    case KeccakKernel::kAvx2:
      return HashInGroups(HashGroupsAvx2, HashScalar, kAvx2Width, 4, in, out, n);
#endif
    default:
      return HashScalar(in, out, n);
  }
}

void Sha3_256LanesMany(const uint64_t* in, uint64_t* out, std::size_t n) {
  Sha3_256LanesMany(BestKeccakKernel(), in, out, n);
}

bool PadOneBlock(const uint8_t* data, std::size_t length, uint64_t block[kSha3RateLanes]) {
  if (length > kMaxOneBlockBytes) return false;
  uint8_t bytes[8 * kSha3RateLanes] = {};
  if (length > 0) std::memcpy(bytes, data, length);
  bytes[length] ^= 0x06;
  bytes[sizeof(bytes) - 1] ^= 0x80;
  for (std::size_t i = 0; i < kSha3RateLanes; ++i) block[i] = LoadLe64(bytes + 8 * i);
  return true;
}

void Sha3_256PaddedBlocksMany(KeccakKernel kernel, const uint64_t* blocks, uint64_t* out,
                              std::size_t n) {
  using namespace sha3_many_kernels;
  switch (kernel) {
#ifdef OMBRIX_KECCAK_X86
    case KeccakKernel::kAvx512:
      return HashInGroups(HashRateGroupsAvx512, HashPaddedScalar, kAvx512Width, kSha3RateLanes,
                          blocks, out, n);
    case KeccakKernel::kAvx2:
      return HashInGroups(HashRateGroupsAvx2, HashPaddedScalar, kAvx2Width, kSha3RateLanes,
                          blocks, out, n);
#endif
    default:
      return HashPaddedScalar(blocks, out, n);
  }
}

void Sha3_256PaddedBlocksMany(const uint64_t* blocks, uint64_t* out, std::size_t n) {
  Sha3_256PaddedBlocksMany(BestKeccakKernel(), blocks, out, n);
}

}  // namespace ombrix
