#include "index_model/index_config.h"

#include <gtest/gtest.h>

#include <limits>
#include <typeinfo>

namespace ombrix {
namespace {

TEST(IndexConfigTest, NewIvfFlatHasTheDefaults) {
  IndexIVFFlat config(0);
  EXPECT_EQ(config.dimension(), 0u);
  EXPECT_EQ(config.metric, Euclidean);
  EXPECT_EQ(config.index_type, IVFFLAT);
  EXPECT_EQ(config.n_lists(), 1u);
  EXPECT_EQ(config.pq_dim(), 0u);
  EXPECT_EQ(config.pq_bits(), 0u);
  EXPECT_EQ(config.embedding_model, std::optional<std::string>(""));

  IndexIVFFlat without_model(7, std::nullopt);
  EXPECT_EQ(without_model.dimension(), 7u);
  EXPECT_FALSE(without_model.embedding_model.has_value());
}

TEST(IndexConfigTest, CloneIsAnIndependentCopy) {
  IndexIVFFlat source(128, std::string("all-MiniLM-L6-v2"));
  source.metric = Cosine;
  source.set_n_lists(64);

  std::unique_ptr<IndexConfig> copy = source.clone();
  ASSERT_EQ(typeid(*copy), typeid(IndexIVFFlat));
  EXPECT_EQ(copy->dimension(), 128u);
  EXPECT_EQ(copy->metric, Cosine);
  EXPECT_EQ(copy->index_type, IVFFLAT);
  EXPECT_EQ(copy->n_lists(), 64u);
  EXPECT_EQ(copy->embedding_model, source.embedding_model);

  copy->set_n_lists(0);
  copy->embedding_model->append("-changed");
  EXPECT_EQ(copy->n_lists(), 0u) << "0 is stored as given";
  EXPECT_EQ(source.n_lists(), 64u);
  EXPECT_EQ(*source.embedding_model, "all-MiniLM-L6-v2");

  IndexIVFFlat without_model(3, std::nullopt);
  EXPECT_FALSE(without_model.clone()->embedding_model.has_value());
}

TEST(IndexConfigTest, MetricNames) {
  EXPECT_EQ(metric_name(Cosine), "cosine");
  EXPECT_EQ(metric_name(Euclidean), "euclidean");
  EXPECT_EQ(metric_name(SquaredEuclidean), "squared_euclidean");
  for (int32_t bad : {-1, 3, std::numeric_limits<int32_t>::max()}) {
    try {
      metric_name(static_cast<DistanceMetric>(bad));
      ADD_FAILURE() << "accepted metric " << bad;
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), "Invalid distance metric");
    }
  }
}

}  // namespace
}  // namespace ombrix
