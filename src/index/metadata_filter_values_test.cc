#include "index/metadata_filter_values.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "index/metadata_filter.h"
#include "index/random_filters_test_util.h"

namespace ombrix {
namespace {

using nlohmann::json;

// The model: every int64, uint64 and double is exactly a long double, so comparing long
// doubles is comparing the numbers' values.
static_assert(std::numeric_limits<long double>::digits >= 64);

long double Exact(const json& number) {
  if (number.is_number_unsigned()) return static_cast<long double>(number.get<uint64_t>());
  if (number.is_number_integer()) return static_cast<long double>(number.get<int64_t>());
  return static_cast<long double>(number.get<double>());
}

bool ModelEqual(const json& a, const json& b) {
  if (a.is_number() || b.is_number()) return a.is_number() && b.is_number() && Exact(a) == Exact(b);
  if (a.type() != b.type()) return false;
  if (a.is_array() || a.is_object()) {
    if (a.size() != b.size()) return false;
    for (auto x = a.begin(), y = b.begin(); x != a.end(); ++x, ++y) {
      if ((a.is_object() && x.key() != y.key()) || !ModelEqual(*x, *y)) return false;
    }
    return true;
  }
  return a == b;
}

// Numbers where the forms part: around 2^53, 2^63 and 2^64, in every form.
std::vector<json> EdgeNumbers() {
  std::vector<json> numbers;
  for (int64_t n : {int64_t{0}, int64_t{-1}, int64_t{1}, std::numeric_limits<int64_t>::min(),
                    std::numeric_limits<int64_t>::max(), (int64_t{1} << 53), (int64_t{1} << 53) + 1,
                    -(int64_t{1} << 53) - 1}) {
    numbers.emplace_back(n);
  }
  for (uint64_t n : {uint64_t{0}, uint64_t{1} << 63, (uint64_t{1} << 63) + 1,
                     std::numeric_limits<uint64_t>::max(), (uint64_t{1} << 53) + 1}) {
    numbers.emplace_back(n);
  }
  for (double f : {0.0, -0.0, 1.0, 0.5, -1.0, 0x1p53, 0x1p53 + 2, 0x1p63, -0x1p63, 0x1p64, 0x1p64 * 2,
                   -0x1p64, 1e300, -1e300, std::numeric_limits<double>::infinity(),
                   -std::numeric_limits<double>::infinity()}) {
    numbers.emplace_back(f);
  }
  return numbers;
}

TEST(CompareNumbers, OrdersByExactValue) {
  const std::vector<json> numbers = EdgeNumbers();
  for (const json& a : numbers) {
    for (const json& b : numbers) {
      EXPECT_EQ(CompareNumbers(a, b), Exact(a) <=> Exact(b)) << a.dump() << " vs " << b.dump();
    }
  }
  const json nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(CompareNumbers(nan, json(1)), std::partial_ordering::unordered);
  EXPECT_EQ(CompareNumbers(json(uint64_t{1}), nan), std::partial_ordering::unordered);
  EXPECT_FALSE(JsonEqual(nan, nan));
}

// The values a $in operand is walked for, scanned in turn: the answer OperandSet must give.
bool PlainScanContains(const json& operand, const json& value) {
  for (const json& candidate : operand) {
    if (ModelEqual(candidate, value)) return true;
  }
  return false;
}

// Random operands and values (scalars, containers, nulls, edge numbers in every form):
// the prepared set answers as the plain scan, both alone and inside $in and $nin.
TEST(OperandSet, AnswersAsThePlainScan) {
  random_filters::Generator generate(41);
  const std::vector<json> edges = EdgeNumbers();
  auto value = [&](int depth) {
    return generate.Below(3) == 0 ? edges[generate.Below(static_cast<int>(edges.size()))] : generate.Value(depth);
  };
  int found = 0;
  for (int round = 0; round < 3000; ++round) {
    json operand;
    if (generate.Below(6) == 0) {
      operand = value(1);  // scalars, objects and null are walked too
    } else {
      operand = json::array();
      for (int n = generate.Below(12); n > 0; --n) operand.push_back(value(1));
    }
    const OperandSet set(operand);
    for (int probe = 0; probe < 20; ++probe) {
      // Half of the probes are values of the operand itself, in another form where one exists.
      json field = value(0);
      if (probe % 2 == 0 && operand.is_array() && !operand.empty()) {
        field = operand[generate.Below(static_cast<int>(operand.size()))];
        if (field.is_number_integer() && generate.Below(2) == 0) field = field.get<double>();
      }
      const bool expected = PlainScanContains(operand, field);
      found += expected ? 1 : 0;
      ASSERT_EQ(set.Contains(field), expected) << operand.dump() << " holds " << field.dump();
      if (field.is_null()) continue;  // a missing field is judged before any operand
      bool expected_in = expected;
      if (field.is_array()) {
        expected_in = false;
        for (const json& element : field) expected_in = expected_in || PlainScanContains(operand, element);
      }
      json metadata = json::object();
      metadata["f"] = field;
      for (const char* op : {"$in", "$nin"}) {
        json filter = json::object();
        filter["f"][op] = operand;
        ASSERT_EQ(evaluateFilter(filter, metadata), expected_in == (op == std::string("$in")))
            << filter.dump() << " on " << metadata.dump();
      }
    }
  }
  EXPECT_GT(found, 3000 * 20 / 10);
}

}  // namespace
}  // namespace ombrix
