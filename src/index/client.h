// Client: where the four stores of every index it opens live, the CPU thread count, and
// the usage telemetry it shares with each index it creates. Fields are fixed at
// construction, so a Client may be read from several threads; it owns its aggregator
// share, and the indexes it returns are owned by the caller.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "backing_store/db_config.h"
#include "diagnostics/logger.h"
#include "diagnostics/telemetry.h"
#include "index/encrypted_index.h"
#include "index_model/index_config.h"

namespace ombrix {

class Client {
 public:
  // Copies the locations (the data store lives where the index store does), keeps
  // cpu_threads unchanged, ignores gpu_accelerate, keeps working_dir when non-empty and
  // starts the telemetry aggregator. Opens no store. Throws what the aggregator throws.
  Client(const std::string& api_key, const DBConfig& index_location, const DBConfig& config_location,
         const DBConfig& items_location, int32_t cpu_threads, bool gpu_accelerate,
         const std::string& working_dir);

  // The names of the indexes with a configuration record at the config location, in the
  // listing's order. Only PostgreSQL index and config locations can be listed: any other
  // throws std::invalid_argument without looking. A failed listing writes "Error in ListIndexes
  // for Postgres: <message>" to standard error and rethrows the listing's own exception
  // (std::invalid_argument for a missing table name or connection string,
  // std::runtime_error for a failed connection or query).
  std::vector<std::string> ListIndexes() const;

  // A new index. Without a logger, Logger::instance() is reset to ERROR on the console
  // and becomes the index's logger; the chosen logger becomes active_logger. Refuses with
  // std::invalid_argument a name that is empty, over 255 bytes or holds a NUL, an
  // all-zero key, n_lists 0, an index type other than IVF-Flat and a metric above 2; a
  // failure of the index constructor becomes std::runtime_error "Failed to create
  // index: " + its message. Runs inside the error wrapper "CreateIndex".
  std::unique_ptr<EncryptedIndex> CreateIndex(const std::string& index_name,
                                              const std::array<uint8_t, 32>& index_key,
                                              const IndexConfig& config,
                                              std::optional<uint64_t> max_cache_size,
                                              std::optional<DistanceMetric> metric, Logger* logger);

  // An index made earlier under `index_name` and `index_key` (load.cc). The logger is
  // chosen as CreateIndex chooses it. Refuses with std::invalid_argument a client with any
  // location in memory ("Memory location is not supported for loading an existing
  // index.") and an empty name, before any store is opened. Runs inside the error wrapper
  // "LoadIndex"; the load's failures pass unchanged.
  std::unique_ptr<EncryptedIndex> LoadIndex(const std::string& index_name,
                                            const std::array<uint8_t, 32>& index_key,
                                            std::optional<uint64_t> max_cache_size, Logger* logger);

  // The WARNING texts that opening stores at this client's locations will log for TLS
  // without server verification, one per distinct text, so a caller whose logger stops at
  // ERROR can still be told.
  std::vector<std::string> UnverifiedTlsWarnings() const;

  int32_t cpu_threads() const { return cpu_threads_; }
  bool gpu_enabled() const { return gpu_enabled_; }
  const std::optional<std::string>& working_dir() const { return working_dir_; }
  const std::shared_ptr<internal::TelemetryAggregator>& telemetry() const { return telemetry_; }

 private:
  // The caller's logger, or Logger::instance() reset to ERROR on the console; either
  // becomes active_logger.
  static Logger* ChooseLogger(Logger* logger);
  // The settings of an index at this client's locations.
  IndexSettings SettingsFor(const std::string& index_name, const std::array<uint8_t, 32>& index_key,
                            std::optional<uint64_t> max_cache_size) const;

  // Declaration order is destruction order reversed: the aggregator share goes first.
  DBConfig index_location_;
  DBConfig config_location_;
  DBConfig items_location_;
  DBConfig data_location_;
  std::string api_key_;
  int32_t cpu_threads_ = 0;
  bool gpu_enabled_ = false;
  std::optional<std::string> working_dir_;
  std::shared_ptr<internal::TelemetryAggregator> telemetry_;
};

}  // namespace ombrix
