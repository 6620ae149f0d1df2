// CacheMissResult: the decrypted items of a set of inverted lists, column by column (row r
// of every member describes one item), with PayloadRows holding their vectors' bytes. The
// storage engine produces it for a query's probed lists; exact ranking reads it. A plain
// value: share it across threads only for reading.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "index_model/matrix.h"

namespace ombrix {

// Rows of `cols` bytes each (an item's vector as float32 bytes). The bytes live in float
// storage so that the rows can be handed over as a float Matrix without a copy and
// without reading bytes through a float lvalue of another object type.
class PayloadRows {
 public:
  PayloadRows() = default;
  // rows x cols zero bytes.
  PayloadRows(uint64_t row_count, uint64_t col_count) : cols_(col_count) { Resize(row_count); }

  uint64_t rows() const { return rows_; }
  uint64_t cols() const { return cols_; }
  uint64_t size() const { return rows_ * cols_; }  // bytes
  bool empty() const { return size() == 0; }

  uint8_t* data() { return reinterpret_cast<uint8_t*>(storage_.data()); }
  const uint8_t* data() const { return reinterpret_cast<const uint8_t*>(storage_.data()); }
  uint8_t* row(uint64_t r) { return data() + r * cols_; }
  const uint8_t* row(uint64_t r) const { return data() + r * cols_; }

  // Keeps the first min(rows, row_count) rows; new rows are zero.
  void Resize(uint64_t row_count) {
    rows_ = row_count;
    storage_.resize((rows_ * cols_ + sizeof(float) - 1) / sizeof(float), 0.0f);
  }

  // Takes the storage over as rows x (cols / 4) floats. Leaves this object empty.
  // Throws std::invalid_argument "Byte vector size is not a multiple of float size."
  // when a row is not a whole number of floats.
  Matrix<float> TakeFloats() {
    if (cols_ % sizeof(float) != 0) {
      throw std::invalid_argument("Byte vector size is not a multiple of float size.");
    }
    Matrix<float> floats;
    floats.rows = rows_;
    floats.cols = cols_ / sizeof(float);
    floats.data = std::move(storage_);
    *this = PayloadRows();
    return floats;
  }

 private:
  uint64_t rows_ = 0;
  uint64_t cols_ = 0;
  std::vector<float> storage_;
};

struct CacheMissResult {
  std::vector<std::string> item_ids;
  // One boundary per list plus one: the rows of list i are token_indices[i] up to, not
  // including, token_indices[i + 1]. While records are being assembled, one list id per row.
  std::vector<uint64_t> token_indices;
  // One row of payload_size bytes per item (the item's float32 vector); 0 x 0 when empty.
  // The query takes the rows over as its float item vectors (TakeFloats).
  PayloadRows payloads;
  std::vector<std::string> metadata;  // metadata JSON text per row, "" when none
};

}  // namespace ombrix
