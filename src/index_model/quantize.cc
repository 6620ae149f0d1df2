#include "index_model/quantize.h"

#include <stdexcept>

#include "diagnostics/logger.h"
#include "index_model/distance_kernels.h"
#include "index_model/member_scratch.h"
#include "index_model/parallel.h"

namespace ombrix {
namespace {

void CheckCodebooks(const std::vector<Codebook>& codebooks, uint64_t width) {
  for (const Codebook& book : codebooks) {
    if (book.n_centroids == 0) throw std::invalid_argument("Codebook has no centroids.");
    if (book.n_centroids != book.centroids.rows) {
      throw std::invalid_argument("Codebook centroid count does not match its centroid rows.");
    }
    if (book.centroids.cols != width) {
      throw std::invalid_argument("Codebook centroid width does not match the vector slices.");
    }
  }
}

// Nearest centroid of every vector of one subspace; slice is s x n, one vector per column.
template <typename Kernel>
void AssignSubspace(const arma::fmat& slice, const Codebook& book, uint64_t j, uint64_t m,
                    Matrix<uint32_t>& out) {
  const uint64_t n = slice.n_cols;
  const uint64_t s = slice.n_rows;
  const uint64_t k = book.n_centroids;
  const arma::fmat centroids = ColumnView(book.centroids);
  const typename Kernel::Prepared prepared_centroids = Kernel::Prepare(centroids);
  const uint64_t blocks = (n + kAssignmentBlock - 1) / kAssignmentBlock;
  const int team = TeamForWork(n * k * std::max<uint64_t>(s, 1), kParallelMacs);
  // k x 1,000 distances per member: 4 MiB at 1,024 lists.
  MemberScratch scratch(team, k * std::min(n, kAssignmentBlock));
  ParallelDynamic(blocks, team, [&](uint64_t b, int member) {
    const uint64_t start = b * kAssignmentBlock;
    const uint64_t count = std::min(kAssignmentBlock, n - start);
    arma::fmat distances(scratch.For(member), k, count, /*copy_aux_mem=*/false, /*strict=*/true);
    const arma::fmat block = ColumnView(slice.colptr(start), s, count);
    Kernel::Distances(Kernel::Prepare(block), prepared_centroids, distances);  // k x count
    for (uint64_t p = 0; p < count; ++p) {
      out.data[(start + p) * m + j] = static_cast<uint32_t>(FirstLeast(distances.colptr(p), k));
    }
  });
}

template <typename Kernel>
Matrix<uint32_t> Quantize(const Matrix<float>& vectors, const std::vector<Codebook>& codebooks) {
  const uint64_t n = vectors.rows;
  const uint64_t d = vectors.cols;
  const uint64_t m = codebooks.size();
  const uint64_t s = m == 0 ? 0 : d / m;
  if (s * m != d) {
    throw std::invalid_argument("Vector dimension must be divisible by the number of subvectors.");
  }
  CheckCodebooks(codebooks, s);
  Matrix<uint32_t> out(n, m, 0);
  if (n == 0) return out;
  const arma::fmat all = ColumnView(vectors);  // d x n, no copy
  ParallelDynamic(m, [&](uint64_t j) {
    if (m == 1) {
      AssignSubspace<Kernel>(all, codebooks[j], j, m, out);
    } else {
      const arma::fmat slice = all.rows(j * s, j * s + s - 1);
      AssignSubspace<Kernel>(slice, codebooks[j], j, m, out);
    }
  });
  return out;
}

}  // namespace

Matrix<uint32_t> quantize_dispatch(const Matrix<float>& vectors,
                                   const std::vector<Codebook>& codebooks, DistanceMetric metric) {
  if (metric != Cosine && metric != Euclidean && metric != SquaredEuclidean) {
    ActiveLogger().error("Unsupported distance metric.");
  }
  return WithKernel(metric, [&](auto kernel) { return Quantize<decltype(kernel)>(vectors, codebooks); });
}

Matrix<uint32_t> quantize_gpu(const Matrix<float>&, const std::vector<Codebook>&, DistanceMetric) {
  ThrowCudaUnavailable();
}

}  // namespace ombrix
