// Index operations with every store in Redis, over plain TCP and over TLS: create,
// upsert, train, query (recall against brute force), upserts after training, and the
// refusal of a name that already has an index.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "backing_store/redis_keystore.h"
#include "index/encrypted_index.h"
#include "index/index_test_util.h"
#include "redis_test_support.h"

namespace ombrix {
namespace {

using index_testing::BruteForce;
using index_testing::CapturedLog;
using index_testing::Clustered;
using index_testing::Ids;
using index_testing::ResultIds;
using index_testing::Rows;
using index_testing::TestKey;
using ombrix_encrypted_index::internal::backing_store::RedisKeystore;
using ombrix_test::UniqueName;


// The parameter names the variable of the server: plain or TLS.
class RedisIndexTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    OMBRIX_REQUIRE_ENV(location, GetParam());
    location_ = DBConfig{REDIS, UniqueName("ombrix_index_config"), location + ",db:0"};
  }

  // Everything the test's indexes wrote goes, store by store.
  void TearDown() override {
    for (const auto& [name, index_id] : made_) {
      for (int32_t kind : {INDEX, CONFIG, ITEMS, DATA}) {
        RedisKeystore(location_, name, index_id, kind).DeleteIndex();
      }
    }
  }

  std::unique_ptr<EncryptedIndex> Create(const std::string& name) {
    IndexSettings settings;
    settings.index_name = name;
    settings.index_location = settings.config_location = settings.items_location =
        settings.data_location = location_;
    settings.cpu_threads = 0;
    settings.max_cache_size = 4;
    auto index = std::make_unique<EncryptedIndex>(name, TestKey(), IndexIVFFlat(0), settings,
                                                  log_.logger(), nullptr);
    made_.emplace_back(name, index->core->index_id());
    return index;
  }

  CapturedLog log_;
  DBConfig location_;
  std::vector<std::pair<std::string, uint64_t>> made_;
};

TEST_P(RedisIndexTest, CreateUpsertTrainAndQuery) {
  auto index = Create(UniqueName("trained"));
  const uint64_t d = 16;
  const Matrix<float> data = Clustered(10000, d, 8, 11);
  for (uint64_t begin = 0; begin < 10000; begin += 2500) {
    Matrix<float> batch = Rows(data, begin, begin + 2500);
    index->Upsert(Ids(2500, begin), batch, {}, {});
  }
  index->TrainIndex();
  ASSERT_TRUE(index->is_trained());
  EXPECT_EQ(index->config->n_lists(), 8u);
  uint64_t filed = 0;
  for (uint32_t count : index->core->counter_map) filed += count;
  EXPECT_EQ(filed, 10000u);

  const Matrix<float> queries = Rows(Clustered(10100, d, 8, 11), 10000, 10100);
  QueryParams params;
  params.top_k = 10;
  const QueryResults results = index->Query(queries, params);
  uint64_t hits = 0;
  for (uint64_t q = 0; q < queries.rows; ++q) {
    const std::vector<std::string> nearest = BruteForce(data, queries.row(q), 10);
    const std::set<std::string> truth(nearest.begin(), nearest.end());
    for (const auto& id : ResultIds(results, q)) hits += truth.count(id);
  }
  EXPECT_GE(static_cast<double>(hits) / (10.0 * queries.rows), 0.95);

  Matrix<float> extra = Rows(queries, 0, 1);
  index->Upsert({"new"}, extra, {}, {"{\"k\":1}"});
  params.include = {kQueryMetadata};
  const QueryResults found = index->Query(Rows(queries, 0, 1), params);
  ASSERT_FALSE(ResultIds(found, 0).empty());
  EXPECT_EQ(ResultIds(found, 0).front(), "new");
  EXPECT_EQ(found.metadata[0][0], "{\"k\":1}");
}

TEST_P(RedisIndexTest, ExistingNameIsRefusedAndOtherIndexesOfTheTableStay) {
  const std::string name = UniqueName("taken");
  auto first = Create(name);
  auto neighbour = Create(name + "_2");
  Matrix<float> vectors({1, 2, 3, 4}, 2);
  first->Upsert({"a", "b"}, vectors, {}, {});
  try {
    Create(name);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "Index name " + name + " already exists");
  }
  QueryParams params;
  params.top_k = 1;
  EXPECT_EQ(ResultIds(first->Query(Matrix<float>({3, 4}, 2), params), 0),
            std::vector<std::string>{"b"});
  EXPECT_FALSE(neighbour->is_trained());
}

OMBRIX_INSTANTIATE_PLAIN_AND_TLS(RedisIndexTest);

}  // namespace
}  // namespace ombrix
