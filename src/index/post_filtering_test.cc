#include "index/post_filtering.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "index/metadata_filter.h"

namespace ombrix {
namespace {

using ::testing::ElementsAre;

// Five rows in two lists ([0, 3) and [3, 5)); row r's payload bytes are all r.
CacheMissResult FiveRows(std::vector<std::string> metadata) {
  CacheMissResult c;
  c.item_ids = {"r0", "r1", "r2", "r3", "r4"};
  c.token_indices = {0, 3, 5};
  c.payloads = PayloadRows(5, 8);
  for (uint64_t r = 0; r < 5; ++r) {
    for (uint64_t b = 0; b < 8; ++b) c.payloads.row(r)[b] = static_cast<uint8_t>(r);
  }
  c.metadata = std::move(metadata);
  return c;
}

TEST(FilterCandidates, KeepsMatchingRowsWithTheirListsAligned) {
  const CacheMissResult kept = FilterCandidates(
      FiveRows({R"({"k": 0})", R"({"k": 1})", "", R"({"k": 1})", R"({"k": 1, "x": 2})"}),
      parseFilters(R"({"k": 1})"));
  EXPECT_THAT(kept.item_ids, ElementsAre("r1", "r3", "r4"));
  EXPECT_THAT(kept.token_indices, ElementsAre(0, 1, 3));
  EXPECT_THAT(kept.metadata, ElementsAre(R"({"k": 1})", R"({"k": 1})", R"({"k": 1, "x": 2})"));
  ASSERT_EQ(kept.payloads.rows(), 3u);
  ASSERT_EQ(kept.payloads.cols(), 8u);
  EXPECT_EQ(kept.payloads.row(0)[7], 1);
  EXPECT_EQ(kept.payloads.row(2)[0], 4);

  // Empty metadata texts are the empty object, which satisfies only missing-field conditions.
  const CacheMissResult all = FilterCandidates(FiveRows({"", "", "", "", ""}),
                                               parseFilters(R"({"c": {"$exists": false}})"));
  EXPECT_EQ(all.item_ids.size(), 5u);
  EXPECT_THAT(all.token_indices, ElementsAre(0, 3, 5));
}

TEST(FilterCandidates, NothingKeptIsWhollyEmpty) {
  const CacheMissResult none =
      FilterCandidates(FiveRows({"", "", "", "", ""}), parseFilters(R"({"k": 1})"));
  EXPECT_TRUE(none.item_ids.empty());
  EXPECT_TRUE(none.token_indices.empty());
  EXPECT_TRUE(none.metadata.empty());
  EXPECT_EQ(none.payloads.rows(), 0u);
  EXPECT_EQ(none.payloads.cols(), 0u);
  EXPECT_TRUE(FilterCandidates(CacheMissResult{}, parseFilters(R"({"k": 1})")).item_ids.empty());
}

TEST(FilterCandidates, RefusesUnparsableMetadataBeforeJudgingAny) {
  try {
    // The bad text is last; an evaluation error on an earlier row must not come first.
    FilterCandidates(FiveRows({R"({"k": 1})", "", "", "", "{bad"}),
                     parseFilters(R"({"k": {"$type": "int"}})"));
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_THAT(e.what(),
                ::testing::StartsWith("Invalid JSON string provided: [json.exception.parse_error"));
  }
}

TEST(KeepRows, BoundariesAndColumnChecks) {
  CacheMissResult unaligned = FiveRows({"", "", "", "", ""});
  unaligned.token_indices = {1, 3, 3, 5};
  EXPECT_THAT(KeepRows(unaligned, {0, 2, 4}).token_indices, ElementsAre(0, 1, 1, 2));

  const struct {
    size_t ids, metadata, payloads;
    const char* message;
  } cases[] = {
      {4, 5, 5, "Index out of bounds while filtering item_ids"},
      {5, 5, 4, "Index out of bounds while filtering payloads"},
      {4, 4, 4, "Index out of bounds while filtering item_ids"},
  };
  for (const auto& c : cases) {
    CacheMissResult short_column = FiveRows({"", "", "", "", ""});
    short_column.item_ids.resize(c.ids);
    short_column.metadata.resize(c.metadata);
    short_column.payloads.Resize(c.payloads);
    try {
      KeepRows(short_column, {1, 4});
      ADD_FAILURE() << c.message;
    } catch (const std::out_of_range& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
}

}  // namespace
}  // namespace ombrix
