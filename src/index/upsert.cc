// Upsert and ingestion: batch checks, the dimension of the first batch, the untrained
// road (everything under list 0) and the trained road (nearest centroid), and the
// rebuild of the index-store entries that training asks for.
#include <algorithm>
#include <cstring>
#include <functional>
#include <iostream>
#include <limits>
#include <stdexcept>
#include <string_view>
#include <unordered_set>

#include "diagnostics/error_wrapper.h"
#include "encrypted_store/batch_checks.h"
#include "encrypted_store/item_keys.h"
#include "encrypted_store/labels.h"
#include "index/encrypted_index.h"
#include "index/operation_rules.h"
#include "index_model/quantize.h"

namespace ombrix {

namespace {

constexpr char kCudaMessage[] =
    "CUDA support is required, but the library was built without CUDA. Please build and run the "
    "program with CUDA support (e.g., ./build.sh -cuda).";
constexpr uint64_t kRebuildSlice = 10000;
// Rows assigned to lists between two looks at the hold.
constexpr uint64_t kAssignSlice = 65536;

// Rows [begin, end) of m, copied.
Matrix<float> Rows(const Matrix<float>& m, uint64_t begin, uint64_t end) {
  return Matrix<float>(std::vector<float>(m.data.begin() + begin * m.cols, m.data.begin() + end * m.cols), m.cols);
}

// A failure IngestTrained has logged and prefixed with "Error ingesting: " already, so
// Upsert passes it on instead of prefixing it a second time.
class IngestFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

[[noreturn]] void Refuse(Logger& log, const std::string& message) {
  log.error(message);
  throw std::invalid_argument(message);
}

// The float rows of `vectors` as payload bytes, only the rows in `keep` (all when empty).
Matrix<uint8_t> PayloadBytes(const Matrix<float>& vectors, const std::vector<size_t>& keep) {
  const uint64_t row_bytes = vectors.cols * sizeof(float);
  const uint64_t rows = keep.empty() ? vectors.rows : keep.size();
  std::vector<uint8_t> bytes(rows * row_bytes);
  if (keep.empty()) {
    if (!bytes.empty()) std::memcpy(bytes.data(), vectors.data.data(), bytes.size());
  } else {
    for (size_t i = 0; i < keep.size(); ++i) {
      std::memcpy(bytes.data() + i * row_bytes, vectors.row(keep[i]), row_bytes);
    }
  }
  if (row_bytes == 0) return Matrix<uint8_t>();
  return Matrix<uint8_t>(std::move(bytes), row_bytes);
}

template <typename T>
std::vector<T> Select(const std::vector<T>& values, const std::vector<size_t>& keep) {
  if (keep.empty() || values.empty()) return values;
  std::vector<T> kept;
  kept.reserve(keep.size());
  for (size_t i : keep) kept.push_back(values[i]);
  return kept;
}

}  // namespace

void EncryptedIndex::Upsert(const std::vector<std::string>& ids, Matrix<float>& vectors,
                            const std::vector<std::vector<uint8_t>>& contents,
                            const std::vector<std::string>& metadata) {
  internal::ExecuteWithErrorHandling("Upsert", telemetry.get(), [&] {
    OperationLock lock(*this);
    UpsertLocked(ids, vectors, contents, metadata);
  });
}

void EncryptedIndex::UpsertLocked(const std::vector<std::string>& ids, Matrix<float>& vectors,
                                  const std::vector<std::vector<uint8_t>>& contents,
                                  const std::vector<std::string>& metadata) {
  const uint64_t n = ids.size();
  log().info("Upserting " + std::to_string(n) + " items.");
  if (!core) RefuseNotConnected<std::logic_error>(kError);

  // Positions of the first occurrence of every id; empty when there is no duplicate.
  std::vector<size_t> keep;
  {
    std::unordered_set<std::string_view> seen;
    seen.reserve(n);
    std::vector<size_t> first;
    first.reserve(n);
    for (size_t i = 0; i < n; ++i) {
      if (seen.insert(ids[i]).second) first.push_back(i);
    }
    if (first.size() < n) {
      const char* warning = "Warning: Duplicate IDs detected. Skipping duplicate IDs.";
      log().warning(warning);
      std::cerr << warning << std::endl;
      keep = std::move(first);
    }
  }

  const uint64_t r = vectors.rows;
  const uint64_t c = vectors.cols;
  if (r != n) Refuse(log(), "Mismatch between the number of vectors and IDs.");
  if (r == 0) Refuse(log(), "Vectors and IDs cannot be empty.");
  // The matrix comes from outside: its fields must describe its buffer before a row is read.
  if (c == 0) Refuse(log(), "Vectors must have at least one dimension.");
  if (c > std::numeric_limits<uint64_t>::max() / r || vectors.data.size() != r * c) {
    Refuse(log(), "The vector data does not match the number of rows and columns.");
  }
  if (!metadata.empty() && metadata.size() != n) {
    Refuse(log(), "Mismatch between the number of metadata entries and IDs.");
  }

  // From here to the last write this upsert holds the index store shared: a training or
  // a deletion in any process waits for it, and it waits while one runs, so no position
  // it takes can be written after a rebuild has handed that position to another item.
  // Every write of the index store is made only while the hold is live.
  EncryptedIndexCore::EntriesState entries;
  try {
    entries = core->BeginWriting();
  } catch (const std::exception& failure) {
    const std::string message = std::string("Error ingesting: ") + failure.what();
    log().critical(message);
    throw std::runtime_error(message);
  }
  struct Hold {
    EncryptedIndexCore& core;
    ~Hold() { core.DropHold(); }
  } hold{*core};
  // Before any record is rewritten: another handle may have fixed the dimension or
  // trained the index, and rewriting from a stale state would undo that. Nothing of the
  // kind happened while the count of finished trainings (0 while none is recorded) is the
  // one this handle last read the configuration at and the dimension is known.
  bool reloaded = false;
  try {
    reloaded = SyncWithEntries(entries);
  } catch (const std::exception& failure) {
    const std::string message = std::string("Error ingesting: ") + failure.what();
    log().critical(message);
    throw std::runtime_error(message);
  }
  if (reloaded) log().info("Config reloaded - training status or quantizer version update detected");

  const uint64_t d = config->dimension();
  if (d != 0 && c != d) {
    Refuse(log(), "The dimension of the vectors provided (" + std::to_string(c) +
                      ") doesn't match the index configuration (" + std::to_string(d) + ").");
  }
  if (d == 0) {
    log().info("Auto-detecting vector dimension: " + std::to_string(c));
    config->dimension_ = c;
    const uint64_t payload_size = c * 4;
    // Only over the record this handle read: another writer may have fixed the dimension
    // since, and a training may have replaced the record of a writer stopped past its hold.
    if (!core->ReplaceStoredConfig(SerializeIndexConfig(View()))) {
      config->dimension_ = 0;
      SyncTrainingStatus();
      const uint64_t stored = config->dimension();
      if (stored == 0) {
        const std::string message = "The dimension of index '" + name +
                                    "' could not be stored; nothing was written, try again";
        log().error(message);
        throw std::runtime_error(message);
      }
      if (stored != c) {
        Refuse(log(), "The dimension of the vectors provided (" + std::to_string(c) +
                          ") doesn't match the index configuration (" + std::to_string(stored) + ").");
      }
    } else {
      core->UpdateIndexRecord(payload_size);
      log().info("Updated payload size to: " + std::to_string(payload_size));
    }
  }
  if (!contents.empty() && contents.size() != r) {
    Refuse(log(), "Mismatch between the number of vectors and items.");
  }

  const uint64_t m = keep.empty() ? n : keep.size();
  const std::vector<std::string> kept_ids = Select(ids, keep);
  const std::vector<std::vector<uint8_t>> kept_contents = Select(contents, keep);
  std::vector<std::string> kept_metadata =
      metadata.empty() ? std::vector<std::string>(m) : Select(metadata, keep);

  if (trained) {
    try {
      Matrix<float> kept_vectors;
      if (keep.empty()) {
        kept_vectors = std::move(vectors);
      } else {
        kept_vectors.rows = m;
        kept_vectors.cols = c;
        kept_vectors.data.reserve(m * c);
        for (size_t i : keep) {
          kept_vectors.data.insert(kept_vectors.data.end(), vectors.row(i), vectors.row(i) + c);
        }
      }
      vectors = Matrix<float>();
      IngestTrained(kept_vectors, kept_ids, kept_contents, kept_metadata, /*rebuild=*/false);
    } catch (const IngestFailure&) {
      throw;  // logged and prefixed once already
    } catch (const std::exception& failure) {
      const std::string message = std::string("Error ingesting: ") + failure.what();
      log().critical(message);
      throw std::runtime_error(message);
    }
  } else {
    log().info("IngestUntrained ");
    try {
      ItemBatch batch;
      batch.input_tokens.assign(m, 0);
      batch.item_ids = kept_ids;
      batch.payloads = PayloadBytes(vectors, keep);
      vectors = Matrix<float>();
      batch.contents = kept_contents;
      batch.metadata = std::move(kept_metadata);
      core->AddItems(batch);
    } catch (const std::exception& failure) {
      // A store failure is the caller's to know about: nothing is counted as stored.
      const std::string message = std::string("Error ingesting: ") + failure.what();
      log().critical(message);
      std::cerr << message << std::endl;
      throw std::runtime_error(message);
    }
  }
  try {
    core->EndWriting();
  } catch (const std::exception& failure) {
    const std::string message = std::string("Error ingesting: ") + failure.what();
    log().critical(message);
    throw std::runtime_error(message);
  }
  if (telemetry) telemetry->RecordEvent(internal::kUpsert, TelemetryCount(r));
}

void EncryptedIndex::IngestTrained(Matrix<float>& vectors, const std::vector<std::string>& ids,
                                   const std::vector<std::vector<uint8_t>>& contents,
                                   const std::vector<std::string>& metadata, bool rebuild,
                                   const std::function<void()>& once_cleared) {
  const uint64_t n = ids.size();
  log().info("IngestTrained ");
  const DistanceMetric metric = static_cast<DistanceMetric>(config->metric);
  Matrix<uint32_t> codes;
  if (gpu_accelerate) {
    codes = quantize_gpu(vectors, quantizers->codebooks, metric);
  } else if (vectors.rows <= kAssignSlice) {
    codes = quantize_dispatch(vectors, quantizers->codebooks, metric);
  } else {
    // A large batch is assigned a slice at a time, and the hold this operation keeps on
    // the index is renewed in between: one long assignment could outlast its lease.
    for (uint64_t start = 0; start < vectors.rows; start += kAssignSlice) {
      core->KeepHold();
      const Matrix<float> slice = Rows(vectors, start, std::min(start + kAssignSlice, vectors.rows));
      Matrix<uint32_t> part = quantize_dispatch(slice, quantizers->codebooks, metric);
      codes.cols = part.cols;
      codes.rows += part.rows;
      codes.data.insert(codes.data.end(), part.data.begin(), part.data.end());
    }
  }
  if (codes.rows * codes.cols != n) {
    Refuse(log(), "Mismatch between the number of quantized embeddings and IDs.");
  }
  ItemBatch batch;
  batch.input_tokens = std::move(codes.data);
  batch.item_ids = ids;
  batch.payloads = PayloadBytes(vectors, {});
  vectors = Matrix<float>();
  batch.contents = contents;
  batch.metadata = metadata;
  try {
    if (rebuild) {
      RebuildIndexEntries(batch, once_cleared);
    } else {
      // Summaries before items: a failure in between leaves a harmless superset, never
      // stored items that filtered queries cannot reach.
      StoreBatchSummaries(batch);
      core->AddItems(batch);
    }
  } catch (const MetadataUpdateError&) {
    throw;
  } catch (const std::exception& failure) {
    const std::string message = std::string("Error ingesting: ") + failure.what();
    log().critical(message);
    throw IngestFailure(message);
  }
}

void EncryptedIndex::RebuildIndexEntries(const ItemBatch& batch,
                                         const std::function<void()>& once_cleared) {
  Logger& core_log = core->logger != nullptr ? *core->logger : InternalLogger();
  core_log.info("Rebuilding index with " + std::to_string(batch.item_ids.size()) + " items");
  core->ClearItemCache();
  core->RegenerateSaltsAndSeeds();
  // Every list starts again at position 0: the counters are the batch's own.
  std::vector<uint32_t> counters(core->vocab_size, 0);
  std::vector<uint32_t> positions;
  positions.reserve(batch.input_tokens.size());
  for (uint32_t list : batch.input_tokens) {
    if (list >= counters.size()) {
      Refuse(core_log, "List id " + std::to_string(list) + " is out of range for a vocabulary of " +
                           std::to_string(counters.size()) + " lists");
    }
    positions.push_back(counters[list]++);
  }
  const std::vector<uint64_t> hash_ids = DeriveItemKeys(batch.item_ids, core->data_store_name);
  if (core->gpu_accelerated) throw std::runtime_error(kCudaMessage);
  const ItemTokens tokens =
      GenerateItemTokens(batch.input_tokens, hash_ids, core->salts_and_seeds,
                         static_cast<uint32_t>(core->tree_depth), positions);
  ValidateBatchSizes(batch, core->payload_size);

  // A label depends only on its list and position, so the new entries replace the old
  // ones under the same keys; old entries past a list's new counter are never read and
  // are replaced as later items take those positions. Readers wait meanwhile (the
  // training state), and writers were held back before the training read its items. The
  // counter map is replaced last, under compare-and-set over the stored version, so its
  // version keeps growing for the life of the index.
  if (once_cleared) once_cleared();
  // Written afresh from the items filed here: a summary that kept what lists held before
  // would send filtered queries to lists that no longer hold a match.
  StoreBatchSummaries(batch, /*replace=*/true);
  const uint64_t total = tokens.labels.size();
  for (uint64_t start = 0; start < total; start += kRebuildSlice) {
    core->KeepHold();
    const uint64_t end = std::min(start + kRebuildSlice, total);
    std::vector<uint64_t> keys(tokens.labels.begin() + start, tokens.labels.begin() + end);
    std::vector<std::vector<uint8_t>> values;
    values.reserve(end - start);
    for (uint64_t i = start; i < end; ++i) {
      std::vector<uint8_t> value(8);
      const uint64_t masked = tokens.encrypted_hash_ids[i];
      for (int b = 0; b < 8; ++b) value[b] = static_cast<uint8_t>(masked >> (8 * b));
      values.push_back(std::move(value));
    }
    core->index_store->BatchPushVariable(keys, values);
  }
  // Over the version the training began with, never one read just now: a push that went
  // through before its reply was lost shows as the next version holding these counters.
  core->counter_map_version = rebuild_base_version_;
  const bool stored_already = core->TryLoadCounterMap() &&
                              core->counter_map_version == rebuild_base_version_ + 1 &&
                              core->counter_map == counters;
  core->counter_map = std::move(counters);
  if (!stored_already) {
    core->counter_map_version = rebuild_base_version_;
    if (!core->PushCounterMap()) {
      throw std::runtime_error("Another writer stored a counter map while the index entries were rebuilt");
    }
  }
  core->counter_map_version = rebuild_base_version_ + 1;
  core_log.info("Index rebuild completed");
}

}  // namespace ombrix
