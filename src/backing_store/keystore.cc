// What every keystore shares beyond the interface: the two-step form of the counter map's
// push with the entries it hands out.
#include "backing_store/keystore.h"

#include "backing_store/server_errors.h"

namespace ombrix_encrypted_index::internal::backing_store {

bool Keystore::PushMapAndValues(const uint64_t& map_key, const std::vector<uint8_t>& map,
                                const uint64_t& version_key, const uint64_t& expected_version,
                                const std::vector<uint64_t>& keys,
                                const std::vector<std::vector<uint8_t>>& values,
                                const std::vector<CarriedValues>& carried) {
  if (!PushMap(map_key, map, version_key, expected_version)) return false;
  try {
    if (!keys.empty()) BatchPushVariable(keys, values);
    for (const CarriedValues& other : carried) {
      if (!other.keys->empty()) other.store->BatchPushVariable(*other.keys, *other.values);
    }
  } catch (const ServerUnreachable&) {
    throw;
  } catch (const std::exception& failure) {
    // The map moved already: trying the push again would take new positions.
    throw ValuesNotStoredError(failure.what());
  }
  return true;
}

void Keystore::BatchPushVariableCarrying(const std::vector<uint64_t>& keys,
                                         const std::vector<std::vector<uint8_t>>& values,
                                         const std::vector<CarriedValues>& carried) {
  BatchPushVariable(keys, values);
  for (const CarriedValues& other : carried) {
    if (!other.keys->empty()) other.store->BatchPushVariable(*other.keys, *other.values);
  }
}

bool Keystore::BatchDeleteCarriedWhileState(const uint64_t& state_key, const std::vector<uint8_t>& expected_state,
                                            const std::vector<CarriedKeys>& carried) {
  (void)state_key;
  (void)expected_state;
  for (const CarriedKeys& other : carried) {
    if (!other.keys->empty()) other.store->BatchDeleteItems(*other.keys);
  }
  return true;
}

}  // namespace ombrix_encrypted_index::internal::backing_store
