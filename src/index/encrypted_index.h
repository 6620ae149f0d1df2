// EncryptedIndex: the handle of one open encrypted index. Owns its configuration, its
// trained coarse quantizer and its storage engine object (EncryptedIndexCore), shares
// the usage telemetry with the Client that made it and borrows its Logger. Made on the
// heap by the new-index constructor and owned by exactly one holder; never copied.
//
// Threads: every public operation holds the index's operation lock for its whole native
// work, so operations on one index run one at a time. A caller that must not block while
// holding another lock (a Python binding holding the interpreter lock) takes the lock
// first with LockOperations(), with that other lock released, and then calls the
// operation on the same thread: the operation sees the lock is already held by its
// thread and does not wait again. The operations never wait for anything but the
// operation lock and the stores.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "diagnostics/fork_locks.h"
#include "diagnostics/logger.h"
#include "diagnostics/telemetry.h"
#include "encrypted_store/encrypted_index_core.h"
#include "encrypted_store/secret_bytes.h"
#include "index_model/cache_miss_result.h"
#include "index_model/exact_topk.h"
#include "index_model/index_config.h"
#include "index_model/matrix.h"
#include "index_model/probe_selection.h"
#include "index_model/stored_config.h"

namespace ombrix {

// Include codes of a query: distances are always returned, metadata on request.
enum QueryField : uint32_t { kQueryDistance = 0, kQueryMetadata = 1 };

struct QueryParams {
  uint64_t top_k = 100;
  uint64_t n_probes = 0;  // 0: chosen from top_k, n_lists and the stored item count
  std::vector<uint32_t> include;
  bool greedy = false;
  std::string filters;  // JSON filter document; empty (or null, {}, []) = no filter
};

// A failure of the metadata summary step of ingestion, already worded "Error updating
// metadata: <what>"; ingestion passes it on without its own prefix.
class MetadataUpdateError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The lists a filtered query may probe, ascending, with the codebooks cut down to them.
// When every list passes, quantizers stays empty and every_list is set: the index's own
// codebooks are the candidates, and no copy of them is made.
struct PreFilterResult {
  std::vector<uint32_t> centroid_ids;
  Quantizers quantizers;
  bool every_list = false;
};

// Include codes of Get: the fields returned besides the id. Other codes are ignored.
enum GetField : uint32_t { kGetVector = 0, kGetMetadata = 1, kGetContents = 2 };

// One item returned by Get; fields not asked for stay empty.
struct Item {
  std::string id;
  std::vector<float> vector;
  std::vector<uint8_t> contents;
  std::string metadata;
};

// Selects the constructor that opens an index made earlier.
struct LoadExisting {};

class EncryptedIndex {
 public:
  // Holds the operation lock of one index while alive; see the file comment. Movable.
  class OperationLock {
   public:
    OperationLock(OperationLock&& other) noexcept;
    OperationLock& operator=(OperationLock&&) = delete;
    ~OperationLock();

   private:
    friend class EncryptedIndex;
    explicit OperationLock(EncryptedIndex& index);
    EncryptedIndex* index_ = nullptr;
    bool owns_ = false;
  };

  // A new index under `name` and the 32-byte `index_key`, keeping a clone of `config`.
  // Opens the four stores of `settings`, refuses a name that already has an index record
  // (std::runtime_error "Index name <name> already exists") and writes the index record
  // and the index-configuration record. Runs inside the error wrapper "EncryptedIndex".
  // Throws std::invalid_argument "Index name cannot be an empty string." and "n_lists
  // cannot be 0.", and whatever the store factory and the stores throw. `logger` is
  // borrowed (Logger::instance() when null); `telemetry` may be null.
  EncryptedIndex(const std::string& name, const std::array<uint8_t, 32>& index_key,
                 const IndexConfig& config, const IndexSettings& settings, Logger* logger,
                 std::shared_ptr<internal::TelemetryAggregator> telemetry);
  // An index made earlier, from its records in the stores of `settings` (load.cc). Writes
  // nothing to any store, also when it fails. Runs inside the error wrapper
  // "EncryptedIndex"; throws what the stores, the decryption and the record readers throw.
  EncryptedIndex(LoadExisting, const std::string& name, const std::array<uint8_t, 32>& index_key,
                 const IndexSettings& settings, Logger* logger,
                 std::shared_ptr<internal::TelemetryAggregator> telemetry);
  ~EncryptedIndex();
  EncryptedIndex(const EncryptedIndex&) = delete;
  EncryptedIndex& operator=(const EncryptedIndex&) = delete;

  // Blocks until this thread holds the operation lock (returns at once when it already does).
  OperationLock LockOperations();

  // Stores a batch: ids, one vector per id, optional contents (none, or one per id) and
  // optional metadata JSON texts (none, or one per id). The first batch of an index
  // fixes its dimension. Later occurrences of a repeated id are skipped. `vectors` is
  // left empty once ingestion begins. Wrapper "Upsert"; counts the ids as "upsert".
  void Upsert(const std::vector<std::string>& ids, Matrix<float>& vectors,
              const std::vector<std::vector<uint8_t>>& contents,
              const std::vector<std::string>& metadata);

  // The top_k nearest stored items of each query row, nearest first. Wrapper "Query";
  // counts rows x top_k as "query". A metadata filter (params.filters) keeps only the
  // fetched items it accepts; its errors pass out unchanged.
  QueryResults Query(const Matrix<float>& queries, const QueryParams& params);

  // Trains the coarse quantizer on every stored item and refiles every item under the new
  // lists. Holds the writers of every handle back while it runs (and waits for those
  // already writing); readers of every handle wait while it rebuilds the entries. n_lists
  // 0 picks the count from the number of stored items. Below 10000 stored items it logs
  // kTooFewToTrain as a WARNING and returns false, having changed nothing.
  // A failure leaves the index answering as before, or, once the new configuration is
  // stored, as rebuilt under it; if that rebuild fails too, every query fails
  // (MissingCounterMapError) until a training succeeds. Wrapper "TrainIndex".
  bool TrainIndex(uint64_t n_lists = 0, uint64_t batch_size = 2048, uint64_t max_iters = 100,
                  double tolerance = 1e-6);

  // Folds the metadata of one batch (text i under the list of item i) into the stored
  // per-field summaries, as trained ingestion does. Unparsable texts are skipped with a
  // WARNING; a metadata count other than the batch's is refused (std::invalid_argument)
  // before any read. Holds the operation lock.
  void UpdateMetadata(const std::vector<std::string>& metadata, const ItemBatch& batch);

  bool is_trained();
  std::string index_name();
  // Item operations (item_operations.cc). Get: the stored items of `ids` in id order
  // (ids not stored left out), with the fields `include` names, every field when it is
  // empty; not wrapped (its binding wraps it as "Get"); counts the ids as "get".
  std::vector<Item> Get(const std::vector<std::string>& ids, const std::vector<uint32_t>& include);
  // Every stored item's id. Wrapper "ListIDs"; counts the ids returned as "get".
  std::vector<std::string> ListIDs();
  // Deletes the items of `ids`; ids not stored are no error. Wrapper "Delete"; counts the
  // ids as "delete". Another handle's cache may still serve them until it refills.
  void Delete(const std::vector<std::string>& ids);
  // Items ever added (replaced and deleted ones included), from the counter map.
  uint64_t GetNumVectors();
  // Removes everything of the index from its four stores and leaves this object not
  // connected (delete_index.cc). Failures are std::runtime_error; on failure the object
  // stays connected. Not wrapped.
  void DeleteIndex();


 private:
  friend class OperationLock;

  // The members both constructors start from: not connected, nothing opened.
  EncryptedIndex(const std::string& name, const std::array<uint8_t, 32>& index_key, Logger* logger,
                 std::shared_ptr<internal::TelemetryAggregator> telemetry);

  Logger& log() const { return logger != nullptr ? *logger : Logger::instance(); }
  // Also the road by which a stored configuration is read into the handle, so the prepared
  // probe candidates are let go here.
  IndexView View() {
    ForgetProbeCandidates();
    return IndexView{name, config, *quantizers, trained, quantizer_version, &config_generation_};
  }
  // The index's codebooks prepared for probe selection, kept across queries until the
  // codebooks change (training, a reload of the configuration, deletion); prepared again
  // whenever they no longer match the codebooks' storage.
  const ProbeCandidates& PreparedProbeCandidates(DistanceMetric metric);
  void ForgetProbeCandidates() { probe_candidates_.reset(); }
  // The not-connected error at `level`, thrown as Exception.
  template <typename Exception>
  [[noreturn]] void RefuseNotConnected(LogLevel level);

  // Brings trained flag, quantizer version, codebooks, dimension and vocabulary in line
  // with the stored index-configuration record. True when it reloaded or resized. Logs
  // and swallows every std::exception. Skipped (false) when the config store is in
  // memory: nothing outside this handle can change it.
  bool SyncTrainingStatus();
  // `once_cleared` runs in a rebuild once the old entries are gone, before any new one
  // is written.
  void IngestTrained(Matrix<float>& vectors, const std::vector<std::string>& ids,
                     const std::vector<std::vector<uint8_t>>& contents,
                     const std::vector<std::string>& metadata, bool rebuild,
                     const std::function<void()>& once_cleared = {});
  // Replaces every entry of the index store (and its counter map, written last) by the
  // batch's, positions from 0 in each list.
  void RebuildIndexEntries(const ItemBatch& batch, const std::function<void()>& once_cleared);
  // UpdateMetadata when some text of the batch is non-empty; its failures are logged at
  // CRITICAL and thrown as MetadataUpdateError. `replace`: the stored summaries of the
  // batch's fields are replaced by the batch's own (a rebuild files every item).
  void StoreBatchSummaries(const ItemBatch& batch, bool replace = false);
  void UpdateMetadata(const std::vector<std::string>& metadata, const ItemBatch& batch, bool replace);
  // The stored counter-map version a training began with, which its rebuild pushes over.
  uint64_t rebuild_base_version_ = 0;
  PreFilterResult PreFiltering(const std::string& filters);
  // Steps of PreFiltering after parsing: all lists for no filter, else the lists whose
  // summaries may hold a match. Failures after the no-filter test are logged at CRITICAL
  // and thrown as std::runtime_error "Error while pre-filtering: <what>".
  PreFilterResult PreFilterDocument(const nlohmann::json& filter);
  CacheMissResult PostFiltering(CacheMissResult candidates, const std::string& filters);

  // Work bodies of the public operations, run with the operation lock held.
  void UpsertLocked(const std::vector<std::string>& ids, Matrix<float>& vectors,
                    const std::vector<std::vector<uint8_t>>& contents,
                    const std::vector<std::string>& metadata);
  QueryResults QueryLocked(const Matrix<float>& queries, const QueryParams& params);
  // One answer from the entries as they are; nothing when no list is left to fetch.
  std::optional<QueryResults> AnswerQuery(const Matrix<float>& queries, const QueryParams& params);
  bool TrainLocked(uint64_t n_lists, uint64_t batch_size, uint64_t max_iters, double tolerance);
  // After a training's k-means: stores the new records (in `once_cleared`) and rebuilds
  // the entries from the training set.
  void RebuildAfterTraining(const ItemBatch& training_set, Matrix<float>& vectors, uint64_t lists,
                            const std::function<void()>& once_cleared);
  // Adds to the training set every item of the data store it lacks (read from its
  // record); true when it added any.
  bool AppendItemsTrainingMissed(ItemBatch& training_set);

  // The operation lock; declared first so it outlives everything it guards. fork() waits
  // until no operation holds it (fork_locks.h), so a forked child can use the index.
  ForkSafeMutex operation_mutex_;
  std::atomic<std::thread::id> operation_holder_{};
  bool config_in_memory_ = true;
  // The training epoch at which this handle last read the configuration: a different one
  // means a training ended since, and the configuration is read again.
  uint64_t synced_epoch_ = UINT64_MAX;
  // The last SyncTrainingStatus could not read the configuration: the next operation
  // reads it again whatever the epoch says.
  bool sync_failed_ = false;
  // The epoch this handle has synchronised with, as an operation that read `entries` and
  // then ran SyncTrainingStatus records it.
  void NoteSyncedEpoch(const EncryptedIndexCore::EntriesState& entries) {
    synced_epoch_ = sync_failed_ ? UINT64_MAX : entries.epoch;
  }
  // Reads the configuration again when a training ended since this handle last read it,
  // or when the entries were built with another configuration than the one it holds;
  // then refuses to go on under any configuration but the entries' own. True when the
  // configuration was reloaded (SyncTrainingStatus).
  bool SyncWithEntries(const EncryptedIndexCore::EntriesState& entries);
  // The training whose configuration this handle holds (the stored record's generation).
  uint64_t config_generation_ = 0;
  std::unique_ptr<const ProbeCandidates> probe_candidates_;

 public:
  // The members of an index, in the order their destruction reverses.
  uint32_t cpu_threads = 0;
  bool gpu_accelerate = false;
  std::string name;
  std::unique_ptr<IndexConfig> config;
  Key256 index_key{};
  std::unique_ptr<Quantizers> quantizers;
  bool trained = false;
  uint32_t quantizer_version = 0;
  std::unique_ptr<EncryptedIndexCore> core;
  Logger* logger = nullptr;
  std::shared_ptr<internal::TelemetryAggregator> telemetry;
};

// "Not connected to any index. Please call `CreateIndex()` or `LoadIndex()` before
// calling this function."
extern const char kNotConnectedMessage[];
// The WARNING of a training that finds fewer than 10000 stored items.
inline constexpr char kTooFewToTrain[] =
    "Not enough vectors to train. At least 10000 vectors are required.";

}  // namespace ombrix
