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

// Item vectors are packed list by list into blocks of kLanes rows stored component-major,
// so that one query is compared with kLanes rows at once while each row keeps its own
// sequential sum. kGroup blocks advance together to hide the latency of the additions.
constexpr uint64_t kLanes = 16;
constexpr int kGroup = 4;

enum class Form { kDot, kSquaredDifference };

struct FreeFloats {
  void operator()(float* p) const { std::free(p); }
};

// The packed copy is as large as the fetched vectors and lives for one call. Fresh pages
// of that size cost a fault each, so large copies ask for huge pages (a hint only).
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

struct PackedLists {
  // List p occupies blocks first_block[p] .. first_block[p + 1] - 1.
  std::vector<uint64_t> first_block;
  // Block b: component j of lane l at (b * d + j) * kLanes + l; lanes past a list are 0.
  // Left uninitialised until packed: every element is written once.
  std::unique_ptr<float[], FreeFloats> values;
  // Cosine only: the length of each packed row, sqrt of its fused sum of squares.
  std::vector<float> norms;
};

using SumsFn = void (*)(const float*, const float*, uint64_t, uint64_t, float*);
using SquaresFn = void (*)(const float*, uint64_t, uint64_t, float*);

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
SumsFn PickSums() {
  switch (DetectIsa()) {
    case Isa::kAvx512: return &avx512::BlockSums<F>;
    case Isa::kAvx2: return &avx2::BlockSums<F>;
    default: return &baseline::BlockSums<F>;
  }
}

SquaresFn PickSquares() {
  switch (DetectIsa()) {
    case Isa::kAvx512: return &avx512::BlockSquares;
    case Isa::kAvx2: return &avx2::BlockSquares;
    default: return &baseline::BlockSquares;
  }
}

PackedLists Pack(const CacheMissResult& record, const Matrix<float>& items, bool with_norms) {
  const uint64_t d = items.cols;
  const std::vector<uint64_t>& bounds = record.token_indices;
  const uint64_t lists = bounds.empty() ? 0 : bounds.size() - 1;
  PackedLists packed;
  packed.first_block.assign(lists + 1, 0);
  for (uint64_t p = 0; p < lists; ++p) {
    const uint64_t rows = bounds[p + 1] > bounds[p] ? bounds[p + 1] - bounds[p] : 0;
    packed.first_block[p + 1] = packed.first_block[p] + (rows + kLanes - 1) / kLanes;
  }
  const uint64_t blocks = packed.first_block[lists];
  packed.values = AllocatePacked(blocks * d * kLanes);
  if (with_norms) packed.norms.assign(blocks * kLanes, 0.0f);
  const SquaresFn squares = PickSquares();
  ParallelDynamic(lists, [&](uint64_t p) {
    const uint64_t begin = bounds[p];
    const uint64_t end = std::max(bounds[p + 1], begin);
    float* out = packed.values.get() + packed.first_block[p] * d * kLanes;
    const uint64_t n_blocks = packed.first_block[p + 1] - packed.first_block[p];
    for (uint64_t i = 0; i < n_blocks * kLanes; ++i) {
      float* lane = out + (i / kLanes) * d * kLanes + i % kLanes;
      if (begin + i < end) {
        const float* x = items.row(begin + i);
        // Cosine rows of extreme magnitude are packed rescaled, or their sums would
        // overflow (or vanish) in single precision.
        const int exponent = with_norms ? CosineScaleExponent(x, d) : 0;
        if (exponent == 0) {
          for (uint64_t j = 0; j < d; ++j) lane[j * kLanes] = x[j];
        } else {
          for (uint64_t j = 0; j < d; ++j) lane[j * kLanes] = std::ldexp(x[j], exponent);
        }
      } else {
        for (uint64_t j = 0; j < d; ++j) lane[j * kLanes] = 0.0f;
      }
    }
    if (with_norms) {
      float* norms = packed.norms.data() + packed.first_block[p] * kLanes;
      squares(out, n_blocks, d, norms);
      for (uint64_t i = 0; i < n_blocks * kLanes; ++i) norms[i] = std::sqrt(norms[i]);
    }
  });
  return packed;
}

// A candidate of a query's bounded heap: its distance and its record row, which stands
// for the (distance, id, metadata) triple without copying either string.
struct ScoredCandidate {
  float distance;
  uint64_t row;
};

// a strictly before b as numbers, NaN after every number.
bool Nearer(float a, float b) { return a < b || (std::isnan(b) && !std::isnan(a)); }

void CheckFits(const CacheMissResult& record, const ProbeSelection& selection,
               const Matrix<float>& queries) {
  if (selection.n_queries != queries.rows || selection.probes.rows != queries.rows) {
    throw std::invalid_argument("Probe selection does not match the number of queries.");
  }
  if (record.metadata.size() != record.item_ids.size()) {
    throw std::invalid_argument("Matching IDs and metadata have different sizes");
  }
  const uint64_t lists = record.token_indices.empty() ? 0 : record.token_indices.size() - 1;
  for (uint32_t position : selection.probes.data) {
    if (position >= lists) {
      throw std::invalid_argument("Probed list position " + std::to_string(position) +
                                  " has no boundaries in the record.");
    }
  }
  for (uint64_t boundary : record.token_indices) {
    if (boundary > record.item_ids.size()) {
      throw std::invalid_argument("List boundary " + std::to_string(boundary) +
                                  " lies beyond the record's rows.");
    }
  }
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
  if (metric != Cosine && metric != Euclidean && metric != SquaredEuclidean) {
    throw std::runtime_error("Unsupported distance metric.");
  }
  const bool with_metadata =
      std::find(include.begin(), include.end(), kIncludeMetadata) != include.end();
  if (items.rows != record.item_ids.size()) {
    throw std::invalid_argument("Matching IDs and embeddings have different sizes");
  }
  if (queries.cols != items.cols) {
    throw std::invalid_argument("Query embedding dimension does not match item embedding");
  }
  if (k == 0) return make_query_results(n_queries, 0);
  CheckFits(record, selection, queries);

  const bool cosine = metric == Cosine;
  const uint64_t d = items.cols;
  const PackedLists packed = Pack(record, items, cosine);
  const SumsFn sums = cosine ? PickSums<Form::kDot>() : PickSums<Form::kSquaredDifference>();
  QueryResults results = make_query_results(n_queries, k);

  // The triple order: distance (NaN last), then id bytes, then metadata bytes.
  auto before = [&record](const ScoredCandidate& a, const ScoredCandidate& b) {
    if (Nearer(a.distance, b.distance)) return true;
    if (Nearer(b.distance, a.distance)) return false;
    const int by_id = record.item_ids[a.row].compare(record.item_ids[b.row]);
    if (by_id != 0) return by_id < 0;
    return record.metadata[a.row] < record.metadata[b.row];
  };

  // Queries that start with the same list run one after another, so that list is still in
  // cache for the next of them. Each query's result depends only on its own walk.
  std::vector<uint64_t> order(n_queries);
  std::iota(order.begin(), order.end(), uint64_t{0});
  if (selection.probes.cols > 0) {
    std::stable_sort(order.begin(), order.end(), [&](uint64_t a, uint64_t b) {
      return selection.probes.at(a, 0) < selection.probes.at(b, 0);
    });
  }

  ParallelDynamic(n_queries, [&](uint64_t i) {
    const uint64_t q = order[i];
    thread_local std::vector<float> distances;
    thread_local std::vector<ScoredCandidate> heap;
    heap.clear();
    const float* query = queries.row(q);
    float query_norm = 0.0f;
    thread_local std::vector<float> rescaled;
    if (cosine) {
      if (const int exponent = CosineScaleExponent(query, d); exponent != 0) {
        rescaled.assign(query, query + d);
        for (float& v : rescaled) v = std::ldexp(v, exponent);
        query = rescaled.data();
      }
      float sum = 0.0f;
      for (uint64_t j = 0; j < d; ++j) sum = std::fmaf(query[j], query[j], sum);
      query_norm = std::sqrt(sum);
    }
    for (uint64_t cell = 0; cell < selection.probes.cols; ++cell) {
      const uint32_t p = selection.probes.at(q, cell);
      const uint64_t begin = record.token_indices[p];
      const uint64_t end = record.token_indices[p + 1];
      if (end <= begin) continue;
      const uint64_t first = packed.first_block[p];
      const uint64_t blocks = packed.first_block[p + 1] - first;
      distances.resize(blocks * kLanes);
      sums(query, packed.values.get() + first * d * kLanes, blocks, d, distances.data());
      for (uint64_t r = begin; r < end; ++r) {
        float distance = distances[r - begin];
        if (cosine) {
          const float norms = query_norm * packed.norms[first * kLanes + (r - begin)];
          distance = norms == 0.0f ? 1.0f : 1.0f - distance / norms;
        }
        if (heap.size() < k) {
          heap.push_back({distance, r});
          std::push_heap(heap.begin(), heap.end(), before);
        } else if (Nearer(distance, heap.front().distance)) {
          std::pop_heap(heap.begin(), heap.end(), before);
          heap.back() = {distance, r};
          std::push_heap(heap.begin(), heap.end(), before);
        }
      }
    }
    std::sort_heap(heap.begin(), heap.end(), before);
    if (with_metadata) results.metadata[q].assign(k, std::string());
    for (uint64_t j = 0; j < heap.size(); ++j) {
      const ScoredCandidate& c = heap[j];
      results.distances.at(q, j) = metric == Euclidean ? std::sqrt(c.distance) : c.distance;
      results.ids.at(q, j) = record.item_ids[c.row];
      if (with_metadata) results.metadata[q][j] = record.metadata[c.row];
    }
    results.counts[q] = static_cast<uint32_t>(heap.size());
  });
  return results;
}

}  // namespace ombrix
