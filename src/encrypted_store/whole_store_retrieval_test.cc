#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "encrypted_store/core_test_fixture.h"
#include "encrypted_store/engine_items_test_util.h"
#include "encrypted_store/item_keys.h"

namespace ombrix::testing_util {
namespace {

using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

class RetrieveAllEmbeddingsTest : public CoreTest {};

TEST_F(RetrieveAllEmbeddingsTest, ReadsEveryRecordThatDecodes) {
  auto core = Create("whole", 31, kPayloadSize);
  core->ResizeVocabulary(2);
  ItemBatch batch = MakeBatch({{"a", 0, {1, 2}, "{\"k\":1}"}, {"b", 1, {3, 4}}, {"c", 1, {5, 6}}});
  core->AddItems(batch);
  core->data_store->BatchDeleteItems(DeriveItemKeys({"b"}, core->data_store_name));

  const ItemBatch& all = core->RetrieveAllEmbeddings();
  ASSERT_THAT(all.item_ids, UnorderedElementsAre("a", "c"));
  ASSERT_EQ(all.payloads.rows, 2u);
  ASSERT_EQ(all.payloads.cols, kPayloadSize);
  EXPECT_TRUE(all.contents.empty());
  for (size_t r = 0; r < 2; ++r) {
    float first = 0;
    std::memcpy(&first, all.payloads.row(r), sizeof(float));
    EXPECT_EQ(all.item_ids[r] == "a" ? 0u : 1u, all.input_tokens[r]);
    EXPECT_EQ(first, all.item_ids[r] == "a" ? 1.0f : 5.0f);
    EXPECT_EQ(all.metadata[r], all.item_ids[r] == "a" ? "{\"k\":1}" : "{}");
  }
  EXPECT_EQ(LinesStartingWith("INFO Found ").back(), "INFO Found 2 embeddings");
  EXPECT_EQ(LinesStartingWith("INFO Retrieved ").back(), "INFO Retrieved 2 embeddings");

  // Each thread has its own batch; an empty store empties this thread's.
  std::vector<std::string> other_thread_ids;
  std::thread([&] { other_thread_ids = core->RetrieveAllEmbeddings().item_ids; }).join();
  EXPECT_EQ(other_thread_ids.size(), 2u);
  core->data_store->DeleteIndex();
  const ItemBatch& none = core->RetrieveAllEmbeddings();
  EXPECT_EQ(&none, &all);
  EXPECT_TRUE(none.item_ids.empty());
  EXPECT_TRUE(none.input_tokens.empty());
  EXPECT_EQ(none.payloads.rows, 0u);
  EXPECT_TRUE(none.metadata.empty());
  EXPECT_EQ(LinesStartingWith("WARNING No embeddings").size(), 1u);
}

}  // namespace
}  // namespace ombrix::testing_util
