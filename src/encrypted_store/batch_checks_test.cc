#include "encrypted_store/batch_checks.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

namespace ombrix {
namespace {

ItemBatch Batch(uint64_t n, uint64_t payload_size) {
  ItemBatch batch;
  for (uint64_t i = 0; i < n; ++i) {
    batch.input_tokens.push_back(0);
    batch.item_ids.push_back("id" + std::to_string(i));
    batch.metadata.push_back("{}");
  }
  if (payload_size != 0 && n != 0) batch.payloads = Matrix<uint8_t>(n, payload_size, 0);
  return batch;
}

std::string Refusal(const ItemBatch& batch, uint64_t payload_size) {
  try {
    CheckBatchBeforeWrite(batch, payload_size, 2);
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "accepted";
}

TEST(BatchChecksTest, ValidBatchesPass) {
  EXPECT_EQ(Refusal(Batch(3, 8), 8), "accepted");
  EXPECT_EQ(Refusal(Batch(0, 8), 8), "accepted");
  EXPECT_EQ(Refusal(Batch(3, 0), 0), "accepted") << "no payloads with payload size 0";
  ItemBatch with_contents = Batch(2, 4);
  with_contents.contents = {{1}, {}};
  EXPECT_EQ(Refusal(with_contents, 4), "accepted");
}

TEST(BatchChecksTest, EachFaultHasItsText) {
  ItemBatch tokens = Batch(3, 4);
  tokens.input_tokens.pop_back();
  EXPECT_EQ(Refusal(tokens, 4), "The number of centroid Ids does not match the number item Ids.");

  ItemBatch range = Batch(3, 4);
  range.input_tokens[1] = 2;
  EXPECT_EQ(Refusal(range, 4), "List id 2 is out of range for a vocabulary of 2 lists");

  EXPECT_EQ(Refusal(Batch(3, 0), 4), "Mismatch between size of payload tokens and item IDs");

  ItemBatch contents = Batch(3, 4);
  contents.contents = {{1}, {2}};
  EXPECT_EQ(Refusal(contents, 4), "Mismatch between the number of contents and IDs");

  ItemBatch metadata = Batch(3, 4);
  metadata.metadata.clear();
  EXPECT_EQ(Refusal(metadata, 4), "Mismatched sizes for inputs or invalid row range");

  EXPECT_EQ(Refusal(Batch(3, 8), 4), "Payload column size does not match expected payload size");
  EXPECT_EQ(Refusal(Batch(3, 4), 0), "Payload column size does not match expected payload size");

  ItemBatch few_rows = Batch(3, 4);
  few_rows.payloads = Matrix<uint8_t>(2, 4, 0);
  EXPECT_EQ(Refusal(few_rows, 0), "Mismatched sizes for inputs or invalid row range");
}

TEST(BatchChecksTest, FaultsAreMetInTheOrderOfWriting) {
  ItemBatch all_wrong = Batch(3, 8);
  all_wrong.input_tokens.pop_back();
  all_wrong.contents = {{1}};
  all_wrong.metadata.clear();
  EXPECT_EQ(Refusal(all_wrong, 4), "The number of centroid Ids does not match the number item Ids.");
  all_wrong.input_tokens.push_back(5);
  EXPECT_EQ(Refusal(all_wrong, 4), "List id 5 is out of range for a vocabulary of 2 lists");
  all_wrong.input_tokens.back() = 1;
  EXPECT_EQ(Refusal(all_wrong, 4), "Mismatch between the number of contents and IDs");
  all_wrong.contents.clear();
  EXPECT_EQ(Refusal(all_wrong, 4), "Mismatched sizes for inputs or invalid row range");
}

TEST(BatchChecksTest, ShortMetadataIsReportedForTheFirstChunkItDoesNotCover) {
  ItemBatch batch = Batch(kWriteChunkSize + 5, 4);
  batch.metadata.resize(kWriteChunkSize + 2);
  testing::internal::CaptureStderr();
  EXPECT_EQ(Refusal(batch, 4), "Mismatched sizes for inputs or invalid row range");
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_THAT(log, testing::HasSubstr("Mismatched sizes for inputs or invalid row range.\n"
                                      "num_rows: 5\nitem_ids.size(): 5\nmetadata.size(): 2\n"
                                      "input_tokens.size(): 5\nstart_row: 10000\n"
                                      "payloads.rows(): 10005"));
}

TEST(BatchChecksTest, ValidateBatchSizesHasItsOwnCountText) {
  ItemBatch batch = Batch(2, 4);
  batch.input_tokens.push_back(1);
  try {
    ValidateBatchSizes(batch, 4);
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Mismatch between size of input tokens and item IDs");
  }
  EXPECT_NO_THROW(ValidateBatchSizes(Batch(2, 0), 0));
}

}  // namespace
}  // namespace ombrix
