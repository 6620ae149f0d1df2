// Probe selection: which inverted lists a batch of queries fetches (the union of every
// query's nearest candidates) and which of them each query is ranked against. Returns a
// new ProbeSelection owned by the caller. Callable from any thread; runs OpenMP regions
// on the default team, and its result does not depend on the team size.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "index_model/distance_kernels.h"
#include "index_model/index_config.h"
#include "index_model/matrix.h"

namespace ombrix {

struct ProbeSelection {
  uint64_t n_queries = 0;
  // Candidate positions picked by any query, ascending, each once (U).
  std::vector<uint32_t> probed_lists;
  // n_queries x w; row q holds positions in probed_lists, nearest to query q first, distinct.
  Matrix<uint32_t> probes;
  Matrix<uint32_t> reserved;  // never filled
};

// Each query picks its n_probes nearest rows of codebooks[0] (the candidates, K of them);
// with a greedy factor other than 0 each row of probes is extended to the nearest
// n_probes * (1 + factor) members of the union. Cosine uses the cosine kernel, Euclidean
// and SquaredEuclidean the squared-Euclidean kernel.
// Throws std::runtime_error "Unsupported distance metric." for other metrics, then
// std::invalid_argument "No query embeddings provided." for 0 query rows, and
// std::invalid_argument for a missing candidate codebook, one whose n_centroids differs
// from its rows, or candidates of another width than the queries.
ProbeSelection select_probes_dispatch(const Matrix<float>& queries,
                                      const std::vector<Codebook>& codebooks, uint64_t n_probes,
                                      DistanceMetric metric, float greedy_factor);

// The candidate codebook with the kernel's per-operand preparation of its centroids (their
// squared norms, or their unit columns for Cosine) done once, for a caller that selects
// against one codebook many times. Selecting with it gives the same bits as
// select_probes_dispatch on the same codebooks. Borrows codebooks: they must outlive this
// object and stay unchanged while it is used. Neither copyable nor movable (the
// preparation borrows a view held inside).
class ProbeCandidates {
 public:
  // Throws std::runtime_error "Unsupported distance metric." for other metrics. An empty
  // codebook list is accepted here and refused by the selection.
  ProbeCandidates(const std::vector<Codebook>& codebooks, DistanceMetric metric);
  ProbeCandidates(const ProbeCandidates&) = delete;
  ProbeCandidates& operator=(const ProbeCandidates&) = delete;

  // Whether this object was prepared from these codebooks' storage for this metric.
  bool PreparedFrom(const std::vector<Codebook>& codebooks, DistanceMetric metric) const;

 private:
  friend ProbeSelection select_probes_prepared(const Matrix<float>&, const ProbeCandidates&,
                                               uint64_t, float);
  const std::vector<Codebook>* codebooks_;
  DistanceMetric metric_;
  const float* storage_ = nullptr;
  uint64_t rows_ = 0;
  uint64_t cols_ = 0;
  arma::fmat columns_;  // the centroids viewed as columns, no copy
  std::optional<CosineKernel::Prepared> cosine_;
  std::optional<SquaredEuclideanKernel::Prepared> squared_;
};

// select_probes_dispatch against prepared candidates; throws as it does, but for the
// metric, which ProbeCandidates checks.
ProbeSelection select_probes_prepared(const Matrix<float>& queries, const ProbeCandidates& candidates,
                                      uint64_t n_probes, float greedy_factor);

// The GPU counterpart: always throws the CUDA std::runtime_error.
ProbeSelection select_probes_gpu(const Matrix<float>& queries,
                                 const std::vector<Codebook>& codebooks, uint64_t n_probes,
                                 DistanceMetric metric, float greedy_factor);

// Distances are computed for blocks of queries of at most this many table cells, so the
// table never spans a whole large batch against many lists.
inline constexpr uint64_t kProbeDistanceCells = uint64_t{1} << 22;

}  // namespace ombrix
