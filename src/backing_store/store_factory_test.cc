#include "backing_store/store_factory.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>

#include "backing_store/memory_keystore.h"
#include "backing_store/testing/log_capture.h"

namespace ombrix_encrypted_index::internal::backing_store {
namespace {

using ombrix::DBConfig;
using ombrix::testing_support::ScopedLogCapture;
using testing::ElementsAre;

constexpr uint64_t kTopBitClear = std::numeric_limits<int64_t>::max();  // 2^63 - 1

DBConfig Config(int32_t location, std::optional<std::string> table = std::nullopt,
                std::optional<std::string> connection = std::nullopt) {
  DBConfig config;
  config.location = location;
  config.table_name = std::move(table);
  config.connection_string = std::move(connection);
  return config;
}

// Installs an opener for the test's lifetime.
class ScopedOpener {
 public:
  explicit ScopedOpener(KeystoreOpener opener) { SetKeystoreOpenerForTesting(std::move(opener)); }
  ~ScopedOpener() { SetKeystoreOpenerForTesting(nullptr); }
};

TEST(StoreIdTest, IndexIdPlusKindModuloTwoToThe64) {
  for (int32_t kind : {ombrix::INDEX, ombrix::CONFIG, ombrix::ITEMS, ombrix::DATA}) {
    EXPECT_EQ(StoreId(ombrix::MEMORY, 1000, kind), 1000u + kind);
    EXPECT_EQ(StoreId(ombrix::REDIS, 1000, kind), 1000u + kind);
    EXPECT_EQ(StoreId(ombrix::POSTGRES, 1000, kind), 1000u + kind);
  }
  EXPECT_EQ(StoreId(ombrix::MEMORY, kTopBitClear, ombrix::CONFIG), uint64_t{1} << 63);
  EXPECT_EQ(StoreId(ombrix::REDIS, kTopBitClear, ombrix::CONFIG), uint64_t{1} << 63);
  EXPECT_EQ(StoreId(ombrix::POSTGRES, kTopBitClear, ombrix::CONFIG), 0u);
  EXPECT_EQ(StoreId(ombrix::MEMORY, std::numeric_limits<uint64_t>::max(), ombrix::DATA), 2u);
  EXPECT_EQ(StoreId(ombrix::POSTGRES, 0xFFFFFFFFFFFFFFF0ull, ombrix::ITEMS), 0x7FFFFFFFFFFFFFF2ull);
  // The kind is sign-extended before the sum.
  EXPECT_EQ(StoreId(ombrix::MEMORY, 5, -1), 4u);
}

TEST(CreateBackingStoreTest, MemoryStoresForEveryKind) {
  const DBConfig memory = Config(ombrix::MEMORY, "unused_table", "not a connection string");
  for (int32_t kind : {ombrix::INDEX, ombrix::CONFIG, ombrix::ITEMS, ombrix::DATA}) {
    std::unique_ptr<Keystore> store = CreateBackingStore(memory, "idx", kTopBitClear, kind);
    ASSERT_NE(store, nullptr);
    EXPECT_EQ(store->store_id(), kTopBitClear + kind);
    EXPECT_EQ(store->index_name(), "idx");
    EXPECT_EQ(store->value_size(), 8u);
    EXPECT_EQ(store->GetNumItems(), 0u);
  }
  // Same inputs, same store id: a reopened index reaches what it wrote.
  EXPECT_EQ(CreateBackingStore(memory, "idx", 77, ombrix::DATA)->store_id(),
            CreateBackingStore(memory, "idx", 77, ombrix::DATA)->store_id());
}

TEST(CreateBackingStoreTest, EveryCallMakesANewMemoryStore) {
  const DBConfig memory = Config(ombrix::MEMORY);
  std::unique_ptr<Keystore> first = CreateBackingStore(memory, "idx", 1, ombrix::INDEX);
  first->BatchPushVariable({1}, {{1, 2, 3}});
  std::unique_ptr<Keystore> second = CreateBackingStore(memory, "idx", 1, ombrix::INDEX);
  EXPECT_EQ(second->BatchGetVariable({1}), (std::vector<std::vector<uint8_t>>{{}}));
}

TEST(CreateBackingStoreTest, NoneIsRefusedThroughTheHandler) {
  ScopedLogCapture log;
  try {
    CreateBackingStore(Config(ombrix::NONE), "idx", 1, ombrix::INDEX);
    FAIL() << "no exception";
  } catch (const std::invalid_argument&) {
    FAIL() << "NONE must come out as std::runtime_error";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Invalid location for backing store");
  }
  EXPECT_THAT(log.Lines(), ElementsAre("CRITICAL Failed to create backing store: Invalid location for backing store"));
}

TEST(CreateBackingStoreTest, UnknownLocationValuesAreInvalidArguments) {
  for (int32_t location : {3, -1, 5, 100}) {
    ScopedLogCapture log;
    try {
      CreateBackingStore(Config(location), "idx", 1, ombrix::INDEX);
      ADD_FAILURE() << "location " << location << " accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), "Invalid location for backing store");
    }
    EXPECT_THAT(log.Lines(), ElementsAre("CRITICAL Invalid location for backing store")) << location;
  }
}

TEST(CreateBackingStoreTest, InnerFailuresBecomeRuntimeErrorsWithTheBareMessage) {
  ScopedOpener opener([](const DBConfig&, const std::string&, uint64_t, int32_t) -> std::unique_ptr<Keystore> {
    throw std::invalid_argument("stoi");
  });
  for (int32_t location : {ombrix::REDIS, ombrix::POSTGRES}) {
    ScopedLogCapture log;
    try {
      CreateBackingStore(Config(location, "t", "c"), "idx", 1, ombrix::CONFIG);
      ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument&) {
      ADD_FAILURE() << "the inner exception type must not leak";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "stoi");
    }
    EXPECT_THAT(log.Lines(), ElementsAre("CRITICAL Failed to create backing store: stoi"));
  }
}

TEST(CreateBackingStoreTest, ServerLocationsGetTheirStoreIdAndConfig) {
  std::vector<std::tuple<std::string, uint64_t, int32_t, std::optional<std::string>>> seen;
  ScopedOpener opener([&](const DBConfig& config, const std::string& name, uint64_t store_id,
                          int32_t kind) -> std::unique_ptr<Keystore> {
    seen.emplace_back(name, store_id, kind, config.table_name);
    return std::make_unique<MemoryKeystore>(store_id, name);
  });
  CreateBackingStore(Config(ombrix::POSTGRES, "pg_table", "dbname=x"), "idx", kTopBitClear, ombrix::CONFIG);
  CreateBackingStore(Config(ombrix::REDIS, "hash", "host:127.0.0.1"), "idx", kTopBitClear, ombrix::CONFIG);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], std::make_tuple(std::string("idx"), uint64_t{0}, int32_t{1}, std::optional<std::string>("pg_table")));
  EXPECT_EQ(seen[1], std::make_tuple(std::string("idx"), uint64_t{1} << 63, int32_t{1}, std::optional<std::string>("hash")));
}

}  // namespace
}  // namespace ombrix_encrypted_index::internal::backing_store
