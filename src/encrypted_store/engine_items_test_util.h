// Test helpers for adding and retrieving items on an engine core: batches of small float
// vectors, a snapshot of everything the four stores hold, and the ids and vectors of a
// retrieval result.
#pragma once

#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "encrypted_store/encrypted_index_core.h"
#include "index_model/cache_miss_result.h"

namespace ombrix::testing_util {

inline constexpr uint64_t kDimension = 2;
inline constexpr uint64_t kPayloadSize = kDimension * 4;

struct TestItem {
  TestItem() = default;
  TestItem(std::string item_id, uint32_t item_list, std::vector<float> item_vector,
           std::string item_metadata = "{}", std::vector<uint8_t> item_contents = {})
      : id(std::move(item_id)), list(item_list), vector(std::move(item_vector)),
        metadata(std::move(item_metadata)), contents(std::move(item_contents)) {}

  std::string id;
  uint32_t list = 0;
  std::vector<float> vector;  // kDimension values
  std::string metadata = "{}";
  std::vector<uint8_t> contents;
};

// payload_size: the row width; kPayloadSize unless a test wants another width.
inline ItemBatch MakeBatch(const std::vector<TestItem>& items, bool with_contents = false,
                           uint64_t payload_size = kPayloadSize) {
  ItemBatch batch;
  std::vector<uint8_t> bytes(items.size() * payload_size, 0);
  for (size_t i = 0; i < items.size(); ++i) {
    batch.input_tokens.push_back(items[i].list);
    batch.item_ids.push_back(items[i].id);
    batch.metadata.push_back(items[i].metadata);
    if (with_contents) batch.contents.push_back(items[i].contents);
    std::memcpy(bytes.data() + i * payload_size, items[i].vector.data(),
                std::min<uint64_t>(payload_size, items[i].vector.size() * sizeof(float)));
  }
  if (!items.empty() && payload_size != 0) batch.payloads = Matrix<uint8_t>(std::move(bytes), payload_size);
  return batch;
}

// Everything a store holds: values by key (map and version included), config items.
struct StoreSnapshot {
  std::map<uint64_t, std::vector<uint8_t>> values;
  std::map<std::string, std::vector<uint8_t>> config_items;
  bool operator==(const StoreSnapshot&) const = default;
};

inline StoreSnapshot Snapshot(Keystore& store, const std::vector<std::string>& config_names = {}) {
  StoreSnapshot snapshot;
  const std::vector<uint64_t> keys = store.GetAllKeys();
  const std::vector<std::vector<uint8_t>> values = store.BatchGetVariable(keys);
  for (size_t i = 0; i < keys.size(); ++i) snapshot.values[keys[i]] = values[i];
  for (const std::string& name : config_names) snapshot.config_items[name] = store.LoadConfigItem(name);
  return snapshot;
}

// The four stores of a core, in the order index, data, config, items.
inline std::vector<StoreSnapshot> SnapshotAll(EncryptedIndexCore& core) {
  return {Snapshot(*core.index_store), Snapshot(*core.data_store),
          Snapshot(*core.config_store, {core.index_name + ".oei", core.index_name + ".ovs"}),
          Snapshot(*core.items_store)};
}

// id -> vector of every row of a result, and how often each id occurs.
struct RowsById {
  std::map<std::string, std::vector<float>> vectors;
  std::map<std::string, int> counts;
};

inline RowsById ReadRows(const CacheMissResult& result) {
  RowsById rows;
  for (size_t r = 0; r < result.item_ids.size(); ++r) {
    std::vector<float> vector(kDimension);
    if (result.payloads.cols() == kPayloadSize) {
      std::memcpy(vector.data(), result.payloads.row(r), kPayloadSize);
    }
    rows.vectors[result.item_ids[r]] = vector;
    ++rows.counts[result.item_ids[r]];
  }
  return rows;
}

}  // namespace ombrix::testing_util
