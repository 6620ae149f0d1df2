// RedisKeystore: the Keystore of the REDIS location. One store of one index lives in up to
// three hashes: the item hash (named by the store id as 8 little-endian bytes, fields the
// item keys as 8 little-endian bytes; CompareAndSetValue's values and versions too), the
// map hash (the store id in decimal, updated only by PushMap's compare-and-set script) and
// the config hash (the table name, shared by every index configured with it). Owns one
// blocking connection; one thread at a time.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "backing_store/db_config.h"
#include "backing_store/keystore.h"
#include "backing_store/redis_connection.h"

namespace ombrix_encrypted_index::internal::backing_store {

// The WARNING a Redis location's connections will log for TLS without ca_cert or ca_path
// (UnverifiedTlsWarning); nothing for any other location, or for a connection string that
// does not parse (opening the store reports that).
std::optional<std::string> UnverifiedTlsWarning(const ombrix::DBConfig& config);

class RedisKeystore : public Keystore {
 public:
  // Connects as the config's connection string says (see RedisEndpoint) and selects its
  // database. Throws std::bad_optional_access without a table name, std::runtime_error
  // "Redis connection string not provided" without a connection string, and the texts of
  // ReadRedisEndpoint and RedisConnection otherwise; nothing stays open after a throw.
  RedisKeystore(ombrix::DBConfig config, const std::string& index_name, uint64_t index_id,
                int32_t store_kind);

  void BatchPushItems(const std::vector<uint64_t>& keys, const Matrix<uint8_t>& values) override;
  void BatchPushVariable(const std::vector<uint64_t>& keys,
                         const std::vector<std::vector<uint8_t>>& values) override;
  void PushItem(const uint64_t& key, const std::vector<uint8_t>& value) override;
  bool PushMap(const uint64_t& map_key, const std::vector<uint8_t>& map, const uint64_t& version_key,
               const uint64_t& expected_version) override;
  // Under a write fence: one script checks the hold once, sets the map and, only then, the
  // values, its own and those of the carried stores it may write.
  bool PushMapAndValues(const uint64_t& map_key, const std::vector<uint8_t>& map, const uint64_t& version_key,
                        const uint64_t& expected_version, const std::vector<uint64_t>& keys,
                        const std::vector<std::vector<uint8_t>>& values,
                        const std::vector<CarriedValues>& carried) override;
  bool PushesMapAndValuesAtOnce() const override { return write_fence_.has_value(); }
  bool CarriesInOneStep() const override { return true; }
  // A RedisKeystore whose fence this store's holds are (FenceByHoldsOf): one server keeps
  // both.
  bool FencesInOneStep(const Keystore& other) const override;
  bool CompareAndSetValue(const uint64_t& key, const std::vector<uint8_t>& value,
                          const uint64_t& version_key, const uint64_t& expected_version) override;
  void BatchDeleteItems(const std::vector<uint64_t>& keys) override;
  void DeleteItem(const uint64_t& key) override;
  std::vector<uint8_t> GetItem(const uint64_t& key) override;
  MapAndVersion GetMap(const uint64_t& map_key, const uint64_t& version_key) override;
  Matrix<uint8_t> BatchGetItems(const std::vector<uint64_t>& keys) override;
  std::vector<std::vector<uint8_t>> BatchGetVariable(const std::vector<uint64_t>& keys) override;
  void PushConfigItem(const std::string& name, const std::vector<uint8_t>& blob) override;
  // One script on the config hash, as PushConfigItem writes it.
  bool CompareAndSetConfigItem(const std::string& name, const std::vector<uint8_t>& expected,
                               const std::vector<uint8_t>& blob) override;
  std::vector<uint8_t> LoadConfigItem(const std::string& name) override;
  bool ConfigItemExists(const std::string& name) override;
  void DeleteConfigItem(const std::string& name) override;
  bool DeleteConfigItemIf(const std::string& name, const std::vector<uint8_t>& expected) override;
  // A CONFIG store removes only this index's own records from the shared config hash.
  void DeleteIndex() override;
  // A CONFIG store counts this index's own records in the shared config hash (0 to 2),
  // as the PostgreSQL config store does; the others count the fields of the item hash
  // and of the map hash.
  uint64_t GetNumItems() override;
  std::vector<uint64_t> GetAllKeys() override;
  // One HMGET of the map hash.
  std::vector<MapAndVersion> GetMaps(const std::vector<std::pair<uint64_t, uint64_t>>& keys) override;
  // The same HMGET, sent here and read by ReceiveMaps.
  void SendMapsRead(const std::vector<std::pair<uint64_t, uint64_t>>& keys) override;
  std::vector<MapAndVersion> ReceiveMaps() override;
  // Holds are leases on the server's clock: the exclusive one a string under
  // "<map hash>:hold" that expires with its lease; a shared one a string under
  // "<map hash>:writers:<holder>" that expires with its lease (what its fence and release
  // judge) and a member of the sorted set "<map hash>:writers" scored by the end of its
  // lease on TIME (what an exclusive holder counts). A fenced write is one script per call
  // that checks its hold before it writes; a refusal throws HoldLostError naming the index,
  // what the server found and what the caller can do (for a shared hold, upsert the items
  // again; for the exclusive one, train or delete the index again). Hold calls whose answer was lost throw RedisReplyLost
  // naming what was asked.
  HoldGrant TakeHold(HoldKind kind, uint64_t holder, uint64_t lease_ms) override;
  // A shared hold and the maps in one round trip.
  std::pair<HoldGrant, std::vector<MapAndVersion>> TakeHoldAndGetMaps(
      HoldKind kind, uint64_t holder, uint64_t lease_ms,
      const std::vector<std::pair<uint64_t, uint64_t>>& maps) override;
  // False when the server no longer holds it (restarted, or the lease ran out or was taken
  // over); HoldLostError when no answer came (a dropped connection, a time-out), since
  // nobody then knows whether the hold is still live.
  bool RenewHold(HoldKind kind, uint64_t holder, uint64_t lease_ms) override;
  bool ReleaseHold(HoldKind kind, uint64_t holder) override;
  bool ExclusiveHoldIsLive() override;
  void SetWriteFence(std::optional<WriteFence> fence) override;
  // On the server and db of `holder_store` (a RedisKeystore), its hold keys are what this
  // store's fenced scripts check. Where the two locations name the server otherwise, each
  // connection asks its server's run id once (INFO server); a server that does not answer
  // it counts as another server.
  bool FenceByHoldsOf(Keystore& holder_store) override;

  // Keys per multi-key HDEL of BatchDeleteItems.
  static constexpr size_t kDeleteChunk = 1000;

 protected:
  // One script: the state field's check and every carried store's HDEL.
  bool DeleteCarriedInOneStepWhileState(const uint64_t& state_key, const std::vector<uint8_t>& expected_state,
                                        const std::vector<CarriedKeys>& carried) override;

 private:
  // The item hash's name (and every item key) on the wire: 8 little-endian bytes.
  using WireKey = std::array<char, 8>;
  static WireKey ToWire(uint64_t value);

  // "<index name>.oei" and "<index name>.ovs": what a CONFIG store holds for its index.
  std::array<std::string, 2> OwnConfigNames() const;

  // Checks shared by the batch pushes; `rows` is the Matrix row or value count.
  void CheckBatch(const std::vector<uint64_t>& keys, size_t rows) const;
  // One pipelined HSET per key with the (bytes, length) that value_at(i) gives.
  template <typename ValueAt>
  void PipelineHset(const std::vector<uint64_t>& keys, bool skip_empty, ValueAt value_at);
  // The maps of an HMGET reply, two elements (map, version) per pair.
  static std::vector<MapAndVersion> MapsOf(const redisReply& reply, size_t count);
  // One HMGET of every key; a reply of one element per key, or std::runtime_error.
  RedisReplyPtr HmgetBatch(const std::vector<uint64_t>& keys);
  std::string_view ItemHash() const { return {item_hash_.data(), item_hash_.size()}; }
  // A shared holder's lease key.
  std::string LeaseKey(const std::string& holder) const { return writers_key_ + ":" + holder; }
  // Runs `script` (which starts with the fence check) with the fence's keys and arguments
  // first, then `keys` and `args`; a refusal for a lost hold throws HoldLostError.
  RedisReplyPtr EvalFenced(const RedisScript& script, const std::vector<std::string_view>& keys,
                           const std::vector<std::string_view>& args, const char* word);
  // A hold script: KEYS the exclusive key, the writers' set and the holder's lease key;
  // ARGV the holder and the lease. `what` names the request in the text of a lost answer.
  RedisReplyPtr EvalHold(const RedisScript& script, uint64_t holder, uint64_t lease_ms, const char* what);
  // RedisReplyLost "Redis gave no answer to <what> on index '<name>': ...".
  [[noreturn]] void ThrowNoAnswer(const char* what) const;

  std::string table_name_;
  int32_t store_kind_;
  WireKey item_hash_;     // hashed_index_name_ as 8 little-endian bytes
  std::string map_hash_;  // hashed_index_name_ in decimal
  std::string exclusive_key_;  // map_hash_ + ":hold"
  std::string writers_key_;    // map_hash_ + ":writers"
  std::string server_;          // "host:port/db": where this store's hashes live
  int db_ = 0;
  // The run id the server gave (empty: it gave none), asked at most once.
  std::optional<std::string> run_id_;
  const std::string& ServerRunId();
  // The store whose holds fence this one's writes (FenceByHoldsOf), if any.
  const RedisKeystore* fenced_by_ = nullptr;
  // What every fenced script is given: the hold keys it checks (this store's own, or those
  // of the store whose holds fence it), the fence's holder ("0" without a fence) and its
  // lease key, kept from SetWriteFence.
  std::string fence_exclusive_key_ = exclusive_key_;
  std::string fence_writers_key_ = writers_key_;
  std::string fence_holder_ = "0";
  std::string fence_lease_key_ = writers_key_ + ":0";
  RedisConnection connection_;
  size_t maps_read_count_ = 0;  // maps the HMGET SendMapsRead sent asks for
  // HMGET <map hash> <field>...; argv points into `fields`, which must outlive it.
  void MapsCommand(const std::vector<std::string>& fields, std::vector<const char*>& argv,
                   std::vector<size_t>& lengths) const;
};

}  // namespace ombrix_encrypted_index::internal::backing_store
