// Mini-batch k-means training of an index's coarse quantizer: k-means++ seeding on a random
// sample, then a fixed number of mini-batch steps. Returns codebooks owned by the caller.
// Not reproducible by design (seeded from std::random_device). Callable from any thread;
// each call runs its steps on the default team with scratch of its own, freed on return.
// Between iterations (and seeding's centroids) it asks ThrowIfInterrupted, so a training
// can be stopped by the program's interruption check (interruption.h).
#pragma once

#include <armadillo>
#include <cstdint>
#include <vector>

#include "index_model/index_config.h"
#include "index_model/matrix.h"

namespace ombrix {

struct KMeansConfig {
  uint64_t n_subvectors = 1;  // m: subspaces, each trained separately
  uint64_t n_clusters = 1;    // k: centroids per subspace
  uint64_t reserved = 0;      // carried for the record layout, never read
  uint64_t max_iters = 100;   // mini-batch iterations, all of them run
  uint64_t batch_size = 2048; // points per mini-batch; 0 means 1024
  double tolerance = 1e-6;    // carried, never read: there is no convergence test
};

// Trains one codebook of k centroids per subspace on the rows of data, with the cosine
// kernel for Cosine and the squared-Euclidean kernel for Euclidean and SquaredEuclidean.
// Throws std::runtime_error "Unsupported distance metric." for other metrics and
// std::invalid_argument for a dimension not divisible by n_subvectors, or for no vectors,
// no clusters, zero-width subspaces or more than 2^32 - 1 clusters; before any work. Throws
// Interrupted when the installed interruption check asks it to stop.
std::vector<Codebook> train_kmeans_dispatch(const Matrix<float>& data, const KMeansConfig& config,
                                            DistanceMetric metric);

// The GPU counterpart: always throws the CUDA std::runtime_error.
std::vector<Codebook> train_kmeans_gpu(const Matrix<float>& data, const KMeansConfig& config,
                                       DistanceMetric metric);

// The twins, one per kernel (CosineKernel, SquaredEuclideanKernel), for tests.
template <typename Kernel>
std::vector<Codebook> train_minibatch_kmeans(const Matrix<float>& data,
                                             const KMeansConfig& config);

// k-means++ seeding (D^2 sampling) of k centroids from the s x n slice, using at most
// init_sample of its columns. Returns the s x k centroid matrix.
// REQUIRES: slice has at least one column, k >= 1, init_sample >= 1.
template <typename Kernel>
arma::fmat kmeans_pp_seed(const arma::fmat& slice, uint64_t k, uint64_t init_sample);

}  // namespace ombrix
