#include "encrypted_store/merge_results.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ombrix {
namespace {

using Ids = std::vector<std::string>;

std::vector<CachedItem> Cached(const Ids& ids, uint8_t mark) {
  std::vector<CachedItem> items;
  for (const std::string& id : ids) items.push_back({id, {mark, 0, 0, 0}, "c"});
  return items;
}

// Fetched rows of the missed lists, with the given boundaries.
CacheMissResult Fetched(const Ids& ids, std::vector<uint64_t> bounds) {
  CacheMissResult rows;
  rows.item_ids = ids;
  rows.token_indices = std::move(bounds);
  rows.metadata.assign(ids.size(), "f");
  rows.payloads = PayloadRows(ids.size(), 4);
  for (uint64_t r = 0; r < ids.size(); ++r) rows.payloads.row(r)[0] = static_cast<uint8_t>(100 + r);
  return rows;
}

std::string MergeError(const std::vector<uint32_t>& tokens, const std::vector<bool>& flags,
                       const std::vector<std::vector<CachedItem>>& hits,
                       const std::vector<uint32_t>& misses, const CacheMissResult& fetched,
                       uint64_t num_results, uint64_t payload_size = 4) {
  ItemCache cache(0);
  CacheMissResult merged;
  try {
    MergeResults(tokens, flags, hits, misses, fetched, num_results, payload_size, merged, cache, {});
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "merged";
}

TEST(MergeResultsTest, RowsFollowProbeOrderAndFetchedListsAreCached) {
  ItemCache cache(4);
  CacheMissResult merged;
  const CacheMissResult fetched = Fetched({"b1", "b2", "b3"}, {0, 3});
  MergeResults({1, 2}, {true, false}, {Cached({"a1", "a2", "a3", "a4", "a5"}, 7)}, {2}, fetched,
               8, 4, merged, cache, {0, 5, 3});
  EXPECT_EQ(merged.item_ids, (Ids{"a1", "a2", "a3", "a4", "a5", "b1", "b2", "b3"}));
  EXPECT_EQ(merged.token_indices, (std::vector<uint64_t>{0, 5, 8}));
  EXPECT_EQ(merged.metadata[0], "c");
  EXPECT_EQ(merged.metadata[7], "f");
  EXPECT_EQ(merged.payloads.row(0)[0], 7);
  EXPECT_EQ(merged.payloads.row(6)[0], 101);
  ASSERT_TRUE(cache.Contains(2));
  EXPECT_EQ(cache.FilledAt(2), 3u);
  EXPECT_EQ(cache.Items(2)->at(2).payload, (std::vector<uint8_t>{102, 0, 0, 0}));

  CacheMissResult reversed;
  MergeResults({2, 1}, {false, true}, {Cached({"a1", "a2", "a3", "a4", "a5"}, 7)}, {2}, fetched,
               8, 4, reversed, cache, {0, 5, 3});
  EXPECT_EQ(reversed.token_indices, (std::vector<uint64_t>{0, 3, 8}));
  EXPECT_EQ(reversed.item_ids[3], "a1");
}

TEST(MergeResultsTest, NothingProbedGivesOneBoundary) {
  ItemCache cache(1);
  CacheMissResult merged;
  MergeResults({}, {}, {}, {}, CacheMissResult(), 0, 4, merged, cache, {});
  EXPECT_TRUE(merged.item_ids.empty());
  EXPECT_EQ(merged.token_indices, (std::vector<uint64_t>{0}));
  EXPECT_EQ(merged.payloads.size(), 0u);
}

TEST(MergeResultsTest, InconsistentInputsAreRefusedWithTheRowReached) {
  const CacheMissResult fetched = Fetched({"b1", "b2"}, {0, 2});
  EXPECT_EQ(MergeError({1}, {true, false}, {}, {}, fetched, 2),
            "Error in MergeResults: Size mismatch: query_tokens and hit_and_miss must have the "
            "same size. current_result_index: 0");
  EXPECT_EQ(MergeError({1, 2}, {true, false}, {Cached({"a"}, 1), Cached({"b"}, 1)}, {2}, fetched, 3),
            "Error in MergeResults: Size mismatch: cache_hit must match the number of hits. "
            "current_result_index: 0");
  EXPECT_EQ(MergeError({1, 2}, {true, false}, {Cached({"a"}, 1)}, {2}, fetched, 2),
            "Error in MergeResults: Exceeded allocated size for merged_results. "
            "current_result_index: 2");
  EXPECT_EQ(MergeError({1}, {false}, {}, {1}, Fetched({"b1"}, {0}), 1),
            "Error in MergeResults: Cache miss token index out of bounds. current_result_index: 0");
  EXPECT_EQ(MergeError({1}, {false}, {}, {1}, Fetched({"b1"}, {0, 2}), 2),
            "Error in MergeResults: Cache miss result index out of bounds. current_result_index: 1");
  std::vector<std::vector<CachedItem>> short_payload = {{{"s", {1, 2}, ""}}};
  EXPECT_EQ(MergeError({1}, {true}, short_payload, {}, CacheMissResult(), 1),
            "Error in MergeResults: Insufficient payload size for item_id: s current_result_index: 0");
  EXPECT_EQ(MergeError({1}, {false}, {}, {1}, Fetched({"b1"}, {0, 1}), 1, 8),
            "Error in MergeResults: Payload extraction index out of bounds for item_id: b1 "
            "current_result_index: 0");
}

}  // namespace
}  // namespace ombrix
