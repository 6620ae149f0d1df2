// Query: number of probes, the trained road (probe selection over the candidate lists)
// and the untrained road (list 0), retrieval through the engine, post-filtering by
// metadata, exact ranking.
#include <iostream>
#include <limits>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <utility>

#include "diagnostics/error_wrapper.h"
#include "index/encrypted_index.h"
#include "index/metadata_filter.h"
#include "index/operation_rules.h"
#include "index/post_filtering.h"
#include "index_model/probe_selection.h"

namespace ombrix {

namespace {

constexpr uint64_t kUntrainedWarningThreshold = 50000;

uint64_t CounterTotal(const std::vector<uint32_t>& counter_map) {
  return std::accumulate(counter_map.begin(), counter_map.end(), uint64_t{0});
}

}  // namespace

QueryResults EncryptedIndex::Query(const Matrix<float>& queries, const QueryParams& params) {
  return internal::ExecuteWithErrorHandling("Query", telemetry.get(), [&] {
    OperationLock lock(*this);
    return QueryLocked(queries, params);
  });
}

QueryResults EncryptedIndex::QueryLocked(const Matrix<float>& queries, const QueryParams& params) {
  const uint64_t q = queries.rows;
  const uint64_t c = queries.cols;
  log().info("Query");
  if (q == 0) throw std::invalid_argument("Query vectors cannot be empty.");
  if (!core) RefuseNotConnected<std::runtime_error>(kCritical);
  if (c > std::numeric_limits<uint64_t>::max() / q || queries.data.size() != q * c) {
    log().error("The query data does not match the number of rows and columns.");
    throw std::invalid_argument("The query data does not match the number of rows and columns.");
  }
  // A training in another handle may rebuild the entries under this query: it waits
  // through a rebuild, and asks again when one began or ended while it read entries.
  constexpr int kAttempts = 3;
  for (int attempt = 1;; ++attempt) {
    // The counter map and the state of the entries, in one round trip.
    const EncryptedIndexCore::EntriesState entries = core->ReadEntriesState();
    // Before the probe count is chosen: another handle may have trained meanwhile, which
    // the recorded count of finished trainings tells without reading the configuration.
    SyncWithEntries(entries);
    core->retrieval_read_entries = false;
    std::optional<QueryResults> results = AnswerQuery(queries, params);
    core->counter_map_fresh = false;
    if (!core->EntriesChangedSince(entries)) {
      if (telemetry) telemetry->RecordEvent(internal::kQuery, TelemetryCount(q, params.top_k));
      return results ? std::move(*results) : make_query_results(q, 0);
    }
    if (attempt == kAttempts) {
      const std::string message = "A training of index '" + name +
                                  "' rebuilt its entries during every attempt of this query; "
                                  "try again when it has finished";
      log().error(message);
      throw TrainingInProgressError(message);
    }
    log().info("A training rebuilt the index entries during the query; asking again");
  }
}

std::optional<QueryResults> EncryptedIndex::AnswerQuery(const Matrix<float>& queries,
                                                        const QueryParams& params) {
  const uint64_t q = queries.rows;
  const uint64_t c = queries.cols;
  const uint64_t d = config->dimension();
  if (d == 0) {
    const char* message = "Index dimension is not set. Please upsert vectors first to auto-detect dimension.";
    log().error(message);
    throw std::runtime_error(message);
  }
  if (c != d) {
    const std::string message = "The dimension of the vectors provided (" + std::to_string(c) +
                                ") doesn't match the index configuration (" + std::to_string(d) + ").";
    log().error(message);
    throw std::invalid_argument(message);
  }
  const uint64_t n_lists = config->n_lists();
  uint64_t probes = params.n_probes;
  if (probes == 0) {  // the counter map was read with the state of the entries
    probes = AutomaticProbeCount(params.top_k, n_lists, CounterTotal(core->counter_map));
  }
  if (probes > n_lists) {
    log().warning("n_probes exceeds n_lists. Capping to n_lists (" + std::to_string(n_lists) + ").");
    probes = n_lists;
  }

  const DistanceMetric metric = static_cast<DistanceMetric>(config->metric);
  ProbeSelection selection;
  std::vector<uint32_t> probed;  // list ids, in the order of the selection's positions
  if (trained) {
    log().info("RetrieveTrained");
    const float greedy = params.greedy ? 1.0f : 0.0f;
    PreFilterResult filtered = PreFiltering(params.filters);
    const std::vector<Codebook>& codebooks =
        filtered.every_list ? quantizers->codebooks : filtered.quantizers.codebooks;
    const uint64_t candidate_count = codebooks.empty() ? 0 : codebooks[0].n_centroids;
    log().info("Pre-filtered to " + std::to_string(candidate_count) + " centroids.");
    if (candidate_count == 0) return std::nullopt;
    if (gpu_accelerate) {
      selection = select_probes_gpu(queries, codebooks, probes, metric, greedy);
    } else if (filtered.every_list) {
      selection = select_probes_prepared(queries, PreparedProbeCandidates(metric), probes, greedy);
    } else {
      selection = select_probes_dispatch(queries, codebooks, probes, metric, greedy);
    }
    std::vector<uint32_t> lists;
    lists.reserve(selection.probed_lists.size());
    for (uint32_t position : selection.probed_lists) {
      if (position >= filtered.centroid_ids.size()) {
        const std::string message = "Invalid filtered centroid index: " + std::to_string(position) +
                                    " (mapping size: " + std::to_string(filtered.centroid_ids.size()) + ")";
        log().error(message);
        throw std::out_of_range(message);
      }
      lists.push_back(filtered.centroid_ids[position]);
    }
    // Nothing to fetch: every query gets an empty result, and the stores are not asked.
    if (lists.empty()) return std::nullopt;
    probed = std::move(lists);
  } else {
    log().info("RetrieveUntrained");
    if (CounterTotal(core->counter_map) > kUntrainedWarningThreshold) {
      const std::string warning = "Warning: querying untrained index with more than " +
                                  std::to_string(kUntrainedWarningThreshold) +
                                  " indexed vectors.\nQueries may be slow; consider calling "
                                  "`TrainIndex()` to speed up queries.";
      log().warning(warning);
      std::cerr << warning << std::endl;
    }
    selection.n_queries = q;
    selection.probed_lists = {0};
    selection.probes = Matrix<uint32_t>(q, 1, 0);
    probed = {0};
  }

  const uint32_t top_k = params.top_k > std::numeric_limits<uint32_t>::max()
                             ? std::numeric_limits<uint32_t>::max()
                             : static_cast<uint32_t>(params.top_k);
  QueryResults results;
  if (IsNoFilter(params.filters)) {
    // Every candidate is ranked where it lies: in the item cache, or packed once on fetching.
    const std::vector<std::shared_ptr<const PackedList>> candidates = core->RetrieveLists(probed);
    std::vector<ListView> views;
    views.reserve(candidates.size());
    for (const auto& list : candidates) {
      if (list->size() != 0 && list->width() % sizeof(float) != 0) {
        throw std::invalid_argument("Byte vector size is not a multiple of float size.");
      }
      if (list->size() != 0 && list->words() != d) {
        throw std::invalid_argument("Query embedding dimension does not match item embedding");
      }
      views.push_back(list->view());
    }
    results = exact_topk_lists(views, d, selection, queries, top_k, metric, params.include);
  } else {
    CacheMissResult candidates = PostFiltering(core->QueryEncrypted(probed), params.filters);
    const Matrix<float> items = candidates.payloads.TakeFloats();
    results = exact_topk_search(candidates, items, selection, queries, top_k, metric, params.include);
  }

  return results;
}

const ProbeCandidates& EncryptedIndex::PreparedProbeCandidates(DistanceMetric metric) {
  if (!probe_candidates_ || !probe_candidates_->PreparedFrom(quantizers->codebooks, metric)) {
    probe_candidates_.reset();
    probe_candidates_ = std::make_unique<const ProbeCandidates>(quantizers->codebooks, metric);
  }
  return *probe_candidates_;
}

CacheMissResult EncryptedIndex::PostFiltering(CacheMissResult candidates, const std::string& filters) {
  const nlohmann::json filter = parseFilters(filters);
  if (IsNoFilterDocument(filter)) return candidates;
  log().info("PostFiltering");
  return FilterCandidates(std::move(candidates), filter);
}

}  // namespace ombrix
