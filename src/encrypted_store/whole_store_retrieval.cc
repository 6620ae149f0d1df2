// Reading every record of an index back (listing ids, training).
#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "encrypted_store/encrypted_index_core.h"
#include "encrypted_store/item_record.h"
#include "encrypted_store/sealing.h"

namespace ombrix {

namespace {
// Records read per store call: a training that holds the index renews its hold between
// them, since a reading longer than its lease would lose it.
constexpr std::size_t kReadChunk = 100000;
}  // namespace

ItemBatch& EncryptedIndexCore::RetrieveAllEmbeddings() {
  // Callers get a reference, valid until their thread's next call.
  static thread_local ItemBatch batch;
  log().info("Retrieving all embeddings from data backing store");
  const std::vector<uint64_t> keys = data_store->GetAllKeys();
  if (keys.empty()) {
    log().warning("No embeddings found in data backing store");
    batch.input_tokens.clear();
    batch.item_ids.clear();
    batch.payloads.rows = batch.payloads.cols = 0;
    batch.payloads.data.clear();
    batch.contents.clear();
    batch.metadata.clear();
    return batch;
  }
  log().info("Found " + std::to_string(keys.size()) + " embeddings");
  std::vector<std::vector<uint8_t>> sealed;
  if (keys.size() <= kReadChunk) {
    sealed = data_store->BatchGetVariable(keys);
  } else {
    sealed.reserve(keys.size());
    for (std::size_t start = 0; start < keys.size(); start += kReadChunk) {
      KeepHold();
      const std::size_t end = std::min(start + kReadChunk, keys.size());
      std::vector<std::vector<uint8_t>> part =
          data_store->BatchGetVariable(std::vector<uint64_t>(keys.begin() + start, keys.begin() + end));
      std::move(part.begin(), part.end(), std::back_inserter(sealed));
    }
  }
  CacheMissResult rows = AssembleResults(DecryptItems(sealed, data_store_name), 0);
  sealed = {};

  batch.input_tokens.assign(rows.token_indices.begin(), rows.token_indices.end());
  batch.item_ids = std::move(rows.item_ids);
  const uint64_t width = rows.payloads.cols();
  batch.payloads = Matrix<uint8_t>(batch.item_ids.size(), width, 0);
  std::copy_n(rows.payloads.data(), rows.payloads.size(), batch.payloads.data.data());
  batch.contents.clear();
  batch.metadata = std::move(rows.metadata);
  log().info("Retrieved " + std::to_string(batch.item_ids.size()) + " embeddings");
  return batch;
}

}  // namespace ombrix
