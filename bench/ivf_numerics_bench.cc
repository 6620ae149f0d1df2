// The query and training numerics alone, on synthetic clustered data made with a fixed
// seed (200,000 x 128 and 100,000 x 768, 1,024 lists, 1,000 queries, k = 10): k-means
// training, and probe selection + exact ranking over lists filed by our own assignment.
// The side-by-side comparison with another implementation is bench/compare_faiss.py.
// The retrieval of the probed lists (the storage engine's work) is not timed.
#include <benchmark/benchmark.h>

#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "index_model/cache_miss_result.h"
#include "index_model/exact_topk.h"
#include "index_model/kmeans.h"
#include "index_model/probe_selection.h"
#include "index_model/quantize.h"
#include "clustered_points.h"
#include "gather_lists.h"

namespace ombrix {
namespace {

constexpr uint64_t kLists = 1024;
constexpr uint64_t kQueries = 1000;
constexpr uint32_t kTopK = 10;

struct Dataset {
  Matrix<float> base;
  Matrix<float> queries;
  Codebook book;  // trained with the train operation's defaults
  std::vector<std::vector<uint64_t>> lists;
  std::vector<std::string> ids;
};

const Dataset& Get(uint64_t n, uint64_t d) {
  static std::map<uint64_t, std::unique_ptr<Dataset>> cache;
  auto& slot = cache[d];
  if (slot) return *slot;
  slot = std::make_unique<Dataset>();
  Dataset& ds = *slot;
  std::mt19937_64 gen(20261207 + d);
  // Points around 4 * kLists unit-normal centres; queries likewise.
  std::normal_distribution<float> unit;
  std::vector<float> c(4 * kLists * d);
  for (auto& x : c) x = unit(gen);
  const Matrix<float> centres(std::move(c), d);
  ds.base = ClusteredPoints(centres, n, gen);
  ds.queries = ClusteredPoints(centres, kQueries, gen);
  KMeansConfig config;
  config.n_clusters = kLists;
  ds.book = std::move(train_kmeans_dispatch(ds.base, config, SquaredEuclidean)[0]);
  const Matrix<uint32_t> assigned = quantize_dispatch(ds.base, {ds.book}, SquaredEuclidean);
  ds.lists.resize(kLists);
  for (uint64_t i = 0; i < n; ++i) {
    ds.lists[assigned.data[i]].push_back(i);
    ds.ids.push_back(std::to_string(i));
  }
  return ds;
}

void BM_Train(benchmark::State& state, uint64_t n, uint64_t d) {
  const Dataset& ds = Get(n, d);
  KMeansConfig config;
  config.n_clusters = kLists;
  config.max_iters = static_cast<uint64_t>(state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(train_kmeans_dispatch(ds.base, config, SquaredEuclidean));
}

void BM_Assign(benchmark::State& state, uint64_t n, uint64_t d) {
  const Dataset& ds = Get(n, d);
  for (auto _ : state) benchmark::DoNotOptimize(quantize_dispatch(ds.base, {ds.book}, SquaredEuclidean));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}

void BM_Search(benchmark::State& state, uint64_t n, uint64_t d) {
  const Dataset& ds = Get(n, d);
  const uint64_t n_probes = static_cast<uint64_t>(state.range(0));
  for (auto _ : state) {
    const ProbeSelection selection =
        select_probes_dispatch(ds.queries, {ds.book}, n_probes, SquaredEuclidean, 0.0f);
    state.PauseTiming();
    CacheMissResult record;
    const Matrix<float> items = GatherLists(ds.base, ds.lists, ds.ids, selection.probed_lists, record);
    state.ResumeTiming();
    benchmark::DoNotOptimize(
        exact_topk_search(record, items, selection, ds.queries, kTopK, SquaredEuclidean, {0}));
  }
  state.counters["qps"] = benchmark::Counter(static_cast<double>(kQueries * state.iterations()),
                                             benchmark::Counter::kIsRate);
}

const bool registered = [] {
  for (auto [n, d] : {std::pair<uint64_t, uint64_t>{200000, 128}, {100000, 768}}) {
    const std::string shape = std::to_string(n) + "x" + std::to_string(d);
    benchmark::RegisterBenchmark(("Train/" + shape).c_str(), BM_Train, n, d)
        ->Arg(10)->Arg(100)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
    benchmark::RegisterBenchmark(("Assign/" + shape).c_str(), BM_Assign, n, d)
        ->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
    benchmark::RegisterBenchmark(("Search/" + shape).c_str(), BM_Search, n, d)
        ->Arg(1)->Arg(4)->Arg(16)->Arg(64)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
  }
  return true;
}();

}  // namespace
}  // namespace ombrix
