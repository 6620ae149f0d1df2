#include "encrypted_store/query_retrieval.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <ostream>
#include <streambuf>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "encrypted_store/core_test_fixture.h"
#include "encrypted_store/engine_items_test_util.h"
#include "encrypted_store/item_keys.h"
#include "encrypted_store/labels.h"
#include "encrypted_store/sealing.h"
#include "encrypted_store/testing/recording_keystore.h"
#include "index_model/parallel.h"
#include "index_model/testing/scoped_omp_threads.h"

namespace ombrix::testing_util {
namespace {

using ::testing::ElementsAre;
using ::testing::Pair;
using ::testing::UnorderedElementsAre;

class QueryEncryptedTest : public CoreTest {
 protected:
  std::unique_ptr<EncryptedIndexCore> MakeCore(uint64_t lists, uint64_t cache_lists,
                                               const std::string& name = "query") {
    auto core = Create(name, 21, kPayloadSize);
    if (lists != 1) core->ResizeVocabulary(lists);
    core->item_cache.lru_cache_size = cache_lists;
    return core;
  }

  // A trained index is loaded with its list count; the record keeps the first one.
  std::unique_ptr<EncryptedIndexCore> Reopen(const std::string& name, uint64_t lists,
                                             uint64_t cache_lists) {
    auto core = Load(name, 21);
    core->ResizeVocabulary(lists);
    core->item_cache.lru_cache_size = cache_lists;
    return core;
  }

  static void Add(EncryptedIndexCore& core, const std::vector<TestItem>& items) {
    ItemBatch batch = MakeBatch(items);
    core.AddItems(batch);
  }

  static std::string QueryError(EncryptedIndexCore& core, const std::vector<uint32_t>& lists) {
    try {
      core.QueryEncrypted(lists);
    } catch (const std::exception& e) {
      return e.what();
    }
    return "answered";
  }
};

class ReUpsertTest : public QueryEncryptedTest, public ::testing::WithParamInterface<uint64_t> {};

TEST_P(ReUpsertTest, EachIdOnceWithItsNewestVector) {
  auto core = MakeCore(3, GetParam());
  Add(*core, {{"a", 0, {1, 1}}, {"b", 0, {2, 2}}, {"c", 1, {3, 3}}});
  core->QueryEncrypted({0, 1, 2});  // fills the cache when it is on
  Add(*core, {{"a", 0, {10, 10}}});  // within list 0
  Add(*core, {{"b", 1, {20, 20}}});  // from list 0 to list 1
  const std::vector<std::vector<uint32_t>> probes = {{0, 1, 2}, {0, 1, 2}, {1, 0, 2}, {2, 1, 0}};
  for (size_t p = 0; p < probes.size(); ++p) {
    const std::vector<uint32_t>& probe = probes[p];
    const uint64_t label_reads = backend().CallCount("BatchGetItems");
    const CacheMissResult result = core->QueryEncrypted(probe);
    // Lists whose items were re-added are fetched once, then served from the cache.
    EXPECT_EQ(backend().CallCount("BatchGetItems") - label_reads,
              GetParam() == 0 || p == 0 ? 1u : 0u) << p;
    const RowsById rows = ReadRows(result);
    EXPECT_THAT(rows.counts, UnorderedElementsAre(Pair("a", 1), Pair("b", 1), Pair("c", 1)));
    EXPECT_EQ(rows.vectors.at("a"), (std::vector<float>{10, 10}));
    EXPECT_EQ(rows.vectors.at("b"), (std::vector<float>{20, 20}));
    ASSERT_EQ(result.token_indices.size(), 4u);
    EXPECT_TRUE(std::is_sorted(result.token_indices.begin(), result.token_indices.end()));
    EXPECT_EQ(result.token_indices.back(), 3u);
    // "b" belongs to list 1, where its record was written last.
    const size_t list1 = std::find(probe.begin(), probe.end(), 1u) - probe.begin();
    const std::vector<std::string> list1_ids(result.item_ids.begin() + result.token_indices[list1],
                                             result.item_ids.begin() + result.token_indices[list1 + 1]);
    EXPECT_THAT(list1_ids, UnorderedElementsAre("b", "c"));
  }
}

TEST_P(ReUpsertTest, MovedItemProbedApartThenTogether) {
  auto core = MakeCore(2, GetParam());
  Add(*core, {{"x", 0, {1, 1}}, {"y", 0, {2, 2}}});
  Add(*core, {{"x", 1, {5, 5}}});
  // Alone, list 0 still leads to "x" through its old label.
  EXPECT_EQ(ReadRows(core->QueryEncrypted({0})).vectors.at("x"), (std::vector<float>{5, 5}));
  EXPECT_EQ(ReadRows(core->QueryEncrypted({1})).counts.at("x"), 1);
  for (int round = 0; round < 3; ++round) {
    const CacheMissResult both = core->QueryEncrypted({0, 1});
    const RowsById rows = ReadRows(both);
    EXPECT_THAT(rows.counts, UnorderedElementsAre(Pair("x", 1), Pair("y", 1))) << round;
    EXPECT_EQ(rows.vectors.at("x"), (std::vector<float>{5, 5}));
    // Two cached lists that both hold "x" keep it in the first; once list 1 is fetched
    // again, "x" goes to the list its record names.
    if (GetParam() == 0 || round > 0) {
      EXPECT_THAT(both.token_indices, ElementsAre(0, 1, 2)) << round;
      EXPECT_EQ(both.item_ids[1], "x");
    }
  }
}

// Per probed list: (id, metadata, payload bytes) of each row, in order.
using ListRows = std::vector<std::tuple<std::string, std::string, std::vector<uint8_t>>>;

std::vector<ListRows> RowsOf(const std::vector<std::shared_ptr<const PackedList>>& lists) {
  std::vector<ListRows> out;
  for (const auto& list : lists) {
    ListRows& rows = out.emplace_back();
    for (uint64_t r = 0; r < list->size(); ++r) {
      std::vector<uint8_t> payload(list->width());
      if (!payload.empty()) list->CopyPayload(r, payload.data());
      rows.emplace_back(list->ids()[r], list->metadata()[r], payload);
    }
  }
  return out;
}

std::vector<ListRows> RowsOf(const CacheMissResult& merged) {
  std::vector<ListRows> out;
  for (uint64_t i = 0; i + 1 < merged.token_indices.size(); ++i) {
    ListRows& rows = out.emplace_back();
    for (uint64_t r = merged.token_indices[i]; r < merged.token_indices[i + 1]; ++r) {
      const uint8_t* payload = merged.payloads.row(r);
      rows.emplace_back(merged.item_ids[r], merged.metadata[r],
                        std::vector<uint8_t>(payload, payload + merged.payloads.cols()));
    }
  }
  return out;
}

TEST_P(ReUpsertTest, ListsServedInPlaceHoldWhatTheMergeReturns) {
  // Two indexes given the same items: one answers list by list, the other merges.
  auto in_place = MakeCore(3, GetParam(), "in_place");
  auto merging = MakeCore(3, GetParam(), "merging");
  const std::vector<std::vector<TestItem>> steps = {
      {{"a", 0, {1, 1}, "{\"k\":1}"}, {"b", 0, {2, 2}}, {"c", 1, {3, 3}}},
      {{"a", 0, {10, 10}}},  // within list 0
      {{"b", 1, {20, 20}}},  // to list 1: list 0 still leads to it
      {{"d", 2, {4, 4}}}};
  const std::vector<std::vector<uint32_t>> probes = {{0, 1, 2}, {2, 0}, {1}, {0}, {1, 0, 2}};
  testing::internal::CaptureStdout();
  for (size_t step = 0; step < steps.size(); ++step) {
    Add(*in_place, steps[step]);
    Add(*merging, steps[step]);
    for (const std::vector<uint32_t>& probe : probes) {
      const auto lists = in_place->RetrieveLists(probe);
      EXPECT_EQ(RowsOf(lists), RowsOf(merging->QueryEncrypted(probe))) << "step " << step;
      EXPECT_EQ(in_place->item_cache.RecencyOrder(), merging->item_cache.RecencyOrder());
      if (GetParam() == 0) continue;
      // Served again from the cache: the cache's own lists, and no store read.
      const uint64_t calls = backend().CallCount("BatchGetItems");
      const auto again = in_place->RetrieveLists(probe);
      EXPECT_EQ(backend().CallCount("BatchGetItems"), calls);
      for (size_t i = 0; i < probe.size(); ++i) {
        if (again[i]->size() != 0) {
          EXPECT_EQ(again[i], in_place->item_cache.List(probe[i]));
        }
      }
      merging->QueryEncrypted(probe);
    }
  }
  testing::internal::GetCapturedStdout();
}

INSTANTIATE_TEST_SUITE_P(CacheOffAndOn, ReUpsertTest, ::testing::Values(0, 4));

// Enough items on memory stores for every step of a retrieval to run on a team: the same
// rows, and the same one report of a malformed record, on one thread and on eight.
TEST_F(QueryEncryptedTest, LargeRetrievalsGiveTheSameRowsOnOneAndEightThreads) {
  IndexSettings settings = Settings("large", 21, MEMORY);
  settings.payload_size = kPayloadSize;
  auto core = EncryptedIndexCore::Create(settings, logger(), {1, 2, 3});
  core->ResizeVocabulary(3);
  core->item_cache.lru_cache_size = 0;
  std::vector<TestItem> items;
  for (uint32_t i = 0; i < 9000; ++i) {
    items.push_back({"id" + std::to_string(i), i % 3, {float(i), -float(i)},
                     i % 7 == 0 ? "{\"i\":" + std::to_string(i) + "}" : "{}"});
  }
  Add(*core, items);
  std::vector<TestItem> moved;  // found under two lists, named by the later one
  for (uint32_t i = 0; i < 9000; i += 31) {
    moved.push_back({"id" + std::to_string(i), (i + 1) % 3, {1, 2}});
  }
  Add(*core, moved);
  core->data_store->BatchDeleteItems(DeriveItemKeys({"id5"}, core->data_store_name));
  core->data_store->BatchPushVariable(
      DeriveItemKeys({"id8"}, core->data_store_name),
      EncryptItems({{0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 'b', 0, 0, 0}}, core->data_store_name));

  std::vector<std::vector<ListRows>> answers;
  for (int threads : {1, 8}) {
    testing_support::ScopedOmpThreads team(threads);
    const uint64_t reports =
        LinesStartingWith("ERROR Dropping malformed item record of 12 bytes").size();
    answers.push_back(RowsOf(core->RetrieveLists({2, 0, 1})));
    EXPECT_EQ(LinesStartingWith("ERROR Dropping malformed item record of 12 bytes").size(),
              reports + 1);
  }
  ASSERT_EQ(answers[0].size(), 3u);
  EXPECT_EQ(answers[0][0].size() + answers[0][1].size() + answers[0][2].size(), 8998u);
  const auto holds = [](const ListRows& rows, const std::string& id) {
    return std::any_of(rows.begin(), rows.end(),
                       [&](const auto& row) { return std::get<0>(row) == id; });
  };
  EXPECT_TRUE(holds(answers[0][2], "id0"));  // moved from list 0 (probed second) to list 1
  EXPECT_FALSE(holds(answers[0][1], "id0"));
  EXPECT_EQ(answers[1], answers[0]);
}

TEST_F(QueryEncryptedTest, DeletedItemsLeaveNoRows) {
  auto core = MakeCore(1, 4);
  Add(*core, {{"a", 0, {1, 1}}, {"b", 0, {2, 2}}});
  core->data_store->BatchDeleteItems(DeriveItemKeys({"a"}, core->data_store_name));
  core->ClearItemCache();
  const CacheMissResult result = core->QueryEncrypted({0});
  EXPECT_THAT(result.item_ids, ElementsAre("b"));
  EXPECT_THAT(result.token_indices, ElementsAre(0, 1));
  EXPECT_THAT(core->item_cache.Items(0)->size(), 1u);
}

TEST_F(QueryEncryptedTest, MalformedRecordsAreDroppedAndLogged) {
  auto core = MakeCore(1, 4);
  Add(*core, {{"a", 0, {1, 1}}, {"b", 0, {2, 2}}});
  // A well-sealed record whose id length runs past its end.
  const uint64_t key = DeriveItemKeys({"b"}, core->data_store_name)[0];
  core->data_store->BatchPushVariable(
      {key}, EncryptItems({{0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 'b', 0, 0, 0}},
                          core->data_store_name));
  core->ClearItemCache();
  const CacheMissResult result = core->QueryEncrypted({0});
  EXPECT_THAT(result.item_ids, ElementsAre("a"));
  EXPECT_EQ(LinesStartingWith("ERROR Dropping malformed item record of 12 bytes").size(), 1u);
  EXPECT_EQ(core->item_cache.Items(0)->size(), 1u);
}

TEST_F(QueryEncryptedTest, ReadsInChunksAndWritesNothing) {
  ScopedRecordingStores recording(scope_.shared_backend());
  auto core = MakeCore(1, 0);
  std::vector<TestItem> items(1001);
  for (size_t i = 0; i < items.size(); ++i) items[i] = {"id" + std::to_string(i), 0, {1, 2}};
  Add(*core, items);
  Add(*core, {items[3]});  // a second label for one of them: still 1001 unique records
  recording.calls().clear();
  const CacheMissResult result = core->QueryEncrypted({0});
  EXPECT_EQ(result.item_ids.size(), 1001u);
  EXPECT_THAT(recording.calls(),
              ElementsAre("GetMap INDEX 1", "BatchGetItems INDEX 1002", "BatchGetVariable DATA 1000",
                          "BatchGetVariable DATA 1"));

  // One chunk of sealed values is held at a time: it is opened before the next is read,
  // so a damaged record in the first chunk stops the retrieval before the second read.
  const uint64_t key = DeriveItemKeys({"id0"}, core->data_store_name)[0];
  std::vector<uint8_t> value = core->data_store->BatchGetVariable({key})[0];
  value[20] ^= 0x01;
  core->data_store->BatchPushVariable({key}, {value});
  recording.calls().clear();
  EXPECT_EQ(QueryError(*core, {0}),
            "Decryption failed: Decryption final step failed (a record of list 0)");
  EXPECT_THAT(recording.calls(), ElementsAre("GetMap INDEX 1", "BatchGetItems INDEX 1002",
                                             "BatchGetVariable DATA 1000"));
}

TEST_F(QueryEncryptedTest, CacheServesOnlyListsWhoseCounterIsUnchanged) {
  auto core = MakeCore(3, 2, "shared");
  Add(*core, {{"a", 0, {1, 1}}, {"b", 1, {2, 2}}, {"c", 2, {3, 3}}});
  core->QueryEncrypted({0, 1, 2});
  EXPECT_THAT(core->item_cache.RecencyOrder(), ElementsAre(2, 1)) << "capacity 2: list 0 evicted";
  core->QueryEncrypted({1});
  EXPECT_THAT(core->item_cache.RecencyOrder(), ElementsAre(1, 2));

  // Another engine object on the same stores adds to list 1 and moves "c" to list 1.
  auto other = Reopen("shared", 3, 0);
  Add(*other, {{"d", 1, {4, 4}}, {"c", 1, {30, 30}}});

  const RowsById rows = ReadRows(core->QueryEncrypted({1, 2}));
  EXPECT_THAT(rows.counts, UnorderedElementsAre(Pair("b", 1), Pair("c", 1), Pair("d", 1)));
  EXPECT_EQ(rows.vectors.at("c"), (std::vector<float>{30, 30}));
  EXPECT_FALSE(core->item_cache.Contains(2)) << "the cached list held a replaced item";
  EXPECT_EQ(core->item_cache.FilledAt(1), 3u);
}

TEST_F(QueryEncryptedTest, CacheLogsToTheCoresLoggerOnlyWhenOnAndNeverPrints) {
  auto core = MakeCore(1, 0);
  testing::internal::CaptureStdout();
  Add(*core, {{"a", 0, {1, 1}}, {"b", 0, {2, 2}}});
  core->QueryEncrypted({0});
  EXPECT_TRUE(LinesStartingWith("INFO Token not found").empty());

  core->item_cache.lru_cache_size = 1;
  core->QueryEncrypted({0});  // uncached and not empty
  Add(*core, {{"c", 0, {1, 1}}, {"d", 0, {2, 2}}});  // drops the entry, then finds none
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(LinesStartingWith("INFO Token not found"),
            (std::vector<std::string>{"INFO Token not found: 0", "INFO Token not found: 0"}));
}

TEST_F(QueryEncryptedTest, TamperedRecordFailsTheQueryNamingItsList) {
  auto core = MakeCore(3, 0);
  Add(*core, {{"a", 0, {1, 1}}, {"b", 2, {2, 2}}, {"c", 2, {3, 3}}});
  const uint64_t key = DeriveItemKeys({"c"}, core->data_store_name)[0];
  std::vector<uint8_t> value = core->data_store->BatchGetVariable({key})[0];
  value[20] ^= 0x01;
  core->data_store->BatchPushVariable({key}, {value});
  EXPECT_EQ(QueryError(*core, {0, 2}),
            "Decryption failed: Decryption final step failed (a record of list 2)");
}

TEST_F(QueryEncryptedTest, RefusalsBeforeAnyRead) {
  auto core = MakeCore(2, 0);
  Add(*core, {{"a", 0, {1, 1}}});
  const uint64_t calls = backend().CallCount();
  EXPECT_EQ(QueryError(*core, {0, 2}), "List id 2 is out of range for a vocabulary of 2 lists");
  EXPECT_EQ(backend().CallCount(), calls);

  core->tree_depth = 0;
  EXPECT_EQ(QueryError(*core, {0}), "The number of round should be at lest 1.");
  EXPECT_EQ(QueryError(*core, {1}), "The number of round should be at lest 1.")
      << "with the cache off every list is a miss";
  core->item_cache.lru_cache_size = 1;
  EXPECT_EQ(QueryError(*core, {1}), "answered") << "an empty list is a hit";
  core->item_cache.lru_cache_size = 0;
  core->tree_depth = 32;

  // A label without a value reads as a row of the store's value width.
  uint64_t label = 0, mask = 0;
  LabelAndMask(core->salts_and_seeds[0], 0, 32, label, mask);
  core->index_store->BatchDeleteItems({label});
  core->index_store->SetValueSize(16);
  EXPECT_EQ(QueryError(*core, {0}), "Invalid encrypted item ID size");
  core->index_store->SetValueSize(8);
  EXPECT_TRUE(core->QueryEncrypted({0}).item_ids.empty()) << "a label without a value";

  core->gpu_accelerated = true;
  EXPECT_THAT(QueryError(*core, {0}), ::testing::HasSubstr("CUDA support is required"));
}

TEST_F(QueryEncryptedTest, NothingProbed) {
  auto core = MakeCore(1, 2);
  const CacheMissResult result = core->QueryEncrypted({});
  EXPECT_TRUE(result.item_ids.empty());
  EXPECT_THAT(result.token_indices, ElementsAre(0));
}

TEST(DecryptRecordsBodyTest, OpensNonEmptyValuesAndReportsTheFirstFailure) {
  testing_support::ScopedLogCapture capture;
  const auto key = MakeKey(5);
  std::vector<std::vector<uint8_t>> values = EncryptItems({{1, 2}, {3}, {4, 5, 6}}, key);
  values[1].clear();
  std::vector<std::vector<uint8_t>> plaintexts(3);
  DecryptRecordsBody(key, values, plaintexts);
  EXPECT_THAT(plaintexts, ElementsAre(std::vector<uint8_t>{1, 2}, std::vector<uint8_t>{},
                                      std::vector<uint8_t>{4, 5, 6}));
  values[2].back() ^= 1;
  values[0].resize(10);
  capture.Clear();
  try {
    DecryptRecordsBody(key, values, plaintexts);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Decryption failed: Failed to decrypt");
  }
  // Reported after the region, in value order, one line per failed value.
  EXPECT_THAT(capture.Lines(), ElementsAre("ERROR Failed to decrypt", "ERROR Decryption final step failed"));
}

// Keeps each line a Logger writes to its file stream with the thread that wrote it and
// whether that thread was inside a parallel step then; installed as the internal logger.
class ThreadRecordingLog : public std::streambuf {
 public:
  struct Line {
    std::string text;
    std::thread::id thread;
    bool inside_step = false;
  };

  ThreadRecordingLog() {
    logger_.configure("info", true, "/dev/null");
    static_cast<std::ostream&>(logger_.log_file).rdbuf(this);
    previous_ = internal_logger.exchange(&logger_);
  }
  ~ThreadRecordingLog() override {
    internal_logger.store(previous_);
    static_cast<std::ostream&>(logger_.log_file).rdbuf(logger_.log_file.rdbuf());
  }

  std::vector<Line> Lines() {
    const std::lock_guard<std::mutex> lock(logger_.log_mutex);
    return lines_;
  }

 protected:
  // The logger writes each line whole, with its lock held.
  std::streamsize xsputn(const char* text, std::streamsize count) override {
    lines_.push_back({std::string(text, static_cast<size_t>(count)), std::this_thread::get_id(),
                      InsideStep()});
    return count;
  }

 private:
  Logger logger_;
  Logger* previous_ = nullptr;
  std::vector<Line> lines_;
};

// Failures found by a team of 8 are reported by the calling thread after the step: lines
// written inside the step would come from whichever thread opened the value.
TEST(DecryptRecordsBodyTest, ReportsOnTheCallingThreadOnceTheStepIsOver) {
  testing_support::ScopedOmpThreads threads(8);
  ThreadRecordingLog log;
  const auto key = MakeKey(6);
  // 2 MiB to open: work for 8 members, two values each.
  std::vector<std::vector<uint8_t>> values =
      EncryptItems(std::vector<std::vector<uint8_t>>(16, std::vector<uint8_t>(128 * 1024, 7)), key);
  for (size_t failing : {1, 6, 11, 15}) values[failing].back() ^= 1;
  std::vector<std::vector<uint8_t>> plaintexts(values.size());
  EXPECT_THROW(DecryptRecordsBody(key, values, plaintexts), std::runtime_error);
  const std::vector<ThreadRecordingLog::Line> lines = log.Lines();
  EXPECT_EQ(lines.size(), 4u);
  for (const ThreadRecordingLog::Line& line : lines) {
    EXPECT_THAT(line.text, ::testing::EndsWith("[ERROR] Decryption final step failed\n"));
    EXPECT_EQ(line.thread, std::this_thread::get_id()) << "logged by another thread";
    EXPECT_FALSE(line.inside_step) << "logged inside the step";
  }
}

}  // namespace
}  // namespace ombrix::testing_util
