// Probe selection: which inverted lists a batch of queries fetches (the union of every
// query's nearest candidates) and which of them each query is ranked against. Returns a
// new ProbeSelection owned by the caller. Callable from any thread; runs OpenMP regions
// on the default team, and its result does not depend on the team size.
#pragma once

#include <cstdint>
#include <vector>

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

// The GPU counterpart: always throws the CUDA std::runtime_error.
ProbeSelection select_probes_gpu(const Matrix<float>& queries,
                                 const std::vector<Codebook>& codebooks, uint64_t n_probes,
                                 DistanceMetric metric, float greedy_factor);

// Distances are computed for blocks of queries of at most this many table cells, so the
// table never spans a whole large batch against many lists.
inline constexpr uint64_t kProbeDistanceCells = uint64_t{1} << 22;

}  // namespace ombrix
