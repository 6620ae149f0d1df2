#include "index/client.h"

#include <algorithm>
#include <iostream>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "backing_store/postgres_index_listing.h"
#include "backing_store/redis_keystore.h"
#include "diagnostics/error_wrapper.h"

namespace ombrix {

namespace {

constexpr size_t kMaxIndexNameBytes = 255;

constexpr const char* kListingNeedsPostgres =
    "Index listing is available only for a PostgreSQL index location.";
constexpr const char* kListingNeedsPostgresConfig =
    "Index listing needs a PostgreSQL config location as well: the index names are read "
    "from its table.";

void CheckCreateRequest(const std::string& index_name, const std::array<uint8_t, 32>& index_key,
                        const IndexConfig& config, int32_t effective_metric) {
  if (index_name.size() > kMaxIndexNameBytes) {
    throw std::invalid_argument("Index name cannot be longer than 255 characters.");
  }
  if (index_name.empty()) throw std::invalid_argument("Index name cannot be an empty string.");
  // The stores key records by C strings in places, so "a\0b" would alias "a".
  if (index_name.find('\0') != std::string::npos) {
    throw std::invalid_argument("Index name cannot contain NUL characters.");
  }
  if (std::all_of(index_key.begin(), index_key.end(), [](uint8_t b) { return b == 0; })) {
    throw std::invalid_argument("Index key cannot be an empty array.");
  }
  if (config.n_lists() == 0) throw std::invalid_argument("n_lists cannot be 0.");
  if (config.index_type != IVFFLAT) {
    throw std::invalid_argument("Only the IVF-Flat index type is supported.");
  }
  if (effective_metric < 0 || effective_metric > SquaredEuclidean) {
    throw std::invalid_argument("Metric must be Cosine, Euclidean or SquaredEuclidean.");
  }
}

}  // namespace

Client::Client(const std::string& api_key, const DBConfig& index_location,
               const DBConfig& config_location, const DBConfig& items_location, int32_t cpu_threads,
               bool /*gpu_accelerate*/, const std::string& working_dir)
    : telemetry_(std::make_shared<internal::TelemetryAggregator>(api_key)) {
  internal::ExecuteWithErrorHandling("Client", telemetry_.get(), [&] {
    index_location_ = index_location;
    config_location_ = config_location;
    items_location_ = items_location;
    data_location_ = index_location_;
    api_key_ = api_key;
    cpu_threads_ = cpu_threads;
    gpu_enabled_ = false;
    if (!working_dir.empty()) working_dir_ = working_dir;
  });
}

std::vector<std::string> Client::ListIndexes() const {
  if (index_location_.location != POSTGRES) throw std::invalid_argument(kListingNeedsPostgres);
  // Another backend's connection string would reach libpq as if it were one of its own.
  if (config_location_.location != POSTGRES) throw std::invalid_argument(kListingNeedsPostgresConfig);
  try {
    return ombrix_encrypted_index::internal::backing_store::ListIndexNames(config_location_);
  } catch (const std::exception& e) {
    // The location is PostgreSQL: "only PostgreSQL" would name the wrong cause, so the
    // caller gets the listing's own error.
    std::cerr << "Error in ListIndexes for Postgres: " << e.what() << '\n';
    throw;
  }
}

std::vector<std::string> Client::UnverifiedTlsWarnings() const {
  std::vector<std::string> warnings;
  for (const DBConfig* location : {&index_location_, &config_location_, &items_location_}) {
    std::optional<std::string> warning =
        ombrix_encrypted_index::internal::backing_store::UnverifiedTlsWarning(*location);
    if (warning && std::find(warnings.begin(), warnings.end(), *warning) == warnings.end()) {
      warnings.push_back(std::move(*warning));
    }
  }
  return warnings;
}

Logger* Client::ChooseLogger(Logger* logger) {
  if (logger == nullptr) {
    logger = &Logger::instance();
    std::lock_guard<std::mutex> lock(logger->log_mutex);
    logger->level = kError;
    logger->to_file = false;
  }
  active_logger = logger;
  return logger;
}

IndexSettings Client::SettingsFor(const std::string& index_name,
                                  const std::array<uint8_t, 32>& index_key,
                                  std::optional<uint64_t> max_cache_size) const {
  IndexSettings settings;
  settings.index_name = index_name;
  std::copy(index_key.begin(), index_key.end(), settings.index_key.begin());
  settings.index_location = index_location_;
  settings.config_location = config_location_;
  settings.items_location = items_location_;
  settings.data_location = data_location_.location == NONE ? index_location_ : data_location_;
  settings.cpu_threads = cpu_threads_;
  settings.gpu_accelerate = gpu_enabled_;
  settings.max_cache_size = max_cache_size;
  return settings;
}

std::unique_ptr<EncryptedIndex> Client::CreateIndex(const std::string& index_name,
                                                    const std::array<uint8_t, 32>& index_key,
                                                    const IndexConfig& config,
                                                    std::optional<uint64_t> max_cache_size,
                                                    std::optional<DistanceMetric> metric,
                                                    Logger* logger) {
  return internal::ExecuteWithErrorHandling("CreateIndex", telemetry_.get(), [&] {
    logger = ChooseLogger(logger);
    CheckCreateRequest(index_name, index_key, config, metric ? *metric : config.metric);
    IndexSettings settings = SettingsFor(index_name, index_key, max_cache_size);
    settings.tree_depth = 32;
    settings.vocab_size = 1;
    settings.payload_size = config.dimension() * sizeof(float);

    try {
      if (metric) {
        IndexIVFFlat overridden(config.dimension(), config.embedding_model);
        overridden.metric = *metric;
        return std::make_unique<EncryptedIndex>(index_name, index_key, overridden, settings, logger,
                                                telemetry_);
      }
      return std::make_unique<EncryptedIndex>(index_name, index_key, config, settings, logger,
                                              telemetry_);
    } catch (const std::exception& e) {
      throw std::runtime_error(std::string("Failed to create index: ") + e.what());
    }
  });
}

}  // namespace ombrix
