#include "backing_store/store_factory.h"

#include <mutex>
#include <stdexcept>
#include <utility>

#include "backing_store/memory_keystore.h"
#include "backing_store/postgres_keystore.h"
#include "backing_store/redis_keystore.h"
#include "diagnostics/logger.h"

namespace ombrix_encrypted_index::internal::backing_store {
namespace {

using ombrix::DBConfig;
using ombrix::InternalLogger;

constexpr char kInvalidLocation[] = "Invalid location for backing store";

std::mutex& OpenerMutex() {
  static std::mutex mutex;
  return mutex;
}

KeystoreOpener& Opener() {
  static KeystoreOpener opener;
  return opener;
}

KeystoreOpener CurrentOpener() {
  std::lock_guard<std::mutex> lock(OpenerMutex());
  return Opener();
}

// The Redis keystore takes its own copy of the config and computes its store id itself.
std::unique_ptr<Keystore> OpenRedis(const DBConfig& config, const std::string& index_name, uint64_t index_id,
                                    int32_t store_kind) {
  return std::make_unique<RedisKeystore>(config, index_name, index_id, store_kind);
}

// The constructor runs the opening steps; a failure closes what it had connected.
std::unique_ptr<Keystore> OpenPostgres(const DBConfig& config, const std::string& index_name, uint64_t index_id,
                                       int32_t store_kind, Keystore* holder) {
  return std::make_unique<PostgresKeystore>(config, index_name, index_id, store_kind,
                                            dynamic_cast<PostgresKeystore*>(holder));
}

}  // namespace

uint64_t StoreId(int32_t location, uint64_t index_id, int32_t store_kind) {
  const uint64_t id = index_id + static_cast<uint64_t>(static_cast<int64_t>(store_kind));
  return location == ombrix::POSTGRES ? id & 0x7FFFFFFFFFFFFFFFull : id;
}

std::unique_ptr<Keystore> CreateBackingStore(const DBConfig& config, const std::string& index_name,
                                             const uint64_t& index_id, const int32_t& store_kind,
                                             Keystore* holder) {
  const int32_t location = config.location;
  if (location != ombrix::REDIS && location != ombrix::MEMORY && location != ombrix::POSTGRES &&
      location != ombrix::NONE) {
    InternalLogger().critical(kInvalidLocation);
    throw std::invalid_argument(kInvalidLocation);
  }
  // A partly built keystore is released (closing its connection) as the exception leaves.
  try {
    switch (location) {
      case ombrix::MEMORY:
        return std::make_unique<MemoryKeystore>(StoreId(location, index_id, store_kind), index_name);
      case ombrix::REDIS:
      case ombrix::POSTGRES:
        if (KeystoreOpener opener = CurrentOpener()) {
          return opener(config, index_name, StoreId(location, index_id, store_kind), store_kind);
        }
        return location == ombrix::REDIS ? OpenRedis(config, index_name, index_id, store_kind)
                                         : OpenPostgres(config, index_name, index_id, store_kind, holder);
      default:
        throw std::invalid_argument(kInvalidLocation);
    }
  } catch (const std::exception& e) {
    InternalLogger().critical(std::string("Failed to create backing store: ") + e.what());
    throw std::runtime_error(e.what());
  }
}

void SetKeystoreOpenerForTesting(KeystoreOpener opener) {
  std::lock_guard<std::mutex> lock(OpenerMutex());
  Opener() = std::move(opener);
}

}  // namespace ombrix_encrypted_index::internal::backing_store
