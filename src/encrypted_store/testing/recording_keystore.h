// Test helper: a Keystore that forwards every call to another one and appends a line
// "<Operation> <KIND> <count>" to a shared log, so a test can check the exact sequence
// of store calls an operation makes. While a ScopedRecordingStores lives, the store
// factory opens POSTGRES and REDIS locations as recording wrappers of test keystores.
// Not synchronised beyond what the wrapped keystore does.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "backing_store/store_factory.h"
#include "backing_store/testing/test_keystore.h"

namespace ombrix::testing_util {

namespace bs = ombrix_encrypted_index::internal::backing_store;

class RecordingKeystore : public bs::Keystore {
 public:
  // With map_with_entries the wrapper plays a store whose PushMapAndValues is one step
  // (noted as one call).
  RecordingKeystore(std::unique_ptr<bs::Keystore> inner, int32_t kind,
                    std::shared_ptr<std::vector<std::string>> calls, bool map_with_entries = false)
      : Keystore(inner->store_id(), inner->index_name()), inner_(std::move(inner)),
        kind_(kind), calls_(std::move(calls)), map_with_entries_(map_with_entries) {}

  void BatchPushItems(const std::vector<uint64_t>& keys, const Matrix<uint8_t>& values) override {
    Note("BatchPushItems", keys.size());
    inner_->BatchPushItems(keys, values);
  }
  void BatchPushVariable(const std::vector<uint64_t>& keys,
                         const std::vector<std::vector<uint8_t>>& values) override {
    Note("BatchPushVariable", keys.size());
    inner_->BatchPushVariable(keys, values);
  }
  void PushItem(const uint64_t& key, const std::vector<uint8_t>& value) override {
    Note("PushItem", 1);
    inner_->PushItem(key, value);
  }
  bool PushMap(const uint64_t& map_key, const std::vector<uint8_t>& map, const uint64_t& version_key,
               const uint64_t& expected_version) override {
    Note("PushMap", 1);
    return inner_->PushMap(map_key, map, version_key, expected_version);
  }
  bool PushMapAndValues(const uint64_t& map_key, const std::vector<uint8_t>& map, const uint64_t& version_key,
                        const uint64_t& expected_version, const std::vector<uint64_t>& keys,
                        const std::vector<std::vector<uint8_t>>& values,
                        const std::vector<bs::CarriedValues>& carried) override {
    if (!map_with_entries_) {
      return Keystore::PushMapAndValues(map_key, map, version_key, expected_version, keys, values, carried);
    }
    Note("PushMapAndValues", keys.size());
    if (!inner_->PushMap(map_key, map, version_key, expected_version)) return false;
    inner_->BatchPushVariable(keys, values);
    for (const bs::CarriedValues& other : carried) {
      if (!other.keys->empty()) other.store->BatchPushVariable(*other.keys, *other.values);
    }
    return true;
  }
  bool PushesMapAndValuesAtOnce() const override { return map_with_entries_; }
  bool CompareAndSetValue(const uint64_t& key, const std::vector<uint8_t>& value, const uint64_t& version_key,
                          const uint64_t& expected_version) override {
    Note("CompareAndSetValue", 1);
    return inner_->CompareAndSetValue(key, value, version_key, expected_version);
  }
  void BatchDeleteItems(const std::vector<uint64_t>& keys) override {
    Note("BatchDeleteItems", keys.size());
    inner_->BatchDeleteItems(keys);
  }
  void DeleteItem(const uint64_t& key) override {
    Note("DeleteItem", 1);
    inner_->DeleteItem(key);
  }
  std::vector<uint8_t> GetItem(const uint64_t& key) override {
    Note("GetItem", 1);
    return inner_->GetItem(key);
  }
  bs::MapAndVersion GetMap(const uint64_t& map_key, const uint64_t& version_key) override {
    Note("GetMap", 1);
    return inner_->GetMap(map_key, version_key);
  }
  Matrix<uint8_t> BatchGetItems(const std::vector<uint64_t>& keys) override {
    Note("BatchGetItems", keys.size());
    return inner_->BatchGetItems(keys);
  }
  std::vector<std::vector<uint8_t>> BatchGetVariable(const std::vector<uint64_t>& keys) override {
    Note("BatchGetVariable", keys.size());
    return inner_->BatchGetVariable(keys);
  }
  void PushConfigItem(const std::string& name, const std::vector<uint8_t>& blob) override {
    Note("PushConfigItem", 1);
    inner_->PushConfigItem(name, blob);
  }
  std::vector<uint8_t> LoadConfigItem(const std::string& name) override {
    Note("LoadConfigItem", 1);
    return inner_->LoadConfigItem(name);
  }
  bool ConfigItemExists(const std::string& name) override {
    Note("ConfigItemExists", 1);
    return inner_->ConfigItemExists(name);
  }
  void DeleteIndex() override {
    Note("DeleteIndex", 1);
    inner_->DeleteIndex();
  }
  uint64_t GetNumItems() override {
    Note("GetNumItems", 1);
    return inner_->GetNumItems();
  }
  std::vector<uint64_t> GetAllKeys() override {
    Note("GetAllKeys", 1);
    return inner_->GetAllKeys();
  }
  void SetValueSize(uint64_t size) override {
    Keystore::SetValueSize(size);
    inner_->SetValueSize(size);
  }

 private:
  void Note(const char* operation, uint64_t count) {
    static const char* kKinds[] = {"INDEX", "CONFIG", "ITEMS", "DATA"};
    const std::string kind = kind_ >= 0 && kind_ < 4 ? kKinds[kind_] : std::to_string(kind_);
    calls_->push_back(std::string(operation) + " " + kind + " " + std::to_string(count));
  }

  std::unique_ptr<bs::Keystore> inner_;
  int32_t kind_;
  std::shared_ptr<std::vector<std::string>> calls_;
  bool map_with_entries_;
};

// Replaces the factory's test opener with recording wrappers of the backend's keystores;
// on destruction puts plain test keystores back.
class ScopedRecordingStores {
 public:
  explicit ScopedRecordingStores(std::shared_ptr<bs::test_support::TestBackend> backend,
                                 bool map_with_entries = false)
      : backend_(std::move(backend)), map_with_entries_(map_with_entries) {
    Install(calls_);
  }
  ~ScopedRecordingStores() { Install(nullptr); }
  ScopedRecordingStores(const ScopedRecordingStores&) = delete;
  ScopedRecordingStores& operator=(const ScopedRecordingStores&) = delete;

  std::vector<std::string>& calls() { return *calls_; }

 private:
  void Install(std::shared_ptr<std::vector<std::string>> calls) {
    bs::SetKeystoreOpenerForTesting(
        [backend = backend_, calls, at_once = map_with_entries_](const DBConfig& config, const std::string& index_name,
                                    uint64_t store_id, int32_t kind) -> std::unique_ptr<bs::Keystore> {
          auto store = std::make_unique<bs::test_support::TestKeystore>(
              backend, config.location, index_name, store_id, kind);
          if (!calls) return store;
          return std::make_unique<RecordingKeystore>(std::move(store), kind, calls, at_once);
        });
  }

  std::shared_ptr<bs::test_support::TestBackend> backend_;
  bool map_with_entries_;
  std::shared_ptr<std::vector<std::string>> calls_ = std::make_shared<std::vector<std::string>>();
};

}  // namespace ombrix::testing_util
