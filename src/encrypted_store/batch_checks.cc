#include "encrypted_store/batch_checks.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>

#include "diagnostics/logger.h"

namespace ombrix {
namespace {

[[noreturn]] void Refuse(const std::string& line, const std::string& message) {
  InternalLogger().error(line);
  throw std::invalid_argument(message);
}

// How many entries of a vector of `size` fall into [start, end).
uint64_t SliceSize(uint64_t size, uint64_t start, uint64_t end) {
  return std::min(end, size) - std::min(start, size);
}

void CheckChunks(const ItemBatch& batch, uint64_t payload_size) {
  const uint64_t n = batch.item_ids.size();
  // A batch without payload bytes is written as n rows of 0 columns.
  const bool no_payloads = batch.payloads.rows * batch.payloads.cols == 0;
  const uint64_t payload_rows = no_payloads ? n : batch.payloads.rows;
  const uint64_t payload_cols = no_payloads ? 0 : batch.payloads.cols;
  for (uint64_t start = 0; start < n; start += kWriteChunkSize) {
    const uint64_t end = std::min(start + kWriteChunkSize, n);
    const uint64_t rows = end - start;
    const uint64_t ids = SliceSize(n, start, end);
    const uint64_t metadata = SliceSize(batch.metadata.size(), start, end);
    const uint64_t tokens = SliceSize(batch.input_tokens.size(), start, end);
    if (ids != rows || metadata != rows || tokens != rows || end > payload_rows) {
      Refuse("Mismatched sizes for inputs or invalid row range.\nnum_rows: " +
                 std::to_string(rows) + "\nitem_ids.size(): " + std::to_string(ids) +
                 "\nmetadata.size(): " + std::to_string(metadata) +
                 "\ninput_tokens.size(): " + std::to_string(tokens) +
                 "\nstart_row: " + std::to_string(start) +
                 "\npayloads.rows(): " + std::to_string(payload_rows),
             "Mismatched sizes for inputs or invalid row range");
    }
    if (payload_cols != payload_size) {
      Refuse("Payload column size does not match expected payload size.\nPayload columns: " +
                 std::to_string(payload_cols) +
                 "\nExpected payload size: " + std::to_string(payload_size),
             "Payload column size does not match expected payload size");
    }
  }
}

void CheckFieldLengths(const ItemBatch& batch) {
  constexpr uint64_t kMax = std::numeric_limits<uint32_t>::max();
  for (const std::string& id : batch.item_ids) {
    if (id.size() > kMax) {
      Refuse("Item ID is longer than 4294967295 bytes", "Item ID is longer than 4294967295 bytes");
    }
  }
  for (const std::string& text : batch.metadata) {
    if (text.size() > kMax) {
      Refuse("Metadata is longer than 4294967295 bytes",
             "Metadata is longer than 4294967295 bytes");
    }
  }
}

}  // namespace

void ValidateBatchSizes(const ItemBatch& batch, uint64_t payload_size) {
  const uint64_t n = batch.item_ids.size();
  if (batch.input_tokens.size() != n) {
    Refuse("Mismatch between size of input tokens (" + std::to_string(batch.input_tokens.size()) +
               ") and item IDs (" + std::to_string(n) + ")",
           "Mismatch between size of input tokens and item IDs");
  }
  if (payload_size != 0 && batch.payloads.rows != n) {
    Refuse("Mismatch between size of payload tokens (" + std::to_string(batch.payloads.rows) +
               ") and item IDs (" + std::to_string(n) + ")",
           "Mismatch between size of payload tokens and item IDs");
  }
}

void CheckBatchBeforeWrite(const ItemBatch& batch, uint64_t payload_size, uint64_t vocab_size) {
  const uint64_t n = batch.item_ids.size();
  if (batch.input_tokens.size() != n) {
    Refuse("The number of centroid Ids does not match the number item Ids.\nCentroid Ids: " +
               std::to_string(batch.input_tokens.size()) + "\nItem Ids: " + std::to_string(n),
           "The number of centroid Ids does not match the number item Ids.");
  }
  for (uint32_t list : batch.input_tokens) {
    if (list >= vocab_size) {
      const std::string message = "List id " + std::to_string(list) +
                                  " is out of range for a vocabulary of " +
                                  std::to_string(vocab_size) + " lists";
      Refuse(message, message);
    }
  }
  ValidateBatchSizes(batch, payload_size);
  if (!batch.contents.empty() && batch.contents.size() != n) {
    Refuse("Mismatch between the number of contents (" + std::to_string(batch.contents.size()) +
               ") and IDs (" + std::to_string(n) + ")",
           "Mismatch between the number of contents and IDs");
  }
  CheckChunks(batch, payload_size);
  CheckFieldLengths(batch);
}

}  // namespace ombrix
