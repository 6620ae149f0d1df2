// The metadata filter language: a query's filter document (JSON) read from its text,
// normalised, checked at the top level, and judged against one item's metadata document.
// Pure code over nlohmann::json: no store, engine or index state. Every routine is safe to
// call from several threads at once; a FilterCache is the one object a caller must not share.
//
// Grammar after normalisation: an object whose keys all hold at once. A key is a logical
// operator ($and, $or, $nor: an array of sub-filters; $not: one sub-filter) or a field
// path ("a.b" descends through nested objects, never into arrays) whose value is a field
// condition: an object of field operators and their operands, all of which must hold.
#pragma once

#include <cstddef>
#include <functional>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "index/filter_regex.h"
#include "index/metadata_filter_values.h"

namespace ombrix {

// The eleven field operators and the four logical operators.
inline const std::set<std::string, std::less<>> kFilterOperators{
    "$eq", "$ne", "$gt", "$gte", "$lt", "$lte", "$exists", "$regex", "$in", "$nin", "$type"};
inline const std::set<std::string, std::less<>> kLogicalOperators{"$and", "$or", "$nor", "$not"};

// Deepest nesting of containers (objects and arrays, the outermost counting as 1) accepted
// in a filter and in stored metadata, so that every recursive walk stays shallow.
inline constexpr size_t kMaxNestingDepth = 100;

// The filter document of `text`. Empty text gives the empty object. Otherwise the text is
// parsed; null, {} and [] come back unchanged (no filter); anything else is normalised and
// validated. Throws std::invalid_argument "Invalid JSON format for filters: <library text>"
// (for a number no double can hold too), "Filter nesting exceeds the maximum depth of
// 100." (checked before any other walk), and the validation errors of validateFilter.
nlohmann::json parseFilters(const std::string& text);

// Rewrites shorthand in place: a field whose value is not an operator object, as in
// {"color": "red"}, becomes {"color": {"$eq": "red"}}. Reaches the elements of $and, $or
// and $nor, the value of $not, and field conditions (a plain key inside a condition is a
// nested field); the operand of a field operator is never rewritten. Any key that is not a
// logical operator is a field path, whether or not it begins with "$". A document that is
// not an object is left alone. REQUIRES: nesting within kMaxNestingDepth.
void normalizeFilter(nlohmann::json& filter);

// Checks the top level only: one key, either a logical operator or a field path with a
// one-operator condition whose operand is not null or {}. Each failure is logged at ERROR
// through the active logger and thrown as std::invalid_argument with the same text.
void validateFilter(const nlohmann::json& filter);

// What one filtered query prepares once for all the items it judges: each distinct $regex
// pattern compiled, and each $in/$nin operand as an OperandSet. Operands are known by their
// address. REQUIRES: the filter outlives the cache and is not changed while it is used.
// Not thread-safe: one cache per evaluating thread.
class FilterCache {
 public:
  RegexCache regexes;

  // The prepared values of `operand`, built at its first use.
  const OperandSet& Operand(const nlohmann::json& operand);

 private:
  std::unordered_map<const nlohmann::json*, OperandSet> operands_;
};

// True when `metadata` satisfies `filter`. Keys are visited in key order and the walk stops
// at the first failure. Throws std::invalid_argument (logged at CRITICAL) for an operator
// outside kFilterOperators, an unsupported $type name and a $regex pattern that does not
// compile; JSON library errors (an operand of the wrong type, a sub-filter that is not an
// object) pass through. Equality is JsonEqual's and order CompareNumbers'.
// REQUIRES: filter nesting within kMaxNestingDepth (parseFilters guarantees it).
bool evaluateFilter(const nlohmann::json& filter, const nlohmann::json& metadata,
                    FilterCache& cache);
// The same with a cache of its own (patterns compiled for this call only).
bool evaluateFilter(const nlohmann::json& filter, const nlohmann::json& metadata);

// Null, the empty object and the empty array: documents that ask for no filtering.
bool IsNoFilterDocument(const nlohmann::json& filter);

// True when `value` nests containers deeper than `max_depth`. Recursion stops one level
// below the limit, so any document can be checked.
bool ExceedsNestingDepth(const nlohmann::json& value, size_t max_depth = kMaxNestingDepth);

// The segments of a field path: "a.b" gives {"a", "b"}; empty segments are kept.
std::vector<std::string_view> SplitFieldPath(std::string_view path);

// The value a field path names in `metadata`, or nullptr when it is missing or null (the
// two are judged alike). Points into `metadata`.
const nlohmann::json* ResolveFieldPath(const nlohmann::json& metadata, std::string_view path);

// The missing-field rule: a missing or null field satisfies a condition when every operator
// of it holds for a missing field. $nin and {"$exists": false} hold; every other operator
// (an unknown one included) fails, and none raises an error.
bool MissingFieldSatisfies(const nlohmann::json& condition);

// One field condition against a field value (nullptr: missing or null), as evaluateFilter
// judges a field key.
bool EvaluateCondition(const nlohmann::json& condition, const nlohmann::json* field,
                       FilterCache& cache);

// One field operator against a present, non-null field value.
bool ApplyFieldOperator(const std::string& op, const nlohmann::json& operand,
                        const nlohmann::json& field, FilterCache& cache);

}  // namespace ombrix
