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

// Whole groups on the kernel; a tail of two or more hashes is padded to one more group
// (a group costs about what two scalar hashes do), a single one goes scalar.
void HashInGroups(GroupKernel kernel, std::size_t width, const uint64_t* in, uint64_t* out,
                  std::size_t n) {
  const std::size_t groups = n / width;
  kernel(in, out, groups);
  const std::size_t done = groups * width;
  const std::size_t tail = n - done;
  if (tail == 1) {
    HashScalar(in + 4 * done, out + 4 * done, 1);
  } else if (tail > 1) {
    uint64_t padded[4 * 8] = {};
    std::memcpy(padded, in + 4 * done, 4 * tail * sizeof(uint64_t));
    kernel(padded, padded, 1);
    std::memcpy(out + 4 * done, padded, 4 * tail * sizeof(uint64_t));
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
  switch (kernel) {
#ifdef OMBRIX_KECCAK_X86
    case KeccakKernel::kAvx512:
      HashInGroups(sha3_many_kernels::HashGroupsAvx512, sha3_many_kernels::kAvx512Width, in,
                   out, n);
      return;
    case KeccakKernel::kAvx2:
      HashInGroups(sha3_many_kernels::HashGroupsAvx2, sha3_many_kernels::kAvx2Width, in, out,
                   n);
      return;
#endif
    default:
      HashScalar(in, out, n);
  }
}

void Sha3_256LanesMany(const uint64_t* in, uint64_t* out, std::size_t n) {
  Sha3_256LanesMany(BestKeccakKernel(), in, out, n);
}

}  // namespace ombrix
