#include "index/metadata_filter_values.h"

#include <algorithm>
#include <cmath>
#include <optional>

namespace ombrix {

using nlohmann::json;

namespace {

using Wide = __int128;  // holds every int64 and every uint64 alike

// The bounds of the integer forms: floats in [-2^63, 2^64) that have no fraction are
// exactly some integer a document can hold.
constexpr double kLowestInteger = -0x1p63;
constexpr double kBeyondIntegers = 0x1p64;

// The integer a number is exactly, if any: every integer form, and a float without
// fraction inside the integer forms' bounds.
std::optional<Wide> ExactInteger(const json& number) {
  if (number.is_number_unsigned()) return Wide{number.get<uint64_t>()};
  if (number.is_number_integer()) return Wide{number.get<int64_t>()};
  const double f = number.get<double>();
  if (f >= kLowestInteger && f < kBeyondIntegers && std::trunc(f) == f) return static_cast<Wide>(f);
  return std::nullopt;
}

Wide IntegerOf(const json& number) {
  return number.is_number_unsigned() ? Wide{number.get<uint64_t>()} : Wide{number.get<int64_t>()};
}

std::partial_ordering CompareIntegerToFloat(Wide i, double f) {
  if (std::isnan(f)) return std::partial_ordering::unordered;
  if (f >= kBeyondIntegers) return std::partial_ordering::less;
  if (f < kLowestInteger) return std::partial_ordering::greater;
  const double whole = std::trunc(f);
  const Wide w = static_cast<Wide>(whole);
  if (i != w) return i <=> w;
  return whole <=> f;  // i is whole: the fraction of f decides
}

}  // namespace

std::partial_ordering CompareNumbers(const json& a, const json& b) {
  const bool a_float = a.is_number_float();
  const bool b_float = b.is_number_float();
  if (a_float && b_float) return a.get<double>() <=> b.get<double>();
  if (!a_float && !b_float) return IntegerOf(a) <=> IntegerOf(b);
  if (b_float) return CompareIntegerToFloat(IntegerOf(a), b.get<double>());
  return 0 <=> CompareIntegerToFloat(IntegerOf(b), a.get<double>());
}

bool JsonEqual(const json& a, const json& b) {
  if (a.is_number() || b.is_number()) {
    return a.is_number() && b.is_number() && CompareNumbers(a, b) == 0;
  }
  if (a.type() != b.type()) return false;
  if (a.is_array()) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), JsonEqual);
  }
  if (a.is_object()) {
    if (a.size() != b.size()) return false;
    for (auto it = a.begin(), other = b.begin(); it != a.end(); ++it, ++other) {
      // Both walk their keys in ascending order, so equal objects pair up member by member.
      if (it.key() != other.key() || !JsonEqual(it.value(), other.value())) return false;
    }
    return true;
  }
  return a == b;
}

OperandSet::OperandSet(const json& operand) {
  for (const json& value : operand) {
    if (value.is_number()) {
      if (const std::optional<Wide> integer = ExactInteger(value)) {
        integers_.push_back(*integer);
      } else if (!std::isnan(value.get<double>())) {
        others_.push_back(value.get<double>());
      }
    } else if (value.is_string()) {
      strings_.insert(value.get_ref<const std::string&>());
    } else if (value.is_boolean()) {
      (value.get<bool>() ? has_true_ : has_false_) = true;
    } else if (value.is_null()) {
      has_null_ = true;
    } else {
      structured_.push_back(&value);
    }
  }
  std::sort(integers_.begin(), integers_.end());
  std::sort(others_.begin(), others_.end());
}

bool OperandSet::Contains(const json& value) const {
  if (value.is_number()) {
    if (const std::optional<Wide> integer = ExactInteger(value)) {
      return std::binary_search(integers_.begin(), integers_.end(), *integer);
    }
    const double f = value.get<double>();
    return !std::isnan(f) && std::binary_search(others_.begin(), others_.end(), f);
  }
  if (value.is_string()) return strings_.contains(value.get_ref<const std::string&>());
  if (value.is_boolean()) return value.get<bool>() ? has_true_ : has_false_;
  if (value.is_null()) return has_null_;
  return std::any_of(structured_.begin(), structured_.end(),
                     [&](const json* candidate) { return JsonEqual(*candidate, value); });
}

}  // namespace ombrix
