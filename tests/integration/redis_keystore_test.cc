// The Redis keystore against the plain Redis of scripts/services.sh, and against private
// servers for what needs a reconfigured one (memory limit, password, shutdown).
#include "backing_store/redis_keystore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <sstream>
#include <atomic>
#include <barrier>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "backing_store/keystore_contract_test.h"
#include "backing_store/server_errors.h"
#include "backing_store/store_factory.h"
#include "backing_store/testing/log_capture.h"
#include "redis_test_support.h"

namespace ombrix_encrypted_index::internal::backing_store {
namespace {

using ombrix_test::CliRepr;
using ombrix::testing_support::ScopedLogCapture;
using ombrix_test::OwnRedisServer;
using ombrix_test::RandomU64;
using ombrix_test::RedisCli;
using ombrix_test::UniqueName;
using Bytes = std::vector<uint8_t>;
using keystore_contract::Text;

constexpr uint64_t kCounterMapKey = UINT64_MAX;
constexpr uint64_t kCounterMapVersionKey = 42;
const std::string kRunAgain = "make sure the server is running and reachable, then run the call again";

std::string Wire(uint64_t value) {
  std::string bytes(8, '\0');
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<char>(value >> (8 * i));
  return bytes;
}

Bytes U64Bytes(uint64_t value) {
  std::string wire = Wire(value);
  return Bytes(wire.begin(), wire.end());
}

uint64_t U64Of(const Bytes& bytes) {
  uint64_t value = 0;
  for (size_t i = bytes.size(); i-- > 0;) value = (value << 8) | bytes[i];
  return value;
}

// Every byte value, starting at `first`.
Bytes EveryByte(uint8_t first) {
  Bytes value(256);
  for (int i = 0; i < 256; ++i) value[i] = static_cast<uint8_t>(first + i);
  return value;
}

// The lines of a redis-cli reply with their "N) " prefixes removed.
std::multiset<std::string> CliLines(const std::string& out) {
  std::multiset<std::string> lines;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    size_t paren = line.find(") ");
    if (paren != std::string::npos && paren < 6) line = line.substr(paren + 2);
    if (!line.empty()) lines.insert(line);
  }
  return lines;
}

template <typename Exception = std::runtime_error, typename Call>
std::string ErrorOf(Call call) {
  try {
    call();
  } catch (const Exception& e) {
    return e.what();
  }
  return "no error";
}

struct RedisStores {
  static std::unique_ptr<Keystore> Make() { return ombrix_test::ContractStore("OMBRIX_TEST_REDIS"); }
};
INSTANTIATE_TYPED_TEST_SUITE_P(Redis, KeystoreContractTest, RedisStores);

// Every line the capture holds, as one text.
std::string Logged(const ScopedLogCapture& log) {
  std::string text;
  for (const std::string& line : log.Lines()) text += line + "\n";
  return text;
}

class RedisKeystoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    OMBRIX_REQUIRE_ENV(location, "OMBRIX_TEST_REDIS");
    location_ = location;
    port_ = std::stoi(ParseRedisConnectionString(location)["port"]);
    config_.location = ombrix::REDIS;
    config_.table_name = UniqueName("ombrix_test_config");
    config_.connection_string = location + ",db:0";
  }

  void TearDown() override {
    for (auto& store : opened_) {
      if (store) store->DeleteIndex();
    }
    if (config_.table_name) Raw("DEL %s", config_.table_name->c_str());
  }

  std::unique_ptr<RedisKeystore> Open(int32_t kind, uint64_t index_id, ombrix::DBConfig config) {
    auto store = std::make_unique<RedisKeystore>(config, "idx", index_id, kind);
    // A second handle on the same store, used for clean-up only.
    opened_.push_back(std::make_unique<RedisKeystore>(config, "idx", index_id, kind));
    return store;
  }
  std::unique_ptr<RedisKeystore> Open(int32_t kind, uint64_t index_id) {
    return Open(kind, index_id, config_);
  }
  std::unique_ptr<RedisKeystore> Open(int32_t kind) { return Open(kind, index_id_); }

  // One command on a connection of the test's own, for arranging what the keystore meets.
  void Raw(const char* format, ...) {
    RedisConnection connection(
        ReadRedisEndpoint(ParseRedisConnectionString(*config_.connection_string)));
    va_list args;
    va_start(args, format);
    RedisReplyPtr reply(static_cast<redisReply*>(redisvCommand(connection.get(), format, args)));
    va_end(args);
    ASSERT_TRUE(reply);
  }

  std::string location_;
  int port_ = 0;
  ombrix::DBConfig config_;
  uint64_t index_id_ = RandomU64();
  std::vector<std::unique_ptr<Keystore>> opened_;  // cleaned up after the test
};

TEST_F(RedisKeystoreTest, BinaryValuesOfEveryByteRoundTrip) {
  auto store = Open(ombrix::DATA);
  std::vector<uint64_t> keys;
  std::vector<Bytes> values;
  for (int i = 0; i < 256; ++i) {
    keys.push_back(i == 0 ? 0 : i == 1 ? UINT64_MAX : RandomU64());
    values.push_back(EveryByte(static_cast<uint8_t>(i)));
  }
  values[5] = Bytes{0};  // a single zero byte is a value, not an empty one
  store->BatchPushVariable(keys, values);

  std::vector<uint64_t> asked = {keys[200], RandomU64(), keys[0], keys[1], keys[5]};
  std::vector<Bytes> got = store->BatchGetVariable(asked);
  ASSERT_EQ(got.size(), 5u);
  EXPECT_EQ(got[0], values[200]);
  EXPECT_TRUE(got[1].empty());
  EXPECT_EQ(got[2], values[0]);
  EXPECT_EQ(got[3], values[1]);
  EXPECT_EQ(got[4], Bytes{0});
  EXPECT_EQ(store->GetItem(keys[77]), values[77]);
  EXPECT_TRUE(store->GetItem(RandomU64()).empty());
  EXPECT_TRUE(store->BatchGetVariable({}).empty());

  EXPECT_EQ(store->GetNumItems(), 256u);
  std::vector<uint64_t> all = store->GetAllKeys();
  EXPECT_EQ(std::set<uint64_t>(all.begin(), all.end()), std::set<uint64_t>(keys.begin(), keys.end()));

  // Empty values are skipped; what was stored under their keys stays.
  store->BatchPushVariable({keys[2], keys[3]}, {Bytes{}, Bytes{9}});
  EXPECT_EQ(store->GetItem(keys[2]), values[2]);
  EXPECT_EQ(store->GetItem(keys[3]), Bytes{9});
  // Only empty values: nothing is queued and nothing is waited for.
  store->BatchPushVariable({keys[2]}, {Bytes{}});
  EXPECT_EQ(store->GetItem(keys[2]), values[2]);

  store->DeleteItem(keys[3]);
  store->DeleteItem(keys[3]);  // missing: no failure
  EXPECT_TRUE(store->GetItem(keys[3]).empty());
}

TEST_F(RedisKeystoreTest, FixedWidthRowsOnePerKey) {
  auto store = Open(ombrix::INDEX);
  store->SetValueSize(16);
  std::vector<uint64_t> keys = {RandomU64(), RandomU64(), RandomU64()};
  Matrix<uint8_t> rows(3, 16, 0);
  for (size_t i = 0; i < rows.data.size(); ++i) rows.data[i] = static_cast<uint8_t>(255 - i);
  store->BatchPushItems(keys, rows);

  Matrix<uint8_t> got = store->BatchGetItems({keys[2], RandomU64(), keys[0]});
  ASSERT_EQ(got.rows, 3u);
  ASSERT_EQ(got.cols, 16u);
  EXPECT_TRUE(std::equal(got.row(0), got.row(0) + 16, rows.row(2)));
  EXPECT_TRUE(std::all_of(got.row(1), got.row(1) + 16, [](uint8_t b) { return b == 0; }));
  EXPECT_TRUE(std::equal(got.row(2), got.row(2) + 16, rows.row(0)));

  Matrix<uint8_t> none = store->BatchGetItems({RandomU64(), RandomU64()});
  EXPECT_EQ(none.rows, 2u);
  EXPECT_EQ(none.data, Bytes(32, 0));
  Matrix<uint8_t> empty = store->BatchGetItems({});
  EXPECT_EQ(empty.rows, 0u);
  EXPECT_EQ(empty.cols, 0u);

  // A value of another width would shift every later row: it is refused instead.
  store->PushItem(keys[1], Bytes(12, 7));
  EXPECT_EQ(ErrorOf([&] { store->BatchGetItems({keys[0], keys[1]}); }),
            "Key " + std::to_string(keys[1]) + " has unexpected value size: 12 (expected 16)");
}

TEST_F(RedisKeystoreTest, BatchPushChecksComeBeforeAnyCommand) {
  auto store = Open(ombrix::DATA);
  store->SetValueSize(16);
  uint64_t key = RandomU64();
  EXPECT_EQ(ErrorOf<std::invalid_argument>([&] { store->BatchPushItems({}, Matrix<uint8_t>()); }),
            "No keys provided for batch insertion");
  EXPECT_EQ(ErrorOf<std::invalid_argument>([&] { store->BatchPushVariable({}, {}); }),
            "No keys provided for batch insertion");
  EXPECT_EQ(ErrorOf<std::invalid_argument>(
                [&] { store->BatchPushItems({key, key + 1, key + 2}, Matrix<uint8_t>(2, 16, 1)); }),
            "Mismatch between number of keys and batch size");
  EXPECT_EQ(ErrorOf<std::invalid_argument>(
                [&] { store->BatchPushVariable({key}, {Bytes{1}, Bytes{2}}); }),
            "Mismatch between number of keys and batch size");
  EXPECT_EQ(ErrorOf<std::invalid_argument>(
                [&] { store->BatchPushItems({key}, Matrix<uint8_t>(1, 8, 1)); }),
            "Amount of data must be divisible by the size of each value");
  EXPECT_EQ(store->GetNumItems(), 0u);
}

TEST_F(RedisKeystoreTest, HashAndFieldNamesSeenByRedisCli) {
  // Zero bytes inside the store id: the item hash name is 8 raw bytes, never text.
  index_id_ = (RandomU64() & 0xFFFF00FFFF00FF00ull) | 0x10;
  auto data = Open(ombrix::DATA);
  auto index = Open(ombrix::INDEX);
  auto config = Open(ombrix::CONFIG);
  uint64_t data_id = index_id_ + ombrix::DATA;
  uint64_t index_id = index_id_ + ombrix::INDEX;
  EXPECT_EQ(data->store_id(), data_id);

  uint64_t k1 = 0x0102030405060708ull, k2 = RandomU64();
  data->BatchPushVariable({k1, k2}, {Bytes{'a', 0, 'b'}, Bytes{0xff}});
  std::string item_hash = CliRepr(Wire(data_id));
  EXPECT_EQ(RedisCli(port_, "TYPE " + item_hash), "hash\n");
  EXPECT_EQ(CliLines(RedisCli(port_, "HKEYS " + item_hash)),
            (std::multiset<std::string>{CliRepr(Wire(k1)), CliRepr(Wire(k2))}));
  EXPECT_EQ(RedisCli(port_, "HGET " + item_hash + " " + CliRepr(Wire(k1))),
            CliRepr(std::string("a\0b", 3)) + "\n");

  Bytes map = EveryByte(0);
  ASSERT_TRUE(index->PushMap(kCounterMapKey, map, kCounterMapVersionKey, 0));
  EXPECT_EQ(CliLines(RedisCli(port_, "HGETALL " + std::to_string(index_id))),
            (std::multiset<std::string>{"\"18446744073709551615\"",
                                        CliRepr(std::string(map.begin(), map.end())), "\"42\"",
                                        "\"1\""}));
  // The map lives beside the item hash, not in it.
  EXPECT_EQ(RedisCli(port_, "EXISTS " + CliRepr(Wire(index_id))), "(integer) 0\n");

  config->PushConfigItem("idx.oei", Bytes{1, 0, 2});
  EXPECT_EQ(CliLines(RedisCli(port_, "HGETALL " + *config_.table_name)),
            (std::multiset<std::string>{"\"idx.oei\"", CliRepr(std::string("\x01\x00\x02", 3))}));
  EXPECT_EQ(config->GetNumItems(), 1u);  // the index's own records, not the item hash
}

TEST_F(RedisKeystoreTest, SelectsTheLastDbGiven) {
  ombrix::DBConfig config = config_;
  config.connection_string = location_ + ",db:1,db:3";
  auto store = Open(ombrix::DATA, index_id_, config);
  store->PushItem(5, Bytes{1});
  EXPECT_EQ(RedisCli(port_, "HLEN " + CliRepr(Wire(index_id_ + ombrix::DATA)), 3),
            "(integer) 1\n");
  EXPECT_EQ(RedisCli(port_, "EXISTS " + CliRepr(Wire(index_id_ + ombrix::DATA)), 0),
            "(integer) 0\n");
}

TEST_F(RedisKeystoreTest, MapCompareAndSet) {
  auto store = Open(ombrix::INDEX);
  MapAndVersion fresh = store->GetMap(kCounterMapKey, kCounterMapVersionKey);
  EXPECT_TRUE(fresh.map_data.empty());
  EXPECT_EQ(fresh.version, 0u);

  Bytes map = EveryByte(3);
  EXPECT_FALSE(store->PushMap(kCounterMapKey, map, kCounterMapVersionKey, 5));
  EXPECT_EQ(store->GetMap(kCounterMapKey, kCounterMapVersionKey).version, 0u);
  EXPECT_TRUE(store->PushMap(kCounterMapKey, map, kCounterMapVersionKey, 0));
  EXPECT_FALSE(store->PushMap(kCounterMapKey, Bytes{1}, kCounterMapVersionKey, 0));
  MapAndVersion stored = store->GetMap(kCounterMapKey, kCounterMapVersionKey);
  EXPECT_EQ(stored.map_data, map);
  EXPECT_EQ(stored.version, 1u);

  Raw("HSET %s 42 7", std::to_string(store->store_id()).c_str());
  EXPECT_TRUE(store->PushMap(kCounterMapKey, Bytes{2}, kCounterMapVersionKey, 7));
  stored = store->GetMap(kCounterMapKey, kCounterMapVersionKey);
  EXPECT_EQ(stored.map_data, Bytes{2});
  EXPECT_EQ(stored.version, 8u);

  // A version the keystore cannot read counts as none.
  Raw("HSET %s 42 x", std::to_string(store->store_id()).c_str());
  EXPECT_EQ(store->GetMap(kCounterMapKey, kCounterMapVersionKey).version, 0u);
}

TEST_F(RedisKeystoreTest, RacingCompareAndSetLosesNoUpdate) {
  constexpr int kPerWriter = 150;
  auto first = Open(ombrix::INDEX);
  auto second = Open(ombrix::INDEX);
  std::atomic<int> refused{0};
  auto writer = [&](RedisKeystore* store) {
    for (int done = 0; done < kPerWriter;) {
      MapAndVersion current = store->GetMap(kCounterMapKey, kCounterMapVersionKey);
      Bytes next = U64Bytes(U64Of(current.map_data) + 1);
      if (store->PushMap(kCounterMapKey, next, kCounterMapVersionKey, current.version)) {
        ++done;
      } else {
        ++refused;
      }
    }
  };
  std::thread a(writer, first.get());
  std::thread b(writer, second.get());
  a.join();
  b.join();
  MapAndVersion final_map = first->GetMap(kCounterMapKey, kCounterMapVersionKey);
  EXPECT_EQ(U64Of(final_map.map_data), 2u * kPerWriter);
  EXPECT_EQ(final_map.version, 2u * kPerWriter);
  RecordProperty("refused", refused.load());
}

TEST_F(RedisKeystoreTest, DeleteIndexRemovesOnlyThisStore) {
  ScopedLogCapture log;
  auto mine = Open(ombrix::DATA);
  auto other = Open(ombrix::DATA, RandomU64());
  mine->BatchPushVariable({1, 2}, {Bytes{1}, Bytes{2}});
  other->BatchPushVariable({1}, {Bytes{3}});
  mine->DeleteIndex();
  EXPECT_EQ(mine->GetNumItems(), 0u);
  EXPECT_EQ(other->GetItem(1), Bytes{3});
  // A data store has no map hash: one warning, no failure.
  std::string warning = "No index found with name " + std::to_string(mine->store_id()) + " to delete.";
  std::string text = Logged(log);
  size_t at = text.find(warning);
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(text.find(warning, at + 1), std::string::npos);

  auto index = Open(ombrix::INDEX);
  index->PushItem(9, Bytes{9});
  ASSERT_TRUE(index->PushMap(kCounterMapKey, Bytes{1}, kCounterMapVersionKey, 0));
  index->DeleteIndex();
  EXPECT_EQ(index->GetNumItems(), 0u);
  EXPECT_EQ(index->GetMap(kCounterMapKey, kCounterMapVersionKey).version, 0u);
}

TEST_F(RedisKeystoreTest, DeleteIndexOfConfigKeepsOtherIndexesOfTheTable) {
  std::vector<std::string> names = {"alpha", "alphabet", "beta", "al%"};
  std::vector<std::unique_ptr<RedisKeystore>> stores;
  for (const std::string& name : names) {
    stores.push_back(std::make_unique<RedisKeystore>(config_, name, RandomU64(), ombrix::CONFIG));
    stores.back()->PushConfigItem(name + ".oei", Bytes{1});
    stores.back()->PushConfigItem(name + ".ovs", Bytes{2});
  }
  // Each counts its own two records, not those of the others nor a look-alike name.
  stores[0]->PushConfigItem("alpha.oei.ovs", Bytes{3});
  for (const auto& store : stores) EXPECT_EQ(store->GetNumItems(), 2u) << store->index_name();
  stores[0]->DeleteIndex();
  EXPECT_EQ(stores[0]->GetNumItems(), 0u);
  EXPECT_EQ(stores[1]->GetNumItems(), 2u);
  EXPECT_FALSE(stores[0]->ConfigItemExists("alpha.oei"));
  EXPECT_FALSE(stores[0]->ConfigItemExists("alpha.ovs"));
  for (const char* name : {"alphabet", "beta", "al%"}) {
    EXPECT_EQ(stores[0]->LoadConfigItem(std::string(name) + ".oei"), Bytes{1}) << name;
    EXPECT_EQ(stores[0]->LoadConfigItem(std::string(name) + ".ovs"), Bytes{2}) << name;
  }
  // Deleting again finds nothing of its own and says so without failing.
  ScopedLogCapture log;
  stores[0]->DeleteIndex();
  EXPECT_NE(Logged(log).find("No config items of index alpha found in"), std::string::npos);
}

TEST_F(RedisKeystoreTest, ConfigItems) {
  auto config = Open(ombrix::CONFIG);
  auto data = Open(ombrix::DATA);  // any store kind reaches the table's config hash
  EXPECT_FALSE(config->ConfigItemExists("idx.oei"));
  data->PushConfigItem("idx.oei", EveryByte(0));
  EXPECT_TRUE(config->ConfigItemExists("idx.oei"));
  EXPECT_EQ(config->LoadConfigItem("idx.oei"), EveryByte(0));
  data->PushConfigItem("idx.oei", Bytes{4});
  EXPECT_EQ(config->LoadConfigItem("idx.oei"), Bytes{4});
  config->PushConfigItem("idx.ovs", Bytes{5});
  config->DeleteConfigItem("idx.ovs");
  config->DeleteConfigItem("never stored");
  EXPECT_FALSE(config->ConfigItemExists("idx.ovs"));
  EXPECT_TRUE(config->ConfigItemExists("idx.oei"));

  ScopedLogCapture log;
  EXPECT_EQ(ErrorOf([&] { config->LoadConfigItem("missing.ovs"); }),
            "Index name 'missing' does not exist in Redis.");
  EXPECT_NE(Logged(log).find("ERROR Index name 'missing.ovs' does not exist in Redis."),
            std::string::npos);
}

TEST_F(RedisKeystoreTest, BatchDeleteSpansChunksAndIgnoresMissingKeys) {
  auto store = Open(ombrix::ITEMS);
  const size_t total = 2 * RedisKeystore::kDeleteChunk + 500;
  std::vector<uint64_t> keys(total);
  for (size_t i = 0; i < total; ++i) keys[i] = i * 7919;
  store->BatchPushVariable(keys, std::vector<Bytes>(total, Bytes{1, 2, 3}));
  ASSERT_EQ(store->GetNumItems(), total);

  std::vector<uint64_t> doomed(keys.begin() + 100, keys.end());
  for (int i = 0; i < 50; ++i) doomed.push_back(RandomU64());
  store->BatchDeleteItems(doomed);
  store->BatchDeleteItems({});
  std::vector<uint64_t> left = store->GetAllKeys();
  EXPECT_EQ(std::set<uint64_t>(left.begin(), left.end()),
            std::set<uint64_t>(keys.begin(), keys.begin() + 100));
}

TEST_F(RedisKeystoreTest, GetAllKeysSkipsFieldsThatAreNotKeys) {
  auto store = Open(ombrix::DATA);
  store->PushItem(11, Bytes{1});
  std::string hash = Wire(store->store_id());
  Raw("HSET %b abc x", hash.data(), hash.size());
  EXPECT_EQ(store->GetAllKeys(), std::vector<uint64_t>{11});
  EXPECT_EQ(store->GetNumItems(), 2u);  // HLEN counts every field
}

TEST_F(RedisKeystoreTest, ErrorRepliesThrowAndTheConnectionStaysInStep) {
  ScopedLogCapture log;
  auto store = Open(ombrix::INDEX);
  std::string hash = Wire(store->store_id());
  Raw("SET %b not-a-hash", hash.data(), hash.size());
  const std::string wrongtype = "WRONGTYPE Operation against a key holding the wrong kind of value";

  // Every reply of the pipeline is read, so the next command gets its own reply.
  EXPECT_EQ(ErrorOf([&] { store->BatchPushVariable({1, 2, 3}, {Bytes{1}, Bytes{2}, Bytes{3}}); }),
            wrongtype);
  EXPECT_TRUE(store->PushMap(kCounterMapKey, Bytes{5}, kCounterMapVersionKey, 0));
  EXPECT_EQ(store->GetMap(kCounterMapKey, kCounterMapVersionKey).map_data, Bytes{5});

  EXPECT_EQ(ErrorOf([&] { store->BatchPushItems({1}, Matrix<uint8_t>(1, 8, 0)); }), wrongtype);
  EXPECT_EQ(ErrorOf([&] { store->PushItem(1, Bytes{1}); }), wrongtype);
  EXPECT_EQ(ErrorOf([&] { store->GetItem(1); }), wrongtype);
  EXPECT_EQ(ErrorOf([&] { store->BatchGetItems({1, 2}); }), wrongtype);
  EXPECT_EQ(ErrorOf([&] { store->BatchGetVariable({1, 2}); }), wrongtype);
  EXPECT_EQ(ErrorOf([&] { store->DeleteItem(1); }), wrongtype);
  EXPECT_EQ(ErrorOf([&] { store->BatchDeleteItems({1, 2}); }), wrongtype);
  EXPECT_EQ(ErrorOf([&] { store->GetNumItems(); }), wrongtype);
  EXPECT_EQ(ErrorOf([&] { store->GetAllKeys(); }), wrongtype);

  std::string map_hash = std::to_string(store->store_id());
  Raw("DEL %s", map_hash.c_str());
  Raw("SET %s not-a-hash", map_hash.c_str());
  EXPECT_NE(ErrorOf([&] { store->PushMap(kCounterMapKey, Bytes{1}, kCounterMapVersionKey, 0); })
                .find("WRONGTYPE"),
            std::string::npos);
  EXPECT_EQ(ErrorOf([&] { store->GetMap(kCounterMapKey, kCounterMapVersionKey); }), wrongtype);

  Raw("SET %s not-a-hash", config_.table_name->c_str());
  EXPECT_EQ(ErrorOf([&] { store->PushConfigItem("idx.oei", Bytes{1}); }),
            "Redis HSET error: " + wrongtype);
  EXPECT_NE(Logged(log).find("ERROR Redis HSET error: " + wrongtype), std::string::npos);
  EXPECT_EQ(ErrorOf([&] { store->LoadConfigItem("idx.oei"); }), wrongtype);
  EXPECT_EQ(ErrorOf([&] { store->ConfigItemExists("idx.oei"); }), wrongtype);
  Raw("DEL %s", config_.table_name->c_str());
  EXPECT_NE(Logged(log).find("ERROR Redis HDEL error: " + wrongtype), std::string::npos);
}

TEST_F(RedisKeystoreTest, ConnectionFailuresCarryTheirTexts) {
  ombrix::DBConfig config = config_;
  int closed_port = ombrix_test::FreeLoopbackPort();
  config.connection_string = "host:127.0.0.1,port:" + std::to_string(closed_port) + ",db:0";
  EXPECT_EQ(ErrorOf([&] { RedisKeystore(config, "idx", 1, ombrix::DATA); }),
            "Failed to connect to Redis: Connection refused");

  config.connection_string = location_ + ",db:99999";
  EXPECT_EQ(ErrorOf([&] { RedisKeystore(config, "idx", 1, ombrix::DATA); }),
            "Failed to select Redis database: unexpected reply: ERR DB index is out of range");

  // "ssl" other than "true" or "1" is plain TCP; "1" asks a plain server for TLS.
  for (const char* plain : {"TRUE", "yes"}) {
    config.connection_string = location_ + ",db:0,ssl:" + plain;
    EXPECT_NO_THROW(RedisKeystore(config, "idx", 1, ombrix::DATA)) << plain;
  }
  config.connection_string = location_ + ",db:0,ssl:1";
  EXPECT_EQ(ErrorOf([&] { RedisKeystore(config, "idx", 1, ombrix::DATA); }),
            "SSL configuration failed: Failed to initiate SSL connection to Redis: the server did "
            "not answer the handshake within the connect time-out");
}

TEST_F(RedisKeystoreTest, PasswordServerRefusesSelect) {
  OwnRedisServer server({"--requirepass", UniqueName("pw")});
  ASSERT_TRUE(server.running());
  ombrix::DBConfig config = config_;
  config.connection_string = server.location() + ",db:0";
  EXPECT_EQ(ErrorOf([&] { RedisKeystore(config, "idx", 1, ombrix::DATA); }),
            "Failed to select Redis database: unexpected reply: NOAUTH Authentication required.");
}

TEST_F(RedisKeystoreTest, FullServerMakesWritesThrowAndReadsStillWork) {
  ScopedLogCapture log;
  OwnRedisServer server({"--maxmemory", "3mb", "--maxmemory-policy", "noeviction"});
  ASSERT_TRUE(server.running());
  ombrix::DBConfig config = config_;
  config.connection_string = server.location() + ",db:0";
  RedisKeystore store(config, "idx", RandomU64(), ombrix::DATA);
  store.PushItem(1, Bytes{1});

  std::string refusal;
  for (uint64_t batch = 0; batch < 200 && refusal.empty(); ++batch) {
    std::vector<uint64_t> keys;
    for (uint64_t i = 0; i < 100; ++i) keys.push_back(batch * 100 + i + 2);
    try {
      store.BatchPushVariable(keys, std::vector<Bytes>(100, Bytes(10000, 1)));
    } catch (const std::runtime_error& e) {
      refusal = e.what();
    }
  }
  const std::string oom = "OOM command not allowed when used memory > 'maxmemory'.";
  ASSERT_EQ(refusal.rfind(oom, 0), 0u) << refusal;
  EXPECT_EQ(ErrorOf([&] { store.PushItem(RandomU64(), Bytes(10000, 1)); }).rfind(oom, 0), 0u);
  EXPECT_EQ(ErrorOf([&] { store.PushConfigItem("idx.oei", Bytes(10000, 1)); })
                .rfind("Redis HSET error: " + oom, 0),
            0u);
  EXPECT_NE(ErrorOf([&] { store.PushMap(kCounterMapKey, Bytes(10000, 1), kCounterMapVersionKey, 0); })
                .find("OOM"),
            std::string::npos);
  EXPECT_EQ(store.GetItem(1), Bytes{1});

  // A server that goes away fails every later call, each after one attempt to connect
  // again; nothing reads a stale reply.
  server.Stop();
  const std::string gone = "Redis server 127.0.0.1:" + std::to_string(server.port()) +
                           " could not be reached again: Failed to connect to Redis: ";
  EXPECT_EQ(ErrorOf([&] { store.BatchPushVariable({1}, {Bytes{2}}); }).rfind(gone, 0), 0u);
  EXPECT_EQ(ErrorOf([&] { store.GetItem(1); }).rfind(gone, 0), 0u);
  EXPECT_EQ(ErrorOf<ServerUnreachable>([&] { store.LoadConfigItem("idx.oei"); }).rfind(gone, 0), 0u);
}

// Each row: a server fault the test arranges, the fault's own time limits, and what the
// next call must raise; after the fault ends, the same keystore works again.
TEST_F(RedisKeystoreTest, TimeLimitsAndReconnection) {
  OwnRedisServer server({});
  ASSERT_TRUE(server.running());
  const std::string address = "127.0.0.1:" + std::to_string(server.port());
  ombrix::DBConfig config = config_;
  config.connection_string = server.location() + ",db:0,connect_timeout:0.5,command_timeout:0.5";
  RedisKeystore store(config, "idx", RandomU64(), ombrix::DATA);
  store.PushItem(1, Bytes{1});

  // Frozen: the command waits its limit and says so; the connection is then dropped.
  server.Freeze();
  EXPECT_EQ(ErrorOf<ServerUnreachable>([&] { store.GetItem(1); }),
            "Redis server " + address + " did not answer HGET within 0.5 s (command time-out) for index 'idx': " +
                kRunAgain + ", or give command_timeout in the connection string a larger value if the server "
                "needs longer");
  EXPECT_EQ(ErrorOf<ServerUnreachable>([&] { store.BatchPushVariable({2}, {Bytes{2}}); }),
            "Redis server " + address + " could not be reached again: Redis server " + address +
                " did not answer SELECT within 0.5 s (connect time-out) for index 'idx': " + kRunAgain);
  server.Thaw();
  EXPECT_EQ(store.GetItem(1), Bytes{1});

  // Restarted (empty, no persistence): the broken connection is replaced on the next call.
  server.Restart();
  EXPECT_EQ(store.GetItem(1), Bytes{});
  store.BatchPushVariable({1, 2}, {Bytes{3}, Bytes{4}});
  EXPECT_EQ(store.BatchGetVariable({1, 2}), (std::vector<Bytes>{Bytes{3}, Bytes{4}}));
  EXPECT_TRUE(store.PushMap(kCounterMapKey, Bytes{9}, kCounterMapVersionKey, 0));
}

// A call on a frozen server ends within its command time-out (and a second of slack): a
// read sent before another store's read timed out, or a reconnect under a longer limit.
TEST_F(RedisKeystoreTest, ACallAgainstAFrozenServerEndsWithinItsTimeLimit) {
  OwnRedisServer server({});
  ASSERT_TRUE(server.running());
  ombrix::DBConfig config = config_;
  config.connection_string = server.location() + ",db:0,connect_timeout:10,command_timeout:2";
  RedisKeystore index(config, "idx", 7, ombrix::INDEX), data(config, "idx", 7, ombrix::DATA);
  const std::vector<std::pair<const char*, std::function<void()>>> rows = {
      {"maps read sent before another store's read", [&] {
         index.SendMapsRead({{9, 10}});
         EXPECT_THROW(data.BatchGetVariable({1}), ServerUnreachable);
         index.ReceiveMaps();
       }},
      {"connection opened again", [&] { data.GetItem(1); }},
  };
  server.Freeze();
  for (const auto& [what, call] : rows) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(call(), ServerUnreachable) << what;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3)) << what;
  }
  server.Thaw();
}

TEST_F(RedisKeystoreTest, AServerThatNeverAnswersFailsWithinTheConnectTimeLimit) {
  ombrix_test::SilentListener silent;
  ombrix::DBConfig config = config_;
  config.connection_string =
      "host:127.0.0.1,port:" + std::to_string(silent.port()) + ",db:0,connect_timeout:0.3";
  EXPECT_EQ(ErrorOf<ServerUnreachable>([&] { RedisKeystore(config, "idx", 1, ombrix::DATA); }),
            "Redis server 127.0.0.1:" + std::to_string(silent.port()) +
                " did not answer SELECT within 0.3 s (connect time-out)");
  for (const char* bad : {"connect_timeout:0", "command_timeout:-1", "command_timeout:x",
                          "connect_timeout:1s"}) {
    config.connection_string = location_ + ",db:0," + bad;
    EXPECT_EQ(ErrorOf([&] { RedisKeystore(config, "idx", 1, ombrix::DATA); }).rfind("Invalid Redis ", 0),
              0u)
        << bad;
  }
}

TEST_F(RedisKeystoreTest, FactoryOpensRedisStores) {
  // The same index id and kind reach the same store at every call.
  auto writer = CreateBackingStore(config_, "idx", index_id_, ombrix::DATA);
  writer->PushItem(3, Bytes{3});
  opened_.push_back(CreateBackingStore(config_, "idx", index_id_, ombrix::DATA));
  EXPECT_EQ(opened_.back()->store_id(), index_id_ + ombrix::DATA);
  EXPECT_EQ(opened_.back()->GetItem(3), Bytes{3});

  auto wrapped = CreateBackingStore(config_, "idx", (uint64_t{1} << 63) - 1, ombrix::CONFIG);
  EXPECT_EQ(wrapped->store_id(), uint64_t{1} << 63);
}

TEST_F(RedisKeystoreTest, FactoryFailuresAreRuntimeErrorsWithTheInnerText) {
  auto failure = [&](ombrix::DBConfig config) {
    ScopedLogCapture log;
    std::string error = ErrorOf([&] { CreateBackingStore(config, "idx", 1, ombrix::INDEX); });
    std::vector<std::string> lines = log.Lines();
    EXPECT_EQ(lines, std::vector<std::string>{"CRITICAL Failed to create backing store: " + error});
    return error;
  };
  ombrix::DBConfig config = config_;
  config.connection_string = "host:127.0.0.1,port:abc,db:0";
  EXPECT_EQ(failure(config), "stoi");
  config.connection_string = location_ + ",db:0";
  config.table_name.reset();
  EXPECT_EQ(failure(config), "bad optional access");
  config = config_;
  config.connection_string =
      "host:127.0.0.1,port:" + std::to_string(ombrix_test::FreeLoopbackPort()) + ",db:0";
  EXPECT_EQ(failure(config), "Failed to connect to Redis: Connection refused");
}

// Holds are leases on the server's clock: a writer's shared hold keeps the exclusive
// holder waiting until it is released or runs out; a write fenced by a hold that ran out
// is refused by the server, and nothing of the holds is left once they end.
TEST_F(RedisKeystoreTest, HoldsAreLeasesOnTheServersClock) {
  auto writer = Open(ombrix::INDEX);
  auto trainer = Open(ombrix::INDEX);
  auto other = Open(ombrix::INDEX);
  EXPECT_TRUE(writer->TakeHold(HoldKind::kShared, 1, 300).granted);
  const HoldGrant waiting = trainer->TakeHold(HoldKind::kExclusive, 2, 60000);
  EXPECT_TRUE(waiting.granted && waiting.others_share);
  EXPECT_FALSE(other->TakeHold(HoldKind::kExclusive, 3, 60000).granted);
  EXPECT_FALSE(other->TakeHold(HoldKind::kShared, 3, 60000).granted) << "no new writer meanwhile";
  EXPECT_TRUE(other->ExclusiveHoldIsLive());

  writer->SetWriteFence(WriteFence{HoldKind::kShared, 1});
  writer->BatchPushVariable({5}, {Text("in time")});
  std::this_thread::sleep_for(std::chrono::milliseconds(400));  // the writer stops renewing
  EXPECT_THROW(writer->BatchPushVariable({6}, {Text("too late")}), HoldLostError);
  EXPECT_THROW(writer->PushMap(9, Text("map"), 10, 0), HoldLostError);
  EXPECT_FALSE(writer->RenewHold(HoldKind::kShared, 1, 300));
  const HoldGrant held = trainer->TakeHold(HoldKind::kExclusive, 2, 60000);
  EXPECT_TRUE(held.granted && !held.others_share) << "the lease ran out";
  trainer->SetWriteFence(WriteFence{HoldKind::kExclusive, 2});
  trainer->BatchPushVariable({6}, {Text("trainer")});
  EXPECT_TRUE(trainer->PushMap(9, Text("map"), 10, 0));
  EXPECT_EQ(trainer->BatchGetVariable({5, 6}), (std::vector<Bytes>{Text("in time"), Text("trainer")}));

  EXPECT_FALSE(writer->ReleaseHold(HoldKind::kShared, 1));
  EXPECT_TRUE(trainer->ReleaseHold(HoldKind::kExclusive, 2));
  EXPECT_FALSE(other->ExclusiveHoldIsLive());
  EXPECT_THROW(trainer->DeleteIndex(), HoldLostError) << "fenced by a hold it gave back";
  trainer->SetWriteFence(std::nullopt);
  writer->SetWriteFence(std::nullopt);
  trainer->DeleteIndex();
  EXPECT_EQ(trainer->GetNumItems(), 0u);
}

// Every fenced write of a holder whose hold is gone is refused whole, whatever took its
// place: the server has no hold (its lease ran out, or it restarted empty), or another
// process holds the index. The text names the index, never the numeric store id.
TEST_F(RedisKeystoreTest, FencedWritesAreRefusedWholeOnceTheHoldIsGone) {
  struct Row {
    const char* what;
    HoldKind kind;
    std::function<void(const std::string& map_hash, uint64_t holder)> end_hold;
    const char* text;
  };
  const std::vector<Row> rows = {
      {"shared lease gone", HoldKind::kShared,
       [&](const std::string& map_hash, uint64_t holder) {
         Raw("DEL %s", (map_hash + ":writers:" + std::to_string(holder)).c_str());
       },
       "The Redis server no longer holds the hold of this process on index 'idx' (restarted, or "
       "its lease ran out): it refused the write; the upsert stopped, and part of its items may be stored: upsert the same items again"},
      {"exclusive hold gone", HoldKind::kExclusive,
       [&](const std::string& map_hash, uint64_t) { Raw("DEL %s", (map_hash + ":hold").c_str()); },
       "The Redis server no longer holds the hold of this process on index 'idx' (restarted, or "
       "its lease ran out): it refused the write; the operation stopped before it finished: train or delete the index again"},
      {"exclusive hold taken", HoldKind::kExclusive,
       [&](const std::string& map_hash, uint64_t) { Raw("SET %s 99", (map_hash + ":hold").c_str()); },
       "Another process holds index 'idx' on the Redis server now: the hold of this process ran "
       "out before its write reached the server, which refused it; the operation stopped before it finished: train or delete the index again"},
  };
  // More fields than one slice of the fenced script's writes.
  std::vector<uint64_t> keys(2500);
  for (size_t i = 0; i < keys.size(); ++i) keys[i] = i + 1;
  const std::vector<Bytes> values(keys.size(), Text("v"));
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    index_id_ = RandomU64();
    auto store = Open(ombrix::INDEX);
    const uint64_t holder = RandomU64() >> 1;
    ASSERT_TRUE(store->TakeHold(row.kind, holder, 60000).granted);
    store->SetWriteFence(WriteFence{row.kind, holder});
    // A data store fenced by the index store's holds: its values ride in the map's script.
    auto data = Open(ombrix::DATA);
    ASSERT_TRUE(data->FenceByHoldsOf(*store));
    EXPECT_FALSE(store->CarriesWritesOf(*data));  // not yet fenced by the same hold
    data->SetWriteFence(WriteFence{row.kind, holder});
    ASSERT_TRUE(store->CarriesWritesOf(*data));
    const std::vector<CarriedValues> carried = {{data.get(), &keys, &values}};
    store->BatchPushVariable(keys, values);  // live: every field lands
    ASSERT_TRUE(store->PushMap(9, Text("map"), 10, 0));
    ASSERT_EQ(store->GetNumItems(), keys.size() + 2);
    // The map with the values in one script: a stale version stores neither, its own nor
    // the carried ones.
    EXPECT_FALSE(store->PushMapAndValues(9, Text("stale"), 10, 0, {1}, {Text("stale")}, carried));
    EXPECT_EQ(data->GetNumItems(), 0u);
    EXPECT_TRUE(store->PushMapAndValues(9, Text("map"), 10, 1, {1, 2}, {Text("v"), Text("v")}, carried));
    EXPECT_EQ(store->GetMap(9, 10).version, 2u);
    EXPECT_EQ(data->GetNumItems(), keys.size());
    EXPECT_EQ(data->BatchGetVariable({1, keys.back()}), (std::vector<Bytes>{Text("v"), Text("v")}));
    const std::vector<Bytes> rewritten(keys.size(), Text("w"));
    const std::vector<CarriedValues> carried_rewrite = {{data.get(), &keys, &rewritten}};

    row.end_hold(std::to_string(store->store_id()), holder);
    const std::vector<std::pair<const char*, std::function<void()>>> writes = {
        {"BatchPushVariable", [&] { store->BatchPushVariable(keys, std::vector<Bytes>(keys.size(), Text("w"))); }},
        {"BatchPushItems", [&] { store->BatchPushItems({1, 2}, Matrix<uint8_t>(2, 8, 7)); }},
        {"PushItem", [&] { store->PushItem(3, Text("w")); }},
        {"PushMap", [&] { store->PushMap(9, Text("w"), 10, 2); }},
        {"PushMapAndValues",
         [&] { store->PushMapAndValues(9, Text("w"), 10, 2, keys, rewritten, carried_rewrite); }},
        {"CompareAndSetValue", [&] { store->CompareAndSetValue(4, Text("w"), 5, 0); }},
        {"BatchDeleteItems", [&] { store->BatchDeleteItems(keys); }},
        {"DeleteItem", [&] { store->DeleteItem(1); }},
        {"DeleteIndex", [&] { store->DeleteIndex(); }},
    };
    for (const auto& [name, write] : writes) {
      const std::string error = ErrorOf<HoldLostError>(write);
      EXPECT_EQ(error, row.text) << name;
      EXPECT_EQ(error.find(std::to_string(store->store_id())), std::string::npos) << name;
    }
    EXPECT_EQ(store->GetNumItems(), keys.size() + 2);
    EXPECT_EQ(store->BatchGetVariable({1, keys.back()}), (std::vector<Bytes>{Text("v"), Text("v")}));
    EXPECT_EQ(store->GetMap(9, 10).map_data, Text("map"));
    EXPECT_EQ(data->BatchGetVariable({1, keys.back()}), (std::vector<Bytes>{Text("v"), Text("v")}));
    data->SetWriteFence(std::nullopt);
    store->SetWriteFence(std::nullopt);
  }
}

// A store whose location names the index store's server otherwise ("localhost" for
// 127.0.0.1) is fenced by its holds all the same, as the server's run id says: its write
// is refused once the hold is gone. In another db of that server it is not fenced.
TEST_F(RedisKeystoreTest, AStoreOnTheSameServerSpelledOtherwiseIsFencedByTheIndexStoresHolds) {
  const std::string numeric = "host:127.0.0.1";
  const size_t at = location_.find(numeric);
  if (at == std::string::npos) GTEST_SKIP() << "OMBRIX_TEST_REDIS does not name 127.0.0.1";
  std::string by_name = location_;
  by_name.replace(at, numeric.size(), "host:localhost");
  ombrix::DBConfig spelled = config_, other_db = config_;
  spelled.connection_string = by_name + ",db:0";
  other_db.connection_string = by_name + ",db:1";
  index_id_ = RandomU64();
  auto index = Open(ombrix::INDEX);
  auto items = Open(ombrix::ITEMS, index_id_, spelled);
  EXPECT_FALSE(Open(ombrix::ITEMS, index_id_, other_db)->FenceByHoldsOf(*index));
  ASSERT_TRUE(items->FenceByHoldsOf(*index));
  EXPECT_TRUE(index->FencesInOneStep(*items));
  const uint64_t holder = RandomU64() >> 1;
  ASSERT_TRUE(index->TakeHold(HoldKind::kShared, holder, 60000).granted);
  for (Keystore* store : std::initializer_list<Keystore*>{index.get(), items.get()}) {
    store->SetWriteFence(WriteFence{HoldKind::kShared, holder});
  }
  items->BatchPushVariable({1}, {Text("v")});
  Raw("DEL %s", (std::to_string(index->store_id()) + ":writers:" + std::to_string(holder)).c_str());
  EXPECT_EQ(ErrorOf<HoldLostError>([&] { items->BatchPushVariable({1}, {Text("w")}); }),
            "The Redis server no longer holds the hold of this process on index 'idx' (restarted, or its lease "
            "ran out): it refused the write; the upsert stopped, and part of its items may be stored: upsert the same items again");
  EXPECT_EQ(items->BatchGetVariable({1}), (std::vector<Bytes>{Text("v")}));
  items->SetWriteFence(std::nullopt);
  index->SetWriteFence(std::nullopt);
}

// Scripts go by their digest once a connection has sent them, and a server that forgot
// them (SCRIPT FLUSH, a restart) gets them again without a failed call.
TEST_F(RedisKeystoreTest, ScriptsGoByDigestAndComeBackAfterTheServerForgetsThem) {
  OwnRedisServer server({});
  ASSERT_TRUE(server.running());
  ombrix::DBConfig config = config_;
  config.connection_string = server.location() + ",db:0";
  RedisKeystore store(config, "idx", RandomU64(), ombrix::INDEX);
  RedisKeystore other(config, "idx", store.store_id() - ombrix::INDEX, ombrix::INDEX);
  RedisConnection cli(ReadRedisEndpoint(ParseRedisConnectionString(*config.connection_string)));
  auto command = [&](const char* text) {
    return RedisReplyPtr(static_cast<redisReply*>(redisCommand(cli.get(), text)));
  };
  auto script_calls = [&](const char* name) -> long long {
    RedisReplyPtr stats = command("INFO commandstats");
    const std::string text(stats->str, stats->len);
    const std::string field = std::string("cmdstat_") + name + ":calls=";
    const size_t at = text.find(field);
    return at == std::string::npos ? 0 : std::stoll(text.substr(at + field.size()));
  };
  uint64_t version = 0;
  int round = 0;
  // Each road of the scripts once; every call must do its work.
  auto every_script = [&] {
    const uint64_t writer = 100 + round;
    const auto [grant, maps] = store.TakeHoldAndGetMaps(HoldKind::kShared, writer, 60000, {{9, 10}});
    ASSERT_TRUE(grant.granted);
    ASSERT_EQ(maps.size(), 1u);
    EXPECT_EQ(maps[0].version, version);
    store.SetWriteFence(WriteFence{HoldKind::kShared, writer});
    store.BatchPushVariable({1, 2}, {Text("a"), Text("b")});
    EXPECT_TRUE(store.PushMap(9, Text("map"), 10, version++));
    EXPECT_TRUE(store.CompareAndSetValue(3, Text("c"), 4, round));
    store.BatchDeleteItems({2});
    EXPECT_TRUE(store.RenewHold(HoldKind::kShared, writer, 60000));
    store.SetWriteFence(std::nullopt);
    EXPECT_TRUE(store.ReleaseHold(HoldKind::kShared, writer));
    EXPECT_TRUE(other.TakeHold(HoldKind::kExclusive, 7, 60000).granted);
    EXPECT_TRUE(other.RenewHold(HoldKind::kExclusive, 7, 60000));
    EXPECT_TRUE(other.ReleaseHold(HoldKind::kExclusive, 7));
    EXPECT_TRUE(other.CompareAndSetConfigItem("idx.oei", round == 0 ? Bytes{} : U64Bytes(round - 1),
                                              U64Bytes(round)));
    ++round;
  };
  command("CONFIG RESETSTAT");
  every_script();  // first use on these connections: each body goes out once
  const long long bodies = script_calls("eval");
  EXPECT_GT(bodies, 0);
  command("CONFIG RESETSTAT");
  every_script();
  EXPECT_EQ(script_calls("eval"), 0) << "a script already sent went out again";
  EXPECT_GT(script_calls("evalsha"), 0);

  command("SCRIPT FLUSH");
  command("CONFIG RESETSTAT");
  every_script();
  every_script();
  EXPECT_EQ(script_calls("eval"), bodies) << "each body sent once again after the flush";
  RedisReplyPtr errors = command("INFO errorstats");
  EXPECT_NE(std::string(errors->str, errors->len).find("NOSCRIPT"), std::string::npos);

  server.Restart();  // empty: neither the scripts nor the data are there
  version = 0;
  round = 0;
  every_script();
  EXPECT_EQ(store.BatchGetVariable({1, 2}), (std::vector<Bytes>{Text("a"), Bytes{}}));
}

// A named blob is replaced only over the blob the caller saw; of two connections that
// race over the same blob, exactly one wins.
TEST_F(RedisKeystoreTest, CompareAndSetConfigItem) {
  auto config = Open(ombrix::CONFIG);
  struct Row {
    const char* what;
    Bytes expected;
    Bytes blob;
    bool stored;
    std::optional<Bytes> after;  // nullopt: no blob of that name
  };
  const std::vector<Row> rows = {
      {"wrong expected over nothing", Text("old"), Text("x"), false, std::nullopt},
      {"nothing stored, empty expected", Bytes{}, Text("one"), true, Text("one")},
      {"empty expected over a blob", Bytes{}, Text("x"), false, Text("one")},
      {"wrong expected", Text("onE"), Text("x"), false, Text("one")},
      {"a prefix of the stored blob", Text("on"), Text("x"), false, Text("one")},
      {"right expected", Text("one"), EveryByte(0), true, EveryByte(0)},
      {"binary expected", EveryByte(0), Bytes{}, true, Bytes{}},
      {"empty expected over an empty blob", Bytes{}, Text("x"), false, Bytes{}},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(config->CompareAndSetConfigItem("idx.ovs", row.expected, row.blob), row.stored) << row.what;
    EXPECT_EQ(config->ConfigItemExists("idx.ovs"), row.after.has_value()) << row.what;
    if (row.after) {
      EXPECT_EQ(config->LoadConfigItem("idx.ovs"), *row.after) << row.what;
    }
  }
  EXPECT_FALSE(config->ConfigItemExists("idx.oei")) << "other names stay as they are";
  // Removed only while it holds exactly the blob given.
  config->PushConfigItem("idx.ovs", EveryByte(1));
  EXPECT_FALSE(config->DeleteConfigItemIf("idx.ovs", EveryByte(0)));
  EXPECT_FALSE(config->DeleteConfigItemIf("idx.oei", EveryByte(1)));
  EXPECT_TRUE(config->DeleteConfigItemIf("idx.ovs", EveryByte(1)));
  EXPECT_FALSE(config->ConfigItemExists("idx.ovs"));

  constexpr int kRounds = 100;
  auto first = Open(ombrix::CONFIG);
  auto second = Open(ombrix::CONFIG);
  std::barrier both(2);
  std::vector<int> won(kRounds, 0);
  auto racer = [&](RedisKeystore* store, uint8_t mark) {
    Bytes seen;
    for (int round = 0; round < kRounds; ++round) {
      both.arrive_and_wait();
      Bytes next = U64Bytes(round);
      next.push_back(mark);
      if (store->CompareAndSetConfigItem("idx.oei", seen, next)) ++won[round];
      both.arrive_and_wait();
      seen = store->LoadConfigItem("idx.oei");
    }
  };
  std::thread a(racer, first.get(), 'a');
  std::thread b(racer, second.get(), 'b');
  a.join();
  b.join();
  EXPECT_EQ(std::count(won.begin(), won.end(), 1), kRounds);
}

// What the hold calls say when the server restarted under them, froze, or died while a
// renewal waited for its answer.
TEST_F(RedisKeystoreTest, HoldCallsSayWhatTheServerLost) {
  OwnRedisServer server({});
  ASSERT_TRUE(server.running());
  const std::string address = "127.0.0.1:" + std::to_string(server.port());
  ombrix::DBConfig config = config_;
  config.connection_string = server.location() + ",db:0,connect_timeout:0.5,command_timeout:0.5";
  RedisKeystore writer(config, "idx", RandomU64(), ombrix::INDEX);
  RedisKeystore trainer(config, "idx", writer.store_id() - ombrix::INDEX, ombrix::INDEX);
  auto take_both = [&] {
    ASSERT_TRUE(writer.TakeHold(HoldKind::kShared, 1, 60000).granted);
    ASSERT_TRUE(trainer.TakeHold(HoldKind::kExclusive, 2, 60000).granted);
  };

  // Restarted: the server answers, and holds nothing any more.
  take_both();
  server.Restart();
  EXPECT_FALSE(writer.RenewHold(HoldKind::kShared, 1, 60000));
  EXPECT_FALSE(trainer.RenewHold(HoldKind::kExclusive, 2, 60000));
  trainer.SetWriteFence(WriteFence{HoldKind::kExclusive, 2});
  EXPECT_EQ(ErrorOf<HoldLostError>([&] { trainer.PushItem(1, Text("x")); }),
            "The Redis server no longer holds the hold of this process on index 'idx' (restarted, or "
            "its lease ran out): it refused the write; the operation stopped before it finished: train or delete the index again");
  trainer.SetWriteFence(std::nullopt);
  EXPECT_FALSE(writer.ReleaseHold(HoldKind::kShared, 1));
  EXPECT_FALSE(trainer.ReleaseHold(HoldKind::kExclusive, 2));

  // Frozen: no answer within the command time-out.
  take_both();
  server.Freeze();
  EXPECT_EQ(ErrorOf<HoldLostError>([&] { writer.RenewHold(HoldKind::kShared, 1, 60000); }),
            "The renewal of the hold of this process on index 'idx' got no answer (Redis server " +
                address +
                " did not answer EVALSHA within 0.5 s (command time-out)); whether the server still "
                "holds it is unknown, so the operation stopped");
  server.Thaw();
  EXPECT_TRUE(trainer.RenewHold(HoldKind::kExclusive, 2, 60000));

  // Died while the renewal waited (well within its time limit): the connection drops
  // without an answer.
  config.connection_string = server.location() + ",db:0,command_timeout:30";
  RedisKeystore patient(config, "idx", writer.store_id() - ombrix::INDEX, ombrix::INDEX);
  ASSERT_TRUE(patient.TakeHold(HoldKind::kExclusive, 2, 60000).granted);
  server.Freeze();
  std::string renewal;
  std::thread renewing([&] {
    renewal = ErrorOf<HoldLostError>([&] { patient.RenewHold(HoldKind::kExclusive, 2, 60000); });
  });
  for (int i = 0; i < 2000 && server.UnreadBytes() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_GT(server.UnreadBytes(), 0u) << "the renewal never reached the server";
  server.Crash();
  renewing.join();
  EXPECT_EQ(renewal,
            "Redis gave no answer to the renewal of the hold of this process on index 'idx': the "
            "connection dropped while it waited; whether the server still holds it is unknown, so "
            "the operation stopped");
}

}  // namespace
}  // namespace ombrix_encrypted_index::internal::backing_store
