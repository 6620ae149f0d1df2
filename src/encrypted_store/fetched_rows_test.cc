#include "encrypted_store/fetched_rows.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ombrix {
namespace {

using Ids = std::vector<std::string>;

// Fetched rows in unique order; row r has the given id, list named by its record, and
// payload byte r.
CacheMissResult Fetched(const Ids& ids, const std::vector<uint64_t>& named_lists) {
  CacheMissResult rows;
  rows.item_ids = ids;
  rows.token_indices = named_lists;
  rows.metadata.assign(ids.size(), "{}");
  rows.payloads = PayloadRows(ids.size(), 4);
  for (uint64_t r = 0; r < ids.size(); ++r) rows.payloads.row(r)[0] = static_cast<uint8_t>(r);
  return rows;
}

TEST(FetchedRowsTest, OccurrencesRecordEveryListHoldingAnId) {
  // List 0 holds 11, 12, 11; list 1 holds 13, 12; list 2 is empty; list 3 holds 12.
  const HashIdOccurrences found =
      CollectHashIdOccurrences({11, 12, 11, 13, 12, 12}, {0, 3, 5, 5, 6});
  EXPECT_EQ(found.unique_ids, (std::vector<uint64_t>{11, 12, 13}));
  EXPECT_EQ(found.first_list, (std::vector<uint32_t>{0, 0, 1}));
  ASSERT_EQ(found.other_lists.size(), 1u);
  EXPECT_EQ(found.other_lists.at(1), (std::vector<uint32_t>{1, 3}));
}

TEST(FetchedRowsTest, ReAddedItemsGoToTheListTheirRecordNames) {
  // Probed lists 10, 20, 30 all missed. "x" was re-added from 10 to 20; "y" lives in 20
  // only though its record names 10 (a rebuild); "z" is in 10 and 30 and its record names
  // a list not probed; the fourth unique hash id has no record.
  const HashIdOccurrences found =
      CollectHashIdOccurrences({1, 3, 4, 1, 2, 4}, {0, 3, 5, 6});
  CacheLookupResult lookup;
  lookup.hit_and_miss = {false, false, false};
  lookup.cache_misses = {10, 20, 30};
  CacheMissResult rows = Fetched({"x", "z", "y"}, {20, 99, 10});
  const std::vector<uint64_t> row_unique = {0, 2, 3};  // unique 1 (hash 3) gave no record
  const auto stale = AttributeFetchedRows({10, 20, 30}, lookup, found, row_unique, rows);
  EXPECT_TRUE(stale.empty());
  EXPECT_EQ(rows.item_ids, (Ids{"z", "x", "y"}));
  EXPECT_EQ(rows.token_indices, (std::vector<uint64_t>{0, 1, 3, 3}));
  EXPECT_EQ(rows.payloads.row(0)[0], 1) << "payload rows move with their items";
  EXPECT_EQ(rows.payloads.row(1)[0], 0);
}

TEST(FetchedRowsTest, OneItemInACachedAndAFetchedList) {
  // Probe order: list 5 (hit, holds "x" and "y"), list 6 (missed). "x" was re-added to 6;
  // "y" has an old label in 6 and its record names an unprobed list.
  CacheLookupResult lookup;
  lookup.hit_and_miss = {true, false};
  lookup.cache_misses = {6};
  lookup.cache_hit = {{{"x", {0, 0, 0, 0}, ""}, {"y", {0, 0, 0, 0}, ""}, {"w", {}, ""}}};
  lookup.hit_item_count = 3;
  const HashIdOccurrences found = CollectHashIdOccurrences({7, 8}, {0, 2});
  CacheMissResult rows = Fetched({"x", "y"}, {6, 42});
  const auto stale = AttributeFetchedRows({5, 6}, lookup, found, {0, 1}, rows);
  EXPECT_EQ(stale, (std::vector<uint32_t>{5}));
  EXPECT_EQ(rows.item_ids, (Ids{"x"}));
  EXPECT_EQ(rows.token_indices, (std::vector<uint64_t>{0, 1}));
  ASSERT_EQ(lookup.cache_hit[0].size(), 2u);
  EXPECT_EQ(lookup.cache_hit[0][0].id, "y");
  EXPECT_EQ(lookup.hit_item_count, 2u);
}

TEST(FetchedRowsTest, TwoCachedListsHoldingOneItem) {
  CacheLookupResult lookup;
  lookup.hit_and_miss = {true, true};
  lookup.cache_hit = {{{"x", {}, ""}, {"y", {}, ""}}, {{"z", {}, ""}, {"x", {}, ""}}};
  lookup.hit_item_count = 4;
  CacheMissResult none;
  const auto stale = AttributeFetchedRows({3, 4}, lookup, HashIdOccurrences(), {}, none);
  EXPECT_EQ(stale, (std::vector<uint32_t>{4}));
  ASSERT_EQ(lookup.cache_hit[1].size(), 1u);
  EXPECT_EQ(lookup.cache_hit[1][0].id, "z");
  EXPECT_EQ(lookup.hit_item_count, 3u);
  EXPECT_EQ(none.token_indices, (std::vector<uint64_t>{0}));
}

}  // namespace
}  // namespace ombrix
