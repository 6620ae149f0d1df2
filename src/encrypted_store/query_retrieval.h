// Free parts of query retrieval (EncryptedIndexCore::QueryEncrypted): the parallel
// opening of fetched records. Stateless; runs one OpenMP region on the default team.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace ombrix {

// Hash ids per data-store read while fetching the records of missed lists.
inline constexpr uint64_t kReadChunkSize = 1000;

// plaintexts[i] becomes the plaintext of values[i] under key; empty values are left
// alone. After the region, on the calling thread, each failing value's reason is logged
// at ERROR in value order and std::runtime_error "Decryption failed: <reason>" is thrown
// with the reason of the lowest failing value, whose position goes to *failed_at when
// given.
// REQUIRES: plaintexts.size() == values.size().
void DecryptRecordsBody(const std::array<uint8_t, 32>& key,
                        const std::vector<std::vector<uint8_t>>& values,
                        std::vector<std::vector<uint8_t>>& plaintexts,
                        uint64_t* failed_at = nullptr);

}  // namespace ombrix
