// Exact top-k ranking, the last step of a query: each query is compared with the items of
// its own probed lists and keeps its k nearest, nearest first. Returns a new QueryResults
// owned by the caller. Callable from any thread; runs OpenMP regions sized by the work (none
// for small work) on at most the default team, and its result does not depend on the team.
#pragma once

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "index_model/cache_miss_result.h"
#include "index_model/index_config.h"
#include "index_model/matrix.h"
#include "index_model/packed_list.h"
#include "index_model/probe_selection.h"

namespace ombrix {

// The results of one query: `count` filled slots, nearest first. Views into the
// QueryResults they came from.
struct QueryResultRow {
  const std::string* ids = nullptr;
  const float* distances = nullptr;
  uint64_t count = 0;
  const std::vector<std::string>* metadata = nullptr;  // null when none was asked for
};

struct QueryResults {
  // The checked way to read query q's results; std::out_of_range "Query index is out of
  // bounds" unless q < n_queries. Also safe on results whose columns disagree.
  QueryResultRow ForQuery(uint64_t q) const {
    if (q >= n_queries || q >= ids.rows || q >= distances.rows) {
      throw std::out_of_range("Query index is out of bounds");
    }
    QueryResultRow row;
    row.count = std::min<uint64_t>(q < counts.size() ? counts[q] : 0,
                                   std::min<uint64_t>(ids.cols, distances.cols));
    row.ids = ids.data.data() + q * ids.cols;
    row.distances = distances.data.data() + q * distances.cols;
    if (q < metadata.size() && !metadata[q].empty()) row.metadata = &metadata[q];
    return row;
  }

  uint64_t n_queries = 0;
  uint64_t top_k = 0;             // columns of ids and distances; may be below the request
  Matrix<std::string> ids;        // n_queries x top_k; "" past counts[q]
  Matrix<float> distances;        // n_queries x top_k; 0 past counts[q]
  std::vector<uint32_t> counts;   // results kept per query
  std::vector<std::vector<float>> reserved;  // always empty
  // When metadata was asked for, top_k texts per query ("" past counts[q]); else empty lists.
  std::vector<std::vector<std::string>> metadata;
};

// n_queries rows of k empty ids and zero distances, zero counts, empty metadata lists.
QueryResults make_query_results(uint64_t n_queries, uint64_t k);

// Include code that asks for metadata; any other code asks for nothing here.
inline constexpr uint32_t kIncludeMetadata = 1;

// Ranks, for every query q, the record rows of the lists at positions probes(q, *) by the
// metric (cosine distance, Euclidean distance or squared Euclidean distance), keeping the
// min(top_k, record rows) nearest; ties by id bytes, then metadata bytes. An empty record,
// selection or query matrix gives n_queries rows and no columns.
// Throws std::runtime_error "Unsupported distance metric.", std::invalid_argument
// "Matching IDs and embeddings have different sizes", std::invalid_argument "Query embedding
// dimension does not match item embedding", and std::invalid_argument for a selection,
// record or boundaries that do not fit together; all before any ranking.
QueryResults exact_topk_search(const CacheMissResult& record, const Matrix<float>& items,
                               const ProbeSelection& selection, const Matrix<float>& queries,
                               uint32_t top_k, DistanceMetric metric,
                               const std::vector<uint32_t>& include);

// The same ranking over lists read where they lie (lists[p] is probed position p; vectors
// of d components): the same results, bit for bit, as exact_topk_search over a record
// holding the same lists, with k bounded by the rows of all lists. Nothing of the lists is
// copied; besides the result, memory does not grow with the rows.
// Throws as exact_topk_search does, before any ranking.
QueryResults exact_topk_lists(const std::vector<ListView>& lists, uint64_t d,
                              const ProbeSelection& selection, const Matrix<float>& queries,
                              uint32_t top_k, DistanceMetric metric,
                              const std::vector<uint32_t>& include);

}  // namespace ombrix
