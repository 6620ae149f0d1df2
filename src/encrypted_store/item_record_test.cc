#include "encrypted_store/item_record.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ombrix {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Record(const std::string& id, uint32_t list, const Bytes& payload,
             const std::string& metadata) {
  return EncodeItemRecord(id, list, payload.data(), payload.size(), metadata);
}

TEST(ItemRecordTest, ExactLayout) {
  const Bytes record = Record("abc", 3, {0xA1, 0xA2, 0xA3, 0xA4}, "{}");
  const Bytes expected = {0x02, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 'a',  'b',  'c',
                          0x03, 0x00, 0x00, 0x00, 0xA1, 0xA2, 0xA3, 0xA4, 0x7B, 0x7D};
  EXPECT_EQ(record, expected);
}

TEST(ItemRecordTest, ParseRefusesRecordsShorterThanTheirFixedPart) {
  const Bytes good = Record("abc", 7, {}, "");
  ItemRecordView view;
  ASSERT_TRUE(ParseItemRecord(good, &view));
  EXPECT_EQ(view.id, "abc");
  EXPECT_EQ(view.list_id, 7u);
  EXPECT_EQ(view.payload_offset, 15u);
  for (uint64_t cut = 0; cut < good.size(); ++cut) {
    EXPECT_FALSE(ParseItemRecord(Bytes(good.begin(), good.begin() + cut), &view)) << cut;
  }
  // An id length near 2^32 must not wrap the bound check.
  Bytes huge_id = {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 'x', 0, 0, 0, 0};
  EXPECT_FALSE(ParseItemRecord(huge_id, &view));
}

TEST(ItemRecordTest, DecodeSkipsMissingAndMalformedRecordsAndTakesContents) {
  std::vector<Bytes> records = {Record("a", 0, {1, 2, 3, 4}, "{\"k\":1}"), Bytes{},
                                Bytes{1, 2, 3, 4, 5, 6, 7},
                                Bytes{0, 0, 0, 0, 9, 0, 0, 0, 'x', 'y'},
                                Record("b", 0, {5, 6, 7, 8}, "")};
  std::vector<Bytes> contents = {{'c', '1'}, {'c', '2'}, {'c', '3'}, {'c', '4'}};
  const std::vector<DecodedItem> items = DecodeItemRecords(records, contents, 4);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].id, "a");
  EXPECT_EQ(items[0].metadata, "{\"k\":1}");
  EXPECT_EQ(items[0].payload, (Bytes{1, 2, 3, 4}));
  EXPECT_EQ(items[0].contents, (Bytes{'c', '1'}));
  EXPECT_EQ(items[1].id, "b");
  EXPECT_TRUE(items[1].contents.empty()) << "contents shorter than records give none";
  EXPECT_TRUE(contents[0].empty()) << "contents are moved out";
}

TEST(ItemRecordTest, TruncatedPayloadIsZeroAndTruncatedMetadataEmpty) {
  Bytes record = Record("id", 1, {9, 9, 9, 9}, "meta");
  std::vector<Bytes> no_contents;
  Bytes short_meta(record.begin(), record.end() - 1);
  Bytes short_payload(record.begin(), record.begin() + 16);
  const auto items = DecodeItemRecords({short_meta, short_payload}, no_contents, 4);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].payload, (Bytes{9, 9, 9, 9}));
  EXPECT_EQ(items[0].metadata, "");
  EXPECT_EQ(items[1].payload, (Bytes{0, 0, 0, 0}));
  EXPECT_EQ(items[1].metadata, "");
}

TEST(ItemRecordTest, AssembleKeepsOnlyRecordsThatDecode) {
  std::vector<uint64_t> kept;
  const CacheMissResult rows = AssembleResults(
      {Bytes{}, Record("x", 4, {1, 2, 3, 4}, "m"), Bytes{1, 2, 3}, Record("y", 5, {5, 6, 7, 8}, "")},
      4, &kept);
  EXPECT_EQ(kept, (std::vector<uint64_t>{1, 3}));
  EXPECT_EQ(rows.item_ids, (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(rows.token_indices, (std::vector<uint64_t>{4, 5}));
  EXPECT_EQ(rows.metadata, (std::vector<std::string>{"m", ""}));
  ASSERT_EQ(rows.payloads.rows(), 2u);
  ASSERT_EQ(rows.payloads.cols(), 4u);
  EXPECT_EQ(Bytes(rows.payloads.row(1), rows.payloads.row(1) + 4), (Bytes{5, 6, 7, 8}));
}

TEST(ItemRecordTest, AssembleTakesTheWidthFromTheFirstRecordWithPayload) {
  // The first record has no payload bytes; the second has 8.
  const CacheMissResult rows = AssembleResults(
      {Bytes{}, Record("a", 0, {}, "mm"), Record("b", 0, {1, 2, 3, 4, 5, 6, 7, 8}, "m")}, 0);
  ASSERT_EQ(rows.payloads.cols(), 8u);
  ASSERT_EQ(rows.payloads.rows(), 2u);
  EXPECT_EQ(rows.metadata, (std::vector<std::string>{"", "m"}))
      << "the first record is too short for 8 payload bytes and its metadata";
  EXPECT_EQ(rows.payloads.row(1)[7], 8);

  const CacheMissResult none = AssembleResults({Record("a", 0, {}, "")}, 0);
  EXPECT_EQ(none.payloads.cols(), 0u);
  EXPECT_EQ(none.item_ids.size(), 1u);
}

}  // namespace
}  // namespace ombrix
