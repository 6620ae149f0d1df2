// Training: reads every stored item, trains the coarse quantizer, then replaces every
// index entry under the new lists, stores the new records, and files the items that other
// writers added meanwhile.
#include <algorithm>
#include <cstring>
#include <functional>
#include <numeric>
#include <unordered_set>
#include <stdexcept>

#include "diagnostics/error_wrapper.h"
#include "encrypted_store/item_keys.h"
#include "encrypted_store/item_record.h"
#include "encrypted_store/sealing.h"
#include "index/encrypted_index.h"
#include "index/operation_rules.h"
#include "index_model/interruption.h"
#include "index_model/kmeans.h"

namespace ombrix {

namespace {

constexpr uint64_t kMinimumTrainingItems = 10000;
constexpr char kTooFewForLists[] =
    "Number of embeddings is less than the 2 * n_lists. Please ingest more data before training.";

// The payload rows of a batch as float vectors (one row per item).
Matrix<float> PayloadFloats(const Matrix<uint8_t>& payloads) {
  Matrix<float> floats;
  floats.rows = payloads.rows;
  floats.cols = payloads.cols / sizeof(float);
  floats.data.resize(floats.rows * floats.cols);
  for (uint64_t r = 0; r < floats.rows; ++r) {
    std::memcpy(floats.row(r), payloads.row(r), floats.cols * sizeof(float));
  }
  return floats;
}

}  // namespace

bool EncryptedIndex::TrainIndex(uint64_t n_lists, uint64_t batch_size, uint64_t max_iters,
                                double tolerance) {
  bool trained_now = false;
  internal::ExecuteWithErrorHandling("TrainIndex", telemetry.get(), [&] {
    OperationLock lock(*this);
    trained_now = TrainLocked(n_lists, batch_size, max_iters, tolerance);
  });
  return trained_now;
}

bool EncryptedIndex::TrainLocked(uint64_t requested_lists, uint64_t batch_size, uint64_t max_iters,
                                 double tolerance) {
  log().info("TrainIndex");
  if (!core) RefuseNotConnected<std::runtime_error>(kCritical);
  // What this handle last knew: other writers' additions since show as changed counters.
  const std::vector<uint32_t> counters_before = core->counter_map;

  // Without a counter map (lost, or a training that did not finish) the data store is the
  // only account of the items, and training is what rebuilds the entries from it; unless
  // another handle deleted the index.
  if (!core->TryLoadCounterMap()) core->RefuseIfDeleted();

  // Writers of every handle are held back from here to the end, and this waits for the
  // ones already writing: the items read below are then all there are. Every write of the
  // index store from here on is made only while this training still holds the index.
  const EncryptedIndexCore::TrainingTicket ticket = core->BeginTraining();
  EncryptedIndexCore::TrainingEnd end = EncryptedIndexCore::TrainingEnd::kAbandoned;
  struct EndTraining {
    EncryptedIndexCore& core;
    const EncryptedIndexCore::TrainingTicket& ticket;
    EncryptedIndexCore::TrainingEnd& end;
    bool completed = false;
    ~EndTraining() {
      if (!completed) core.EndTraining(ticket, end);
    }
  } end_training{*core, ticket, end};
  // A long k-means renews the hold between its steps.
  const ScopedStepHook renew_hold([](void* core) { static_cast<EncryptedIndexCore*>(core)->KeepHold(); },
                                  core.get());

  // Another handle may have trained since this one last looked.
  SyncTrainingStatus();
  if (trained) log().info("Retraining IVFFLAT index...");
  // The records this training replaces, read while it holds the index: a record another
  // process writes after this point is never silently overwritten by a stale copy.
  if (core->config_keeps_records) {
    try {
      core->ReadIndexRecordForReplace();
    } catch (const std::exception&) {
      core->RefuseIfDeleted();
      throw;
    }
  }

  const bool counted_map = core->TryLoadCounterMap();
  if (counted_map) {
    const uint64_t counted =
        std::accumulate(core->counter_map.begin(), core->counter_map.end(), uint64_t{0});
    if (core->counter_map.empty() || counted < kMinimumTrainingItems) {
      log().warning(kTooFewToTrain);
      return false;
    }
  } else {
    log().warning("No counter map stored: rebuilding every index entry from the data store");
  }

  log().info("Retrieving embeddings from the encrypted index for training...");
  ItemBatch training_set = core->RetrieveAllEmbeddings();
  const uint64_t rows = training_set.payloads.rows;
  core->KeepHold();

  // Until the first new record is stored, a failure leaves this handle as it was.
  struct Restore {
    EncryptedIndex& index;
    const uint64_t n_lists;
    const bool trained;
    const uint32_t version;
    std::vector<Codebook> codebooks;
    const uint64_t vocab_size;
    const uint64_t generation;
    bool committed = false;
    ~Restore() {
      if (committed) return;
      index.config_generation_ = generation;
      index.config->set_n_lists(n_lists);
      index.trained = trained;
      index.quantizer_version = version;
      index.ForgetProbeCandidates();
      index.quantizers->codebooks = std::move(codebooks);
      if (index.core->vocab_size != vocab_size) {
        index.core->vocab_size = vocab_size;
        index.core->salts_and_seeds.clear();  // made again for the old vocabulary on next use
      }
    }
  } restore{*this,           config->n_lists(), trained,          quantizer_version,
            quantizers->codebooks, core->vocab_size, config_generation_};

  uint64_t lists = requested_lists;
  if (lists != 0) {
    config->set_n_lists(lists);
  } else {
    lists = AutomaticListCount(rows);
    config->set_n_lists(lists);
    log().info("Calculated n_lists: " + std::to_string(config->n_lists()) + " for " +
               std::to_string(rows) + " vectors");
  }

  // Judged on the items actually read: the counters also count replaced and deleted items.
  if (lists == 0 || rows / 2 < lists) {
    log().error(kTooFewForLists);
    throw std::invalid_argument(kTooFewForLists);
  }

  log().info("Training quantizers...");
  log().info("TrainQuantizers");
  Matrix<float> vectors = PayloadFloats(training_set.payloads);
  KMeansConfig kmeans;
  kmeans.n_subvectors = 1;
  kmeans.n_clusters = lists;
  kmeans.reserved = 0;
  kmeans.max_iters = max_iters;
  kmeans.batch_size = batch_size;
  kmeans.tolerance = tolerance;
  const DistanceMetric metric = static_cast<DistanceMetric>(config->metric);
  ForgetProbeCandidates();
  quantizers->codebooks = gpu_accelerate ? train_kmeans_gpu(vectors, kmeans, metric)
                                         : train_kmeans_dispatch(vectors, kmeans, metric);

  ++quantizer_version;
  log().info("Incremented quantizer version to " + std::to_string(quantizer_version));
  trained = true;

  const bool unchanged = counted_map && core->TryLoadCounterMap() && core->counter_map == counters_before;
  if (unchanged) {
    log().info("No new embeddings detected. Re-quantizing existing embeddings without reloading...");
  } else {
    log().info("Detected changes in counter map. Identifying modified centroids...");
    log().info("Re-quantizing existing embeddings with new quantizers...");
  }
  // Writers that keep to the training state are held back, but the data store is the
  // account of the items: whatever it holds that the training did not read is filed too.
  if (AppendItemsTrainingMissed(training_set)) vectors = PayloadFloats(training_set.payloads);
  // The rebuild pushes its map over this version: no writer or training that keeps to the
  // holds pushes one while this training holds the index, and a push over any later
  // version would not be this training's.
  // The version stays when the map itself was lost: a push over 0 would be refused.
  rebuild_base_version_ = core->index_store->GetMap(kCounterMapKey, kCounterMapVersionKey).version;

  // From here readers of every handle wait until the entries are complete again. Once the
  // new configuration is stored there is no way back to the old entries: a failure is met
  // by rebuilding once more under it, and should that fail too, the entries are marked
  // broken and every query refuses until a training succeeds.
  core->BeginRebuild(ticket);
  const auto commit = [&] {
    restore.committed = true;
    config_generation_ = ticket.generation;
    core->ReplaceStoredConfig(SerializeIndexConfig(View()));
    core->ReplaceIndexRecord(config->dimension() * 4);
  };
  bool displaced = false;
  try {
    try {
      RebuildAfterTraining(training_set, vectors, lists, commit);
    } catch (const std::exception& failure) {
      if (!restore.committed) throw;
      if (!core->StillHolds()) {
        // Whoever took the index over owns its entries now: nothing more is written here.
        displaced = true;
        const std::string message = "The training of index '" + name +
                                    "' lost its hold on the index before it finished (" +
                                    failure.what() +
                                    "): another process took the index over, and this training "
                                    "wrote nothing after that; train again if needed";
        log().error(message);
        throw std::runtime_error(message);
      }
      log().warning(std::string("Rebuilding the index entries failed (") + failure.what() +
                    "); rebuilding them once more");
      Matrix<float> again = PayloadFloats(training_set.payloads);
      RebuildAfterTraining(training_set, again, lists, commit);
    }
  } catch (...) {
    if (restore.committed && !displaced) end = EncryptedIndexCore::TrainingEnd::kBroken;
    throw;
  }
  end_training.completed = true;
  core->CompleteTraining(ticket);
  if (unchanged) log().info("Avoided redundant embedding retrieval by reusing cached data");
  log().info("TrainIndex completed successfully");
  return true;
}

void EncryptedIndex::RebuildAfterTraining(const ItemBatch& training_set, Matrix<float>& vectors,
                                          uint64_t lists, const std::function<void()>& once_cleared) {
  core->ResizeVocabulary(lists);
  core->ClearItemCache();
  IngestTrained(vectors, training_set.item_ids, {}, training_set.metadata, /*rebuild=*/true,
                once_cleared);
}

bool EncryptedIndex::AppendItemsTrainingMissed(ItemBatch& training_set) {
  const std::vector<uint64_t> read_keys = DeriveItemKeys(training_set.item_ids, core->data_store_name);
  const std::unordered_set<uint64_t> read(read_keys.begin(), read_keys.end());
  std::vector<uint64_t> missed;
  for (uint64_t key : core->data_store->GetAllKeys()) {
    if (read.count(key) == 0) missed.push_back(key);
  }
  if (missed.empty()) return false;

  // Only their entries are made: their records and contents stay as their writer left
  // them, so an item deleted meanwhile is never written back.
  CacheMissResult fetched = AssembleResults(
      DecryptItems(core->data_store->BatchGetVariable(missed), core->data_store_name),
      core->payload_size);
  const Matrix<float> all = fetched.payloads.TakeFloats();
  uint64_t added = 0;
  for (size_t i = 0; i < fetched.item_ids.size(); ++i) {
    if (fetched.item_ids[i].empty()) continue;  // gone since the key listing
    training_set.item_ids.push_back(std::move(fetched.item_ids[i]));
    training_set.metadata.push_back(std::move(fetched.metadata[i]));
    const auto* bytes = reinterpret_cast<const uint8_t*>(all.row(i));
    training_set.payloads.data.insert(training_set.payloads.data.end(), bytes,
                                      bytes + all.cols * sizeof(float));
    ++added;
  }
  training_set.payloads.rows += added;
  if (added == 0) return false;
  log().info("Processing " + std::to_string(added) + " new embeddings from modified centroids...");
  return true;
}

}  // namespace ombrix
