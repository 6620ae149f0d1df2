// Training: reads every stored item, trains the coarse quantizer, commits the new
// configuration record and refiles every item's index entries under the new lists.
#include <cstring>
#include <numeric>
#include <stdexcept>
#include <unordered_set>

#include "diagnostics/error_wrapper.h"
#include "encrypted_store/item_keys.h"
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
  core->LoadCounterMap();
  const uint64_t counted = std::accumulate(core->counter_map.begin(), core->counter_map.end(), uint64_t{0});
  if (core->counter_map.empty() || counted < kMinimumTrainingItems) {
    log().warning(kTooFewToTrain);
    return false;
  }

  log().info("Retrieving embeddings from the encrypted index for training...");
  ItemBatch training_set = core->RetrieveAllEmbeddings();
  const uint64_t rows = training_set.payloads.rows;

  // Until the new record is stored, a failure leaves this handle as it was.
  struct Restore {
    EncryptedIndex& index;
    const uint64_t n_lists;
    const bool trained;
    const uint32_t version;
    std::vector<Codebook> codebooks;
    bool committed = false;
    ~Restore() {
      if (committed) return;
      index.config->set_n_lists(n_lists);
      index.trained = trained;
      index.quantizer_version = version;
      index.quantizers->codebooks = std::move(codebooks);
    }
  } restore{*this, config->n_lists(), trained, quantizer_version, quantizers->codebooks};

  uint64_t lists = requested_lists;
  if (lists != 0) {
    config->set_n_lists(lists);
  } else {
    lists = AutomaticListCount(rows);
    config->set_n_lists(lists);
    log().info("Calculated n_lists: " + std::to_string(config->n_lists()) + " for " +
               std::to_string(rows) + " vectors");
  }

  core->LoadCounterMap();
  const std::vector<uint32_t> counters_after = core->counter_map;
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
  quantizers->codebooks = gpu_accelerate ? train_kmeans_gpu(vectors, kmeans, metric)
                                         : train_kmeans_dispatch(vectors, kmeans, metric);

  ++quantizer_version;
  log().info("Incremented quantizer version to " + std::to_string(quantizer_version));
  trained = true;
  core->SaveStoredConfig(SerializeIndexConfig(View()));
  restore.committed = true;

  core->ResizeVocabulary(lists);
  core->ClearItemCache();

  if (counters_before == counters_after) {
    log().info("No new embeddings detected. Re-quantizing existing embeddings without reloading...");
    IngestTrained(vectors, training_set.item_ids, {}, training_set.metadata, /*rebuild=*/true);
    log().info("Avoided redundant embedding retrieval by reusing cached data");
  } else {
    log().info("Detected changes in counter map. Identifying modified centroids...");
    std::vector<uint32_t> modified_lists;
    for (size_t i = 0; i < counters_after.size(); ++i) {
      if (i >= counters_before.size() || counters_before[i] != counters_after[i]) {
        modified_lists.push_back(static_cast<uint32_t>(i));
      }
    }
    log().info("Re-quantizing existing embeddings with new quantizers...");
    IngestTrained(vectors, training_set.item_ids, {}, training_set.metadata, /*rebuild=*/true);
    if (!modified_lists.empty()) ReingestModifiedLists(modified_lists, training_set.item_ids);
  }
  log().info("TrainIndex completed successfully");
  return true;
}

void EncryptedIndex::ReingestModifiedLists(const std::vector<uint32_t>& modified_lists,
                                           const std::vector<std::string>& training_ids) {
  log().info("Processing " + std::to_string(modified_lists.size()) + " modified centroids...");
  // Lists beyond the new vocabulary hold nothing under it.
  std::vector<uint32_t> lists;
  for (uint32_t list : modified_lists) {
    if (list < core->vocab_size) lists.push_back(list);
  }
  if (lists.empty()) return;
  CacheMissResult fetched = core->QueryEncrypted(lists);

  // What the rebuild has just filed again stays where it is; only items the training
  // set did not hold are added, with their stored contents.
  const std::unordered_set<std::string> known(training_ids.begin(), training_ids.end());
  std::vector<size_t> fresh;
  for (size_t i = 0; i < fetched.item_ids.size(); ++i) {
    if (known.count(fetched.item_ids[i]) == 0) fresh.push_back(i);
  }
  if (fresh.empty()) return;
  log().info("Processing " + std::to_string(fresh.size()) + " new embeddings from modified centroids...");

  Matrix<float> all = fetched.payloads.TakeFloats();
  Matrix<float> vectors;
  vectors.rows = fresh.size();
  vectors.cols = all.cols;
  vectors.data.reserve(vectors.rows * vectors.cols);
  std::vector<std::string> ids;
  std::vector<std::string> metadata;
  for (size_t i : fresh) {
    vectors.data.insert(vectors.data.end(), all.row(i), all.row(i) + all.cols);
    ids.push_back(fetched.item_ids[i]);
    metadata.push_back(i < fetched.metadata.size() ? fetched.metadata[i] : std::string());
  }
  const std::vector<EncryptedBlob> sealed =
      core->items_store->BatchGetVariable(DeriveItemKeys(ids, core->content_store_name));
  const std::vector<std::vector<uint8_t>> contents = DecryptItems(sealed, core->content_store_name);
  IngestTrained(vectors, ids, contents, metadata, /*rebuild=*/false);
}

}  // namespace ombrix
