// The counter map of EncryptedIndexCore: load, push, the versioned update with bounded
// retries, and vocabulary resizing.
#include <atomic>
#include <cctype>
#include <chrono>
#include <limits>
#include <stdexcept>
#include <thread>
#include <utility>

#include "backing_store/server_errors.h"
#include "encrypted_store/encrypted_index_core.h"
#include "encrypted_store/random_pause.h"
#include "encrypted_store/sealing.h"

namespace ombrix {

namespace {

constexpr int kMaxAttempts = 100;

std::atomic<internal::RetryPauseFn> retry_pause{nullptr};

// 30 to 70 ms; sleep_for resumes after a signal with the time that remains.
uint32_t PauseBeforeRetry() {
  const uint32_t ms = static_cast<uint32_t>(RandomPauseBelow(41) + 30);
  internal::RetryPauseFn pause = retry_pause.load(std::memory_order_relaxed);
  if (pause != nullptr) {
    pause(ms);
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
  return ms;
}

}  // namespace

namespace internal {
void SetRetryPauseForTesting(RetryPauseFn pause) { retry_pause.store(pause); }
}  // namespace internal

void EncryptedIndexCore::LoadCounterMap() {
  if (!TryLoadCounterMap()) HandleMissingCounterMap();
}

void EncryptedIndexCore::HandleMissingCounterMap() {
  RefuseIfDeleted();
  // No map and no item: an index whose creator stores its map with the first update.
  if (data_store->GetNumItems() == 0) {
    log().warning("No map data found in the backing store. Creating a new map.");
    counter_map.assign(vocab_size, 0);
    counter_map_version = 0;
    return;
  }
  // Taking the absence for a new, empty map would restart every list at position 0 and
  // overwrite the entries of stored items.
  const std::string message = "The counter map of index '" + index_name +
                              "' is missing from its index store; train the index to "
                              "rebuild its entries";
  log().error(message);
  throw MissingCounterMapError(message);
}

bool EncryptedIndexCore::TryLoadCounterMap() {
  return AdoptCounterMap(index_store->GetMap(kCounterMapKey, kCounterMapVersionKey));
}

bool EncryptedIndexCore::AdoptCounterMap(
    ombrix_encrypted_index::internal::backing_store::MapAndVersion stored) {
  if (stored.map_data.empty()) return false;
  // Sealed bytes are authenticated: the very bytes opened before open to the same map.
  // Every query loads the map, and most find it unchanged.
  if (stored.map_data == opened_counter_map_bytes) {
    counter_map = opened_counter_map;
    counter_map_version = stored.version;
    log().info("Current counter_map version: " + std::to_string(counter_map_version));
    return true;
  }
  const std::size_t width = stored.map_data.size();
  const Matrix<uint8_t> plain =
      DecryptRows(Matrix<uint8_t>(std::vector<uint8_t>(stored.map_data), width), index_key);
  const std::size_t lists = plain.data.size() / 4;
  counter_map.assign(lists, 0);
  for (std::size_t i = 0; i < lists; ++i) {
    const uint8_t* p = plain.data.data() + 4 * i;
    counter_map[i] = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                     static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
  }
  counter_map_version = stored.version;
  opened_counter_map_bytes = std::move(stored.map_data);
  opened_counter_map = counter_map;
  log().info("Current counter_map version: " + std::to_string(counter_map_version));
  return true;
}

bool EncryptedIndexCore::PushCounterMap() { return PushCounterMapWith({}, {}); }

bool EncryptedIndexCore::PushCounterMapWith(
    const std::vector<uint64_t>& keys, const std::vector<std::vector<uint8_t>>& values,
    const std::vector<ombrix_encrypted_index::internal::backing_store::CarriedValues>& carried) {
  std::vector<uint8_t> bytes(counter_map.size() * 4);
  for (std::size_t i = 0; i < counter_map.size(); ++i) {
    for (int b = 0; b < 4; ++b) bytes[4 * i + b] = static_cast<uint8_t>(counter_map[i] >> (8 * b));
  }
  const std::size_t width = bytes.size();
  const Matrix<uint8_t> sealed = EncryptRows(Matrix<uint8_t>(std::move(bytes), width), index_key);
  if (keys.empty()) {
    return index_store->PushMap(kCounterMapKey, sealed.data, kCounterMapVersionKey, counter_map_version);
  }
  return index_store->PushMapAndValues(kCounterMapKey, sealed.data, kCounterMapVersionKey,
                                       counter_map_version, keys, values, carried);
}

std::vector<uint32_t> EncryptedIndexCore::UpdateCounterMap(const std::vector<uint32_t>& input_tokens) {
  return UpdateCounterMap(input_tokens, EntriesForPositions());
}

std::vector<uint32_t> EncryptedIndexCore::UpdateCounterMap(
    const std::vector<uint32_t>& input_tokens, const EntriesForPositions& entries,
    const std::vector<ombrix_encrypted_index::internal::backing_store::CarriedValues>& carried) {
  for (uint32_t list : input_tokens) {
    if (list >= vocab_size) {
      const std::string message = "List id " + std::to_string(list) +
                                  " is out of range for a vocabulary of " +
                                  std::to_string(vocab_size) + " lists";
      log().error(message);
      throw std::invalid_argument(message);
    }
  }

  int attempts = 0;
  constexpr char kRefused[] = "the push was refused: another writer changed the map first";
  std::string last_failure;
  // The map this operation read moments ago is tried first: a stale one costs a refusal.
  bool fresh = std::exchange(counter_map_fresh, false);
  while (attempts < kMaxAttempts) {
    log().info("Updating Map. Num retries: " + std::to_string(attempts));
    std::vector<uint32_t> positions;
    bool accepted = false;
    int64_t overflowing_list = -1;
    try {
      if (!std::exchange(fresh, false)) LoadCounterMap();
      // A stored map shorter than the vocabulary holds 0 for the lists beyond it.
      if (counter_map.size() < vocab_size) counter_map.resize(vocab_size, 0);
      std::vector<uint64_t> wanted(counter_map.size(), 0);
      for (uint32_t list : input_tokens) ++wanted[list];
      for (std::size_t list = 0; list < wanted.size() && overflowing_list < 0; ++list) {
        if (counter_map[list] + wanted[list] > std::numeric_limits<uint32_t>::max()) {
          overflowing_list = static_cast<int64_t>(list);
        }
      }
      if (overflowing_list < 0) {
        positions.reserve(input_tokens.size());
        for (uint32_t list : input_tokens) positions.push_back(counter_map[list]++);
        if (entries) {
          const auto [keys, values] = entries(positions);
          accepted = PushCounterMapWith(keys, values, carried);
        } else {
          accepted = PushCounterMap();
        }
      }
    } catch (const ombrix_encrypted_index::internal::backing_store::ServerUnreachable&) {
      throw;  // its time limits are spent already; 99 more attempts would only wait longer
    } catch (const MissingCounterMapError&) {
      throw;
    } catch (const ombrix_encrypted_index::internal::backing_store::ValuesNotStoredError&) {
      throw;  // the positions are taken: the caller's write failed, as any write may
    } catch (const IndexDeletedError&) {
      throw;
    } catch (const std::exception& e) {
      last_failure = e.what();
      const uint32_t ms = PauseBeforeRetry();
      log().warning(std::string("Map update failed: ") + e.what() + ". Retrying after " +
                    std::to_string(ms) + "ms...");
      ++attempts;
      continue;
    }
    if (overflowing_list >= 0) {
      // Wrapping would hand out positions that are already taken.
      const std::string message = "Counter of list " + std::to_string(overflowing_list) +
                                  " cannot hold " + std::to_string(input_tokens.size()) +
                                  " more items";
      log().error(message);
      throw std::overflow_error(message);
    }
    if (accepted) {
      log().info("Map update succeeded.");
      return positions;
    }
    ++attempts;
    last_failure = kRefused;
    PauseBeforeRetry();
    log().warning("Map update failed. Retrying...");
  }
  // Its only caller takes the positions before it writes any item, and a push stores the
  // map and whatever it carries together or not at all: the items can simply be sent again.
  while (!last_failure.empty() && (std::isspace(static_cast<unsigned char>(last_failure.back())) != 0 ||
                                   last_failure.back() == '.')) {
    last_failure.pop_back();
  }
  throw std::runtime_error("Failed to update map in " + std::to_string(attempts) +
                           " retries. Last failure: " + last_failure + ". Index '" + index_name +
                           "': no item of this upsert was stored; upsert the same items again");
}

void EncryptedIndexCore::ResizeVocabulary(uint64_t new_vocab_size) {
  log().info("Resizing vocabulary from " + std::to_string(vocab_size) + " to " +
             std::to_string(new_vocab_size));
  vocab_size = new_vocab_size;
  // Nothing is written here, so a missing map is left for the readers to report.
  if (!TryLoadCounterMap()) counter_map.clear();
  if (counter_map.size() == new_vocab_size) {
    log().info("Loaded existing counter map with correct size (" + std::to_string(new_vocab_size) +
               ")");
  } else {
    log().info("Counter map size mismatch (has " + std::to_string(counter_map.size()) +
               ", needs " + std::to_string(new_vocab_size) + "), creating new empty counter map");
    counter_map.assign(new_vocab_size, 0);
  }
  salts_and_seeds.clear();
  RegenerateSaltsAndSeeds();
  log().info("Vocabulary resized and salts/seeds regenerated");
}

}  // namespace ombrix
