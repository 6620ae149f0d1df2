// Eight Keccak states per 512-bit register; three-input logic folds theta's parities and
// chi into one instruction each. Compiled with -mavx512f (CMakeLists.txt): nothing here
// may be reached without the run-time check in sha3_many.cc.
#if defined(__AVX512F__)
#include <immintrin.h>

#include "encrypted_store/keccak_rounds.h"
#include "encrypted_store/sha3_many_kernels.h"

namespace ombrix::sha3_many_kernels {
namespace {

// Truth tables of _mm512_ternarylogic_epi64 over (a, b, c).
constexpr int kXor3 = 0x96;
constexpr int kANotBAndC = 0xD2;  // a ^ (~b & c)
constexpr __mmask8 kAll = 0xFF;

struct Avx512Ops {
  static constexpr std::size_t kWidth = kAvx512Width;
  static __m512i Xor(__m512i a, __m512i b) { return _mm512_xor_si512(a, b); }
  static __m512i Xor5(__m512i a, __m512i b, __m512i c, __m512i d, __m512i e) {
    return _mm512_ternarylogic_epi64(_mm512_ternarylogic_epi64(a, b, c, kXor3), d, e, kXor3);
  }
  // The masked forms with every element selected: the unmasked ones start from an
  // undefined register, which GCC 12 reports as uninitialised.
  static __m512i Rol(__m512i a, int r) {
    return _mm512_mask_rolv_epi64(a, kAll, a, _mm512_set1_epi64(r));
  }
  static __m512i Chi(int /*lane*/, __m512i a, __m512i b, __m512i c) {
    return _mm512_ternarylogic_epi64(a, b, c, kANotBAndC);
  }
  static __m512i Splat(uint64_t v) { return _mm512_set1_epi64(static_cast<long long>(v)); }
  static __m512i Stride(long long s) {
    return _mm512_set_epi64(7 * s, 6 * s, 5 * s, 4 * s, 3 * s, 2 * s, s, 0);
  }
  static __m512i Gather(const uint64_t* lane, int stride) {
    return _mm512_mask_i64gather_epi64(_mm512_setzero_si512(), kAll, Stride(stride), lane, 8);
  }
  static void Scatter(uint64_t* lane, __m512i v) {
    _mm512_i64scatter_epi64(reinterpret_cast<long long*>(lane), Stride(4), v, 8);
  }
};

}  // namespace

void HashGroupsAvx512(const uint64_t* in, uint64_t* out, std::size_t groups) {
  keccak_rounds::HashBlockGroups<Avx512Ops, __m512i, 4>(in, out, groups);
}

void HashRateGroupsAvx512(const uint64_t* in, uint64_t* out, std::size_t groups) {
  keccak_rounds::HashBlockGroups<Avx512Ops, __m512i, keccak_rounds::kRateLanes>(in, out,
                                                                                groups);
}

}  // namespace ombrix::sha3_many_kernels
#endif
