// Per-list secret material and the labels and masks derived from it. A list's entry
// (salt of the label, salt of the mask, seed of the walk) comes from the index keys; a
// label and mask of (list, position) come from a walk of `rounds` block hashes over the
// seed, steered by the position's bits. The batch generators hash the walk states that
// positions share once (results equal LabelAndMask's, position by position). Pure
// functions over borrowed inputs; each generator runs one OpenMP region on the default
// team, and nothing thrown inside it leaves the region.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "encrypted_store/secret_bytes.h"

namespace ombrix {

// Bytes 0-15 salt of the label, 16-31 salt of the mask, 32-63 seed.
using SaltAndSeed = SecretBytes<64>;

// The entry of list c: HMAC(hashed_index_key, c) then HMAC(index_key, c), c as 4 bytes
// little-endian. Throws what HmacSha3_256 throws.
SaltAndSeed DeriveSaltAndSeed(const std::array<uint8_t, 32>& hashed_index_key,
                              const std::array<uint8_t, 32>& index_key, uint32_t list_id);

// Label and mask of one (list, position). REQUIRES: rounds >= 1.
void LabelAndMask(const SaltAndSeed& entry, uint32_t position, uint32_t rounds, uint64_t& label,
                  uint64_t& mask);

struct ItemTokens {
  std::vector<uint64_t> labels;
  std::vector<uint64_t> encrypted_hash_ids;  // hash ID XOR mask
};

// Labels and masked hash IDs of new items. Refused with std::invalid_argument (logged at
// ERROR) before any work: list ids and hash IDs of different counts ("The number of
// centroid Ids does not match the number item Ids."), rounds 0 ("The number of round
// should be at least 1."), positions of another count, a list id without an entry.
ItemTokens GenerateItemTokens(const std::vector<uint32_t>& list_ids,
                              const std::vector<uint64_t>& hash_ids,
                              const std::vector<SaltAndSeed>& salts_and_seeds, uint32_t rounds,
                              const std::vector<uint32_t>& positions);

// For each list j and v in [0, counter of list j): labels[offsets[j] + v] and
// masks[offsets[j] + v]. A list id beyond counter_map has counter 0.
// REQUIRES (checked by the caller): rounds >= 1; every list id with a non-zero counter
// has an entry; offsets are the running sums of the counters in list order and the
// outputs hold their total. A list that breaks these is skipped, never read past.
void GenerateQueryTokens(const std::vector<uint32_t>& list_ids,
                         const std::vector<SaltAndSeed>& salts_and_seeds,
                         const std::vector<uint32_t>& counter_map, uint32_t rounds,
                         std::vector<uint64_t>& labels, std::vector<uint64_t>& masks,
                         const std::vector<uint64_t>& offsets);

}  // namespace ombrix
