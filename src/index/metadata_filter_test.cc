#include "index/metadata_filter.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace ombrix {
namespace {

using nlohmann::json;

struct Case {
  const char* filter;
  const char* metadata;
  bool expected;
};

// Each filter goes through parseFilters unless it is marked raw (nested under $and so the
// top-level validation lets it through, as a caller would send it).
void ExpectCases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.filter) + " on " + c.metadata);
    const json filter = parseFilters(c.filter);
    EXPECT_EQ(evaluateFilter(filter, json::parse(c.metadata)), c.expected);
  }
}

TEST(EvaluateFilter, OperatorTable) {
  ExpectCases({
      {R"({"n": {"$eq": 1}})", R"({"n": 1.0})", true},
      {R"({"n": {"$eq": 1}})", R"({"n": true})", false},
      {R"({"n": {"$eq": "1"}})", R"({"n": 1})", false},
      {R"({"n": {"$ne": 1}})", R"({"n": 2})", true},
      {R"({"n": {"$ne": 1}})", R"({"n": 1})", false},
      {R"({"n": {"$gt": 1}})", R"({"n": 2})", true},
      {R"({"n": {"$gt": 1}})", R"({"n": "3"})", false},
      {R"({"n": {"$gt": 1}})", R"({"n": true})", false},
      {R"({"n": {"$gt": "1"}})", R"({"n": 3})", false},
      {R"({"n": {"$gte": 2}})", R"({"n": 2})", true},
      {R"({"n": {"$lt": 2}})", R"({"n": 2})", false},
      {R"({"n": {"$lte": 2.5}})", R"({"n": 2})", true},
      {R"({"n": {"$gt": -1}})", R"({"n": 18446744073709551615})", true},
      {R"({"n": {"$in": [1, 2]}})", R"({"n": 2})", true},
      {R"({"n": {"$in": [1, 2]}})", R"({"n": 3})", false},
      {R"({"n": {"$in": 3}})", R"({"n": 3})", true},
      {R"({"n": {"$in": {"x": 3}}})", R"({"n": 3})", true},
      {R"({"n": {"$in": []}})", R"({"n": 3})", false},
      {R"({"n": {"$nin": [1, 2]}})", R"({"n": 3})", true},
      {R"({"n": {"$nin": [1, 2]}})", R"({"n": 1})", false},
      {R"({"n": {"$exists": true}})", R"({"n": 0})", true},
      {R"({"n": {"$exists": false}})", R"({"n": 0})", false},
      {R"({"n": {"$type": "number"}})", R"({"n": 1.5})", true},
      {R"({"n": {"$type": "string"}})", R"({"n": "x"})", true},
      {R"({"n": {"$type": "boolean"}})", R"({"n": false})", true},
      {R"({"n": {"$type": "object"}})", R"({"n": {}})", true},
      {R"({"n": {"$type": "number"}})", R"({"n": "1"})", false},
      {R"({"name": {"$regex": "^Al"}})", R"({"name": "Alice"})", true},
      {R"({"name": {"$regex": "^Al"}})", R"({"name": "alice"})", false},
      {R"({"name": {"$regex": "li"}})", R"({"name": "Alice"})", true},
      {R"({"name": {"$regex": "^li$"}})", R"({"name": "Alice"})", false},
      {R"({"name": {"$regex": "e$"}})", R"({"name": "Alice\nBob"})", false},
      {R"({"name": {"$regex": "1"}})", R"({"name": 1})", false},
  });
}

TEST(EvaluateFilter, ArrayFields) {
  ExpectCases({
      {R"({"tags": "red"})", R"({"tags": ["red", "blue"]})", true},
      {R"({"tags": ["red", "blue"]})", R"({"tags": ["red", "blue"]})", false},
      {R"({"tags": {"$ne": "red"}})", R"({"tags": ["red", "blue"]})", false},
      {R"({"tags": {"$ne": "green"}})", R"({"tags": ["red", "blue"]})", true},
      {R"({"tags": {"$in": ["green", "blue"]}})", R"({"tags": ["red", "blue"]})", true},
      {R"({"tags": {"$nin": ["green", "blue"]}})", R"({"tags": ["red", "blue"]})", false},
      {R"({"v": {"$gt": 5}})", R"({"v": ["9", 1, 6]})", true},
      {R"({"v": {"$gt": 5}})", R"({"v": ["9", 1]})", false},
      {R"({"v": {"$type": "array"}})", R"({"v": []})", true},
      {R"({"v": {"$type": "string"}})", R"({"v": ["a"]})", false},
      {R"({"v": {"$regex": "a"}})", R"({"v": ["a"]})", false},
      {R"({"v": {"$eq": 1}})", R"({"v": [[1]]})", false},
  });
}

TEST(EvaluateFilter, PathsAndMissingFields) {
  ExpectCases({
      {R"({"a.b": 1})", R"({"a": {"b": 1}})", true},
      {R"({"a.b": {"$exists": false}})", R"({"a": [{"b": 1}]})", true},
      {R"({"a.b": {"$exists": false}})", R"({"a": "b"})", true},
      {R"({"a.b": {"$exists": true}})", R"({"a.b": 1})", false},
      {R"({"f": {"$exists": false}})", R"({})", true},
      {R"({"f": {"$exists": false}})", R"({"f": null})", true},
      {R"({"f": {"$nin": [1]}})", R"({})", true},
      {R"({"f": {"$ne": 1}})", R"({})", false},
      {R"({"f": {"$eq": 1}})", R"({"f": null})", false},
      {R"({"f": {"$exists": true}})", R"({})", false},
      {R"({"f": {"$type": "integer"}})", R"({})", false},
      {R"({"f": {"$regex": "("}})", R"({})", false},
      {R"({"f": 1})", R"([1])", false},
      {R"({"f": {"$nin": [1]}})", R"("text")", true},
      // Every operator of the condition must hold for a missing field, whatever its order.
      {R"({"$and": [{"f": {"$nin": [1], "$regex": "x"}}]})", R"({})", false},
      {R"({"$and": [{"f": {"$exists": false, "$nin": [1]}}]})", R"({})", true},
      {R"({"$and": [{"f": {"$exists": false, "$in": [1]}}]})", R"({})", false},
      {R"({"$and": [{"f": {"$exists": 0}}]})", R"({})", false},
  });
}

TEST(EvaluateFilter, LogicalOperators) {
  ExpectCases({
      {R"({"$or": []})", R"({})", false},
      {R"({"$and": []})", R"({})", true},
      {R"({"$nor": []})", R"({})", true},
      {R"({"$and": [{"a": 1}, {"b": 2}]})", R"({"a": 1, "b": 2})", true},
      {R"({"$and": [{"a": 1}, {"b": 2}]})", R"({"a": 1, "b": 3})", false},
      {R"({"$or": [{"a": 1}, {"b": 2}]})", R"({"a": 0, "b": 2})", true},
      {R"({"$nor": [{"a": 1}, {"b": 2}]})", R"({"a": 0, "b": 0})", true},
      {R"({"$nor": [{"a": 1}, {"b": 2}]})", R"({"a": 1})", false},
      {R"({"$not": {"a": 1}})", R"({"a": 2})", true},
      {R"({"$not": {"a": 1}})", R"({"a": 1})", false},
      {R"({"$and": [{"a": {"$gt": 1, "$lt": 5}}]})", R"({"a": 3})", true},
      {R"({"$and": [{"a": {"$gt": 1, "$lt": 5}}]})", R"({"a": 5})", false},
      {R"({"$and": [{"$xyz": {"$eq": 1}}]})", R"({"$xyz": 1})", true},
      {R"({"$and": [{"$xyz": 1}]})", R"({"$xyz": 1})", true},
      {R"({"$and": [null, []]})", R"({})", true},
      {R"({"$and": {"x": {"a": 1}}})", R"({"a": 1})", true},
      {R"({"$and": [{"p": {"$gt": 5, "unit": "eur"}}]})", R"({"p": 5})", false},
  });
}

TEST(NormalizeFilter, RewritesShorthandButNeverOperands) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {R"({"color": "red"})", R"({"color": {"$eq": "red"}})"},
      {R"({"f": {}})", R"({"f": {"$eq": {}}})"},
      {R"({"f": {"a": 1}})", R"({"f": {"$eq": {"a": 1}}})"},
      {R"({"f": {"$eq": {"a": 1}}})", R"({"f": {"$eq": {"a": 1}}})"},
      {R"({"f": {"$in": [{"a": 1}, 2]}})", R"({"f": {"$in": [{"a": 1}, 2]}})"},
      {R"({"price": {"$gt": 5, "unit": "eur"}})",
       R"({"price": {"$gt": 5, "unit": {"$eq": "eur"}}})"},
      {R"({"$and": [{"a": 1}, 5, {"$or": [{"b": null}]}]})",
       R"({"$and": [{"a": {"$eq": 1}}, 5, {"$or": [{"b": {"$eq": null}}]}]})"},
      {R"({"$not": {"a": [1]}})", R"({"$not": {"a": {"$eq": [1]}}})"},
      {R"([{"a": 1}])", R"([{"a": 1}])"},
  };
  for (const auto& c : cases) {
    json filter = json::parse(c.in);
    normalizeFilter(filter);
    EXPECT_EQ(filter, json::parse(c.out)) << c.in;
  }
  // Equality with an object operand matches like its shorthand.
  const json metadata = json::parse(R"({"f": {"a": 1}})");
  EXPECT_TRUE(evaluateFilter(parseFilters(R"({"f": {"$eq": {"a": 1}}})"), metadata));
  EXPECT_TRUE(evaluateFilter(parseFilters(R"({"f": {"a": 1}})"), metadata));
  EXPECT_TRUE(evaluateFilter(parseFilters(R"({"f": {"$in": [{"a": 1}]}})"), metadata));
}

TEST(ParseFilters, NoFilterAndRefusals) {
  for (const char* text : {"", "{}", "[]", "null", " { } "}) {
    EXPECT_TRUE(IsNoFilterDocument(parseFilters(text))) << text;
  }
  const struct {
    const char* text;
    const char* message;
  } refusals[] = {
      {"[1]", "The filters argument must be a JSON object."},
      {"5", "The filters argument must be a JSON object."},
      {R"({"a": 1, "b": 2})", "The filters argument must contain exactly one top-level filter."},
      {R"({"$xyz": {"$eq": 1}})", "The top-level filter must be one of: $and, $or, $nor, $not."},
      {R"({"a": {"$gt": 1, "$lt": 5}})",
       "A single field can only have one condition. Found multiple conditions for field: a"},
      {R"({"f": null})",
       "Invalid query: Operator `$eq` cannot have an empty object or null as a value."},
      {R"({"f": {}})",
       "Invalid query: Operator `$eq` cannot have an empty object or null as a value."},
      {R"({"f": {"$in": {}}})",
       "Invalid query: Operator `$in` cannot have an empty object or null as a value."},
      {R"({"f": {"$foo": 1}})", "Unsupported operator: $foo for field: f"},
  };
  for (const auto& r : refusals) {
    try {
      parseFilters(r.text);
      ADD_FAILURE() << r.text << " was accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(std::string(e.what()), r.message) << r.text;
    }
  }
  EXPECT_NO_THROW(parseFilters(R"({"f": {"$in": []}})"));
  EXPECT_NO_THROW(parseFilters(R"({"$and": [{"a": 1}, {"b": 2}]})"));
  try {
    parseFilters("{bad");
    ADD_FAILURE();
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ(std::string(e.what()).rfind(
                  "Invalid JSON format for filters: [json.exception.parse_error", 0),
              0u)
        << e.what();
  }
  // validateFilter alone: the field condition must be an object.
  EXPECT_THROW(validateFilter(json::parse(R"({"f": 1})")), std::invalid_argument);
}

// A number no double can hold is malformed text like any other, wherever it stands.
TEST(ParseFilters, NumbersBeyondDoublesAreMalformedText) {
  const std::string digits = "1" + std::string(400, '0');
  const struct {
    std::string text;
    std::string message;
  } rows[] = {
      {R"({"a": 1e400})", "[json.exception.out_of_range.406] number overflow parsing '1e400'"},
      {R"({"a": {"$gt": -1e309}})", "[json.exception.out_of_range.406] number overflow parsing '-1e309'"},
      {R"({"$and": [{"a": {"$in": [1, 2e308]}}]})",
       "[json.exception.out_of_range.406] number overflow parsing '2e308'"},
      {R"({"a": )" + digits + "}", "[json.exception.out_of_range.406] number overflow parsing '" + digits + "'"},
      {"-" + digits, "[json.exception.out_of_range.406] number overflow parsing '-" + digits + "'"},
  };
  for (const auto& row : rows) {
    try {
      parseFilters(row.text);
      ADD_FAILURE() << row.text << " was accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(std::string(e.what()), "Invalid JSON format for filters: " + row.message);
    } catch (const std::exception& e) {
      ADD_FAILURE() << row.text << " raised " << e.what();
    }
  }
  // The largest finite doubles still parse.
  EXPECT_NO_THROW(parseFilters(R"({"a": {"$lt": 1.7976931348623157e308}})"));
}

TEST(EvaluateFilter, ErrorsRaisedOnlyWhenReached) {
  const json foo = parseFilters(R"({"$and": [{"a": {"$foo": 1}}]})");
  EXPECT_FALSE(evaluateFilter(foo, json::parse(R"({})")));
  EXPECT_FALSE(evaluateFilter(foo, json::parse(R"({"a": null})")));
  const struct {
    const char* filter;
    const char* message;
  } errors[] = {
      {R"({"$and": [{"a": {"$foo": 1}}]})", "Unsupported operator: $foo"},
      {R"({"$and": [{"a": {"$gt": 0, "unit": "eur"}}]})", "Unsupported operator: unit"},
      {R"({"x": {"$type": "integer"}})", "Unsupported type in $type operator: integer"},
      {R"({"x": {"$type": "null"}})", "Unsupported type in $type operator: null"},
      {R"({"x": {"$regex": "("}})", "Invalid regex pattern: (\nError: missing ): ("},
      {R"({"x": {"$regex": "(a)\\1"}})",
       "Invalid regex pattern: (a)\\1\nError: invalid escape sequence: \\1"},
      {R"j({"x": {"$regex": "a(?=b)"}})j",
       "Invalid regex pattern: a(?=b)\nError: invalid perl operator: (?="},
  };
  const json metadata = json::parse(R"({"a": 1, "x": "ab"})");
  for (const auto& e : errors) {
    try {
      evaluateFilter(parseFilters(e.filter), metadata);
      ADD_FAILURE() << e.filter;
    } catch (const std::invalid_argument& error) {
      EXPECT_EQ(std::string(error.what()), e.message) << e.filter;
    }
  }
  // Wrong operand types and sub-filters that are not objects: the JSON library's errors.
  EXPECT_THROW(evaluateFilter(parseFilters(R"({"a": {"$exists": 1}})"), metadata),
               json::type_error);
  EXPECT_THROW(evaluateFilter(parseFilters(R"({"x": {"$regex": 1}})"), metadata), json::type_error);
  EXPECT_THROW(evaluateFilter(parseFilters(R"({"$and": [[1]]})"), metadata),
               json::invalid_iterator);
  EXPECT_THROW(evaluateFilter(parseFilters(R"({"$or": [7]})"), metadata), json::invalid_iterator);
}

TEST(EvaluateFilter, RegexIsLinearAndShallow) {
  FilterCache regexes;
  // Exponential for a backtracking engine; one pass here.
  const json nested = parseFilters(R"({"s": {"$regex": "(a+)+$"}})");
  EXPECT_FALSE(evaluateFilter(nested, json{{"s", std::string(5000, 'a') + "!"}}, regexes));
  EXPECT_TRUE(evaluateFilter(nested, json{{"s", std::string(5000, 'a')}}, regexes));
  // One recursion per character for a backtracking engine: no stack growth here.
  const json alternation = parseFilters(R"({"s": {"$regex": "^(a|b)*c$"}})");
  std::string text(1000000, 'a');
  EXPECT_FALSE(evaluateFilter(alternation, json{{"s", text}}, regexes));
  text.back() = 'c';
  EXPECT_TRUE(evaluateFilter(alternation, json{{"s", text}}, regexes));
}

TEST(ParseFilters, NestingDepthIsBounded) {
  const auto nested_not = [](int levels) {
    std::string text;
    for (int i = 0; i < levels; ++i) text += R"({"$not": )";
    text += R"({"a": 1})";
    for (int i = 0; i < levels; ++i) text += "}";
    return text;
  };
  EXPECT_NO_THROW(parseFilters(nested_not(99)));  // 100 objects before normalisation
  for (int levels : {100, 9000, 200000}) {
    try {
      parseFilters(nested_not(levels));
      ADD_FAILURE() << levels;
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), "Filter nesting exceeds the maximum depth of 100.");
    }
  }
  json deep = json::array();
  for (int i = 0; i < 100000; ++i) {
    json outer = json::array();
    outer.push_back(std::move(deep));
    deep = std::move(outer);
  }
  EXPECT_TRUE(ExceedsNestingDepth(deep));
  EXPECT_FALSE(ExceedsNestingDepth(json::parse("[[[]]]"), 3));
  EXPECT_TRUE(ExceedsNestingDepth(json::parse("[[[]]]"), 2));
  EXPECT_FALSE(ExceedsNestingDepth(json(5), 0));
}

TEST(MissingFieldSatisfies, EveryOperatorMustHold) {
  const struct {
    const char* condition;
    bool expected;
  } cases[] = {
      {R"({"$nin": 5})", true},
      {R"({"$exists": false})", true},
      {R"({"$exists": true})", false},
      {R"({"$exists": "no"})", false},
      {R"({"$exists": false, "$nin": []})", true},
      {R"({"$nin": [1], "$regex": "x"})", false},
      {R"({"$ne": 1})", false},
      {R"({"$unknown": 1})", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(MissingFieldSatisfies(json::parse(c.condition)), c.expected) << c.condition;
}

}  // namespace
}  // namespace ombrix
