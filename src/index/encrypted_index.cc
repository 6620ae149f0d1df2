#include "index/encrypted_index.h"

#include <flatbuffers/flatbuffers.h>

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "diagnostics/error_wrapper.h"
#include "index/operation_rules.h"
#include "index_model/stored_config_generated.h"

namespace ombrix {

const char kNotConnectedMessage[] =
    "Not connected to any index. Please call `CreateIndex()` or `LoadIndex()` before calling this "
    "function.";

// ---------------------------------------------------------------------------------------
// Operation lock

EncryptedIndex::OperationLock::OperationLock(EncryptedIndex& index) : index_(&index) {
  if (index.operation_holder_.load() == std::this_thread::get_id()) return;
  index.operation_mutex_.lock();
  index.operation_holder_.store(std::this_thread::get_id());
  owns_ = true;
}

EncryptedIndex::OperationLock::OperationLock(OperationLock&& other) noexcept
    : index_(other.index_), owns_(other.owns_) {
  other.owns_ = false;
}

EncryptedIndex::OperationLock::~OperationLock() {
  if (!owns_) return;
  index_->operation_holder_.store(std::thread::id());
  index_->operation_mutex_.unlock();
}

EncryptedIndex::OperationLock EncryptedIndex::LockOperations() { return OperationLock(*this); }

// ---------------------------------------------------------------------------------------
// Creation and lifecycle

EncryptedIndex::EncryptedIndex(const std::string& index_name, const std::array<uint8_t, 32>& key,
                               Logger* index_logger,
                               std::shared_ptr<internal::TelemetryAggregator> index_telemetry)
    : name(index_name),
      quantizers(std::make_unique<Quantizers>()),
      logger(index_logger),
      telemetry(std::move(index_telemetry)) {
  static_cast<std::array<uint8_t, 32>&>(index_key) = key;
}

EncryptedIndex::EncryptedIndex(const std::string& index_name, const std::array<uint8_t, 32>& key,
                               const IndexConfig& index_config, const IndexSettings& settings,
                               Logger* index_logger,
                               std::shared_ptr<internal::TelemetryAggregator> index_telemetry)
    : EncryptedIndex(index_name, key, index_logger, std::move(index_telemetry)) {
  internal::ExecuteWithErrorHandling("EncryptedIndex", telemetry.get(), [&] {
    log().info("EncryptedIndex created with new index configuration");
    if (name.empty()) {
      log().error("Index name cannot be an empty string.");
      throw std::invalid_argument("Index name cannot be an empty string.");
    }
    if (index_config.n_lists() == 0) {
      log().error("n_lists cannot be 0.");
      throw std::invalid_argument("n_lists cannot be 0.");
    }
    config = index_config.clone();
    cpu_threads = static_cast<uint32_t>(std::max<int32_t>(settings.cpu_threads.value_or(0), 0));
    gpu_accelerate = settings.gpu_accelerate.value_or(false);
    config_in_memory_ = settings.config_location.location == MEMORY;

    // The OpenMP runtime cannot start a negative team: such a count keeps the default.
    IndexSettings core_settings = settings;
    // The key the index was given is the one its stores are sealed under.
    std::copy(key.begin(), key.end(), core_settings.index_key.begin());
    // The engine's payload width is always the configuration's: rows are vectors.
    core_settings.payload_size = config->dimension() * 4;
    if (settings.cpu_threads) core_settings.cpu_threads = TeamSizeFor(settings.cpu_threads).value_or(0);
    log().info("Creating new index with db: " +
               (settings.index_location.connection_string
                    ? MaskConnectionString(*settings.index_location.connection_string)
                    : std::string("Memory")));
    core = EncryptedIndexCore::Create(core_settings, logger != nullptr ? logger : &Logger::instance(),
                                      SerializeIndexConfig(View()));
  });
}

EncryptedIndex::~EncryptedIndex() = default;

template <typename Exception>
void EncryptedIndex::RefuseNotConnected(LogLevel level) {
  log().log(level, kNotConnectedMessage);
  throw Exception(kNotConnectedMessage);
}
template void EncryptedIndex::RefuseNotConnected<std::logic_error>(LogLevel);
template void EncryptedIndex::RefuseNotConnected<std::runtime_error>(LogLevel);

bool EncryptedIndex::is_trained() {
  OperationLock lock(*this);
  return trained;
}

std::string EncryptedIndex::index_name() {
  OperationLock lock(*this);
  return name;
}

// ---------------------------------------------------------------------------------------
// Training-status synchronisation

namespace {

const char* TrainedWord(bool trained) { return trained ? "trained" : "untrained"; }

}  // namespace

bool EncryptedIndex::SyncTrainingStatus() {
  sync_failed_ = false;
  if (config_in_memory_) return false;
  try {
    const std::vector<uint8_t> record = core->ReadStoredConfig();
    if (record.empty()) {
      log().debug("No stored config found, skipping quantizer check");
      return false;
    }
    flatbuffers::Verifier verifier(record.data(), record.size());
    if (!stored::VerifyStoredConfigBuffer(verifier)) {
      log().error("Invalid stored config buffer");
      return false;
    }
    const stored::StoredConfig* root = stored::GetStoredConfig(record.data());
    const bool stored_trained = root->trained();
    const uint32_t stored_version = root->quantizer_version();
    // Two trainings that began from one version end at the same one: the generation
    // tells their configurations apart.
    const bool generation_changed = root->generation() != config_generation_;

    // The payload width follows the dimension a reload brings; another handle may also
    // have fixed the dimension while this one still has none.
    auto after_reload = [&] {
      core->payload_size = config->dimension() * 4;
      core->ClearItemCache();
    };
    if (config->dimension() == 0 && root->params() != nullptr && root->params()->dimension() != 0) {
      config->dimension_ = root->params()->dimension();
      core->payload_size = config->dimension() * 4;
    }

    if (stored_trained != trained) {
      log().info(std::string("Training status changed. Local: ") + TrainedWord(trained) +
                 ", Stored: " + TrainedWord(stored_trained) + ". Reloading config...");
      IndexView view = View();
      DeserializeIndexConfig(view, record);
      after_reload();
      if (stored_trained) {
        const uint64_t n = config->n_lists();
        core->ResizeVocabulary(n);
        core->ClearItemCache();
        log().info("Resized vocabulary to match n_lists: " + std::to_string(n));
      }
      log().info("Successfully synced training status and quantizers");
      return true;
    }
    if (!trained) {
      log().debug("Index is not trained, skipping quantizer version check");
      return false;
    }
    const bool version_changed = quantizer_version != stored_version || generation_changed;
    if (quantizer_version != stored_version) {
      log().info("Quantizer version mismatch detected. Current: " + std::to_string(quantizer_version) +
                 ", Stored: " + std::to_string(stored_version));
    } else if (generation_changed) {
      log().info("The stored configuration comes from another training");
    }
    if (root->params() == nullptr && !version_changed) return false;
    if (root->params() != nullptr) {
      const uint64_t expected = IndexConfigFromParams(*root->params())->n_lists();
      const uint64_t current = core->vocab_size;
      if (current != expected) {
        log().info("Vocabulary size mismatch detected. Current: " + std::to_string(current) +
                   ", Expected: " + std::to_string(expected));
      } else if (!version_changed) {
        return false;
      }
    }
    if (version_changed) {
      log().info("Reloading quantizers due to version change...");
      IndexView view = View();
      DeserializeIndexConfig(view, record);
      after_reload();
    }
    if (trained) {
      const uint64_t n = config->n_lists();
      core->ResizeVocabulary(n);
      core->ClearItemCache();
      log().info("Resized vocabulary to match n_lists: " + std::to_string(n));
    }
    log().info("Successfully reloaded quantizers with version " + std::to_string(quantizer_version));
    return true;
  } catch (const std::exception& failure) {
    sync_failed_ = true;
    log().error(std::string("Failed to check/reload quantizers: ") + failure.what());
    return false;
  }
}

bool EncryptedIndex::SyncWithEntries(const EncryptedIndexCore::EntriesState& entries) {
  bool reloaded = false;
  if (entries.epoch != synced_epoch_ || entries.generation != config_generation_ ||
      config->dimension() == 0) {
    reloaded = SyncTrainingStatus();
    NoteSyncedEpoch(entries);
  }
  if (config_in_memory_ || entries.generation == config_generation_) return reloaded;
  if (sync_failed_) {
    const std::string message = "The configuration of index '" + name +
                                "' could not be read; nothing was done, try again";
    log().error(message);
    throw std::runtime_error(message);
  }
  // The configuration stored is not the one the entries were built with: answering or
  // filing items under it would put them where no query looks.
  core->ThrowBrokenEntries();
}

}  // namespace ombrix
