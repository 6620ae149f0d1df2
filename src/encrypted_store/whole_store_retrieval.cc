// Reading every record of an index back (listing ids, training).
#include <algorithm>
#include <string>
#include <vector>

#include "encrypted_store/encrypted_index_core.h"
#include "encrypted_store/item_record.h"
#include "encrypted_store/sealing.h"

namespace ombrix {

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
  CacheMissResult rows =
      AssembleResults(DecryptItems(data_store->BatchGetVariable(keys), data_store_name), 0);

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
