// CreateBackingStore: the one place where a Keystore comes into being, from where the
// store lives (DBConfig), the index it belongs to and its StoreKind. Keeps no state; each
// call makes a new keystore with a connection of its own, owned by the caller.
// Thread-safe: may run on any thread; PostgreSQL and Redis block on the network.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "backing_store/db_config.h"
#include "backing_store/keystore.h"

namespace ombrix_encrypted_index::internal::backing_store {

// The id that keeps this store apart from every other store in a shared backend:
// index id + kind (the kind sign-extended, modulo 2^64), top bit cleared for POSTGRES.
uint64_t StoreId(int32_t location, uint64_t index_id, int32_t store_kind);

// Opens the keystore of one (location, index, kind); connected and ready on return. With
// `holder` (the index store of the same index, which outlives it), a store that can run on
// the holder's connection does so from the start instead of connecting on its own; the
// caller still calls FenceByHoldsOf(*holder) to learn whether its writes are fenced.
// Failures: a location value that is no Location at all is logged at CRITICAL and thrown
// as std::invalid_argument "Invalid location for backing store". Every other failure
// (NONE included) is logged at CRITICAL as "Failed to create backing store: <what>" and
// thrown as std::runtime_error carrying <what> alone.
std::unique_ptr<Keystore> CreateBackingStore(const ombrix::DBConfig& config, const std::string& index_name,
                                             const uint64_t& index_id, const int32_t& store_kind,
                                             Keystore* holder = nullptr);

// Test seam: while set, POSTGRES and REDIS locations are opened by this function (given
// the store id the location would use) instead of a server, under the factory's failure
// handling. REQUIRES: the function returns a keystore or throws. Pass nullptr to clear.
using KeystoreOpener = std::function<std::unique_ptr<Keystore>(
    const ombrix::DBConfig& config, const std::string& index_name, uint64_t store_id, int32_t store_kind)>;
void SetKeystoreOpenerForTesting(KeystoreOpener opener);

}  // namespace ombrix_encrypted_index::internal::backing_store
