// Items by id, the ids of the whole data store, deletion of items and of everything an
// index keeps.
#include <algorithm>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "backing_store/server_errors.h"
#include "encrypted_store/encrypted_index_core.h"
#include "encrypted_store/item_keys.h"
#include "encrypted_store/item_record.h"
#include "encrypted_store/sealing.h"
#include "encrypted_store/training_state.h"

namespace ombrix {

using ombrix_encrypted_index::internal::backing_store::CarriedKeys;
using ombrix_encrypted_index::internal::backing_store::HoldLostError;
using ombrix_encrypted_index::internal::backing_store::MapAndVersion;
using ombrix_encrypted_index::internal::backing_store::ServerTimeLimit;

namespace {

// Keys read and records decrypted at once when the whole data store is listed: enough
// to keep the round trips few, small enough that a listing holds one slice of records.
constexpr size_t kListChunk = 10000;

}  // namespace

EncryptedIndexCore::ItemBlobs EncryptedIndexCore::FetchItemBlobs(const std::vector<std::string>& ids, const ItemFields& fields) {
  ItemBlobs blobs;
  if (fields.contents) {
    blobs.contents = items_store->BatchGetVariable(DeriveItemKeys(ids, content_store_name));
  }
  blobs.records = data_store->BatchGetVariable(DeriveItemKeys(ids, data_store_name));
  return blobs;
}

std::vector<DecodedItem> EncryptedIndexCore::GetItems(const std::vector<std::string>& ids,
                                                      const ItemFields& fields) {
  log().info("Retrieving " + std::to_string(ids.size()) + " items");
  if (ids.empty()) return {};
  return OpenItemBlobs(ids, fields, FetchItemBlobs(ids, fields));
}

std::vector<DecodedItem> EncryptedIndexCore::GetItemsAfterLook(const std::vector<std::string>& ids,
                                                               const ItemFields& fields) {
  if (!shared_index_store || ids.empty()) {
    CheckIndexForItemCall(/*load_map=*/false);
    return GetItems(ids, fields);
  }
  log().info("Retrieving " + std::to_string(ids.size()) + " items");
  // The look's read goes out first and is answered after the fetch: one round trip of
  // the look's own no longer adds to a get. Its answer is read whatever the fetch did, so
  // the index store's connection stays in step, and a refusal it gives wins.
  SendMapAndStateRead();
  ItemBlobs blobs;
  std::exception_ptr fetch_failed;
  try {
    blobs = FetchItemBlobs(ids, fields);
  } catch (...) {
    fetch_failed = std::current_exception();
  }
  std::vector<ombrix_encrypted_index::internal::backing_store::MapAndVersion> read =
      index_store->ReceiveMaps();
  CheckIndexForItemCall(/*load_map=*/false, &read);
  if (fetch_failed) std::rethrow_exception(fetch_failed);
  return OpenItemBlobs(ids, fields, std::move(blobs));
}

std::vector<DecodedItem> EncryptedIndexCore::OpenItemBlobs(const std::vector<std::string>& ids,
                                                           const ItemFields& fields, ItemBlobs blobs) {
  std::vector<std::vector<uint8_t>> contents;
  if (fields.contents) contents = DecryptItems(blobs.contents, content_store_name);
  const std::vector<std::vector<uint8_t>> records = DecryptItems(blobs.records, data_store_name);

  std::vector<DecodedItem> items;
  items.reserve(ids.size());
  for (size_t i = 0; i < records.size() && i < ids.size(); ++i) {
    const std::vector<uint8_t>& record = records[i];
    ItemRecordView view;
    uint64_t width = 0;
    if (record.empty() || !ParseCompleteItemRecord(record, payload_size, &view, &width)) continue;
    // Hash ids are 64 bits: a record of another id under ours is a collision (or a
    // swapped record), never an answer for the id asked for.
    if (view.id != ids[i]) {
      log().error("Dropping an item record that holds another id than the one asked for");
      continue;
    }
    DecodedItem item;
    item.id = ids[i];
    if (fields.vector) {
      const uint8_t* payload = record.data() + view.payload_offset;
      item.payload.assign(payload, payload + width);
    }
    if (fields.metadata) item.metadata = RecordMetadata(record, view, width);
    if (fields.contents && i < contents.size()) item.contents = std::move(contents[i]);
    items.push_back(std::move(item));
  }
  return items;
}

std::vector<std::string> EncryptedIndexCore::ListItemIds() {
  log().info("Retrieving all embeddings from data backing store");
  const std::vector<uint64_t> keys = data_store->GetAllKeys();
  if (keys.empty()) {
    log().warning("No embeddings found in data backing store");
    return {};
  }
  log().info("Found " + std::to_string(keys.size()) + " embeddings");
  std::vector<std::string> ids;
  ids.reserve(keys.size());
  for (size_t begin = 0; begin < keys.size(); begin += kListChunk) {
    const size_t end = std::min(keys.size(), begin + kListChunk);
    const std::vector<uint64_t> chunk(keys.begin() + static_cast<std::ptrdiff_t>(begin),
                                      keys.begin() + static_cast<std::ptrdiff_t>(end));
    std::vector<std::vector<uint8_t>> records =
        DecryptItems(data_store->BatchGetVariable(chunk), data_store_name);
    for (const std::vector<uint8_t>& record : records) {
      ItemRecordView view;
      // Empty: deleted since the keys were read.
      if (!record.empty() && ParseOrReportItemRecord(record, &view)) ids.emplace_back(view.id);
    }
  }
  return ids;
}

void EncryptedIndexCore::DeleteItems(const std::vector<std::string>& ids) {
  if (ids.empty()) return;
  ClearItemCache();
  const std::vector<uint64_t> data_keys = DeriveItemKeys(ids, data_store_name);
  const std::vector<uint64_t> content_keys = DeriveItemKeys(ids, content_store_name);
  const std::vector<CarriedKeys> carried = {{data_store.get(), &data_keys}, {items_store.get(), &content_keys}};
  // A training moves the state on a few times in its whole run; each refusal reads it again.
  constexpr int kAttempts = 5;
  // On one server the delete is one statement, which a time limit stops whole; elsewhere
  // each store's delete says for itself what it did.
  const bool one_statement = std::all_of(carried.begin(), carried.end(), [&](const CarriedKeys& other) {
    return index_store->FencesInOneStep(*other.store);
  });
  // The stores the check's step cannot reach are deleted from after it, here, so that a
  // failure there can say what was deleted already.
  std::vector<CarriedKeys> together;
  std::vector<CarriedKeys> elsewhere;
  for (const CarriedKeys& other : carried) {
    (index_store->FencesInOneStep(*other.store) ? together : elsewhere).push_back(other);
  }
  for (int attempt = 1;; ++attempt) {
    try {
      if (index_store->BatchDeleteCarriedWhileState(kTrainingStateKey, checked_training_state_bytes, together)) {
        DeleteItemsElsewhere(elsewhere, std::any_of(together.begin(), together.end(), [&](const CarriedKeys& other) {
                               return other.store == data_store.get();
                             }));
        return;
      }
    } catch (const ServerTimeLimit& stopped) {
      if (!one_statement) throw;
      const std::string message = "Deleting items of index '" + index_name + "' stopped: " + stopped.what() +
                                  "; another transaction may hold their rows: nothing was deleted, try again";
      log().error(message);
      throw ServerTimeLimit(message);
    }
    if (attempt == kAttempts) {
      const std::string message = "The training state of index '" + index_name +
                                  "' changed at every attempt to delete items; nothing was deleted, try again";
      log().error(message);
      throw std::runtime_error(message);
    }
    // The check throws when the index was deleted or made again meanwhile.
    CheckIndexForItemCall(/*load_map=*/false);
  }
}

void EncryptedIndexCore::DeleteItemsElsewhere(const std::vector<CarriedKeys>& elsewhere, bool records_deleted) {
  for (const CarriedKeys& other : elsewhere) {
    try {
      other.store->BatchDeleteItems(*other.keys);
      records_deleted = records_deleted || other.store == data_store.get();
    } catch (const std::exception& failure) {
      // The store's own text speaks of its own step only.
      if (other.store != items_store.get() || !records_deleted) throw;
      const std::string message = "Deleting items of index '" + index_name +
                                  "' removed their records but not their contents (" + failure.what() +
                                  "): the items are gone from the index; delete the same ids again to remove "
                                  "their contents";
      log().error(message);
      if (dynamic_cast<const ServerTimeLimit*>(&failure) != nullptr) throw ServerTimeLimit(message);
      throw std::runtime_error(message);
    }
  }
}

void EncryptedIndexCore::RequireEmpty(Keystore& store, const char* kind) {
  if (store.GetNumItems() == 0) return;
  // What a deletion that lost its hold finds: the rows of whoever took the index over (an
  // index made again under the name, a writer after a training), not rows it failed to
  // remove.
  if (hold_ && !StillHolds()) {
    EntriesState entries;
    MapAndVersion map;
    ReadMapAndState(entries, map);  // another incarnation: "no longer exists"
    const std::string message = "This process lost its hold on index '" + index_name +
                                "' while deleting it (stopped past its lease), and another process took the index "
                                "over: this deletion removed nothing more; delete the index again";
    log().error(message);
    throw HoldLostError(message);
  }
  const std::string message = std::string("Some items in the ") + kind + " backing store weren't deleted";
  log().error(message);
  throw std::runtime_error(message);
}

void EncryptedIndexCore::DeleteIndexData() {
  log().info("Deleting index " + index_name);
  if (!deletion_records_.read) ReadRecordsForDeletion();
  // The index store goes after the items: until then its training state tells every
  // handle that a deletion runs or stopped half way, and no training files the items still
  // left in the data store back into the index. The configuration record goes before it
  // and the index record last, so what a deletion that stopped after the index store
  // leaves is known by its name (an index record without its configuration) to every
  // process, which can load it and delete it again.
  data_store->DeleteIndex();
  RequireEmpty(*data_store, "data");
  items_store->DeleteIndex();
  RequireEmpty(*items_store, "items");
  counter_map.assign(vocab_size, 0);
  index_value_size = 8;
  if (!config_keeps_records) {
    PutEncryptedConfigItem(index_name + ".oei", SerializeIndexRecord());
    config_store->DeleteConfigItem(index_name + ".ovs");
    index_store->DeleteIndex();
    RequireEmpty(*index_store, "index");
    config_store->DeleteIndex();
    RequireEmpty(*config_store, "config");
    return;
  }
  // The records are replaced and removed only while they hold what this deletion read
  // under its hold: a deletion that resumes after another finished, and the index was
  // made again under the name, leaves the new index's records alone.
  std::vector<uint8_t> reset = Seal(SerializeIndexRecord());
  // Refused when it ran again after its own commit: the record tells.
  if (!config_store->CompareAndSetConfigItem(index_name + ".oei", deletion_records_.index_record, reset) &&
      !HoldsRecord(index_name + ".oei", reset)) {
    ThrowIndexDeleted();
  }
  deletion_records_.index_record = reset;
  if (!deletion_records_.stored_config.empty() &&
      !config_store->DeleteConfigItemIf(index_name + ".ovs", deletion_records_.stored_config) &&
      config_store->ConfigItemExists(index_name + ".ovs")) {
    ThrowIndexDeleted();
  }
  index_store->DeleteIndex();
  RequireEmpty(*index_store, "index");
  bool removed = false;
  try {
    removed = config_store->DeleteConfigItemIf(index_name + ".oei", reset);
  } catch (const std::exception&) {
    // Lost on the way back, perhaps after it was removed: then the deletion is done.
    if (config_store->ConfigItemExists(index_name + ".oei")) throw;
    return;
  }
  if (!removed && !ReadOwnRecord(index_name + ".oei").empty()) RequireEmpty(*config_store, "config");
}

}  // namespace ombrix
