#include "backing_store/testing/test_keystore.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>

#include "backing_store/keystore_contract_test.h"
#include "backing_store/store_factory.h"

namespace ombrix_encrypted_index::internal::backing_store {
namespace {

using test_support::Fault;
using test_support::ScopedTestBackend;
using test_support::TestBackend;
using test_support::TestKeystore;
using Bytes = std::vector<uint8_t>;

// The wrapper must itself behave like every other keystore.
struct TestStores {
  static std::unique_ptr<Keystore> Make() {
    static auto backend = std::make_shared<TestBackend>();
    static std::atomic<uint64_t> next_id{1};
    return std::make_unique<TestKeystore>(backend, ombrix::POSTGRES, "contract", next_id++, ombrix::INDEX);
  }
};
INSTANTIATE_TYPED_TEST_SUITE_P(TestBackend, KeystoreContractTest, TestStores);

ombrix::DBConfig Location(int32_t location) {
  ombrix::DBConfig config;
  config.location = location;
  return config;
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

TEST(TestKeystoreTest, TwoHandlesOnOneIndexShareStoresAndConfigItems) {
  ScopedTestBackend scope;
  auto config_a = CreateBackingStore(Location(ombrix::POSTGRES), "idx", 40, ombrix::CONFIG);
  auto config_b = CreateBackingStore(Location(ombrix::POSTGRES), "idx", 40, ombrix::CONFIG);
  auto data_a = CreateBackingStore(Location(ombrix::POSTGRES), "idx", 40, ombrix::DATA);
  auto data_b = CreateBackingStore(Location(ombrix::POSTGRES), "idx", 40, ombrix::DATA);

  EXPECT_FALSE(config_b->ConfigItemExists("idx.oei"));
  config_a->PushConfigItem("idx.oei", Text("record"));
  EXPECT_TRUE(config_b->ConfigItemExists("idx.oei"));
  EXPECT_EQ(config_b->LoadConfigItem("idx.oei"), Text("record"));
  EXPECT_EQ(config_b->GetNumItems(), 1u);

  data_a->BatchPushVariable({1}, {Text("item")});
  EXPECT_EQ(data_b->BatchGetVariable({1}), (std::vector<Bytes>{Text("item")}));
  // Kinds stay apart even though they share the backend.
  EXPECT_EQ(config_b->BatchGetVariable({1}), (std::vector<Bytes>{{}}));
  EXPECT_TRUE(data_b->PushMap(7, Text("m"), 8, 0));
  EXPECT_FALSE(data_a->PushMap(7, Text("m2"), 8, 0));

  config_a->PushConfigItem("idx.ovs", Text("config"));
  config_b->DeleteConfigItem("idx.ovs");
  EXPECT_FALSE(config_a->ConfigItemExists("idx.ovs"));
  EXPECT_TRUE(config_a->ConfigItemExists("idx.oei"));
  config_b->DeleteIndex();
  EXPECT_FALSE(config_a->ConfigItemExists("idx.oei"));
  EXPECT_EQ(config_a->GetNumItems(), 0u);
}

TEST(TestKeystoreTest, MissingConfigItemIsWordedAsItsBackend) {
  ScopedTestBackend scope;
  auto pg = CreateBackingStore(Location(ombrix::POSTGRES), "idx", 1, ombrix::CONFIG);
  auto redis = CreateBackingStore(Location(ombrix::REDIS), "idx", 9, ombrix::CONFIG);
  try {
    pg->LoadConfigItem("idx.ovs");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Index name 'idx.ovs' does not exist in Postgres.");
  }
  try {
    redis->LoadConfigItem("idx.ovs");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Index name 'idx.ovs' does not exist in Redis.");
  }
}

TEST(TestKeystoreTest, FailsTheNthMatchingCallOnce) {
  ScopedTestBackend scope;
  auto index = CreateBackingStore(Location(ombrix::REDIS), "idx", 1, ombrix::INDEX);
  auto data = CreateBackingStore(Location(ombrix::REDIS), "idx", 1, ombrix::DATA);
  Fault fault;
  fault.nth = 2;
  fault.operation = "BatchPushVariable";
  fault.kind = ombrix::DATA;
  fault.message = "gone";
  scope.backend().InjectFault(fault);

  index->BatchPushVariable({1}, {Text("a")});  // other kind: not counted
  data->BatchGetVariable({1});                  // other operation: not counted
  data->BatchPushVariable({1}, {Text("b")});    // first match
  try {
    data->BatchPushVariable({2}, {Text("c")});
    FAIL() << "no fault";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "gone");
  }
  EXPECT_EQ(data->BatchGetVariable({2}), (std::vector<Bytes>{{}}));
  data->BatchPushVariable({2}, {Text("c")});  // the fault fired once
  EXPECT_EQ(scope.backend().CallCount("BatchPushVariable"), 4u);
  EXPECT_EQ(scope.backend().CallCount("BatchPushVariable", ombrix::DATA), 3u);
  EXPECT_EQ(scope.backend().CallCount(), 6u);
}

TEST(TestKeystoreTest, StickyFaultKeepsFailingUntilCleared) {
  auto backend = std::make_shared<TestBackend>();
  TestKeystore store(backend, ombrix::POSTGRES, "idx", 3, ombrix::INDEX);
  Fault fault;
  fault.sticky = true;
  backend->InjectFault(fault);
  EXPECT_THROW(store.GetMap(1, 2), std::runtime_error);
  EXPECT_THROW(store.PushItem(1, Text("x")), std::runtime_error);
  backend->ClearFaults();
  store.PushItem(1, Text("x"));
  EXPECT_EQ(store.GetItem(1), Text("x"));
}

TEST(TestKeystoreTest, RefusedCompareAndSetsChangeNothing) {
  auto backend = std::make_shared<TestBackend>();
  TestKeystore store(backend, ombrix::POSTGRES, "idx", 3, ombrix::INDEX);
  backend->RefuseCompareAndSet(2);
  EXPECT_FALSE(store.PushMap(1, Text("m"), 2, 0));
  EXPECT_FALSE(store.PushMap(1, Text("m"), 2, 0));
  EXPECT_EQ(store.GetMap(1, 2).version, 0u);
  EXPECT_TRUE(store.PushMap(1, Text("m"), 2, 0));
  EXPECT_EQ(store.GetMap(1, 2).version, 1u);
  EXPECT_EQ(backend->CallCount("PushMap"), 3u);
}

TEST(TestKeystoreTest, HandlesKeepTheirOwnValueSize) {
  auto backend = std::make_shared<TestBackend>();
  TestKeystore wide(backend, ombrix::POSTGRES, "idx", 3, ombrix::INDEX);
  TestKeystore narrow(backend, ombrix::POSTGRES, "idx", 3, ombrix::INDEX);
  wide.SetValueSize(16);
  wide.BatchPushItems({1}, ombrix::Matrix<uint8_t>(1, 16, 7));
  EXPECT_EQ(wide.BatchGetItems({1}).data, Bytes(16, 7));
  narrow.BatchPushItems({2}, ombrix::Matrix<uint8_t>(1, 8, 9));
  EXPECT_EQ(narrow.BatchGetItems({2}).cols, 8u);
  EXPECT_THROW(narrow.BatchGetItems({1}), std::runtime_error);
}

TEST(TestKeystoreTest, FactoryFaultsAfterOpeningPassThroughUnwrapped) {
  ScopedTestBackend scope;
  auto store = CreateBackingStore(Location(ombrix::POSTGRES), "idx", 1, ombrix::INDEX);
  Fault fault;
  fault.operation = "GetMap";
  fault.message = "connection lost";
  scope.backend().InjectFault(fault);
  try {
    store->GetMap(1, 2);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "connection lost");
  }
}

TEST(TestKeystoreTest, LeavingTheScopeDetachesTheFactory) {
  {
    ScopedTestBackend scope;
    EXPECT_NO_THROW(CreateBackingStore(Location(ombrix::POSTGRES), "idx", 1, ombrix::INDEX));
  }
  // No server is configured, so a real opening must fail (as the factory reports it).
  EXPECT_THROW(CreateBackingStore(Location(ombrix::POSTGRES), "idx", 1, ombrix::INDEX), std::runtime_error);
}

}  // namespace
}  // namespace ombrix_encrypted_index::internal::backing_store
