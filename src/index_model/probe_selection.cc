#include "index_model/probe_selection.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>

#include "index_model/distance_kernels.h"
#include "index_model/parallel.h"

namespace ombrix {
namespace {

void CheckInputs(const Matrix<float>& queries, const std::vector<Codebook>& codebooks) {
  if (queries.rows == 0) throw std::invalid_argument("No query embeddings provided.");
  if (codebooks.empty()) throw std::invalid_argument("No candidate codebook provided.");
  const Codebook& book = codebooks[0];
  if (book.n_centroids != book.centroids.rows) {
    throw std::invalid_argument("Codebook centroid count does not match its centroid rows.");
  }
  if (book.n_centroids > 0 && book.centroids.cols != queries.cols) {
    throw std::invalid_argument("Candidate centroid width does not match the query dimension.");
  }
}

// Lists per query after the greedy extension, computed from the capped probe count so that
// no size can overflow: n + trunc(n * factor), at most k.
uint64_t ExtendedCount(uint64_t n_probes, float factor, uint64_t k) {
  const float product = static_cast<float>(n_probes) * factor;
  if (!(product > 0.0f)) return n_probes;  // negative and NaN add nothing
  if (product >= static_cast<float>(k)) return k;
  return std::min(n_probes + static_cast<uint64_t>(product), k);
}

// For each query, the `take` nearest of the reference columns prepared in `references`,
// nearest first, by a heap-based partial sort of positions 0..count-1 with the comparator
// "strictly nearer" (NaN after every number). Row q of out gets map[position] per pick.
template <typename Kernel>
void NearestPerQuery(const Matrix<float>& queries, const typename Kernel::Prepared& references,
                     uint64_t count, uint64_t take, const std::vector<uint32_t>& map,
                     Matrix<uint32_t>& out) {
  if (take == 0 || count == 0) return;
  const uint64_t d = queries.cols;
  const uint64_t block = std::max<uint64_t>(1, kProbeDistanceCells / count);
  const uint64_t range = ColumnsPerRange(count * d);
  const int team = TeamForWork(queries.rows * count * std::max<uint64_t>(d, 1), kParallelMacs);
  for (uint64_t start = 0; start < queries.rows; start += block) {
    const uint64_t rows = std::min(block, queries.rows - start);
    // One product per range of the block's queries, the ranges shared by the team.
    ParallelDynamic((rows + range - 1) / range, team, [&](uint64_t part) {
      const uint64_t first = part * range;
      const uint64_t share = std::min(range, rows - first);
      thread_local arma::fmat distances;
      Kernel::Distances(Kernel::Prepare(ColumnView(queries.row(start + first), d, share)),
                        references, distances);  // count x share
      std::vector<uint32_t> positions(count);
      for (uint64_t p = 0; p < share; ++p) {
        const float* dist = distances.colptr(p);
        std::iota(positions.begin(), positions.end(), uint32_t{0});
        std::partial_sort(positions.begin(), positions.begin() + take, positions.end(),
                          [dist](uint32_t a, uint32_t b) {
                            return dist[a] < dist[b] || (std::isnan(dist[b]) && !std::isnan(dist[a]));
                          });
        uint32_t* row = out.row(start + first + p);
        for (uint64_t i = 0; i < take; ++i) row[i] = map[positions[i]];
      }
    });
  }
}

template <typename Kernel>
ProbeSelection SelectProbes(const Matrix<float>& queries, const Codebook& book,
                            const typename Kernel::Prepared& candidates, uint64_t n_probes,
                            float greedy_factor) {
  const uint64_t k = book.n_centroids;
  const uint64_t nq = queries.rows;
  const uint64_t d = queries.cols;
  bool greedy = greedy_factor != 0.0f;
  if (n_probes >= k) {
    n_probes = k;
    greedy = false;
  }
  uint64_t n_ext = ExtendedCount(n_probes, greedy_factor, k);

  ProbeSelection result;
  result.n_queries = nq;
  Matrix<uint32_t> picks(nq, n_probes, 0);
  {
    std::vector<uint32_t> identity(k);
    std::iota(identity.begin(), identity.end(), uint32_t{0});
    NearestPerQuery<Kernel>(queries, candidates, k, n_probes, identity, picks);
  }

  // The union, ascending: one flag per candidate stands in for a set and a sort.
  std::vector<uint8_t> picked(k, 0);
  for (uint32_t position : picks.data) picked[position] = 1;
  std::vector<uint32_t> position_in_union(k, 0);
  for (uint32_t c = 0; c < k; ++c) {
    if (!picked[c]) continue;
    position_in_union[c] = static_cast<uint32_t>(result.probed_lists.size());
    result.probed_lists.push_back(c);
  }
  const uint64_t u = result.probed_lists.size();

  if (!greedy) {
    for (uint32_t& cell : picks.data) cell = position_in_union[cell];
    result.probes = std::move(picks);
    return result;
  }
  n_ext = std::min(n_ext, u);
  std::vector<float> gathered;
  gathered.reserve(u * d);
  for (uint32_t c : result.probed_lists) {
    gathered.insert(gathered.end(), book.centroids.row(c), book.centroids.row(c) + d);
  }
  const arma::fmat members = ColumnView(gathered.data(), d, u);
  std::vector<uint32_t> identity(u);
  std::iota(identity.begin(), identity.end(), uint32_t{0});
  result.probes = Matrix<uint32_t>(nq, n_ext, 0);
  NearestPerQuery<Kernel>(queries, Kernel::Prepare(members), u, n_ext, identity, result.probes);
  return result;
}

}  // namespace

ProbeCandidates::ProbeCandidates(const std::vector<Codebook>& codebooks, DistanceMetric metric)
    : codebooks_(&codebooks), metric_(metric) {
  WithKernel(metric, [](auto) {});
  if (codebooks.empty()) return;
  const Matrix<float>& centroids = codebooks[0].centroids;
  storage_ = centroids.data.data();
  rows_ = centroids.rows;
  cols_ = centroids.cols;
  columns_ = ColumnView(centroids);
  if (metric == Cosine) {
    cosine_.emplace(CosineKernel::Prepare(columns_));
  } else {
    squared_.emplace(SquaredEuclideanKernel::Prepare(columns_));
  }
}

bool ProbeCandidates::PreparedFrom(const std::vector<Codebook>& codebooks, DistanceMetric metric) const {
  if (&codebooks != codebooks_ || metric != metric_) return false;
  if (codebooks.empty()) return storage_ == nullptr;
  const Matrix<float>& centroids = codebooks[0].centroids;
  return centroids.data.data() == storage_ && centroids.rows == rows_ && centroids.cols == cols_;
}

ProbeSelection select_probes_prepared(const Matrix<float>& queries, const ProbeCandidates& candidates,
                                      uint64_t n_probes, float greedy_factor) {
  CheckInputs(queries, *candidates.codebooks_);
  const Codebook& book = (*candidates.codebooks_)[0];
  if (candidates.cosine_) {
    return SelectProbes<CosineKernel>(queries, book, *candidates.cosine_, n_probes, greedy_factor);
  }
  return SelectProbes<SquaredEuclideanKernel>(queries, book, *candidates.squared_, n_probes,
                                              greedy_factor);
}

ProbeSelection select_probes_dispatch(const Matrix<float>& queries,
                                      const std::vector<Codebook>& codebooks, uint64_t n_probes,
                                      DistanceMetric metric, float greedy_factor) {
  const ProbeCandidates candidates(codebooks, metric);
  return select_probes_prepared(queries, candidates, n_probes, greedy_factor);
}

ProbeSelection select_probes_gpu(const Matrix<float>&, const std::vector<Codebook>&, uint64_t,
                                 DistanceMetric, float) {
  ThrowCudaUnavailable();
}

}  // namespace ombrix
