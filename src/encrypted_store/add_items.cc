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
using ombrix_encrypted_index::internal::backing_store::WriteInTurn;

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

namespace {

// One chunk's sealed records and contents, and the ids re-added without contents whose old
// contents go. Empty contents are not stored: an id without contents has no value in the
// items store.
struct ChunkWrites {
  std::vector<uint64_t> record_keys;
  std::vector<EncryptedBlob> records;
  std::vector<uint64_t> filled_keys;
  std::vector<EncryptedBlob> filled;
  std::vector<uint64_t> emptied_keys;
};

// The steps of one AddItems, in the order they reach the stores.
class ItemsAdding {
 public:
  ItemsAdding(EncryptedIndexCore& core, ItemBatch& batch)
      : core_(core),
        batch_(batch),
        n_(batch.item_ids.size()),
        data_keys_(DeriveItemKeys(batch.item_ids, core.data_store_name)),
        content_keys_(DeriveItemKeys(batch.item_ids, core.content_store_name)),
        superseded_(n_, 0),
        replaced_(n_, 0) {
    // An id given twice keeps what its last occurrence says, contents as well as record.
    std::unordered_set<uint64_t> later;
    for (uint64_t i = n_; i-- > 0;) superseded_[i] = !later.insert(content_keys_[i]).second;
  }

  void Run() {
    // Where the store pushes the counter map and the first chunk's entries in one step, the
    // existing records are read first, so that no entry is written before that read
    // succeeded. Elsewhere the positions are taken first: the map's compare-and-set then
    // spans no other round trip, and concurrent writers are refused less often.
    map_with_entries_ = core_.index_store->PushesMapAndValuesAtOnce();
    if (!map_with_entries_) tokens_ = MakeTokens(core_.UpdateCounterMap(batch_.input_tokens));
    FindReplaced();
    if (map_with_entries_) TakePositionsWithFirstEntries();
    if (core_.item_cache.enabled()) {
      for (uint32_t list : batch_.input_tokens) core_.item_cache.Remove(list);
    }
    // Per chunk: labels, contents, records, then the old contents of ids re-added without
    // any. A write that fails leaves each id of its chunk with its old record and old
    // contents, except between the contents and the records (new contents beside the old
    // record) and at the last step (the new record beside contents it no longer has). Where
    // the stores share the index store's session, labels, contents and records land together.
    for (uint64_t start = 0; start < n_; start += kWriteChunkSize) {
      WriteChunk(start, std::min(start + kWriteChunkSize, n_));
    }
  }

 private:
  ItemTokens MakeTokens(const std::vector<uint32_t>& positions) const {
    return GenerateItemTokens(batch_.input_tokens, data_keys_, core_.salts_and_seeds,
                              static_cast<uint32_t>(core_.tree_depth), positions);
  }

  // Ids already stored: their new values replace the old ones under the same keys, so
  // nothing is deleted before the writes.
  void FindReplaced() {
    if (n_ == 0) return;
    const std::vector<std::vector<uint8_t>> existing = core_.data_store->BatchGetVariable(data_keys_);
    std::unordered_set<std::string> replaced_ids;
    for (uint64_t i = 0; i < n_ && i < existing.size(); ++i) {
      if (existing[i].empty()) continue;
      replaced_[i] = 1;
      replaced_ids.insert(batch_.item_ids[i]);
    }
    // A cached list holding a replaced item would keep serving its old version.
    core_.item_cache.RemoveListsHolding(replaced_ids);
  }

  // The positions and the first chunk's entries in one step. Where the index store's push
  // can carry the data and items stores' writes too (they live on its server, fenced by its
  // hold), the first chunk's contents and records go with them: an upsert of one chunk
  // sends one fenced step instead of three, and all of that chunk is written, or none of
  // it. They are sealed before the push, once for every attempt of the map's update; the
  // entries are made again for the positions of each attempt.
  void TakePositionsWithFirstEntries() {
    const uint64_t first_end = std::min<uint64_t>(kWriteChunkSize, n_);
    first_carried_ = n_ > 0 && core_.index_store->CarriesWritesOf(*core_.data_store) &&
                     core_.index_store->CarriesWritesOf(*core_.items_store);
    std::vector<CarriedValues> carried;
    if (first_carried_) {
      core_.KeepHold();
      first_ = SealChunk(0, first_end);
      carried = AfterEntries(first_);
    }
    core_.UpdateCounterMap(
        batch_.input_tokens,
        [&](const std::vector<uint32_t>& taken) {
          tokens_ = MakeTokens(taken);
          return std::pair(Slice(tokens_.labels, 0, first_end), MaskedIds(0, first_end));
        },
        carried);
  }

  void WriteChunk(uint64_t start, uint64_t end) {
    ChunkWrites chunk;
    if (start == 0 && first_carried_) {
      chunk = std::move(first_);  // written with the map
    } else {
      core_.KeepHold();  // a long upsert renews its hold on the way
      chunk = SealChunk(start, end);
      if (start == 0 && map_with_entries_) {
        WriteInTurn(AfterEntries(chunk));  // the entries went with the map
      } else {
        // Where the stores share the index store's session, the chunk is one transaction.
        core_.index_store->BatchPushVariableCarrying(Slice(tokens_.labels, start, end), MaskedIds(start, end),
                                                     AfterEntries(chunk));
      }
    }
    if (!chunk.emptied_keys.empty()) core_.items_store->BatchDeleteItems(chunk.emptied_keys);
  }

  ChunkWrites SealChunk(uint64_t start, uint64_t end) const {
    ChunkWrites chunk;
    std::vector<std::vector<uint8_t>> records;
    records.reserve(end - start);
    for (uint64_t i = start; i < end; ++i) {
      records.push_back(EncodeItemRecord(batch_.item_ids[i], batch_.input_tokens[i], batch_.payloads.row(i),
                                         batch_.payloads.cols, batch_.metadata[i]));
    }
    chunk.records = EncryptItems(records, core_.data_store_name);
    chunk.record_keys = Slice(data_keys_, start, end);
    std::vector<std::vector<uint8_t>> filled;
    for (uint64_t i = start; i < end; ++i) {
      if (superseded_[i]) continue;
      if (!batch_.contents.empty() && !batch_.contents[i].empty()) {
        chunk.filled_keys.push_back(content_keys_[i]);
        filled.push_back(batch_.contents[i]);
      } else if (replaced_[i]) {
        chunk.emptied_keys.push_back(content_keys_[i]);
      }
    }
    if (!filled.empty()) chunk.filled = EncryptItems(filled, core_.content_store_name);
    return chunk;
  }

  // Contents, then records: the order every road writes them in.
  std::vector<CarriedValues> AfterEntries(const ChunkWrites& chunk) const {
    return {{core_.items_store.get(), &chunk.filled_keys, &chunk.filled},
            {core_.data_store.get(), &chunk.record_keys, &chunk.records}};
  }

  std::vector<std::vector<uint8_t>> MaskedIds(uint64_t start, uint64_t end) const {
    std::vector<std::vector<uint8_t>> masked_ids;
    masked_ids.reserve(end - start);
    for (uint64_t i = start; i < end; ++i) masked_ids.push_back(LittleEndian8(tokens_.encrypted_hash_ids[i]));
    return masked_ids;
  }

  EncryptedIndexCore& core_;
  ItemBatch& batch_;
  const uint64_t n_;
  const std::vector<uint64_t> data_keys_;
  const std::vector<uint64_t> content_keys_;
  std::vector<uint8_t> superseded_;
  std::vector<uint8_t> replaced_;
  bool map_with_entries_ = false;
  bool first_carried_ = false;  // the first chunk's contents and records went with the map
  ChunkWrites first_;
  ItemTokens tokens_;
};

}  // namespace

void EncryptedIndexCore::AddItems(ItemBatch& batch) {
  log().info("Adding " + std::to_string(batch.item_ids.size()) + " Items");
  RegenerateSaltsAndSeeds();
  if (gpu_accelerated) throw std::runtime_error(kNoCudaMessage);
  // An invalid batch must leave every store and counter as it was.
  CheckBatchBeforeWrite(batch, payload_size, vocab_size);
  if (batch.payloads.rows * batch.payloads.cols == 0) {
    log().warning("No token payload provided, using empty payload");
    batch.payloads = Matrix<uint8_t>(batch.item_ids.size(), 0, 0);
  }
  ItemsAdding(*this, batch).Run();
}

std::vector<std::vector<uint8_t>> EncryptedIndexCore::GetCentroidMetadata(
    const std::vector<std::string>& paths) {
  const std::vector<uint64_t> keys = DeriveItemKeys(paths, centroid_metadata_store_name);
  return DecryptItems(index_store->BatchGetVariable(keys), centroid_metadata_store_name);
}

void EncryptedIndexCore::ClearItemCache() { item_cache.Clear(); }

}  // namespace ombrix
