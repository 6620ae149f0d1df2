// Training: reads every stored item, trains the coarse quantizer, then replaces every
// index entry under the new lists, stores the new records, and files the items that other
// writers added meanwhile.
#include <algorithm>
#include <cstring>
#include <functional>
#include <numeric>
#include <stdexcept>
#include <unordered_set>

#include "diagnostics/error_wrapper.h"
#include "encrypted_store/item_keys.h"
#include "encrypted_store/item_record.h"
#include "encrypted_store/sealing.h"
#include "index/encrypted_index.h"
#include "index/operation_rules.h"
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
  if (trained) log().info("Retraining IVFFLAT index...");

  const std::vector<uint32_t> counters_before = core->counter_map;
  // Without a counter map (lost, or a training that did not finish) the data store is the
  // only account of the items, and training is what rebuilds the entries from it.
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

  // Until the old entries are deleted, a failure leaves this handle as it was.
  struct Restore {
    EncryptedIndex& index;
    const uint64_t n_lists;
    const bool trained;
    const uint32_t version;
    std::vector<Codebook> codebooks;
    const uint64_t vocab_size;
    bool committed = false;
    ~Restore() {
      if (committed) return;
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
  } restore{*this, config->n_lists(), trained, quantizer_version, quantizers->codebooks, core->vocab_size};

  uint64_t lists = requested_lists;
  if (lists != 0) {
    config->set_n_lists(lists);
  } else {
    lists = AutomaticListCount(rows);
    config->set_n_lists(lists);
    log().info("Calculated n_lists: " + std::to_string(config->n_lists()) + " for " +
               std::to_string(rows) + " vectors");
  }

  const std::vector<uint32_t> counters_after =
      core->TryLoadCounterMap() ? core->counter_map : std::vector<uint32_t>();
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

  if (counted_map && counters_before == counters_after) {
    log().info("No new embeddings detected. Re-quantizing existing embeddings without reloading...");
  } else {
    log().info("Detected changes in counter map. Identifying modified centroids...");
    log().info("Re-quantizing existing embeddings with new quantizers...");
  }
  // Once the old entries are gone there is no way back to them: the new configuration is
  // stored, and a failure is met by rebuilding once more under it. Should that fail too,
  // the counter map stays missing and every query fails until a training succeeds.
  const auto commit = [&] {
    restore.committed = true;
    core->SaveStoredConfig(SerializeIndexConfig(View()));
    core->SaveIndexRecord(config->dimension() * 4);
  };
  try {
    RebuildAfterTraining(training_set, vectors, lists, commit);
  } catch (const std::exception& failure) {
    if (!restore.committed) throw;
    log().warning(std::string("Rebuilding the index entries failed (") + failure.what() +
                  "); rebuilding them once more");
    Matrix<float> again = PayloadFloats(training_set.payloads);
    RebuildAfterTraining(training_set, again, lists, commit);
  }
  log().info("TrainIndex completed successfully");
  return true;
}

void EncryptedIndex::RebuildAfterTraining(const ItemBatch& training_set, Matrix<float>& vectors,
                                          uint64_t lists, const std::function<void()>& once_cleared) {
  core->ResizeVocabulary(lists);
  core->ClearItemCache();
  IngestTrained(vectors, training_set.item_ids, {}, training_set.metadata, /*rebuild=*/true,
                once_cleared);
  log().info("Avoided redundant embedding retrieval by reusing cached data");
  FileItemsTrainingMissed(training_set.item_ids);
}

void EncryptedIndex::FileItemsTrainingMissed(const std::vector<std::string>& training_ids) {
  // Another writer may have added items after the training set was read; the rebuild has
  // just removed their entries. Their records are in the data store.
  const std::vector<uint64_t> read_keys = DeriveItemKeys(training_ids, core->data_store_name);
  const std::unordered_set<uint64_t> read(read_keys.begin(), read_keys.end());
  std::vector<uint64_t> missed;
  for (uint64_t key : core->data_store->GetAllKeys()) {
    if (read.count(key) == 0) missed.push_back(key);
  }
  if (missed.empty()) return;

  CacheMissResult fetched = AssembleResults(
      DecryptItems(core->data_store->BatchGetVariable(missed), core->data_store_name),
      core->payload_size);
  std::vector<std::string> ids;
  std::vector<std::string> metadata;
  Matrix<float> all = fetched.payloads.TakeFloats();
  Matrix<float> vectors;
  vectors.cols = all.cols;
  for (size_t i = 0; i < fetched.item_ids.size(); ++i) {
    if (fetched.item_ids[i].empty()) continue;  // gone since the key listing
    ids.push_back(fetched.item_ids[i]);
    metadata.push_back(fetched.metadata[i]);
    vectors.data.insert(vectors.data.end(), all.row(i), all.row(i) + all.cols);
  }
  vectors.rows = ids.size();
  if (ids.empty()) return;
  log().info("Processing " + std::to_string(ids.size()) + " new embeddings from modified centroids...");

  std::vector<std::vector<uint8_t>> contents = DecryptItems(
      core->items_store->BatchGetVariable(DeriveItemKeys(ids, core->content_store_name)),
      core->content_store_name);
  // Items without contents are added without any, so that none is made up for them.
  if (std::all_of(contents.begin(), contents.end(), [](const auto& c) { return c.empty(); })) {
    contents.clear();
  }
  IngestTrained(vectors, ids, contents, metadata, /*rebuild=*/false);
}

}  // namespace ombrix
