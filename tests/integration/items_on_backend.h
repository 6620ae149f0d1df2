// Bodies of the item tests that every live backend runs through the engine core:
// replacement within and across lists, the cache across two engine objects, whole-store
// reads, refused batches and tampered records. A backend's test file supplies a function
// that creates (or loads) a core on its stores with a given list count and cache size.
// Test-only.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "backing_store/testing/error_text.h"
#include "encrypted_store/encrypted_index_core.h"
#include "encrypted_store/engine_items_test_util.h"
#include "encrypted_store/item_keys.h"

namespace ombrix::items_on_backend {

// create = true makes the index, false loads it; then ResizeVocabulary(lists) and a cache
// of cache_lists lists.
using CoreOpener =
    std::function<std::unique_ptr<EncryptedIndexCore>(bool create, uint64_t lists, uint64_t cache_lists)>;

// Cores on the stores the settings name.
inline CoreOpener OpenerFor(IndexSettings settings) {
  return [settings = std::move(settings)](bool create, uint64_t lists, uint64_t cache_lists) {
    auto core = create ? EncryptedIndexCore::Create(settings, &InternalLogger(), {1})
                       : EncryptedIndexCore::Load(settings, &InternalLogger());
    core->ResizeVocabulary(lists);
    core->item_cache.lru_cache_size = cache_lists;
    return core;
  };
}

template <typename Fn>
std::string ErrorOf(Fn&& fn) {
  return testing_support::ErrorText(std::forward<Fn>(fn));
}

inline void Add(EncryptedIndexCore& core, const std::vector<testing_util::TestItem>& items,
                bool contents = false) {
  ItemBatch batch = testing_util::MakeBatch(items, contents);
  core.AddItems(batch);
}

inline void ReplacedItemsComeBackOnceWithTheirNewestVector(const CoreOpener& open) {
  using ::testing::Pair;
  using ::testing::UnorderedElementsAre;
  using testing_util::ReadRows;
  auto core = open(true, 3, 4);
  Add(*core, {{"a", 0, {1, 1}, "{}", {'x'}}, {"b", 0, {2, 2}, "{}", {'y'}}, {"c", 1, {3, 3}, "{}", {'z'}}},
      true);
  testing::internal::CaptureStdout();
  core->QueryEncrypted({0, 1, 2});
  Add(*core, {{"a", 0, {10, 10}}, {"b", 1, {20, 20}}});

  // A second engine object on the same tables, with its own cache.
  auto other = open(false, 3, 4);
  for (EncryptedIndexCore* engine : {core.get(), other.get(), core.get()}) {
    const CacheMissResult result = engine->QueryEncrypted({0, 1, 2});
    const auto rows = ReadRows(result);
    EXPECT_THAT(rows.counts, UnorderedElementsAre(Pair("a", 1), Pair("b", 1), Pair("c", 1)));
    EXPECT_EQ(rows.vectors.at("a"), (std::vector<float>{10, 10}));
    EXPECT_EQ(rows.vectors.at("b"), (std::vector<float>{20, 20}));
    EXPECT_EQ(result.token_indices, (std::vector<uint64_t>{0, 1, 3, 3}));
  }
  // The other object adds to list 2; the first one's cached list 2 is stale.
  Add(*other, {{"d", 2, {4, 4}}});
  EXPECT_EQ(ReadRows(core->QueryEncrypted({2})).counts.count("d"), 1u);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "nothing of ours writes to standard output";

  const ItemBatch& all = core->RetrieveAllEmbeddings();
  EXPECT_THAT(all.item_ids, UnorderedElementsAre("a", "b", "c", "d"));
  // Replacement took the old contents away with the old record.
  const auto contents = core->items_store->BatchGetVariable(
      DeriveItemKeys({"a", "c"}, core->content_store_name));
  EXPECT_TRUE(contents[0].empty());
  EXPECT_EQ(contents[1].size(), 1u + 28u);
}

inline void RefusedBatchesAndTamperedRecords(const CoreOpener& open) {
  using testing_util::MakeBatch;
  using testing_util::ReadRows;
  auto core = open(true, 2, 0);
  Add(*core, {{"a", 0, {1, 1}}, {"b", 1, {2, 2}}});
  const auto before = testing_util::Snapshot(*core->data_store);
  ItemBatch no_metadata = MakeBatch({{"a", 1, {5, 5}}});
  no_metadata.metadata.clear();
  EXPECT_EQ(ErrorOf([&] { core->AddItems(no_metadata); }),
            "Mismatched sizes for inputs or invalid row range");
  ItemBatch contents = MakeBatch({{"a", 1, {5, 5}}, {"b", 0, {6, 6}}}, true);
  contents.contents.pop_back();
  EXPECT_EQ(ErrorOf([&] { core->AddItems(contents); }),
            "Mismatch between the number of contents and IDs");
  EXPECT_EQ(testing_util::Snapshot(*core->data_store), before);

  const uint64_t key = DeriveItemKeys({"b"}, core->data_store_name)[0];
  std::vector<uint8_t> value = core->data_store->BatchGetVariable({key})[0];
  value.back() ^= 0x80;
  core->data_store->BatchPushVariable({key}, {value});
  EXPECT_EQ(ErrorOf([&] { core->QueryEncrypted({1}); }),
            "Decryption failed: Decryption final step failed (a record of list 1)");
  EXPECT_EQ(ReadRows(core->QueryEncrypted({0})).counts.at("a"), 1);
}

}  // namespace ombrix::items_on_backend
