// Keystore: one store of one index. Opaque byte values under 64-bit keys, one versioned
// map blob, and (config stores) named blobs. Implementations: memory, PostgreSQL, Redis,
// made by CreateBackingStore. Not thread-safe: one operation at a time per object;
// PushMap and CompareAndSetValue (atomic in PostgreSQL and Redis) and the holds below are
// the cross-process coordination.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "index_model/matrix.h"

namespace ombrix_encrypted_index::internal::backing_store {

using ombrix::Matrix;

// PushMapAndValues stored the map but not the values.
class ValuesNotStoredError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct MapAndVersion {
  std::vector<uint8_t> map_data;  // empty when no map is stored
  uint64_t version = 0;           // 0 when no map is stored
};

// Holds keep the processes sharing an index store apart: writers take shared holds, a
// training or a deletion takes the exclusive one. Their life is judged by the server
// alone, never by comparing clocks of the processes: PostgreSQL keeps them as session
// locks that end with the session, Redis as leases on its own clock that run out unless
// renewed. While a store's write fence names a hold, every write of that store to the
// server is made only if the hold is still live there, and a refused write throws
// HoldLostError (server_errors.h).
enum class HoldKind : uint8_t { kShared, kExclusive };

// The lease of this process's holds, in milliseconds (0: none). A store whose server keeps
// holds as sessions learns it when it connects, to end the session of a holder that went
// silent; the engine passes the same value to TakeHold. Thread-safe.
inline std::atomic<uint64_t>& ProcessHoldLease() {
  static std::atomic<uint64_t> lease_ms{40'000};
  return lease_ms;
}
inline void SetProcessHoldLease(uint64_t lease_ms) { ProcessHoldLease().store(lease_ms); }

struct HoldGrant {
  bool granted = false;       // shared: no exclusive hold is live; exclusive: it is this holder's
  bool others_share = false;  // exclusive: shared holds taken before it are still live
};

struct WriteFence {
  HoldKind kind = HoldKind::kShared;
  uint64_t holder = 0;
  friend bool operator==(const WriteFence&, const WriteFence&) = default;
};

class Keystore;

// Values of another store of the same index that PushMapAndValues writes with its own,
// only when it stores the map. Borrowed for the call.
struct CarriedValues {
  Keystore* store = nullptr;
  const std::vector<uint64_t>* keys = nullptr;
  const std::vector<std::vector<uint8_t>>* values = nullptr;
};

// Keys of another store of the same index that BatchDeleteCarriedWhileState removes.
// Borrowed for the call.
struct CarriedKeys {
  Keystore* store = nullptr;
  const std::vector<uint64_t>* keys = nullptr;
};

class Keystore {
 public:
  virtual ~Keystore() = default;

  // Row i (value_size_ bytes) under keys[i]. std::invalid_argument on a count or
  // width mismatch.
  virtual void BatchPushItems(const std::vector<uint64_t>& keys, const Matrix<uint8_t>& values) = 0;
  // values[i] under keys[i]; an empty value is skipped (an existing value stays).
  virtual void BatchPushVariable(const std::vector<uint64_t>& keys,
                                 const std::vector<std::vector<uint8_t>>& values) = 0;
  virtual void PushItem(const uint64_t& key, const std::vector<uint8_t>& value) = 0;
  // Versioned compare-and-set: when the stored version (0 if none) equals
  // expected_version, stores map and expected_version + 1 and returns true; otherwise
  // changes nothing and returns false.
  virtual bool PushMap(const uint64_t& map_key, const std::vector<uint8_t>& map,
                       const uint64_t& version_key, const uint64_t& expected_version) = 0;
  // PushMap and, only when it stored the map, BatchPushVariable(keys, values), then each
  // carried store's BatchPushVariable of its values: one step (one round trip, one fence
  // check) where the server allows it (for the carried stores: where CarriesWritesOf says
  // so; the others are written after it, in turn). True when the map was stored. Where
  // they are several steps, a failure of a later one after the map was stored throws
  // ValuesNotStoredError with the failure's text (ServerUnreachable passes as it is).
  virtual bool PushMapAndValues(const uint64_t& map_key, const std::vector<uint8_t>& map,
                                const uint64_t& version_key, const uint64_t& expected_version,
                                const std::vector<uint64_t>& keys,
                                const std::vector<std::vector<uint8_t>>& values,
                                const std::vector<CarriedValues>& carried);
  // BatchPushVariable(keys, values), then each carried store's BatchPushVariable of its
  // values, in that order. Where this store overrides it and CarriesWritesOf says so for
  // the first carried stores, they are written in the same step as this store's (all of it
  // lands, or none); the rest are written after it, in turn. An empty carried store is
  // skipped.
  virtual void BatchPushVariableCarrying(const std::vector<uint64_t>& keys,
                                         const std::vector<std::vector<uint8_t>>& values,
                                         const std::vector<CarriedValues>& carried);
  // Removes each carried store's keys from it, only while this store's value under
  // `state_key` is `expected_state` (empty: no value is stored there). The check and the
  // removal from every carried store this store fences in one step (FencesInOneStep) are
  // one step: false says the value differed, and nothing was removed anywhere. The other
  // carried stores' keys are removed only after that step, in turn: there a removal can
  // still land after the value changed.
  bool BatchDeleteCarriedWhileState(const uint64_t& state_key, const std::vector<uint8_t>& expected_state,
                                    const std::vector<CarriedKeys>& carried);
  // Whether `other`'s writes are fenced by this store's holds and one step of this store
  // (a statement on its session, a script on its server) reaches `other`'s values: then
  // `other`'s writes and deletes can go in this store's steps, judged as its own.
  virtual bool FencesInOneStep(const Keystore& other) const {
    (void)other;
    return false;
  }
  // Whether PushMapAndValues is one step of the server as things stand. Where it is two,
  // a caller gains nothing from handing the values to it and keeps the compare-and-set's
  // window (from reading the map to pushing it) as short as it can.
  virtual bool PushesMapAndValuesAtOnce() const { return false; }
  // Whether the carrying writes this store overrides (PushMapAndValues,
  // BatchPushVariableCarrying) write the carried values of the stores it fences in one step
  // in that same step. The defaults write them in turn.
  virtual bool CarriesInOneStep() const { return false; }
  // Whether this store's overridden carrying writes write `other`'s carried values in the
  // same step as its own, judged by the same hold as `other`'s own
  // writes would be: this store fences `other` in one step, under the fence it writes
  // with. Where it does, a caller that hands them over saves `other` a call to its server.
  bool CarriesWritesOf(const Keystore& other) const {
    return CarriesInOneStep() && write_fence_.has_value() && FencesInOneStep(other) &&
           other.write_fence() == write_fence_;
  }
  // Versioned compare-and-set of a plain value: when the value under version_key (8
  // little-endian bytes; none counts as 0) holds expected_version, stores value under key
  // and expected_version + 1 (8 little-endian bytes) under version_key and returns true;
  // otherwise changes nothing and returns false. Both are ordinary values of this store:
  // BatchGetVariable reads them, GetNumItems counts them, DeleteIndex removes them.
  // Atomic against every other writer in PostgreSQL and Redis.
  virtual bool CompareAndSetValue(const uint64_t& key, const std::vector<uint8_t>& value,
                                  const uint64_t& version_key,
                                  const uint64_t& expected_version) = 0;
  // Missing keys are not an error.
  virtual void BatchDeleteItems(const std::vector<uint64_t>& keys) = 0;
  virtual void DeleteItem(const uint64_t& key) = 0;
  virtual std::vector<uint8_t> GetItem(const uint64_t& key) = 0;
  virtual MapAndVersion GetMap(const uint64_t& map_key, const uint64_t& version_key) = 0;
  // One row per key, value_size_ columns; a missing key gives a row of zero bytes.
  virtual Matrix<uint8_t> BatchGetItems(const std::vector<uint64_t>& keys) = 0;
  // One entry per key; a missing key gives an empty entry.
  virtual std::vector<std::vector<uint8_t>> BatchGetVariable(const std::vector<uint64_t>& keys) = 0;
  virtual void PushConfigItem(const std::string& name, const std::vector<uint8_t>& blob) = 0;
  // std::runtime_error when no blob of that name is stored.
  virtual std::vector<uint8_t> LoadConfigItem(const std::string& name) = 0;
  virtual bool ConfigItemExists(const std::string& name) = 0;
  // Compare-and-set of a named blob: stores `blob` under `name` only when the blob stored
  // there now is exactly `expected` (an empty `expected`: no blob of that name is stored),
  // and returns whether it stored it. Atomic against every other writer on PostgreSQL and
  // Redis, so a write delivered late (a stalled process, a held network packet) cannot
  // replace a newer one. This default, for stores no other process reaches, reads and
  // writes in turn.
  virtual bool CompareAndSetConfigItem(const std::string& name, const std::vector<uint8_t>& expected,
                                       const std::vector<uint8_t>& blob) {
    const bool stored = ConfigItemExists(name);
    if (expected.empty() ? stored : !stored || LoadConfigItem(name) != expected) return false;
    PushConfigItem(name, blob);
    return true;
  }
  // Removes the one named blob; a name that is not stored is no error. This store's
  // other items stay. Stores that keep no config items have nothing to remove.
  virtual void DeleteConfigItem(const std::string& name) { (void)name; }
  // Removes the named blob only when the blob stored there now is exactly `expected`, and
  // returns whether it removed it: a record another index wrote under the name since it
  // was read stays. Atomic on PostgreSQL and Redis; this default, for stores no other
  // process reaches, reads and removes in turn.
  virtual bool DeleteConfigItemIf(const std::string& name, const std::vector<uint8_t>& expected) {
    if (expected.empty() || !ConfigItemExists(name) || LoadConfigItem(name) != expected) return false;
    DeleteConfigItem(name);
    return true;
  }
  // Removes everything this store holds for its index.
  virtual void DeleteIndex() = 0;
  virtual uint64_t GetNumItems() = 0;
  virtual std::vector<uint64_t> GetAllKeys() = 0;
  virtual void SetValueSize(uint64_t size) { value_size_ = size; }

  // Several versioned maps read from one state of the store, in one round trip where the
  // server allows it; one entry per (map key, version key) pair.
  virtual std::vector<MapAndVersion> GetMaps(const std::vector<std::pair<uint64_t, uint64_t>>& keys) {
    std::vector<MapAndVersion> maps;
    maps.reserve(keys.size());
    for (const auto& [map_key, version_key] : keys) maps.push_back(GetMap(map_key, version_key));
    return maps;
  }
  // GetMaps in two halves, so that calls to other stores run while this one's server
  // answers: SendMapsRead sends the read, and the next call on this keystore must be
  // ReceiveMaps, which answers it or throws what GetMaps would. By default the read runs in
  // SendMapsRead.
  virtual void SendMapsRead(const std::vector<std::pair<uint64_t, uint64_t>>& keys) {
    maps_read_ = GetMaps(keys);
  }
  virtual std::vector<MapAndVersion> ReceiveMaps() { return std::exchange(maps_read_, {}); }

  // Holds (see HoldKind). A store no other process can reach keeps none: every hold is
  // granted at once and never lost.
  //
  // Shared: granted while no exclusive hold is live. Exclusive: granted while no other
  // exclusive hold is live; while granted, no new shared hold is, and others_share says
  // whether shared holds taken before are still live (call again to wait for them; a
  // call by the holder renews its hold). `lease_ms` is how long the hold outlives a holder
  // that stops renewing it, where the server keeps leases.
  virtual HoldGrant TakeHold(HoldKind kind, uint64_t holder, uint64_t lease_ms) {
    (void)kind, (void)holder, (void)lease_ms;
    return {true, false};
  }
  // TakeHold, then, when it is granted, GetMaps(maps) read after the grant; in one round
  // trip where the server allows it. The maps are empty when the hold was not granted.
  virtual std::pair<HoldGrant, std::vector<MapAndVersion>> TakeHoldAndGetMaps(
      HoldKind kind, uint64_t holder, uint64_t lease_ms,
      const std::vector<std::pair<uint64_t, uint64_t>>& maps) {
    const HoldGrant grant = TakeHold(kind, holder, lease_ms);
    if (!grant.granted) return {grant, {}};
    return {grant, GetMaps(maps)};
  }
  // Extends a live hold; false when it is no longer live (it ran out, or its session ended).
  virtual bool RenewHold(HoldKind kind, uint64_t holder, uint64_t lease_ms) {
    (void)kind, (void)holder, (void)lease_ms;
    return true;
  }
  // Ends the hold; true when it was still live until then.
  virtual bool ReleaseHold(HoldKind kind, uint64_t holder) {
    (void)kind, (void)holder;
    return true;
  }
  // True when some process holds the exclusive hold now.
  virtual bool ExclusiveHoldIsLive() { return false; }
  // Makes every later write conditional on `fence`'s hold (nullopt: unconditional).
  virtual void SetWriteFence(std::optional<WriteFence> fence) { write_fence_ = fence; }
  // Makes this store's write fence judge the holds kept by `holder_store` (the index store
  // of the same index) instead of its own, where both live on one server that can judge a
  // hold and a write in one step; returns whether they do. Where they do not, a write of
  // this store can still land after a process lost its hold. REQUIRES: no fence is set;
  // `holder_store` outlives this store's fenced writes.
  virtual bool FenceByHoldsOf(Keystore& holder_store) {
    (void)holder_store;
    return false;
  }
  const std::optional<WriteFence>& write_fence() const { return write_fence_; }

  uint64_t value_size() const { return value_size_; }
  uint64_t store_id() const { return hashed_index_name_; }
  const std::string& index_name() const { return index_name_; }

 protected:
  Keystore(uint64_t hashed_index_name, std::string index_name)
      : hashed_index_name_(hashed_index_name), index_name_(std::move(index_name)) {}

  // The state's check and the removal of `together` (each of which this store fences in
  // one step) as one step; false when the value differed. This default, for a store no
  // other process reaches, reads the value and then removes in turn.
  virtual bool DeleteCarriedInOneStepWhileState(const uint64_t& state_key, const std::vector<uint8_t>& expected_state,
                                                const std::vector<CarriedKeys>& together);
  uint64_t value_size_ = 8;
  std::optional<WriteFence> write_fence_;
  uint64_t hashed_index_name_ = 0;
  std::string index_name_;

 private:
  std::vector<MapAndVersion> maps_read_;  // the default SendMapsRead's answer
};

// Each carried store's values written by its own BatchPushVariable, in order, an empty
// one skipped: the road of the carried values that no step of another store takes.
void WriteInTurn(const std::vector<CarriedValues>& carried);

}  // namespace ombrix_encrypted_index::internal::backing_store
