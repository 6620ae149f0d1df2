// Loading an index made earlier: the Client's checks and settings, then the constructor
// that restores the engine core, the configuration and the trained quantizer.
#include <algorithm>
#include <stdexcept>
#include <utility>

#include "diagnostics/error_wrapper.h"
#include "index/client.h"
#include "index/encrypted_index.h"
#include "index/operation_rules.h"

namespace ombrix {

EncryptedIndex::EncryptedIndex(LoadExisting, const std::string& index_name,
                               const std::array<uint8_t, 32>& key, const IndexSettings& settings,
                               Logger* index_logger,
                               std::shared_ptr<internal::TelemetryAggregator> index_telemetry)
    : EncryptedIndex(index_name, key, index_logger, std::move(index_telemetry)) {
  internal::ExecuteWithErrorHandling("EncryptedIndex", telemetry.get(), [&] {
    config_in_memory_ = settings.config_location.location == MEMORY;
    IndexSettings core_settings = settings;
    // The key the index was given is the one its stores are sealed under.
    std::copy(key.begin(), key.end(), core_settings.index_key.begin());
    // The OpenMP runtime cannot start a negative team: such a count keeps the default.
    if (settings.cpu_threads) core_settings.cpu_threads = TeamSizeFor(settings.cpu_threads).value_or(0);
    log().info("Loading existing index with db: " +
               (settings.index_location.connection_string
                    ? MaskConnectionString(*settings.index_location.connection_string)
                    : std::string("Memory")));
    core = EncryptedIndexCore::Load(core_settings,
                                    logger != nullptr ? logger : &Logger::instance());
    if (core->deletion_unfinished) {
      // Nothing to configure: the handle is there to finish the deletion.
      config = std::make_unique<IndexIVFFlat>();
      return;
    }
    // A core never pushes its counter map when released, so a load that fails here leaves
    // the stores as it found them.
    const std::vector<uint8_t> record = core->GetDecryptedConfigItem(core->index_name + ".ovs");
    IndexView view = View();
    DeserializeIndexConfig(view, record);
    // Records are written at the configuration's width; a stale index record must not
    // make this handle read them at another one.
    if (config->dimension() != 0) core->payload_size = config->dimension() * 4;
    if (trained) {
      const uint64_t n = config->n_lists();
      if (n != core->vocab_size) {
        log().info("Index is trained, synchronizing vocabulary size from " +
                   std::to_string(core->vocab_size) + " to " + std::to_string(n));
        core->ResizeVocabulary(n);
      }
    }
  });
}

std::unique_ptr<EncryptedIndex> Client::LoadIndex(const std::string& index_name,
                                                  const std::array<uint8_t, 32>& index_key,
                                                  std::optional<uint64_t> max_cache_size,
                                                  Logger* logger) {
  return internal::ExecuteWithErrorHandling("LoadIndex", telemetry_.get(), [&] {
    logger = ChooseLogger(logger);
    for (const DBConfig* location :
         {&index_location_, &config_location_, &items_location_, &data_location_}) {
      if (location->location == MEMORY) {
        throw std::invalid_argument(
            "Memory location is not supported for loading an existing index.");
      }
    }
    if (index_name.empty()) throw std::invalid_argument("Index name cannot be an empty string.");
    const IndexSettings settings = SettingsFor(index_name, index_key, max_cache_size);
    return std::make_unique<EncryptedIndex>(LoadExisting{}, index_name, index_key, settings, logger,
                                            telemetry_);
  });
}

}  // namespace ombrix
