// Built without floating-point contraction (see CMakeLists.txt): every sum here must be
// the sequential single-precision sum the ranking promises, with fused multiply-adds only
// where std::fmaf asks for them.
#include "index_model/exact_topk.h"

#include <immintrin.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>
#include <numeric>
#include <stdexcept>

#include "index_model/distance_kernels.h"
#include "index_model/exact_topk_walk.h"
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
// operations per lane (fused only through Fma), so every variant gives the same bits, but
// for the sign and payload of a NaN, which the results make one (Ranker::Write).
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
bool Runs(Isa isa) {
  __builtin_cpu_init();
  switch (isa) {
    case Isa::kAvx512: return __builtin_cpu_supports("avx512f");
    case Isa::kAvx2: return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    default: return true;
  }
}

Isa DetectIsa() {
  static const Isa isa = Runs(Isa::kAvx512) ? Isa::kAvx512
                         : Runs(Isa::kAvx2) ? Isa::kAvx2
                                            : Isa::kBaseline;
  return isa;
}

std::atomic<ranking_internal::RankingLanes> g_lanes{ranking_internal::RankingLanes::kAuto};

Isa ActiveIsa() {
  using ranking_internal::RankingLanes;
  switch (g_lanes.load(std::memory_order_relaxed)) {
    case RankingLanes::kScalar: return Isa::kBaseline;
    case RankingLanes::kAvx2: return Isa::kAvx2;
    case RankingLanes::kAvx512: return Isa::kAvx512;
    default: return DetectIsa();
  }
}

template <Form F>
Kernels PickSums() {
  switch (ActiveIsa()) {
    case Isa::kAvx512: return {&avx512::BlockSums<F>, &avx512::TailSums<F>};
    case Isa::kAvx2: return {&avx2::BlockSums<F>, &avx2::TailSums<F>};
    default: return {&baseline::BlockSums<F>, &baseline::TailSums<F>};
  }
}

SquaresFn PickSquares() {
  switch (ActiveIsa()) {
    case Isa::kAvx512: return &avx512::ListSquares;
    case Isa::kAvx2: return &avx2::ListSquares;
    default: return &baseline::ListSquares;
  }
}

// A candidate of a query's bounded heap: its distance and where its id and metadata lie,
// so that no string is copied before a row is kept.
struct ScoredCandidate {
  double distance;  // wider than the sums: a scaled pair's distance may lie beyond a float
  const std::string* id;
  const std::string* metadata;
};

// a strictly before b as numbers, NaN after every number.
bool Nearer(double a, double b) { return a < b || (std::isnan(b) && !std::isnan(a)); }

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

// Differences of q and x, each first multiplied by factor (a power of two), into diffs
// (d floats); returns the largest magnitude.
float Differences(const float* q, const float* x, uint64_t d, float factor, float* diffs) {
  for (uint64_t j = 0; j < d; ++j) diffs[j] = q[j] * factor - x[j] * factor;
  return LargestMagnitude(diffs, d);
}

// The squared Euclidean distance of q and x for pairs whose plain single-precision sum
// could overflow or vanish. The differences are the lane sums' own (halved only where one
// would overflow), and only they are scaled: by the power of two that brings the largest
// into [0.5, 1) before the same unfused single-precision sum, undone in double precision.
// Scaling the vectors instead would send differences far below their magnitudes (1e-4
// beside 1e19) under a float's range. The scaling is exact, so wherever the plain sum
// meets no square outside a float's normal range this is its sum bit for bit; the squares
// this sum takes below that range are under 2^-124 of its largest one. diffs is scratch
// of d floats.
double ScaledSquaredDistance(const float* q, const float* x, uint64_t d, float* diffs) {
  int exponent = 0;
  float largest = Differences(q, x, d, 1.0f, diffs);
  if (std::isinf(largest)) {
    // Halved, finite components of opposite signs beyond half the largest float differ by
    // no more than a float holds; an infinite component stays infinite.
    exponent = -1;
    largest = Differences(q, x, d, 0.5f, diffs);
  }
  if (largest != 0.0f && std::isfinite(largest)) {
    int binary = 0;
    std::frexp(largest, &binary);
    for (uint64_t j = 0; j < d; ++j) diffs[j] = std::ldexp(diffs[j], -binary);
    exponent -= binary;
  }
  float sum = 0.0f;
  for (uint64_t j = 0; j < d; ++j) sum = sum + diffs[j] * diffs[j];
  return std::ldexp(static_cast<double>(sum), -2 * exponent);
}

// The query as the sums read it. Cosine reads a query of extreme magnitude as its copy
// scaled by a power of two (kept in storage; exact, and cosine is blind to a vector's
// length) and needs its length; Euclidean reads it as it is, and a query of extreme
// magnitude meets every row by ScaledSquaredDistance instead of the lane sums.
struct PreparedQuery {
  const float* values = nullptr;
  float norm = 0.0f;     // cosine only
  bool scaled = false;   // Euclidean only: every row is met by the scaled road
};

PreparedQuery PrepareQuery(const float* query, uint64_t d, bool cosine,
                           std::vector<float>& storage) {
  PreparedQuery prepared{query};
  const int exponent = CosineScaleExponent(query, d);
  if (!cosine) {
    prepared.scaled = exponent != 0;
    return prepared;
  }
  if (exponent != 0) {
    storage.assign(query, query + d);
    for (float& v : storage) v = std::ldexp(v, exponent);
    prepared.values = storage.data();
  }
  float sum = 0.0f;
  for (uint64_t j = 0; j < d; ++j) sum = std::fmaf(prepared.values[j], prepared.values[j], sum);
  prepared.norm = std::sqrt(sum);
  return prepared;
}

// Whether a row meets its query by the scaled road rather than by its lane sum.
inline bool ScaledRow(const ListView& list, uint64_t r) {
  return list.scales != nullptr && list.scales[r] != 0;
}

// Row r of list as its query meets it: `sum` is the lane sum of the two (a dot product for
// cosine, a squared difference otherwise; not read where the scaled road is taken); row
// is scratch for rows of extreme magnitude.
inline double RowDistance(float sum, const ListView& list, uint64_t r, const PreparedQuery& query,
                          uint64_t d, bool cosine, std::vector<float>& row) {
  if (!cosine) {
    if (!query.scaled && !ScaledRow(list, r)) return sum;
    row.resize(2 * d);
    UnpackRow(list.packed, list.rows, d, r, row.data());
    return ScaledSquaredDistance(query.values, row.data(), d, row.data() + d);
  }
  float distance = sum;
  float length = list.lengths[r];
  if (ScaledRow(list, r)) {
    row.resize(d);
    UnpackRow(list.packed, list.rows, d, r, row.data());
    float dot = 0.0f;
    float squares = 0.0f;
    for (uint64_t j = 0; j < d; ++j) {
      const float x = std::ldexp(row[j], list.scales[r]);
      dot = std::fmaf(query.values[j], x, dot);
      squares = std::fmaf(x, x, squares);
    }
    distance = dot;
    length = std::sqrt(squares);
  }
  const float norms = query.norm * length;
  return norms == 0.0f ? 1.0f : 1.0f - distance / norms;
}

std::atomic<ranking_internal::RankingWalk> g_walk{ranking_internal::RankingWalk::kAuto};

// Bytes of a list read at once by every query of a group that probes it: small enough to
// stay in the core's first-level cache while those queries take their turns, but never
// fewer than kGroup blocks, which the sums advance together.
constexpr uint64_t kChunkBytes = uint64_t{32} << 10;
// Groups of queries per team member in a list-major batch.
constexpr int kGroupsPerMember = 2;

// The ranking proper, on checked inputs: k >= 1, every probed position names a list.
//
// Two walks give the same results. The query-major walk meets a query's rows in probe-cell
// order, then row order, in a bounded max-heap by (distance, id bytes, metadata bytes): it
// pushes while the heap holds fewer than k, then replaces the top only for a distance
// strictly nearer than the top's. Whatever the order of meeting, such a heap ends holding
// every row strictly nearer than its final cut D (the top's distance only falls, and a row
// leaves only for a nearer one) and no row beyond D; the order decides only which rows at
// exactly D stay.
//
// The list-major walk reads each probed list once, chunk by chunk, for all queries of a
// group that probe it, and so meets each query's rows in another order. It keeps the same
// kind of heap by distance alone and notes the nearest distance of the rows it drops or
// evicts. When that distance lies strictly beyond its cut D, the heap holds exactly the
// rows at or before D, k of them: the k nearest distances with their multiplicity, which is
// also what the query-major walk keeps (the same k distances, hence the same D, and all rows
// at or before it). Otherwise a row at D was left out, and the query is walked again
// query-major. Either way the kept rows are then sorted by the triple order, so ids that
// are unique within a query's lists give the same sequence in both walks.
class Ranker {
 public:
  Ranker(const std::vector<ListView>& lists, uint64_t d, const ProbeSelection& selection,
         const Matrix<float>& queries, uint64_t k, DistanceMetric metric, bool with_metadata,
         QueryResults& results)
      : lists_(lists), d_(d), selection_(selection), queries_(queries), k_(k), metric_(metric),
        with_metadata_(with_metadata), cosine_(metric == Cosine),
        sums_(cosine_ ? PickSums<Form::kDot>() : PickSums<Form::kSquaredDifference>()),
        results_(results) {}

  // Query q by the query-major walk.
  void QueryMajor(uint64_t q) const {
    thread_local std::vector<ScoredCandidate> heap_scratch;
    thread_local std::vector<float> rescaled_scratch;
    thread_local std::vector<float> row_scratch;
    // Bound once: in a shared object every use of a thread_local asks the dynamic linker
    // for its address, which per row cost more than the row's own comparison.
    std::vector<ScoredCandidate>& heap = heap_scratch;
    std::vector<float>& rescaled = rescaled_scratch;
    std::vector<float>& row = row_scratch;
    const auto offer = [&](double distance, const ListView& list, uint64_t r) {
      if (heap.size() < k_) {
        heap.push_back({distance, list.ids + r, list.metadata + r});
        std::push_heap(heap.begin(), heap.end(), Before);
      } else if (Nearer(distance, heap.front().distance)) {
        std::pop_heap(heap.begin(), heap.end(), Before);
        heap.back() = {distance, list.ids + r, list.metadata + r};
        std::push_heap(heap.begin(), heap.end(), Before);
      }
    };
    heap.clear();
    heap.reserve(k_);
    const PreparedQuery query = PrepareQuery(queries_.row(q), d_, cosine_, rescaled);
    alignas(64) float distances[kGroup * kLanes] = {};
    for (uint64_t cell = 0; cell < selection_.probes.cols; ++cell) {
      const ListView& list = lists_[selection_.probes.at(q, cell)];
      // Decided once per list: a Euclidean list without a row of extreme magnitude, met by
      // a query of ordinary magnitude, takes every distance from its lane sum as it is.
      const bool plain = !cosine_ && !query.scaled && list.scales == nullptr;
      for (uint64_t first = 0; first < list.rows;) {
        uint64_t count = list.rows - first;
        // A query of extreme magnitude meets every row by the scaled road: no lane sums.
        if (count >= kLanes) {
          const uint64_t blocks = std::min<uint64_t>(kGroup, count / kLanes);
          if (!query.scaled) {
            sums_.blocks(query.values, list.packed + first * d_, blocks, d_, distances);
          }
          count = blocks * kLanes;
        } else if (!query.scaled) {
          sums_.tail(query.values, list.packed + first * d_, count, d_, distances);
        }
        if (plain) {
          for (uint64_t i_row = 0; i_row < count; ++i_row) {
            offer(distances[i_row], list, first + i_row);
          }
        } else {
          for (uint64_t i_row = 0; i_row < count; ++i_row) {
            const uint64_t r = first + i_row;
            offer(RowDistance(distances[i_row], list, r, query, d_, cosine_, row), list, r);
          }
        }
        first += count;
      }
    }
    std::sort_heap(heap.begin(), heap.end(), Before);
    Write(q, heap);
  }

  // The queries group[0..count) by the list-major walk.
  void ListMajor(const uint64_t* group, uint64_t count) const {
    const uint64_t cells = selection_.probes.cols;
    std::vector<Visit> visits;
    visits.reserve(count * cells);
    for (uint64_t m = 0; m < count; ++m) {
      for (uint64_t cell = 0; cell < cells; ++cell) {
        visits.push_back({selection_.probes.at(group[m], cell), static_cast<uint32_t>(m)});
      }
    }
    std::sort(visits.begin(), visits.end(), [](const Visit& a, const Visit& b) {
      return a.list != b.list ? a.list < b.list : a.member < b.member;
    });

    std::vector<Member> members(count);
    for (uint64_t m = 0; m < count; ++m) {
      Member& member = members[m];
      member.query = PrepareQuery(queries_.row(group[m]), d_, cosine_, member.rescaled);
    }
    const uint64_t block_bytes = kLanes * std::max<uint64_t>(d_, 1) * sizeof(float);
    const uint64_t chunk_rows =
        std::max<uint64_t>(kGroup, kChunkBytes / block_bytes / kGroup * kGroup) * kLanes;
    std::vector<float> distances(chunk_rows);
    std::vector<float> row;
    for (uint64_t begin = 0; begin < visits.size();) {
      uint64_t end = begin;
      while (end < visits.size() && visits[end].list == visits[begin].list) ++end;
      const ListView& list = lists_[visits[begin].list];
      const uint64_t full = list.rows / kLanes * kLanes;
      for (uint64_t first = 0; first < list.rows;) {
        const uint64_t rows = first < full ? std::min(chunk_rows, full - first) : list.rows - first;
        for (uint64_t v = begin; v < end; ++v) {
          Member& member = members[visits[v].member];
          if (!member.query.scaled && first < full) {
            sums_.blocks(member.query.values, list.packed + first * d_, rows / kLanes, d_,
                         distances.data());
          } else if (!member.query.scaled) {
            sums_.tail(member.query.values, list.packed + first * d_, rows, d_, distances.data());
          }
          if (cosine_) {
            for (uint64_t i = 0; i < rows; ++i) {
              distances[i] = static_cast<float>(
                  RowDistance(distances[i], list, first + i, member.query, d_, cosine_, row));
            }
          } else if (member.query.scaled || list.scales != nullptr) {
            // Distances that may lie beyond a float are offered one by one.
            for (uint64_t i = 0; i < rows; ++i) {
              const double distance =
                  RowDistance(distances[i], list, first + i, member.query, d_, cosine_, row);
              if (member.bounded && !(distance <= member.top)) continue;
              Offer(member, distance, list, first + i);
            }
            continue;
          }
          // Most rows lie beyond a full heap's top (a NaN distance lies beyond a number too):
          // a block of them is passed over after one pass of comparisons.
          for (uint64_t b = 0; b < rows; b += kLanes) {
            const uint64_t n = std::min(kLanes, rows - b);
            if (member.bounded && n == kLanes && NoneAtOrBefore(distances.data() + b, member.top)) {
              continue;
            }
            for (uint64_t i = b; i < b + n; ++i) {
              if (member.bounded && !(distances[i] <= member.top)) continue;
              Offer(member, distances[i], list, first + i);
            }
          }
        }
        first += rows;
      }
      begin = end;
    }

    for (uint64_t m = 0; m < count; ++m) {
      Member& member = members[m];
      if (member.dropped && !Nearer(member.heap.front().distance, member.nearest_dropped)) {
        QueryMajor(group[m]);  // a row at the cut was left out: the meeting order decides
        continue;
      }
      std::sort(member.heap.begin(), member.heap.end(), Before);
      Write(group[m], member.heap);
    }
  }

 private:
  struct Visit {
    uint32_t list;
    uint32_t member;  // position in the group
  };

  // A query of a list-major walk: its heap by distance alone and the nearest distance it
  // left out.
  struct Member {
    PreparedQuery query;
    std::vector<float> rescaled;
    std::vector<ScoredCandidate> heap;
    bool dropped = false;
    double nearest_dropped = 0.0;
    // When the heap is full and its top is a number: that top.
    bool bounded = false;
    double top = 0.0;
  };

  // The triple order: distance (NaN last), then id bytes, then metadata bytes.
  static bool Before(const ScoredCandidate& a, const ScoredCandidate& b) {
    if (Nearer(a.distance, b.distance)) return true;
    if (Nearer(b.distance, a.distance)) return false;
    const int by_id = a.id->compare(*b.id);
    if (by_id != 0) return by_id < 0;
    return *a.metadata < *b.metadata;
  }

  static bool DistanceBefore(const ScoredCandidate& a, const ScoredCandidate& b) {
    return Nearer(a.distance, b.distance);
  }

  // No one of kLanes distances at or before top (a number).
  static bool NoneAtOrBefore(const float* distances, double top) {
    uint32_t at_or_before = 0;
    for (uint64_t i = 0; i < kLanes; ++i) at_or_before += distances[i] <= top;
    return at_or_before == 0;
  }

  static void NoteDropped(Member& member, double distance) {
    if (!member.dropped || Nearer(distance, member.nearest_dropped)) {
      member.nearest_dropped = distance;
      member.dropped = true;
    }
  }

  void Offer(Member& member, double distance, const ListView& list, uint64_t r) const {
    std::vector<ScoredCandidate>& heap = member.heap;
    if (heap.size() < k_) {
      heap.push_back({distance, list.ids + r, list.metadata + r});
      std::push_heap(heap.begin(), heap.end(), DistanceBefore);
      member.top = heap.front().distance;
      member.bounded = heap.size() == k_ && !std::isnan(member.top);
      return;
    }
    const double top = heap.front().distance;
    if (Nearer(distance, top)) {
      NoteDropped(member, top);
      std::pop_heap(heap.begin(), heap.end(), DistanceBefore);
      heap.back() = {distance, list.ids + r, list.metadata + r};
      std::push_heap(heap.begin(), heap.end(), DistanceBefore);
    } else if (!Nearer(top, distance)) {
      // Only a row level with the top can be level with the final cut, which lies at or
      // before the top; rows beyond the top stay beyond the cut.
      NoteDropped(member, distance);
    }
    member.top = heap.front().distance;
    member.bounded = heap.size() == k_ && !std::isnan(member.top);
  }

  // Query q's results from its kept rows, sorted by the triple order.
  void Write(uint64_t q, const std::vector<ScoredCandidate>& sorted) const {
    if (with_metadata_) results_.metadata[q].assign(k_, std::string());
    for (uint64_t j = 0; j < sorted.size(); ++j) {
      const ScoredCandidate& c = sorted[j];
      // A distance from the lane sums is a float, whose double root rounds to its float
      // root; one beyond a float's range is reported as infinity. Which NaN an instruction
      // passes on depends on the form the compiler picked for it, so a NaN is reported as
      // the one quiet NaN, the same on every instruction set.
      results_.distances.at(q, j) =
          std::isnan(c.distance)
              ? std::numeric_limits<float>::quiet_NaN()
              : static_cast<float>(metric_ == Euclidean ? std::sqrt(c.distance) : c.distance);
      results_.ids.at(q, j) = *c.id;
      if (with_metadata_) results_.metadata[q][j] = *c.metadata;
    }
    results_.counts[q] = static_cast<uint32_t>(sorted.size());
  }

  const std::vector<ListView>& lists_;
  const uint64_t d_;
  const ProbeSelection& selection_;
  const Matrix<float>& queries_;
  const uint64_t k_;
  const DistanceMetric metric_;
  const bool with_metadata_;
  const bool cosine_;
  const Kernels sums_;
  QueryResults& results_;
};

QueryResults RankLists(const std::vector<ListView>& lists, uint64_t d,
                       const ProbeSelection& selection, const Matrix<float>& queries, uint64_t k,
                       DistanceMetric metric, const std::vector<uint32_t>& include) {
  using ranking_internal::RankingWalk;
  const uint64_t n_queries = selection.n_queries;
  const bool with_metadata =
      std::find(include.begin(), include.end(), kIncludeMetadata) != include.end();
  QueryResults results = make_query_results(n_queries, k);
  const Ranker ranker(lists, d, selection, queries, k, metric, with_metadata, results);

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
  const int team = TeamForWork(work, kRankingWorkPerThread);
  const RankingWalk walk = g_walk.load(std::memory_order_relaxed);

  // Contiguous groups of the sorted queries, so that queries sharing lists stay together;
  // each group walked list-major reads each of its lists once. More groups than members
  // keep the members busy to the end (on a loaded machine too), at the price of reading a
  // list once per group that probes it.
  const uint64_t groups =
      team == 1 ? 1 : std::min<uint64_t>(n_queries, uint64_t{kGroupsPerMember} * team);
  std::vector<char> list_major(groups, walk == RankingWalk::kListMajor);
  bool any_list_major = walk == RankingWalk::kListMajor;
  if (walk == RankingWalk::kAuto && n_queries > 1) {
    // A group pays when its queries probe each of its lists twice on average.
    std::vector<uint64_t> seen_in(lists.size(), 0);
    for (uint64_t g = 0; g < groups; ++g) {
      const auto [first, count] =
          StaticShare(n_queries, static_cast<int>(groups), static_cast<int>(g));
      uint64_t distinct = 0;
      for (uint64_t i = first; i < first + count; ++i) {
        for (uint64_t cell = 0; cell < selection.probes.cols; ++cell) {
          uint64_t& seen = seen_in[selection.probes.at(order[i], cell)];
          distinct += seen != g + 1;
          seen = g + 1;
        }
      }
      list_major[g] = count > 1 && count * selection.probes.cols >= 2 * distinct;
      any_list_major = any_list_major || list_major[g];
    }
  }
  if (!any_list_major) {
    ParallelDynamic(n_queries, team, [&](uint64_t i) { ranker.QueryMajor(order[i]); });
    return results;
  }
  ParallelDynamic(groups, team, [&](uint64_t g) {
    const auto [first, count] =
        StaticShare(n_queries, static_cast<int>(groups), static_cast<int>(g));
    if (list_major[g]) {
      ranker.ListMajor(order.data() + first, count);
    } else {
      for (uint64_t i = first; i < first + count; ++i) ranker.QueryMajor(order[i]);
    }
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
  std::vector<int16_t> scales(first_row[n_lists]);
  ParallelDynamic(n_lists, TeamForWork(first_row[n_lists] * d, kPackingWorkPerThread),
                  [&](uint64_t p) {
                    ListView& list = lists[p];
                    float* out = packed.get() + first_row[p] * d;
                    float* row_lengths = lengths.empty() ? nullptr : lengths.data() + first_row[p];
                    if (list.rows != 0) PackRows(items.row(bounds[p]), list.rows, d, out, row_lengths);
                    list.packed = out;
                    list.lengths = row_lengths;
                    // Rows of extreme magnitude are ranked from scaled copies, whatever
                    // the metric.
                    int16_t* row_scales = scales.data() + first_row[p];
                    if (list.rows != 0 &&
                        RowScales(items.row(bounds[p]), list.rows, d, row_scales)) {
                      list.scales = row_scales;
                    }
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

namespace ranking_internal {
void SetRankingWalk(RankingWalk walk) { g_walk.store(walk, std::memory_order_relaxed); }

bool SetRankingLanes(RankingLanes lanes) {
  if ((lanes == RankingLanes::kAvx2 && !Runs(Isa::kAvx2)) ||
      (lanes == RankingLanes::kAvx512 && !Runs(Isa::kAvx512))) {
    return false;
  }
  g_lanes.store(lanes, std::memory_order_relaxed);
  return true;
}
}  // namespace ranking_internal

void PackedLengths(const float* packed, uint64_t rows, uint64_t d, float* lengths) {
  PickSquares()(packed, rows, d, lengths);
  for (uint64_t r = 0; r < rows; ++r) lengths[r] = std::sqrt(lengths[r]);
}

}  // namespace ombrix
