#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "index/encrypted_index.h"
#include "index/index_test_util.h"

namespace ombrix {
namespace {

using index_testing::CapturedLog;
using index_testing::Clustered;
using index_testing::Ids;
using index_testing::ResultIds;
using index_testing::Settings;
using index_testing::TestKey;

std::unique_ptr<EncryptedIndex> Create(const std::string& name, CapturedLog& log) {
  return std::make_unique<EncryptedIndex>(name, TestKey(), IndexIVFFlat(0), Settings(name),
                                          log.logger(), nullptr);
}

std::vector<std::string> ParityMetadata(uint64_t n) {
  std::vector<std::string> metadata;
  for (uint64_t i = 0; i < n; ++i)
    metadata.push_back("{\"odd\": " + std::string(i % 2 ? "true" : "false") + "}");
  return metadata;
}

// The k nearest rows of `data` among those at odd positions, as "id<row>".
std::vector<std::string> NearestOdd(const Matrix<float>& data, const float* query, uint64_t k) {
  std::vector<float> odd;
  for (uint64_t i = 1; i < data.rows; i += 2)
    odd.insert(odd.end(), data.row(i), data.row(i) + data.cols);
  std::vector<std::string> ids =
      index_testing::BruteForce(Matrix<float>(std::move(odd), data.cols), query, k);
  for (std::string& id : ids) id = "id" + std::to_string(2 * std::stoull(id.substr(2)) + 1);
  return ids;
}

TEST(FilteredQuery, UntrainedIndexRanksOnlyMatchingItems) {
  CapturedLog log;
  auto index = Create("filtered_untrained", log);
  const Matrix<float> data = Clustered(200, 4, 4, 3);
  Matrix<float> vectors = data;
  index->Upsert(Ids(200), vectors, {}, ParityMetadata(200));

  const Matrix<float> queries = index_testing::Rows(data, 0, 3);
  QueryParams params;
  params.top_k = 5;
  params.include = {kQueryMetadata};
  params.filters = R"({"odd": true})";
  const QueryResults results = index->Query(queries, params);
  EXPECT_TRUE(log.Has("INFO PostFiltering"));
  for (uint64_t q = 0; q < 3; ++q) {
    EXPECT_EQ(ResultIds(results, q), NearestOdd(data, queries.row(q), 5));
    EXPECT_EQ(results.metadata[q][0], "{\"odd\": true}");
  }

  // Nothing matches: every query row gets an empty result.
  params.filters = R"({"odd": "yes"})";
  const QueryResults none = index->Query(queries, params);
  EXPECT_EQ(none.n_queries, 3u);
  EXPECT_EQ(none.top_k, 0u);
  for (uint64_t q = 0; q < 3; ++q) EXPECT_TRUE(ResultIds(none, q).empty());

  // A stored metadata text that is not JSON fails every filtered query of its list.
  Matrix<float> bad = index_testing::Rows(data, 0, 1);
  index->Upsert({"bad"}, bad, {}, {"{bad"});
  EXPECT_THROW(index->Query(queries, params), std::invalid_argument);
  params.filters = "";
  EXPECT_EQ(index->Query(queries, params).top_k, 5u);
}

TEST(FilteredQuery, TrainedIndexFiltersTheProbedLists) {
  CapturedLog log;
  auto index = Create("filtered_trained", log);
  const Matrix<float> data = Clustered(10000, 8, 8, 5);
  Matrix<float> vectors = data;
  index->Upsert(Ids(10000), vectors, {}, ParityMetadata(10000));
  index->TrainIndex(8);
  ASSERT_TRUE(index->is_trained());

  const Matrix<float> queries = index_testing::Rows(data, 10, 14);
  QueryParams params;
  params.top_k = 10;
  params.n_probes = 8;  // every list: the filtered answer is exact
  params.filters = R"({"$and": [{"odd": {"$eq": true}}, {"odd": {"$exists": true}}]})";
  const QueryResults results = index->Query(queries, params);
  for (uint64_t q = 0; q < queries.rows; ++q)
    EXPECT_EQ(ResultIds(results, q), NearestOdd(data, queries.row(q), 10));

  params.filters = R"({"odd": {"$type": "string"}})";
  const QueryResults none = index->Query(queries, params);
  EXPECT_EQ(none.top_k, 0u);
  EXPECT_EQ(none.n_queries, queries.rows);
}

}  // namespace
}  // namespace ombrix
