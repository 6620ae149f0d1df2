// Adding and retrieving items through the engine core against the shared PostgreSQL
// server: replacement within and across lists, the cache across two engine objects,
// whole-store reads, refused batches and tampered records.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "backing_store/testing/log_capture.h"
#include "encrypted_store/encrypted_index_core.h"
#include "encrypted_store/engine_items_test_util.h"
#include "encrypted_store/item_keys.h"
#include "postgres_test_support.h"

namespace ombrix {
namespace {

using ombrix_pg_test::ErrorText;
using ombrix_pg_test::PgConfig;
using ombrix_pg_test::UniqueTableName;
using testing_util::kPayloadSize;
using testing_util::MakeBatch;
using testing_util::ReadRows;
using testing_util::TestItem;
using ::testing::Pair;
using ::testing::UnorderedElementsAre;

class PostgresItemsTest : public ombrix_pg_test::SharedServerTest {
 protected:
  void SetUp() override {
    SharedServerTest::SetUp();
    if (!session_) return;
    table_ = UniqueTableName("items");
    config_table_ = UniqueTableName("items_cfg");
    name_ = UniqueTableName("index");
  }
  void TearDown() override {
    if (session_) session_->Exec("DROP TABLE IF EXISTS " + table_ + ", " + config_table_);
  }

  IndexSettings Settings() const {
    IndexSettings settings;
    settings.index_name = name_;
    settings.index_key.fill(3);
    settings.index_location = settings.items_location = settings.data_location =
        PgConfig(conninfo_, table_);
    settings.config_location = PgConfig(conninfo_, config_table_);
    settings.cpu_threads = 0;
    settings.payload_size = kPayloadSize;
    return settings;
  }

  std::unique_ptr<EncryptedIndexCore> Open(bool create, uint64_t lists, uint64_t cache_lists) {
    auto core = create ? EncryptedIndexCore::Create(Settings(), &InternalLogger(), {1})
                       : EncryptedIndexCore::Load(Settings(), &InternalLogger());
    core->ResizeVocabulary(lists);
    core->item_cache.lru_cache_size = cache_lists;
    return core;
  }

  static void Add(EncryptedIndexCore& core, const std::vector<TestItem>& items,
                  bool contents = false) {
    ItemBatch batch = MakeBatch(items, contents);
    core.AddItems(batch);
  }

  testing_support::ScopedLogCapture capture_;
  std::string table_, config_table_, name_;
};

TEST_F(PostgresItemsTest, ReplacedItemsComeBackOnceWithTheirNewestVector) {
  auto core = Open(true, 3, 4);
  Add(*core, {{"a", 0, {1, 1}, "{}", {'x'}}, {"b", 0, {2, 2}, "{}", {'y'}}, {"c", 1, {3, 3}, "{}", {'z'}}},
      true);
  testing::internal::CaptureStdout();
  core->QueryEncrypted({0, 1, 2});
  Add(*core, {{"a", 0, {10, 10}}, {"b", 1, {20, 20}}});

  // A second engine object on the same tables, with its own cache.
  auto other = Open(false, 3, 4);
  for (EncryptedIndexCore* engine : {core.get(), other.get(), core.get()}) {
    const CacheMissResult result = engine->QueryEncrypted({0, 1, 2});
    const auto rows = ReadRows(result);
    EXPECT_THAT(rows.counts, UnorderedElementsAre(Pair("a", 1), Pair("b", 1), Pair("c", 1)));
    EXPECT_EQ(rows.vectors.at("a"), (std::vector<float>{10, 10}));
    EXPECT_EQ(rows.vectors.at("b"), (std::vector<float>{20, 20}));
    EXPECT_EQ(result.token_indices, (std::vector<uint64_t>{0, 1, 3, 3}));
  }
  // The other object adds to list 2; the first one's cached list 2 is stale.
  Add(*other, {{"d", 2, {4, 4}}});
  EXPECT_EQ(ReadRows(core->QueryEncrypted({2})).counts.count("d"), 1u);
  testing::internal::GetCapturedStdout();

  const ItemBatch& all = core->RetrieveAllEmbeddings();
  EXPECT_THAT(all.item_ids, UnorderedElementsAre("a", "b", "c", "d"));
  // Replacement took the old contents away with the old record.
  const auto contents = core->items_store->BatchGetVariable(
      DeriveItemKeys({"a", "c"}, core->content_store_name));
  EXPECT_TRUE(contents[0].empty());
  EXPECT_EQ(contents[1].size(), 1u + 28u);
}

TEST_F(PostgresItemsTest, RefusedBatchesAndTamperedRecords) {
  auto core = Open(true, 2, 0);
  Add(*core, {{"a", 0, {1, 1}}, {"b", 1, {2, 2}}});
  const auto before = testing_util::Snapshot(*core->data_store);
  ItemBatch no_metadata = MakeBatch({{"a", 1, {5, 5}}});
  no_metadata.metadata.clear();
  EXPECT_EQ(ErrorText([&] { core->AddItems(no_metadata); }),
            "Mismatched sizes for inputs or invalid row range");
  ItemBatch contents = MakeBatch({{"a", 1, {5, 5}}, {"b", 0, {6, 6}}}, true);
  contents.contents.pop_back();
  EXPECT_EQ(ErrorText([&] { core->AddItems(contents); }),
            "Mismatch between the number of contents and IDs");
  EXPECT_EQ(testing_util::Snapshot(*core->data_store), before);

  const uint64_t key = DeriveItemKeys({"b"}, core->data_store_name)[0];
  std::vector<uint8_t> value = core->data_store->BatchGetVariable({key})[0];
  value.back() ^= 0x80;
  core->data_store->BatchPushVariable({key}, {value});
  EXPECT_EQ(ErrorText([&] { core->QueryEncrypted({1}); }),
            "Decryption failed: Decryption final step failed");
  EXPECT_EQ(ReadRows(core->QueryEncrypted({0})).counts.at("a"), 1);
}

}  // namespace
}  // namespace ombrix
