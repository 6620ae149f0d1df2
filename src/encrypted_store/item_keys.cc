#include "encrypted_store/item_keys.h"

#include <cstring>

#include "encrypted_store/sha3.h"

namespace ombrix {

std::vector<uint64_t> DeriveItemKeys(const std::vector<std::string>& ids,
                                     const std::array<uint8_t, 32>& store_name) {
  std::vector<uint64_t> keys;
  keys.reserve(ids.size());
  std::vector<uint8_t> message(store_name.begin(), store_name.end());
  for (const std::string& id : ids) {
    message.resize(store_name.size() + id.size());
    if (!id.empty()) std::memcpy(message.data() + store_name.size(), id.data(), id.size());
    keys.push_back(Sha3_256ToU64(message));
  }
  return keys;
}

}  // namespace ombrix
