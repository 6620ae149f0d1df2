// What other handles leave behind when they stop at the wrong moment, on the test backend
// whose clock only the test moves: a training's configuration written late over a newer
// training's, queries while a training recovers an abandoned rebuild, a handle kept across
// a deletion and re-creation of its index, a lost counter map, a training whose end was
// lost, and a deletion that stopped half way. None of them may answer or write under a
// configuration the entries were not built with.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "backing_store/testing/test_keystore.h"
#include "encrypted_store/training_state.h"
#include "index/encrypted_index.h"
#include "index/index_test_util.h"

namespace ombrix {
namespace {

using index_testing::CapturedLog;
using index_testing::Clustered;
using index_testing::FilledIndex;
using index_testing::Ids;
using index_testing::Rows;
using index_testing::ShallowSettings;
using index_testing::ThrownText;
using index_testing::UpsertRows;
using ombrix_encrypted_index::internal::backing_store::HoldKind;
using ombrix_encrypted_index::internal::backing_store::test_support::Fault;
using ombrix_encrypted_index::internal::backing_store::test_support::TestBackend;
using ombrix_encrypted_index::internal::backing_store::test_support::ScopedTestBackend;

constexpr uint64_t kItems = 10000;
constexpr uint64_t kLease = 40'000;  // the default lease
constexpr uint64_t kEveryList = 64;  // probes: capped at the list count of either training

std::unique_ptr<EncryptedIndex> Open(const std::string& name, CapturedLog& log) {
  return index_testing::OpenExisting(ShallowSettings(name), log.logger());
}

std::vector<std::string> Unreachable(EncryptedIndex& index, const Matrix<float>& data, uint64_t first,
                                     uint64_t end) {
  return index_testing::MissedOwnRows(index, data, first, end, kEveryList);
}

// Every call of `kept` but its deletion says the index is gone.
void EverySaysGone(EncryptedIndex& kept, const Matrix<float>& data, const std::string& id) {
  const std::string gone = "Index '" + kept.name + "' no longer exists: it was deleted";
  EXPECT_EQ(ThrownText([&] { UpsertRows(kept, data, kItems, kItems + 200); }), "Error ingesting: " + gone);
  EXPECT_EQ(ThrownText([&] { Unreachable(kept, data, 0, 10); }), gone);
  EXPECT_EQ(ThrownText([&] { kept.TrainIndex(8, 2048, 5); }), gone);
  EXPECT_EQ(ThrownText([&] { kept.Delete({id}); }), gone);
  EXPECT_EQ(ThrownText([&] { kept.Get({id}, {}); }), gone);
  EXPECT_EQ(ThrownText([&] { kept.ListIDs(); }), gone);
  EXPECT_EQ(ThrownText([&] { kept.GetNumVectors(); }), gone);
}

const Fault kConfigWrite{.operation = "CompareAndSetConfigItem", .kind = CONFIG};
const Fault kEntryWrite{.operation = "BatchPushVariable", .kind = INDEX};
const std::string kIncomplete =
    "The index entries of index '%s' are incomplete: a training did not finish rebuilding them; "
    "train the index to rebuild its entries";

std::string Incomplete(const std::string& name) {
  std::string text = kIncomplete;
  return text.replace(text.find("%s"), 2, name);
}

// A training stalls past its lease right before it stores its configuration (stopped, or
// its write held in the network); a second training of another handle, into another list
// count, goes ahead and finishes. The late write lands afterwards and must not replace the
// second training's configuration: every handle, old and new, answers every item without
// another training, and the stalled training says it lost the index.
TEST(StaleWritesTest, AConfigurationWrittenLateNeverReplacesANewerTrainings) {
  ScopedTestBackend backend;
  CapturedLog log;
  const Matrix<float> data = Clustered(kItems, 2, 16, 61);
  auto late = FilledIndex(ShallowSettings("late"), log.logger(), data);
  auto other = Open("late", log);

  std::string second = "not run";
  backend.backend().RunBefore(kConfigWrite, [&] {
    backend.backend().AdvanceClock(kLease + 1);
    second = ThrownText([&] { other->TrainIndex(16, 2048, 5); }, false);
  });
  const std::string first = ThrownText([&] { late->TrainIndex(4, 2048, 5); });

  EXPECT_EQ(second, "none");
  EXPECT_THAT(first, ::testing::HasSubstr("lost its hold")) << first;
  auto fresh = Open("late", log);
  EXPECT_EQ(fresh->config->n_lists(), 16u);
  EXPECT_THAT(Unreachable(*fresh, data, 0, kItems), ::testing::IsEmpty());
  EXPECT_THAT(Unreachable(*other, data, 0, kItems), ::testing::IsEmpty());
  EXPECT_THAT(Unreachable(*late, data, 0, kItems), ::testing::IsEmpty()) << "the stalled handle too";
}

// A configuration that is not the one the entries were built with (written by a process
// of an earlier build, or by hand) is never answered from: queries and upserts refuse.
TEST(StaleWritesTest, AConfigurationOfAnotherTrainingIsRefusedNotAnsweredFrom) {
  ScopedTestBackend backend;
  CapturedLog log;
  const Matrix<float> data = Clustered(kItems + 1, 2, 8, 62);
  auto index = FilledIndex(ShallowSettings("foreign"), log.logger(), Rows(data, 0, kItems));
  index->TrainIndex(8, 2048, 5);
  auto writer = EncryptedIndexCore::Load(ShallowSettings("foreign"), log.logger());
  const std::vector<uint8_t> trained = writer->GetDecryptedConfigItem("foreign.ovs");
  std::string name = "foreign";
  std::unique_ptr<IndexConfig> config = std::make_unique<IndexIVFFlat>(2);
  Quantizers none;
  bool untrained = false;
  uint32_t version = 0;
  writer->SaveStoredConfig(SerializeIndexConfig(IndexView{name, config, none, untrained, version}));

  auto fresh = Open("foreign", log);
  EXPECT_EQ(ThrownText([&] { Unreachable(*fresh, data, 0, 10); }), Incomplete("foreign"));
  EXPECT_EQ(ThrownText([&] { UpsertRows(*fresh, data, kItems, kItems + 1); }),
            "Error ingesting: " + Incomplete("foreign"));
  writer->SaveStoredConfig(trained);
  EXPECT_THAT(Unreachable(*fresh, data, 0, kItems), ::testing::IsEmpty());
}

// A training dies half way through its rebuild; a second one recovers the index. From the
// second one's start until it finishes, queries refuse (they would read the first one's
// configuration over half rewritten entries); afterwards every item answers.
TEST(StaleWritesTest, QueriesWaitWhileATrainingRecoversAnAbandonedRebuild) {
  ScopedTestBackend backend;
  CapturedLog log;
  internal::SetTrainingWaitLimitForTesting(50);
  const Matrix<float> data = Clustered(kItems, 2, 8, 63);
  auto dying = FilledIndex(ShallowSettings("recover"), log.logger(), data);
  dying->TrainIndex(8, 2048, 5);
  auto recovering = Open("recover", log);
  auto reader = Open("recover", log);

  std::vector<std::string> during;
  backend.backend().RunBefore(kEntryWrite, [&] {
    // The first training's process is gone: its lease runs out, nothing of it goes on.
    backend.backend().AdvanceClock(kLease + 1);
    during.push_back(ThrownText([&] { Unreachable(*reader, data, 0, 50); }, false));
    for (const char* step : {"BatchGetVariable", "GetAllKeys"}) {
      backend.backend().RunBefore(Fault{.operation = step, .kind = DATA}, [&] {
        during.push_back(ThrownText([&] { Unreachable(*reader, data, 0, 50); }, false));
      });
    }
    EXPECT_TRUE(recovering->TrainIndex(8, 2048, 5));
  });
  ThrownText([&] { dying->TrainIndex(4, 2048, 5); });
  internal::SetTrainingWaitLimitForTesting(120'000);

  ASSERT_EQ(during.size(), 3u);
  EXPECT_EQ(during[0], Incomplete("recover")) << "the rebuild was abandoned";
  const std::string waited = "A training of index 'recover' is rebuilding its entries; try again when it has finished";
  EXPECT_EQ(during[1], waited) << "while the recovery reads the items";
  EXPECT_EQ(during[2], waited) << "while the recovery files the items it did not read";
  EXPECT_THAT(Unreachable(*reader, data, 0, kItems), ::testing::IsEmpty());
}

// A handle kept across another handle's deletion and re-creation of its index (same name
// and key) writes nothing into the new index and answers nothing from it, whatever
// dimension the new one has: the handle's configuration is not the new index's.
TEST(StaleWritesTest, AHandleKeptAcrossADeletionAndRecreationSaysTheIndexIsGone) {
  for (const uint64_t new_dimension : {2, 4}) {
    SCOPED_TRACE(new_dimension);
    ScopedTestBackend backend;
    CapturedLog log;
    const std::string name = "again" + std::to_string(new_dimension);
    const Matrix<float> data = Clustered(kItems + 200, 2, 8, 64);
    auto kept = FilledIndex(ShallowSettings(name), log.logger(), Rows(data, 0, kItems));
    kept->TrainIndex(8, 2048, 5);
    auto deleter = Open(name, log);
    deleter->DeleteIndex();
    auto recreated = std::make_unique<EncryptedIndex>(name, index_testing::TestKey(), IndexIVFFlat(new_dimension),
                                                      ShallowSettings(name), log.logger(), nullptr);
    Matrix<float> first = Clustered(1, new_dimension, 1, 65);
    recreated->Upsert({"new"}, first, {}, {});

    EverySaysGone(*kept, data, "new");
    auto fresh = Open(name, log);
    EXPECT_EQ(fresh->ListIDs(), std::vector<std::string>{"new"}) << "nothing of the kept handle's";
  }
}

// The same name made again under another key: the kept handle's stores (named by its key)
// are empty, while records of its name exist, the new index's. Neither a trained nor an
// untrained kept handle answers, writes a row, or removes or replaces a record of the new
// index, its deletion included.
TEST(StaleWritesTest, AHandleKeptAcrossARecreationUnderAnotherKeyTouchesNothing) {
  for (const bool trained : {false, true}) {
    SCOPED_TRACE(trained);
    ScopedTestBackend backend;
    CapturedLog log;
    const std::string name = trained ? "rekeyed_trained" : "rekeyed";
    const Matrix<float> data = Clustered(kItems + 200, 2, 8, 66);
    auto kept = FilledIndex(ShallowSettings(name), log.logger(), Rows(data, 0, kItems));
    if (trained) kept->TrainIndex(8, 2048, 5);
    Open(name, log)->DeleteIndex();
    IndexSettings other_key = ShallowSettings(name);
    static_cast<std::array<uint8_t, 32>&>(other_key.index_key) = index_testing::TestKey(99);
    {
      EncryptedIndex recreated(name, index_testing::TestKey(99), IndexIVFFlat(2), other_key, log.logger(), nullptr);
      UpsertRows(recreated, data, kItems, kItems + 20);
    }
    const uint64_t kept_rows = backend.backend().KeptEverywhere();

    EverySaysGone(*kept, data, "id0");
    EXPECT_EQ(ThrownText([&] { kept->DeleteIndex(); }), "Index '" + name + "' no longer exists: it was deleted");
    EXPECT_EQ(backend.backend().KeptEverywhere(), kept_rows) << "the kept handle wrote or removed something";
    auto fresh = index_testing::OpenExisting(other_key, log.logger());
    EXPECT_EQ(fresh->ListIDs().size(), 20u);
  }
}

// A deletion of an index another handle deleted already says so and writes nothing; one
// that resumes after losing its hold, once the index was deleted by another process and
// made again under the same key, leaves the new index's records in place.
TEST(StaleWritesTest, ADeletionOfAnIndexDeletedAlreadyWritesNoRecord) {
  ScopedTestBackend backend;
  CapturedLog log;
  const Matrix<float> data = Clustered(kItems + 20, 2, 8, 67);
  auto first = FilledIndex(ShallowSettings("twice"), log.logger(), Rows(data, 0, kItems));
  auto second = Open("twice", log);
  first->DeleteIndex();
  EXPECT_EQ(ThrownText([&] { second->DeleteIndex(); }), "Index 'twice' no longer exists: it was deleted");
  EXPECT_EQ(backend.backend().KeptEverywhere(), 0u);

  auto stale = FilledIndex(ShallowSettings("twice"), log.logger(), Rows(data, 0, kItems));
  auto other = Open("twice", log);
  backend.backend().RunBefore(kConfigWrite, [&] {
    backend.backend().AdvanceClock(kLease + 1);
    other->DeleteIndex();
    FilledIndex(ShallowSettings("twice"), log.logger(), Rows(data, kItems, kItems + 20));
  });
  EXPECT_THAT(ThrownText([&] { stale->DeleteIndex(); }), ::testing::HasSubstr("no longer exists"));
  EXPECT_EQ(Open("twice", log)->GetNumVectors(), 20u);

  // Stalled past its lease right after clearing the data store: the rows it then finds are
  // the new index's, not rows it failed to remove.
  auto stalled = Open("twice", log);
  backend.backend().RunBefore(Fault{.operation = "GetNumItems", .kind = DATA}, [&] {
    backend.backend().AdvanceClock(kLease + 1);
    Open("twice", log)->DeleteIndex();
    FilledIndex(ShallowSettings("twice"), log.logger(), Rows(data, kItems, kItems + 20));
  });
  EXPECT_EQ(ThrownText([&] { stalled->DeleteIndex(); }), "Index 'twice' no longer exists: it was deleted");
  EXPECT_EQ(Open("twice", log)->GetNumVectors(), 20u);

  // A training whose hold is granted just after another handle finished deleting the index.
  auto trainer = Open("twice", log);
  backend.backend().RunBefore(Fault{.operation = "TakeHold", .kind = INDEX}, [&] { Open("twice", log)->DeleteIndex(); });
  EXPECT_EQ(ThrownText([&] { trainer->TrainIndex(8, 2048, 5); }), "Index 'twice' no longer exists: it was deleted");
  EXPECT_EQ(backend.backend().KeptEverywhere(), 0u) << "the training wrote a state into the deleted index";
}

// A creation stalls past its lease right before its configuration record; another process
// follows the texts (loads the half-made index, deletes it) and makes the name again, with
// the same key or another. The stalled write lands after the new creation, or between the
// deletion and it: either way the new index keeps its records and every item, and the
// stalled creation fails saying it lost its hold.
TEST(StaleWritesTest, ACreationThatLostItsHoldLeavesTheIndexMadeAgainWhole) {
  for (const bool same_key : {true, false}) {
    for (const bool lands_between : {false, true}) {
      SCOPED_TRACE(std::to_string(same_key) + std::to_string(lands_between));
      ScopedTestBackend backend;
      CapturedLog log;
      IndexSettings again = ShallowSettings("made");
      if (!same_key) static_cast<std::array<uint8_t, 32>&>(again.index_key) = index_testing::TestKey(99);
      const Matrix<float> data = Clustered(20, 2, 2, 68);
      auto make_again = [&] {
        EncryptedIndex made("made", again.index_key, IndexIVFFlat(2), again, log.logger(), nullptr);
        UpsertRows(made, data, 0, 20);
      };
      backend.backend().RunBefore(Fault{.nth = 2, .operation = "CompareAndSetConfigItem", .kind = CONFIG}, [&] {
        backend.backend().AdvanceClock(kLease + 1);
        auto half_made = Open("made", log);
        EXPECT_THAT(ThrownText([&] { half_made->ListIDs(); }, false), ::testing::HasSubstr("did not finish"));
        half_made->DeleteIndex();
        // The creation's next call after its write.
        if (lands_between) {
          backend.backend().RunBefore(Fault{.operation = "RenewHold", .kind = std::nullopt}, make_again);
        }
        if (!lands_between) make_again();
      });
      EXPECT_THAT(ThrownText([&] { FilledIndex(ShallowSettings("made"), log.logger(), data); }),
                  ::testing::HasSubstr("hold"));
      EXPECT_EQ(index_testing::OpenExisting(again, log.logger())->ListIDs().size(), 20u);
    }
  }
}

// A writer fixing the dimension stalls past its lease between the configuration record and
// the index record; the index is deleted and made again under another key. The late index
// record lands over nothing of the new index, which still loads with its key.
TEST(StaleWritesTest, AWriterFixingTheDimensionWritesNoIndexRecordOverTheIndexMadeAgain) {
  ScopedTestBackend backend;
  CapturedLog log;
  const Matrix<float> data = Clustered(30, 2, 2, 70);
  IndexSettings other_key = ShallowSettings("sized");
  static_cast<std::array<uint8_t, 32>&>(other_key.index_key) = index_testing::TestKey(99);
  auto writer = std::make_unique<EncryptedIndex>("sized", index_testing::TestKey(), IndexIVFFlat(0),
                                                 ShallowSettings("sized"), log.logger(), nullptr);
  backend.backend().RunBefore(Fault{.nth = 3, .operation = "", .kind = CONFIG}, [&] {
    backend.backend().AdvanceClock(kLease + 1);
    Open("sized", log)->DeleteIndex();
    EncryptedIndex again("sized", other_key.index_key, IndexIVFFlat(2), other_key, log.logger(), nullptr);
    UpsertRows(again, data, 10, 30);
  });
  ThrownText([&] { UpsertRows(*writer, data, 0, 10); });
  EXPECT_EQ(index_testing::OpenExisting(other_key, log.logger())->ListIDs().size(), 20u);
}

// A handle whose index another handle deleted earlier deletes again while a new creation of
// the name under the same key stalls past its lease: the stale deletion says the index is
// gone and removes no record of the creation, and a creation that fails says to create the
// index again.
TEST(StaleWritesTest, AStaleDeletionLeavesACreationInProgressAlone) {
  // Before the index record, before the configuration record, before the first write of the
  // index store.
  const Fault stalls[] = {{.nth = 1, .operation = "CompareAndSetConfigItem", .kind = CONFIG},
                          {.nth = 2, .operation = "CompareAndSetConfigItem", .kind = CONFIG},
                          {.nth = 1, .operation = "PushMap", .kind = INDEX}};
  for (const Fault& stall : stalls) {
    SCOPED_TRACE(stall.operation + std::to_string(stall.nth));
    ScopedTestBackend backend;
    CapturedLog log;
    auto stale = FilledIndex(ShallowSettings("creating"), log.logger(), Clustered(10, 2, 2, 69));
    Open("creating", log)->DeleteIndex();
    std::string deletion = "not run";
    backend.backend().RunBefore(stall, [&] {
      backend.backend().AdvanceClock(kLease + 1);
      const uint64_t kept = backend.backend().KeptEverywhere();
      deletion = ThrownText([&] { stale->DeleteIndex(); }, false);
      EXPECT_EQ(backend.backend().KeptEverywhere(), kept) << "the stale deletion removed or wrote something";
    });
    const std::string creation =
        ThrownText([&] { FilledIndex(ShallowSettings("creating"), log.logger(), Clustered(10, 2, 2, 69)); });
    EXPECT_EQ(deletion, "Index 'creating' no longer exists: it was deleted");
    // Held past its lease, the creation may fail; it then says what to do about the name.
    if (creation != "none") {
      EXPECT_THAT(creation, ::testing::HasSubstr("create the index again")) << creation;
    }
  }
}

// A writer stalls past its lease right before its contents or its records; another handle
// deletes the index and makes it again under the same name and key. Where the index
// store's holds fence the data and items stores, the stalled writer writes neither when it
// goes on: the new index holds no record and no contents of the deleted one.
TEST(StaleWritesTest, AWriterThatLostItsHoldWritesNoRecordsOrContents) {
  for (const int32_t stalled_store : {ITEMS, DATA}) {
    SCOPED_TRACE(stalled_store);
    ScopedTestBackend backend;
    backend.backend().FenceByHoldsOfOtherStores();
    CapturedLog log;
    const Matrix<float> data = Clustered(20, 2, 2, 66);
    auto writer = FilledIndex(ShallowSettings("fenced"), log.logger(), Rows(data, 0, 10));
    auto deleter = Open("fenced", log);
    std::unique_ptr<EncryptedIndex> recreated;
    backend.backend().RunBefore(Fault{.operation = "BatchPushVariable", .kind = stalled_store}, [&] {
      backend.backend().AdvanceClock(kLease + 1);
      deleter->DeleteIndex();
      recreated = std::make_unique<EncryptedIndex>("fenced", index_testing::TestKey(), IndexIVFFlat(2),
                                                   ShallowSettings("fenced"), log.logger(), nullptr);
    });
    Matrix<float> rows = Rows(data, 10, 20);
    const std::vector<std::vector<uint8_t>> contents(10, std::vector<uint8_t>{'c'});
    const std::string stalled = ThrownText([&] {
      writer->Upsert(Ids(10, 10), rows, stalled_store == ITEMS ? contents : std::vector<std::vector<uint8_t>>{}, {});
    });

    EXPECT_THAT(stalled, ::testing::HasSubstr("hold")) << stalled;
    ASSERT_NE(recreated, nullptr);
    auto core = EncryptedIndexCore::Load(ShallowSettings("fenced"), log.logger());
    EXPECT_EQ(core->data_store->GetNumItems(), 0u);
    EXPECT_EQ(core->items_store->GetNumItems(), 0u);
    EXPECT_THAT(Open("fenced", log)->ListIDs(), ::testing::IsEmpty());
  }
}

// An item delete stalls right after its check; another handle deletes the index and makes
// it again under the same name and key, with the same ids. The delete, going on, removes
// nothing of the new index and says the old one is gone.
TEST(StaleWritesTest, AnItemDeleteStalledAfterItsCheckRemovesNothingOfTheIndexMadeAgain) {
  ScopedTestBackend backend;
  backend.backend().FenceByHoldsOfOtherStores();
  CapturedLog log;
  const Matrix<float> data = Clustered(10, 2, 2, 67);
  const std::vector<std::vector<uint8_t>> contents(10, std::vector<uint8_t>{'c'});
  auto stale = FilledIndex(ShallowSettings("undeleted"), log.logger(), data);
  backend.backend().RunBefore(Fault{.operation = "BatchDeleteCarriedWhileState", .kind = INDEX}, [&] {
    Open("undeleted", log)->DeleteIndex();
    EncryptedIndex again("undeleted", index_testing::TestKey(), IndexIVFFlat(2), ShallowSettings("undeleted"),
                         log.logger(), nullptr);
    Matrix<float> copy = data;
    again.Upsert(Ids(10), copy, contents, {});
  });
  EXPECT_EQ(ThrownText([&] { stale->Delete(Ids(5)); }), "Index 'undeleted' no longer exists: it was deleted");

  auto core = EncryptedIndexCore::Load(ShallowSettings("undeleted"), log.logger());
  EXPECT_EQ(core->data_store->GetNumItems(), 10u);
  EXPECT_EQ(core->items_store->GetNumItems(), 10u);
  // Where nothing stepped in, the delete goes through in one step.
  auto fresh = Open("undeleted", log);
  fresh->Delete(Ids(5));
  EXPECT_THAT(fresh->ListIDs(), ::testing::UnorderedElementsAreArray(Ids(5, 5)));
}

// The same delete where the contents, the records or both live on another server than
// the index store: the stores on its server go in the checked step, the others only after
// it. The index is made again right before the delete's first removal, whichever store's
// it is: nothing of the new index goes, and a delete nobody steps into still removes the
// ids from every store.
TEST(StaleWritesTest, AnItemDeleteBesideStoresElsewhereRemovesNothingOfTheIndexMadeAgain) {
  const std::vector<std::vector<int32_t>> elsewhere_rows = {{ITEMS}, {DATA}, {ITEMS, DATA}};
  for (const std::vector<int32_t>& elsewhere : elsewhere_rows) {
    SCOPED_TRACE(::testing::PrintToString(elsewhere));
    ScopedTestBackend backend;
    backend.backend().FenceByHoldsOfOtherStores();
    for (const int32_t kind : elsewhere) backend.backend().PlaceOnAnotherServer(kind);
    CapturedLog log;
    const Matrix<float> data = Clustered(10, 2, 2, 68);
    const std::vector<std::vector<uint8_t>> contents(10, std::vector<uint8_t>{'c'});
    auto stale = FilledIndex(ShallowSettings("elsewhere"), log.logger(), data);
    bool made_again = false;
    const auto make_again = [&] {
      if (std::exchange(made_again, true)) return;
      Open("elsewhere", log)->DeleteIndex();
      EncryptedIndex again("elsewhere", index_testing::TestKey(), IndexIVFFlat(2), ShallowSettings("elsewhere"),
                           log.logger(), nullptr);
      Matrix<float> copy = data;
      again.Upsert(Ids(10), copy, contents, {});
    };
    backend.backend().RunBefore(Fault{.operation = "BatchDeleteCarriedWhileState", .kind = INDEX}, make_again);
    for (const int32_t kind : {DATA, ITEMS}) {
      backend.backend().RunBefore(Fault{.operation = "BatchDeleteItems", .kind = kind}, make_again);
    }
    EXPECT_EQ(ThrownText([&] { stale->Delete(Ids(5)); }), "Index 'elsewhere' no longer exists: it was deleted");
    backend.backend().ClearFaults();

    ASSERT_TRUE(made_again);
    auto core = EncryptedIndexCore::Load(ShallowSettings("elsewhere"), log.logger());
    EXPECT_EQ(core->data_store->GetNumItems(), 10u);
    EXPECT_EQ(core->items_store->GetNumItems(), 10u);
    auto fresh = Open("elsewhere", log);
    fresh->Delete(Ids(5));
    EXPECT_THAT(fresh->ListIDs(), ::testing::UnorderedElementsAreArray(Ids(5, 5)));
    EXPECT_EQ(core->items_store->GetNumItems(), 5u);
  }
}

// Only the counter map is lost (its version stays): a training in the same process
// rebuilds it, and every item answers again.
TEST(StaleWritesTest, ALostCounterMapWhoseVersionStayedTrainsBack) {
  ScopedTestBackend backend;
  CapturedLog log;
  const Matrix<float> data = Clustered(kItems, 2, 8, 66);
  auto index = FilledIndex(ShallowSettings("lostmap"), log.logger(), data);
  index->TrainIndex(8, 2048, 5);
  index->core->index_store->DeleteItem(kCounterMapKey);

  EXPECT_THAT(ThrownText([&] { Unreachable(*index, data, 0, 10); }), ::testing::HasSubstr("counter map"));
  EXPECT_EQ(ThrownText([&] { index->TrainIndex(8, 2048, 5); }), "none");
  EXPECT_THAT(Unreachable(*index, data, 0, kItems), ::testing::IsEmpty());
}

// The record of a training's end is lost: with the hold gone on the store (a server that
// ended the session, and its locks with it) the training takes the index again and records
// its end; with a reply lost after the end was stored it sees the end recorded; when
// another training took the index meanwhile it says it could not record its end.
TEST(StaleWritesTest, ATrainingWhoseEndWasLostRecordsItWhenNobodyTookTheIndex) {
  // The fourth compare-and-set of the map hash in a training: begin, rebuild, counter
  // map, end.
  const Fault end{.nth = 4, .operation = "PushMap", .kind = INDEX};
  // kSessionKept: the end's reply is lost and its connection goes silent, while the server
  // keeps the old session, and its hold, until it ends it.
  enum Case { kHoldGone, kReplyLost, kSessionKept, kTakenOver };
  for (const Case c : {kHoldGone, kReplyLost, kSessionKept, kTakenOver}) {
    SCOPED_TRACE(c);
    ScopedTestBackend backend;
    CapturedLog log;
    const std::string name = "end" + std::to_string(c);
    const Matrix<float> data = Clustered(kItems, 2, 8, 67);
    auto index = FilledIndex(ShallowSettings(name), log.logger(), data);
    auto other = Open(name, log);
    std::unique_ptr<EncryptedIndexCore> keep_alive;
    if (c == kReplyLost) {
      Fault lost = end;
      lost.reply_lost = true;
      lost.message = "connection reset by peer";
      backend.backend().InjectFault(lost);
    } else if (c == kSessionKept) {
      auto stale_session = EncryptedIndexCore::Load(ShallowSettings(name), log.logger());
      backend.backend().RunBefore(Fault{.nth = 3, .operation = "PushMap", .kind = INDEX}, [&, stale_session = stale_session.get()] {
        TestBackend& server = backend.backend();
        server.InjectFault(Fault{.operation = "PushMap", .kind = INDEX, .reply_lost = true});
        server.InjectFault(Fault{.nth = 2, .operation = "GetMap", .kind = INDEX, .sticky = true});
        server.RunBefore(Fault{.operation = "TakeHold", .kind = INDEX}, [&server, stale_session] {
          server.ClearFaults();
          stale_session->index_store->TakeHold(HoldKind::kExclusive, 99, kLease);
        });
      });
      keep_alive = std::move(stale_session);
    } else {
      backend.backend().RunBefore(end, [&] {
        backend.backend().AdvanceClock(kLease + 1);
        if (c == kTakenOver) {
          // Another training takes the index and stops before it ends, holding it.
          auto core = EncryptedIndexCore::Load(ShallowSettings(name), log.logger());
          core->BeginTraining();
        }
      });
    }
    const std::string trained = ThrownText([&] { index->TrainIndex(8, 2048, 5); });
    if (c == kTakenOver) {
      EXPECT_THAT(trained, ::testing::HasSubstr("could not record its end")) << trained;
      continue;
    }
    EXPECT_EQ(trained, "none");
    for (const std::string& line : log.Lines()) EXPECT_NE(line.rfind("ERROR", 0), 0u) << line;
    EXPECT_THAT(Unreachable(*other, data, 0, kItems), ::testing::IsEmpty());
    backend.backend().AdvanceClock(kLease + 1);  // the server ends a silent session
    EXPECT_EQ(ThrownText([&] { UpsertRows(*other, data, 0, 1); }), "none");
  }
}

// A deletion stops at each of its steps in turn. Every call of a handle kept across it says
// so, no training files the items left back into the index, a handle opened afterwards
// (from its index record alone, once the configuration record is gone) finishes it, and
// then nothing of the index is left in any store.
TEST(StaleWritesTest, ADeletionThatStoppedAtAnyStepSaysSoAndTheNextOneFinishesIt) {
  const Fault steps[] = {{.operation = "DeleteIndex", .kind = DATA},
                         {.operation = "DeleteIndex", .kind = ITEMS},
                         {.operation = "DeleteConfigItemIf", .kind = CONFIG},
                         {.operation = "DeleteIndex", .kind = INDEX},
                         {.nth = 2, .operation = "DeleteConfigItemIf", .kind = CONFIG}};
  for (Fault step : steps) {
    SCOPED_TRACE(step.operation + " " + std::to_string(*step.kind));
    ScopedTestBackend backend;
    CapturedLog log;
    const Matrix<float> data = Clustered(kItems + 1, 2, 8, 68);
    auto index = FilledIndex(ShallowSettings("halfway"), log.logger(), Rows(data, 0, kItems));
    index->TrainIndex(8, 2048, 5);
    auto other = Open("halfway", log);
    step.message = "process killed";
    backend.backend().InjectFault(step);
    EXPECT_THAT(ThrownText([&] { index->DeleteIndex(); }), ::testing::HasSubstr("process killed"));

    const std::string unfinished = "A deletion of index 'halfway' did not finish; delete it again";
    for (EncryptedIndex* handle : {other.get(), index.get()}) {
      EXPECT_EQ(ThrownText([&] { Unreachable(*handle, data, 0, 10); }), unfinished);
      EXPECT_EQ(ThrownText([&] { UpsertRows(*handle, data, kItems, kItems + 1); }), "Error ingesting: " + unfinished);
      EXPECT_EQ(ThrownText([&] { handle->TrainIndex(8, 2048, 5); }), unfinished);
      EXPECT_EQ(ThrownText([&] { handle->Get({"id0"}, {}); }), unfinished);
      EXPECT_EQ(ThrownText([&] { handle->Delete({"id0"}); }), unfinished);
      EXPECT_EQ(ThrownText([&] { handle->ListIDs(); }), unfinished);
      EXPECT_EQ(ThrownText([&] { handle->GetNumVectors(); }), unfinished);
    }
    EXPECT_EQ(ThrownText([&] { Open("halfway", log)->DeleteIndex(); }), "none");

    EXPECT_THAT(ThrownText([&] { Unreachable(*other, data, 0, 10); }), ::testing::HasSubstr("no longer exists"));
    EXPECT_EQ(backend.backend().KeptEverywhere(), 0u);
    auto recreated = FilledIndex(ShallowSettings("halfway"), log.logger(), Rows(data, kItems, kItems + 1));
    EXPECT_EQ(recreated->ListIDs(), std::vector<std::string>{"id0"});
  }
}

// A new index of dimension 2: its records are final from the start.
std::string Create(const IndexSettings& settings, CapturedLog& log) {
  return ThrownText([&] { EncryptedIndex(settings.index_name, settings.index_key, IndexIVFFlat(2), settings,
                                         log.logger(), nullptr); });
}

// Follows what a creation or deletion of "lost" told its caller; then the name is neither
// blocked nor half deleted: it is made (again), and deleted leaves nothing.
void FollowAndCheck(const std::string& text, bool deletion, CapturedLog& log, TestBackend& server) {
  const bool exists = (!deletion && text == "none") || (text.find("load the index;") != std::string::npos &&
                                                        ThrownText([&] { Open("lost", log)->ListIDs(); }) == "none");
  if (!exists && text != "none") {
    EXPECT_THAT(text, ::testing::ContainsRegex("create the index again|delete|try again"));
    if (deletion || text.find("delete it") != std::string::npos) Open("lost", log)->DeleteIndex();
  }
  EXPECT_EQ(server.KeptEverywhere() == 0, !exists);
  EXPECT_EQ(exists ? "none" : Create(ShallowSettings("lost"), log), "none");
  EXPECT_EQ(ThrownText([&] { Open("lost", log)->DeleteIndex(); }), "none");
  EXPECT_EQ(server.KeptEverywhere(), 0u);
}

// Each store call of a creation and of a deletion in turn commits and its answer is lost,
// or it answers "refused" as a statement sent again after its commit does: the call ends
// done, or with a text whose advice works.
TEST(StaleWritesTest, ACreationOrDeletionWhoseAnswerWasLostEndsTruthfully) {
  for (const int row : {0, 1, 2, 3}) {
    const bool deletion = row >= 2;
    const bool refused = row % 2 == 1;
    for (uint64_t nth = 1, fired = 1; fired; ++nth) {
      SCOPED_TRACE(std::to_string(deletion) + std::to_string(refused) + " call " + std::to_string(nth));
      ScopedTestBackend backend;
      CapturedLog log;
      auto index = deletion ? FilledIndex(ShallowSettings("lost"), log.logger(), Clustered(20, 2, 2, 71)) : nullptr;
      backend.backend().InjectFault({.nth = nth, .operation = "", .kind = std::nullopt, .message = "answer lost",
                                     .reply_lost = !refused, .refused_after_apply = refused});
      const uint64_t before = backend.backend().CallCount();
      const std::string text =
          deletion ? ThrownText([&] { index->DeleteIndex(); }) : Create(ShallowSettings("lost"), log);
      fired = backend.backend().CallCount() - before >= nth;
      backend.backend().ClearFaults();
      FollowAndCheck(text, deletion, log, backend.backend());
    }
  }
}

// A creation of a live index's name and key under another config table is refused, and
// the live index keeps its items and its handles.
TEST(StaleWritesTest, ACreationUnderAnotherConfigTableLeavesTheLiveIndexAlone) {
  ScopedTestBackend backend;
  CapturedLog log;
  auto live = FilledIndex(ShallowSettings("live"), log.logger(), Clustered(20, 2, 2, 72));
  IndexSettings other_table = ShallowSettings("live");
  other_table.config_location.table_name = "other_configs";
  EXPECT_EQ(Create(other_table, log), "Index name live already exists");
  EXPECT_EQ(live->ListIDs().size(), 20u);
}

// A creation stalls past its lease before its counter map, then before its configuration
// record, while another process loads the name and upserts.
TEST(StaleWritesTest, ACreationHeldPastItsLeaseKeepsEveryAcknowledgedItem) {
  for (const Fault& stall : {Fault{.nth = 2, .operation = "PushMap", .kind = INDEX},
                             Fault{.nth = 2, .operation = "CompareAndSetConfigItem", .kind = CONFIG}}) {
    ScopedTestBackend backend;
    CapturedLog log;
    std::string upsert;
    backend.backend().RunBefore(stall, [&] {
      backend.backend().AdvanceClock(kLease + 1);
      upsert = ThrownText([&] { UpsertRows(*Open("lost", log), Clustered(20, 2, 2, 73), 0, 20); }, false);
    });
    const std::string creation = Create(ShallowSettings("lost"), log);
    // Every acknowledged item is there; otherwise the creation's advice works.
    EXPECT_EQ(upsert == "none" ? Open("lost", log)->ListIDs().size() : 20u, 20u);
    if (upsert != "none") FollowAndCheck(creation, false, log, backend.backend());
  }
}

// An item delete failing at contents on another server after the records went says so, and
// deleting the same ids again removes the contents.
TEST(StaleWritesTest, AnItemDeleteFailingAtContentsElsewhereSaysItsRecordsWent) {
  ScopedTestBackend backend;
  CapturedLog log;
  auto index = FilledIndex(ShallowSettings("rows"), log.logger(), Clustered(10, 2, 2, 74));
  Matrix<float> data = Clustered(10, 2, 2, 74);
  index->Upsert(Ids(10), data, std::vector<std::vector<uint8_t>>(10, {'c'}), {});
  backend.backend().InjectFault(
      {.operation = "BatchDeleteItems", .kind = ITEMS, .message = "rows locked", .unreachable = true});
  EXPECT_THAT(ThrownText([&] { index->Delete(Ids(5)); }),
              ::testing::HasSubstr("removed their records but not their contents (rows locked)"));
  index->Delete(Ids(5));
  EXPECT_EQ(EncryptedIndexCore::Load(ShallowSettings("rows"), log.logger())->items_store->GetNumItems(), 5u);
}

}  // namespace
}  // namespace ombrix
