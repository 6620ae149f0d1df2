#include "encrypted_store/item_cache.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "backing_store/testing/log_capture.h"

namespace ombrix {
namespace {

std::vector<CachedItem> Items(std::initializer_list<std::string> ids) {
  std::vector<CachedItem> items;
  for (const std::string& id : ids) items.push_back({id, {1, 2, 3, 4}, "{}"});
  return items;
}

std::vector<std::string> Ids(const std::vector<CachedItem>& items) {
  std::vector<std::string> ids;
  for (const CachedItem& item : items) ids.push_back(item.id);
  return ids;
}

TEST(ItemCacheTest, EvictsTheLeastRecentlyUsedList) {
  ItemCache cache(2);
  cache.Fill(1, Items({"a"}), 1);
  cache.Fill(2, Items({"b"}), 1);
  cache.Touch(1);
  EXPECT_EQ(cache.RecencyOrder(), (std::vector<uint32_t>{1, 2}));
  cache.Fill(3, Items({}), 0);
  EXPECT_EQ(cache.RecencyOrder(), (std::vector<uint32_t>{3, 1}));
  EXPECT_FALSE(cache.Contains(2));

  // A list filed twice by one retrieval keeps both parts.
  cache.Fill(1, Items({"c"}), 2);
  EXPECT_EQ(Ids(*cache.Items(1)), (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(cache.FilledAt(1), 2u);
  EXPECT_EQ(cache.RecencyOrder(), (std::vector<uint32_t>{1, 3}));
}

TEST(ItemCacheTest, RemoveOfAnUncachedListLogsAndChangesNothing) {
  testing_support::ScopedLogCapture capture;
  ItemCache cache(2);
  cache.Fill(4, Items({"a"}), 1);
  testing::internal::CaptureStdout();
  cache.Remove(4);
  cache.Remove(4);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(capture.Lines(), (std::vector<std::string>{"INFO Token not found: 4"}));
  EXPECT_EQ(cache.size(), 0u);
}

TEST(ItemCacheTest, SplitFollowsTheCounterAtFillTime) {
  testing_support::ScopedLogCapture capture;
  ItemCache cache(4);
  cache.Fill(0, Items({"a", "b"}), 3);  // one of three positions holds no item any more
  cache.Fill(1, Items({"c"}), 1);
  // List 2 is uncached with counter 0: a hit with no items. List 5 lies beyond the map.
  CacheLookupResult split = RetrieveCachedItems(cache, {1, 2, 0, 5}, {3, 2, 0});
  EXPECT_TRUE(capture.Lines().empty());
  EXPECT_EQ(split.hit_and_miss, (std::vector<bool>{false, true, true, true}));
  EXPECT_EQ(split.cache_misses, (std::vector<uint32_t>{1}));
  ASSERT_EQ(split.cache_hit.size(), 3u);
  EXPECT_TRUE(split.cache_hit[0].empty());
  EXPECT_EQ(Ids(split.cache_hit[1]), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(split.hit_item_count, 2u);
  EXPECT_FALSE(cache.Contains(1)) << "a stale entry is dropped";
  EXPECT_EQ(cache.RecencyOrder(), (std::vector<uint32_t>{0}));

  split = RetrieveCachedItems(cache, {7}, {3, 2, 0, 0, 0, 0, 0, 9});
  EXPECT_EQ(capture.Lines(), (std::vector<std::string>{"INFO Token not found: 7"}));
  EXPECT_EQ(split.cache_misses, (std::vector<uint32_t>{7}));
}

TEST(ItemCacheTest, CapacityZeroMissesEverythingSilently) {
  testing_support::ScopedLogCapture capture;
  ItemCache cache(0);
  cache.Fill(0, Items({"a"}), 1);
  const CacheLookupResult split = RetrieveCachedItems(cache, {0, 1}, {1, 0});
  EXPECT_TRUE(capture.Lines().empty());
  EXPECT_EQ(split.cache_misses, (std::vector<uint32_t>{0, 1}));
  EXPECT_TRUE(split.cache_hit.empty());
  EXPECT_EQ(cache.size(), 0u);
}

TEST(ItemCacheTest, DropsListsHoldingReplacedIds) {
  ItemCache cache(3);
  cache.Fill(0, Items({"a", "b"}), 2);
  cache.Fill(1, Items({"c"}), 1);
  cache.Fill(2, Items({"d"}), 1);
  cache.RemoveListsHolding({"b", "d", "zz"});
  EXPECT_EQ(cache.RecencyOrder(), (std::vector<uint32_t>{1}));
  cache.Clear();
  EXPECT_EQ(cache.size(), 0u);
  EXPECT_TRUE(cache.RecencyOrder().empty());
}

}  // namespace
}  // namespace ombrix
