// Pre-filtering through the index: the lists a trained index keeps for a filter, and the
// property that makes it safe: with n_probes = n_lists a filtered query on a trained
// index returns exactly what the same filtered query returns on the same items untrained.
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <map>

#include "backing_store/testing/error_text.h"
#include "backing_store/testing/test_keystore.h"
#include "encrypted_store/item_keys.h"
#include "encrypted_store/sealing.h"
#include "index/encrypted_index.h"
#include "index/index_test_util.h"
#include "index/random_filters_test_util.h"

namespace ombrix {
namespace {

using index_testing::CapturedLog;
using index_testing::Clustered;
using index_testing::Ids;
using index_testing::Settings;
using index_testing::TestKey;
using testing_support::ErrorText;

constexpr uint64_t kItems = 200;
constexpr uint32_t kLists = 8;

std::unique_ptr<EncryptedIndex> Create(const std::string& name, CapturedLog& log) {
  IndexSettings settings = Settings(name);
  settings.max_cache_size = kLists;
  return std::make_unique<EncryptedIndex>(name, TestKey(), IndexIVFFlat(4), settings, log.logger(), nullptr);
}

// The same kItems items in a trained index of kLists lists and in an untrained one. The
// trained one reaches the counter total training asks for by upserting the items again.
struct Twins {
  CapturedLog log;
  std::unique_ptr<EncryptedIndex> trained;
  std::unique_ptr<EncryptedIndex> untrained;
  Matrix<float> data;
  std::vector<std::string> metadata;
};

std::unique_ptr<Twins> MakeTwins(const std::vector<std::string>& metadata) {
  auto twins = std::make_unique<Twins>();
  twins->data = Clustered(kItems, 4, kLists, 21);
  twins->metadata = metadata;
  twins->trained = Create("trained", twins->log);
  twins->untrained = Create("untrained", twins->log);
  for (uint64_t round = 0; round * kItems < 10000; ++round) {
    Matrix<float> copy = twins->data;
    twins->trained->Upsert(Ids(kItems), copy, {}, metadata);
  }
  Matrix<float> copy = twins->data;
  twins->untrained->Upsert(Ids(kItems), copy, {}, metadata);
  twins->trained->TrainIndex(kLists);
  EXPECT_TRUE(twins->trained->is_trained());
  return twins;
}

// Each query's (id, distance) pairs, in rank order with equal distances ordered by id.
std::vector<std::vector<std::pair<float, std::string>>> Answer(const QueryResults& results) {
  std::vector<std::vector<std::pair<float, std::string>>> answer(results.n_queries);
  for (uint64_t q = 0; q < results.n_queries; ++q) {
    for (uint64_t j = 0; j < results.counts[q]; ++j) {
      answer[q].emplace_back(results.distances.at(q, j), results.ids.at(q, j));
    }
    std::sort(answer[q].begin(), answer[q].end());
  }
  return answer;
}

// Thousands of small queries: a team per region would only add scheduling to each.
class SingleThreadTeam {
 public:
  SingleThreadTeam() : saved_(omp_get_max_threads()) { omp_set_num_threads(1); }
  ~SingleThreadTeam() { omp_set_num_threads(saved_); }

 private:
  int saved_;
};

TEST(PreFiltering, FilteredQueriesOnATrainedIndexEqualTheUntrainedAnswer) {
  SingleThreadTeam team;
  random_filters::Generator generate(29);
  std::vector<std::string> metadata;
  for (uint64_t i = 0; i < kItems; ++i) metadata.push_back(i % 17 == 0 ? "" : generate.Metadata().dump());
  auto twins = MakeTwins(metadata);
  const Matrix<float> queries = Clustered(2, 4, kLists, 22);
  QueryParams params;
  params.top_k = kItems;
  params.n_probes = kLists;

  int filters = 0, pruned = 0;
  ::testing::internal::CaptureStderr();  // the warnings of fields no item has
  while (filters < 2000) {
    params.filters = generate.FilterText();
    std::string untrained_error, trained_error;
    QueryResults untrained, trained;
    untrained_error = ErrorText([&] { untrained = twins->untrained->Query(queries, params); });
    if (untrained_error != "(nothing thrown)") continue;  // refused filters and operand errors
    trained_error = ErrorText([&] { trained = twins->trained->Query(queries, params); });
    ASSERT_EQ(trained_error, "(nothing thrown)") << params.filters;
    ++filters;
    EXPECT_EQ(Answer(trained), Answer(untrained)) << params.filters;
  }
  ::testing::internal::GetCapturedStderr();
  for (int k = 0; k < static_cast<int>(kLists); ++k) {
    pruned += static_cast<int>(twins->log.CountContaining("INFO Pre-filtered to " + std::to_string(k) + " centroids."));
  }
  EXPECT_GT(pruned, filters / 10) << "filters that pruned some list";
}

// Items of cluster c (row i in cluster i % 8) carry price c * 10 and city "c<c>".
TEST(PreFiltering, ListsKeptByTheSummaries) {
  std::vector<std::string> metadata;
  for (uint64_t i = 0; i < kItems; ++i) {
    metadata.push_back(R"({"price": )" + std::to_string(i % kLists * 10) + R"(, "city": "c)" +
                       std::to_string(i % kLists) + R"("})");
  }
  auto twins = MakeTwins(metadata);
  struct Row {
    std::string filter;
    std::string line;
    uint64_t results;  // of the one query, top_k kItems
  };
  const uint64_t per_list = kItems / kLists;
  const std::vector<Row> rows = {
      {"", "INFO No filters, returning all 8 centroids", kItems},
      {R"({"$not": {"price": {"$gt": 10}}})", "INFO Client metadata buffers are empty, returning all 8 centroids",
       2 * per_list},
      {R"({"price": {"$gt": 65}})", "INFO Pre-filtered to 1 centroids.", per_list},
      {R"({"city": "c3"})", "INFO Pre-filtered to 1 centroids.", per_list},
      {R"({"city": {"$in": ["c1", "c2"]}})", "INFO Pre-filtered to 2 centroids.", 2 * per_list},
      {R"({"zip": {"$eq": 1}})", "INFO Pre-filtered to 0 centroids.", 0},
      {R"({"zip": {"$exists": false}})", "INFO Pre-filtered to 8 centroids.", kItems},
  };
  QueryParams params;
  params.top_k = kItems;
  params.n_probes = kLists;
  const Matrix<float> query = Clustered(1, 4, kLists, 23);
  for (const Row& row : rows) {
    params.filters = row.filter;
    const size_t before = twins->log.CountContaining(row.line);
    const QueryResults results = twins->trained->Query(query, params);
    EXPECT_EQ(twins->log.CountContaining(row.line), before + 1) << row.filter;
    EXPECT_EQ(results.counts[0], row.results) << row.filter;
  }
}

// Only the empty text asks for no filter: whitespace alone is text that does not parse, on
// either road, and so is a number no double can hold (refused as such, not as a failure
// of the index).
TEST(PreFiltering, OnlyTheEmptyTextMeansNoFilterOnEitherRoad) {
  auto twins = MakeTwins(std::vector<std::string>(kItems, R"({"n": 1})"));
  const Matrix<float> query = Clustered(1, 4, kLists, 23);
  QueryParams params;
  params.top_k = kItems;
  params.n_probes = kLists;
  ::testing::internal::CaptureStderr();  // the query wrapper's lines
  const std::vector<std::string> texts = {" ", "\n\t\r ", R"({"n": {"$lt": 1e400}})",
                                          R"({"n": {"$gt": -1)" + std::string(400, '0') + "}}"};
  for (const std::string& text : texts) {
    params.filters = text;
    const std::string untrained = ErrorText([&] { twins->untrained->Query(query, params); });
    EXPECT_EQ(untrained.rfind("Invalid JSON format for filters: ", 0), 0u) << untrained;
    EXPECT_EQ(ErrorText([&] { twins->trained->Query(query, params); }), untrained);
    EXPECT_THROW(twins->trained->Query(query, params), std::invalid_argument);
  }
  ::testing::internal::GetCapturedStderr();
  params.filters = "";
  EXPECT_EQ(twins->untrained->Query(query, params).counts[0], kItems);
  EXPECT_EQ(twins->trained->Query(query, params).counts[0], kItems);
}

TEST(PreFiltering, AMalformedRecordFailsTheQuery) {
  auto twins = MakeTwins(std::vector<std::string>(kItems, R"({"n": 1})"));
  EncryptedIndexCore& core = *twins->trained->core;
  const auto key = DeriveItemKeys({"bad"}, core.centroid_metadata_store_name);
  core.index_store->PushMap(key[0], EncryptItems({{4, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F}}, core.centroid_metadata_store_name)[0],
                            12345, 0);
  QueryParams params;
  params.filters = R"({"bad": {"$eq": 1}})";
  EXPECT_EQ(ErrorText([&] { twins->trained->Query(Clustered(1, 4, kLists, 23), params); }),
            "Error while pre-filtering: Error while converting buffer to map of centroid map: Invalid centroid "
            "summaries buffer");
}

}  // namespace
}  // namespace ombrix
