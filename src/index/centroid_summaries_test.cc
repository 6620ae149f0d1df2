#include "index/centroid_summaries.h"

#include <unistd.h>
#include <zlib.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

#include <gtest/gtest.h>

#include "backing_store/testing/error_text.h"
#include "index/centroid_summaries_generated.h"

namespace ombrix {
namespace {

constexpr double B = kSummaryBound;

CentroidSummary S(uint32_t centroid, double min, double max, std::vector<uint32_t> hashes = {},
                  bool no_number = false) {
  return CentroidSummary{centroid, min, max, std::move(hashes), no_number};
}

uint32_t Crc(const std::string& s) { return stringCrc32(s); }

FieldSummaries Build(const std::string& text, uint32_t list, std::set<std::string>* paths_out = nullptr) {
  FieldSummaries out;
  std::set<std::string> paths;
  buildCentroidSummaries(nlohmann::json::parse(text), paths, list, out, "");
  if (paths_out) *paths_out = paths;
  return out;
}

TEST(StringCrc32, IsZlibCrcOfTheBytes) {
  // Standard check value of CRC-32, and an embedded NUL counted as a byte.
  EXPECT_EQ(stringCrc32("123456789"), 0xCBF43926u);
  EXPECT_EQ(stringCrc32(""), 0u);
  const std::string with_nul("a\0b", 3);
  EXPECT_EQ(stringCrc32(with_nul), static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>("a\0b"), 3)));
}

TEST(BuildCentroidSummaries, EntriesByValueType) {
  struct Row {
    std::string document;
    FieldSummaries expected;
  };
  const std::vector<Row> rows = {
      {R"({"info": {"x": true}, "n": null, "price": 5, "tags": ["a", "b"]})",
       {{"info", {S(7, B, -B)}},
        {"info.x", {S(7, -B, B, {Crc("true")}, true)}},
        {"n", {S(7, B, -B)}},
        {"price", {S(7, 5, 5)}},
        {"tags", {S(7, B, -B, {Crc(R"(["a","b"])"), Crc("a"), Crc("b")})}}}},
      {R"({"v": [3, 1, 2]})", {{"v", {S(7, 1, 3, {Crc("[3,1,2]")})}}}},
      {R"({"v": ["x", null, {"k": 1}, [9]]})",
       {{"v", {S(7, B, -B, {Crc(R"(["x",null,{"k":1},[9]])"), Crc("x")})}}, {"v.k", {S(7, 1, 1)}}}},
      {R"({"v": [2e10]})", {{"v", {S(7, B, 2e10, {Crc("[20000000000.0]")})}}}},
      {R"({"v": [-2e10]})", {{"v", {S(7, -2e10, -B, {Crc("[-20000000000.0]")})}}}},
      {R"({"a": [{"k": 1}, {"k": 2}]})",
       {{"a", {S(7, B, -B, {Crc(R"([{"k":1},{"k":2}])")})}}, {"a.k", {S(7, 1, 1), S(7, 2, 2)}}}},
      {R"([{"p": 1}, 5, {"q": "s"}])", {{"p", {S(7, 1, 1)}}, {"q", {S(7, -B, B, {Crc("s")}, true)}}}},
      {R"({"a.b": 1, "a": {"b": 2}})", {{"a", {S(7, B, -B)}}, {"a.b", {S(7, 2, 2), S(7, 1, 1)}}}},
      // A numeric array spanning exactly the marker range is still a range of numbers.
      {R"({"v": [-9876543211.0, 9876543211.0]})",
       {{"v", {S(7, -B, B, {Crc("[-9876543211.0,9876543211.0]")})}}}},
      {R"("text")", {}},
      {"12", {}},
      {"null", {}},
      {"{}", {}},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(Build(row.document, 7), row.expected) << row.document;
  }
}

TEST(MergeCentroidSummaries, FoldsEntriesIntoStored) {
  struct Row {
    std::string name;
    CentroidSummaryMap stored;
    std::vector<CentroidSummary> fresh;
    CentroidSummaryMap expected;
  };
  const std::vector<Row> rows = {
      {"string into a new list keeps the empty range", {}, {S(3, -B, B, {9}, true)}, {{3, S(3, B, -B, {9})}}},
      {"number above B", {}, {S(3, 2e10, 2e10)}, {{3, S(3, B, 2e10)}}},
      {"number below -B", {}, {S(3, -2e10, -2e10)}, {{3, S(3, -2e10, -B)}}},
      {"same hashes twice", {{3, S(3, 1, 2, {4, 8})}}, {S(3, 1, 1, {8, 4, 8})}, {{3, S(3, 1, 2, {4, 8})}}},
      {"entries of one list unite", {}, {S(1, 5, 5, {7}), S(1, -1, -1, {2}), S(1, -B, B, {7}, true)},
       {{1, S(1, -1, 5, {2, 7})}}},
      {"numeric array at the marker range widens", {{2, S(2, 0, 1)}}, {S(2, -B, B)}, {{2, S(2, -B, B)}}},
      {"untouched lists stay", {{0, S(0, 1, 1, {5, 3})}}, {S(4, 2, 2)}, {{0, S(0, 1, 1, {5, 3})}, {4, S(4, 2, 2)}}},
  };
  for (const Row& row : rows) {
    FieldSummaries fresh{{"p", row.fresh}};
    EXPECT_EQ(mergeCentroidSummaries(fresh, row.stored, "p"), row.expected) << row.name;
  }
  FieldSummaries none;
  EXPECT_TRUE(mergeCentroidSummaries(none, {}, "absent").empty());
  EXPECT_EQ(none.count("absent"), 1u);
}

TEST(SummariesCover, ListRangeAndHashes) {
  const CentroidSummaryMap stored = {{1, S(1, 0, 10, {3, 9})}};
  struct Row {
    std::vector<CentroidSummary> entries;
    bool covered;
  };
  const std::vector<Row> rows = {
      {{S(1, 0, 10, {9})}, true},
      {{S(1, B, -B, {3})}, true},
      {{S(1, -B, B, {3}, true)}, true},
      {{S(1, -B, B, {3})}, false},  // numbers at the bounds are numbers
      {{S(1, 5, 11)}, false},
      {{S(1, 5, 5, {4})}, false},
      {{S(1, 5, 5), S(2, 5, 5)}, false},
  };
  for (size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(SummariesCover(stored, rows[i].entries), rows[i].covered) << i;
}

TEST(CentroidSummaryRecord, RoundTripsAndKeepsTheLaterDuplicate) {
  std::mt19937 random(5);
  for (int round = 0; round < 50; ++round) {
    CentroidSummaryMap map;
    const int lists = static_cast<int>(random() % 6);
    for (int i = 0; i < lists; ++i) {
      const uint32_t id = random() % 1000;
      CentroidSummary s = S(id, random() % 3 == 0 ? B : -double(random() % 100),
                            random() % 3 == 0 ? -B : double(random() % 100));
      for (uint32_t h = random() % 4; h > 0; --h) s.hashes.push_back(static_cast<uint32_t>(random()));
      map[id] = s;
    }
    EXPECT_EQ(DecodeStoredSummaries(encodeCentroidSummaries(map)), map);
  }
  const CentroidSummaryMap defaults = {{0, S(0, -B, B)}};
  EXPECT_EQ(DecodeStoredSummaries(encodeCentroidSummaries(defaults)), defaults);
  EXPECT_TRUE(DecodeStoredSummaries({}).empty());

  // A vector naming list 2 twice: the later table wins.
  flatbuffers::FlatBufferBuilder builder;
  std::vector<flatbuffers::Offset<stored::StoredCentroidSummary>> tables = {
      stored::CreateStoredCentroidSummary(builder, 2, 1.0, 2.0),
      stored::CreateStoredCentroidSummary(builder, 2, 3.0, 4.0)};
  builder.Finish(stored::CreateStoredCentroidSummaries(builder, builder.CreateVector(tables)));
  const std::vector<uint8_t> twice(builder.GetBufferPointer(), builder.GetBufferPointer() + builder.GetSize());
  EXPECT_EQ(DecodeStoredSummaries(twice), (CentroidSummaryMap{{2, S(2, 3, 4)}}));
  // A root without its vector.
  flatbuffers::FlatBufferBuilder bare;
  bare.Finish(stored::StoredCentroidSummariesBuilder(bare).Finish());
  EXPECT_TRUE(DecodeStoredSummaries({bare.GetBufferPointer(), bare.GetBufferPointer() + bare.GetSize()}).empty());
}

TEST(CentroidSummaryRecord, RefusesMalformedBuffers) {
  const std::vector<uint8_t> good = encodeCentroidSummaries({{1, S(1, 0, 1, {5, 6})}, {2, S(2, 3, 3)}});
  std::vector<std::vector<uint8_t>> bad = {{1, 2, 3}, std::vector<uint8_t>(good.begin(), good.end() - 4)};
  std::vector<uint8_t> wild = good;
  wild[0] = 0xF0;  // root offset far beyond the buffer
  bad.push_back(wild);
  for (const auto& buffer : bad) {
    EXPECT_EQ(testing_support::ErrorText([&] { DecodeStoredSummaries(buffer); }),
              "Invalid centroid summaries buffer");
  }
}

// The encoder's bytes equal flatc's own encoding of the same record from the schema.
TEST(CentroidSummaryRecord, BytesMatchFlatc) {
  const std::string dir = ::testing::TempDir() + "centroid_summaries_" + std::to_string(getpid());
  ASSERT_EQ(std::system(("mkdir -p '" + dir + "'").c_str()), 0);
  const CentroidSummaryMap map = {{0, S(0, -B, B)}, {2, S(2, 1, 5, {3, 7})}, {4, S(4, B, -B)}, {9, S(9, -1.5, B, {11})}};
  std::ofstream(dir + "/golden.json")
      << R"({"summaries": [{"centroid": 0},)"
      << R"({"max": 5.0, "min": 1.0, "hashes": [3, 7], "centroid": 2},)"
      << R"({"max": -9876543211.0, "min": 9876543211.0, "centroid": 4},)"
      << R"({"min": -1.5, "hashes": [11], "centroid": 9}]})";
  const std::string command = std::string(OMBRIX_FLATC) + " -b -o '" + dir + "' " +
                              OMBRIX_CENTROID_SUMMARIES_SCHEMA + " '" + dir + "/golden.json'";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  std::stringstream bytes;
  bytes << std::ifstream(dir + "/golden.bin", std::ios::binary).rdbuf();
  const std::string golden = bytes.str();
  const std::vector<uint8_t> ours = encodeCentroidSummaries(map);
  EXPECT_EQ(std::string(ours.begin(), ours.end()), golden);
}

}  // namespace
}  // namespace ombrix
