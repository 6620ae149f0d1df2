// The 64-bit store keys of items: SHA3-256 of a 32-byte store name followed by the item
// id's bytes, first 8 digest bytes big-endian. With the data store name these are the
// items' hash ids, with the content store name their content keys, with the centroid
// metadata store name the keys of the per-field summaries. Pure; safe on any thread.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace ombrix {

// One key per string, in order.
std::vector<uint64_t> DeriveItemKeys(const std::vector<std::string>& ids,
                                     const std::array<uint8_t, 32>& store_name);

}  // namespace ombrix
