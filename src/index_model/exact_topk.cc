// Built without floating-point contraction (see CMakeLists.txt): every sum here must be
// the sequential single-precision sum the ranking promises, with fused multiply-adds only
// where std::fmaf asks for them.
#include "index_model/exact_topk.h"

#include <immintrin.h>
#include <sys/mman.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <new>
#include <numeric>
#include <stdexcept>

#include "index_model/distance_kernels.h"
#include "index_model/parallel.h"

namespace ombrix {
namespace {

constexpr uint64_t kLanes = kPackLanes;
// Full blocks that advance together to hide the latency of the additions.
constexpr int kGroup = 4;
// Row components per team member below which waking a member costs more than it saves
// (a wake-up costs microseconds on an idle machine, far more on a busy one).
constexpr uint64_t kRankingWorkPerThread = uint64_t{1} << 19;
constexpr uint64_t kPackingWorkPerThread = uint64_t{1} << 21;

enum class Form { kDot, kSquaredDifference };

struct FreeFloats {
  void operator()(float* p) const { std::free(p); }
};

// The packed copy of a record is as large as its vectors and lives for one call. Fresh
// pages of that size cost a fault each, so large copies ask for huge pages (a hint only).
std::unique_ptr<float[], FreeFloats> AllocatePacked(uint64_t count) {
  constexpr uint64_t kHugePage = uint64_t{2} << 20;
  const uint64_t bytes = std::max<uint64_t>(count * sizeof(float), sizeof(float));
  if (bytes < kHugePage) {
    void* p = std::malloc(bytes);
    if (p == nullptr) throw std::bad_alloc();
    return std::unique_ptr<float[], FreeFloats>(static_cast<float*>(p));
  }
  const uint64_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
  void* p = std::aligned_alloc(kHugePage, rounded);
  if (p == nullptr) throw std::bad_alloc();
  madvise(p, rounded, MADV_HUGEPAGE);
  return std::unique_ptr<float[], FreeFloats>(static_cast<float*>(p));
}

using SumsFn = void (*)(const float*, const float*, uint64_t, uint64_t, float*);
using SquaresFn = void (*)(const float*, uint64_t, uint64_t, float*);
struct Kernels {
  SumsFn blocks;  // over full blocks
  SumsFn tail;    // over the tail rows
};

// The lane loops once per instruction set. Each copy performs the same single-precision
// operations per lane (fused only through Fma), so every variant gives the same bits.
#pragma GCC push_options
#pragma GCC target("avx512f,avx2,fma")
namespace avx512 {
struct Ops {
  static constexpr uint64_t kWidth = 16;
  using V = __m512;
  static V Zero() { return _mm512_setzero_ps(); }
  static V Splat(float x) { return _mm512_set1_ps(x); }
  static V Load(const float* p) { return _mm512_loadu_ps(p); }
  static V LoadFirst(const float* p, uint64_t n) {
    return _mm512_maskz_loadu_ps(static_cast<__mmask16>((uint32_t{1} << n) - 1), p);
  }
  static void Store(float* p, V v) { _mm512_storeu_ps(p, v); }
  static V Add(V a, V b) { return _mm512_add_ps(a, b); }
  static V Sub(V a, V b) { return _mm512_sub_ps(a, b); }
  static V Mul(V a, V b) { return _mm512_mul_ps(a, b); }
  static V Fma(V a, V b, V c) { return _mm512_fmadd_ps(a, b, c); }
};
#include "index_model/exact_topk_lanes.inc"
}  // namespace avx512
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx2,fma")
namespace avx2 {
struct Ops {
  static constexpr uint64_t kWidth = 8;
  using V = __m256;
  static V Zero() { return _mm256_setzero_ps(); }
  static V Splat(float x) { return _mm256_set1_ps(x); }
  static V Load(const float* p) { return _mm256_loadu_ps(p); }
  static V LoadFirst(const float* p, uint64_t n) {
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    return _mm256_maskload_ps(p, _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(n)), lanes));
  }
  static void Store(float* p, V v) { _mm256_storeu_ps(p, v); }
  static V Add(V a, V b) { return _mm256_add_ps(a, b); }
  static V Sub(V a, V b) { return _mm256_sub_ps(a, b); }
  static V Mul(V a, V b) { return _mm256_mul_ps(a, b); }
  static V Fma(V a, V b, V c) { return _mm256_fmadd_ps(a, b, c); }
};
#include "index_model/exact_topk_lanes.inc"
}  // namespace avx2
#pragma GCC pop_options

namespace baseline {
struct Ops {
  static constexpr uint64_t kWidth = 1;
  using V = float;
  static V Zero() { return 0.0f; }
  static V Splat(float x) { return x; }
  static V Load(const float* p) { return *p; }
  static V LoadFirst(const float* p, uint64_t n) { return n == 0 ? 0.0f : *p; }
  static void Store(float* p, V v) { *p = v; }
  static V Add(V a, V b) { return a + b; }
  static V Sub(V a, V b) { return a - b; }
  static V Mul(V a, V b) { return a * b; }
  static V Fma(V a, V b, V c) { return std::fmaf(a, b, c); }
};
#include "index_model/exact_topk_lanes.inc"
}  // namespace baseline

enum class Isa { kAvx512, kAvx2, kBaseline };
Isa DetectIsa() {
  static const Isa isa = [] {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return Isa::kAvx512;
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return Isa::kAvx2;
    return Isa::kBaseline;
  }();
  return isa;
}

template <Form F>
Kernels PickSums() {
  switch (DetectIsa()) {
    case Isa::kAvx512: return {&avx512::BlockSums<F>, &avx512::TailSums<F>};
    case Isa::kAvx2: return {&avx2::BlockSums<F>, &avx2::TailSums<F>};
    default: return {&baseline::BlockSums<F>, &baseline::TailSums<F>};
  }
}

SquaresFn PickSquares() {
  switch (DetectIsa()) {
    case Isa::kAvx512: return &avx512::ListSquares;
    case Isa::kAvx2: return &avx2::ListSquares;
    default: return &baseline::ListSquares;
  }
}

// A candidate of a query's bounded heap: its distance and where its id and metadata lie,
// so that no string is copied before a row is kept.
struct ScoredCandidate {
  float distance;
  const std::string* id;
  const std::string* metadata;
};

// a strictly before b as numbers, NaN after every number.
bool Nearer(float a, float b) { return a < b || (std::isnan(b) && !std::isnan(a)); }

void CheckSelection(uint64_t lists, const ProbeSelection& selection, const Matrix<float>& queries) {
  if (selection.n_queries != queries.rows || selection.probes.rows != queries.rows) {
    throw std::invalid_argument("Probe selection does not match the number of queries.");
  }
  for (uint32_t position : selection.probes.data) {
    if (position >= lists) {
      throw std::invalid_argument("Probed list position " + std::to_string(position) +
                                  " has no boundaries in the record.");
    }
  }
}

void CheckFits(const CacheMissResult& record, const ProbeSelection& selection,
               const Matrix<float>& queries) {
  if (record.metadata.size() != record.item_ids.size()) {
    throw std::invalid_argument("Matching IDs and metadata have different sizes");
  }
  CheckSelection(record.token_indices.empty() ? 0 : record.token_indices.size() - 1, selection,
                 queries);
  for (uint64_t boundary : record.token_indices) {
    if (boundary > record.item_ids.size()) {
      throw std::invalid_argument("List boundary " + std::to_string(boundary) +
                                  " lies beyond the record's rows.");
    }
  }
}

void CheckMetric(DistanceMetric metric) {
  if (metric != Cosine && metric != Euclidean && metric != SquaredEuclidean) {
    throw std::runtime_error("Unsupported distance metric.");
  }
}

// The ranking proper, on checked inputs: k >= 1, every probed position names a list.
QueryResults RankLists(const std::vector<ListView>& lists, uint64_t d,
                       const ProbeSelection& selection, const Matrix<float>& queries, uint64_t k,
                       DistanceMetric metric, const std::vector<uint32_t>& include) {
  const uint64_t n_queries = selection.n_queries;
  const bool with_metadata =
      std::find(include.begin(), include.end(), kIncludeMetadata) != include.end();
  const bool cosine = metric == Cosine;
  const Kernels sums = cosine ? PickSums<Form::kDot>() : PickSums<Form::kSquaredDifference>();
  QueryResults results = make_query_results(n_queries, k);

  // The triple order: distance (NaN last), then id bytes, then metadata bytes.
  auto before = [](const ScoredCandidate& a, const ScoredCandidate& b) {
    if (Nearer(a.distance, b.distance)) return true;
    if (Nearer(b.distance, a.distance)) return false;
    const int by_id = a.id->compare(*b.id);
    if (by_id != 0) return by_id < 0;
    return *a.metadata < *b.metadata;
  };

  // Queries that start with the same list run one after another, so that list is still in
  // cache for the next of them. Each query's result depends only on its own walk.
  std::vector<uint64_t> order(n_queries);
  std::iota(order.begin(), order.end(), uint64_t{0});
  if (selection.probes.cols > 0 && n_queries > 1) {
    std::stable_sort(order.begin(), order.end(), [&](uint64_t a, uint64_t b) {
      return selection.probes.at(a, 0) < selection.probes.at(b, 0);
    });
  }

  // Work of the whole call, in row components met: a team is woken only when it pays.
  uint64_t work = 0;
  for (uint64_t q = 0; q < n_queries; ++q) {
    for (uint64_t cell = 0; cell < selection.probes.cols; ++cell) {
      work += lists[selection.probes.at(q, cell)].rows * d;
    }
  }
  ParallelDynamic(n_queries, TeamForWork(work, kRankingWorkPerThread), [&](uint64_t i) {
    const uint64_t q = order[i];
    thread_local std::vector<ScoredCandidate> heap;
    heap.clear();
    heap.reserve(k);
    const float* query = queries.row(q);
    float query_norm = 0.0f;
    thread_local std::vector<float> rescaled;
    thread_local std::vector<float> row;
    if (cosine) {
      // A query of extreme magnitude is ranked as its copy scaled by a power of two: exact,
      // and cosine is blind to a vector's length.
      if (const int exponent = CosineScaleExponent(query, d); exponent != 0) {
        rescaled.assign(query, query + d);
        for (float& v : rescaled) v = std::ldexp(v, exponent);
        query = rescaled.data();
      }
      float sum = 0.0f;
      for (uint64_t j = 0; j < d; ++j) sum = std::fmaf(query[j], query[j], sum);
      query_norm = std::sqrt(sum);
    }
    alignas(64) float distances[kGroup * kLanes];
    for (uint64_t cell = 0; cell < selection.probes.cols; ++cell) {
      const ListView& list = lists[selection.probes.at(q, cell)];
      for (uint64_t first = 0; first < list.rows;) {
        uint64_t count = list.rows - first;
        if (count >= kLanes) {
          const uint64_t blocks = std::min<uint64_t>(kGroup, count / kLanes);
          sums.blocks(query, list.packed + first * d, blocks, d, distances);
          count = blocks * kLanes;
        } else {
          sums.tail(query, list.packed + first * d, count, d, distances);
        }
        for (uint64_t i_row = 0; i_row < count; ++i_row) {
          const uint64_t r = first + i_row;
          float distance = distances[i_row];
          if (cosine) {
            float length = list.lengths[r];
            if (list.scales != nullptr && list.scales[r] != 0) {
              row.resize(d);
              UnpackRow(list.packed, list.rows, d, r, row.data());
              float dot = 0.0f;
              float squares = 0.0f;
              for (uint64_t j = 0; j < d; ++j) {
                const float x = std::ldexp(row[j], list.scales[r]);
                dot = std::fmaf(query[j], x, dot);
                squares = std::fmaf(x, x, squares);
              }
              distance = dot;
              length = std::sqrt(squares);
            }
            const float norms = query_norm * length;
            distance = norms == 0.0f ? 1.0f : 1.0f - distance / norms;
          }
          if (heap.size() < k) {
            heap.push_back({distance, list.ids + r, list.metadata + r});
            std::push_heap(heap.begin(), heap.end(), before);
          } else if (Nearer(distance, heap.front().distance)) {
            std::pop_heap(heap.begin(), heap.end(), before);
            heap.back() = {distance, list.ids + r, list.metadata + r};
            std::push_heap(heap.begin(), heap.end(), before);
          }
        }
        first += count;
      }
    }
    std::sort_heap(heap.begin(), heap.end(), before);
    if (with_metadata) results.metadata[q].assign(k, std::string());
    for (uint64_t j = 0; j < heap.size(); ++j) {
      const ScoredCandidate& c = heap[j];
      results.distances.at(q, j) = metric == Euclidean ? std::sqrt(c.distance) : c.distance;
      results.ids.at(q, j) = *c.id;
      if (with_metadata) results.metadata[q][j] = *c.metadata;
    }
    results.counts[q] = static_cast<uint32_t>(heap.size());
  });
  return results;
}

}  // namespace

QueryResults make_query_results(uint64_t n_queries, uint64_t k) {
  QueryResults results;
  results.n_queries = n_queries;
  results.top_k = k;
  results.ids = Matrix<std::string>(n_queries, k, std::string());
  results.distances = Matrix<float>(n_queries, k, 0.0f);
  results.counts.assign(n_queries, 0);
  results.metadata.assign(n_queries, {});
  return results;
}

QueryResults exact_topk_search(const CacheMissResult& record, const Matrix<float>& items,
                               const ProbeSelection& selection, const Matrix<float>& queries,
                               uint32_t top_k, DistanceMetric metric,
                               const std::vector<uint32_t>& include) {
  const uint64_t n_queries = selection.n_queries;
  if (record.item_ids.empty() || n_queries == 0 || queries.rows == 0) {
    return make_query_results(n_queries, 0);
  }
  const uint64_t k = std::min<uint64_t>(record.item_ids.size(), top_k);
  CheckMetric(metric);
  if (items.rows != record.item_ids.size()) {
    throw std::invalid_argument("Matching IDs and embeddings have different sizes");
  }
  if (queries.cols != items.cols) {
    throw std::invalid_argument("Query embedding dimension does not match item embedding");
  }
  if (k == 0) return make_query_results(n_queries, 0);
  CheckFits(record, selection, queries);

  // One packed copy of the record's lists for the call, list after list without gaps.
  const uint64_t d = items.cols;
  const std::vector<uint64_t>& bounds = record.token_indices;
  const uint64_t n_lists = bounds.empty() ? 0 : bounds.size() - 1;
  std::vector<ListView> lists(n_lists);
  std::vector<uint64_t> first_row(n_lists + 1, 0);
  for (uint64_t p = 0; p < n_lists; ++p) {
    lists[p].rows = bounds[p + 1] > bounds[p] ? bounds[p + 1] - bounds[p] : 0;
    first_row[p + 1] = first_row[p] + lists[p].rows;
  }
  const auto packed = AllocatePacked(first_row[n_lists] * d);
  std::vector<float> lengths(metric == Cosine ? first_row[n_lists] : 0);
  std::vector<int16_t> scales(metric == Cosine ? items.rows : 0);
  const bool any_scaled = metric == Cosine && RowScales(items.data.data(), items.rows, d, scales.data());
  ParallelDynamic(n_lists, TeamForWork(first_row[n_lists] * d, kPackingWorkPerThread),
                  [&](uint64_t p) {
                    ListView& list = lists[p];
                    float* out = packed.get() + first_row[p] * d;
                    float* row_lengths = lengths.empty() ? nullptr : lengths.data() + first_row[p];
                    if (list.rows != 0) PackRows(items.row(bounds[p]), list.rows, d, out, row_lengths);
                    list.packed = out;
                    list.lengths = row_lengths;
                    if (any_scaled) list.scales = scales.data() + bounds[p];
                    list.ids = record.item_ids.data() + bounds[p];
                    list.metadata = record.metadata.data() + bounds[p];
                  });
  return RankLists(lists, d, selection, queries, k, metric, include);
}

QueryResults exact_topk_lists(const std::vector<ListView>& lists, uint64_t d,
                              const ProbeSelection& selection, const Matrix<float>& queries,
                              uint32_t top_k, DistanceMetric metric,
                              const std::vector<uint32_t>& include) {
  const uint64_t n_queries = selection.n_queries;
  uint64_t rows = 0;
  for (const ListView& list : lists) rows += list.rows;
  if (rows == 0 || n_queries == 0 || queries.rows == 0) return make_query_results(n_queries, 0);
  const uint64_t k = std::min<uint64_t>(rows, top_k);
  CheckMetric(metric);
  if (queries.cols != d) {
    throw std::invalid_argument("Query embedding dimension does not match item embedding");
  }
  if (k == 0) return make_query_results(n_queries, 0);
  CheckSelection(lists.size(), selection, queries);
  return RankLists(lists, d, selection, queries, k, metric, include);
}

void PackedLengths(const float* packed, uint64_t rows, uint64_t d, float* lengths) {
  PickSquares()(packed, rows, d, lengths);
  for (uint64_t r = 0; r < rows; ++r) lengths[r] = std::sqrt(lengths[r]);
}

}  // namespace ombrix
