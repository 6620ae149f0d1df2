// Where the per-field summaries of an index live: one sealed StoredCentroidSummaries
// record per field path, a value of the index store under its key, with a version beside
// it (Keystore::CompareAndSetValue) so that a read-merge-write is a compare-and-set. Two
// writers of one path, in one process or in several sharing a backend, never drop each
// other's additions: the loser of a compare-and-set reads again and merges again.
// Borrows the core; one call at a time per core (the core is not thread-safe).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "encrypted_store/encrypted_index_core.h"
#include "index/centroid_summaries.h"
#include "index/pre_filter.h"

namespace ombrix {

// Attempts a path gets before the update gives up (every attempt lost to another writer).
inline constexpr int kSummaryUpdateAttempts = 100;

// The decrypted record of each path, in order; empty where none is stored.
// Throws what the store and decryption throw.
std::vector<std::vector<uint8_t>> ReadSummaryRecords(EncryptedIndexCore& core,
                                                     const std::vector<std::string>& paths);

// The summaries of each path for pre-filtering: an empty map where nothing is stored
// (after the WARNING "Warning: Empty metadata buffer for field '<path>." and the same
// warning, quoted whole, on standard error). A record that fails verification throws
// std::runtime_error "Error while converting buffer to map of centroid map: <what>"
// (logged at CRITICAL); fetch and decryption failures propagate as they are.
SummariesByField LoadFilterSummaries(EncryptedIndexCore& core, const std::vector<std::string>& paths);

// How a write treats what a path's record held: kMerge keeps it (a superset of both),
// kReplace drops it (a rebuild, which files every item again).
enum class SummaryWrite { kMerge, kReplace };

// Folds fresh[path] into the stored record of every path of `paths` (or, kReplace, writes
// fresh[path] in its place). A path whose stored record already covers its entries is
// written back unchanged (resealed). A path that loses a compare-and-set is tried again
// after a short random pause. Throws std::runtime_error when a path still loses after
// kSummaryUpdateAttempts attempts, and what decoding, sealing and the store throw; paths
// already written stay written.
void MergeIntoStoredSummaries(EncryptedIndexCore& core, FieldSummaries& fresh,
                              const std::vector<std::string>& paths,
                              SummaryWrite how = SummaryWrite::kMerge);

}  // namespace ombrix
