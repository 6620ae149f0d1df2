// MemoryKeystore: the Keystore of the MEMORY location. Keeps one store of one index in
// process memory for the life of the object; a new object is always empty. Named config
// items are dropped (ConfigItemExists is always false, LoadConfigItem always throws).
// No lock: one object serves one engine object on one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "backing_store/keystore.h"

namespace ombrix_encrypted_index::internal::backing_store {

class MemoryKeystore : public Keystore {
 public:
  // store_id is index id + store kind (computed by the factory).
  MemoryKeystore(uint64_t store_id, std::string index_name)
      : Keystore(store_id, std::move(index_name)) {}

  void BatchPushItems(const std::vector<uint64_t>& keys, const Matrix<uint8_t>& values) override;
  void BatchPushVariable(const std::vector<uint64_t>& keys,
                         const std::vector<std::vector<uint8_t>>& values) override;
  void PushItem(const uint64_t& key, const std::vector<uint8_t>& value) override;
  bool PushMap(const uint64_t& map_key, const std::vector<uint8_t>& map, const uint64_t& version_key,
               const uint64_t& expected_version) override;
  bool CompareAndSetValue(const uint64_t& key, const std::vector<uint8_t>& value,
                          const uint64_t& version_key, const uint64_t& expected_version) override;
  void BatchDeleteItems(const std::vector<uint64_t>& keys) override;
  void DeleteItem(const uint64_t& key) override;
  std::vector<uint8_t> GetItem(const uint64_t& key) override;
  MapAndVersion GetMap(const uint64_t& map_key, const uint64_t& version_key) override;
  Matrix<uint8_t> BatchGetItems(const std::vector<uint64_t>& keys) override;
  std::vector<std::vector<uint8_t>> BatchGetVariable(const std::vector<uint64_t>& keys) override;
  void PushConfigItem(const std::string& name, const std::vector<uint8_t>& blob) override;
  std::vector<uint8_t> LoadConfigItem(const std::string& name) override;
  bool ConfigItemExists(const std::string& name) override;
  void DeleteIndex() override;
  uint64_t GetNumItems() override;
  std::vector<uint64_t> GetAllKeys() override;

 private:
  using Entry = std::unordered_map<uint64_t, std::vector<uint8_t>>;

  // The entry of this store, or null when it has none.
  Entry* FindEntry();

  // Store id -> (key -> value); only the entry under hashed_index_name_ is ever touched.
  std::unordered_map<uint64_t, Entry> index_data_;
};

}  // namespace ombrix_encrypted_index::internal::backing_store
