#include "index/metadata_filter.h"

#include <stdexcept>
#include <utility>

#include "diagnostics/logger.h"

namespace ombrix {

using nlohmann::json;

namespace {

bool StartsWithDollar(std::string_view key) { return !key.empty() && key.front() == '$'; }

bool HasOperatorKey(const json& object) {
  for (auto it = object.begin(); it != object.end(); ++it) {
    if (StartsWithDollar(it.key())) return true;
  }
  return false;
}

[[noreturn]] void RefuseFilter(const std::string& message) {
  ActiveLogger().error(message);
  throw std::invalid_argument(message);
}

[[noreturn]] void RefuseAtEvaluation(const std::string& message) {
  ActiveLogger().critical(message);
  throw std::invalid_argument(message);
}

// A field's value: an operator object keeps its operators (its plain keys are nested
// fields); anything else is shorthand for $eq. Operands are never touched.
void NormalizeCondition(json& condition) {
  if (condition.is_object() && HasOperatorKey(condition)) {
    for (auto it = condition.begin(); it != condition.end(); ++it) {
      if (!StartsWithDollar(it.key())) NormalizeCondition(it.value());
    }
    return;
  }
  json wrapped = json::object();
  wrapped["$eq"] = std::move(condition);
  condition = std::move(wrapped);
}

bool AnyEqual(const json& values, const json& operand) {
  for (const json& value : values) {
    if (JsonEqual(value, operand)) return true;
  }
  return false;
}

// $in: an array field matches when any of its elements is among the operand's values.
bool InOperand(const json& field, const OperandSet& values) {
  if (!field.is_array()) return values.Contains(field);
  for (const json& element : field) {
    if (values.Contains(element)) return true;
  }
  return false;
}

template <typename Holds>
bool NumericCompare(const json& field, const json& operand, Holds order_holds) {
  if (!operand.is_number()) return false;
  auto holds = [&](const json& value) {
    return value.is_number() && order_holds(CompareNumbers(value, operand));
  };
  if (!field.is_array()) return holds(field);
  for (const json& value : field) {
    if (holds(value)) return true;
  }
  return false;
}

// The operand as a string; another JSON type raises the JSON library's type error.
const std::string& StringOperand(const json& operand) {
  if (!operand.is_string()) static_cast<void>(operand.get<std::string>());
  return operand.get_ref<const std::string&>();
}

bool TypeMatches(const std::string& name, const json& field) {
  if (name != "string" && name != "number" && name != "boolean" && name != "array" &&
      name != "object") {
    RefuseAtEvaluation("Unsupported type in $type operator: " + name);
  }
  if (field.is_array()) return name == "array";
  if (name == "string") return field.is_string();
  if (name == "number") return field.is_number();
  if (name == "boolean") return field.is_boolean();
  return name == "object" && field.is_object();
}

}  // namespace

json parseFilters(const std::string& text) {
  if (text.empty()) return json::object();
  json filter;
  try {
    filter = json::parse(text);
  } catch (const json::parse_error& e) {
    throw std::invalid_argument(std::string("Invalid JSON format for filters: ") + e.what());
  } catch (const json::out_of_range& e) {
    // A number beyond the doubles (1e400, 400 digits): text the filter cannot hold, refused
    // like any other malformed text rather than as an index out of range.
    throw std::invalid_argument(std::string("Invalid JSON format for filters: ") + e.what());
  }
  if (ExceedsNestingDepth(filter)) {
    throw std::invalid_argument("Filter nesting exceeds the maximum depth of 100.");
  }
  if (IsNoFilterDocument(filter)) return filter;
  normalizeFilter(filter);
  validateFilter(filter);
  return filter;
}

void normalizeFilter(json& filter) {
  if (!filter.is_object()) return;
  for (auto it = filter.begin(); it != filter.end(); ++it) {
    json& value = it.value();
    if (!kLogicalOperators.contains(it.key())) {
      NormalizeCondition(value);
    } else if (it.key() == "$not" && value.is_object()) {
      normalizeFilter(value);
    } else if (value.is_structured()) {
      // Evaluation walks the value as a container of sub-filters.
      for (json& sub : value) normalizeFilter(sub);
    }
  }
}

void validateFilter(const json& filter) {
  if (!filter.is_object()) RefuseFilter("The filters argument must be a JSON object.");
  if (filter.size() != 1)
    RefuseFilter("The filters argument must contain exactly one top-level filter.");
  const auto top = filter.begin();
  const std::string& key = top.key();
  if (StartsWithDollar(key)) {
    if (!kLogicalOperators.contains(key)) {
      RefuseFilter("The top-level filter must be one of: $and, $or, $nor, $not.");
    }
    return;
  }
  const json& condition = top.value();
  if (!condition.is_object()) RefuseFilter("The field condition must be a JSON object.");
  if (condition.size() > 1) {
    RefuseFilter(
        "A single field can only have one condition. Found multiple conditions for field: " + key);
  }
  for (auto it = condition.begin(); it != condition.end(); ++it) {
    const std::string& op = it.key();
    if (!kFilterOperators.contains(op))
      RefuseFilter("Unsupported operator: " + op + " for field: " + key);
    const json& operand = it.value();
    if (operand.is_null() || (operand.is_object() && operand.empty())) {
      RefuseFilter("Invalid query: Operator `" + op +
                   "` cannot have an empty object or null as a value.");
    }
  }
}

const OperandSet& FilterCache::Operand(const json& operand) {
  return operands_.try_emplace(&operand, operand).first->second;
}

bool evaluateFilter(const json& filter, const json& metadata, FilterCache& cache) {
  // Plain iterators, not items(): key() of an array or scalar sub-filter is the JSON
  // library's own error, while null and [] hold.
  for (auto it = filter.begin(); it != filter.end(); ++it) {
    const std::string& key = it.key();
    const json& value = it.value();
    bool holds = true;
    if (key == "$and") {
      for (const json& sub : value) {
        if (!evaluateFilter(sub, metadata, cache)) {
          holds = false;
          break;
        }
      }
    } else if (key == "$or") {
      holds = false;
      for (const json& sub : value) {
        if (evaluateFilter(sub, metadata, cache)) {
          holds = true;
          break;
        }
      }
    } else if (key == "$nor") {
      for (const json& sub : value) {
        if (evaluateFilter(sub, metadata, cache)) {
          holds = false;
          break;
        }
      }
    } else if (key == "$not") {
      holds = !evaluateFilter(value, metadata, cache);
    } else {
      holds = EvaluateCondition(value, ResolveFieldPath(metadata, key), cache);
    }
    if (!holds) return false;
  }
  return true;
}

bool evaluateFilter(const json& filter, const json& metadata) {
  FilterCache cache;
  return evaluateFilter(filter, metadata, cache);
}

bool IsNoFilterDocument(const json& filter) {
  return filter.is_null() || (filter.is_object() && filter.empty()) ||
         (filter.is_array() && filter.empty());
}

bool ExceedsNestingDepth(const json& value, size_t max_depth) {
  if (!value.is_structured()) return false;
  if (max_depth == 0) return true;
  for (const json& child : value) {
    if (ExceedsNestingDepth(child, max_depth - 1)) return true;
  }
  return false;
}

std::vector<std::string_view> SplitFieldPath(std::string_view path) {
  std::vector<std::string_view> segments;
  size_t start = 0;
  while (true) {
    const size_t dot = path.find('.', start);
    if (dot == std::string_view::npos) {
      segments.push_back(path.substr(start));
      return segments;
    }
    segments.push_back(path.substr(start, dot - start));
    start = dot + 1;
  }
}

const json* ResolveFieldPath(const json& metadata, std::string_view path) {
  const json* current = &metadata;
  size_t start = 0;
  while (true) {
    if (!current->is_object()) return nullptr;
    const size_t dot = path.find('.', start);
    const std::string_view segment =
        path.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
    const auto member = current->find(segment);
    if (member == current->end()) return nullptr;
    current = &*member;
    if (dot == std::string_view::npos) return current->is_null() ? nullptr : current;
    start = dot + 1;
  }
}

bool MissingFieldSatisfies(const json& condition) {
  for (auto it = condition.begin(); it != condition.end(); ++it) {
    const std::string& op = it.key();
    const json& operand = it.value();
    const bool holds =
        op == "$nin" || (op == "$exists" && operand.is_boolean() && !operand.get<bool>());
    if (!holds) return false;
  }
  return true;
}

bool EvaluateCondition(const json& condition, const json* field, FilterCache& cache) {
  // A condition normalisation did not reach: it fails unless the field equals it, and an
  // equal one is then walked as an operator object (an error of the JSON library for a
  // scalar or a non-empty array).
  if (!condition.is_object() &&
      !(field != nullptr ? JsonEqual(*field, condition) : condition.is_null())) {
    return false;
  }
  if (field == nullptr) return MissingFieldSatisfies(condition);
  for (auto it = condition.begin(); it != condition.end(); ++it) {
    if (!ApplyFieldOperator(it.key(), it.value(), *field, cache)) return false;
  }
  return true;
}

bool ApplyFieldOperator(const std::string& op, const json& operand, const json& field,
                        FilterCache& cache) {
  using Order = std::partial_ordering;
  if (op == "$eq") return field.is_array() ? AnyEqual(field, operand) : JsonEqual(field, operand);
  if (op == "$ne") return field.is_array() ? !AnyEqual(field, operand) : !JsonEqual(field, operand);
  if (op == "$gt") return NumericCompare(field, operand, [](Order o) { return o > 0; });
  if (op == "$gte") return NumericCompare(field, operand, [](Order o) { return o >= 0; });
  if (op == "$lt") return NumericCompare(field, operand, [](Order o) { return o < 0; });
  if (op == "$lte") return NumericCompare(field, operand, [](Order o) { return o <= 0; });
  if (op == "$in") return InOperand(field, cache.Operand(operand));
  if (op == "$nin") return !InOperand(field, cache.Operand(operand));
  if (op == "$exists") return operand.get<bool>();
  if (op == "$type") return TypeMatches(StringOperand(operand), field);
  if (op == "$regex") {
    if (!field.is_string()) return false;
    return cache.regexes.Search(StringOperand(operand), field.get_ref<const std::string&>());
  }
  RefuseAtEvaluation("Unsupported operator: " + op);
}

}  // namespace ombrix
