// The engine core against the shared PostgreSQL server: the existence check, the index
// record round trip, the closing push and two engine objects sharing one index.
#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "backing_store/testing/log_capture.h"
#include "encrypted_store/encrypted_index_core.h"
#include "postgres_test_support.h"

namespace ombrix {
namespace {

using ombrix_pg_test::ErrorText;
using ombrix_pg_test::PgConfig;
using ombrix_pg_test::UniqueTableName;

class PostgresEngineCoreTest : public ombrix_pg_test::SharedServerTest {
 protected:
  void SetUp() override {
    SharedServerTest::SetUp();
    if (!session_) return;
    table_ = UniqueTableName("engine");
    config_table_ = UniqueTableName("engine_cfg");
    name_ = UniqueTableName("index");  // config rows are keyed by name across the table
  }
  void TearDown() override {
    if (session_) session_->Exec("DROP TABLE IF EXISTS " + table_ + ", " + config_table_);
  }

  IndexSettings Settings(uint8_t key_byte = 7) const {
    IndexSettings settings;
    settings.index_name = name_;
    settings.index_key.fill(key_byte);
    settings.index_location = settings.items_location = settings.data_location =
        PgConfig(conninfo_, table_);
    settings.config_location = PgConfig(conninfo_, config_table_);
    settings.cpu_threads = 0;
    settings.payload_size = 64;
    return settings;
  }

  Logger* logger() { return &InternalLogger(); }

  testing_support::ScopedLogCapture capture_;
  std::string table_, config_table_, name_;
};

TEST_F(PostgresEngineCoreTest, ExistingNameIsRefusedWithAnyKey) {
  auto first = EncryptedIndexCore::Create(Settings(), logger(), {1, 2});
  const auto record = first->config_store->LoadConfigItem(name_ + ".oei");
  EXPECT_EQ(ErrorText([&] { EncryptedIndexCore::Create(Settings(), logger(), {1}); }),
            "Index name " + name_ + " already exists");
  EXPECT_EQ(ErrorText([&] { EncryptedIndexCore::Create(Settings(9), logger(), {1}); }),
            "Index name " + name_ + " already exists");
  EXPECT_EQ(first->config_store->LoadConfigItem(name_ + ".oei"), record);
  EXPECT_EQ(first->GetDecryptedConfigItem(name_ + ".ovs"), (std::vector<uint8_t>{1, 2}));
}

TEST_F(PostgresEngineCoreTest, RecordsAndCounterMapSurviveTheCore) {
  {
    auto core = EncryptedIndexCore::Create(Settings(), logger(), {3});
    core->SaveIndexRecord(512);
    EXPECT_EQ(core->UpdateCounterMap({0, 0}), (std::vector<uint32_t>{0, 1}));
  }
  auto loaded = EncryptedIndexCore::Load(Settings(), logger());
  EXPECT_EQ(loaded->tree_depth, 32u);
  EXPECT_EQ(loaded->vocab_size, 1u);
  EXPECT_EQ(loaded->payload_size, 512u);
  EXPECT_EQ(loaded->index_value_size, 8u);
  EXPECT_EQ(loaded->counter_map, std::vector<uint32_t>{2});
  EXPECT_EQ(loaded->counter_map_version, 1u);
  // A zeroed map in memory does not reach the store when the core goes.
  loaded->ResizeVocabulary(4);
  loaded.reset();
  auto again = EncryptedIndexCore::Load(Settings(), logger());
  EXPECT_EQ(again->counter_map, std::vector<uint32_t>{2});
  // The wrong key stops at the index record.
  EXPECT_EQ(ErrorText([&] { EncryptedIndexCore::Load(Settings(9), logger()); }),
            "Failed to decrypt 1 ciphertexts");
}

TEST_F(PostgresEngineCoreTest, TwoEnginesNeverShareAPosition) {
  auto first = EncryptedIndexCore::Create(Settings(), logger(), {3});
  first->UpdateCounterMap(std::vector<uint32_t>{});
  auto second = EncryptedIndexCore::Load(Settings(), logger());
  std::vector<uint32_t> got_first, got_second;
  auto work = [](EncryptedIndexCore& core, std::vector<uint32_t>& got) {
    for (int round = 0; round < 15; ++round) {
      for (uint32_t p : core.UpdateCounterMap({0, 0})) got.push_back(p);
    }
  };
  std::thread a([&] { work(*first, got_first); });
  std::thread b([&] { work(*second, got_second); });
  a.join();
  b.join();
  std::set<uint32_t> all(got_first.begin(), got_first.end());
  all.insert(got_second.begin(), got_second.end());
  EXPECT_EQ(all.size(), 60u);
  EXPECT_EQ(*all.rbegin(), 59u);
}

}  // namespace
}  // namespace ombrix
