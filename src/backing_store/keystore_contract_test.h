// The behaviour every Keystore shares, as one typed GoogleTest suite. A backend runs it
// by naming a maker type in its own *_test.cc:
//
//   struct PostgresStores {
//     // A new, empty store of a kind that keeps values and a map (INDEX), under a
//     // store id no other test or run uses.
//     static std::unique_ptr<Keystore> Make();
//     // Optional: called after the test with every store Make returned.
//     static void Release(Keystore& store);
//   };
//   INSTANTIATE_TYPED_TEST_SUITE_P(Postgres, KeystoreContractTest, PostgresStores);
//
// Error types and texts and config items differ between backends by design and are
// tested per backend, not here. Every store a test makes is
// emptied with DeleteIndex afterwards, so a shared server keeps nothing.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "backing_store/keystore.h"

namespace ombrix_encrypted_index::internal::backing_store {

namespace keystore_contract {

using Bytes = std::vector<uint8_t>;

inline Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Fixed-width rows of `width` bytes, row i filled with seed + i.
inline ombrix::Matrix<uint8_t> Rows(uint64_t n, uint64_t width, uint8_t seed) {
  ombrix::Matrix<uint8_t> m(n, width, 0);
  for (uint64_t i = 0; i < n; ++i) std::fill(m.row(i), m.row(i) + width, static_cast<uint8_t>(seed + i));
  return m;
}

inline Bytes LittleEndian8(uint64_t value) {
  Bytes bytes(8);
  for (int b = 0; b < 8; ++b) bytes[b] = static_cast<uint8_t>(value >> (8 * b));
  return bytes;
}

inline std::vector<uint64_t> Sorted(std::vector<uint64_t> keys) {
  std::sort(keys.begin(), keys.end());
  return keys;
}

}  // namespace keystore_contract

template <typename Maker>
class KeystoreContractTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (auto& store : stores_) {
      try {
        store->DeleteIndex();
      } catch (const std::exception& e) {
        ADD_FAILURE() << "DeleteIndex while cleaning up: " << e.what();
      }
      if constexpr (requires(Keystore& k) { Maker::Release(k); }) Maker::Release(*store);
    }
  }

  Keystore& NewStore() {
    stores_.push_back(Maker::Make());
    return *stores_.back();
  }

  std::vector<std::unique_ptr<Keystore>> stores_;
};

TYPED_TEST_SUITE_P(KeystoreContractTest);

using keystore_contract::Bytes;
using keystore_contract::LittleEndian8;
using keystore_contract::Rows;
using keystore_contract::Sorted;
using keystore_contract::Text;

TYPED_TEST_P(KeystoreContractTest, VersionedMapCompareAndSet) {
  Keystore& store = this->NewStore();
  const uint64_t map_key = 0xFFFFFFFFFFFFFFFEull, version_key = 0xFFFFFFFFFFFFFFFFull;

  MapAndVersion fresh = store.GetMap(map_key, version_key);
  EXPECT_TRUE(fresh.map_data.empty());
  EXPECT_EQ(fresh.version, 0u);

  EXPECT_FALSE(store.PushMap(map_key, Text("never"), version_key, 3));
  EXPECT_TRUE(store.GetMap(map_key, version_key).map_data.empty());

  EXPECT_TRUE(store.PushMap(map_key, Text("first"), version_key, 0));
  MapAndVersion first = store.GetMap(map_key, version_key);
  EXPECT_EQ(first.map_data, Text("first"));
  EXPECT_EQ(first.version, 1u);

  // A writer still holding version 0 has lost the race and must change nothing.
  EXPECT_FALSE(store.PushMap(map_key, Text("stale"), version_key, 0));
  EXPECT_EQ(store.GetMap(map_key, version_key).map_data, Text("first"));

  Bytes binary(300);
  for (size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<uint8_t>(i);
  EXPECT_TRUE(store.PushMap(map_key, binary, version_key, 1));
  MapAndVersion second = store.GetMap(map_key, version_key);
  EXPECT_EQ(second.map_data, binary);
  EXPECT_EQ(second.version, 2u);
}

// The value and its version are ordinary values: read, counted, listed and deleted as
// the others are.
TYPED_TEST_P(KeystoreContractTest, ValueCompareAndSetKeepsBothAmongTheValues) {
  Keystore& store = this->NewStore();
  const uint64_t key = 0x8000000000000001ull, version_key = 0xFFFFFFFFFFFFFFF0ull;

  EXPECT_FALSE(store.CompareAndSetValue(key, Text("never"), version_key, 2));
  EXPECT_EQ(store.BatchGetVariable({key, version_key}), (std::vector<Bytes>{{}, {}}));

  EXPECT_TRUE(store.CompareAndSetValue(key, Text("first"), version_key, 0));
  EXPECT_EQ(store.BatchGetVariable({key, version_key}), (std::vector<Bytes>{Text("first"), LittleEndian8(1)}));
  // A writer still holding version 0 has lost the race and must change nothing.
  EXPECT_FALSE(store.CompareAndSetValue(key, Text("stale"), version_key, 0));
  EXPECT_EQ(store.BatchGetVariable({key}), (std::vector<Bytes>{Text("first")}));

  Bytes binary(300);
  for (size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<uint8_t>(i);
  EXPECT_TRUE(store.CompareAndSetValue(key, binary, version_key, 1));
  EXPECT_EQ(store.BatchGetVariable({key, version_key}), (std::vector<Bytes>{binary, LittleEndian8(2)}));
  EXPECT_EQ(store.GetNumItems(), 2u);
  EXPECT_EQ(Sorted(store.GetAllKeys()), Sorted({key, version_key}));

  store.DeleteIndex();
  EXPECT_EQ(store.BatchGetVariable({key, version_key}), (std::vector<Bytes>{{}, {}}));
  EXPECT_TRUE(store.CompareAndSetValue(key, Text("again"), version_key, 0));
}

// Every value the store holds counts, the map and its version included.
TYPED_TEST_P(KeystoreContractTest, CountsTheMapAndItsVersionAmongTheValues) {
  Keystore& store = this->NewStore();
  store.BatchPushVariable({1, 2, 3}, {Text("a"), Text("b"), Text("c")});
  EXPECT_EQ(store.GetNumItems(), 3u);
  EXPECT_TRUE(store.PushMap(100, Text("map"), 101, 0));
  EXPECT_EQ(store.GetNumItems(), 5u);
  EXPECT_TRUE(store.PushMap(100, Text("map 2"), 101, 1));
  EXPECT_EQ(store.GetNumItems(), 5u);
  store.BatchDeleteItems({1});
  EXPECT_EQ(store.GetNumItems(), 4u);
}

TYPED_TEST_P(KeystoreContractTest, VariableBatchesRoundTripInKeyOrder) {
  Keystore& store = this->NewStore();
  Bytes every_byte(256);
  for (size_t i = 0; i < every_byte.size(); ++i) every_byte[i] = static_cast<uint8_t>(i);
  // Keys at both ends of the range catch sign and byte-order slips of the backends.
  const std::vector<uint64_t> keys = {0, 1, 0x8000000000000000ull, 0xFFFFFFFFFFFFFFFFull, 77};
  const std::vector<Bytes> values = {Text("a"), Bytes(5000, 0x5A), every_byte, Bytes{0, 0, 0},
                                     Text("tail")};
  store.BatchPushVariable(keys, values);

  EXPECT_EQ(store.BatchGetVariable(keys), values);
  const std::vector<uint64_t> mixed = {77, 12345, 0, 0xFFFFFFFFFFFFFFFFull, 99};
  EXPECT_EQ(store.BatchGetVariable(mixed),
            (std::vector<Bytes>{Text("tail"), {}, Text("a"), Bytes{0, 0, 0}, {}}));
  EXPECT_EQ(store.BatchGetVariable({424242, 434343}), (std::vector<Bytes>{{}, {}}));

  EXPECT_EQ(store.GetNumItems(), keys.size());
  EXPECT_EQ(Sorted(store.GetAllKeys()), Sorted(keys));
}

TYPED_TEST_P(KeystoreContractTest, VariablePushReplacesAndSkipsEmptyValues) {
  Keystore& store = this->NewStore();
  store.BatchPushVariable({1, 2}, {Text("one"), Text("two")});
  store.BatchPushVariable({1, 2, 3}, {Text("uno"), {}, {}});
  EXPECT_EQ(store.BatchGetVariable({1, 2, 3}), (std::vector<Bytes>{Text("uno"), Text("two"), {}}));
  EXPECT_EQ(store.GetNumItems(), 2u);
}

TYPED_TEST_P(KeystoreContractTest, LargeVariableBatch) {
  Keystore& store = this->NewStore();
  constexpr uint64_t kCount = 2500;
  std::vector<uint64_t> keys;
  std::vector<Bytes> values;
  for (uint64_t i = 0; i < kCount; ++i) {
    keys.push_back(i * 0x9E3779B97F4A7C15ull);
    values.push_back(Bytes(1 + i % 97, static_cast<uint8_t>(i)));
  }
  store.BatchPushVariable(keys, values);
  EXPECT_EQ(store.BatchGetVariable(keys), values);
  EXPECT_EQ(store.GetNumItems(), kCount);
  store.BatchDeleteItems(keys);
  EXPECT_EQ(store.GetNumItems(), 0u);
}

TYPED_TEST_P(KeystoreContractTest, MalformedVariableBatchStoresNothing) {
  Keystore& store = this->NewStore();
  EXPECT_THROW(store.BatchPushVariable({}, {}), std::exception);
  EXPECT_THROW(store.BatchPushVariable({1, 2}, {Text("x")}), std::exception);
  EXPECT_THROW(store.BatchPushVariable({1}, {Text("x"), Text("y")}), std::exception);
  EXPECT_EQ(store.BatchGetVariable({1, 2}), (std::vector<Bytes>{{}, {}}));
  EXPECT_EQ(store.GetNumItems(), 0u);
}

TYPED_TEST_P(KeystoreContractTest, FixedWidthBatches) {
  Keystore& store = this->NewStore();
  EXPECT_EQ(store.value_size(), 8u);
  store.BatchPushItems({10, 20, 30}, Rows(3, 8, 0x10));

  ombrix::Matrix<uint8_t> got = store.BatchGetItems({30, 999, 10});
  ASSERT_EQ(got.rows, 3u);
  ASSERT_EQ(got.cols, 8u);
  EXPECT_EQ(Bytes(got.row(0), got.row(0) + 8), Bytes(8, 0x12));
  EXPECT_EQ(Bytes(got.row(1), got.row(1) + 8), Bytes(8, 0));
  EXPECT_EQ(Bytes(got.row(2), got.row(2) + 8), Bytes(8, 0x10));
  // The same values are visible to the variable-width reads.
  EXPECT_EQ(store.BatchGetVariable({20}), (std::vector<Bytes>{Bytes(8, 0x11)}));

  ombrix::Matrix<uint8_t> none = store.BatchGetItems({5, 6});
  EXPECT_EQ(none.rows, 2u);
  EXPECT_EQ(none.cols, 8u);
  EXPECT_EQ(none.data, Bytes(16, 0));
}

TYPED_TEST_P(KeystoreContractTest, FixedWidthFollowsValueSize) {
  Keystore& store = this->NewStore();
  EXPECT_THROW(store.BatchPushItems({1, 2}, Rows(1, 8, 1)), std::invalid_argument);
  EXPECT_THROW(store.BatchPushItems({1}, Rows(1, 16, 1)), std::invalid_argument);
  // rows x cols must also be what the buffer holds, neither more nor less.
  for (size_t bytes : {8, 24}) {
    ombrix::Matrix<uint8_t> malformed = Rows(2, 8, 1);
    malformed.data.resize(bytes);
    EXPECT_THROW(store.BatchPushItems({1, 2}, malformed), std::invalid_argument) << bytes;
  }

  store.SetValueSize(16);
  EXPECT_EQ(store.value_size(), 16u);
  EXPECT_THROW(store.BatchPushItems({1}, Rows(1, 8, 1)), std::invalid_argument);
  EXPECT_EQ(store.GetNumItems(), 0u);

  store.BatchPushItems({1, 2}, Rows(2, 16, 0xA0));
  ombrix::Matrix<uint8_t> got = store.BatchGetItems({2, 3});
  ASSERT_EQ(got.cols, 16u);
  ASSERT_EQ(got.rows, 2u);
  EXPECT_EQ(Bytes(got.row(0), got.row(0) + 16), Bytes(16, 0xA1));
  EXPECT_EQ(Bytes(got.row(1), got.row(1) + 16), Bytes(16, 0));
}

TYPED_TEST_P(KeystoreContractTest, SingleItemOperations) {
  Keystore& store = this->NewStore();
  store.PushItem(7, Text("seven"));
  EXPECT_EQ(store.GetItem(7), Text("seven"));
  store.PushItem(7, Text("SEVEN!"));
  EXPECT_EQ(store.GetItem(7), Text("SEVEN!"));
  store.PushItem(8, Text("eight"));
  store.DeleteItem(7);
  EXPECT_EQ(store.BatchGetVariable({7, 8}), (std::vector<Bytes>{{}, Text("eight")}));
  EXPECT_EQ(store.GetNumItems(), 1u);
}

TYPED_TEST_P(KeystoreContractTest, DeletesEmptyTheStore) {
  Keystore& store = this->NewStore();
  store.BatchPushVariable({1, 2, 3}, {Text("a"), Text("b"), Text("c")});
  store.BatchDeleteItems({2, 404});
  EXPECT_EQ(store.BatchGetVariable({1, 2, 3}), (std::vector<Bytes>{Text("a"), {}, Text("c")}));
  EXPECT_EQ(store.GetNumItems(), 2u);
  store.BatchDeleteItems({1, 3});
  EXPECT_EQ(store.GetNumItems(), 0u);
  EXPECT_TRUE(store.GetAllKeys().empty());
  // Deleting from an empty store is not an error.
  store.BatchDeleteItems({1});

  store.BatchPushVariable({4, 5}, {Text("d"), Text("e")});
  EXPECT_TRUE(store.PushMap(100, Text("map"), 101, 0));
  store.DeleteIndex();
  EXPECT_EQ(store.BatchGetVariable({4, 5}), (std::vector<Bytes>{{}, {}}));
  MapAndVersion map = store.GetMap(100, 101);
  EXPECT_TRUE(map.map_data.empty());
  EXPECT_EQ(map.version, 0u);
  EXPECT_EQ(store.GetNumItems(), 0u);
  EXPECT_TRUE(store.GetAllKeys().empty());
  // A store that holds nothing can be deleted again.
  store.DeleteIndex();
}

TYPED_TEST_P(KeystoreContractTest, StoresDoNotSeeEachOther) {
  Keystore& a = this->NewStore();
  Keystore& b = this->NewStore();
  ASSERT_NE(a.store_id(), b.store_id());
  a.BatchPushVariable({1, 2}, {Text("a1"), Text("a2")});
  b.BatchPushVariable({2, 3}, {Text("b2"), Text("b3")});
  EXPECT_TRUE(a.PushMap(50, Text("map a"), 51, 0));

  EXPECT_EQ(a.BatchGetVariable({1, 2, 3}), (std::vector<Bytes>{Text("a1"), Text("a2"), {}}));
  EXPECT_EQ(b.BatchGetVariable({1, 2, 3}), (std::vector<Bytes>{{}, Text("b2"), Text("b3")}));
  EXPECT_EQ(b.GetMap(50, 51).version, 0u);
  EXPECT_EQ(Sorted(b.GetAllKeys()), (std::vector<uint64_t>{2, 3}));

  b.DeleteIndex();
  EXPECT_EQ(a.BatchGetVariable({1, 2}), (std::vector<Bytes>{Text("a1"), Text("a2")}));
  EXPECT_EQ(a.GetMap(50, 51).version, 1u);
}

// Where the two stores share a server, another store's keys go only while this store's
// state value is the one given; elsewhere they go unchecked.
TYPED_TEST_P(KeystoreContractTest, CarriedKeysGoOnlyWhileTheStateIsAsRead) {
  Keystore& index = this->NewStore();
  Keystore& other = this->NewStore();
  other.FenceByHoldsOf(index);
  other.BatchPushVariable({1, 2, 3}, {Text("x"), Text("y"), Text("z")});
  const std::vector<uint64_t> keys = {1, 2};
  const std::vector<CarriedKeys> carried = {{&other, &keys}};
  const bool checked = index.FencesInOneStep(other);
  if (checked) {
    EXPECT_FALSE(index.BatchDeleteCarriedWhileState(60, Text("state"), carried)) << "no state is stored";
    ASSERT_TRUE(index.PushMap(60, Text("state"), 61, 0));
    EXPECT_FALSE(index.BatchDeleteCarriedWhileState(60, {}, carried)) << "a state is stored";
    EXPECT_FALSE(index.BatchDeleteCarriedWhileState(60, Text("other"), carried));
    EXPECT_EQ(other.BatchGetVariable({1, 2, 3}), (std::vector<Bytes>{Text("x"), Text("y"), Text("z")}));
  }
  EXPECT_TRUE(index.BatchDeleteCarriedWhileState(60, checked ? Text("state") : Bytes{}, carried));
  EXPECT_EQ(other.BatchGetVariable({1, 2, 3}), (std::vector<Bytes>{{}, {}, Text("z")}));
}

REGISTER_TYPED_TEST_SUITE_P(KeystoreContractTest, CarriedKeysGoOnlyWhileTheStateIsAsRead, VersionedMapCompareAndSet, ValueCompareAndSetKeepsBothAmongTheValues,
                            CountsTheMapAndItsVersionAmongTheValues, VariableBatchesRoundTripInKeyOrder,
                            VariablePushReplacesAndSkipsEmptyValues, LargeVariableBatch,
                            MalformedVariableBatchStoresNothing, FixedWidthBatches, FixedWidthFollowsValueSize,
                            SingleItemOperations, DeletesEmptyTheStore, StoresDoNotSeeEachOther);

}  // namespace ombrix_encrypted_index::internal::backing_store
