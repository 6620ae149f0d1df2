// Test helpers: random metadata documents from a small vocabulary of paths and values
// (numbers in every form, strings, booleans, null, arrays, nested objects, missing fields,
// empty keys and keys holding dots) and random filters from the whole grammar over the
// same vocabulary, for properties that compare the pre-filter and the index against the
// post-filter's own judgement.
#pragma once

#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace ombrix::random_filters {

using json = nlohmann::json;

class Generator {
 public:
  explicit Generator(unsigned seed) : random_(seed) {}

  int Below(int n) { return static_cast<int>(random_() % static_cast<unsigned>(n)); }

  json Scalar() {
    switch (Below(8)) {
      case 0: return Below(7) - 3;
      case 1: return 0.5 * (Below(9) - 4);
      case 2: return std::string(1, "xyz"[Below(3)]);
      case 3: return Below(2) == 0;
      case 4: return nullptr;
      case 5: return 9876543211.0 * (Below(2) == 0 ? 1 : -1);
      case 6: return Large();
      default: return Below(100) * 7;
    }
  }

  // Numbers where integer, unsigned and floating forms part or doubles round: near 2^53,
  // 2^63 and 2^64.
  json Large() {
    switch (Below(10)) {
      case 0: return std::numeric_limits<uint64_t>::max();
      case 1: return uint64_t{1} << 63;
      case 2: return std::numeric_limits<int64_t>::min();
      case 3: return std::numeric_limits<int64_t>::max();
      case 4: return (int64_t{1} << 53) + 1;
      case 5: return (int64_t{1} << 53);
      case 6: return 0x1p53;
      case 7: return 0x1p63;
      case 8: return 0x1p64;
      default: return -0x1p63;
    }
  }

  json Value(int depth = 0) {
    const int kind = depth >= 2 ? 0 : Below(6);
    if (kind == 4) {
      json array = json::array();
      for (int n = Below(4); n > 0; --n) array.push_back(Value(depth + 1));
      return array;
    }
    if (kind == 5) {
      json object = json::object();
      for (int n = Below(3); n > 0; --n) object[Key()] = Value(depth + 1);
      return object;
    }
    return Scalar();
  }

  // One item's metadata: each top-level path present or missing at random, now and then
  // under keys that dotted paths cannot tell apart (an empty key, keys holding dots).
  json Metadata() {
    json doc = json::object();
    for (const char* key : {"a", "b", "c", "tags"}) {
      if (Below(3) != 0) doc[key] = Value();
    }
    if (Below(4) == 0) doc["c"] = json{{"d", Scalar()}, {"e", Value(1)}};
    if (Below(4) == 0) doc[""] = json{{"a", Value(1)}, {Key(), Value(1)}};
    for (const char* key : {".a", "c.d"}) {
      if (Below(6) == 0) doc[key] = Value(1);
    }
    return doc;
  }

  std::string Path() {
    static const std::vector<std::string> paths = {"a",  "b",  "c",   "c.d", "c.e", "tags", "tags.k", "a.b",
                                                   "zz", ".a", ".k", "..k", "",    ".",    "a.",     ".k.d"};
    return paths[Below(static_cast<int>(paths.size()))];
  }

  json Condition(int operators) {
    static const std::vector<std::string> ops = {"$eq", "$ne",  "$gt",     "$gte",  "$lt",  "$lte",
                                                 "$in", "$nin", "$exists", "$type", "$regex"};
    json condition = json::object();
    for (int n = 0; n < operators; ++n) {
      const std::string op = ops[Below(static_cast<int>(ops.size()))];
      condition[op] = Operand(op);
    }
    return condition;
  }

  // A filter below the top level: any shape the grammar allows.
  json SubFilter(int depth) {
    const int kind = depth >= 3 ? 4 : Below(7);
    switch (kind) {
      case 0:
      case 1:
      case 2: {
        json parts = json::array();
        for (int n = Below(4); n > 0; --n) parts.push_back(SubFilter(depth + 1));
        return json{{kind == 0 ? "$and" : kind == 1 ? "$or" : "$nor", parts}};
      }
      case 3: return json{{"$not", SubFilter(depth + 1)}};
      default: {
        json filter = json::object();
        for (int n = 1 + Below(2); n > 0; --n) {
          filter[Path()] = Below(5) == 0 ? Value(1) : Condition(1 + Below(2));  // shorthand now and then
        }
        return filter;
      }
    }
  }

  // A top-level filter text: one key, as validation asks.
  std::string FilterText() {
    if (Below(3) == 0) return json{{Path(), Condition(1)}}.dump();
    json filter = SubFilter(0);
    while (filter.size() != 1) filter = json{{"$and", json::array({filter})}};
    return filter.dump();
  }

 private:
  std::string Key() {
    static const std::vector<std::string> keys = {"k", "d", "x", "", "k.d"};
    return keys[Below(static_cast<int>(keys.size()))];
  }

  json Operand(const std::string& op) {
    if (op == "$exists") return Below(2) == 0;
    if (op == "$type") {
      static const std::vector<std::string> names = {"string", "number", "boolean", "array", "object"};
      return names[Below(5)];
    }
    if (op == "$regex") {
      static const std::vector<std::string> patterns = {"x", "^y", "z$", "."};
      return patterns[Below(4)];
    }
    if (op == "$in" || op == "$nin") {
      if (Below(5) == 0) return Value();  // scalar, object or null operands are walked too
      json array = json::array();
      for (int n = Below(4); n > 0; --n) array.push_back(Value(1));
      return array;
    }
    if (op == "$eq" || op == "$ne") return Value(1);
    return Below(6) == 0 ? Value(1) : Scalar();
  }

  std::mt19937 random_;
};

}  // namespace ombrix::random_filters
