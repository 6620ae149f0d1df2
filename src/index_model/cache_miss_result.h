// CacheMissResult: the decrypted items of a set of inverted lists, column by column (row r
// of every member describes one item). The storage engine produces it for a query's
// probed lists; exact ranking reads it. A plain value: share it across threads only
// for reading.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "index_model/matrix.h"

namespace ombrix {

struct CacheMissResult {
  std::vector<std::string> item_ids;
  // One boundary per list plus one: the rows of list i are token_indices[i] up to, not
  // including, token_indices[i + 1]. While records are being assembled, one list id per row.
  std::vector<uint64_t> token_indices;
  // One row of payload_size bytes per item (the item's float32 vector); 0 x 0 when empty.
  Matrix<uint8_t> payloads;
  std::vector<std::string> metadata;  // metadata JSON text per row, "" when none
};

}  // namespace ombrix
