#include "backing_store/memory_keystore.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "backing_store/keystore_contract_test.h"
#include "backing_store/testing/error_text.h"
#include "backing_store/testing/log_capture.h"
#include "index_model/testing/scoped_omp_threads.h"

namespace ombrix_encrypted_index::internal::backing_store {
namespace {

using ombrix::testing_support::ScopedLogCapture;
using testing::ElementsAre;
using Bytes = std::vector<uint8_t>;

struct MemoryStores {
  static std::unique_ptr<Keystore> Make() {
    static std::atomic<uint64_t> next_id{1000};
    return std::make_unique<MemoryKeystore>(next_id++, "contract");
  }
};
INSTANTIATE_TYPED_TEST_SUITE_P(Memory, KeystoreContractTest, MemoryStores);

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

using ombrix::testing_support::ErrorText;

TEST(MemoryKeystoreTest, PushMapMismatchAndSuccessLogLines) {
  ScopedLogCapture log;
  MemoryKeystore store(5, "idx");
  EXPECT_FALSE(store.PushMap(1, Text("m"), 2, 3));
  EXPECT_TRUE(store.PushMap(1, Text("m"), 2, 0));
  EXPECT_THAT(log.Lines(), ElementsAre("INFO Pushing map. Expected version: 3", "WARNING Version mismatch: expected 3, got 0",
                                       "INFO Pushing map. Expected version: 0",
                                       "INFO Map and version successfully pushed to Memory"));
  // The version is an ordinary 8-byte little-endian value under the version key.
  EXPECT_EQ(store.GetItem(2), (Bytes{1, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(MemoryKeystoreTest, FailedPushMapOnFreshStoreLeavesItEmpty) {
  MemoryKeystore store(5, "idx");
  EXPECT_FALSE(store.PushMap(1, Text("m"), 2, 7));
  ScopedLogCapture log;
  store.DeleteIndex();
  EXPECT_THAT(log.Lines(), ElementsAre("INFO Deleting index from Memory", "WARNING Cannot delete index. Index does not exist."));
}

TEST(MemoryKeystoreTest, VersionOfWrongLengthCountsAsZero) {
  MemoryKeystore store(5, "idx");
  store.PushItem(2, Bytes{9, 9, 9});
  store.PushItem(1, Text("old"));
  ScopedLogCapture log;
  MapAndVersion got = store.GetMap(1, 2);
  EXPECT_EQ(got.map_data, Text("old"));
  EXPECT_EQ(got.version, 0u);
  EXPECT_THAT(log.Lines(), ElementsAre("INFO Getting map and version from Memory", "WARNING Version data has incorrect size",
                                       "INFO Map and version retrieved from Memory"));
  EXPECT_TRUE(store.PushMap(1, Text("new"), 2, 0));
  EXPECT_EQ(store.GetMap(1, 2).version, 1u);
}

TEST(MemoryKeystoreTest, GetMapWarnsForEachMissingPart) {
  MemoryKeystore store(5, "idx");
  {
    ScopedLogCapture log;
    store.GetMap(1, 2);
    EXPECT_THAT(log.Lines(), ElementsAre("INFO Getting map and version from Memory",
                                         "WARNING Index name not found in MemoryKeystore"));
  }
  store.PushItem(9, Text("x"));
  ScopedLogCapture log;
  store.GetMap(1, 2);
  EXPECT_THAT(log.Lines(), ElementsAre("INFO Getting map and version from Memory",
                                       "WARNING Map key not found in MemoryKeystore for index",
                                       "WARNING Version key not found in MemoryKeystore for index",
                                       "INFO Map and version retrieved from Memory"));
}

TEST(MemoryKeystoreTest, BatchPushChecksInOrderWithExactTexts) {
  MemoryKeystore store(5, "idx");
  ScopedLogCapture log;
  EXPECT_EQ(ErrorText([&] { store.BatchPushVariable({}, {}); }), "No keys provided for batch insertion");
  EXPECT_EQ(ErrorText([&] { store.BatchPushVariable({1, 2}, {Text("a")}); }),
            "Mismatch between number of keys and batch size");
  EXPECT_THROW(store.BatchPushItems({1, 2}, ombrix::Matrix<uint8_t>(3, 8, 0)), std::invalid_argument);
  EXPECT_EQ(ErrorText([&] { store.BatchPushItems({1, 2}, ombrix::Matrix<uint8_t>(2, 4, 0)); }),
            "Amount of data must be divisible by the size of each value");
  EXPECT_THAT(log.Lines(),
              ElementsAre("INFO Pushing 0 items to Memory", "ERROR No keys provided for batch insertion",
                          "INFO Pushing 2 items to Memory", "ERROR Mismatch between number of keys (2) and batch size (1)",
                          "INFO Pushing 2 items to Memory", "ERROR Mismatch between number of keys (2) and batch size (3)",
                          "INFO Pushing 2 items to Memory",
                          "ERROR Amount of data (8) must be divisible by the size of each value (16)"));
  EXPECT_EQ(store.GetNumItems(), 0u);
}

TEST(MemoryKeystoreTest, MatrixWhoseBufferDisagreesWithItsShapeIsRefused) {
  MemoryKeystore store(5, "idx");
  ombrix::Matrix<uint8_t> lying(2, 8, 0);
  lying.data.resize(9);  // rows x cols says 16 bytes
  EXPECT_THROW(store.BatchPushItems({1, 2}, lying), std::invalid_argument);
  EXPECT_EQ(store.GetNumItems(), 0u);
}

TEST(MemoryKeystoreTest, SuccessfulPushLogsStartAndEnd) {
  MemoryKeystore store(5, "idx");
  ScopedLogCapture log;
  store.BatchPushVariable({1, 2}, {Text("a"), Text("b")});
  store.PushItem(3, {});
  EXPECT_THAT(log.Lines(), ElementsAre("INFO Pushing 2 items to Memory", "INFO Items successfully pushed to Memory",
                                       "INFO Pushing item to Memory with key: 3",
                                       "INFO Item successfully pushed to Memory"));
  // PushItem keeps even an empty value.
  EXPECT_EQ(store.GetNumItems(), 3u);
}

TEST(MemoryKeystoreTest, WrongLengthValueFailsFixedWidthRead) {
  MemoryKeystore store(5, "idx");
  store.BatchPushVariable({1, 2}, {Bytes(8, 1), Bytes(12, 2)});
  ScopedLogCapture log;
  try {
    store.BatchGetItems({1, 2});
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Exception in BatchGetItems: Key 2 has unexpected value size: 12 (expected 8)");
  }
  EXPECT_THAT(log.Lines(), ElementsAre("INFO Getting 2 items from Memory",
                                       "ERROR Key 2 has unexpected value size: 12 (expected 8)",
                                       "ERROR Exception in BatchGetItems: Key 2 has unexpected value size: 12 (expected 8)"));
}

// Values of every length (empty, longer than a cache line) in the order asked, with
// missing and repeated keys, across more keys than the reads run ahead.
TEST(MemoryKeystoreTest, VariableReadsKeepTheOrderAsked) {
  MemoryKeystore store(5, "idx");
  std::vector<uint64_t> keys;
  std::vector<Bytes> values;
  for (uint64_t k = 0; k < 40; ++k) {
    keys.push_back(k * 7919);
    values.push_back(Bytes(k * 13 % 200, static_cast<uint8_t>(k)));
  }
  store.BatchPushVariable(keys, values);
  std::vector<uint64_t> asked;
  std::vector<Bytes> expected;
  for (uint64_t i = 0; i < 60; ++i) {
    const uint64_t k = (i * 17) % 45;  // keys 40..44 were never written
    asked.push_back(k * 7919);
    expected.push_back(k < 40 ? values[k] : Bytes());
  }
  EXPECT_EQ(store.BatchGetVariable(asked), expected);
}

// Batches large enough to be read on a team: the values in the order asked on one thread
// and on eight, and the first of two wrong-size values (in different shares) reported.
TEST(MemoryKeystoreTest, LargeBatchesReadTheSameOnOneAndEightThreads) {
  MemoryKeystore store(5, "idx");
  std::vector<uint64_t> keys;
  std::vector<Bytes> values;
  for (uint64_t k = 0; k < 6000; ++k) {
    keys.push_back(k * 7919);
    values.push_back(Bytes(8, static_cast<uint8_t>(k)));
    values.back()[0] = static_cast<uint8_t>(k >> 8);
  }
  store.BatchPushVariable(keys, values);
  std::vector<uint64_t> asked;
  for (uint64_t i = 0; i < 6500; ++i) asked.push_back((i * 17) % 6100 * 7919);  // some unwritten
  std::vector<std::vector<Bytes>> variable;
  std::vector<std::vector<uint8_t>> fixed;
  for (int threads : {1, 8}) {
    ombrix::testing_support::ScopedOmpThreads team(threads);
    variable.push_back(store.BatchGetVariable(asked));
    fixed.push_back(store.BatchGetItems(asked).data);
  }
  for (uint64_t i = 0; i < asked.size(); ++i) {
    const uint64_t k = asked[i] / 7919;
    ASSERT_EQ(variable[0][i], k < 6000 ? values[k] : Bytes()) << i;
    ASSERT_TRUE(std::equal(variable[0][i].begin(), variable[0][i].end(), fixed[0].begin() + 8 * i));
  }
  EXPECT_EQ(variable[1], variable[0]);
  EXPECT_EQ(fixed[1], fixed[0]);

  store.BatchPushVariable({asked[3000], asked[6000]}, {Bytes(12, 2), Bytes(9, 3)});
  for (int threads : {1, 8}) {
    ombrix::testing_support::ScopedOmpThreads team(threads);
    ScopedLogCapture log;
    EXPECT_EQ(ErrorText([&] { store.BatchGetItems(asked); }),
              "Exception in BatchGetItems: Key " + std::to_string(asked[3000]) +
                  " has unexpected value size: 12 (expected 8)");
    EXPECT_EQ(log.Lines().size(), 3u);
  }
}

TEST(MemoryKeystoreTest, ReadsOfAStoreWithoutEntry) {
  MemoryKeystore store(5, "idx");
  ScopedLogCapture log;
  EXPECT_EQ(store.BatchGetVariable({1, 2}), (std::vector<Bytes>{{}, {}}));
  ombrix::Matrix<uint8_t> rows = store.BatchGetItems({1});
  EXPECT_EQ(rows.data, Bytes(8, 0));
  ombrix::Matrix<uint8_t> empty = store.BatchGetItems({});
  EXPECT_EQ(empty.rows, 0u);
  EXPECT_EQ(empty.cols, 0u);
  EXPECT_TRUE(store.BatchGetVariable({}).empty());
  EXPECT_TRUE(store.GetItem(4).empty());
  EXPECT_THAT(log.Lines(),
              ElementsAre("INFO Getting 2 items from Memory",
                          "WARNING Index not found in MemoryKeystore. Returning default empty vectors.",
                          "INFO Getting 1 items from Memory",
                          "WARNING Index not found in MemoryKeystore. Returning default values.",
                          "INFO Getting 0 items from Memory", "WARNING No keys provided for batch retrieval",
                          "INFO Getting 0 items from Memory", "WARNING No keys provided for batch retrieval",
                          "INFO Getting item from Memory", "WARNING Index name not found in MemoryKeystore"));
}

TEST(MemoryKeystoreTest, SingleItemLogLines) {
  MemoryKeystore store(5, "idx");
  ScopedLogCapture log;
  store.DeleteItem(1);
  store.PushItem(1, Text("v"));
  EXPECT_EQ(store.GetItem(1), Text("v"));
  EXPECT_TRUE(store.GetItem(2).empty());
  store.DeleteItem(1);
  EXPECT_THAT(log.Lines(),
              ElementsAre("INFO Deleting item from Memory with key: 1", "WARNING Index name not found during DeleteItem",
                          "INFO Pushing item to Memory with key: 1", "INFO Item successfully pushed to Memory",
                          "INFO Getting item from Memory", "INFO Item found in Memory", "INFO Getting item from Memory",
                          "WARNING Key not found in MemoryKeystore for index", "INFO Deleting item from Memory with key: 1",
                          "INFO Item successfully deleted from Memory"));
  // DeleteItem keeps the now empty entry, so the store still "exists".
  log.Clear();
  store.DeleteIndex();
  EXPECT_THAT(log.Lines(), ElementsAre("INFO Deleting index from Memory", "INFO Index successfully deleted from Memory"));
}

TEST(MemoryKeystoreTest, DeletingEveryKeyRemovesTheEntry) {
  MemoryKeystore store(5, "idx");
  store.BatchPushVariable({1, 2}, {Text("a"), Text("b")});
  ScopedLogCapture log;
  store.BatchDeleteItems({});
  store.BatchDeleteItems({1, 2});
  store.BatchDeleteItems({1});
  store.DeleteIndex();
  store.BatchGetVariable({1});
  EXPECT_THAT(log.Lines(),
              ElementsAre("INFO Deleting 0 items from Memory", "WARNING No keys provided for batch deletion",
                          "INFO Deleting 2 items from Memory", "INFO Items successfully deleted from Memory",
                          "INFO Deleting 1 items from Memory", "WARNING Index name for hashed_index_name_ does not exist.",
                          "INFO Items successfully deleted from Memory", "INFO Deleting index from Memory",
                          "WARNING Cannot delete index. Index does not exist.", "INFO Getting 1 items from Memory",
                          "WARNING Index not found in MemoryKeystore. Returning default empty vectors."));
}

TEST(MemoryKeystoreTest, GetNumItemsCountsTheMapAndCreatesTheEntry) {
  MemoryKeystore store(5, "idx");
  EXPECT_EQ(store.GetNumItems(), 0u);
  // The count made an (empty) entry, so deleting the store now finds it.
  ScopedLogCapture log;
  store.DeleteIndex();
  EXPECT_THAT(log.Lines(), ElementsAre("INFO Deleting index from Memory", "INFO Index successfully deleted from Memory"));

  store.BatchPushVariable({1}, {Text("a")});
  EXPECT_TRUE(store.PushMap(10, Text("map"), 11, 0));
  EXPECT_EQ(store.GetNumItems(), 3u);
  std::vector<uint64_t> keys = store.GetAllKeys();
  std::sort(keys.begin(), keys.end());
  EXPECT_EQ(keys, (std::vector<uint64_t>{1, 10, 11}));
}

TEST(MemoryKeystoreTest, ConfigItemsAreDropped) {
  MemoryKeystore store(5, "idx");
  ScopedLogCapture log;
  store.PushConfigItem("idx.oei", Text("record"));
  EXPECT_FALSE(store.ConfigItemExists("idx.oei"));
  try {
    store.LoadConfigItem("idx.oei");
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "MemoryKeystore does not support PushConfigItem and LoadConfigItem yet");
  }
  EXPECT_TRUE(log.Lines().empty());
  EXPECT_EQ(store.GetNumItems(), 0u);
}

TEST(MemoryKeystoreTest, EachObjectStartsEmpty) {
  MemoryKeystore first(5, "idx");
  first.BatchPushVariable({1}, {Text("a")});
  MemoryKeystore second(5, "idx");
  EXPECT_EQ(second.BatchGetVariable({1}), (std::vector<Bytes>{{}}));
  EXPECT_EQ(second.store_id(), 5u);
  EXPECT_EQ(second.index_name(), "idx");
  EXPECT_EQ(second.value_size(), 8u);
}

}  // namespace
}  // namespace ombrix_encrypted_index::internal::backing_store
