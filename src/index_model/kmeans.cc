#include "index_model/kmeans.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <iostream>
#include <limits>
#include <numeric>
#include <random>
#include <stdexcept>

#include "index_model/distance_kernels.h"
#include "index_model/interruption.h"
#include "index_model/parallel.h"

namespace ombrix {
namespace {

constexpr char kIndivisible[] = "Vector dimension must be divisible by the number of subvectors.";

// The index of the first running sum at or above r, by bisection; the last index when
// rounding leaves r above every running sum (the sums and the total are summed apart).
uint64_t LowerBound(const std::vector<float>& cum, float r) {
  uint64_t lo = 0, hi = cum.size();
  while (lo < hi) {
    const uint64_t mid = lo + (hi - lo) / 2;
    if (cum[mid] < r) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return std::min<uint64_t>(lo, cum.size() - 1);
}

// One draw of [0, 1) from a single 32-bit output: the float conversion can round up to
// 1, which is pulled back to the largest float below 1.
float UnitDraw(std::mt19937& gen) {
  float u = static_cast<float>(gen()) * 0x1p-32f;
  if (u >= 1.0f) u = 0.99999994f;
  return u;
}

// What the steps of one subspace reuse from iteration to iteration, freed when the
// training ends (scratch kept per thread would stay with the pool's threads for good).
struct StepScratch {
  arma::fmat batch;                   // s x batch size
  std::vector<arma::fmat> distances;  // one k x range matrix per member of the step's team
};

// One mini-batch step for subspace j: assign every batch point with the centroids as the
// step found them, then move each point's centroid by 1 / (points absorbed + 1).
template <typename Kernel>
void minibatch_kmeans_step(const arma::fmat& X, const std::vector<uint64_t>& idx, uint64_t j,
                           uint64_t s, arma::fmat& centroids, std::vector<uint64_t>& counts,
                           StepScratch& scratch) {
  const uint64_t b = idx.size();
  const uint64_t k = centroids.n_cols;
  scratch.batch.set_size(s, b);
  for (uint64_t p = 0; p < b; ++p) {
    std::memcpy(scratch.batch.colptr(p), X.colptr(idx[p]) + j * s, s * sizeof(float));
  }
  // The product is split into ranges of batch points run on the team when it is large;
  // each member writes only the nearest centroids of its own points.
  const arma::fmat& points = scratch.batch;
  const typename Kernel::Prepared prepared_centroids = Kernel::Prepare(centroids);
  std::vector<uint64_t> nearest(b);
  const uint64_t range = ColumnsPerRange(k * s);
  const int team = TeamForWork(b * k * s, kParallelMacs);
  scratch.distances.resize(static_cast<size_t>(team));
  ParallelDynamic((b + range - 1) / range, team, [&](uint64_t part, int member) {
    const uint64_t first = part * range;
    const uint64_t share = std::min(range, b - first);
    arma::fmat& distances = scratch.distances[static_cast<size_t>(member)];
    Kernel::Distances(Kernel::Prepare(ColumnView(points.colptr(first), s, share)),
                      prepared_centroids, distances);  // k x share
    for (uint64_t p = 0; p < share; ++p) {
      nearest[first + p] = FirstLeast(distances.colptr(p), k);
    }
  });
  for (uint64_t p = 0; p < b; ++p) {
    const uint64_t c = nearest[p];
    counts[c] += 1;
    const float eta = 1.0f / static_cast<float>(counts[c] + 1);
    float* centroid = centroids.colptr(c);
    const float* point = points.colptr(p);
    for (uint64_t r = 0; r < s; ++r) {
      centroid[r] = (1.0f - eta) * centroid[r] + eta * point[r];
    }
  }
}

}  // namespace

template <typename Kernel>
arma::fmat kmeans_pp_seed(const arma::fmat& slice, uint64_t k, uint64_t init_sample) {
  const uint64_t n = slice.n_cols;
  const uint64_t s = slice.n_rows;
  arma::fmat sample;
  if (n > init_sample) {
    // Distinct points in random order, from the matrix library's per-thread generator.
    const arma::uvec picked = arma::randperm<arma::uvec>(n, init_sample);
    sample = slice.cols(picked);
  }
  const arma::fmat& S = n > init_sample ? sample : slice;
  const uint64_t n_s = S.n_cols;

  arma::fmat centroids(s, k, arma::fill::zeros);
  std::vector<float> min_dist(n_s, FLT_MAX);
  std::random_device device("default");
  std::mt19937 gen(device());
  std::uniform_int_distribution<uint64_t> first(0, n_s - 1);
  centroids.col(0) = S.col(first(gen));

  // The sample is prepared once; each step prepares only the centroid chosen last.
  const typename Kernel::Prepared prepared_sample = Kernel::Prepare(S);
  arma::fmat distances;
  std::vector<float> cum(n_s);
  for (uint64_t c = 1; c < k; ++c) {
    ThrowIfInterrupted();
    const arma::fmat last = ColumnView(centroids.colptr(c - 1), s, 1);
    Kernel::Distances(prepared_sample, Kernel::Prepare(last), distances);  // 1 x n_s
    float total = 0.0f;
    for (uint64_t i = 0; i < n_s; ++i) {
      min_dist[i] = std::min(min_dist[i], distances[i]);
      total += min_dist[i];
    }
    const float r = total * UnitDraw(gen);
    float running = 0.0f;
    for (uint64_t i = 0; i < n_s; ++i) {
      running += min_dist[i];
      cum[i] = running;
    }
    centroids.col(c) = S.col(LowerBound(cum, r));
  }
  return centroids;
}

template <typename Kernel>
std::vector<Codebook> train_minibatch_kmeans(const Matrix<float>& data,
                                             const KMeansConfig& config) {
  const uint64_t n = data.rows;
  const uint64_t d = data.cols;
  const uint64_t m = config.n_subvectors;
  const uint64_t k = config.n_clusters;
  if (m == 0 || d % m != 0) throw std::invalid_argument(kIndivisible);
  if (n == 0) throw std::invalid_argument("Training requires at least one vector.");
  if (d == 0) throw std::invalid_argument("Vector dimension must be at least 1.");
  if (k == 0) throw std::invalid_argument("Number of clusters must be at least 1.");
  if (k > std::numeric_limits<uint32_t>::max()) {
    throw std::invalid_argument("Number of clusters must be below 2^32.");
  }
  const uint64_t s = d / m;
  const uint64_t batch = std::min(config.batch_size == 0 ? uint64_t{1024} : config.batch_size, n);

  std::random_device device("default");
  std::mt19937 gen(device());

  const uint64_t init_sample = std::min(3 * std::max(batch, k), n);
  if (k > init_sample) {
    std::cerr << "Warning: Initialization sample size (" << init_sample
              << ") is smaller than the number of clusters (" << k
              << "). KMeans++ may fail to select enough unique centroids.\n";
  }

  const arma::fmat X = ColumnView(data);  // d x n, no copy
  std::vector<arma::fmat> centroids(m);
  ParallelStatic(m, [&](uint64_t first, uint64_t count) {
    for (uint64_t j = first; j < first + count; ++j) {
      if (m == 1) {
        centroids[j] = kmeans_pp_seed<Kernel>(X, k, init_sample);
      } else {
        centroids[j] = kmeans_pp_seed<Kernel>(X.rows(j * s, j * s + s - 1), k, init_sample);
      }
    }
  });

  std::vector<std::vector<uint64_t>> counts(m, std::vector<uint64_t>(k, 0));
  // Each iteration's batch is the first `batch` entries of a uniform shuffle of all points.
  // A partial Fisher-Yates shuffle draws exactly that distribution in `batch` swaps instead
  // of n, and it may start from any arrangement, so the order left by the previous
  // iteration is not reset.
  std::vector<uint64_t> order(n);
  std::iota(order.begin(), order.end(), uint64_t{0});
  std::vector<uint64_t> idx(batch);
  std::vector<StepScratch> scratch(m);
  for (uint64_t iteration = 0; iteration < config.max_iters; ++iteration) {
    ThrowIfInterrupted();
    for (uint64_t p = 0; p < batch; ++p) {
      std::uniform_int_distribution<uint64_t> pick(p, n - 1);
      std::swap(order[p], order[pick(gen)]);
    }
    std::copy_n(order.begin(), batch, idx.begin());
    ParallelStatic(m, [&](uint64_t first, uint64_t count) {
      for (uint64_t j = first; j < first + count; ++j) {
        minibatch_kmeans_step<Kernel>(X, idx, j, s, centroids[j], counts[j], scratch[j]);
      }
    });
  }

  std::vector<Codebook> codebooks(m);
  for (uint64_t j = 0; j < m; ++j) {
    std::vector<float> values(centroids[j].memptr(), centroids[j].memptr() + k * s);
    codebooks[j].n_centroids = static_cast<uint32_t>(k);
    codebooks[j].centroids = Matrix<float>(std::move(values), s);
  }
  return codebooks;
}

std::vector<Codebook> train_kmeans_dispatch(const Matrix<float>& data, const KMeansConfig& config,
                                            DistanceMetric metric) {
  return WithKernel(metric, [&](auto kernel) {
    return train_minibatch_kmeans<decltype(kernel)>(data, config);
  });
}

std::vector<Codebook> train_kmeans_gpu(const Matrix<float>&, const KMeansConfig&,
                                       DistanceMetric) {
  ThrowCudaUnavailable();
}

template std::vector<Codebook> train_minibatch_kmeans<CosineKernel>(const Matrix<float>&,
                                                                    const KMeansConfig&);
template std::vector<Codebook> train_minibatch_kmeans<SquaredEuclideanKernel>(
    const Matrix<float>&, const KMeansConfig&);
template arma::fmat kmeans_pp_seed<CosineKernel>(const arma::fmat&, uint64_t, uint64_t);
template arma::fmat kmeans_pp_seed<SquaredEuclideanKernel>(const arma::fmat&, uint64_t,
                                                           uint64_t);

}  // namespace ombrix
