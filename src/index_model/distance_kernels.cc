#include "index_model/distance_kernels.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cmath>
#include <mutex>
#include <stdexcept>

namespace ombrix {

arma::fmat ColumnView(const float* data, uint64_t dimension, uint64_t count) {
  if (dimension == 0 || count == 0) return arma::fmat(dimension, count);
  // Strict, non-copying alias: the matrix library never reallocates or frees it.
  return arma::fmat(const_cast<float*>(data), dimension, count, false, true);
}

arma::fmat ColumnView(const Matrix<float>& m) { return ColumnView(m.data.data(), m.cols, m.rows); }

float LargestMagnitude(const float* x, uint64_t n) {
  // Kept in independent lanes, which find the same number in any order.
  constexpr uint64_t kLanes = 16;
  float lanes[kLanes] = {};
  uint64_t j = 0;
#if defined(__SSE2__)
  // Every upsert and query asks this of its vectors and of the centroids, and the compiler
  // leaves the plain loop scalar. maxps(v, lane) keeps the lane when v is NaN, as
  // std::max(lane, v) does.
  const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));
  __m128 vector_lanes[kLanes / 4] = {_mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps(),
                                     _mm_setzero_ps()};
  for (; j + kLanes <= n; j += kLanes) {
    for (uint64_t l = 0; l < kLanes / 4; ++l) {
      const __m128 v = _mm_and_ps(_mm_loadu_ps(x + j + 4 * l), magnitude);
      vector_lanes[l] = _mm_max_ps(v, vector_lanes[l]);
    }
  }
  for (uint64_t l = 0; l < kLanes / 4; ++l) _mm_storeu_ps(lanes + 4 * l, vector_lanes[l]);
#else
  for (; j + kLanes <= n; j += kLanes) {
    for (uint64_t l = 0; l < kLanes; ++l) lanes[l] = std::max(lanes[l], std::fabs(x[j + l]));
  }
#endif
  float largest = 0.0f;
  for (float lane : lanes) largest = std::max(largest, lane);
  for (; j < n; ++j) largest = std::max(largest, std::fabs(x[j]));
  return largest;
}

namespace {

constexpr float kLowMagnitude = 0x1p-32f;
constexpr float kHighMagnitude = 0x1p32f;

// largest = m * 2^exponent, 0.5 <= m < 1. REQUIRES: largest finite and not 0.
int BinaryExponent(float largest) {
  int exponent = 0;
  std::frexp(largest, &exponent);
  return exponent;
}

}  // namespace

int EuclideanScaleExponent(float largest) {
  if (largest == 0.0f || !std::isfinite(largest)) return 0;
  if (largest > kHighMagnitude) return 32 - BinaryExponent(largest);
  if (largest < kLowMagnitude) return -BinaryExponent(largest);
  return 0;
}

int CosineScaleExponent(const float* x, uint64_t dimension) {
  const float largest = LargestMagnitude(x, dimension);
  if (largest == 0.0f || !std::isfinite(largest)) return 0;
  if (largest >= kLowMagnitude && largest <= kHighMagnitude) return 0;
  return -BinaryExponent(largest);
}

uint64_t FirstLeast(const float* values, uint64_t count) {
  const float first = values[0];
  if (std::isnan(first)) return 0;
  // The least number among the values (a NaN never replaces a lane), then where it first
  // lies; both zeros compare equal, as they do in the scan.
  constexpr uint64_t kLanes = 16;
  float lanes[kLanes];
  std::fill(lanes, lanes + kLanes, first);
  uint64_t c = 0;
  for (; c + kLanes <= count; c += kLanes) {
    for (uint64_t l = 0; l < kLanes; ++l) lanes[l] = values[c + l] < lanes[l] ? values[c + l] : lanes[l];
  }
  float least = first;
  for (float lane : lanes) least = lane < least ? lane : least;
  for (; c < count; ++c) least = values[c] < least ? values[c] : least;
  uint64_t at = 0;
  while (!(values[at] == least)) ++at;
  return at;
}

namespace {

// OpenBLAS, when it is the BLAS library, keeps a pool of threads of its own that wakes for
// every product it splits, however small, and then spins (sched_yield) for about a tenth
// of a second: on a busy machine that made a warm single query sixty times slower, and
// after a batch it slows every query that follows. Products therefore run on the calling
// thread, and callers split large ones over the OpenMP team (kParallelMacs), whose
// waiting the process controls. Looked up weakly, so another BLAS is left alone.
extern "C" void openblas_set_num_threads(int) __attribute__((weak));

void KeepBlasOnTheCallingThread() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (openblas_set_num_threads != nullptr) openblas_set_num_threads(1);
  });
}

}  // namespace

CosineKernel::Prepared CosineKernel::Prepare(const arma::fmat& x) {
  return Prepared{arma::normalise(x, 2, 0)};
}

void CosineKernel::Distances(const Prepared& x, const Prepared& y, arma::fmat& out) {
  KeepBlasOnTheCallingThread();
  out = y.unit.t() * x.unit;  // the size check of the product reports mismatched rows
  out.transform([](float p) { return 1.0f - p; });
}

SquaredEuclideanKernel::Prepared SquaredEuclideanKernel::Prepare(const arma::fmat& x) {
  return Prepared{x, arma::sum(arma::square(x), 0), LargestMagnitude(x.memptr(), x.n_elem)};
}

void SquaredEuclideanKernel::Distances(const Prepared& x, const Prepared& y, arma::fmat& out) {
  if (const int exponent = EuclideanScaleExponent(std::max(x.largest, y.largest)); exponent != 0) {
    auto scale = [exponent](float v) { return std::ldexp(v, exponent); };
    arma::fmat scaled_x = x.vectors;
    arma::fmat scaled_y = y.vectors;
    scaled_x.transform(scale);
    scaled_y.transform(scale);
    Distances(Prepare(scaled_x), Prepare(scaled_y), out);  // now within range: no recursion
    return;
  }
  KeepBlasOnTheCallingThread();
  out = y.vectors.t() * x.vectors;
  if (out.is_empty()) return;  // the broadcasts touch column 0 even when there is none
  // ((-2 p) + |y|^2) + |x|^2, in this order, in single precision.
  out *= -2.0f;
  out.each_col() += y.sq_norms.t();
  out.each_row() += x.sq_norms;
}

arma::fmat cosine_distance_matrix(const arma::fmat& X, const arma::fmat& Y) {
  arma::fmat out;
  CosineKernel::Distances(CosineKernel::Prepare(X), CosineKernel::Prepare(Y), out);
  return out;
}

arma::fmat squared_euclidean_distance_matrix(const arma::fmat& X, const arma::fmat& Y) {
  arma::fmat out;
  SquaredEuclideanKernel::Distances(SquaredEuclideanKernel::Prepare(X),
                                    SquaredEuclideanKernel::Prepare(Y), out);
  return out;
}

void ThrowUnsupportedMetric() { throw std::runtime_error("Unsupported distance metric."); }

void ThrowCudaUnavailable() {
  throw std::runtime_error(
      "CUDA support is required, but the library was built without CUDA. Please build and run "
      "the program with CUDA support (e.g., ./build.sh -cuda).");
}

}  // namespace ombrix
