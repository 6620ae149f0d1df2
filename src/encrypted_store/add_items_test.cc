#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "encrypted_store/core_test_fixture.h"
#include "encrypted_store/engine_items_test_util.h"
#include "encrypted_store/item_keys.h"
#include "encrypted_store/labels.h"
#include "encrypted_store/sealing.h"
#include "encrypted_store/testing/recording_keystore.h"

namespace ombrix::testing_util {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

class AddItemsTest : public CoreTest {
 protected:
  std::unique_ptr<EncryptedIndexCore> MakeCore(uint64_t lists, uint64_t payload_size = kPayloadSize) {
    auto core = Create("items_" + std::to_string(next_name_++), 11, payload_size);
    if (lists != 1) core->ResizeVocabulary(lists);
    return core;
  }

  static std::string Refusal(EncryptedIndexCore& core, ItemBatch batch) {
    try {
      core.AddItems(batch);
    } catch (const std::exception& e) {
      return e.what();
    }
    return "accepted";
  }

  int next_name_ = 0;
};

TEST_F(AddItemsTest, StoresExactlyTheSpecifiedBytes) {
  auto core = MakeCore(4, 4);
  ItemBatch batch;
  batch.input_tokens = {3};
  batch.item_ids = {"abc"};
  batch.payloads = Matrix<uint8_t>({0xA1, 0xA2, 0xA3, 0xA4}, 4);
  batch.metadata = {"{}"};
  core->AddItems(batch);

  const uint64_t hash_id = DeriveItemKeys({"abc"}, core->data_store_name)[0];
  const std::vector<uint8_t> stored = core->data_store->BatchGetVariable({hash_id})[0];
  ASSERT_EQ(stored.size(), 49u);
  std::string error;
  EXPECT_EQ(DecryptBlob(stored, core->data_store_name, error),
            (std::vector<uint8_t>{2, 0, 0, 0, 3, 0, 0, 0, 'a', 'b', 'c', 3, 0, 0, 0, 0xA1, 0xA2,
                                  0xA3, 0xA4, '{', '}'}));

  uint64_t label = 0, mask = 0;
  LabelAndMask(core->salts_and_seeds[3], 0, 32, label, mask);
  std::vector<uint8_t> expected(8);
  for (int b = 0; b < 8; ++b) expected[b] = static_cast<uint8_t>((hash_id ^ mask) >> (8 * b));
  EXPECT_EQ(core->index_store->BatchGetVariable({label})[0], expected);
  EXPECT_TRUE(core->items_store->GetAllKeys().empty()) << "no contents were given";
}

TEST_F(AddItemsTest, NothingReadableAtRest) {
  auto core = MakeCore(2);
  std::vector<TestItem> items;
  for (int i = 0; i < 6; ++i) {
    items.push_back({"plainid-" + std::to_string(i), static_cast<uint32_t>(i % 2),
                     {1234.5678f + i, -8765.4321f * (i + 1)},
                     "{\"plainmeta\":\"visible-" + std::to_string(i) + "\"}",
                     std::vector<uint8_t>{'p', 'l', 'a', 'i', 'n', 'c', 'o', 'n', 't', static_cast<uint8_t>('0' + i)}});
  }
  ItemBatch batch = MakeBatch(items, true);
  core->AddItems(batch);
  ItemBatch again = MakeBatch({items[0]}, true);  // a replacement too
  core->AddItems(again);

  std::vector<std::vector<uint8_t>> needles;
  for (const TestItem& item : items) {
    needles.emplace_back(item.id.begin(), item.id.end());
    needles.emplace_back(item.metadata.begin(), item.metadata.end());
    needles.push_back(item.contents);
    std::vector<uint8_t> bytes(kPayloadSize);
    std::memcpy(bytes.data(), item.vector.data(), kPayloadSize);
    needles.push_back(bytes);  // the one 8-byte window of a 2-float vector
  }
  const std::vector<StoreSnapshot> stores = SnapshotAll(*core);
  ASSERT_GT(stores[0].values.size(), 6u);
  ASSERT_EQ(stores[1].values.size(), 6u);
  ASSERT_EQ(stores[3].values.size(), 6u);
  for (size_t s = 0; s < stores.size(); ++s) {
    std::vector<std::vector<uint8_t>> haystacks;
    for (const auto& [key, value] : stores[s].values) {
      std::vector<uint8_t> key_bytes(8);
      std::memcpy(key_bytes.data(), &key, 8);
      haystacks.push_back(key_bytes);
      haystacks.push_back(value);
    }
    for (const auto& [name, blob] : stores[s].config_items) {
      haystacks.emplace_back(name.begin(), name.end());
      haystacks.push_back(blob);
    }
    for (const auto& haystack : haystacks) {
      for (const auto& needle : needles) {
        EXPECT_EQ(std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()),
                  haystack.end())
            << "store " << s << " holds plaintext";
      }
    }
  }
}

TEST_F(AddItemsTest, InvalidReUpsertsChangeNothing) {
  auto core = MakeCore(2);
  ItemBatch first = MakeBatch({{"a", 0, {1, 2}, "{\"v\":1}", {'c'}}, {"b", 1, {3, 4}}}, true);
  core->AddItems(first);
  const std::vector<StoreSnapshot> before = SnapshotAll(*core);
  const uint64_t version = core->index_store->GetMap(kCounterMapKey, kCounterMapVersionKey).version;

  const TestItem replacement{"a", 1, {9, 9}, "{}", {'d'}};
  EXPECT_EQ(Refusal(*core, MakeBatch({replacement}, false, 2 * kPayloadSize)),
            "Payload column size does not match expected payload size");
  ItemBatch no_metadata = MakeBatch({replacement});
  no_metadata.metadata.clear();
  EXPECT_EQ(Refusal(*core, no_metadata), "Mismatched sizes for inputs or invalid row range");
  ItemBatch contents = MakeBatch({replacement, {"b", 0, {5, 5}}}, true);
  contents.contents.pop_back();
  EXPECT_EQ(Refusal(*core, contents), "Mismatch between the number of contents and IDs");
  EXPECT_EQ(Refusal(*core, MakeBatch({{"a", 2, {1, 1}}})),
            "List id 2 is out of range for a vocabulary of 2 lists");

  EXPECT_EQ(SnapshotAll(*core), before);
  EXPECT_EQ(core->index_store->GetMap(kCounterMapKey, kCounterMapVersionKey).version, version);
}

TEST_F(AddItemsTest, WritesInChunksLabelsBeforeRecords) {
  // A store that pushes the map with the first entries in one step has the existing
  // records read first; elsewhere the positions are taken first.
  for (const bool at_once : {false, true}) {
    SCOPED_TRACE(at_once);
    ScopedRecordingStores recording(scope_.shared_backend(), at_once);
    auto core = MakeCore(1);
    const auto road = [&](uint64_t n, uint64_t first) {
      const std::string read = "BatchGetVariable DATA " + std::to_string(n);
      if (!at_once) {
        return std::vector<std::string>{"GetMap INDEX 1", "PushMap INDEX 1", read,
                                        "BatchPushVariable INDEX " + std::to_string(first)};
      }
      return std::vector<std::string>{read, "GetMap INDEX 1", "PushMapAndValues INDEX " + std::to_string(first)};
    };
    const auto then = [](std::vector<std::string> calls, const std::vector<std::string>& rest) {
      calls.insert(calls.end(), rest.begin(), rest.end());
      return calls;
    };
    std::vector<TestItem> items(10001);
    for (size_t i = 0; i < items.size(); ++i) {
      items[i] = {"id" + std::to_string(i), 0, {1, 2}, "{}", i % 2 == 0 ? std::vector<uint8_t>{'c'} : std::vector<uint8_t>{}};
    }
    ItemBatch batch = MakeBatch(items, true);
    recording.calls().clear();
    core->AddItems(batch);
    // Empty contents are not written at all.
    EXPECT_EQ(recording.calls(),
              then(road(10001, 10000), {"BatchPushVariable ITEMS 5000", "BatchPushVariable DATA 10000",
                                        "BatchPushVariable INDEX 1", "BatchPushVariable ITEMS 1",
                                        "BatchPushVariable DATA 1"}));

    // Re-added ids are written over; only contents they no longer have go, and last.
    ItemBatch again = MakeBatch({items[4], items[5], {"new", 0, {0, 0}}}, true);
    recording.calls().clear();
    core->AddItems(again);
    EXPECT_EQ(recording.calls(), then(road(3, 3), {"BatchPushVariable ITEMS 1", "BatchPushVariable DATA 3",
                                                   "BatchDeleteItems ITEMS 1"}));
    ItemBatch bare = MakeBatch({items[6]});
    recording.calls().clear();
    core->AddItems(bare);
    EXPECT_EQ(recording.calls(), then(road(1, 1), {"BatchPushVariable DATA 1", "BatchDeleteItems ITEMS 1"}));
  }
}

// A re-upsert that fails at any write leaves each id with a record and contents that
// belong together, except at the two steps no order avoids: between contents and
// records, and when the old contents of an id re-added without any are taken away.
TEST_F(AddItemsTest, AFailedReUpsertKeepsEachItemWhole) {
  using Bytes = std::vector<uint8_t>;
  const std::vector<float> old_vector{1, 2}, new_vector{9, 9};
  struct Item {
    std::vector<float> vector;
    Bytes contents;
  };
  struct Case {
    std::string failing_operation;  // empty: nothing fails
    int32_t failing_kind;
    bool contents_given;  // the batch carries contents ("a" some, "b" none)
    Item a, b;
  };
  const Item a_old{old_vector, {'a'}}, b_old{old_vector, {'b'}};
  const Case cases[] = {
      {"BatchPushVariable", INDEX, true, a_old, b_old},
      {"BatchPushVariable", ITEMS, true, a_old, b_old},
      {"BatchPushVariable", DATA, true, {old_vector, {'A'}}, b_old},
      {"BatchDeleteItems", ITEMS, true, {new_vector, {'A'}}, {new_vector, {'b'}}},
      {"", 0, true, {new_vector, {'A'}}, {new_vector, {}}},
      {"BatchPushVariable", INDEX, false, a_old, b_old},
      {"BatchPushVariable", DATA, false, a_old, b_old},
      {"BatchDeleteItems", ITEMS, false, {new_vector, {'a'}}, {new_vector, {'b'}}},
      {"", 0, false, {new_vector, {}}, {new_vector, {}}},
  };
  for (const Case& c : cases) {
    const std::string where = c.failing_operation + " " + std::to_string(c.failing_kind) +
                              (c.contents_given ? " with contents" : " without contents");
    auto core = MakeCore(1);
    ItemBatch first = MakeBatch({{"a", 0, old_vector, "{}", {'a'}}, {"b", 0, old_vector, "{}", {'b'}}}, true);
    core->AddItems(first);
    if (!c.failing_operation.empty()) {
      bs::test_support::Fault fault = FaultOn(c.failing_operation);
      fault.kind = c.failing_kind;
      backend().InjectFault(fault);
    }
    ItemBatch again = MakeBatch({{"a", 0, new_vector, "{}", {'A'}}, {"b", 0, new_vector}}, c.contents_given);
    EXPECT_EQ(Refusal(*core, again), c.failing_operation.empty() ? "accepted" : "injected keystore failure")
        << where;
    backend().ClearFaults();

    const RowsById rows = ReadRows(core->QueryEncrypted({0}));
    const std::vector<std::string> ids = {"a", "b"};
    const std::vector<Bytes> contents = DecryptItems(
        core->items_store->BatchGetVariable(DeriveItemKeys(ids, core->content_store_name)),
        core->content_store_name);
    const Item* want[] = {&c.a, &c.b};
    for (size_t i = 0; i < ids.size(); ++i) {
      ASSERT_EQ(rows.counts.count(ids[i]), 1u) << where << ", " << ids[i];
      EXPECT_EQ(rows.vectors.at(ids[i]), want[i]->vector) << where << ", " << ids[i];
      EXPECT_EQ(contents[i], want[i]->contents) << where << ", " << ids[i];
    }
  }
}

TEST_F(AddItemsTest, AnIdGivenTwiceKeepsWhatItsLastOccurrenceSays) {
  using Bytes = std::vector<uint8_t>;
  const std::vector<std::pair<std::vector<TestItem>, Bytes>> cases = {
      {{{"d", 0, {1, 2}, "{}", {'x'}}, {"d", 0, {3, 4}}}, {}},
      {{{"d", 0, {1, 2}}, {"d", 0, {3, 4}, "{}", {'x'}}}, {'x'}},
  };
  for (const auto& [items, contents] : cases) {
    auto core = MakeCore(1);
    ItemBatch batch = MakeBatch(items, true);
    core->AddItems(batch);
    EXPECT_EQ(ReadRows(core->QueryEncrypted({0})).vectors.at("d"), (std::vector<float>{3, 4}));
    EXPECT_EQ(DecryptItems(core->items_store->BatchGetVariable(DeriveItemKeys({"d"}, core->content_store_name)),
                           core->content_store_name)[0],
              contents);
  }
}

TEST_F(AddItemsTest, AnEmptyBatchOnlyAdvancesTheMapVersion) {
  ScopedRecordingStores recording(scope_.shared_backend());
  auto core = MakeCore(1);
  recording.calls().clear();
  ItemBatch empty;
  core->AddItems(empty);
  EXPECT_THAT(recording.calls(), ElementsAre("GetMap INDEX 1", "PushMap INDEX 1"));
  EXPECT_EQ(core->index_store->GetMap(kCounterMapKey, kCounterMapVersionKey).version, 2u);
  EXPECT_EQ(LinesStartingWith("INFO Adding ").back(), "INFO Adding 0 Items");
  EXPECT_EQ(LinesStartingWith("WARNING No token payload").size(), 1u);
}

TEST_F(AddItemsTest, GpuFlagRefusesBeforeAnythingMoves) {
  auto core = MakeCore(1);
  const std::vector<StoreSnapshot> before = SnapshotAll(*core);
  core->gpu_accelerated = true;
  EXPECT_THAT(Refusal(*core, MakeBatch({{"a", 0, {1, 2}}})),
              HasSubstr("CUDA support is required, but the library was built without CUDA."));
  EXPECT_EQ(SnapshotAll(*core), before);
}

TEST_F(AddItemsTest, CentroidSummariesAreReadBackByPath) {
  auto core = MakeCore(1);
  const std::vector<uint64_t> keys = DeriveItemKeys({"color"}, core->centroid_metadata_store_name);
  core->index_store->BatchPushVariable(
      keys, EncryptItems({{'s', 'u', 'm'}}, core->centroid_metadata_store_name));
  const auto summaries = core->GetCentroidMetadata({"size", "color"});
  EXPECT_THAT(summaries, ElementsAre(std::vector<uint8_t>{}, std::vector<uint8_t>{'s', 'u', 'm'}));
}

}  // namespace
}  // namespace ombrix::testing_util
