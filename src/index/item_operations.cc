// Items by id: get, list, delete and count.
#include <algorithm>
#include <cstring>
#include <numeric>
#include <stdexcept>

#include "diagnostics/error_wrapper.h"
#include "index/encrypted_index.h"
#include "index/operation_rules.h"

namespace ombrix {

namespace {

// No codes at all ask for every field; codes that name no field still count as asking.
ItemFields FieldsOf(const std::vector<uint32_t>& include) {
  if (include.empty()) return ItemFields{};
  ItemFields fields{false, false, false};
  for (uint32_t code : include) {
    if (code == kGetVector) fields.vector = true;
    if (code == kGetMetadata) fields.metadata = true;
    if (code == kGetContents) fields.contents = true;
  }
  return fields;
}

std::vector<float> BytesToFloats(const std::vector<uint8_t>& bytes) {
  Logger& log = ActiveLogger();
  log.info("convertBytesToFloats");
  if (bytes.size() % sizeof(float) != 0) {
    log.error("Byte vector size is not a multiple of float size.");
    throw std::invalid_argument("Byte vector size is not a multiple of float size.");
  }
  std::vector<float> floats(bytes.size() / sizeof(float));
  if (!bytes.empty()) std::memcpy(floats.data(), bytes.data(), bytes.size());
  return floats;
}

uint64_t CounterTotal(const std::vector<uint32_t>& counter_map) {
  return std::accumulate(counter_map.begin(), counter_map.end(), uint64_t{0});
}

}  // namespace

std::vector<Item> EncryptedIndex::Get(const std::vector<std::string>& ids,
                                      const std::vector<uint32_t>& include) {
  OperationLock lock(*this);
  log().info("Get " + std::to_string(ids.size()));
  if (!core) RefuseNotConnected<std::runtime_error>(kCritical);
  std::vector<DecodedItem> found = core->GetItemsAfterLook(ids, FieldsOf(include));
  std::vector<Item> items;
  items.reserve(found.size());
  for (DecodedItem& decoded : found) {
    Item item;
    item.id = std::move(decoded.id);
    item.vector = BytesToFloats(decoded.payload);
    item.contents = std::move(decoded.contents);
    item.metadata = std::move(decoded.metadata);
    items.push_back(std::move(item));
  }
  if (telemetry) telemetry->RecordEvent(internal::kGet, TelemetryCount(ids.size()));
  return items;
}

std::vector<std::string> EncryptedIndex::ListIDs() {
  return internal::ExecuteWithErrorHandling("ListIDs", telemetry.get(), [&] {
    OperationLock lock(*this);
    log().info("Listing all item IDs");
    if (!core) RefuseNotConnected<std::runtime_error>(kCritical);
    core->CheckIndexForItemCall(/*load_map=*/true);
    if (CounterTotal(core->counter_map) == 0) {
      log().info("No items in index, returning empty list");
      return std::vector<std::string>();
    }
    std::vector<std::string> ids = core->ListItemIds();
    log().info("Retrieved " + std::to_string(ids.size()) + " embeddings");
    if (telemetry) telemetry->RecordEvent(internal::kGet, TelemetryCount(ids.size()));
    return ids;
  });
}

void EncryptedIndex::Delete(const std::vector<std::string>& ids) {
  internal::ExecuteWithErrorHandling("Delete", telemetry.get(), [&] {
    OperationLock lock(*this);
    log().info("Deleting item");
    if (!core) RefuseNotConnected<std::runtime_error>(kCritical);
    // Refused before any store call: nothing is removed from an index another handle
    // deleted, made again or left half deleted.
    core->CheckIndexForItemCall(/*load_map=*/false);
    if (ids.empty()) return;
    core->DeleteItems(ids);
    if (telemetry) telemetry->RecordEvent(internal::kDelete, TelemetryCount(ids.size()));
  });
}

uint64_t EncryptedIndex::GetNumVectors() {
  OperationLock lock(*this);
  log().info("Getting number of vectors");
  if (!core) RefuseNotConnected<std::runtime_error>(kCritical);
  core->CheckIndexForItemCall(/*load_map=*/true);
  return CounterTotal(core->counter_map);
}

}  // namespace ombrix
