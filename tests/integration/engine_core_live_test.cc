// The engine core against the shared PostgreSQL and Redis servers: the existence check,
// the index record round trip, the closing push, and two engine objects on one index.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <set>
#include <thread>

#include "backing_store/store_factory.h"
#include "backing_store/testing/log_capture.h"
#include "encrypted_store/encrypted_index_core.h"
#include "encrypted_store/hmac.h"
#include "encrypted_store/sha3.h"
#include "postgres_test_support.h"

namespace ombrix {
namespace {

namespace bs = ombrix_encrypted_index::internal::backing_store;
using ombrix_pg_test::ErrorText;

std::string UniqueName(const std::string& stem) {
  static std::mt19937_64 generator{std::random_device{}()};
  return ombrix_pg_test::UniqueTableName(stem) + "_" + std::to_string(generator() % 100000);
}

struct PostgresBackend {
  static constexpr const char* kVariable = "OMBRIX_TEST_PG";
  void Open(const std::string& server) {
    server_ = server;
    table_ = UniqueName("engine");
    config_table_ = UniqueName("engine_cfg");
  }
  DBConfig Stores() const { return {POSTGRES, table_, server_}; }
  DBConfig Config() const { return {POSTGRES, config_table_, server_}; }
  void Close() const {
    ombrix_pg_test::PgSession(server_).Exec("DROP TABLE IF EXISTS " + table_ + ", " + config_table_);
  }
  std::string server_, table_, config_table_;
};

struct RedisBackend {
  static constexpr const char* kVariable = "OMBRIX_TEST_REDIS";
  void Open(const std::string& server) {
    server_ = server + ",db:0";
    config_hash_ = UniqueName("engine_cfg");
  }
  DBConfig Stores() const { return {REDIS, config_hash_, server_}; }
  DBConfig Config() const { return {REDIS, config_hash_, server_}; }
  void Close() const {}  // each index's keys are deleted through its stores
  std::string server_, config_hash_;
};

template <typename Backend>
class LiveEngineCoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* server = std::getenv(Backend::kVariable);
    if (server == nullptr) {
      const char* ci = std::getenv("CI");
      if (ci != nullptr && std::string(ci) == "true") {
        FAIL() << Backend::kVariable << " is not set (source scripts/services.sh)";
      }
      GTEST_SKIP() << Backend::kVariable << " is not set (source scripts/services.sh)";
    }
    backend_.Open(server);
    name_ = UniqueName("index");  // config records are found by name across the table
    opened_ = true;
  }

  void TearDown() override {
    if (!opened_) return;
    // Everything the test wrote, under every key it used, then the tables themselves.
    for (uint8_t key_byte : {uint8_t{7}, uint8_t{9}}) {
      try {
        const IndexSettings settings = Settings(key_byte);
        const Key256 hashed = HmacSha3_256(settings.index_key, name_);
        const uint64_t id = DigestToU64(hashed.data());
        for (int32_t kind : {INDEX, DATA, ITEMS}) {
          bs::CreateBackingStore(backend_.Stores(), name_, id, kind)->DeleteIndex();
        }
        bs::CreateBackingStore(backend_.Config(), name_, id, CONFIG)->DeleteIndex();
      } catch (const std::exception& e) {
        ADD_FAILURE() << "cleanup: " << e.what();
      }
    }
    backend_.Close();
  }

  IndexSettings Settings(uint8_t key_byte = 7) const {
    IndexSettings settings;
    settings.index_name = name_;
    settings.index_key.fill(key_byte);
    settings.index_location = settings.items_location = settings.data_location = backend_.Stores();
    settings.config_location = backend_.Config();
    settings.cpu_threads = 0;
    settings.payload_size = 64;
    return settings;
  }

  Logger* logger() { return &InternalLogger(); }

  testing_support::ScopedLogCapture capture_;
  Backend backend_;
  std::string name_;
  bool opened_ = false;
};

// The same stores over TLS, verified against the test CA.
struct RedisTlsBackend : RedisBackend {
  static constexpr const char* kVariable = "OMBRIX_TEST_REDIS_TLS";
};

using Backends = ::testing::Types<PostgresBackend, RedisBackend, RedisTlsBackend>;
TYPED_TEST_SUITE(LiveEngineCoreTest, Backends);

TYPED_TEST(LiveEngineCoreTest, ExistingNameIsRefusedWithAnyKey) {
  auto first = EncryptedIndexCore::Create(this->Settings(), this->logger(), {1, 2});
  const std::string record_name = this->name_ + ".oei";
  const auto record = first->config_store->LoadConfigItem(record_name);
  const std::string refusal = "Index name " + this->name_ + " already exists";
  EXPECT_EQ(ErrorText([&] { EncryptedIndexCore::Create(this->Settings(), this->logger(), {1}); }),
            refusal);
  EXPECT_EQ(ErrorText([&] { EncryptedIndexCore::Create(this->Settings(9), this->logger(), {1}); }),
            refusal);
  EXPECT_EQ(first->config_store->LoadConfigItem(record_name), record);
  EXPECT_EQ(first->GetDecryptedConfigItem(this->name_ + ".ovs"), (std::vector<uint8_t>{1, 2}));
}

TYPED_TEST(LiveEngineCoreTest, RecordsAndCounterMapOutliveTheCore) {
  {
    auto core = EncryptedIndexCore::Create(this->Settings(), this->logger(), {3});
    core->SaveIndexRecord(512);
    EXPECT_EQ(core->UpdateCounterMap(std::vector<uint32_t>{0, 0}), (std::vector<uint32_t>{0, 1}));
  }
  auto loaded = EncryptedIndexCore::Load(this->Settings(), this->logger());
  EXPECT_EQ(loaded->tree_depth, 32u);
  EXPECT_EQ(loaded->vocab_size, 1u);
  EXPECT_EQ(loaded->payload_size, 512u);
  EXPECT_EQ(loaded->index_value_size, 8u);
  EXPECT_EQ(loaded->counter_map, std::vector<uint32_t>{2});
  EXPECT_EQ(loaded->counter_map_version, 2u);  // creation stored the first
  // A zeroed map in memory does not reach the store when the core goes.
  loaded->ResizeVocabulary(4);
  loaded.reset();
  auto again = EncryptedIndexCore::Load(this->Settings(), this->logger());
  EXPECT_EQ(again->counter_map, std::vector<uint32_t>{2});
  // The wrong key stops at the index record.
  EXPECT_EQ(ErrorText([&] { EncryptedIndexCore::Load(this->Settings(9), this->logger()); }),
            "Failed to decrypt 1 ciphertexts");
}

TYPED_TEST(LiveEngineCoreTest, TwoEnginesNeverShareAPosition) {
  auto first = EncryptedIndexCore::Create(this->Settings(), this->logger(), {3});
  auto second = EncryptedIndexCore::Load(this->Settings(), this->logger());
  std::vector<uint32_t> got_first, got_second;
  auto work = [](EncryptedIndexCore& core, std::vector<uint32_t>& got) {
    for (int round = 0; round < 15; ++round) {
      for (uint32_t p : core.UpdateCounterMap(std::vector<uint32_t>{0, 0})) got.push_back(p);
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
