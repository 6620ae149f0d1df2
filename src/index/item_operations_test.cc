// Loading, items by id and deleting an index where a plain reading would lose data, let
// one id answer for another, or leave something of a deleted index behind.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>

#include "backing_store/memory_keystore.h"
#include "backing_store/testing/test_keystore.h"
#include "encrypted_store/item_keys.h"
#include "encrypted_store/item_record.h"
#include "encrypted_store/sealing.h"
#include "index/encrypted_index.h"
#include "index/index_test_util.h"

namespace ombrix {
namespace {

using index_testing::CapturedLog;
using index_testing::Settings;
using index_testing::TestKey;
using ombrix_encrypted_index::internal::backing_store::MemoryKeystore;
using ombrix_encrypted_index::internal::backing_store::test_support::ScopedTestBackend;
using ombrix_encrypted_index::internal::backing_store::test_support::TestBackend;
using ombrix_encrypted_index::internal::backing_store::test_support::TestKeystore;

std::unique_ptr<EncryptedIndex> Create(const IndexSettings& settings, CapturedLog& log) {
  return std::make_unique<EncryptedIndex>(settings.index_name, TestKey(), IndexIVFFlat(2), settings,
                                          log.logger(), nullptr);
}

std::unique_ptr<EncryptedIndex> Load(const IndexSettings& settings, CapturedLog& log) {
  return std::make_unique<EncryptedIndex>(LoadExisting{}, settings.index_name, settings.index_key,
                                          settings, log.logger(), nullptr);
}

// Three items: "a" with contents and metadata, "b" bare, "c" with metadata.
void UpsertThree(EncryptedIndex& index) {
  Matrix<float> vectors({1, 2, 3, 4, 5, 6}, 2);
  index.Upsert({"a", "b", "c"}, vectors, {{'x'}, {}, {}}, {"{\"k\":1}", "", "{\"k\":3}"});
}

// Everything a backend holds under some store ids: values, the counter map and config items.
struct Contents {
  std::map<uint64_t, std::map<uint64_t, std::vector<uint8_t>>> values;
  std::map<uint64_t, std::vector<uint8_t>> maps;
  std::map<uint64_t, std::map<std::string, std::vector<uint8_t>>> config_items;
  bool operator==(const Contents&) const = default;
};

Contents ReadBack(const std::shared_ptr<TestBackend>& backend, const std::vector<uint64_t>& store_ids) {
  Contents contents;
  for (uint64_t id : store_ids) {
    TestKeystore store(backend, POSTGRES, "", id, INDEX);
    const std::vector<uint64_t> keys = store.GetAllKeys();
    const auto values = store.BatchGetVariable(keys);
    for (size_t i = 0; i < keys.size(); ++i) contents.values[id][keys[i]] = values[i];
    contents.maps[id] = store.GetMap(kCounterMapKey, kCounterMapVersionKey).map_data;
    for (const std::string& name : backend->ConfigItemNames(id)) {
      contents.config_items[id][name] = store.LoadConfigItem(name);
    }
  }
  return contents;
}

std::vector<uint64_t> StoreIds(const EncryptedIndexCore& core) {
  return {core.index_store->store_id(), core.data_store->store_id(), core.config_store->store_id(),
          core.items_store->store_id()};
}

TEST(IndexLoadTest, AFailedLoadWritesNothing) {
  ScopedTestBackend backend;
  CapturedLog log;
  const IndexSettings settings = Settings("kept", POSTGRES);
  // The creating handle stays open: no counter map is stored yet, the case in which a
  // closing push would write one.
  auto creator = Create(settings, log);
  const std::vector<uint64_t> ids = StoreIds(*creator->core);

  IndexSettings wrong_key = settings;
  wrong_key.index_key[0] ^= 1;
  const Contents before = ReadBack(backend.shared_backend(), ids);
  EXPECT_THROW(Load(wrong_key, log), std::runtime_error);
  EXPECT_EQ(ReadBack(backend.shared_backend(), ids), before);

  creator->core->config_store->DeleteConfigItem("kept.ovs");
  const Contents without_config = ReadBack(backend.shared_backend(), ids);
  // Without its configuration record the name opens only to be deleted.
  EXPECT_THAT(index_testing::ThrownText([&] { Load(settings, log)->ListIDs(); }),
              ::testing::HasSubstr("did not finish; delete it again"));
  EXPECT_TRUE(log.Has("INFO Index successfully loaded"));
  EXPECT_EQ(ReadBack(backend.shared_backend(), ids), without_config);
}

TEST(IndexLoadTest, ALoadedHandleSeesTheItemsAndMasksThePassword) {
  ScopedTestBackend backend;
  CapturedLog log;
  const IndexSettings settings = Settings("seen", POSTGRES);
  UpsertThree(*Create(settings, log));
  auto loaded = Load(settings, log);
  EXPECT_EQ(loaded->config->dimension(), 2u);
  EXPECT_EQ(loaded->GetNumVectors(), 3u);
  EXPECT_TRUE(log.Has("INFO Loading existing index with db: host=127.0.0.1 password=*** dbname=x"));
  EXPECT_EQ(log.CountContaining("hunter2"), 0u);
}

TEST(ItemOperationsTest, GetReturnsTheStoredItemsWithTheFieldsAskedFor) {
  CapturedLog log;
  auto index = Create(Settings("get"), log);
  UpsertThree(*index);
  struct Row {
    std::vector<std::string> ids;
    std::vector<uint32_t> include;
    // id | vector components | contents size | metadata, per returned item
    std::vector<std::string> expected;
  };
  const std::vector<Row> rows = {
      {{"a", "missing", "c"}, {}, {"a|2|1|{\"k\":1}", "c|2|0|{\"k\":3}"}},
      {{"b", "b"}, {}, {"b|2|0|", "b|2|0|"}},
      {{"a"}, {kGetMetadata}, {"a|0|0|{\"k\":1}"}},
      {{"a"}, {kGetContents, kGetContents}, {"a|0|1|"}},
      {{"a"}, {7}, {"a|0|0|"}},
      {{}, {}, {}},
  };
  for (const Row& row : rows) {
    std::vector<std::string> got;
    for (const Item& item : index->Get(row.ids, row.include)) {
      got.push_back(item.id + "|" + std::to_string(item.vector.size()) + "|" +
                    std::to_string(item.contents.size()) + "|" + item.metadata);
    }
    EXPECT_EQ(got, row.expected) << "ids " << row.ids.size() << ", include " << row.include.size();
  }
  EXPECT_EQ(index->Get({"c"}, {kGetVector})[0].vector, (std::vector<float>{5, 6}));
}

TEST(ItemOperationsTest, GetNeverAnswersWithAnotherIdsOrAMalformedRecord) {
  CapturedLog log;
  auto index = Create(Settings("foreign"), log);
  UpsertThree(*index);
  EncryptedIndexCore& core = *index->core;
  const float vector[2] = {9, 9};
  const auto payload = reinterpret_cast<const uint8_t*>(vector);
  std::vector<uint8_t> too_long = EncodeItemRecord("b", 0, payload, 8, "");
  too_long.push_back(0);
  std::vector<uint8_t> short_metadata = EncodeItemRecord("b", 0, payload, 8, "{}");
  short_metadata.pop_back();
  const std::vector<std::vector<uint8_t>> planted = {
      EncodeItemRecord("a", 0, payload, 8, ""),  // a well-formed record of another id
      too_long, short_metadata};
  const uint64_t b_key = DeriveItemKeys({"b"}, core.data_store_name)[0];
  for (const auto& record : planted) {
    core.data_store->BatchPushVariable({b_key}, EncryptItems({record}, core.data_store_name));
    EXPECT_TRUE(index->Get({"b"}, {}).empty());
  }
  EXPECT_EQ(log.CountContaining("ERROR Dropping"), planted.size());
  EXPECT_EQ(index->Get({"a"}, {})[0].vector, (std::vector<float>{1, 2}));
}

TEST(ItemOperationsTest, ADeletedItemDoesNotComeBackFromTheCache) {
  CapturedLog log;
  auto index = Create(Settings("cached"), log);  // cache of 4 lists
  UpsertThree(*index);
  QueryParams params;
  params.top_k = 3;
  const Matrix<float> query({1, 2}, 2);
  ASSERT_EQ(index_testing::ResultIds(index->Query(query, params), 0).size(), 3u);
  index->Delete({"a", "never-stored"});
  EXPECT_EQ(index_testing::ResultIds(index->Query(query, params), 0), (std::vector<std::string>{"b", "c"}));
  EXPECT_TRUE(index->Get({"a"}, {}).empty());
  EXPECT_EQ(index->ListIDs().size(), 2u);
  EXPECT_EQ(index->GetNumVectors(), 3u);
}

TEST(DeleteIndexTest, NothingIsLeftAndTheObjectIsNotConnected) {
  ScopedTestBackend backend;
  CapturedLog log;
  const IndexSettings settings = Settings("gone", POSTGRES);
  auto index = Create(settings, log);
  UpsertThree(*index);
  const std::vector<uint64_t> ids = StoreIds(*index->core);
  index->DeleteIndex();
  index.reset();  // the destroyed core must not push its counter map back
  const Contents left = ReadBack(backend.shared_backend(), ids);
  for (uint64_t id : ids) {
    EXPECT_EQ(left.values.count(id), 0u);
    EXPECT_TRUE(left.maps.at(id).empty());
    EXPECT_EQ(left.config_items.count(id), 0u);
  }
}

// Another handle deleted the index: every call of this one says so, a get that finds
// nothing as well as a delete (which reaches no store before it refuses). While the
// index lives, ids that are not stored are no error, and a get that finds every id
// asks for nothing more.
TEST(DeleteIndexTest, EveryCallOfAnotherHandleSaysTheIndexWasDeleted) {
  ScopedTestBackend backend;
  CapturedLog log;
  const IndexSettings settings = Settings("elsewhere", POSTGRES);
  auto deleter = Create(settings, log);
  UpsertThree(*deleter);
  auto other = Load(settings, log);
  const uint64_t looks = backend.backend().CallCount("ConfigItemExists");
  EXPECT_EQ(other->Get({"a", "b"}, {}).size(), 2u);
  EXPECT_EQ(backend.backend().CallCount("ConfigItemExists"), looks) << "a get that found all looked";
  EXPECT_EQ(other->Get({"a", "missing"}, {}).size(), 1u);
  EXPECT_NO_THROW(other->Delete({"missing"}));
  deleter->DeleteIndex();

  const std::string gone = "Index 'elsewhere' no longer exists: it was deleted";
  const Matrix<float> one({1, 2}, 2);
  struct Row {
    const char* call;
    std::function<void()> run;
    std::string expected;
  };
  const std::vector<Row> rows = {
      {"get of stored ids", [&] { other->Get({"a", "b"}, {}); }, gone},
      {"get of no id", [&] { other->Get({}, {}); }, gone},
      {"delete", [&] { other->Delete({"a"}); }, gone},
      {"delete of no id", [&] { other->Delete({}); }, gone},
      {"list_ids", [&] { other->ListIDs(); }, gone},
      {"get_num_vectors", [&] { other->GetNumVectors(); }, gone},
      {"query", [&] { other->Query(one, QueryParams{}); }, gone},
      {"upsert", [&] { Matrix<float> v = one; other->Upsert({"d"}, v, {}, {}); }, "Error ingesting: " + gone},
  };
  const uint64_t deletions = backend.backend().CallCount("BatchDeleteItems");
  for (const Row& row : rows) {
    EXPECT_EQ(index_testing::ThrownText(row.run), row.expected) << row.call;
  }
  EXPECT_EQ(backend.backend().CallCount("BatchDeleteItems"), deletions) << "a delete reached a store";
}

// A store whose clearing leaves its items, as a writer racing the deletion would.
class UndeletableStore : public MemoryKeystore {
 public:
  using MemoryKeystore::MemoryKeystore;
  void DeleteIndex() override {}
};

TEST(DeleteIndexTest, WhatAStoreKeepsStopsTheDeletionAndTheIndexStaysConnected) {
  for (const char* kind : {"index", "data"}) {
    CapturedLog log;
    auto index = Create(Settings("kept"), log);
    UpsertThree(*index);
    EncryptedIndexCore& core = *index->core;
    std::shared_ptr<Keystore>& store = std::string(kind) == "index" ? core.index_store : core.data_store;
    auto undeletable = std::make_shared<UndeletableStore>(store->store_id(), "kept");
    undeletable->BatchPushVariable({1}, {{1, 2, 3}});
    store = undeletable;
    const std::string message = std::string("Some items in the ") + kind + " backing store weren't deleted";
    try {
      index->DeleteIndex();
      ADD_FAILURE() << kind << ": no exception";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(e.what(), message);
    }
    EXPECT_TRUE(log.Has("ERROR " + message));
    EXPECT_EQ(index->index_name(), "kept");
  }
}

}  // namespace
}  // namespace ombrix
