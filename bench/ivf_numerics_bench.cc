// The query and training numerics on synthetic clustered data made with a fixed seed:
// k-means training, and probe selection + exact ranking over inverted lists filed with
// our own assignment. Run alone it reports times; bench/compare_faiss.py runs it with
// --dump_dir=DIR (it then writes the data, centroids and result ids there) and puts the
// figures beside another IVF-Flat implementation's on the same data and centroids.
//
// Sizes: 200,000 x 128 and 100,000 x 768, 1,024 lists, 1,000 queries, k = 10.
// The retrieval of the probed lists (the storage engine's work) is not timed: the record
// for a batch is gathered from in-memory lists with the timer paused.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
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

namespace ombrix {
namespace {

constexpr uint64_t kLists = 1024;
constexpr uint64_t kQueries = 1000;
constexpr uint32_t kTopK = 10;
constexpr uint64_t kTrainIters = 10;  // the comparison trains both sides this many rounds
std::string dump_dir;
int64_t search_iterations = 3;

struct Dataset {
  std::string name;
  Matrix<float> base;
  Matrix<float> queries;
  Codebook book;  // trained with the default configuration; both sides search with it
  std::vector<std::vector<uint64_t>> lists;  // rows filed under each list
  std::vector<std::string> ids;              // row number as text
};

// Points around 4 * kLists random centres (unit normal), spread 0.6 per component;
// queries are further draws from the same mixture.
Matrix<float> Clustered(const Matrix<float>& centres, uint64_t n, std::mt19937_64& gen) {
  const uint64_t d = centres.cols;
  std::normal_distribution<float> noise(0.0f, 0.6f);
  std::uniform_int_distribution<uint64_t> pick(0, centres.rows - 1);
  std::vector<float> v(n * d);
  for (uint64_t i = 0; i < n; ++i) {
    const float* c = centres.row(pick(gen));
    for (uint64_t j = 0; j < d; ++j) v[i * d + j] = c[j] + noise(gen);
  }
  return Matrix<float>(std::move(v), d);
}

void Write(const std::string& file, const void* data, size_t bytes) {
  if (dump_dir.empty()) return;
  std::ofstream out(dump_dir + "/" + file, std::ios::binary);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(bytes));
}

Dataset& Get(const std::string& name, uint64_t n, uint64_t d) {
  static std::map<std::string, std::unique_ptr<Dataset>> cache;
  auto& slot = cache[name];
  if (slot) return *slot;
  slot = std::make_unique<Dataset>();
  Dataset& ds = *slot;
  ds.name = name;
  std::mt19937_64 gen(20261207 + d);
  std::normal_distribution<float> unit;
  std::vector<float> c(4 * kLists * d);
  for (auto& x : c) x = unit(gen);
  const Matrix<float> centres(std::move(c), d);
  ds.base = Clustered(centres, n, gen);
  ds.queries = Clustered(centres, kQueries, gen);
  // A run that finds centroids in the dump directory searches with them, so that runs at
  // different thread counts and the other implementation all use one set.
  std::ifstream saved(dump_dir + "/" + name + "_centroids.f32", std::ios::binary);
  if (!dump_dir.empty() && saved) {
    std::vector<float> values(kLists * d);
    saved.read(reinterpret_cast<char*>(values.data()), static_cast<std::streamsize>(values.size() * 4));
    ds.book.n_centroids = kLists;
    ds.book.centroids = Matrix<float>(std::move(values), d);
  } else {
    KMeansConfig config;
    config.n_clusters = kLists;
    ds.book = std::move(train_kmeans_dispatch(ds.base, config, SquaredEuclidean)[0]);
  }
  const Matrix<uint32_t> assigned = quantize_dispatch(ds.base, {ds.book}, SquaredEuclidean);
  ds.lists.resize(kLists);
  for (uint64_t i = 0; i < n; ++i) ds.lists[assigned.data[i]].push_back(i);
  for (uint64_t i = 0; i < n; ++i) ds.ids.push_back(std::to_string(i));
  Write(name + "_base.f32", ds.base.data.data(), ds.base.data.size() * 4);
  Write(name + "_queries.f32", ds.queries.data.data(), ds.queries.data.size() * 4);
  Write(name + "_centroids.f32", ds.book.centroids.data.data(), ds.book.centroids.data.size() * 4);
  return ds;
}

// The record the storage engine would return for these lists, in their order.
void Gather(const Dataset& ds, const std::vector<uint32_t>& probed, CacheMissResult& record,
            Matrix<float>& items) {
  const uint64_t d = ds.base.cols;
  record = CacheMissResult();
  record.token_indices.push_back(0);
  std::vector<float> values;
  for (uint32_t list : probed) {
    for (uint64_t row : ds.lists[list]) {
      record.item_ids.push_back(ds.ids[row]);
      record.metadata.emplace_back();
      values.insert(values.end(), ds.base.row(row), ds.base.row(row) + d);
    }
    record.token_indices.push_back(record.item_ids.size());
  }
  items = Matrix<float>(std::move(values), d);
}

void BM_Train(benchmark::State& state, std::string name, uint64_t n, uint64_t d) {
  Dataset& ds = Get(name, n, d);
  KMeansConfig config;
  config.n_clusters = kLists;
  config.max_iters = static_cast<uint64_t>(state.range(0));
  std::vector<Codebook> books;
  for (auto _ : state) books = train_kmeans_dispatch(ds.base, config, SquaredEuclidean);
  const Matrix<float>& c = books[0].centroids;
  Write(name + "_trained_" + std::to_string(config.max_iters) + ".f32", c.data.data(), c.data.size() * 4);
}

void BM_Search(benchmark::State& state, std::string name, uint64_t n, uint64_t d) {
  Dataset& ds = Get(name, n, d);
  const uint64_t n_probes = static_cast<uint64_t>(state.range(0));
  CacheMissResult record;
  Matrix<float> items;
  QueryResults results;
  for (auto _ : state) {
    const ProbeSelection selection =
        select_probes_dispatch(ds.queries, {ds.book}, n_probes, SquaredEuclidean, 0.0f);
    state.PauseTiming();
    Gather(ds, selection.probed_lists, record, items);
    state.ResumeTiming();
    results = exact_topk_search(record, items, selection, ds.queries, kTopK, SquaredEuclidean, {0});
  }
  state.counters["qps"] = benchmark::Counter(static_cast<double>(kQueries * state.iterations()),
                                             benchmark::Counter::kIsRate);
  state.counters["threads"] = omp_get_max_threads();
  std::vector<int64_t> rows(kQueries * kTopK, -1);
  for (uint64_t q = 0; q < kQueries; ++q) {
    for (uint64_t j = 0; j < results.counts[q]; ++j) rows[q * kTopK + j] = std::stoll(results.ids.at(q, j));
  }
  Write(name + "_result_" + std::to_string(n_probes) + ".i64", rows.data(), rows.size() * 8);
}

void Register() {
  struct Shape {
    const char* name;
    uint64_t n, d;
  };
  for (const Shape& s : {Shape{"clustered_200k_128", 200000, 128}, Shape{"clustered_100k_768", 100000, 768}}) {
    // The comparison's iteration count, then the train operation's default.
    benchmark::RegisterBenchmark((std::string("Train/") + s.name).c_str(), BM_Train, s.name, s.n, s.d)
        ->Arg(kTrainIters)->Arg(100)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
    benchmark::RegisterBenchmark((std::string("Search/") + s.name).c_str(), BM_Search, s.name, s.n, s.d)
        ->Arg(1)->Arg(4)->Arg(16)->Arg(64)->Iterations(search_iterations)
        ->Unit(benchmark::kMillisecond)->UseRealTime();
  }
}

}  // namespace
}  // namespace ombrix

// Our own flags, --dump_dir=DIR and --search_iterations=N, are taken out of argv before
// the benchmark library reads the rest.
int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const bool dump = std::strncmp(argv[i], "--dump_dir=", 11) == 0;
    const bool iterations = std::strncmp(argv[i], "--search_iterations=", 20) == 0;
    if (!dump && !iterations) continue;
    if (dump) ombrix::dump_dir = argv[i] + 11;
    if (iterations) ombrix::search_iterations = std::max(1L, std::atol(argv[i] + 20));
    for (int j = i; j + 1 < argc; ++j) argv[j] = argv[j + 1];
    --argc;
    --i;
  }
  benchmark::Initialize(&argc, argv);
  ombrix::Register();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
