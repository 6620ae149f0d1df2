// What every keystore shares beyond the interface: the two-step form of the counter map's
// push with the entries it hands out, the carried stores' writes in turn, and the item
// delete's split between the stores this store fences in one step and the others.
#include "backing_store/keystore.h"

#include "backing_store/server_errors.h"

namespace ombrix_encrypted_index::internal::backing_store {

void WriteInTurn(const std::vector<CarriedValues>& carried) {
  for (const CarriedValues& other : carried) {
    if (!other.keys->empty()) other.store->BatchPushVariable(*other.keys, *other.values);
  }
}

bool Keystore::PushMapAndValues(const uint64_t& map_key, const std::vector<uint8_t>& map,
                                const uint64_t& version_key, const uint64_t& expected_version,
                                const std::vector<uint64_t>& keys,
                                const std::vector<std::vector<uint8_t>>& values,
                                const std::vector<CarriedValues>& carried) {
  if (!PushMap(map_key, map, version_key, expected_version)) return false;
  try {
    if (!keys.empty()) BatchPushVariable(keys, values);
    WriteInTurn(carried);
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
  WriteInTurn(carried);
}

bool Keystore::BatchDeleteCarriedWhileState(const uint64_t& state_key, const std::vector<uint8_t>& expected_state,
                                            const std::vector<CarriedKeys>& carried) {
  std::vector<CarriedKeys> together;
  std::vector<CarriedKeys> elsewhere;
  for (const CarriedKeys& other : carried) {
    if (other.keys->empty()) continue;
    (FencesInOneStep(*other.store) ? together : elsewhere).push_back(other);
  }
  // The check goes first even when no store shares its step: a delete refused there
  // touches no store at all.
  if (!DeleteCarriedInOneStepWhileState(state_key, expected_state, together)) return false;
  for (const CarriedKeys& other : elsewhere) other.store->BatchDeleteItems(*other.keys);
  return true;
}

bool Keystore::DeleteCarriedInOneStepWhileState(const uint64_t& state_key,
                                                const std::vector<uint8_t>& expected_state,
                                                const std::vector<CarriedKeys>& together) {
  if (BatchGetVariable({state_key}).front() != expected_state) return false;
  for (const CarriedKeys& other : together) other.store->BatchDeleteItems(*other.keys);
  return true;
}

}  // namespace ombrix_encrypted_index::internal::backing_store
