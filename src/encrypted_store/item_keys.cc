#include "encrypted_store/item_keys.h"

#include <cstring>

#include "encrypted_store/sha3.h"
#include "encrypted_store/sha3_many.h"

namespace ombrix {

std::vector<uint64_t> DeriveItemKeys(const std::vector<std::string>& ids,
                                     const std::array<uint8_t, 32>& store_name) {
  // Keys of ids short enough for one block are hashed many at a time (SIMD lanes); the
  // rest one by one. Blocks go in batches that stay in cache.
  constexpr std::size_t kBatch = 256;
  std::vector<uint64_t> keys(ids.size());
  std::vector<uint8_t> message(store_name.begin(), store_name.end());
  std::vector<uint64_t> blocks(kBatch * kSha3RateLanes);
  std::vector<uint64_t> digests(kBatch * 4);
  std::vector<std::size_t> batched;  // index of the id of each block
  batched.reserve(kBatch);
  auto flush = [&] {
    Sha3_256PaddedBlocksMany(blocks.data(), digests.data(), batched.size());
    for (std::size_t k = 0; k < batched.size(); ++k) keys[batched[k]] = Lane0ToU64(digests[4 * k]);
    batched.clear();
  };
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const std::string& id = ids[i];
    message.resize(store_name.size() + id.size());
    if (!id.empty()) std::memcpy(message.data() + store_name.size(), id.data(), id.size());
    if (PadOneBlock(message.data(), message.size(),
                    blocks.data() + kSha3RateLanes * batched.size())) {
      batched.push_back(i);
      if (batched.size() == kBatch) flush();
    } else {
      keys[i] = Sha3_256ToU64(message);
    }
  }
  flush();
  return keys;
}

}  // namespace ombrix
