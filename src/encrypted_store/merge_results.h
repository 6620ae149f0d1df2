// MergeResults: joins the lists served from the item cache and the lists fetched from
// the stores into one result in probe order, and files the fetched lists in the cache.
// Not synchronised: it changes the cache of the calling core.
#pragma once

#include <cstdint>
#include <vector>

#include "encrypted_store/item_cache.h"
#include "index_model/cache_miss_result.h"

namespace ombrix {

// merged_results receives num_results rows, the hit lists' items and the fetched lists'
// rows in probe order, and one boundary per probed list plus one. Each fetched list is
// filed in the cache at its value in counter_map. Any inconsistency between the inputs
// is logged and thrown as std::runtime_error "Error in MergeResults: <reason>
// current_result_index: <row>".
void MergeResults(const std::vector<uint32_t>& query_tokens, const std::vector<bool>& hit_and_miss,
                  const std::vector<std::vector<CachedItem>>& cache_hit,
                  const std::vector<uint32_t>& cache_misses,
                  const CacheMissResult& cache_miss_result, uint64_t num_results,
                  uint64_t payload_size, CacheMissResult& merged_results, ItemCache& item_cache,
                  const std::vector<uint32_t>& counter_map);

}  // namespace ombrix
