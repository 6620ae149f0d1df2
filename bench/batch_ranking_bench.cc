// Exact ranking of a batch over cached lists (the warm road: every list already packed in
// the item cache), by each walk: 200,000 x 128 points of a Gaussian mixture (1,000 centres
// uniform in [-1, 1]^d, noise 0.6 per component), lists by our own k-means, a batch of
// 1,000 queries from the same mixture, k = 10, on one thread unless told otherwise.
// Probe selection is done once, outside the timing.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "index_model/exact_topk.h"
#include "index_model/exact_topk_walk.h"
#include "index_model/kmeans.h"
#include "index_model/packed_list.h"
#include "index_model/probe_selection.h"
#include "index_model/quantize.h"

#include "clustered_points.h"

namespace ombrix {
namespace {

constexpr uint64_t kItems = 200000;
constexpr uint64_t kDim = 128;
constexpr uint64_t kQueries = 1000;
constexpr uint32_t kTopK = 10;

struct Index {
  Matrix<float> queries;
  Codebook book;
  std::vector<PackedList> lists;
  std::vector<ListView> views;
};

const Index& Get(uint64_t n_lists) {
  static std::map<uint64_t, std::unique_ptr<Index>> cache;
  auto& slot = cache[n_lists];
  if (slot) return *slot;
  slot = std::make_unique<Index>();
  Index& index = *slot;
  std::mt19937_64 gen(20261207);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  std::vector<float> c(1000 * kDim);
  for (auto& x : c) x = uniform(gen);
  const Matrix<float> centres(std::move(c), kDim);
  const Matrix<float> base = ClusteredPoints(centres, kItems, gen);
  index.queries = ClusteredPoints(centres, kQueries, gen);
  KMeansConfig config;
  config.n_clusters = n_lists;
  config.max_iters = 20;
  index.book = std::move(train_kmeans_dispatch(base, config, SquaredEuclidean)[0]);
  const Matrix<uint32_t> assigned = quantize_dispatch(base, {index.book}, SquaredEuclidean);
  std::vector<std::vector<uint64_t>> members(n_lists);
  for (uint64_t i = 0; i < kItems; ++i) members[assigned.data[i]].push_back(i);
  for (const auto& rows : members) {
    std::vector<std::string> ids;
    std::vector<float> vectors;
    for (uint64_t r : rows) {
      ids.push_back(std::to_string(r));
      vectors.insert(vectors.end(), base.row(r), base.row(r) + kDim);
    }
    std::vector<std::string> metadata(ids.size());
    index.lists.emplace_back(std::move(ids), std::move(metadata),
                             reinterpret_cast<const uint8_t*>(vectors.data()),
                             kDim * sizeof(float));
  }
  for (const PackedList& list : index.lists) index.views.push_back(list.view());
  return index;
}

// Arguments: lists, probes, walk (0 automatic, 1 query-major, 2 list-major), threads, metric.
void BM_Batch(benchmark::State& state) {
  const Index& index = Get(static_cast<uint64_t>(state.range(0)));
  const auto metric = static_cast<DistanceMetric>(state.range(4));
  const ProbeSelection selection = select_probes_dispatch(
      index.queries, {index.book}, static_cast<uint64_t>(state.range(1)), SquaredEuclidean, 0.0f);
  ranking_internal::SetRankingWalk(static_cast<ranking_internal::RankingWalk>(state.range(2)));
  const int saved = omp_get_max_threads();
  omp_set_num_threads(static_cast<int>(state.range(3)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        exact_topk_lists(index.views, kDim, selection, index.queries, kTopK, metric, {0}));
  }
  omp_set_num_threads(saved);
  ranking_internal::SetRankingWalk(ranking_internal::RankingWalk::kAuto);
  state.counters["qps"] = benchmark::Counter(static_cast<double>(kQueries * state.iterations()),
                                             benchmark::Counter::kIsRate);
}

BENCHMARK(BM_Batch)
    ->ArgNames({"lists", "probes", "walk", "threads", "metric"})
    ->ArgsProduct({{128, 1024}, {1, 4, 16}, {1, 0}, {1}, {SquaredEuclidean}})
    ->ArgsProduct({{1024}, {16}, {1, 0}, {1}, {Cosine}})
    ->ArgsProduct({{128, 1024}, {16}, {1, 0}, {8}, {SquaredEuclidean}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace ombrix
