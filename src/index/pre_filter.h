// Judging whole inverted lists against a metadata filter from their per-field summaries.
// Sound by construction: a list is dropped only when no item it can hold satisfies the
// filter, so a filtered query that probes every surviving list finds every match. Pure
// functions over values the caller owns; safe on any thread.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <nlohmann/json.hpp>

#include "index/centroid_summaries.h"
#include "index_model/matrix.h"

namespace ombrix {

// Summary path -> its summaries. A path present with an empty map was looked up and has
// nothing stored (no item carries it); a path absent was not looked up (unknown).
using SummariesByField = std::map<std::string, CentroidSummaryMap>;

// The summary path under which the values that evaluation reaches by the filter path
// `field_path` (split at every dot, ResolveFieldPath) are summarised. Other chains of keys
// may share it (a literal key "a.b" with a -> b; "" -> a with a); their values only widen
// the summary, so judging by it stays sound.
std::string SummaryPathOf(std::string_view field_path);

// Adds the summary paths of the fields a normalised filter refers to outside $not and
// $nor to `paths` (nested plain keys of a condition as prefix + "." + key).
void collectFilterFields(const nlohmann::json& filter, std::set<std::string>& paths, const std::string& prefix);

// A $in operand as list summaries judge it, walked as evaluation walks it (array elements,
// object member values, a scalar itself, null nothing).
struct SummaryOperand {
  std::vector<double> numbers;          // nearest doubles, sorted; NaN left out
  std::unordered_set<uint32_t> hashes;  // CRC-32 of each string, of "true"/"false" for booleans
  bool unrecorded = false;              // holds a null, array or object: no summary refutes it
};

// The $in operands of one filter, each prepared at its first use for judging many lists.
// Operands are known by their address. REQUIRES: the filter outlives the cache and is not
// changed while it is used. Not thread-safe: one cache per judging thread.
class SummaryOperandCache {
 public:
  const SummaryOperand& Prepared(const nlohmann::json& operand);

 private:
  std::unordered_map<const nlohmann::json*, SummaryOperand> operands_;
};

// False only when no item of list `list` can satisfy `filter` given `summaries`.
// Negations always pass (they would negate an over-approximation); a field with no
// summary entry for the list passes exactly when its condition holds for a missing field.
bool centroidMayMatch(const SummariesByField& summaries, const nlohmann::json& filter, uint32_t list,
                      SummaryOperandCache& cache);
// The same with a cache of its own (operands prepared for this call only).
bool centroidMayMatch(const SummariesByField& summaries, const nlohmann::json& filter, uint32_t list);

// Every codebook cut down to the rows of `kept` (ascending list ids) below its centroid
// count; secondary codebooks copied. Position p of a reduced codebook is list kept[p].
Quantizers ReduceCodebooks(const Quantizers& quantizers, const std::vector<uint32_t>& kept);

}  // namespace ombrix
