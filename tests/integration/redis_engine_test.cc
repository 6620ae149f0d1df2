// The engine core with all four stores in Redis, over plain TCP and over TLS: the
// existence check, records and the counter map surviving the core, two engine objects
// racing for positions, and items added by one object read back by another.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "backing_store/redis_keystore.h"
#include "backing_store/testing/log_capture.h"
#include "encrypted_store/encrypted_index_core.h"
#include "encrypted_store/engine_items_test_util.h"
#include "redis_test_support.h"

namespace ombrix {
namespace {

using ombrix_encrypted_index::internal::backing_store::RedisKeystore;
using ombrix_test::UniqueName;
using testing_util::kPayloadSize;
using testing_util::MakeBatch;
using testing_util::ReadRows;
using ::testing::Pair;
using ::testing::UnorderedElementsAre;

template <typename Call>
std::string ErrorOf(Call call) {
  try {
    call();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "no error";
}

// The parameter names the variable of the server: plain or TLS.
class RedisEngineTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    OMBRIX_REQUIRE_ENV(location, GetParam());
    location_ = DBConfig{REDIS, UniqueName("ombrix_engine_config"), location + ",db:0"};
    name_ = UniqueName("index");
  }

  void TearDown() override {
    if (!index_id_) return;
    for (int32_t kind : {INDEX, CONFIG, ITEMS, DATA}) {
      RedisKeystore store(location_, name_, *index_id_, kind);
      store.DeleteIndex();
    }
  }

  IndexSettings Settings(uint8_t key_byte = 7) const {
    IndexSettings settings;
    settings.index_name = name_;
    settings.index_key.fill(key_byte);
    settings.index_location = settings.config_location = settings.items_location =
        settings.data_location = location_;
    settings.cpu_threads = 0;
    settings.payload_size = kPayloadSize;
    return settings;
  }

  std::unique_ptr<EncryptedIndexCore> Create(uint8_t key_byte = 7) {
    auto core = EncryptedIndexCore::Create(Settings(key_byte), &InternalLogger(), {1, 2});
    index_id_ = core->index_id();
    return core;
  }
  std::unique_ptr<EncryptedIndexCore> Load(uint8_t key_byte = 7) {
    return EncryptedIndexCore::Load(Settings(key_byte), &InternalLogger());
  }

  testing_support::ScopedLogCapture capture_;
  DBConfig location_;
  std::string name_;
  std::optional<uint64_t> index_id_;  // set once the index exists, for clean-up
};

TEST_P(RedisEngineTest, ExistingNameIsRefusedAndRecordsSurviveTheCore) {
  {
    auto core = Create();
    core->SaveIndexRecord(512);
    EXPECT_EQ(core->UpdateCounterMap({0, 0}), (std::vector<uint32_t>{0, 1}));
    EXPECT_EQ(ErrorOf([&] { EncryptedIndexCore::Create(Settings(9), &InternalLogger(), {1}); }),
              "Index name " + name_ + " already exists");
  }
  auto loaded = Load();
  EXPECT_EQ(loaded->payload_size, 512u);
  EXPECT_EQ(loaded->counter_map, std::vector<uint32_t>{2});
  EXPECT_EQ(loaded->counter_map_version, 1u);
  EXPECT_EQ(loaded->GetDecryptedConfigItem(name_ + ".ovs"), (std::vector<uint8_t>{1, 2}));
  EXPECT_EQ(ErrorOf([&] { Load(9); }), "Failed to decrypt 1 ciphertexts");
}

TEST_P(RedisEngineTest, TwoEnginesNeverShareAPosition) {
  auto first = Create();
  first->UpdateCounterMap(std::vector<uint32_t>{});
  auto second = Load();
  std::vector<uint32_t> got_first, got_second;
  auto work = [](EncryptedIndexCore& core, std::vector<uint32_t>& got) {
    for (int round = 0; round < 15; ++round) {
      for (uint32_t position : core.UpdateCounterMap({0, 0})) got.push_back(position);
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

TEST_P(RedisEngineTest, ItemsAddedByOneEngineAreReadByAnother) {
  auto core = Create();
  core->ResizeVocabulary(3);
  ItemBatch batch = MakeBatch({{"a", 0, {1, 1}, "{\"k\":1}", {'x', 0}},
                               {"b", 0, {2, 2}, "{}", {'y'}},
                               {"c", 1, {3, 3}, "{}", {'z'}}},
                              true);
  core->AddItems(batch);
  ItemBatch replace = MakeBatch({{"a", 2, {10, 10}}});
  core->AddItems(replace);

  auto other = Load();
  other->ResizeVocabulary(3);
  const CacheMissResult result = other->QueryEncrypted({0, 1, 2});
  const auto rows = ReadRows(result);
  EXPECT_THAT(rows.counts, UnorderedElementsAre(Pair("a", 1), Pair("b", 1), Pair("c", 1)));
  EXPECT_EQ(rows.vectors.at("a"), (std::vector<float>{10, 10}));
  EXPECT_EQ(rows.vectors.at("c"), (std::vector<float>{3, 3}));
  EXPECT_THAT(other->RetrieveAllEmbeddings().item_ids, UnorderedElementsAre("a", "b", "c"));
}

INSTANTIATE_TEST_SUITE_P(PlainAndTls, RedisEngineTest,
                         ::testing::Values("OMBRIX_TEST_REDIS", "OMBRIX_TEST_REDIS_TLS"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           return std::string(info.index == 0 ? "Plain" : "Tls");
                         });

}  // namespace
}  // namespace ombrix
