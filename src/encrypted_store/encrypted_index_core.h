// EncryptedIndexCore: the per-index storage engine object. Holds the index key and all
// that is derived from it, the four keystores of the index, the counter map, the salts
// and seeds, and the persisted sizes. Owned uniquely by its index; owns its keystores
// (index and data stores shared), never its logger. No lock: one operation at a time.
// Sealing and label generation open OpenMP regions on the default team.
#pragma once

#include <array>
#include <chrono>
#include <functional>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "backing_store/db_config.h"
#include "backing_store/keystore.h"
#include "diagnostics/logger.h"
#include "encrypted_store/item_batch.h"
#include "encrypted_store/item_cache.h"
#include "encrypted_store/item_record.h"
#include "encrypted_store/labels.h"
#include "encrypted_store/secret_bytes.h"
#include "encrypted_store/training_state.h"
#include "index_model/cache_miss_result.h"

namespace ombrix {

using ombrix_encrypted_index::internal::backing_store::Keystore;

// What an index constructor builds its core from.
struct IndexSettings {
  std::string index_name;
  Key256 index_key;
  DBConfig index_location;
  DBConfig config_location;
  DBConfig items_location;
  DBConfig data_location;
  std::optional<int32_t> cpu_threads;
  std::optional<bool> gpu_accelerate;
  std::optional<uint64_t> max_cache_size;
  int32_t tree_depth = 32;
  int32_t vocab_size = 1;
  uint64_t payload_size = 0;  // dimension * 4
};

// Keys of the counter map in the index store.
inline constexpr uint64_t kCounterMapKey = 0xFFFFFFFFFFFFFFFFULL;
inline constexpr uint64_t kCounterMapVersionKey = 42;

// The index store holds no counter map for an index whose records exist: its entries
// were lost, or a training that rebuilds them did not finish. Never retried.
class MissingCounterMapError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Another handle deleted the index: its records are gone from the config store.
class IndexDeletedError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class EncryptedIndexCore {
 public:
  // A new index: opens the four stores (index, data, config, items), refuses a name that
  // already has an index record in a config store that keeps records (any but MEMORY:
  // "Index name <name> already exists"), writes the index record, derives the store names,
  // writes `stored_config` as the index-configuration record and stores the all-zero
  // counter map (a map already stored under the index's id is adopted), so that a missing
  // map later always means loss. Logs "Creating backing stores", "Backing stores
  // successfully created" and "Index successfully created" to `logger`, which also becomes
  // internal_logger. The configuration record goes last: only then can another process
  // load or list the index, and once it is stored no failure takes anything back. A
  // failure before it takes back what this creation wrote, while it is still its own.
  // REQUIRES: logger non-null.
  static std::unique_ptr<EncryptedIndexCore> Create(const IndexSettings& settings, Logger* logger,
                                                    const std::vector<uint8_t>& stored_config);

  // An existing index: opens the same stores, reads the index record, applies its value
  // size to the index store, loads the counter map and derives the store names. Logs
  // "Creating backing stores", "Backing store successfully created" and "Index
  // successfully loaded". Failures release the core without writing a counter map.
  static std::unique_ptr<EncryptedIndexCore> Load(const IndexSettings& settings, Logger* logger);

  // Writes nothing: the stored counter map is never overwritten by a zeroed or stale copy.
  ~EncryptedIndexCore();

  // Only Create and Load build cores.
  class ConstructionKey {
    friend class EncryptedIndexCore;
    ConstructionKey() = default;
  };
  EncryptedIndexCore(ConstructionKey, const IndexSettings& settings, Logger* logger);

  EncryptedIndexCore(const EncryptedIndexCore&) = delete;
  EncryptedIndexCore& operator=(const EncryptedIndexCore&) = delete;

  // The first 8 bytes of hashed_index_key, big-endian: the base of every store id.
  uint64_t index_id() const;

  // Store names: HMAC-SHA3-256 under index_key of the name + ".data" / ".content" /
  // ".centroid_metadata".
  void DeriveStoreNames();

  // Config items, sealed under index_key. Empty data is refused with
  // std::invalid_argument "Data size must be a multiple of the number of columns".
  void PutEncryptedConfigItem(const std::string& name, const std::vector<uint8_t>& data);
  std::vector<uint8_t> GetDecryptedConfigItem(const std::string& name);
  // The index-configuration record, under index_name + ".ovs".
  void SaveStoredConfig(const std::vector<uint8_t>& buffer);
  // The index-configuration record as stored now, opened; its sealed bytes are kept as
  // what ReplaceStoredConfig must find in place.
  std::vector<uint8_t> ReadStoredConfig();
  // The sealed index record as stored now, kept for ReplaceIndexRecord (empty: none).
  void ReadIndexRecordForReplace();
  // Writes the record only over the one last read, so that a write delivered late (by a
  // process stopped past its hold, or held in the network) never replaces a newer one.
  // When another process changed it: the exclusive holder (or a handle holding nothing)
  // writes over it while its hold is still live (HoldLostError otherwise), since only a
  // process that lost its hold can have written it; a writer returns false and writes
  // nothing. A reply lost after the record was stored counts as stored.
  bool ReplaceStoredConfig(const std::vector<uint8_t>& buffer);
  bool ReplaceIndexRecord(uint64_t new_payload_size);
  // A writer's update of the index record once it fixed the dimension: read first, and
  // written only over a record this key opens (IndexDeletedError where there is none, or
  // another key's), so a writer stalled past its hold never writes it over an index made
  // again under the name.
  void UpdateIndexRecord(uint64_t new_payload_size);
  // The index record (FlatBuffers) of the current fields, and its storage under
  // index_name + ".oei".
  std::vector<uint8_t> SerializeIndexRecord() const;
  void SaveIndexRecord(uint64_t new_payload_size);
  void LoadIndexRecord();

  // The counter map (one uint32 per list, sealed under index_key in the index store).
  // A store without one throws MissingCounterMapError and changes nothing.
  void LoadCounterMap();
  // The same, but false (nothing changed, nothing logged) when the store holds no map.
  bool TryLoadCounterMap();
  bool PushCounterMap();
  // PushCounterMap, writing `keys` / `values` to the index store, and the carried values
  // to their stores, with an accepted push.
  bool PushCounterMapWith(const std::vector<uint64_t>& keys, const std::vector<std::vector<uint8_t>>& values,
                          const std::vector<ombrix_encrypted_index::internal::backing_store::CarriedValues>&
                              carried = {});
  // One position per item, taken under the store's compare-and-set with up to 100
  // attempts. Refused before any counter moves: a list id at or above vocab_size
  // (std::invalid_argument), a counter that would pass 4294967295 (std::overflow_error),
  // a missing map (MissingCounterMapError). After 100 attempts it throws
  // std::runtime_error "Failed to update map in 100 retries. Last failure: <why>. Index
  // '<name>': no item of this upsert was stored; upsert the same items again".
  // REQUIRES: no item of the batch is written yet (the upsert takes its positions first).
  // Of the batch only input_tokens is read.
  std::vector<uint32_t> UpdateCounterMap(const ItemBatch& batch) {
    return UpdateCounterMap(batch.input_tokens);
  }
  std::vector<uint32_t> UpdateCounterMap(const std::vector<uint32_t>& input_tokens);
  // The same, where the push that stores the map also writes the index-store entries
  // `entries` makes from the positions, and the `carried` values of other stores, which
  // do not depend on them (one step of the store: Keystore::PushMapAndValues).
  using EntriesForPositions = std::function<std::pair<std::vector<uint64_t>, std::vector<std::vector<uint8_t>>>(
      const std::vector<uint32_t>& positions)>;
  std::vector<uint32_t> UpdateCounterMap(
      const std::vector<uint32_t>& input_tokens, const EntriesForPositions& entries,
      const std::vector<ombrix_encrypted_index::internal::backing_store::CarriedValues>& carried = {});
  void ResizeVocabulary(uint64_t new_vocab_size);

  // Coordination with other handles of the index (training_state.cc). Only an index store
  // that other handles can reach (any location but MEMORY) takes part; on a private store
  // these only load the counter map or return at once.
  //
  // Writers take a shared hold of the index store for their whole upsert (waiting while a
  // training or a deletion holds it, up to the wait limit, then TrainingInProgressError),
  // then read the counter map and the training state in one round trip; every write of the
  // index store is fenced by the hold. A training or a deletion takes the exclusive hold,
  // which admits no new writer, and waits until the writers that held it before are done.
  // Holds are judged by the store server alone (see Keystore): no clock of any process is
  // compared with another's.
  struct EntriesState {
    uint64_t epoch = 0;     // finished trainings, as the training state records them
    bool recorded = false;  // a training state is stored
    bool map_stored = false;
    uint64_t generation = 0;  // the training whose configuration the entries were built with
    bool operator==(const EntriesState&) const = default;
  };
  // Takes the shared hold and reads map (loaded into the core) and state. Throws
  // MissingCounterMapError (entries broken or map lost), IndexDeletedError, and
  // TrainingInProgressError; releases the hold when it throws.
  EntriesState BeginWriting();
  // Releases the shared hold. Throws HoldLostError when the hold did not last until now:
  // the writes of the operation may have met another process's training or deletion.
  void EndWriting();
  // Releases whatever hold this core keeps, reporting nothing (an operation that failed).
  void DropHold() noexcept;
  // Sets (or, with nullopt, clears) the write fence of the index store and of the stores
  // whose writes its holds fence (fenced_stores), so that a process that lost its hold
  // writes to none of them. The index store's is set first and cleared last.
  void SetFences(std::optional<ombrix_encrypted_index::internal::backing_store::WriteFence> fence);
  // Renews this core's hold when a quarter of its lease has passed since it was last
  // renewed; HoldLostError when it is no longer live. Nothing without a hold.
  void KeepHold();
  // True while this core's hold is live on the store, or when it keeps none (asks the
  // store; a failure to ask counts as lost).
  bool StillHolds() noexcept;
  // Readers: the counter map (loaded into the core; the next retrieval uses it) and the
  // state of the entries in one round trip, waiting while a live training rebuilds them
  // (TrainingInProgressError past the wait limit). A rebuild whose trainer is gone, or
  // that failed, throws MissingCounterMapError; a lost map and a deleted index throw as
  // LoadCounterMap does.
  EntriesState ReadEntriesState();
  // One more round trip after a retrieval that read entries: whether a rebuild began or
  // ended, or the index went, since `before` was read.
  bool EntriesChangedSince(const EntriesState& before);
  struct TrainingTicket {
    uint64_t trainer = 0;
    uint64_t generation = 0;  // recorded in the configuration and, at the end, in the state
    bool was_broken = false;  // the entries were unusable before this training
  };
  enum class TrainingEnd { kAbandoned, kBroken };
  // Takes the exclusive hold (TrainingInProgressError when a training or a deletion holds
  // it), waits for the writers that held the index before, and records the training.
  TrainingTicket BeginTraining();
  // From here readers wait until the training ends.
  void BeginRebuild(const TrainingTicket& ticket);
  // Records the completed training (the epoch grows, the state names its generation) and
  // releases the hold. When the record could not be made under the hold (its session or
  // connection lost), the hold is taken again and the end recorded when nobody else took
  // the index meanwhile; otherwise throws, and the training must not count as done.
  void CompleteTraining(const TrainingTicket& ticket);
  // A training that failed: kAbandoned leaves the entries as they were before,
  // kBroken marks them unusable; then the hold is released. Failures are logged.
  void EndTraining(const TrainingTicket& ticket, TrainingEnd end) noexcept;
  // A deletion: the exclusive hold, the writers awaited, and the state marked as being
  // deleted, which it stays until the index store is removed. Released by DropHold.
  void BeginDeletion();
  // A new index: draws its incarnation and stores a fresh training state with it (removing
  // what a deletion that stopped half way left in the index store). Nothing on a private
  // index store.
  // Refuses ("Index name <name> already exists") while the index store holds a live index
  // of this id: a training state that is not a deletion's, beside a counter map.
  void RecordNewIncarnation();
  // Set by Load for an index without its configuration record (left by a deletion, or by a
  // creation that stopped before it): such a handle can only be deleted (every other call
  // says the deletion did not finish).
  bool deletion_unfinished = false;
  // Drawn at creation and kept in the training state: every read of the state checks it
  // and throws IndexDeletedError for another index made under the same name and key.
  uint64_t incarnation = 0;
  // The first step of every call that reads or deletes items by id: throws
  // IndexDeletedError when the index was deleted, made again under the same name and key,
  // or left half deleted, and waits while a deletion is running. Loads the counter map when
  // `load_map` (MissingCounterMapError as LoadCounterMap). One round trip on an index store
  // other handles reach (map and state), two more only when the index store holds neither.
  // `first_read` as for ReadStateForCall.
  void CheckIndexForItemCall(
      bool load_map,
      std::vector<ombrix_encrypted_index::internal::backing_store::MapAndVersion>* first_read = nullptr);
  // IndexDeletedError when another handle deleted the index (its index record is gone from
  // a config store that keeps records, or is another index's: one made again under this
  // name with another key), or left a deletion half done (the index record without its
  // configuration record).
  void RefuseIfDeleted();
  // The sealed record `name` as stored, when it opens with this handle's key; empty when
  // none is stored. IndexDeletedError when it belongs to another index of this name.
  std::vector<uint8_t> ReadOwnRecord(const std::string& name);
  // The sealed record `name` as stored; empty when none is.
  std::vector<uint8_t> LoadStoredRecord(const std::string& name);
  // MissingCounterMapError: the entries are not usable until a training rebuilds them.
  [[noreturn]] void ThrowBrokenEntries();
  bool shared_index_store = false;
  // The data and items stores whose writes the index store's holds fence (FenceByHoldsOf).
  std::vector<Keystore*> fenced_stores;

  // Brings salts_and_seeds to vocab_size entries (rebuilt when the count differs).
  void RegenerateSaltsAndSeeds();

  // Adding items (add_items.cc). Checks the whole batch before anything moves, takes a
  // position per item, replaces earlier items of the same ids, seals contents, then writes
  // labels and records in chunks of 10000. An empty payloads becomes n rows of 0 columns.
  void AddItems(ItemBatch& batch);
  // std::invalid_argument when list ids or payload rows do not match the item ids.
  void ValidateBatchSizes(const ItemBatch& batch) const;
  // The decrypted summary of each field path; empty where none is stored.
  std::vector<std::vector<uint8_t>> GetCentroidMetadata(const std::vector<std::string>& paths);
  // Forgets every cached list (after items were deleted).
  void ClearItemCache();

  // Item operations (item_operations.cc).
  // The stored items of `ids`, in id order, each holding only the fields asked for; an id
  // with no record, a record whose lengths do not add up (logged) and a record that holds
  // another id (its hash id collides) give no item. An id asked for twice comes twice.
  std::vector<DecodedItem> GetItems(const std::vector<std::string>& ids, const ItemFields& fields);
  // GetItems behind CheckIndexForItemCall(false). On an index store other handles reach,
  // the look's read is sent before the fetch and answered after it, so the two stores'
  // servers work at once; the records are opened, and returned, only when the look passed.
  std::vector<DecodedItem> GetItemsAfterLook(const std::vector<std::string>& ids, const ItemFields& fields);
  // The id of every record in the data store, in the store's key order, read in chunks so
  // that only one chunk of records is decrypted at a time.
  std::vector<std::string> ListItemIds();
  // Deletes the records and contents of `ids` (ids not stored are no error) and forgets
  // every cached list, so no deleted item is served from this core's cache. Follows
  // CheckIndexForItemCall: where the stores share the index store's server, the records
  // and contents go only while the training state is the one that check read (else it
  // checks again), so a call stopped after its check removes nothing of an index deleted
  // or made again meanwhile.
  void DeleteItems(const std::vector<std::string>& ids);
  // Clears and checks the data and items stores, writes a reset index record, removes the
  // configuration record, clears and checks the index store (its training state, which a
  // deletion marks first, goes with it), then the config store. What is left in a store is
  // logged and thrown as std::runtime_error "Some items in the <kind> backing store
  // weren't deleted", and the later stores are not touched; a deletion that lost its hold
  // meanwhile says so instead (HoldLostError), or that the index no longer exists.
  void DeleteIndexData();
  void RequireEmpty(Keystore& store, const char* kind);

  // Retrieval (query_retrieval.cc): every item of the given lists, in probe order, each
  // item once with its newest record; cached lists are served while their counter is
  // unchanged. Writes nothing to any store. std::out_of_range for a list id at or above
  // vocab_size, before any store call.
  CacheMissResult QueryEncrypted(const std::vector<uint32_t>& query_tokens);
  // The same items as QueryEncrypted, list by list in probe order, as ranking reads them:
  // a cached list is the cache's own (shared, not copied); a fetched list is packed once
  // and, with the cache on, filed as it is. Lists that share an item fall back to
  // QueryEncrypted's merge and are packed from its result.
  std::vector<std::shared_ptr<const PackedList>> RetrieveLists(
      const std::vector<uint32_t>& query_tokens);
  // Every record of the data store (whole_store_retrieval.cc). The batch belongs to the
  // calling thread and is overwritten by its next call.
  ItemBatch& RetrieveAllEmbeddings();

  uint64_t tree_depth = 32;
  uint64_t vocab_size = 1;
  uint64_t cpu_threads = 1;
  bool gpu_accelerated = false;
  uint64_t payload_size = 0;
  std::vector<uint32_t> counter_map;
  uint64_t counter_map_version = 0;
  // The sealed map last opened and what it opened to: a load that reads the same bytes
  // again takes the map from here instead of opening it anew.
  std::vector<uint8_t> opened_counter_map_bytes;
  std::vector<uint32_t> opened_counter_map;
  std::vector<uint8_t> opened_training_state_bytes;
  TrainingState opened_training_state;
  // The sealed training state CheckIndexForItemCall read last (empty: none was stored).
  std::vector<uint8_t> checked_training_state_bytes;
  // The counter map was read in this operation already (by BeginWriting or
  // ReadEntriesState): the next retrieval or position update starts from it instead of
  // reading it again. A stale map costs only a refused compare-and-set.
  bool counter_map_fresh = false;
  // The last retrieval read entries from the store (not everything came from the cache).
  bool retrieval_read_entries = false;
  bool config_keeps_records = false;
  ItemCache item_cache;  // capacity lru_cache_size; 0 = off
  Key256 index_key{};
  Key256 data_store_name{};
  Key256 content_store_name{};
  Key256 centroid_metadata_store_name{};
  Key256 hashed_index_key{};
  uint64_t index_value_size = 8;
  std::string index_name;
  std::shared_ptr<Keystore> index_store;
  std::shared_ptr<Keystore> data_store;
  std::unique_ptr<Keystore> config_store;
  std::unique_ptr<Keystore> items_store;
  std::vector<SaltAndSeed> salts_and_seeds;
  std::string extra_text;
  Logger* logger = nullptr;
  // The payload rows of the last retrieval that served its fetched lists as they lie,
  // kept for the next one: their pages are mapped already, where a fresh buffer is
  // zeroed page by page on one thread. What they hold is never read before it is written.
  PayloadRows spare_payload_rows;

 private:
  struct Retrieval;
  // The sealed contents (when asked for) and records of a get, in id order.
  struct ItemBlobs {
    std::vector<std::vector<uint8_t>> contents;
    std::vector<std::vector<uint8_t>> records;
  };
  // The read ReadMapAndState makes, sent for index_store->ReceiveMaps to answer.
  void SendMapAndStateRead();
  ItemBlobs FetchItemBlobs(const std::vector<std::string>& ids, const ItemFields& fields);
  std::vector<DecodedItem> OpenItemBlobs(const std::vector<std::string>& ids, const ItemFields& fields,
                                         ItemBlobs blobs);
  // Checks, counter map, seeds, the cache split and the fetch of every missed list.
  Retrieval BeginRetrieval(const std::vector<uint32_t>& query_tokens);
  // Settles items found twice and joins cached and fetched lists by copying them.
  CacheMissResult MergeRetrieval(const std::vector<uint32_t>& query_tokens, Retrieval& retrieval);

  Logger& log() const { return logger != nullptr ? *logger : InternalLogger(); }
  // Fields shared by creation and loading, up to and including the four stores.
  static std::unique_ptr<EncryptedIndexCore> Open(const IndexSettings& settings, Logger* logger);
  // Takes back what a failed creation wrote, only while it is still its own: its training
  // state and counter map from the index store, then "<name>.ovs" and "<name>.oei" from the
  // config store; logs what fails. False when something of it may be left: its index
  // record then stays, so the name loads as unfinished and can be deleted.
  bool RemoveOwnRecords() noexcept;
  // Create's steps under the creation's hold.
  void WriteNewIndex(const std::string& record_name, const std::vector<uint8_t>& stored_config);
  // Whether the config store holds exactly `sealed` under `name`: a write whose answer was
  // lost, or that was refused when it ran again after its own commit, may have landed.
  bool HoldsRecord(const std::string& name, const std::vector<uint8_t>& sealed);
  // An item delete's removals from the stores its check's step does not reach (data store
  // first, then items store), after the check. `records_deleted`: the step removed the
  // records already. A failure at the contents after the records were removed says so.
  void DeleteItemsElsewhere(
      const std::vector<ombrix_encrypted_index::internal::backing_store::CarriedKeys>& elsewhere,
      bool records_deleted);
  // RemoveOwnRecords, choosing what a failed creation's text tells the caller to do.
  void TakeBackCreation() noexcept;
  // After the configuration record was stored: HoldLostError only when the creation lost
  // its hold and a deletion took its index record meanwhile (its configuration record is
  // taken back then).
  void ConfirmPublished();
  // The sealed records a deletion found under its hold (empty: none stored): it replaces
  // and removes exactly these, never a record another index wrote under the name since.
  struct DeletionRecords {
    bool read = false;
    std::vector<uint8_t> index_record;
    std::vector<uint8_t> stored_config;
  };
  DeletionRecords deletion_records_;
  void ReadRecordsForDeletion();
  // Seals `plain` under the index key and stores it as `name` (the index record) only where
  // no record of that name is stored, or throws "already exists".
  void CreateRecord(const std::string& name, const std::vector<uint8_t>& plain);
  // A creation's configuration record, written over nothing or, while the creation still
  // holds the name, over what a creation that lost its hold left.
  void CreateStoredConfig(const std::vector<uint8_t>& plain);
  [[noreturn]] void ThrowNameTaken();
  std::vector<uint8_t> Seal(const std::vector<uint8_t>& plain) const;
  bool OpensWithKey(const std::vector<uint8_t>& sealed) const;
  // The exclusive hold for a creation (waiting while a deletion holds the index); nothing
  // on a private index store. Released by DropHold.
  void BeginCreation();
  void OpenStores(const IndexSettings& settings);
  TrainingState LoadTrainingState(uint64_t& version);
  // The counter map (kept in `map` for AdoptCounterMap) and the training state in one
  // round trip; `entries` tells what was found.
  TrainingState ReadMapAndState(EntriesState& entries,
                                ombrix_encrypted_index::internal::backing_store::MapAndVersion& map);
  // The same from maps read already (counter map, then training state).
  TrainingState OpenMapAndState(std::vector<ombrix_encrypted_index::internal::backing_store::MapAndVersion> maps,
                                EntriesState& entries,
                                ombrix_encrypted_index::internal::backing_store::MapAndVersion& map);
  TrainingState OpenTrainingState(ombrix_encrypted_index::internal::backing_store::MapAndVersion stored,
                                  uint64_t& version);
  // Loads, lets `change` edit (false: nothing to push), pushes under compare-and-set;
  // true once a change was stored. A reply lost on the way is asked again.
  bool ChangeTrainingState(const std::function<bool(TrainingState&)>& change);
  [[noreturn]] void ThrowIndexDeleted();
  [[noreturn]] void ThrowUnfinishedDeletion();
  [[noreturn]] void ThrowMalformedMapsAnswer(std::size_t maps);
  // Map and state in one round trip, waiting while a live deletion runs, and while a live
  // training rebuilds when `entries_matter` (a broken or abandoned rebuild then throws).
  // `first_read`, when given, is the answer of a read of both sent earlier: it stands for
  // the first round trip.
  TrainingState ReadStateForCall(
      EntriesState& entries, ombrix_encrypted_index::internal::backing_store::MapAndVersion& map,
      bool entries_matter,
      std::vector<ombrix_encrypted_index::internal::backing_store::MapAndVersion>* first_read = nullptr);
  // The state record without the incarnation check.
  TrainingState OpenStoredTrainingState(std::vector<uint8_t> sealed);
  // Under the exclusive hold: the state records this training's end; false when another
  // training or deletion took the index over (a change made already counts as made).
  bool RecordTrainingEnd(const TrainingTicket& ticket);
  // Takes the index again and records the end; false when that could not be done.
  bool RecordTrainingEndAgain(const TrainingTicket& ticket) noexcept;
  // A hold asked for that the store failed to answer (what it may have granted is
  // released first).
  [[noreturn]] void ThrowUnconfirmedHold(const std::exception& failure);
  // The counter map from what the store returned; false when none is stored.
  bool AdoptCounterMap(ombrix_encrypted_index::internal::backing_store::MapAndVersion stored);
  // What LoadCounterMap does when no map is stored.
  void HandleMissingCounterMap();
  // The exclusive hold for a training or a deletion, waiting for the writers before it.
  // `wait_for_holder`: wait (up to the wait limit) while another holds it, instead of
  // refusing with `refusal` at once.
  void TakeIndex(uint64_t holder, const char* refusal, bool wait_for_holder);

  struct Hold {
    ombrix_encrypted_index::internal::backing_store::HoldKind kind;
    uint64_t holder = 0;
    std::chrono::steady_clock::time_point renewed;
  };
  std::optional<Hold> hold_;
  // Sealed config records as last read: what a replacement expects to find in place.
  std::vector<uint8_t> stored_config_blob_;
  std::vector<uint8_t> index_record_blob_;
  // What a creation stored as its training state, and whether the index store held a
  // counter map before it: its clean-up removes the index store's rows only where nothing
  // but its own can be among them.
  std::vector<uint8_t> created_state_blob_;
  bool map_found_before_ = false;
  std::string creation_remedy_ = "create the index again";
  bool ReplaceConfigItem(const std::string& name, const std::vector<uint8_t>& plain,
                         std::vector<uint8_t>& expected);
};

namespace internal {
// How the counter-map retry loop pauses (milliseconds); nullptr restores the real sleep.
using RetryPauseFn = void (*)(uint32_t milliseconds);
void SetRetryPauseForTesting(RetryPauseFn pause);
}  // namespace internal

}  // namespace ombrix
