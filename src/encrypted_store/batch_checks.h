// The checks a batch of items must pass before it is stored. Every check needs only the
// batch and the index's payload size, so an invalid batch is refused before any counter,
// record or cache entry changes. Errors are logged at ERROR, then thrown as
// std::invalid_argument. Stateless; safe on any thread.
#pragma once

#include <cstdint>

#include "encrypted_store/item_batch.h"

namespace ombrix {

// Items written per chunk of labels and records.
inline constexpr uint64_t kWriteChunkSize = 10000;

// List ids against item ids, then payload rows against item ids (payload_size != 0).
void ValidateBatchSizes(const ItemBatch& batch, uint64_t payload_size);

// Everything adding a batch checks, in the order adding would meet each failure: list-id
// count and range (below vocab_size), payload rows, contents count, the per-chunk slices
// (metadata, list ids, payload rows), payload columns, then id and metadata lengths that
// fit the record's 32-bit fields.
void CheckBatchBeforeWrite(const ItemBatch& batch, uint64_t payload_size, uint64_t vocab_size);

}  // namespace ombrix
