// Adding items: positions from the counter map, then per chunk labels, sealed contents,
// sealed records and the removal of old contents that the new items do not replace.
#include <algorithm>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <vector>

#include "encrypted_store/batch_checks.h"
#include "encrypted_store/encrypted_index_core.h"
#include "encrypted_store/item_keys.h"
#include "encrypted_store/item_record.h"
#include "encrypted_store/sealing.h"

namespace ombrix {

using ombrix_encrypted_index::internal::backing_store::CarriedValues;

namespace {

const char kNoCudaMessage[] =
    "CUDA support is required, but the library was built without CUDA. Please build and run "
    "the program with CUDA support (e.g., ./build.sh -cuda).";

std::vector<uint8_t> LittleEndian8(uint64_t value) {
  std::vector<uint8_t> bytes(8);
  for (int b = 0; b < 8; ++b) bytes[b] = static_cast<uint8_t>(value >> (8 * b));
  return bytes;
}

template <typename T>
std::vector<T> Slice(const std::vector<T>& values, uint64_t start, uint64_t end) {
  return std::vector<T>(values.begin() + start, values.begin() + end);
}

}  // namespace

void EncryptedIndexCore::ValidateBatchSizes(const ItemBatch& batch) const {
  ombrix::ValidateBatchSizes(batch, payload_size);
}

void EncryptedIndexCore::AddItems(ItemBatch& batch) {
  const uint64_t n = batch.item_ids.size();
  log().info("Adding " + std::to_string(n) + " Items");
  RegenerateSaltsAndSeeds();
  if (gpu_accelerated) throw std::runtime_error(kNoCudaMessage);
  // An invalid batch must leave every store and counter as it was.
  CheckBatchBeforeWrite(batch, payload_size, vocab_size);

  const std::vector<uint64_t> data_keys = DeriveItemKeys(batch.item_ids, data_store_name);
  const std::vector<uint64_t> content_keys = DeriveItemKeys(batch.item_ids, content_store_name);
  const auto make_tokens = [&](const std::vector<uint32_t>& positions) {
    return GenerateItemTokens(batch.input_tokens, data_keys, salts_and_seeds,
                              static_cast<uint32_t>(tree_depth), positions);
  };

  // An id given twice keeps what its last occurrence says, contents as well as record.
  std::vector<uint8_t> superseded(n, 0);
  {
    std::unordered_set<uint64_t> later;
    for (uint64_t i = n; i-- > 0;) superseded[i] = !later.insert(content_keys[i]).second;
  }

  if (batch.payloads.rows * batch.payloads.cols == 0) {
    log().warning("No token payload provided, using empty payload");
    batch.payloads = Matrix<uint8_t>(n, 0, 0);
  }

  // Where the store pushes the counter map and the first chunk's entries in one step, the
  // existing records are read first, so that no entry is written before that read
  // succeeded. Elsewhere the positions are taken first: the map's compare-and-set then
  // spans no other round trip, and concurrent writers are refused less often.
  const bool map_with_entries = index_store->PushesMapAndValuesAtOnce();
  ItemTokens tokens;
  if (!map_with_entries) {
    tokens = make_tokens(UpdateCounterMap(batch.input_tokens));
  }

  // Ids already stored: their new values replace the old ones under the same keys, so
  // nothing is deleted before the writes.
  std::vector<uint8_t> replaced(n, 0);
  if (n > 0) {
    const std::vector<std::vector<uint8_t>> existing = data_store->BatchGetVariable(data_keys);
    std::unordered_set<std::string> replaced_ids;
    for (uint64_t i = 0; i < n && i < existing.size(); ++i) {
      if (existing[i].empty()) continue;
      replaced[i] = 1;
      replaced_ids.insert(batch.item_ids[i]);
    }
    // A cached list holding a replaced item would keep serving its old version.
    item_cache.RemoveListsHolding(replaced_ids);
  }

  // A chunk's sealed records and contents, and the ids re-added without contents whose old
  // contents go. Empty contents are not stored: an id without contents has no value in
  // the items store.
  struct ChunkWrites {
    std::vector<uint64_t> record_keys;
    std::vector<EncryptedBlob> records;
    std::vector<uint64_t> filled_keys;
    std::vector<EncryptedBlob> filled;
    std::vector<uint64_t> emptied_keys;
  };
  const auto seal_chunk = [&](uint64_t start, uint64_t end) {
    ChunkWrites chunk;
    std::vector<std::vector<uint8_t>> records;
    records.reserve(end - start);
    for (uint64_t i = start; i < end; ++i) {
      records.push_back(EncodeItemRecord(batch.item_ids[i], batch.input_tokens[i],
                                         batch.payloads.row(i), batch.payloads.cols,
                                         batch.metadata[i]));
    }
    chunk.records = EncryptItems(records, data_store_name);
    chunk.record_keys = Slice(data_keys, start, end);
    std::vector<std::vector<uint8_t>> filled;
    for (uint64_t i = start; i < end; ++i) {
      if (superseded[i]) continue;
      if (!batch.contents.empty() && !batch.contents[i].empty()) {
        chunk.filled_keys.push_back(content_keys[i]);
        filled.push_back(batch.contents[i]);
      } else if (replaced[i]) {
        chunk.emptied_keys.push_back(content_keys[i]);
      }
    }
    if (!filled.empty()) chunk.filled = EncryptItems(filled, content_store_name);
    return chunk;
  };

  // Where the index store's push can carry the data and items stores' writes too (they
  // live on its server, fenced by its hold), the first chunk's contents and records go
  // with the map and the entries: an upsert of one chunk sends one fenced script instead
  // of three, and all of that chunk is written, or none of it.
  const auto masked_ids_of = [&](uint64_t start, uint64_t end) {
    std::vector<std::vector<uint8_t>> masked_ids;
    masked_ids.reserve(end - start);
    for (uint64_t i = start; i < end; ++i) masked_ids.push_back(LittleEndian8(tokens.encrypted_hash_ids[i]));
    return masked_ids;
  };
  const uint64_t first_end = std::min<uint64_t>(kWriteChunkSize, n);
  const bool carry_first = map_with_entries && n > 0 && index_store->CarriesWritesOf(*data_store) &&
                           index_store->CarriesWritesOf(*items_store);
  ChunkWrites first;
  if (map_with_entries) {
    std::vector<CarriedValues> carried;
    if (carry_first) {
      KeepHold();
      first = seal_chunk(0, first_end);
      carried = {{items_store.get(), &first.filled_keys, &first.filled},
                 {data_store.get(), &first.record_keys, &first.records}};
    }
    // The positions and the first chunk's entries in one step: the entries are made again
    // for the positions of every attempt of the map's update.
    UpdateCounterMap(
        batch.input_tokens,
        [&](const std::vector<uint32_t>& taken) {
          tokens = make_tokens(taken);
          return std::pair(Slice(tokens.labels, 0, first_end), masked_ids_of(0, first_end));
        },
        carried);
  }
  if (item_cache.enabled()) {
    for (uint32_t list : batch.input_tokens) item_cache.Remove(list);
  }

  // Per chunk: labels, contents, records, then the old contents of ids re-added without
  // any. A write that fails leaves each id of its chunk with its old record and old
  // contents, except between the contents and the records (new contents beside the old
  // record) and at the last step (the new record beside contents it no longer has). Where
  // the stores share the index store's session, labels, contents and records land together.
  for (uint64_t start = 0; start < n; start += kWriteChunkSize) {
    const uint64_t end = std::min(start + kWriteChunkSize, n);
    ChunkWrites chunk;
    if (start == 0 && carry_first) {
      chunk = std::move(first);
    } else {
      KeepHold();  // a long upsert renews its hold on the way
      chunk = seal_chunk(start, end);
      const std::vector<CarriedValues> after_entries = {{items_store.get(), &chunk.filled_keys, &chunk.filled},
                                                        {data_store.get(), &chunk.record_keys, &chunk.records}};
      if (start > 0 || !map_with_entries) {
        // Where the stores share the index store's session, the chunk is one transaction.
        index_store->BatchPushVariableCarrying(Slice(tokens.labels, start, end), masked_ids_of(start, end),
                                               after_entries);
      } else {
        for (const CarriedValues& values : after_entries) {
          if (!values.keys->empty()) values.store->BatchPushVariable(*values.keys, *values.values);
        }
      }
    }
    if (!chunk.emptied_keys.empty()) items_store->BatchDeleteItems(chunk.emptied_keys);
  }
}

std::vector<std::vector<uint8_t>> EncryptedIndexCore::GetCentroidMetadata(
    const std::vector<std::string>& paths) {
  const std::vector<uint64_t> keys = DeriveItemKeys(paths, centroid_metadata_store_name);
  return DecryptItems(index_store->BatchGetVariable(keys), centroid_metadata_store_name);
}

void EncryptedIndexCore::ClearItemCache() { item_cache.Clear(); }

}  // namespace ombrix
