#include "index/encrypted_index.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>

#include "index/index_test_util.h"

namespace ombrix {
namespace {

using index_testing::BruteForce;
using index_testing::CapturedLog;
using index_testing::Clustered;
using index_testing::Ids;
using index_testing::ResultIds;
using index_testing::Rows;
using index_testing::Settings;
using index_testing::TestKey;
using ::testing::HasSubstr;

std::unique_ptr<EncryptedIndex> Create(const std::string& name, CapturedLog& log, uint64_t dimension = 0,
                                       int32_t metric = Euclidean) {
  IndexIVFFlat config(dimension);
  config.metric = metric;
  return std::make_unique<EncryptedIndex>(name, TestKey(), config, Settings(name), log.logger(), nullptr);
}


TEST(EncryptedIndexTest, CreateUpsertQueryOnAnUntrainedIndex) {
  CapturedLog log;
  auto index = Create("untrained", log);
  EXPECT_FALSE(index->is_trained());
  EXPECT_EQ(index->index_name(), "untrained");
  EXPECT_TRUE(log.Has("INFO EncryptedIndex created with new index configuration"));
  EXPECT_TRUE(log.Has("INFO Creating new index with db: Memory"));
  EXPECT_TRUE(log.Has("INFO Index successfully created"));

  Matrix<float> vectors({0, 0, 0, 0, 1, 1, 1, 1, 5, 5, 5, 5}, 4);
  index->Upsert({"a", "b", "c"}, vectors, {}, {"{\"k\":1}", "", "{\"k\":3}"});
  EXPECT_EQ(vectors.rows, 0u) << "the batch took the vectors over";
  EXPECT_TRUE(log.Has("INFO Upserting 3 items."));
  EXPECT_TRUE(log.Has("INFO Auto-detecting vector dimension: 4"));
  EXPECT_TRUE(log.Has("INFO Updated payload size to: 16"));
  EXPECT_TRUE(log.Has("INFO IngestUntrained "));
  EXPECT_EQ(index->config->dimension(), 4u);

  QueryParams params;
  params.top_k = 2;
  params.include = {kQueryMetadata};
  const QueryResults results = index->Query(Matrix<float>({4.5, 4.5, 4.5, 4.5, 0.1, 0, 0, 0}, 4), params);
  EXPECT_TRUE(log.Has("INFO RetrieveUntrained"));
  ASSERT_EQ(results.n_queries, 2u);
  EXPECT_EQ(ResultIds(results, 0), (std::vector<std::string>{"c", "b"}));
  EXPECT_EQ(ResultIds(results, 1), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(results.metadata[0][0], "{\"k\":3}");
  EXPECT_FLOAT_EQ(results.distances.at(0, 0), 1.0f);  // Euclidean: sqrt(4 * 0.25)

  Matrix<float> narrow({1, 2}, 2);
  EXPECT_THROW(
      {
        try {
          index->Upsert({"d"}, narrow, {}, {});
        } catch (const std::invalid_argument& e) {
          EXPECT_STREQ(e.what(), "The dimension of the vectors provided (2) doesn't match the index configuration (4).");
          throw;
        }
      },
      std::invalid_argument);
}

TEST(EncryptedIndexTest, UpsertChecksAndDuplicates) {
  CapturedLog log;
  auto index = Create("checks", log);
  auto message_of = [&](std::vector<std::string> ids, Matrix<float> vectors,
                        std::vector<std::vector<uint8_t>> contents, std::vector<std::string> metadata) {
    try {
      index->Upsert(ids, vectors, contents, metadata);
    } catch (const std::exception& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(message_of({"a", "b", "c"}, Matrix<float>({1, 2, 3, 4}, 2), {}, {}),
            "Mismatch between the number of vectors and IDs.");
  EXPECT_EQ(message_of({}, Matrix<float>(), {}, {}), "Vectors and IDs cannot be empty.");
  EXPECT_EQ(index->config->dimension(), 0u);
  // A wrong contents count is found after the dimension is fixed.
  EXPECT_EQ(message_of({"a", "b"}, Matrix<float>({1, 2, 3, 4}, 2), {{1}}, {}),
            "Mismatch between the number of vectors and items.");
  EXPECT_EQ(index->config->dimension(), 2u);

  EXPECT_EQ(message_of({"a", "b", "a"}, Matrix<float>({1, 1, 2, 2, 3, 3}, 2), {}, {}), "no error");
  EXPECT_TRUE(log.Has("WARNING Warning: Duplicate IDs detected. Skipping duplicate IDs."));
  QueryParams params;
  params.top_k = 10;
  const QueryResults results = index->Query(Matrix<float>({1, 1}, 2), params);
  EXPECT_THAT(ResultIds(results, 0), ::testing::ElementsAre("a", "b"));
  EXPECT_FLOAT_EQ(results.distances.at(0, 0), 0.0f) << "the first occurrence of a is kept";
}

TEST(EncryptedIndexTest, QueryChecks) {
  CapturedLog log;
  auto index = Create("query_checks", log);
  QueryParams params;
  auto message_of = [&](const Matrix<float>& queries, const QueryParams& p) {
    try {
      index->Query(queries, p);
    } catch (const std::exception& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(message_of(Matrix<float>(), params), "Query vectors cannot be empty.");
  EXPECT_EQ(message_of(Matrix<float>({1, 2}, 2), params),
            "Index dimension is not set. Please upsert vectors first to auto-detect dimension.");
  Matrix<float> vectors({1, 2}, 2);
  index->Upsert({"a"}, vectors, {}, {});
  EXPECT_EQ(message_of(Matrix<float>({1, 2, 3}, 3), params),
            "The dimension of the vectors provided (3) doesn't match the index configuration (2).");
  for (const char* none : {"", "{}", "[]", "null", " { } "}) {
    params.filters = none;
    EXPECT_EQ(message_of(Matrix<float>({1, 2}, 2), params), "no error") << none;
  }
  params.filters = "{\"k\": 1}";
  EXPECT_EQ(message_of(Matrix<float>({1, 2}, 2), params), "no error");
  params.filters = "[1]";
  EXPECT_EQ(message_of(Matrix<float>({1, 2}, 2), params), "The filters argument must be a JSON object.");
  params.filters = "{bad";
  EXPECT_THAT(message_of(Matrix<float>({1, 2}, 2), params), ::testing::StartsWith("Invalid JSON format for filters: "));
}

TEST(EncryptedIndexTest, RankingInPlaceGivesTheBitsOfTheCopyingRoad) {
  // Duplicated rows make ties; 37 columns fit no vector width; the item cache off and on
  // (the second query of each pair is served from the cache).
  std::mt19937 gen(5);
  std::uniform_int_distribution<int> value(-8, 8);
  const uint64_t d = 37;
  std::vector<float> values(300 * d);
  for (float& v : values) v = static_cast<float>(value(gen)) / 4.0f;
  for (uint64_t r = 0; r + 7 < 300; r += 11) std::copy_n(&values[r * d], d, &values[(r + 7) * d]);
  const Matrix<float> data(std::move(values), d);
  const Matrix<float> queries = Rows(data, 100, 140);
  for (int32_t metric : {Cosine, Euclidean, SquaredEuclidean}) {
    for (uint64_t cache : {0, 4}) {
      CapturedLog log;
      IndexIVFFlat config(0);
      config.metric = metric;
      IndexSettings settings = Settings("in_place");
      settings.max_cache_size = cache;
      EncryptedIndex index("in_place", TestKey(), config, settings, log.logger(), nullptr);
      Matrix<float> rows = data;
      std::vector<std::string> metadata;
      for (uint64_t r = 0; r < data.rows; ++r) metadata.push_back("{\"r\":" + std::to_string(r % 5) + "}");
      index.Upsert(Ids(data.rows), rows, {}, metadata);
      QueryParams params;
      params.top_k = 12;
      params.include = {kIncludeMetadata};
      ProbeSelection selection;
      selection.n_queries = queries.rows;
      selection.probed_lists = {0};
      selection.probes = Matrix<uint32_t>(queries.rows, 1, 0);
      for (int round = 0; round < 2; ++round) {
        const QueryResults got = index.Query(queries, params);
        CacheMissResult record = index.core->QueryEncrypted({0});
        const Matrix<float> items = record.payloads.TakeFloats();
        const QueryResults want = exact_topk_search(record, items, selection, queries, 12,
                                                    static_cast<DistanceMetric>(metric), params.include);
        const std::string where = "metric " + std::to_string(metric) + ", cache " +
                                  std::to_string(cache) + ", round " + std::to_string(round);
        EXPECT_EQ(got.ids.data, want.ids.data) << where;
        EXPECT_EQ(got.counts, want.counts) << where;
        EXPECT_EQ(got.metadata, want.metadata) << where;
        ASSERT_EQ(got.distances.data.size(), want.distances.data.size()) << where;
        EXPECT_EQ(0, std::memcmp(got.distances.data.data(), want.distances.data.data(),
                                 want.distances.data.size() * sizeof(float)))
            << where;
      }
    }
  }
}

TEST(EncryptedIndexTest, NotConnectedOperationsRefuse) {
  CapturedLog log;
  auto index = Create("gone", log);
  index->core.reset();
  Matrix<float> vectors({1, 2}, 2);
  EXPECT_THROW(index->Upsert({"a"}, vectors, {}, {}), std::logic_error);
  EXPECT_EQ(vectors.rows, 1u) << "a refused upsert leaves the vectors alone";
  EXPECT_THROW(index->Query(Matrix<float>({1, 2}, 2), QueryParams()), std::runtime_error);
  EXPECT_THROW(index->TrainIndex(), std::runtime_error);
  EXPECT_EQ(log.CountContaining("Not connected to any index. Please call `CreateIndex()` or `LoadIndex()` "
                                "before calling this function."),
            3u);
  EXPECT_TRUE(log.Has(std::string("ERROR ") + kNotConnectedMessage));
  EXPECT_TRUE(log.Has(std::string("CRITICAL ") + kNotConnectedMessage));
}

TEST(EncryptedIndexTest, CreationRefusesAnEmptyNameAndZeroLists) {
  CapturedLog log;
  IndexIVFFlat config(4);
  EXPECT_THROW(EncryptedIndex("", TestKey(), config, Settings(""), log.logger(), nullptr), std::invalid_argument);
  config.set_n_lists(0);
  EXPECT_THROW(EncryptedIndex("x", TestKey(), config, Settings("x"), log.logger(), nullptr), std::invalid_argument);
  EXPECT_TRUE(log.Has("ERROR Index name cannot be an empty string."));
  EXPECT_TRUE(log.Has("ERROR n_lists cannot be 0."));
}

// A filter every item passes takes the road that copies the kept codebooks and selects
// over the copy; the unfiltered road selects over the index's own, prepared once.
void ExpectSameAnswers(EncryptedIndex& index, const Matrix<float>& queries, uint64_t n_probes) {
  QueryParams params;
  params.top_k = 10;
  params.n_probes = n_probes;
  const QueryResults unfiltered = index.Query(queries, params);
  params.filters = R"({"absent": {"$exists": false}})";
  const QueryResults filtered = index.Query(queries, params);
  EXPECT_EQ(unfiltered.ids.data, filtered.ids.data);
  EXPECT_EQ(unfiltered.counts, filtered.counts);
  ASSERT_EQ(unfiltered.distances.data.size(), filtered.distances.data.size());
  EXPECT_EQ(0, std::memcmp(unfiltered.distances.data.data(), filtered.distances.data.data(),
                           filtered.distances.data.size() * sizeof(float)));
}

// 9,999 items are not enough; the 10,000th makes the automatic rule choose 8 lists. The
// trained index then answers queries from the probed lists, and can be trained again.
TEST(EncryptedIndexTest, TrainQueryAndRetrain) {
  CapturedLog log;
  auto index = Create("trained", log, 0);
  const uint64_t d = 16;
  const Matrix<float> data = Clustered(10000, d, 8, 11);
  Matrix<float> first = Rows(data, 0, 9999);
  index->Upsert(Ids(9999), first, {}, {});
  index->TrainIndex();
  EXPECT_TRUE(log.Has("WARNING Not enough vectors to train. At least 10000 vectors are required."));
  EXPECT_FALSE(index->is_trained());

  Matrix<float> last = Rows(data, 9999, 10000);
  index->Upsert({"id9999"}, last, {}, {});
  index->TrainIndex();
  EXPECT_TRUE(log.Has("INFO Calculated n_lists: 8 for 10000 vectors"));
  EXPECT_TRUE(log.Has("INFO Incremented quantizer version to 1"));
  EXPECT_TRUE(log.Has("INFO Rebuilding index with 10000 items"));
  EXPECT_TRUE(log.Has("INFO TrainIndex completed successfully"));
  EXPECT_TRUE(index->is_trained());
  EXPECT_EQ(index->config->n_lists(), 8u);
  EXPECT_EQ(index->core->vocab_size, 8u);
  uint64_t filed = 0;
  for (uint32_t c : index->core->counter_map) filed += c;
  EXPECT_EQ(filed, 10000u) << "the rebuild files every item exactly once";

  // The automatic number of probes (1 here), then recall@10 against brute force.
  const Matrix<float> queries = Rows(Clustered(10200, d, 8, 11), 10000, 10200);
  QueryParams params;
  params.top_k = 10;
  const QueryResults results = index->Query(queries, params);
  EXPECT_TRUE(log.Has("INFO RetrieveTrained"));
  EXPECT_TRUE(log.Has("INFO No filters, returning all 8 centroids"));
  EXPECT_TRUE(log.Has("INFO Pre-filtered to 8 centroids."));
  ExpectSameAnswers(*index, queries, 3);
  EXPECT_EQ(results.n_queries, queries.rows);
  // k-means is seeded at random: one probe loses the neighbours across a cluster that a
  // run happened to split, so recall is judged with two.
  params.n_probes = 2;
  const QueryResults two = index->Query(queries, params);
  uint64_t hits = 0;
  for (uint64_t q = 0; q < queries.rows; ++q) {
    const auto truth = BruteForce(data, queries.row(q), 10);
    const std::set<std::string> expected(truth.begin(), truth.end());
    for (const auto& id : ResultIds(two, q)) hits += expected.count(id);
  }
  EXPECT_GE(static_cast<double>(hits) / (10.0 * queries.rows), 0.95);

  index->TrainIndex(4);
  EXPECT_TRUE(log.Has("INFO Retraining IVFFLAT index..."));
  EXPECT_TRUE(log.Has("INFO Incremented quantizer version to 2"));
  EXPECT_TRUE(log.Has("INFO No new embeddings detected. Re-quantizing existing embeddings without reloading..."));
  EXPECT_EQ(log.CountContaining("modified centroids"), 0u);
  EXPECT_EQ(index->quantizer_version, 2u);
  EXPECT_EQ(index->config->n_lists(), 4u);
  EXPECT_EQ(index->core->vocab_size, 4u);
  // The probe candidates prepared for the first codebooks are not used for the second:
  // the unfiltered road answers as the filtered one, which selects over a copy.
  ExpectSameAnswers(*index, queries, 2);
  params.n_probes = 4;
  const QueryResults again = index->Query(Rows(queries, 0, 1), params);
  EXPECT_EQ(ResultIds(again, 0), BruteForce(data, queries.row(0), 10));

  // Upserts after training take the trained road.
  Matrix<float> extra = Rows(queries, 0, 1);
  index->Upsert({"new"}, extra, {}, {});
  EXPECT_TRUE(log.Has("INFO IngestTrained "));
  const QueryResults found = index->Query(Rows(queries, 0, 1), params);
  EXPECT_EQ(ResultIds(found, 0).front(), "new");
}

TEST(EncryptedIndexTest, TooManyListsForTheStoredItems) {
  CapturedLog log;
  auto index = Create("lists", log);
  Matrix<float> data = Clustered(10000, 2, 4, 3);
  index->Upsert(Ids(10000), data, {}, {});
  try {
    index->TrainIndex(5001);
    FAIL() << "trained";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(),
                 "Number of embeddings is less than the 2 * n_lists. Please ingest more data before training.");
  }
  EXPECT_FALSE(index->is_trained());
  EXPECT_EQ(index->config->n_lists(), 1u) << "a refused training keeps the list count";
  EXPECT_TRUE(log.Has("ERROR Number of embeddings is less than the 2 * n_lists. Please ingest more data before training."));
}

}  // namespace
}  // namespace ombrix
