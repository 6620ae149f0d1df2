// Test keystores for the engine's and the index's tests: a TestBackend stands in for a
// PostgreSQL or Redis server. Every keystore it opens wraps the backend's shared store for
// its store id, so two engine objects opened on the same index see each other's writes,
// and named config items are kept (unlike MemoryKeystore). Faults can be injected: fail
// the Nth matching call, run a test's action just before it (another writer stepping in),
// or refuse compare-and-sets. Holds are leases on the backend's own clock, which stands
// still until a test moves it (AdvanceClock), so a test decides when a hold runs out.
// While a ScopedTestBackend lives, CreateBackingStore opens POSTGRES and REDIS locations
// on it.
// Thread-safe: one mutex per backend serialises every call of every keystore it opened.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "backing_store/db_config.h"
#include "backing_store/keystore.h"
#include "backing_store/memory_keystore.h"
#include "backing_store/server_errors.h"
#include "backing_store/store_factory.h"

namespace ombrix_encrypted_index::internal::backing_store::test_support {

// A failure the backend will inject.
struct Fault {
  uint64_t nth = 1;              // the nth matching call from now throws (1 = the next one)
  std::string operation;         // a Keystore operation name ("PushMap", ...); empty = any
  std::optional<int32_t> kind;   // only keystores of this StoreKind; empty = any
  bool sticky = false;           // keep failing every matching call after the nth
  std::string message = "injected keystore failure";  // thrown as std::runtime_error
  bool unreachable = false;      // thrown as ServerUnreachable (a time limit ran out)
  bool reply_lost = false;       // the call takes effect, then fails as ServerUnreachable
  // The call takes effect, then answers "refused" (false), as a compare-and-set or
  // conditional delete sent again after its first sending committed does; any other call
  // fails as reply_lost.
  bool refused_after_apply = false;
};

class TestBackend {
 public:
  void InjectFault(Fault fault) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.push_back({std::move(fault), nullptr});
  }
  // The call that `when` matches does not fail: `action` runs first, outside the
  // backend's lock (so it may use the backend itself, as another writer would), then the
  // call goes on. `when.message` is not used.
  void RunBefore(Fault when, std::function<void()> action) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.push_back({std::move(when), std::move(action)});
  }
  // The next `times` compare-and-sets (PushMap or CompareAndSetValue) return false and
  // store nothing.
  void RefuseCompareAndSet(uint64_t times = 1) {
    std::lock_guard<std::mutex> lock(mutex_);
    refused_cas_ = times;
  }
  void ClearFaults() {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.clear();
    refused_cas_ = 0;
  }

  // From now on, stores opened on this backend agree to have their writes fenced by the
  // holds of another store of it (Keystore::FenceByHoldsOf), as stores sharing one server do.
  void FenceByHoldsOfOtherStores() {
    std::lock_guard<std::mutex> lock(mutex_);
    fences_across_stores_ = true;
  }
  // From now on, stores of `kind` opened on this backend stand for stores on another
  // server: no other store's holds fence them.
  void PlaceOnAnotherServer(int32_t kind) {
    std::lock_guard<std::mutex> lock(mutex_);
    elsewhere_kinds_.push_back(kind);
  }

  // The backend's clock, which only tests move: leases run out as it passes them.
  void AdvanceClock(uint64_t milliseconds) {
    std::lock_guard<std::mutex> lock(mutex_);
    clock_ms_ += milliseconds;
  }
  // Live holds of one store id: the exclusive holder (0: none) and the shared holders.
  std::pair<uint64_t, std::vector<uint64_t>> LiveHolds(uint64_t store_id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::pair<uint64_t, std::vector<uint64_t>> live{0, {}};
    auto it = holds_.find(store_id);
    if (it == holds_.end()) return live;
    const Holds& holds = it->second;
    if (holds.exclusive_until >= clock_ms_) live.first = holds.exclusive;
    for (const auto& [holder, until] : holds.shared) {
      if (until >= clock_ms_) live.second.push_back(holder);
    }
    return live;
  }

  // Calls made so far (failed ones included), by operation name and kind; empty = all.
  uint64_t CallCount(const std::string& operation = "", std::optional<int32_t> kind = std::nullopt) const {
    std::lock_guard<std::mutex> lock(mutex_);
    uint64_t n = 0;
    for (const auto& [key, count] : calls_) {
      if ((operation.empty() || key.first == operation) && (!kind || key.second == *kind)) n += count;
    }
    return n;
  }

  // Values and config items kept under every store id: 0 once nothing of any index is left.
  uint64_t KeptEverywhere() {
    std::lock_guard<std::mutex> lock(mutex_);
    uint64_t n = 0;
    for (auto& [id, store] : stores_) n += store.values.GetNumItems() + store.config_items.size();
    return n;
  }

  // Names of the config items kept under one store id.
  std::vector<std::string> ConfigItemNames(uint64_t store_id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> names;
    if (auto alias = kept_in_.find(store_id); alias != kept_in_.end()) store_id = alias->second;
    if (auto it = stores_.find(store_id); it != stores_.end()) {
      for (const auto& [name, blob] : it->second.config_items) names.push_back(name);
    }
    return names;
  }

 private:
  friend class TestKeystore;

  struct Store {
    explicit Store(uint64_t id) : values(id, "") {}
    MemoryKeystore values;
    std::map<std::string, std::vector<uint8_t>> config_items;
  };

  Store& StoreFor(uint64_t store_id) { return stores_.try_emplace(store_id, store_id).first->second; }

  // Leases, as a server that keeps them on its own clock would. A lease is live while the
  // clock has not passed its end.
  struct Holds {
    uint64_t exclusive = 0;  // 0: none was taken
    uint64_t exclusive_until = 0;
    std::map<uint64_t, uint64_t> shared;  // holder -> end of its lease
  };
  bool Live(const Holds& holds, HoldKind kind, uint64_t holder) const {
    if (kind == HoldKind::kExclusive) return holds.exclusive == holder && holds.exclusive_until >= clock_ms_;
    auto it = holds.shared.find(holder);
    return it != holds.shared.end() && it->second >= clock_ms_;
  }
  bool ExclusiveLive(const Holds& holds) const { return holds.exclusive != 0 && holds.exclusive_until >= clock_ms_; }

  // Counts the call and throws the fault that fires on it, if any, or returns the action
  // to run before it. REQUIRES: mutex_ held.
  std::function<void()> Enter(const char* operation, int32_t kind) {
    ++calls_[{operation, kind}];
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
      Fault& fault = it->fault;
      if ((!fault.operation.empty() && fault.operation != operation) || (fault.kind && *fault.kind != kind)) continue;
      if (fault.nth > 1) {
        --fault.nth;
        continue;
      }
      const std::string message = fault.message;
      const bool unreachable = fault.unreachable;
      std::function<void()> action = it->action;
      const bool reply_lost = fault.reply_lost || fault.refused_after_apply;
      refuse_after_apply_ = fault.refused_after_apply;
      if (!fault.sticky) faults_.erase(it);
      if (action) return action;
      if (reply_lost) {
        lost_reply_ = message;
        return nullptr;
      }
      if (unreachable) throw ServerUnreachable(message);
      throw std::runtime_error(message);
    }
    return nullptr;
  }

  mutable std::mutex mutex_;
  std::map<uint64_t, Store> stores_;
  std::map<std::pair<std::string, int32_t>, uint64_t> calls_;
  struct Armed {
    Fault fault;
    std::function<void()> action;  // null: the call fails
  };
  std::vector<Armed> faults_;
  uint64_t refused_cas_ = 0;
  bool fences_across_stores_ = false;
  std::vector<int32_t> elsewhere_kinds_;
  uint64_t clock_ms_ = 1'000'000;
  std::map<uint64_t, Holds> holds_;
  std::optional<std::string> lost_reply_;  // the call being made loses its reply
  bool refuse_after_apply_ = false;        // ... and answers "refused" where it can
  std::map<uint64_t, uint64_t> kept_in_;   // config store id -> the table its items are kept in
};

// A keystore on the backend's shared store `store_id`; value size 8 like every new
// keystore. `location` (POSTGRES or REDIS) words the missing-config-item error as that
// backend does.
class TestKeystore : public Keystore {
 public:
  TestKeystore(std::shared_ptr<TestBackend> backend, int32_t location, std::string index_name, uint64_t store_id,
               int32_t store_kind)
      : Keystore(store_id, std::move(index_name)), backend_(std::move(backend)), location_(location), kind_(store_kind) {
    // A keystore opened on a config store's id finds the table that store keeps its items in.
    std::lock_guard<std::mutex> lock(backend_->mutex_);
    if (auto alias = backend_->kept_in_.find(store_id); alias != backend_->kept_in_.end()) kept_in_ = alias->second;
  }

  // Keeps this store's items under `table` (shared by every store given it) instead of
  // its own store id; ConfigItemNames(store_id()) still finds them.
  void KeepConfigItemsIn(uint64_t table) {
    std::lock_guard<std::mutex> lock(backend_->mutex_);
    kept_in_ = table;
    backend_->kept_in_[hashed_index_name_] = table;
  }

  void BatchPushItems(const std::vector<uint64_t>& keys, const Matrix<uint8_t>& values) override {
    Run("BatchPushItems", [&](TestBackend::Store& s) {
      Fenced();
      s.values.SetValueSize(value_size_);
      s.values.BatchPushItems(keys, values);
    });
  }
  void BatchPushVariable(const std::vector<uint64_t>& keys, const std::vector<std::vector<uint8_t>>& values) override {
    Run("BatchPushVariable", [&](TestBackend::Store& s) {
      Fenced();
      s.values.BatchPushVariable(keys, values);
    });
  }
  void PushItem(const uint64_t& key, const std::vector<uint8_t>& value) override {
    Run("PushItem", [&](TestBackend::Store& s) {
      Fenced();
      s.values.PushItem(key, value);
    });
  }
  bool PushMap(const uint64_t& map_key, const std::vector<uint8_t>& map, const uint64_t& version_key,
               const uint64_t& expected_version) override {
    return CompareAndSet("PushMap", [&](TestBackend::Store& s) {
      Fenced();
      return s.values.PushMap(map_key, map, version_key, expected_version);
    });
  }
  bool CompareAndSetValue(const uint64_t& key, const std::vector<uint8_t>& value, const uint64_t& version_key,
                          const uint64_t& expected_version) override {
    return CompareAndSet("CompareAndSetValue", [&](TestBackend::Store& s) {
      Fenced();
      return s.values.CompareAndSetValue(key, value, version_key, expected_version);
    });
  }
  void BatchDeleteItems(const std::vector<uint64_t>& keys) override {
    Run("BatchDeleteItems", [&](TestBackend::Store& s) {
      Fenced();
      s.values.BatchDeleteItems(keys);
    });
  }
  void DeleteItem(const uint64_t& key) override {
    Run("DeleteItem", [&](TestBackend::Store& s) {
      Fenced();
      s.values.DeleteItem(key);
    });
  }
  std::vector<uint8_t> GetItem(const uint64_t& key) override {
    return Run("GetItem", [&](TestBackend::Store& s) { return s.values.GetItem(key); });
  }
  MapAndVersion GetMap(const uint64_t& map_key, const uint64_t& version_key) override {
    return Run("GetMap", [&](TestBackend::Store& s) { return s.values.GetMap(map_key, version_key); });
  }
  Matrix<uint8_t> BatchGetItems(const std::vector<uint64_t>& keys) override {
    return Run("BatchGetItems", [&](TestBackend::Store& s) {
      s.values.SetValueSize(value_size_);
      return s.values.BatchGetItems(keys);
    });
  }
  std::vector<std::vector<uint8_t>> BatchGetVariable(const std::vector<uint64_t>& keys) override {
    return Run("BatchGetVariable", [&](TestBackend::Store& s) { return s.values.BatchGetVariable(keys); });
  }
  void PushConfigItem(const std::string& name, const std::vector<uint8_t>& blob) override {
    Run("PushConfigItem", [&](TestBackend::Store& s) { s.config_items[name] = blob; });
  }
  std::vector<uint8_t> LoadConfigItem(const std::string& name) override {
    return Run("LoadConfigItem", [&](TestBackend::Store& s) {
      auto it = s.config_items.find(name);
      if (it == s.config_items.end()) {
        throw std::runtime_error("Index name '" + name + "' does not exist in " +
                                 (location_ == ombrix::REDIS ? "Redis." : "Postgres."));
      }
      return it->second;
    });
  }
  bool CompareAndSetConfigItem(const std::string& name, const std::vector<uint8_t>& expected,
                               const std::vector<uint8_t>& blob) override {
    return Run("CompareAndSetConfigItem", [&](TestBackend::Store& s) {
      auto it = s.config_items.find(name);
      const bool matches = expected.empty() ? it == s.config_items.end()
                                            : it != s.config_items.end() && it->second == expected;
      if (matches) s.config_items[name] = blob;
      return matches;
    });
  }
  bool ConfigItemExists(const std::string& name) override {
    return Run("ConfigItemExists", [&](TestBackend::Store& s) { return s.config_items.count(name) > 0; });
  }
  void DeleteConfigItem(const std::string& name) override {
    Run("DeleteConfigItem", [&](TestBackend::Store& s) { s.config_items.erase(name); });
  }
  bool DeleteConfigItemIf(const std::string& name, const std::vector<uint8_t>& expected) override {
    return Run("DeleteConfigItemIf", [&](TestBackend::Store& s) {
      auto it = s.config_items.find(name);
      if (expected.empty() || it == s.config_items.end() || it->second != expected) return false;
      s.config_items.erase(it);
      return true;
    });
  }
  void DeleteIndex() override {
    Run("DeleteIndex", [&](TestBackend::Store& s) {
      Fenced();
      s.values.DeleteIndex();
      s.config_items.clear();
    });
  }
  // Config items count as items, as rows of a config table do.
  uint64_t GetNumItems() override {
    return Run("GetNumItems", [&](TestBackend::Store& s) { return s.values.GetNumItems() + s.config_items.size(); });
  }
  std::vector<uint64_t> GetAllKeys() override {
    return Run("GetAllKeys", [&](TestBackend::Store& s) { return s.values.GetAllKeys(); });
  }
  std::vector<MapAndVersion> GetMaps(const std::vector<std::pair<uint64_t, uint64_t>>& keys) override {
    return Run("GetMaps", [&](TestBackend::Store& s) {
      std::vector<MapAndVersion> maps;
      for (const auto& [map_key, version_key] : keys) maps.push_back(s.values.GetMap(map_key, version_key));
      return maps;
    });
  }

  HoldGrant TakeHold(HoldKind kind, uint64_t holder, uint64_t lease_ms) override {
    return Run("TakeHold", [&](TestBackend::Store&) {
      TestBackend::Holds& holds = backend_->holds_[hashed_index_name_];
      const uint64_t now = backend_->clock_ms_;
      if (kind == HoldKind::kShared) {
        if (backend_->ExclusiveLive(holds)) return HoldGrant{false, false};
        holds.shared[holder] = now + lease_ms;
        return HoldGrant{true, false};
      }
      if (backend_->ExclusiveLive(holds) && holds.exclusive != holder) return HoldGrant{false, false};
      holds.exclusive = holder;
      holds.exclusive_until = now + lease_ms;
      std::erase_if(holds.shared, [&](const auto& entry) { return entry.second < now; });
      return HoldGrant{true, !holds.shared.empty()};
    });
  }
  bool RenewHold(HoldKind kind, uint64_t holder, uint64_t lease_ms) override {
    return Run("RenewHold", [&](TestBackend::Store&) {
      TestBackend::Holds& holds = backend_->holds_[hashed_index_name_];
      if (!backend_->Live(holds, kind, holder)) return false;
      const uint64_t until = backend_->clock_ms_ + lease_ms;
      (kind == HoldKind::kExclusive ? holds.exclusive_until : holds.shared[holder]) = until;
      return true;
    });
  }
  bool ReleaseHold(HoldKind kind, uint64_t holder) override {
    return Run("ReleaseHold", [&](TestBackend::Store&) {
      TestBackend::Holds& holds = backend_->holds_[hashed_index_name_];
      const bool live = backend_->Live(holds, kind, holder);
      if (kind == HoldKind::kShared) {
        holds.shared.erase(holder);
      } else if (holds.exclusive == holder) {
        holds.exclusive = 0;
        holds.exclusive_until = 0;
      }
      return live;
    });
  }
  bool FenceByHoldsOf(Keystore& holder_store) override {
    auto* holder = dynamic_cast<TestKeystore*>(&holder_store);
    std::lock_guard<std::mutex> lock(backend_->mutex_);
    if (holder == nullptr || holder == this || holder->backend_ != backend_ || !backend_->fences_across_stores_ ||
        std::ranges::find(backend_->elsewhere_kinds_, kind_) != backend_->elsewhere_kinds_.end()) {
      return false;
    }
    fence_store_id_ = holder->store_id();
    fenced_by_ = holder;
    return true;
  }
  bool FencesInOneStep(const Keystore& other) const override {
    const auto* store = dynamic_cast<const TestKeystore*>(&other);
    return store != nullptr && store != this && store->fenced_by_ == this;
  }
  bool ExclusiveHoldIsLive() override {
    return Run("ExclusiveHoldIsLive",
               [&](TestBackend::Store&) { return backend_->ExclusiveLive(backend_->holds_[hashed_index_name_]); });
  }

 private:
  // A write under a fence goes through only while its hold is live, as a server that
  // checks the hold in the same step as the write. REQUIRES: the backend's mutex held.
  void Fenced() {
    if (!write_fence_) return;
    if (!backend_->Live(backend_->holds_[fence_store_id_], write_fence_->kind, write_fence_->holder)) {
      throw HoldLostError("the hold of this write ran out on the server");
    }
  }

  // A compare-and-set that the backend may have been told to refuse.
  template <typename Set>
  bool CompareAndSet(const char* operation, Set&& set) {
    return Run(operation, [&](TestBackend::Store& s) {
      if (backend_->refused_cas_ > 0) {
        --backend_->refused_cas_;
        return false;
      }
      return set(s);
    });
  }

  static bool IsConditionalWrite(std::string_view operation) {
    for (std::string_view name : {"PushMap", "CompareAndSetValue", "CompareAndSetConfigItem", "DeleteConfigItemIf",
                                  "BatchDeleteCarriedWhileState"}) {
      if (operation == name) return true;
    }
    return false;
  }

  template <typename Body>
  auto Run(const char* operation, Body&& body) -> decltype(body(std::declval<TestBackend::Store&>())) {
    std::function<void()> action;
    {
      std::lock_guard<std::mutex> lock(backend_->mutex_);
      action = backend_->Enter(operation, kind_);
      if (!action && backend_->lost_reply_) {
        const std::string message = *backend_->lost_reply_;
        backend_->lost_reply_.reset();
        body(backend_->StoreFor(kept_in_));
        if constexpr (std::is_same_v<decltype(body(std::declval<TestBackend::Store&>())), bool>) {
          if (backend_->refuse_after_apply_ && IsConditionalWrite(operation)) return false;
        }
        throw ServerUnreachable(message);
      }
      if (!action) return body(backend_->StoreFor(kept_in_));
    }
    action();
    std::lock_guard<std::mutex> lock(backend_->mutex_);
    return body(backend_->StoreFor(kept_in_));
  }

  // The check and the removals in one call of the backend, as one script or statement.
  bool DeleteCarriedInOneStepWhileState(const uint64_t& state_key, const std::vector<uint8_t>& expected_state,
                                        const std::vector<CarriedKeys>& together) override {
    return Run("BatchDeleteCarriedWhileState", [&](TestBackend::Store& s) {
      if (s.values.BatchGetVariable({state_key})[0] != expected_state) return false;
      for (const CarriedKeys& other : together) {
        backend_->StoreFor(static_cast<const TestKeystore*>(other.store)->kept_in_).values.BatchDeleteItems(*other.keys);
      }
      return true;
    });
  }

  std::shared_ptr<TestBackend> backend_;
  int32_t location_;
  int32_t kind_;
  uint64_t kept_in_ = hashed_index_name_;  // where Run finds this store's items
  uint64_t fence_store_id_ = hashed_index_name_;  // the store whose holds fence this one's writes
  const TestKeystore* fenced_by_ = nullptr;        // that store, when it is another
};

// While alive, CreateBackingStore opens every POSTGRES and REDIS location on `backend`.
// One at a time per process.
class ScopedTestBackend {
 public:
  explicit ScopedTestBackend(std::shared_ptr<TestBackend> backend = std::make_shared<TestBackend>())
      : backend_(std::move(backend)) {
    SetKeystoreOpenerForTesting([backend = backend_](const ombrix::DBConfig& config, const std::string& index_name,
                                                     uint64_t store_id, int32_t store_kind) -> std::unique_ptr<Keystore> {
      auto store = std::make_unique<TestKeystore>(backend, config.location, index_name, store_id, store_kind);
      // A config table is shared by every index and keyed by record name, so the records of
      // one name are one set whatever key opened them.
      if (store_kind == ombrix::CONFIG) {
        store->KeepConfigItemsIn(std::hash<std::string>{}(std::to_string(config.location) + "/" +
                                                          config.table_name.value_or("") + "/" + index_name));
      }
      return store;
    });
  }
  ~ScopedTestBackend() { SetKeystoreOpenerForTesting(nullptr); }
  ScopedTestBackend(const ScopedTestBackend&) = delete;
  ScopedTestBackend& operator=(const ScopedTestBackend&) = delete;

  TestBackend& backend() { return *backend_; }
  const std::shared_ptr<TestBackend>& shared_backend() const { return backend_; }

 private:
  std::shared_ptr<TestBackend> backend_;
};

}  // namespace ombrix_encrypted_index::internal::backing_store::test_support
