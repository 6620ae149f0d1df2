#include "index_model/distance_kernels.h"

#include <omp.h>

#include <atomic>
#include <stdexcept>

namespace ombrix {

arma::fmat ColumnView(const float* data, uint64_t dimension, uint64_t count) {
  if (dimension == 0 || count == 0) return arma::fmat(dimension, count);
  // Strict, non-copying alias: the matrix library never reallocates or frees it.
  return arma::fmat(const_cast<float*>(data), dimension, count, false, true);
}

arma::fmat ColumnView(const Matrix<float>& m) { return ColumnView(m.data.data(), m.cols, m.rows); }

namespace {

// OpenBLAS, when it is the BLAS library, keeps its own pool of threads and wakes all of
// them for every product it splits, however small; on a busy machine a woken pool costs
// far more than a small product. Products below this many multiply-adds run on one
// thread; larger ones on as many as the OpenMP team (the client's thread count).
constexpr uint64_t kBlasParallelMacs = uint64_t{1} << 22;

extern "C" void openblas_set_num_threads(int) __attribute__((weak));

void SizeBlasTeam(uint64_t macs) {
  if (openblas_set_num_threads == nullptr) return;
  static std::atomic<int> current{0};
  const int team = macs < kBlasParallelMacs ? 1 : omp_get_max_threads();
  if (current.exchange(team, std::memory_order_relaxed) != team) openblas_set_num_threads(team);
}

uint64_t ProductMacs(const arma::fmat& a, const arma::fmat& b) {
  return static_cast<uint64_t>(a.n_rows) * a.n_cols * b.n_cols;
}

}  // namespace

CosineKernel::Prepared CosineKernel::Prepare(const arma::fmat& x) {
  return Prepared{arma::normalise(x, 2, 0)};
}

void CosineKernel::Distances(const Prepared& x, const Prepared& y, arma::fmat& out) {
  SizeBlasTeam(ProductMacs(y.unit, x.unit));
  out = y.unit.t() * x.unit;  // the size check of the product reports mismatched rows
  out.transform([](float p) { return 1.0f - p; });
}

SquaredEuclideanKernel::Prepared SquaredEuclideanKernel::Prepare(const arma::fmat& x) {
  return Prepared{x, arma::sum(arma::square(x), 0)};
}

void SquaredEuclideanKernel::Distances(const Prepared& x, const Prepared& y, arma::fmat& out) {
  SizeBlasTeam(ProductMacs(y.vectors, x.vectors));
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
