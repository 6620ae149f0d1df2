#include "encrypted_store/labels.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "diagnostics/logger.h"
#include "encrypted_store/hmac.h"
#include "encrypted_store/sha3.h"
#include "index_model/parallel.h"

namespace ombrix {

namespace {

[[noreturn]] void Refuse(const std::string& logged, const std::string& thrown) {
  InternalLogger().error(logged);
  throw std::invalid_argument(thrown);
}

}  // namespace

SaltAndSeed DeriveSaltAndSeed(const std::array<uint8_t, 32>& hashed_index_key,
                              const std::array<uint8_t, 32>& index_key, uint32_t list_id) {
  const uint8_t id[4] = {static_cast<uint8_t>(list_id), static_cast<uint8_t>(list_id >> 8),
                         static_cast<uint8_t>(list_id >> 16), static_cast<uint8_t>(list_id >> 24)};
  const Key256 salts = HmacSha3_256(hashed_index_key, id, sizeof(id));
  const Key256 seed = HmacSha3_256(index_key, id, sizeof(id));
  SaltAndSeed entry;
  std::copy(salts.begin(), salts.end(), entry.begin());
  std::copy(seed.begin(), seed.end(), entry.begin() + 32);
  return entry;
}

void LabelAndMask(const SaltAndSeed& entry, uint32_t position, uint32_t rounds, uint64_t& label,
                  uint64_t& mask) {
  const uint8_t* bytes = entry.data();
  // The walk state as lanes: bit 0 of lane 0 is the lowest bit of byte 0.
  uint64_t s[4] = {LoadLe64(bytes + 32), LoadLe64(bytes + 40), LoadLe64(bytes + 48),
                   LoadLe64(bytes + 56)};
  for (uint32_t b = rounds; b-- > 0;) {
    s[0] ^= (position >> (b % 32)) & 1u;
    Sha3_256Lanes(s, s);
  }
  const uint64_t label_input[4] = {LoadLe64(bytes), LoadLe64(bytes + 8), s[0], s[1]};
  const uint64_t mask_input[4] = {LoadLe64(bytes + 16), LoadLe64(bytes + 24), s[2], s[3]};
  label = Sha3_256LanesToU64(label_input);
  mask = Sha3_256LanesToU64(mask_input);
}

ItemTokens GenerateItemTokens(const std::vector<uint32_t>& list_ids,
                              const std::vector<uint64_t>& hash_ids,
                              const std::vector<SaltAndSeed>& salts_and_seeds, uint32_t rounds,
                              const std::vector<uint32_t>& positions) {
  if (list_ids.size() != hash_ids.size()) {
    Refuse("The number of centroid Ids does not match the number item Ids.\nCentroid Ids: " +
               std::to_string(list_ids.size()) + "\nItem Ids: " + std::to_string(hash_ids.size()),
           "The number of centroid Ids does not match the number item Ids.");
  }
  if (rounds == 0) {
    Refuse("The number of round should be at least 1.",
           "The number of round should be at least 1.");
  }
  if (positions.size() != list_ids.size()) {
    const std::string text = "The number of positions does not match the number item Ids.";
    Refuse(text + "\nPositions: " + std::to_string(positions.size()) +
               "\nItem Ids: " + std::to_string(list_ids.size()),
           text);
  }
  for (uint32_t list : list_ids) {
    if (list >= salts_and_seeds.size()) {
      const std::string text = "List id " + std::to_string(list) + " is out of range for " +
                               std::to_string(salts_and_seeds.size()) + " lists";
      Refuse(text, text);
    }
  }

  const std::size_t n = list_ids.size();
  ItemTokens tokens;
  tokens.labels.resize(n);
  tokens.encrypted_hash_ids.resize(n);
  ParallelStatic(n, [&](uint64_t first, uint64_t count) {
    for (uint64_t i = first; i < first + count; ++i) {
      uint64_t mask = 0;
      LabelAndMask(salts_and_seeds[list_ids[i]], positions[i], rounds, tokens.labels[i], mask);
      tokens.encrypted_hash_ids[i] = hash_ids[i] ^ mask;
    }
  });
  return tokens;
}

void GenerateQueryTokens(const std::vector<uint32_t>& list_ids,
                         const std::vector<SaltAndSeed>& salts_and_seeds,
                         const std::vector<uint32_t>& counter_map, uint32_t rounds,
                         std::vector<uint64_t>& labels, std::vector<uint64_t>& masks,
                         const std::vector<uint64_t>& offsets) {
  if (rounds == 0) return;
  // Work is split over all (list, position) pairs rather than over lists, so one long
  // list does not leave the rest of the team idle; every pair is still computed once.
  const std::size_t m = list_ids.size();
  std::vector<uint64_t> starts(m + 1, 0);  // running sums of the pairs actually generated
  for (std::size_t j = 0; j < m; ++j) {
    const uint32_t list = list_ids[j];
    uint64_t count = list < counter_map.size() ? counter_map[list] : 0;
    const bool fits = j < offsets.size() && offsets[j] + count <= labels.size() &&
                      offsets[j] + count <= masks.size() && list < salts_and_seeds.size();
    if (!fits) count = 0;
    starts[j + 1] = starts[j] + count;
  }
  ParallelStatic(starts[m], [&](uint64_t first, uint64_t count) {
    std::size_t j = static_cast<std::size_t>(
        std::upper_bound(starts.begin(), starts.end(), first) - starts.begin() - 1);
    for (uint64_t k = first; k < first + count; ++k) {
      while (k >= starts[j + 1]) ++j;
      const uint64_t v = k - starts[j];
      const uint64_t at = offsets[j] + v;
      LabelAndMask(salts_and_seeds[list_ids[j]], static_cast<uint32_t>(v), rounds, labels[at],
                   masks[at]);
    }
  });
}

}  // namespace ombrix
