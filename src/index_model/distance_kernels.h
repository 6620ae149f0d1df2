// Distance matrices between two sets of vectors with one BLAS product each, the rule that
// maps a DistanceMetric to a kernel, and the error of the GPU entry points.
// Operands hold one vector per column; results are new matrices owned by the caller.
// Stateless: any number of threads may call the kernels at once.
#pragma once

#include <algorithm>
#include <armadillo>
#include <cstdint>

#include "index_model/index_config.h"
#include "index_model/matrix.h"

namespace ombrix {

// Views a row-major Matrix of n vectors of dimension d as a d x n column-major operand
// without copying. The view borrows m's storage: m must outlive it and stay unchanged.
// Initialise a new variable with the result (assigning it to an existing one copies).
arma::fmat ColumnView(const Matrix<float>& m);
arma::fmat ColumnView(const float* data, uint64_t dimension, uint64_t count);

// D(j, i) = 1 - cos(Y_j, X_i), n_Y x n_X. A zero column has cosine 0 to everything.
// Throws std::logic_error (the matrix library's text) when X and Y differ in rows.
arma::fmat cosine_distance_matrix(const arma::fmat& X, const arma::fmat& Y);

// D(j, i) = |Y_j|^2 + |X_i|^2 - 2 Y_j.X_i, n_Y x n_X, neither rooted nor clamped at 0.
// Throws std::logic_error (the matrix library's text) when X and Y differ in rows.
arma::fmat squared_euclidean_distance_matrix(const arma::fmat& X, const arma::fmat& Y);

// The kernels split into a per-operand preparation and a product, so that callers that
// meet one operand many times (seeding, blocks of one batch) prepare it once. Preparation
// works column by column, so a column prepared alone or with others is the same bits;
// the product of a block of columns is the BLAS library's, as in the whole kernel.
struct CosineKernel {
  struct Prepared {
    arma::fmat unit;  // columns scaled to length 1; zero columns stay zero
  };
  static Prepared Prepare(const arma::fmat& x);
  // Writes the n_Y x n_X distances into out, reusing its memory when the shape fits.
  static void Distances(const Prepared& x, const Prepared& y, arma::fmat& out);
};

// When either operand holds a magnitude outside [2^-32, 2^32], both are multiplied by one
// power of two (EuclideanScaleExponent) before the product, so that squares neither
// overflow nor vanish: the distances are then those of the scaled copies, every one the
// true distance times the same power of four. Callers only compare distances of one call,
// so the order is exact.
struct SquaredEuclideanKernel {
  struct Prepared {
    const arma::fmat& vectors;  // the operand itself, borrowed
    arma::frowvec sq_norms;     // sum of squares of each column
    float largest = 0.0f;       // the largest magnitude of the operand, NaN ignored
  };
  // REQUIRES: x outlives the result.
  static Prepared Prepare(const arma::fmat& x);
  static void Distances(const Prepared& x, const Prepared& y, arma::fmat& out);
};

// Each product runs on its calling thread (the BLAS library's own threads are kept out).
// Callers split large products into column ranges of about this many multiply-adds and
// run them on the OpenMP team. A range's bits can differ from those of a wider product,
// so ranges are fixed by the shape of the problem, never by the team size.
inline constexpr uint64_t kParallelMacs = uint64_t{1} << 22;

// Columns per range when a product of columns of `macs_per_column` multiply-adds each is
// split: at least one.
inline uint64_t ColumnsPerRange(uint64_t macs_per_column) {
  return std::max<uint64_t>(1, kParallelMacs / std::max<uint64_t>(macs_per_column, 1));
}

// The position a scan keeping the first strictly smaller value ends on: the first
// position of the least value, NaN never least except at position 0 (then 0). The scan
// runs as independent lanes, so its cost is not one dependent comparison per value.
// REQUIRES: count >= 1.
uint64_t FirstLeast(const float* values, uint64_t count);

// Calls f(CosineKernel{}) for Cosine and f(SquaredEuclideanKernel{}) for Euclidean and
// SquaredEuclidean: no nearest-neighbour decision needs the square root.
// Throws std::runtime_error "Unsupported distance metric." for any other value.
[[noreturn]] void ThrowUnsupportedMetric();
template <typename F>
decltype(auto) WithKernel(int32_t metric, F&& f) {
  switch (metric) {
    case Cosine:
      return f(CosineKernel{});
    case Euclidean:
    case SquaredEuclidean:
      return f(SquaredEuclideanKernel{});
    default:
      ThrowUnsupportedMetric();
  }
}

// The largest magnitude among n floats, NaN ignored; 0 for none.
float LargestMagnitude(const float* x, uint64_t n);

// The power of two (as its exponent) that both operands of a squared-Euclidean product are
// multiplied by, given the largest magnitude either holds: 0 while it lies in [2^-32, 2^32]
// (or is not finite), otherwise the exponent that brings it into [2^31, 2^32) from above
// (the least change, so that smaller vectors beside it keep what precision they can) or
// into [0.5, 1) from below.
int EuclideanScaleExponent(float largest);

// The power of two (as its exponent) that a vector's components are multiplied by before
// a single-precision cosine, so that neither its sum of squares nor its dot product with
// another vector so scaled can overflow or vanish: 0 while the largest magnitude lies in
// [2^-32, 2^32] (those vectors keep their bits), otherwise the exponent that brings it into
// [0.5, 1). Exact, and cosine is blind to a vector's length. An all-zero vector gets 0.
int CosineScaleExponent(const float* x, uint64_t dimension);

// Every GPU entry point throws this std::runtime_error: the library has no GPU code.
[[noreturn]] void ThrowCudaUnavailable();

}  // namespace ombrix
