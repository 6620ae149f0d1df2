// Values as the metadata filter language compares them: numbers by their exact value across
// integer, unsigned and floating forms, documents by value, and the operands of $in and $nin
// prepared once for many lookups. Pure functions; an OperandSet is read-only once built,
// may be shared between threads, and points into the operand it was built from.
#pragma once

#include <compare>
#include <nlohmann/json.hpp>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace ombrix {

// The order of two numbers by their exact values: no integer is rounded to a double, so
// 9007199254740993 is above 9007199254740992.0 and -1 below 18446744073709551615. NaN is
// unordered. REQUIRES: a.is_number() and b.is_number().
std::partial_ordering CompareNumbers(const nlohmann::json& a, const nlohmann::json& b);

// Value equality: numbers by CompareNumbers (an integer equals a float only when the float
// is exactly that integer), strings byte for byte, booleans, null, arrays element by
// element, objects member by member. The JSON library's own == casts an unsigned integer
// to signed and an integer to double, which this never does.
bool JsonEqual(const nlohmann::json& a, const nlohmann::json& b);

// The values of a $in or $nin operand, walked as a container (array elements, object member
// values, a scalar once, null nothing) and held sorted or hashed, so that each lookup costs
// a search instead of a pass over the operand.
class OperandSet {
 public:
  // REQUIRES: `operand` outlives the set and is not changed while the set is used.
  explicit OperandSet(const nlohmann::json& operand);

  // True when some value of the operand is JsonEqual to `value`.
  bool Contains(const nlohmann::json& value) const;

 private:
  std::vector<__int128> integers_;  // every number that is exactly an integer, sorted
  std::vector<double> others_;      // the other numbers but NaN (which equals nothing), sorted
  std::unordered_set<std::string_view> strings_;
  bool has_true_ = false;
  bool has_false_ = false;
  bool has_null_ = false;
  std::vector<const nlohmann::json*> structured_;  // arrays and objects, compared in turn
};

}  // namespace ombrix
