// Four Keccak states per 256-bit register. Compiled with -mavx2 (CMakeLists.txt): nothing
// here may be reached without the run-time check in sha3_many.cc.
#if defined(__AVX2__)
#include <immintrin.h>

#include "encrypted_store/keccak_rounds.h"
#include "encrypted_store/sha3_many_kernels.h"

namespace ombrix::sha3_many_kernels {
namespace {

struct Avx2Ops {
  static constexpr std::size_t kWidth = kAvx2Width;
  static __m256i Xor(__m256i a, __m256i b) { return _mm256_xor_si256(a, b); }
  static __m256i Xor5(__m256i a, __m256i b, __m256i c, __m256i d, __m256i e) {
    return Xor(Xor(Xor(a, b), Xor(c, d)), e);
  }
  static __m256i Rol(__m256i a, int r) {
    if (r == 0) return a;
    return _mm256_or_si256(_mm256_slli_epi64(a, r), _mm256_srli_epi64(a, 64 - r));
  }
  static __m256i Chi(int /*lane*/, __m256i a, __m256i b, __m256i c) {
    return _mm256_xor_si256(a, _mm256_andnot_si256(b, c));
  }
  static __m256i Splat(uint64_t v) { return _mm256_set1_epi64x(static_cast<long long>(v)); }
  static __m256i Gather(const uint64_t* lane, int stride) {
    return _mm256_set_epi64x(static_cast<long long>(lane[3 * stride]),
                             static_cast<long long>(lane[2 * stride]),
                             static_cast<long long>(lane[stride]), static_cast<long long>(lane[0]));
  }
  static void Scatter(uint64_t* lane, __m256i v) {
    alignas(32) uint64_t t[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(t), v);
    for (int k = 0; k < 4; ++k) lane[4 * k] = t[k];
  }
};

}  // namespace

void HashGroupsAvx2(const uint64_t* in, uint64_t* out, std::size_t groups) {
  keccak_rounds::HashBlockGroups<Avx2Ops, __m256i, 4>(in, out, groups);
}

void HashRateGroupsAvx2(const uint64_t* in, uint64_t* out, std::size_t groups) {
  keccak_rounds::HashBlockGroups<Avx2Ops, __m256i, keccak_rounds::kRateLanes>(in, out, groups);
}

}  // namespace ombrix::sha3_many_kernels
#endif
