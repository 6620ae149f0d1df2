// A training in one handle while other handles read, write and delete: hooks on the test
// backend put the others' calls at exact steps of the training (or the training at an
// exact step of theirs). Every acknowledged upsert stays reachable, every acknowledged
// delete stays deleted, and a query answers from complete entries or says why not.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "backing_store/testing/test_keystore.h"
#include "encrypted_store/training_state.h"
#include "index/encrypted_index.h"
#include "index/index_test_util.h"

namespace ombrix {
namespace {

using index_testing::BruteForce;
using index_testing::CapturedLog;
using index_testing::Clustered;
using index_testing::FilledIndex;
using index_testing::ShallowSettings;
using index_testing::Ids;
using index_testing::ResultIds;
using index_testing::Rows;
using index_testing::Settings;
using index_testing::TestKey;
using index_testing::ThrownText;
using index_testing::UpsertRows;
using ombrix_encrypted_index::internal::backing_store::test_support::Fault;
using ombrix_encrypted_index::internal::backing_store::test_support::ScopedTestBackend;

constexpr uint64_t kItems = 10000;
constexpr uint64_t kLists = 8;

IndexSettings Shallow(const std::string& name) {
  IndexSettings settings = ShallowSettings(name);
  settings.max_cache_size = 0;
  return settings;
}

std::unique_ptr<EncryptedIndex> Open(const std::string& name, CapturedLog& log) {
  return index_testing::OpenExisting(Shallow(name), log.logger());
}

std::unique_ptr<EncryptedIndex> Filled(const std::string& name, CapturedLog& log, const Matrix<float>& data) {
  return FilledIndex(Shallow(name), log.logger(), data);
}

// The ids in [first, end) that a query of their own vector (every list probed) misses.
std::vector<std::string> Unreachable(EncryptedIndex& index, const Matrix<float>& data, uint64_t first,
                                     uint64_t end) {
  return index_testing::MissedOwnRows(index, data, first, end, kLists);
}

uint64_t MapVersion(EncryptedIndex& index) {
  return index.core->index_store->GetMap(kCounterMapKey, kCounterMapVersionKey).version;
}

// Another handle trains the index; the handle opened before it answers its very first
// query from the new lists, every one of them probed.
TEST(TrainingBesideOthersTest, AHandleOpenedBeforeATrainingProbesTheNewLists) {
  ScopedTestBackend backend;
  CapturedLog log;
  // One cloud of points: a query's neighbours often lie in lists beside its nearest.
  const Matrix<float> data = Clustered(kItems, 4, 1, 41);
  auto trainer = Filled("before", log, data);
  auto reader = Open("before", log);
  trainer->TrainIndex(kLists, 2048, 5);

  QueryParams params;
  params.top_k = 5;
  params.n_probes = kLists;
  const Matrix<float> queries = Rows(data, 0, 200);
  const QueryResults results = reader->Query(queries, params);
  uint64_t inexact = 0;
  for (uint64_t q = 0; q < queries.rows; ++q) {
    inexact += ResultIds(results, q) != BruteForce(data, queries.row(q), 5) ? 1 : 0;
  }
  EXPECT_EQ(inexact, 0u) << "of " << queries.rows << " queries";
}

// An upsert takes its positions, and another handle trains before the upsert writes its
// entries. The training waits for the writer; the writer's items, the trained ones and
// the counter map's version (never repeating) all come through.
TEST(TrainingBesideOthersTest, AnUpsertStraddlingAnotherHandlesTrainingKeepsEveryEntry) {
  ScopedTestBackend backend;
  CapturedLog log;
  const Matrix<float> data = Clustered(kItems + 30, 2, kLists, 42);
  auto trainer = Filled("straddle", log, Rows(data, 0, kItems));
  auto writer = Open("straddle", log);
  std::vector<uint64_t> versions = {MapVersion(*trainer)};

  std::atomic<bool> trained{false};
  std::thread training;
  Fault entries;
  entries.operation = "BatchPushVariable";
  entries.kind = INDEX;  // the writer's entries, after its positions were taken
  backend.backend().RunBefore(entries, [&] {
    training = std::thread([&] {
      trainer->TrainIndex(kLists, 2048, 5);
      trained = true;
    });
    // Until the training holds the writers back (or, where nothing holds it, is over).
    while (!trained && !log.Has("INFO Waiting for the writers of index 'straddle' to finish")) {
      std::this_thread::yield();
    }
  });
  UpsertRows(*writer, data, kItems, kItems + 30);
  training.join();
  versions.push_back(MapVersion(*trainer));
  trainer->TrainIndex(kLists, 2048, 5);
  versions.push_back(MapVersion(*trainer));

  auto fresh = Open("straddle", log);
  EXPECT_THAT(Unreachable(*fresh, data, 0, kItems + 30), ::testing::IsEmpty());
  EXPECT_TRUE(std::is_sorted(versions.begin(), versions.end()) &&
              std::adjacent_find(versions.begin(), versions.end()) == versions.end())
      << "map versions " << ::testing::PrintToString(versions);
}

// Items another writer stores while a training reads, and deletes (acknowledged) while
// the training files them: they stay deleted in every view.
TEST(TrainingBesideOthersTest, ADeleteAcknowledgedDuringATrainingStaysDeleted) {
  ScopedTestBackend backend;
  CapturedLog log;
  const Matrix<float> data = Clustered(kItems + 3, 2, kLists, 43);
  auto trainer = Filled("deletes", log, Rows(data, 0, kItems));
  auto other = Open("deletes", log);
  const std::vector<std::string> late = Ids(3, kItems);

  uint64_t late_records = 0;
  std::atomic<bool> deleted{false};
  const auto remove = [&] {
    if (!deleted.exchange(true)) other->Delete(late);
  };
  Fault scan;
  scan.operation = "BatchGetVariable";
  scan.kind = DATA;
  backend.backend().RunBefore(scan, [&] {
    // A writer that goes by its own counters (an engine of its own), as a handle that
    // does not hold back for a training would.
    auto engine = EncryptedIndexCore::Load(Shallow("deletes"), log.logger());
    ItemBatch batch;
    batch.input_tokens = {0, 0, 0};
    batch.item_ids = late;
    const Matrix<float> three = Rows(data, kItems, kItems + 3);
    std::vector<uint8_t> bytes(three.data.size() * sizeof(float));
    std::memcpy(bytes.data(), three.data.data(), bytes.size());
    batch.payloads = Matrix<uint8_t>(std::move(bytes), 2 * sizeof(float));
    batch.contents = {{1}, {2}, {3}};
    batch.metadata = {"", "", ""};
    engine->AddItems(batch);
    late_records = backend.backend().CallCount("BatchPushVariable", DATA);
    // Once a training has read the late items back with their contents, all it may
    // still write is their entries.
    backend.backend().RunBefore(Fault{.operation = "BatchGetVariable", .kind = ITEMS}, remove);
  });
  trainer->TrainIndex(kLists, 2048, 5);
  EXPECT_EQ(backend.backend().CallCount("BatchPushVariable", DATA), late_records)
      << "a training writes no record";
  remove();

  auto fresh = Open("deletes", log);
  EXPECT_THAT(fresh->Get(late, {}), ::testing::IsEmpty());
  const std::vector<std::string> listed = fresh->ListIDs();
  for (const std::string& id : late) EXPECT_THAT(listed, ::testing::Not(::testing::Contains(id)));
  EXPECT_EQ(listed.size(), kItems);
  EXPECT_EQ(Unreachable(*fresh, data, kItems, kItems + 3), late) << "no late item answers";
  EXPECT_THAT(Unreachable(*fresh, data, 0, kItems), ::testing::IsEmpty());
}

// Another handle's query at each step of a training answers from complete entries, or
// fails saying a training is running; an upsert meanwhile waits and then fails the same
// way, having written nothing. Neither ever meets a missing counter map.
TEST(TrainingBesideOthersTest, OtherHandlesDuringATrainingAnswerInFullOrSayWhy) {
  ScopedTestBackend backend;
  CapturedLog log;
  internal::SetTrainingWaitLimitForTesting(50);
  const Matrix<float> data = Clustered(kItems + 1, 2, kLists, 44);
  auto trainer = Filled("during", log, Rows(data, 0, kItems));
  trainer->TrainIndex(kLists, 2048, 5);
  auto other = Open("during", log);

  struct Step {
    const char* name;
    Fault when;
  };
  const Step steps[] = {
      {"reading the items", Fault{.operation = "BatchGetVariable", .kind = DATA}},
      {"writing the new records", Fault{.operation = "CompareAndSetConfigItem", .kind = CONFIG}},
      {"writing the entries", Fault{.operation = "BatchPushVariable", .kind = INDEX}},
  };
  const std::string rebuilding =
      "A training of index 'during' is rebuilding its entries; try again when it has finished";
  const std::string held =
      "Error ingesting: A training of index 'during' is running and holds writers back; try again "
      "when it has finished";
  for (const Step& step : steps) {
    std::string query;
    std::string upsert;
    std::vector<std::string> unreachable;
    backend.backend().RunBefore(step.when, [&] {
      query = ThrownText([&] { unreachable = Unreachable(*other, data, 0, kItems); });
      upsert = ThrownText([&] { UpsertRows(*other, data, kItems, kItems + 1); });
    });
    trainer->TrainIndex(kLists, 2048, 5);
    EXPECT_THAT(query, ::testing::AnyOf("none", rebuilding)) << step.name;
    if (query == "none") {
      EXPECT_THAT(unreachable, ::testing::IsEmpty()) << step.name;
    }
    EXPECT_EQ(upsert, held) << step.name;
    EXPECT_THAT(other->Get({"id" + std::to_string(kItems)}, {}), ::testing::IsEmpty()) << step.name;
  }
  internal::SetTrainingWaitLimitForTesting(120000);
  EXPECT_THAT(Unreachable(*other, data, 0, kItems), ::testing::IsEmpty());
}

// A lost counter map keeps no process from opening the index; queries and upserts refuse
// with advice that an open handle can follow, and training rebuilds. With nothing stored
// the index is simply empty; after another handle deleted it, everything says so.
TEST(TrainingBesideOthersTest, AnIndexWithoutItsMapOpensAndTrainsAndADeletedOneSaysSo) {
  ScopedTestBackend backend;
  CapturedLog log;
  const Matrix<float> data = Clustered(kItems, 2, kLists, 45);
  auto first = Filled("mapless", log, data);
  first->core->index_store->DeleteIndex();
  const std::string missing = "The counter map of index 'mapless' is missing from its index store; "
                              "train the index to rebuild its entries";

  auto loaded = Open("mapless", log);
  EXPECT_EQ(ThrownText([&] { Unreachable(*loaded, data, 0, 1); }), missing);
  EXPECT_EQ(ThrownText([&] { UpsertRows(*loaded, data, 0, 1); }), "Error ingesting: " + missing);
  EXPECT_TRUE(loaded->TrainIndex(kLists, 2048, 5));
  EXPECT_THAT(Unreachable(*loaded, data, 0, kItems), ::testing::IsEmpty());

  auto empty = std::make_unique<EncryptedIndex>("empty", TestKey(), IndexIVFFlat(0), Shallow("empty"),
                                                log.logger(), nullptr);
  empty->core->index_store->DeleteIndex();
  auto reopened = Open("empty", log);
  EXPECT_EQ(reopened->GetNumVectors(), 0u);
  EXPECT_THAT(reopened->ListIDs(), ::testing::IsEmpty());

  auto doomed = Open("mapless", log);
  loaded->DeleteIndex();
  const std::string gone = "Index 'mapless' no longer exists: it was deleted";
  EXPECT_EQ(ThrownText([&] { Unreachable(*doomed, data, 0, 1); }), gone);
  EXPECT_EQ(ThrownText([&] { doomed->GetNumVectors(); }), gone);
  EXPECT_EQ(ThrownText([&] { doomed->TrainIndex(kLists, 2048, 5); }), gone);
}

}  // namespace
}  // namespace ombrix
