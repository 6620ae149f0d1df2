#include "index/pre_filter.h"

#include <gtest/gtest.h>

#include "backing_store/testing/error_text.h"
#include "index/metadata_filter.h"
#include "index/random_filters_test_util.h"

namespace ombrix {
namespace {

using json = nlohmann::json;

// The summaries pre-filtering would read for `filter` after the items `lists[l]` (metadata
// texts) were ingested into list l: every collected path, empty where no item has it.
SummariesByField SummariesFor(const std::vector<std::vector<std::string>>& lists, const json& filter) {
  FieldSummaries fresh;
  std::set<std::string> built;
  for (uint32_t l = 0; l < lists.size(); ++l) {
    for (const std::string& text : lists[l]) buildCentroidSummaries(json::parse(text), built, l, fresh, "");
  }
  std::set<std::string> wanted;
  collectFilterFields(filter, wanted, "");
  SummariesByField summaries;
  for (const std::string& path : wanted) summaries[path] = mergeCentroidSummaries(fresh, {}, path);
  return summaries;
}

std::vector<uint32_t> Kept(const std::vector<std::vector<std::string>>& lists, const std::string& filter_text) {
  const json filter = json::parse(filter_text);
  const SummariesByField summaries = SummariesFor(lists, filter);
  std::vector<uint32_t> kept;
  for (uint32_t l = 0; l < lists.size(); ++l) {
    if (centroidMayMatch(summaries, filter, l)) kept.push_back(l);
  }
  return kept;
}

TEST(CollectFilterFields, FieldsOutsideNegations) {
  struct Row {
    std::string filter;
    std::set<std::string> paths;
  };
  const std::vector<Row> rows = {
      {R"({"$and": [{"a": {"$eq": 1}}, {"$or": [{"b.c": {"$gt": 1}}]}, {"$not": {"d": {"$eq": 1}}}]})", {"a", "b.c"}},
      {R"({"$nor": [{"a": {"$eq": 1}}]})", {}},
      {R"({"a": {"$gt": 1, "b": {"$eq": 2}}})", {"a", "a.b"}},
      {R"({"$or": []})", {}},
      // Leading empty keys add nothing to a summary path; later ones and dotted keys stay.
      {R"({"$or": [{".a": {"$eq": 1}}, {"..a..b": {"$eq": 1}}, {".": {"$eq": 1}}]})", {"a", "a..b", ""}},
  };
  for (const Row& row : rows) {
    std::set<std::string> paths;
    collectFilterFields(json::parse(row.filter), paths, "");
    EXPECT_EQ(paths, row.paths) << row.filter;
  }
}

// Which lists survive, each row one list layout and one filter; the rows marked with a
// mend are filters a plain summary judgement drops although an item matches.
TEST(CentroidMayMatch, KeepsEveryListThatMayHoldAMatch) {
  const std::vector<std::vector<std::string>> prices = {{R"({"price": 10})", R"({"price": 50})"},
                                                        {R"({"price": 80})", R"({"price": 120})"}};
  const std::vector<std::vector<std::string>> cities = {
      {R"({"city": "Oslo", "flag": true})"}, {R"({"city": "Rome", "flag": false})"}, {R"({"other": 1})"}};
  struct Row {
    std::string name;
    std::vector<std::vector<std::string>> lists;
    std::string filter;
    std::vector<uint32_t> kept;
  };
  const std::vector<Row> rows = {
      {"range", prices, R"({"price": {"$gt": 100}})", {1}},
      {"range lte", prices, R"({"price": {"$lte": 10}})", {0}},
      {"string", cities, R"({"city": {"$eq": "Oslo"}})", {0}},
      {"boolean $in", cities, R"({"flag": {"$in": [true]}})", {0}},
      {"$ne passes", {{R"({"n": 0})", R"({"n": 9})"}}, R"({"$and": [{"n": {"$gte": 0}}, {"n": {"$ne": 5}}]})", {0}},
      {"$or [] beside a field", prices, R"({"$and": [{"price": {"$gte": 0}}, {"$or": []}]})", {}},
      {"$or picks either", cities, R"({"$or": [{"city": {"$eq": "Rome"}}, {"other": {"$eq": 1}}]})", {1, 2}},
      {"mend 1: $not of an over-approximation", {{R"({"price": 5})", R"({"price": 50})"}},
       R"({"$and": [{"price": {"$gte": 0}}, {"$not": {"price": {"$gt": 10}}}]})", {0}},
      {"mend 1: $nor", {{R"({"price": 5})", R"({"price": 50})"}}, R"({"$nor": [{"price": {"$gt": 10}}]})", {0}},
      {"mend 2: $exists false, path in no list", cities, R"({"zip": {"$exists": false}})", {0, 1, 2}},
      {"mend 2: $exists false, path in some lists", cities, R"({"city": {"$exists": false}})", {0, 1, 2}},
      {"mend 2: $nin", cities, R"({"city": {"$nin": ["Oslo"]}})", {0, 1, 2}},
      {"mend 2: a present-only condition drops lists without the path", cities,
       R"({"city": {"$exists": true}})", {0, 1}},
      {"mend 3: $in with null", {{R"({"t": [null, 1]})"}}, R"({"t": {"$in": [null]}})", {0}},
      {"mend 3: $in with an array", {{R"({"t": [[1, 2]]})"}}, R"({"t": {"$in": [[1, 2]]}})", {0}},
      {"mend 3: $in with an object", {{R"({"t": [{"a": 1}]})"}}, R"({"t": {"$in": [{"a": 1}]}})", {0}},
      {"mend 4: the marker range is an ordinary range", {{R"({"p": -9876543211.0})", R"({"p": 9876543211.0})"}},
       R"({"p": {"$eq": 1}})", {0}},
      {"mend 5: scalar $in operand", cities, R"({"city": {"$in": "Oslo"}})", {0}},
      {"mend 5: object $in operand", cities, R"({"city": {"$in": {"x": "Rome"}}})", {1}},
      {"mend 5: null $in operand", cities, R"({"$and": [{"city": {"$in": null}}]})", {}},
      {"a signed integer never equals an unsigned one of other value", {{R"({"u": 18446744073709551615})"}},
       R"({"u": {"$eq": -1}})", {}},
      {"mend 8: numeric array spanning the marker", {{R"({"v": [-9876543211.0, 9876543211.0]})"}, {R"({"v": "s"})"}},
       R"({"v": {"$eq": 3}})", {0}},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(Kept(row.lists, row.filter), row.kept) << row.name;
  }
}

// Keys a dotted path cannot tell apart: an empty key, and keys that hold dots. Evaluation
// splits a filter path at every dot, so {".a": ...} reaches the member a of the member ""
// and never a literal key ".a"; every list holding such an item is kept, whatever else
// shares its summary path.
TEST(CentroidMayMatch, KeepsListsReachedThroughEmptyOrDottedKeys) {
  struct Row {
    std::vector<std::vector<std::string>> lists;
    std::string filter;
    std::vector<uint32_t> kept;
  };
  const std::vector<Row> rows = {
      {{{R"({"": {"a": 5}})"}, {R"({".a": 7})"}}, R"({".a": {"$eq": 5}})", {0}},
      {{{R"({"": {"a": 5}})"}, {R"({"a": 7})"}}, R"({".a": {"$lt": 6}})", {0}},
      {{{R"({"": {"": {"a": "s"}}})"}, {R"({"a": "t"})"}}, R"({"..a": {"$eq": "s"}})", {0}},
      {{{R"({"": {"a": 5}})"}, {R"({"": {"b": 5}})"}}, R"({".a": {"$in": [5]}})", {0}},
      {{{R"({"": 5})"}, {R"({"": 6})"}}, R"({"": {"$eq": 5}})", {0}},
      {{{R"({"a": {"": 5}})"}, {R"({"a": 6})"}}, R"({"a.": {"$eq": 5}})", {0}},
      {{{R"({"": {"": 5}})"}, {R"({"": 6})"}}, R"({".": {"$eq": 5}})", {0}},
      // A literal dotted key shares the path of the nested member: kept although only the
      // nested one can match.
      {{{R"({"a": {"b": 1}})"}, {R"({"a.b": 1})"}, {R"({"a.b": 2})"}}, R"({"a.b": {"$eq": 1}})", {0, 1}},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(Kept(row.lists, row.filter), row.kept) << row.filter << " over " << json(row.lists).dump();
  }
}

// Numbers compare by value across integer, unsigned and floating forms, in the post-filter
// (evaluateFilter on the item) and in the pre-filter (the item's list kept or dropped). The
// pre-filter sees nearest doubles only, so it keeps what rounding makes indistinguishable.
TEST(NumberEquality, ByValueInPostFilterAndPreFilter) {
  struct Row {
    const char* metadata;
    const char* filter;  // normalised
    bool post;
    bool pre;
  };
  const std::vector<Row> rows = {
      {R"({"u": 18446744073709551615})", R"({"u": {"$eq": -1}})", false, false},
      {R"({"u": -1})", R"({"u": {"$eq": 18446744073709551615}})", false, false},
      {R"({"u": 18446744073709551615})", R"({"u": {"$ne": -1}})", true, true},
      {R"({"u": 18446744073709551615})", R"({"u": {"$in": [-1]}})", false, false},
      {R"({"u": 18446744073709551615})", R"({"u": {"$nin": [-1]}})", true, true},
      {R"({"u": [18446744073709551615]})", R"({"u": {"$eq": -1}})", false, false},
      {R"({"u": 9223372036854775808})", R"({"u": {"$eq": -9223372036854775808}})", false, false},
      {R"({"u": -9223372036854775808})", R"({"u": {"$in": [9223372036854775808]}})", false, false},
      {R"({"u": -9223372036854775808})", R"({"u": {"$ne": 9223372036854775808}})", true, true},
      {R"({"u": 9007199254740992.0})", R"({"u": {"$eq": 9007199254740993}})", false, true},
      {R"({"u": 9007199254740993})", R"({"u": {"$eq": 9007199254740992.0}})", false, true},
      {R"({"u": 9007199254740993})", R"({"u": {"$in": [9007199254740992.0]}})", false, true},
      {R"({"u": 9007199254740993})", R"({"u": {"$nin": [9007199254740992.0]}})", true, true},
      {R"({"u": 18446744073709551615})", R"({"u": {"$eq": 18446744073709551616.0}})", false, true},
      {R"({"o": {"a": 18446744073709551615}})", R"({"o": {"$eq": {"a": -1}}})", false, true},
      // Equal values in other forms.
      {R"({"u": 18446744073709551615})", R"({"u": {"$eq": 18446744073709551615}})", true, true},
      {R"({"u": 9007199254740992.0})", R"({"u": {"$in": [9007199254740992]}})", true, true},
      {R"({"u": 9223372036854775807})", R"({"u": {"$eq": 9223372036854775807}})", true, true},
      {R"({"u": 0})", R"({"u": {"$eq": -0.0}})", true, true},
      {R"({"u": [1]})", R"({"u": {"$in": [1.0]}})", true, true},
      {R"({"o": {"a": 2}})", R"({"o": {"$eq": {"a": 2.0}}})", true, true},
      // Order by value too, where rounding to doubles would tie.
      {R"({"u": 9007199254740993})", R"({"u": {"$gt": 9007199254740992}})", true, true},
      {R"({"u": 9007199254740993})", R"({"u": {"$lte": 9007199254740992}})", false, true},
      {R"({"u": 9007199254740992})", R"({"u": {"$lt": 9007199254740993}})", true, true},
      {R"({"u": 18446744073709551615})", R"({"u": {"$gt": 18446744073709551614}})", true, true},
      {R"({"u": 18446744073709551615})", R"({"u": {"$lt": 18446744073709551616.0}})", true, true},
      {R"({"u": -1})", R"({"u": {"$lt": 18446744073709551615}})", true, true},
      {R"({"u": 1})", R"({"u": {"$gt": 1}})", false, false},
      {R"({"u": 2})", R"({"u": {"$lt": 1.5}})", false, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.filter) + " on " + row.metadata);
    EXPECT_EQ(evaluateFilter(json::parse(row.filter), json::parse(row.metadata)), row.post);
    EXPECT_EQ(Kept({{row.metadata}}, row.filter), row.pre ? std::vector<uint32_t>{0} : std::vector<uint32_t>{});
  }
}

// The plain reading of $in against one list's entry: some value of the operand may be there.
bool PlainMayHoldAny(const CentroidSummary& s, const json& operand) {
  for (const json& value : operand) {
    if (value.is_number()) {
      if (s.min <= value.get<double>() && value.get<double>() <= s.max) return true;
    } else if (value.is_string() || value.is_boolean()) {
      const std::string text = value.is_string() ? value.get<std::string>() : value.get<bool>() ? "true" : "false";
      if (std::find(s.hashes.begin(), s.hashes.end(), stringCrc32(text)) != s.hashes.end()) return true;
    } else {
      return true;
    }
  }
  return false;
}

// Random operands against random entries, one prepared operand judging every list as in a
// query: the prepared judgement answers as the plain scan.
TEST(CentroidMayMatch, PreparedInOperandsAnswerAsThePlainScan) {
  random_filters::Generator generate(53);
  const std::vector<double> bounds = {-3, -1, 0, 1, 2.5, 7, 0x1p53, 0x1p63, 0x1p64, -0x1p63, 9876543211.0};
  int kept = 0, judged = 0;
  for (int round = 0; round < 1000; ++round) {
    json operand = json::array();
    for (int n = generate.Below(8); n > 0; --n) operand.push_back(generate.Value(1));
    if (generate.Below(6) == 0) operand = generate.Value(1);  // scalars, objects and null too
    json filter;
    filter["f"]["$in"] = operand;
    SummariesByField summaries;
    for (uint32_t list = 0; list < 8; ++list) {
      CentroidSummary entry;
      entry.centroid = list;
      for (int n = generate.Below(3); n > 0; --n) {
        const double bound = bounds[generate.Below(static_cast<int>(bounds.size()))];
        entry.min = std::min(entry.min, bound);
        entry.max = std::max(entry.max, bound);
      }
      for (const char* text : {"x", "y", "z", "true", "false"}) {
        if (generate.Below(3) == 0) entry.hashes.push_back(stringCrc32(text));
      }
      summaries["f"][list] = entry;
    }
    SummaryOperandCache cache;
    for (uint32_t list = 0; list < 8; ++list) {
      const bool expected = PlainMayHoldAny(summaries["f"][list], operand);
      kept += expected ? 1 : 0;
      ++judged;
      ASSERT_EQ(centroidMayMatch(summaries, filter, list, cache), expected) << filter.dump() << " list " << list;
    }
  }
  EXPECT_GT(kept, judged / 10);
  EXPECT_LT(kept, judged * 9 / 10);
}

// Summaries naming lists beyond the codebook are ignored: rows and centroid count agree.
TEST(ReduceCodebooks, RowsOfTheKeptListsOnly) {
  Quantizers quantizers;
  Codebook book;
  book.centroids = Matrix<float>({0, 0, 1, 1, 2, 2, 3, 3}, 2);
  book.n_centroids = 4;
  quantizers.codebooks.push_back(book);
  quantizers.secondary_codebooks.push_back(book);
  const Quantizers reduced = ReduceCodebooks(quantizers, {1, 3, 9});
  ASSERT_EQ(reduced.codebooks.size(), 1u);
  EXPECT_EQ(reduced.codebooks[0].n_centroids, 2u);
  EXPECT_EQ(reduced.codebooks[0].centroids.rows, 2u);
  EXPECT_EQ(reduced.codebooks[0].centroids.data, (std::vector<float>{1, 1, 3, 3}));
  EXPECT_EQ(reduced.secondary_codebooks[0].centroids.data, book.centroids.data);
  EXPECT_EQ(ReduceCodebooks(quantizers, {}).codebooks[0].n_centroids, 0u);
  quantizers.codebooks[0].centroids.cols = 0;
  EXPECT_EQ(testing_support::ErrorText([&] { ReduceCodebooks(quantizers, {1}); }),
            "Data size must be a multiple of the number of columns");
}

// Soundness: over random metadata and random filters, every list that holds an item the
// filter accepts is kept; and the judgement is not vacuous (lists do get dropped).
TEST(CentroidMayMatch, KeepsEveryListHoldingAnAcceptedItem) {
  random_filters::Generator generate(17);
  std::vector<std::vector<json>> lists(8);
  std::vector<std::vector<std::string>> texts(8);
  for (uint32_t l = 0; l < lists.size(); ++l) {
    for (int n = 3 + generate.Below(10); n > 0; --n) {
      lists[l].push_back(generate.Metadata());
      texts[l].push_back(lists[l].back().dump());
    }
  }
  int filters = 0, dropped = 0, judged = 0;
  while (filters < 3000) {
    json filter;
    try {
      filter = parseFilters(generate.FilterText());
    } catch (const std::invalid_argument&) {
      continue;  // refused at the top level, as a query would be
    }
    std::vector<bool> accepted(lists.size(), false);
    try {
      for (uint32_t l = 0; l < lists.size(); ++l) {
        for (const json& item : lists[l]) accepted[l] = accepted[l] || evaluateFilter(filter, item);
      }
    } catch (const std::exception&) {
      continue;  // an operand the language refuses for present fields
    }
    ++filters;
    const SummariesByField summaries = SummariesFor(texts, filter);
    for (uint32_t l = 0; l < lists.size(); ++l) {
      const bool kept = centroidMayMatch(summaries, filter, l);
      ++judged;
      dropped += kept ? 0 : 1;
      if (accepted[l]) {
        EXPECT_TRUE(kept) << filter.dump() << " list " << l;
      }
    }
  }
  EXPECT_GT(dropped, judged / 10);
}

}  // namespace
}  // namespace ombrix
