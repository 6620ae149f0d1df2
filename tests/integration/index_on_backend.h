// Bodies of the index roads that every live backend runs through EncryptedIndex: create,
// upsert, train, query (recall against brute force), upserts after training, and the
// refusal of a name that already has an index. A backend's test file supplies a function
// that creates an index of a given name on its stores and remembers it for cleanup.
// Test-only.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "index/encrypted_index.h"
#include "index/index_test_util.h"

namespace ombrix::index_on_backend {

using IndexMaker = std::function<std::unique_ptr<EncryptedIndex>(const std::string& name)>;

// A new index under `name` with its configuration records at `config_location` and its
// other stores at `location`; training off the thread team, a small cache.
inline std::unique_ptr<EncryptedIndex> CreateAt(const std::string& name, const DBConfig& location,
                                                const DBConfig& config_location, Logger* logger) {
  IndexSettings settings;
  settings.index_name = name;
  settings.index_location = settings.items_location = settings.data_location = location;
  settings.config_location = config_location;
  settings.cpu_threads = 0;
  settings.max_cache_size = 4;
  return std::make_unique<EncryptedIndex>(name, index_testing::TestKey(), IndexIVFFlat(0),
                                          settings, logger, nullptr);
}

inline void CreateUpsertTrainAndQuery(const IndexMaker& create, const std::string& name) {
  using namespace index_testing;
  auto index = create(name);
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
  // k-means is seeded at random: one probe loses the neighbours across a cluster that a
  // run happened to split. Two probes make the check independent of the seed.
  params.n_probes = 2;
  const QueryResults results = index->Query(queries, params);
  uint64_t hits = 0;
  for (uint64_t q = 0; q < queries.rows; ++q) {
    const std::vector<std::string> nearest = BruteForce(data, queries.row(q), 10);
    const std::set<std::string> truth(nearest.begin(), nearest.end());
    for (const auto& id : ResultIds(results, q)) hits += truth.count(id);
  }
  EXPECT_GE(static_cast<double>(hits) / (10.0 * queries.rows), 0.95);

  // After training, a new item is filed under the trained lists and found at once.
  Matrix<float> extra = Rows(queries, 0, 1);
  index->Upsert({"new"}, extra, {}, {"{\"k\":1}"});
  params.include = {kQueryMetadata};
  const QueryResults found = index->Query(Rows(queries, 0, 1), params);
  ASSERT_FALSE(ResultIds(found, 0).empty());
  EXPECT_EQ(ResultIds(found, 0).front(), "new");
  EXPECT_EQ(found.metadata[0][0], "{\"k\":1}");
}

inline void ExistingNameIsRefusedAndOtherIndexesOfTheTableStay(const IndexMaker& create,
                                                                const std::string& name) {
  using index_testing::ResultIds;
  auto first = create(name);
  auto neighbour = create(name + "_2");
  Matrix<float> vectors({1, 2, 3, 4}, 2);
  first->Upsert({"a", "b"}, vectors, {}, {});
  try {
    create(name);
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

}  // namespace ombrix::index_on_backend
