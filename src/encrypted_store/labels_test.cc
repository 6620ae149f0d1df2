#include "encrypted_store/labels.h"

#include <gtest/gtest.h>
#include <omp.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <random>
#include <set>

#include "encrypted_store/sha3.h"
#include "encrypted_store/test_util.h"
#include "index_model/testing/scoped_omp_threads.h"

namespace ombrix {
namespace {

using testing_util::MakeKey;
using testing_util::ThrownMessage;

std::array<uint8_t, 32> OpenSslHmac(const std::array<uint8_t, 32>& key, const uint8_t* data,
                                    std::size_t n) {
  std::array<uint8_t, 32> out{};
  unsigned int len = 0;
  HMAC(EVP_sha3_256(), key.data(), 32, data, n, out.data(), &len);
  return out;
}

// The walk as written: bytes, a byte-level block hash per round, two 32-byte hashes.
void ReferenceLabel(const std::array<uint8_t, 32>& hashed_key, const std::array<uint8_t, 32>& key,
                    uint32_t list, uint32_t v, uint32_t rounds, uint64_t& label, uint64_t& mask) {
  const uint8_t id[4] = {uint8_t(list), uint8_t(list >> 8), uint8_t(list >> 16), uint8_t(list >> 24)};
  const auto salts = OpenSslHmac(hashed_key, id, 4);
  std::array<uint8_t, 32> s = OpenSslHmac(key, id, 4);
  for (int b = static_cast<int>(rounds) - 1; b >= 0; --b) {
    s[0] ^= static_cast<uint8_t>((v >> (b % 32)) & 1);
    s = Sha3_256(s.data(), s.size());
  }
  std::vector<uint8_t> in(salts.begin(), salts.begin() + 16);
  in.insert(in.end(), s.begin(), s.begin() + 16);
  label = Sha3_256ToU64(in);
  in.assign(salts.begin() + 16, salts.end());
  in.insert(in.end(), s.begin() + 16, s.end());
  mask = Sha3_256ToU64(in);
}

class LabelsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (uint32_t c = 0; c < 8; ++c) entries_.push_back(DeriveSaltAndSeed(hashed_, key_, c));
  }

  std::array<uint8_t, 32> hashed_ = MakeKey(1);
  std::array<uint8_t, 32> key_ = MakeKey(2);
  std::vector<SaltAndSeed> entries_;
  testing_support::ScopedOmpThreads team_;
};

TEST_F(LabelsTest, EntriesAreTheTwoHmacsOfTheLittleEndianListId) {
  const uint8_t zero[4] = {0, 0, 0, 0};
  const auto salts = OpenSslHmac(hashed_, zero, 4);
  const auto seed = OpenSslHmac(key_, zero, 4);
  EXPECT_TRUE(std::equal(salts.begin(), salts.end(), entries_[0].begin()));
  EXPECT_TRUE(std::equal(seed.begin(), seed.end(), entries_[0].begin() + 32));

  const uint8_t id[4] = {0x02, 0x01, 0, 0};
  const SaltAndSeed e = DeriveSaltAndSeed(hashed_, key_, 258);
  const auto seed258 = OpenSslHmac(key_, id, 4);
  EXPECT_TRUE(std::equal(seed258.begin(), seed258.end(), e.begin() + 32));

  // Another index name (hashed key) changes the salts, not the seed.
  const SaltAndSeed other = DeriveSaltAndSeed(MakeKey(3), key_, 0);
  EXPECT_FALSE(std::equal(other.begin(), other.begin() + 32, entries_[0].begin()));
  EXPECT_TRUE(std::equal(other.begin() + 32, other.end(), entries_[0].begin() + 32));
}

TEST_F(LabelsTest, ItemAndQueryFormsMatchAnIndependentDerivation) {
  const std::vector<uint32_t> lists = {0, 3, 3, 7, 5, 0};
  const std::vector<uint32_t> positions = {0, 1, 2, 1000, 0xFFFFFFFFu, 3};
  const std::vector<uint64_t> hash_ids = {1, 2, 3, 0xDEADBEEFULL, 5, ~0ULL};
  const std::vector<uint32_t> counters = {6, 0, 0, 4, 0, 2, 0, 9};
  const std::vector<uint32_t> probed = {7, 1, 0, 3, 5};
  std::vector<uint64_t> offsets = {0};
  for (uint32_t list : probed) offsets.push_back(offsets.back() + counters[list]);

  for (int threads : {1, 8}) {
    team_.Set(threads);
    const ItemTokens tokens = GenerateItemTokens(lists, hash_ids, entries_, 32, positions);
    for (std::size_t i = 0; i < lists.size(); ++i) {
      uint64_t label = 0, mask = 0;
      ReferenceLabel(hashed_, key_, lists[i], positions[i], 32, label, mask);
      EXPECT_EQ(tokens.labels[i], label) << "item " << i << " threads " << threads;
      EXPECT_EQ(tokens.encrypted_hash_ids[i], hash_ids[i] ^ mask);
    }

    std::vector<uint64_t> labels(offsets.back()), masks(offsets.back());
    GenerateQueryTokens(probed, entries_, counters, 32, labels, masks, offsets);
    for (std::size_t j = 0; j < probed.size(); ++j) {
      for (uint32_t v = 0; v < counters[probed[j]]; ++v) {
        uint64_t label = 0, mask = 0;
        ReferenceLabel(hashed_, key_, probed[j], v, 32, label, mask);
        EXPECT_EQ(labels[offsets[j] + v], label) << "list " << probed[j] << " position " << v;
        EXPECT_EQ(masks[offsets[j] + v], mask);
      }
    }
  }
}

TEST_F(LabelsTest, RoundsDecideWhichPositionBitsEnterTheWalk) {
  const ItemTokens one = GenerateItemTokens({2, 2}, {0, 0}, entries_, 1, {0, 2});
  EXPECT_EQ(one.labels[0], one.labels[1]);
  EXPECT_EQ(one.encrypted_hash_ids[0], one.encrypted_hash_ids[1]);

  const ItemTokens full = GenerateItemTokens({2, 2, 2, 2}, {0, 0, 0, 0}, entries_, 32, {0, 1, 2, 3});
  EXPECT_EQ(std::set<uint64_t>(full.labels.begin(), full.labels.end()).size(), 4u);
}

// The batch generators share walk prefixes between positions; the single-position form
// walks every round. They must agree bit for bit at any team size, for walks shorter
// than, equal to and longer than the 32 position bits (longer ones revisit low bits
// early, so shared prefixes no longer follow position order), and for lists that span
// several of the generators' batches.
TEST_F(LabelsTest, BatchFormsMatchThePlainWalk) {
  std::mt19937 gen(20);
  // One list longer than a generator batch (2,048 leaves), the others short or empty.
  const std::vector<uint32_t> counters = {2100, 0, 1, 2, 5, 33, 7, 100};
  const std::vector<uint32_t> probed = {7, 0, 2, 4, 1, 3, 5, 6};
  std::vector<uint64_t> offsets = {0};
  for (uint32_t list : probed) offsets.push_back(offsets.back() + counters[list]);

  // Items: runs of consecutive new positions per list (as an upsert makes them), listed
  // out of list order, plus random positions, repeats and the extremes.
  std::vector<uint32_t> lists, positions;
  for (uint32_t run = 0; run < 6; ++run) {
    const uint32_t list = gen() % 8;
    const uint32_t start = run % 3 == 0 ? 0 : gen();
    for (uint32_t k = 0; k < 100; ++k) {
      lists.push_back(list);
      positions.push_back(start + k);
    }
  }
  for (uint32_t k = 0; k < 150; ++k) {
    lists.push_back(gen() % 8);
    positions.push_back(k % 5 == 0 ? positions[gen() % positions.size()] : gen());
  }
  lists.insert(lists.end(), {6, 6, 6});
  positions.insert(positions.end(), {0xFFFFFFFFu, 0x80000000u, 0x7FFFFFFFu});
  std::vector<uint64_t> hash_ids(lists.size());
  for (auto& id : hash_ids) id = (uint64_t{gen()} << 32) | gen();

  std::vector<SaltAndSeed> many_entries;
  for (uint32_t c = 0; c < 64; ++c) many_entries.push_back(DeriveSaltAndSeed(hashed_, key_, c));
  const std::vector<uint32_t> few_lists = {63, 2, 63, 40, 2};
  const std::vector<uint32_t> few_positions = {5, 1, 6, 0, 2};
  const std::vector<uint64_t> few_ids = {1, 2, 3, 4, 5};

  for (uint32_t rounds : {1u, 5u, 32u, 33u, 40u, 65u}) {
    std::vector<uint64_t> want_labels(offsets.back()), want_masks(offsets.back());
    for (std::size_t j = 0; j < probed.size(); ++j) {
      for (uint32_t v = 0; v < counters[probed[j]]; ++v) {
        LabelAndMask(entries_[probed[j]], v, rounds, want_labels[offsets[j] + v],
                     want_masks[offsets[j] + v]);
      }
    }
    ItemTokens want_items;
    for (std::size_t i = 0; i < lists.size(); ++i) {
      uint64_t label = 0, mask = 0;
      LabelAndMask(entries_[lists[i]], positions[i], rounds, label, mask);
      want_items.labels.push_back(label);
      want_items.encrypted_hash_ids.push_back(hash_ids[i] ^ mask);
    }

    for (int threads : {1, 8}) {
      omp_set_num_threads(threads);
      const std::string where =
          "rounds " + std::to_string(rounds) + " threads " + std::to_string(threads);
      std::vector<uint64_t> labels(offsets.back()), masks(offsets.back());
      GenerateQueryTokens(probed, entries_, counters, rounds, labels, masks, offsets);
      EXPECT_TRUE(labels == want_labels && masks == want_masks) << "query form, " << where;
      const ItemTokens items = GenerateItemTokens(lists, hash_ids, entries_, rounds, positions);
      EXPECT_TRUE(items.labels == want_items.labels &&
                  items.encrypted_hash_ids == want_items.encrypted_hash_ids)
          << "item form, " << where;
      // A batch much smaller than the vocabulary is grouped by list another way.
      const ItemTokens few = GenerateItemTokens(few_lists, few_ids, many_entries, rounds,
                                                few_positions);
      for (std::size_t i = 0; i < few_lists.size(); ++i) {
        uint64_t label = 0, mask = 0;
        LabelAndMask(many_entries[few_lists[i]], few_positions[i], rounds, label, mask);
        EXPECT_TRUE(few.labels[i] == label && few.encrypted_hash_ids[i] == (few_ids[i] ^ mask))
            << "few items, item " << i << ", " << where;
      }
    }
  }
}

TEST_F(LabelsTest, RefusalsComeBeforeAnyWork) {
  EXPECT_EQ(ThrownMessage([&] { GenerateItemTokens({0, 1, 2}, {1, 2}, entries_, 32, {0, 0, 0}); }),
            "The number of centroid Ids does not match the number item Ids.");
  EXPECT_EQ(ThrownMessage([&] { GenerateItemTokens({0}, {1}, entries_, 0, {0}); }),
            "The number of round should be at least 1.");
  EXPECT_EQ(ThrownMessage([&] { GenerateItemTokens({8}, {1}, entries_, 32, {0}); }),
            "List id 8 is out of range for 8 lists");
  EXPECT_EQ(ThrownMessage([&] { GenerateItemTokens({0, 1}, {1, 2}, entries_, 32, {0}); }),
            "The number of positions does not match the number item Ids.");
  const ItemTokens empty = GenerateItemTokens({}, {}, entries_, 32, {});
  EXPECT_TRUE(empty.labels.empty());
  EXPECT_TRUE(empty.encrypted_hash_ids.empty());
}

TEST_F(LabelsTest, QueryFormNeverReadsPastWhatItWasGiven) {
  // List 9 has no entry and lies beyond the counters: it contributes nothing.
  std::vector<uint64_t> labels(6, 0), masks(6, 0);
  GenerateQueryTokens({9, 0}, entries_, {6}, 32, labels, masks, {0, 0});
  uint64_t label = 0, mask = 0;
  ReferenceLabel(hashed_, key_, 0, 5, 32, label, mask);
  EXPECT_EQ(labels[5], label);
  EXPECT_EQ(masks[5], mask);
}

}  // namespace
}  // namespace ombrix
