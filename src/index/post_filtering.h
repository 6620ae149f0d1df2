// Post-filtering: keeps the retrieved candidates whose own metadata satisfies a query's
// filter, with the list boundaries moved to the rows that remain, so the exact ranking
// sees nothing else. Pure functions over values the caller owns; safe on any thread.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <vector>

#include "index_model/cache_miss_result.h"

namespace ombrix {

// The candidates whose metadata satisfies `filter` (a document from parseFilters that asks
// for filtering), in their order. Every metadata text is parsed before any is judged (an
// empty text is the empty object); one that does not parse is logged at CRITICAL through
// the active logger and thrown as std::invalid_argument "Invalid JSON string provided:
// <library text>". Evaluation errors pass through. When nothing is kept the result is
// wholly empty: no ids, no boundaries, 0 x 0 payloads.
CacheMissResult FilterCandidates(CacheMissResult candidates, const nlohmann::json& filter);

// The rows `kept` (ascending, numbered over the metadata texts) of `candidates`. Boundary
// g + 1 becomes boundary g plus the number of kept rows in [old g, old g + 1); the first is 0.
// Throws std::out_of_range "Index out of bounds while filtering item_ids" (then "metadata",
// "payloads"; CRITICAL through the active logger) when a kept row lies beyond a column.
CacheMissResult KeepRows(CacheMissResult candidates, const std::vector<size_t>& kept);

}  // namespace ombrix
