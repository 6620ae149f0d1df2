// A C interface over the query and training numerics for bench/compare_faiss.py, which
// loads it with ctypes so that both implementations run in one process, on the same
// arrays, configuration by configuration in alternation (so a busy machine slows both
// alike). Only the numerics are timed: the retrieval of the probed lists, which is the
// storage engine's work, is done from in-memory lists before the clock starts ranking.
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "index_model/cache_miss_result.h"
#include "index_model/exact_topk.h"
#include "index_model/kmeans.h"
#include "index_model/probe_selection.h"
#include "index_model/quantize.h"
#include "gather_lists.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

ombrix::Matrix<float> Copy(const float* data, uint64_t rows, uint64_t cols) {
  return ombrix::Matrix<float>(std::vector<float>(data, data + rows * cols), cols);
}

// Vectors filed under their nearest centroid, as an index holds them.
struct Index {
  ombrix::Matrix<float> base;
  ombrix::Codebook book;
  std::vector<std::vector<uint64_t>> lists;
  std::vector<std::string> ids;  // row number as text
};

}  // namespace

extern "C" {

// Trains n_lists centroids on n x d vectors with max_iters mini-batch iterations of
// batch_size points; writes them to out (n_lists x d) and returns the seconds taken.
double ombrix_bench_train_batch(const float* base, uint64_t n, uint64_t d, uint64_t n_lists,
                                uint64_t max_iters, uint64_t batch_size, float* out) {
  const ombrix::Matrix<float> data = Copy(base, n, d);
  ombrix::KMeansConfig config;
  config.n_clusters = n_lists;
  config.max_iters = max_iters;
  config.batch_size = batch_size;
  const auto start = Clock::now();
  const auto books = ombrix::train_kmeans_dispatch(data, config, ombrix::SquaredEuclidean);
  const double seconds = Seconds(start);
  std::memcpy(out, books[0].centroids.data.data(), n_lists * d * sizeof(float));
  return seconds;
}

// The same with the default batch size.
double ombrix_bench_train(const float* base, uint64_t n, uint64_t d, uint64_t n_lists,
                          uint64_t max_iters, float* out) {
  return ombrix_bench_train_batch(base, n, d, n_lists, max_iters, ombrix::KMeansConfig().batch_size,
                                  out);
}

void* ombrix_bench_open(const float* base, uint64_t n, uint64_t d, const float* centroids,
                        uint64_t n_lists) {
  auto index = std::make_unique<Index>();
  index->base = Copy(base, n, d);
  index->book.n_centroids = static_cast<uint32_t>(n_lists);
  index->book.centroids = Copy(centroids, n_lists, d);
  const auto assigned = ombrix::quantize_dispatch(index->base, {index->book}, ombrix::SquaredEuclidean);
  index->lists.resize(n_lists);
  for (uint64_t i = 0; i < n; ++i) {
    index->lists[assigned.data[i]].push_back(i);
    index->ids.push_back(std::to_string(i));
  }
  return index.release();
}

void ombrix_bench_close(void* handle) { std::unique_ptr<Index>(static_cast<Index*>(handle)); }

// Probe selection and exact ranking of nq queries; writes nq x top_k row numbers (-1 for
// none) to out_rows and returns the seconds of the two timed steps.
double ombrix_bench_search(void* handle, const float* queries, uint64_t nq, uint64_t n_probes,
                           uint32_t top_k, int64_t* out_rows) {
  const Index& index = *static_cast<Index*>(handle);
  const uint64_t d = index.base.cols;
  const ombrix::Matrix<float> q = Copy(queries, nq, d);
  auto start = Clock::now();
  const ombrix::ProbeSelection selection =
      ombrix::select_probes_dispatch(q, {index.book}, n_probes, ombrix::SquaredEuclidean, 0.0f);
  double seconds = Seconds(start);

  ombrix::CacheMissResult record;
  const ombrix::Matrix<float> items =
      ombrix::GatherLists(index.base, index.lists, index.ids, selection.probed_lists, record);

  start = Clock::now();
  const ombrix::QueryResults results = ombrix::exact_topk_search(
      record, items, selection, q, top_k, ombrix::SquaredEuclidean, {0});
  seconds += Seconds(start);
  for (uint64_t i = 0; i < nq * top_k; ++i) out_rows[i] = -1;
  for (uint64_t r = 0; r < nq; ++r) {
    for (uint64_t j = 0; j < results.counts[r]; ++j) {
      out_rows[r * top_k + j] = std::stoll(results.ids.at(r, j));
    }
  }
  return seconds;
}

}  // extern "C"
