#include "index/pre_filter.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "index/metadata_filter.h"
#include "index/metadata_filter_values.h"

namespace ombrix {

namespace {

using json = nlohmann::json;

bool HasHash(const CentroidSummary& s, uint32_t hash) {
  return std::find(s.hashes.begin(), s.hashes.end(), hash) != s.hashes.end();
}

// Whether some value the summary has seen may equal `value` (one operand of $eq or one
// element of $in). Values the summary does not record (null, arrays and objects as array
// elements) may always be there. A number the summary saw is held as its nearest double,
// and equal numbers have the same nearest double.
bool MayEqual(const CentroidSummary& s, const json& value) {
  if (value.is_number()) {
    const double v = value.get<double>();
    return s.min <= v && v <= s.max;
  }
  if (value.is_string()) return HasHash(s, stringCrc32(value.get_ref<const std::string&>()));
  if (value.is_boolean()) return HasHash(s, stringCrc32(value.get<bool>() ? "true" : "false"));
  return true;
}

// Whether some value of a $in operand may equal some value the summary has seen: MayEqual
// of each of its values, answered by one search and one pass over the summary's hashes.
bool MayEqualAny(const CentroidSummary& s, const SummaryOperand& operand) {
  if (operand.unrecorded) return true;
  const auto first = std::lower_bound(operand.numbers.begin(), operand.numbers.end(), s.min);
  if (first != operand.numbers.end() && *first <= s.max) return true;
  return std::any_of(s.hashes.begin(), s.hashes.end(),
                     [&](uint32_t hash) { return operand.hashes.contains(hash); });
}

// Whether operator `op` with `operand` may hold for some present, non-null value the
// summary has seen. Only what the summary can refute fails.
bool OperatorMayHold(const std::string& op, const json& operand, const CentroidSummary& s,
                     SummaryOperandCache& cache) {
  if (op == "$eq") return MayEqual(s, operand);
  if (op == "$in") return MayEqualAny(s, cache.Prepared(operand));
  if (!operand.is_number()) return true;
  const double v = operand.get<double>();
  // Rounding to the nearest double keeps order but can make unequal numbers equal: a field
  // above the operand may be held as the operand's own double, unless that double is the
  // operand itself and below 2^53, where no other integer or double rounds to it.
  const bool strict = std::fabs(v) < 0x1p53 && CompareNumbers(json(v), operand) == 0;
  if (op == "$gt") return strict ? s.max > v : s.max >= v;
  if (op == "$gte") return s.max >= v;
  if (op == "$lt") return strict ? s.min < v : s.min <= v;
  if (op == "$lte") return s.min <= v;
  return true;  // $ne, $nin, $exists, $type, $regex and unknown names
}

bool FieldMayMatch(const SummariesByField& summaries, const std::string& path, const json& condition,
                   uint32_t list, SummaryOperandCache& cache) {
  if (!condition.is_object()) return true;  // not a normalised condition: nothing to refute
  auto field = summaries.find(SummaryPathOf(path));
  if (field == summaries.end()) return true;  // never looked up
  if (MissingFieldSatisfies(condition)) return true;
  auto entry = field->second.find(list);
  if (entry == field->second.end()) return false;  // no item of the list carries the path
  for (const auto& [op, operand] : condition.items()) {
    if (!OperatorMayHold(op, operand, entry->second, cache)) return false;
  }
  return true;
}

// The sub-filters of a logical operator's value, as evaluation walks them; false when the
// value is no container (evaluation's own treatment of it is then not refuted).
bool SubFilters(const json& value, std::vector<const json*>& out) {
  if (!value.is_array() && !value.is_object()) return false;
  for (const json& element : value) out.push_back(&element);
  return true;
}

}  // namespace

std::string SummaryPathOf(std::string_view field_path) {
  std::string path;
  for (std::string_view segment : SplitFieldPath(field_path)) {
    path = JoinSummaryPath(path, std::string(segment));
  }
  return path;
}

void collectFilterFields(const json& filter, std::set<std::string>& paths, const std::string& prefix) {
  if (filter.is_object()) {
    for (const auto& [key, value] : filter.items()) {
      if (key == "$and" || key == "$or") {
        if (value.is_array() || value.is_object()) {
          for (const json& element : value) collectFilterFields(element, paths, prefix);
        }
      } else if (!key.empty() && key[0] == '$') {
        continue;
      } else {
        const std::string path = SummaryPathOf(prefix.empty() ? key : prefix + "." + key);
        paths.insert(path);
        collectFilterFields(value, paths, path);
      }
    }
  } else if (filter.is_array()) {
    for (const json& element : filter) collectFilterFields(element, paths, prefix);
  }
}

const SummaryOperand& SummaryOperandCache::Prepared(const json& operand) {
  const auto [entry, added] = operands_.try_emplace(&operand);
  if (!added) return entry->second;
  SummaryOperand& prepared = entry->second;
  for (const json& value : operand) {
    if (value.is_number()) {
      const double v = value.get<double>();
      if (!std::isnan(v)) prepared.numbers.push_back(v);
    } else if (value.is_string()) {
      prepared.hashes.insert(stringCrc32(value.get_ref<const std::string&>()));
    } else if (value.is_boolean()) {
      prepared.hashes.insert(stringCrc32(value.get<bool>() ? "true" : "false"));
    } else {
      prepared.unrecorded = true;
    }
  }
  std::sort(prepared.numbers.begin(), prepared.numbers.end());
  return prepared;
}

bool centroidMayMatch(const SummariesByField& summaries, const json& filter, uint32_t list) {
  SummaryOperandCache cache;
  return centroidMayMatch(summaries, filter, list, cache);
}

bool centroidMayMatch(const SummariesByField& summaries, const json& filter, uint32_t list,
                      SummaryOperandCache& cache) {
  if (!filter.is_object()) return true;
  for (const auto& [key, value] : filter.items()) {
    if (key == "$not" || key == "$nor") continue;
    if (key == "$and" || key == "$or") {
      std::vector<const json*> parts;
      if (!SubFilters(value, parts)) continue;
      bool pass = key == "$and";
      for (const json* part : parts) {
        const bool may = centroidMayMatch(summaries, *part, list, cache);
        if (key == "$and" && !may) {
          pass = false;
          break;
        }
        if (key == "$or" && may) {
          pass = true;
          break;
        }
      }
      if (!pass) return false;
      continue;
    }
    if (!FieldMayMatch(summaries, key, value, list, cache)) return false;
  }
  return true;
}

Quantizers ReduceCodebooks(const Quantizers& quantizers, const std::vector<uint32_t>& kept) {
  Quantizers reduced;
  reduced.secondary_codebooks = quantizers.secondary_codebooks;
  for (const Codebook& codebook : quantizers.codebooks) {
    const uint64_t cols = codebook.centroids.cols;
    std::vector<float> rows;
    uint32_t count = 0;
    for (uint32_t id : kept) {
      if (id >= codebook.n_centroids || id >= codebook.centroids.rows) continue;
      rows.insert(rows.end(), codebook.centroids.row(id), codebook.centroids.row(id) + cols);
      ++count;
    }
    Codebook cut;
    cut.centroids = Matrix<float>(std::move(rows), cols);
    cut.n_centroids = count;
    reduced.codebooks.push_back(std::move(cut));
  }
  return reduced;
}

}  // namespace ombrix
