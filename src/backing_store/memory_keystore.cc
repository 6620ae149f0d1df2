#include "backing_store/memory_keystore.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <stdexcept>
#include <string>

#include "diagnostics/logger.h"
#include "index_model/parallel.h"

namespace ombrix_encrypted_index::internal::backing_store {
namespace {

using ombrix::InternalLogger;

// Runs body; any std::exception is logged as "Exception in <op>: <what>" and rethrown
// as std::runtime_error, with that line as text or, when given, prefix + what.
template <typename Body>
auto Guarded(const char* op, Body&& body, const char* prefix = nullptr) -> decltype(body()) {
  try {
    return body();
  } catch (const std::exception& e) {
    const std::string line = std::string("Exception in ") + op + ": " + e.what();
    InternalLogger().error(line);
    throw std::runtime_error(prefix == nullptr ? line : prefix + std::string(e.what()));
  }
}

std::vector<uint8_t> EncodeVersion(uint64_t version) {
  std::vector<uint8_t> bytes(8);
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(version >> (8 * i));
  return bytes;
}

// A version value counts only when it is exactly 8 bytes long.
bool DecodeVersion(const std::vector<uint8_t>& bytes, uint64_t* version) {
  if (bytes.size() != 8) return false;
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | bytes[i];
  *version = v;
  return true;
}

// Shared by both batch pushes; logs at ERROR before throwing.
void CheckBatchCounts(size_t n_keys, uint64_t n_values) {
  if (n_keys == 0) {
    InternalLogger().error("No keys provided for batch insertion");
    throw std::invalid_argument("No keys provided for batch insertion");
  }
  if (n_values != n_keys) {
    InternalLogger().error("Mismatch between number of keys (" + std::to_string(n_keys) +
                           ") and batch size (" + std::to_string(n_values) + ")");
    throw std::invalid_argument("Mismatch between number of keys and batch size");
  }
}

// Keys each member of a team should have before one is woken (waking a team costs
// several microseconds): a lookup that misses the cache costs a fraction of a
// microsecond, and a variable value also its allocation and copy.
constexpr uint64_t kFixedKeysPerMember = 1024;
constexpr uint64_t kVariableKeysPerMember = 256;

}  // namespace

MemoryKeystore::Entry* MemoryKeystore::FindEntry() {
  auto it = index_data_.find(hashed_index_name_);
  return it == index_data_.end() ? nullptr : &it->second;
}

void MemoryKeystore::BatchPushItems(const std::vector<uint64_t>& keys, const Matrix<uint8_t>& values) {
  InternalLogger().info("Pushing " + std::to_string(keys.size()) + " items to Memory");
  CheckBatchCounts(keys.size(), values.rows);
  // Measured on the buffer itself, so a Matrix whose data disagrees with rows x cols
  // is refused instead of read past its end.
  const uint64_t expected = keys.size() * value_size_;
  if (values.cols != value_size_ || values.data.size() != expected) {
    InternalLogger().error("Amount of data (" + std::to_string(values.data.size()) +
                           ") must be divisible by the size of each value (" + std::to_string(expected) +
                           ")");
    throw std::invalid_argument("Amount of data must be divisible by the size of each value");
  }
  Entry& entry = index_data_[hashed_index_name_];
  for (size_t i = 0; i < keys.size(); ++i) {
    const uint8_t* row = values.row(i);
    entry[keys[i]].assign(row, row + values.cols);
  }
  InternalLogger().info("Items successfully pushed to Memory");
}

void MemoryKeystore::BatchPushVariable(const std::vector<uint64_t>& keys,
                                       const std::vector<std::vector<uint8_t>>& values) {
  InternalLogger().info("Pushing " + std::to_string(keys.size()) + " items to Memory");
  CheckBatchCounts(keys.size(), values.size());
  Entry& entry = index_data_[hashed_index_name_];
  for (size_t i = 0; i < keys.size(); ++i) {
    if (!values[i].empty()) entry[keys[i]] = values[i];
  }
  InternalLogger().info("Items successfully pushed to Memory");
}

void MemoryKeystore::PushItem(const uint64_t& key, const std::vector<uint8_t>& value) {
  Guarded("PushItem", [&] {
    InternalLogger().info("Pushing item to Memory with key: " + std::to_string(key));
    index_data_[hashed_index_name_][key] = value;
    InternalLogger().info("Item successfully pushed to Memory");
  });
}

bool MemoryKeystore::PushMap(const uint64_t& map_key, const std::vector<uint8_t>& map,
                             const uint64_t& version_key, const uint64_t& expected_version) {
  return Guarded("PushMap", [&] {
    InternalLogger().info("Pushing map. Expected version: " + std::to_string(expected_version));
    uint64_t current = 0;
    if (Entry* entry = FindEntry()) {
      if (auto it = entry->find(version_key); it != entry->end()) DecodeVersion(it->second, &current);
    }
    if (current != expected_version) {
      InternalLogger().warning("Version mismatch: expected " + std::to_string(expected_version) + ", got " +
                               std::to_string(current));
      return false;
    }
    Entry& entry = index_data_[hashed_index_name_];
    entry[map_key] = map;
    entry[version_key] = EncodeVersion(expected_version + 1);
    InternalLogger().info("Map and version successfully pushed to Memory");
    return true;
  });
}

// The map and its version are ordinary values of this store.
bool MemoryKeystore::CompareAndSetValue(const uint64_t& key, const std::vector<uint8_t>& value,
                                        const uint64_t& version_key,
                                        const uint64_t& expected_version) {
  return PushMap(key, value, version_key, expected_version);
}

void MemoryKeystore::BatchDeleteItems(const std::vector<uint64_t>& keys) {
  Guarded("BatchDeleteItems", [&] {
    InternalLogger().info("Deleting " + std::to_string(keys.size()) + " items from Memory");
    if (keys.empty()) {
      InternalLogger().warning("No keys provided for batch deletion");
      return;
    }
    Entry* entry = FindEntry();
    if (entry == nullptr) {
      InternalLogger().warning("Index name for hashed_index_name_ does not exist.");
    } else {
      for (uint64_t key : keys) entry->erase(key);
      if (entry->empty()) index_data_.erase(hashed_index_name_);
    }
    InternalLogger().info("Items successfully deleted from Memory");
  });
}

void MemoryKeystore::DeleteItem(const uint64_t& key) {
  Guarded("DeleteItem", [&] {
    InternalLogger().info("Deleting item from Memory with key: " + std::to_string(key));
    Entry* entry = FindEntry();
    if (entry == nullptr) {
      InternalLogger().warning("Index name not found during DeleteItem");
      return;
    }
    entry->erase(key);
    InternalLogger().info("Item successfully deleted from Memory");
  });
}

std::vector<uint8_t> MemoryKeystore::GetItem(const uint64_t& key) {
  return Guarded(
      "GetItem",
      [&]() -> std::vector<uint8_t> {
        InternalLogger().info("Getting item from Memory");
        Entry* entry = FindEntry();
        if (entry == nullptr) {
          InternalLogger().warning("Index name not found in MemoryKeystore");
          return {};
        }
        auto it = entry->find(key);
        if (it == entry->end()) {
          InternalLogger().warning("Key not found in MemoryKeystore for index");
          return {};
        }
        InternalLogger().info("Item found in Memory");
        return it->second;
      },
      "Failed to retrieve item from MemoryKeystore: ");
}

MapAndVersion MemoryKeystore::GetMap(const uint64_t& map_key, const uint64_t& version_key) {
  return Guarded(
      "GetMap",
      [&] {
        InternalLogger().info("Getting map and version from Memory");
        MapAndVersion result;
        Entry* entry = FindEntry();
        if (entry == nullptr) {
          InternalLogger().warning("Index name not found in MemoryKeystore");
          return result;
        }
        if (auto it = entry->find(map_key); it != entry->end()) {
          result.map_data = it->second;
        } else {
          InternalLogger().warning("Map key not found in MemoryKeystore for index");
        }
        if (auto it = entry->find(version_key); it == entry->end()) {
          InternalLogger().warning("Version key not found in MemoryKeystore for index");
        } else if (!DecodeVersion(it->second, &result.version)) {
          InternalLogger().warning("Version data has incorrect size");
        }
        InternalLogger().info("Map and version retrieved from Memory");
        return result;
      },
      "Failed to retrieve map from MemoryKeystore: ");
}

Matrix<uint8_t> MemoryKeystore::BatchGetItems(const std::vector<uint64_t>& keys) {
  return Guarded("BatchGetItems", [&] {
    InternalLogger().info("Getting " + std::to_string(keys.size()) + " items from Memory");
    if (keys.empty()) {
      InternalLogger().warning("No keys provided for batch retrieval");
      return Matrix<uint8_t>();
    }
    Matrix<uint8_t> result(keys.size(), value_size_, 0);
    Entry* entry = FindEntry();
    if (entry == nullptr) {
      InternalLogger().warning("Index not found in MemoryKeystore. Returning default values.");
      return result;
    }
    // The maps are only read meanwhile: the operation lock of the index keeps every writer
    // out. Each share stops at its first value of the wrong size; the lowest of those is
    // reported here, as a serial read would have reported it.
    constexpr uint64_t kNone = std::numeric_limits<uint64_t>::max();
    std::atomic<uint64_t> wrong_size{kNone};
    const Entry& values = *entry;
    const int team = ombrix::TeamForWork(keys.size(), kFixedKeysPerMember);
    ombrix::ParallelStatic(keys.size(), team, [&](uint64_t first, uint64_t count) {
      for (uint64_t i = first; i < first + count; ++i) {
        auto it = values.find(keys[i]);
        if (it == values.end()) continue;
        if (it->second.size() != value_size_) {
          uint64_t lowest = wrong_size.load();
          while (i < lowest && !wrong_size.compare_exchange_weak(lowest, i)) {
          }
          return;
        }
        std::copy(it->second.begin(), it->second.end(), result.row(i));
      }
    });
    if (const uint64_t i = wrong_size.load(); i != kNone) {
      const std::string message = "Key " + std::to_string(keys[i]) + " has unexpected value size: " +
                                  std::to_string(entry->at(keys[i]).size()) + " (expected " +
                                  std::to_string(value_size_) + ")";
      InternalLogger().error(message);
      throw std::runtime_error(message);
    }
    InternalLogger().info("Items successfully retrieved from Memory");
    return result;
  });
}

std::vector<std::vector<uint8_t>> MemoryKeystore::BatchGetVariable(const std::vector<uint64_t>& keys) {
  return Guarded("BatchGetVariable", [&] {
    InternalLogger().info("Getting " + std::to_string(keys.size()) + " items from Memory");
    std::vector<std::vector<uint8_t>> result;
    if (keys.empty()) {
      InternalLogger().warning("No keys provided for batch retrieval");
      return result;
    }
    result.resize(keys.size());
    Entry* entry = FindEntry();
    if (entry == nullptr) {
      InternalLogger().warning("Index not found in MemoryKeystore. Returning default empty vectors.");
      return result;
    }
    // Every lookup first, then the copies, each record's bytes asked for a few copies
    // ahead: the lookups and reads overlap instead of waiting one after another.
    // Large batches are split into shares read on several threads.
    std::vector<const std::vector<uint8_t>*> found(keys.size(), nullptr);
    const Entry& values = *entry;
    const int team = ombrix::TeamForWork(keys.size(), kVariableKeysPerMember);
    ombrix::ParallelStatic(keys.size(), team, [&](uint64_t first, uint64_t count) {
      const uint64_t end = first + count;
      for (uint64_t i = first; i < end; ++i) {
        if (auto it = values.find(keys[i]); it != values.end()) found[i] = &it->second;
      }
      constexpr uint64_t kAhead = 8;
      for (uint64_t i = first; i < end; ++i) {
        if (i + kAhead < end && found[i + kAhead] != nullptr) {
          const std::vector<uint8_t>& next = *found[i + kAhead];
          for (size_t at = 0; at < next.size(); at += 64) __builtin_prefetch(next.data() + at);
        }
        if (found[i] != nullptr) result[i] = *found[i];
      }
    });
    InternalLogger().info("Items successfully retrieved from Memory");
    return result;
  });
}

// Memory locations never outlive their engine object, so a config record could never be
// loaded back: the blob is dropped and an existing index is never reported.
void MemoryKeystore::PushConfigItem(const std::string&, const std::vector<uint8_t>&) {}

std::vector<uint8_t> MemoryKeystore::LoadConfigItem(const std::string&) {
  throw std::runtime_error("MemoryKeystore does not support PushConfigItem and LoadConfigItem yet");
}

bool MemoryKeystore::ConfigItemExists(const std::string&) { return false; }

void MemoryKeystore::DeleteIndex() {
  Guarded("DeleteIndex", [&] {
    InternalLogger().info("Deleting index from Memory");
    if (index_data_.erase(hashed_index_name_) == 0) {
      InternalLogger().warning("Cannot delete index. Index does not exist.");
      return;
    }
    InternalLogger().info("Index successfully deleted from Memory");
  });
}

uint64_t MemoryKeystore::GetNumItems() { return index_data_[hashed_index_name_].size(); }

std::vector<uint64_t> MemoryKeystore::GetAllKeys() {
  std::vector<uint64_t> keys;
  if (Entry* entry = FindEntry()) {
    keys.reserve(entry->size());
    for (const auto& [key, value] : *entry) keys.push_back(key);
  }
  return keys;
}

}  // namespace ombrix_encrypted_index::internal::backing_store
