// ItemBatch: the items an index hands to its engine core for storage, and what the core
// returns when it reads a whole store back. All members in one item order. A plain value
// owned by the caller; not synchronised.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "index_model/matrix.h"

namespace ombrix {

struct ItemBatch {
  std::vector<uint32_t> input_tokens;  // the list id of each item
  std::vector<std::string> item_ids;
  Matrix<uint8_t> payloads;  // one row per item: its vector as float32 bytes
  std::vector<std::vector<uint8_t>> contents;  // one per item, or empty
  std::vector<std::string> metadata;           // one JSON text per item (may be empty)
};

}  // namespace ombrix
