// The query's pre-filter: the lists whose summaries cannot rule out a match, with the
// codebooks cut down to them.
#include <numeric>
#include <set>
#include <stdexcept>

#include "index/encrypted_index.h"
#include "index/metadata_filter.h"
#include "index/pre_filter.h"
#include "index/summary_store.h"

namespace ombrix {

PreFilterResult EncryptedIndex::PreFiltering(const std::string& filters) {
  log().info("PreFiltering");
  return PreFilterDocument(parseFilters(filters));
}

PreFilterResult EncryptedIndex::PreFilterDocument(const nlohmann::json& filter) {
  const uint32_t n = quantizers->codebooks.empty() ? 0 : quantizers->codebooks[0].n_centroids;
  auto all_lists = [&] {
    PreFilterResult all;
    all.every_list = true;
    all.centroid_ids.resize(n);
    std::iota(all.centroid_ids.begin(), all.centroid_ids.end(), 0u);
    return all;
  };
  if (IsNoFilterDocument(filter)) {
    log().info("No filters, returning all " + std::to_string(n) + " centroids");
    return all_lists();
  }
  try {
    std::set<std::string> collected;
    collectFilterFields(filter, collected, "");
    if (collected.empty()) {
      log().info("Client metadata buffers are empty, returning all " + std::to_string(n) + " centroids");
      return all_lists();
    }
    const SummariesByField summaries =
        LoadFilterSummaries(*core, std::vector<std::string>(collected.begin(), collected.end()));
    validateFilter(filter);
    PreFilterResult result;
    // Every list of the codebook is a candidate; a list no summary names holds no item
    // with those fields, which the missing-field rule judges.
    SummaryOperandCache operands;
    for (uint32_t list = 0; list < n; ++list) {
      if (centroidMayMatch(summaries, filter, list, operands)) result.centroid_ids.push_back(list);
    }
    result.quantizers = ReduceCodebooks(*quantizers, result.centroid_ids);
    return result;
  } catch (const std::exception& failure) {
    const std::string message = std::string("Error while pre-filtering: ") + failure.what();
    log().critical(message);
    throw std::runtime_error(message);
  }
}

}  // namespace ombrix
