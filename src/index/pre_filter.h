// Judging whole inverted lists against a metadata filter from their per-field summaries.
// Sound by construction: a list is dropped only when no item it can hold satisfies the
// filter, so a filtered query that probes every surviving list finds every match. Pure
// functions over values the caller owns; safe on any thread.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "index/centroid_summaries.h"
#include "index_model/matrix.h"

namespace ombrix {

// Field path -> its summaries. A path present with an empty map was looked up and has
// nothing stored (no item carries it); a path absent was not looked up (unknown).
using SummariesByField = std::map<std::string, CentroidSummaryMap>;

// Adds the field paths a normalised filter refers to outside $not and $nor to `paths`
// (nested plain keys of a condition as prefix + "." + key).
void collectFilterFields(const nlohmann::json& filter, std::set<std::string>& paths, const std::string& prefix);

// False only when no item of list `list` can satisfy `filter` given `summaries`.
// Negations always pass (they would negate an over-approximation); a field with no
// summary entry for the list passes exactly when its condition holds for a missing field.
bool centroidMayMatch(const SummariesByField& summaries, const nlohmann::json& filter, uint32_t list);

// Every codebook cut down to the rows of `kept` (ascending list ids) below its centroid
// count; secondary codebooks copied. Position p of a reduced codebook is list kept[p].
Quantizers ReduceCodebooks(const Quantizers& quantizers, const std::vector<uint32_t>& kept);

}  // namespace ombrix
