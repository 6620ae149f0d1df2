#include "index_model/probe_selection.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <set>

#include "index_model/distance_kernels.h"
#include "index_model/test_data.h"
#include "index_model/testing/scoped_omp_threads.h"

namespace ombrix {
namespace {

using testing::ElementsAre;
using testing::HasSubstr;
using testing::ThrowsMessage;
using testing_data::Uniform;

std::vector<Codebook> Candidates(Matrix<float> centroids) {
  return {testing_data::BookOf(std::move(centroids))};
}

std::vector<uint32_t> Row(const Matrix<uint32_t>& m, uint64_t r) {
  return std::vector<uint32_t>(m.row(r), m.row(r) + m.cols);
}

// Ten candidates on a line; 1, 4 and 7 sit at 0, 1 and 2, the rest far away.
std::vector<Codebook> Line() {
  const float x[10] = {100, 0, 200, 300, 1, 400, 500, 2, 600, 700};
  std::vector<float> v;
  for (float c : x) v.insert(v.end(), {c, 0.0f});
  return Candidates(Matrix<float>(std::move(v), 2));
}
const Matrix<float> kTwoQueries(std::vector<float>{0.4f, 0, 1.6f, 0}, 2);

TEST(ProbeSelectionTest, UnionIsSortedAndRowsHoldPositionsInIt) {
  const ProbeSelection plain = select_probes_dispatch(kTwoQueries, Line(), 2, SquaredEuclidean, 0.0f);
  EXPECT_EQ(plain.n_queries, 2u);
  EXPECT_THAT(plain.probed_lists, ElementsAre(1, 4, 7));
  ASSERT_EQ(plain.probes.cols, 2u);
  EXPECT_THAT(Row(plain.probes, 0), ElementsAre(0, 1));  // lists 1, 4
  EXPECT_THAT(Row(plain.probes, 1), ElementsAre(2, 1));  // lists 7, 4
  EXPECT_EQ(plain.reserved.rows, 0u);
}

TEST(ProbeSelectionTest, GreedyExtensionIsCappedByTheUnion) {
  const ProbeSelection greedy = select_probes_dispatch(kTwoQueries, Line(), 2, Euclidean, 1.0f);
  EXPECT_THAT(greedy.probed_lists, ElementsAre(1, 4, 7));
  ASSERT_EQ(greedy.probes.cols, 3u);
  EXPECT_THAT(Row(greedy.probes, 0), ElementsAre(0, 1, 2));
  EXPECT_THAT(Row(greedy.probes, 1), ElementsAre(2, 1, 0));
}

// Queries and centroids scaled by one power of two select what the unscaled ones select:
// before scaling, squares of 2^70 pass a float and squares of 2^-100 vanish.
TEST(ProbeSelectionTest, ExtremeMagnitudesSelectAsTheUnscaledVectors) {
  const Matrix<float> queries = Uniform(40, 16, 4);
  const Matrix<float> centroids = Uniform(64, 16, 5);
  for (DistanceMetric metric : {Euclidean, SquaredEuclidean}) {
    for (float greedy : {0.0f, 1.0f}) {
      const ProbeSelection want = select_probes_dispatch(queries, Candidates(centroids), 5, metric, greedy);
      for (int k : {70, 100, -100}) {
        const ProbeSelection got =
            select_probes_dispatch(testing_data::ScaledBy(queries, k),
                                   Candidates(testing_data::ScaledBy(centroids, k)), 5, metric, greedy);
        EXPECT_EQ(got.probed_lists, want.probed_lists) << "2^" << k << ", metric " << metric;
        EXPECT_EQ(got.probes.data, want.probes.data) << "2^" << k << ", metric " << metric;
      }
    }
  }
}

TEST(ProbeSelectionTest, MoreProbesThanCandidates) {
  const Matrix<float> queries = Uniform(5, 3, 1);
  const ProbeSelection three = select_probes_dispatch(queries, Candidates(Uniform(3, 3, 2)), 5, Cosine, 1.0f);
  EXPECT_THAT(three.probed_lists, ElementsAre(0, 1, 2));
  ASSERT_EQ(three.probes.rows, 5u);
  ASSERT_EQ(three.probes.cols, 3u) << "greedy mode is off when every candidate is probed";
  const ProbeSelection four = select_probes_dispatch(queries, Candidates(Uniform(4, 3, 3)), 6, Cosine, 1.0f);
  ASSERT_EQ(four.probes.cols, 4u);
  for (uint64_t q = 0; q < 5; ++q) {
    const std::vector<uint32_t> row = Row(four.probes, q);
    EXPECT_EQ(std::set<uint32_t>(row.begin(), row.end()).size(), 4u) << "row " << q;
  }
  const ProbeSelection huge = select_probes_dispatch(queries, Candidates(Uniform(4, 3, 3)), UINT64_MAX, Cosine, 1e30f);
  EXPECT_EQ(huge.probes.cols, 4u);
}

TEST(ProbeSelectionTest, NoProbes) {
  const ProbeSelection none = select_probes_dispatch(Uniform(3, 4, 1), Candidates(Uniform(6, 4, 2)), 0, Cosine, 1.0f);
  EXPECT_TRUE(none.probed_lists.empty());
  EXPECT_EQ(none.probes.rows, 3u);
  EXPECT_EQ(none.probes.cols, 0u);
}

// Picks against a full sort of the kernel's distances; no ties with random data.
TEST(ProbeSelectionTest, PicksAreTheNearestAndIndependentOfTeamSize) {
  const Matrix<float> queries = Uniform(300, 8, 4);
  const auto candidates = Candidates(Uniform(50, 8, 5));
  for (DistanceMetric metric : {Cosine, SquaredEuclidean}) {
    const ProbeSelection got = select_probes_dispatch(queries, candidates, 5, metric, 0.0f);
    const arma::fmat d = metric == Cosine
        ? cosine_distance_matrix(ColumnView(queries), ColumnView(candidates[0].centroids))
        : squared_euclidean_distance_matrix(ColumnView(queries), ColumnView(candidates[0].centroids));
    for (uint64_t q = 0; q < queries.rows; ++q) {
      std::vector<uint32_t> order(50);
      std::iota(order.begin(), order.end(), 0u);
      std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return d(a, q) < d(b, q); });
      for (uint64_t j = 0; j < 5; ++j) {
        ASSERT_EQ(got.probed_lists[got.probes.at(q, j)], order[j]) << "query " << q << " pick " << j;
      }
    }
  }
  testing_support::ScopedOmpThreads team;
  for (float factor : {0.0f, 1.0f}) {
    team.Set(1);
    const ProbeSelection one = select_probes_dispatch(queries, candidates, 3, Cosine, factor);
    team.Set(8);
    const ProbeSelection eight = select_probes_dispatch(queries, candidates, 3, Cosine, factor);
    EXPECT_EQ(one.probed_lists, eight.probed_lists);
    EXPECT_EQ(one.probes.data, eight.probes.data);
    EXPECT_EQ(one.probes.cols, factor == 0.0f ? 3u : 6u);
  }
  // Large enough for the product to be split over the team.
  const Matrix<float> many = Uniform(400, 16, 21);
  const std::vector<Codebook> wide = Candidates(Uniform(2048, 16, 22));
  team.Set(1);
  const ProbeSelection alone = select_probes_dispatch(many, wide, 7, SquaredEuclidean, 0.0f);
  team.Set(8);
  const ProbeSelection split = select_probes_dispatch(many, wide, 7, SquaredEuclidean, 0.0f);
  EXPECT_EQ(alone.probed_lists, split.probed_lists);
  EXPECT_EQ(alone.probes.data, split.probes.data);
  const ProbeSelection euclidean = select_probes_dispatch(queries, candidates, 4, Euclidean, 1.0f);
  const ProbeSelection squared = select_probes_dispatch(queries, candidates, 4, SquaredEuclidean, 1.0f);
  EXPECT_EQ(euclidean.probed_lists, squared.probed_lists);
  EXPECT_EQ(euclidean.probes.data, squared.probes.data);
}

// One preparation serves any number of batches, and knows when the codebooks under it are
// no longer the ones it was made from.
TEST(ProbeSelectionTest, PreparedCandidatesServeManyBatches) {
  std::vector<Codebook> codebooks = Candidates(Uniform(64, 8, 30));
  for (DistanceMetric metric : {Cosine, Euclidean, SquaredEuclidean}) {
    const ProbeCandidates prepared(codebooks, metric);
    for (uint64_t seed : {31, 32, 33}) {
      const Matrix<float> queries = Uniform(seed == 32 ? 1 : 40, 8, seed);
      const float factor = seed == 33 ? 1.0f : 0.0f;
      const ProbeSelection kept = select_probes_prepared(queries, prepared, 4, factor);
      const ProbeSelection fresh = select_probes_dispatch(queries, codebooks, 4, metric, factor);
      EXPECT_EQ(kept.probed_lists, fresh.probed_lists) << "metric " << metric << ", seed " << seed;
      EXPECT_EQ(kept.probes.data, fresh.probes.data) << "metric " << metric << ", seed " << seed;
    }
    EXPECT_TRUE(prepared.PreparedFrom(codebooks, metric));
    EXPECT_FALSE(prepared.PreparedFrom(codebooks, metric == Cosine ? Euclidean : Cosine));
  }
  const ProbeCandidates prepared(codebooks, SquaredEuclidean);
  std::vector<Codebook> copy = codebooks;
  EXPECT_FALSE(prepared.PreparedFrom(copy, SquaredEuclidean)) << "another codebook list";
  codebooks[0] = testing_data::BookOf(Uniform(64, 8, 34));
  EXPECT_FALSE(prepared.PreparedFrom(codebooks, SquaredEuclidean)) << "replaced centroids";
  codebooks.clear();
  EXPECT_FALSE(prepared.PreparedFrom(codebooks, SquaredEuclidean)) << "no codebook left";
  const ProbeCandidates none(codebooks, Cosine);
  EXPECT_THAT([&] { select_probes_prepared(Uniform(2, 8, 35), none, 1, 0); },
              ThrowsMessage<std::invalid_argument>("No candidate codebook provided."));
  EXPECT_THAT([&] { ProbeCandidates(codebooks, static_cast<DistanceMetric>(3)); },
              ThrowsMessage<std::runtime_error>("Unsupported distance metric."));
}

TEST(ProbeSelectionTest, Refusals) {
  const Matrix<float> none(std::vector<float>{}, 4);
  EXPECT_THAT([&] { select_probes_dispatch(none, Candidates(Uniform(2, 4, 1)), 1, static_cast<DistanceMetric>(3), 0); },
              ThrowsMessage<std::runtime_error>("Unsupported distance metric."));
  EXPECT_THAT([&] { select_probes_dispatch(none, Candidates(Uniform(2, 4, 1)), 1, Cosine, 0); },
              ThrowsMessage<std::invalid_argument>("No query embeddings provided."));
  const Matrix<float> queries = Uniform(2, 4, 2);
  auto overstated = Candidates(Uniform(2, 4, 3));
  overstated[0].n_centroids = 3;
  for (const auto& bad : {std::vector<Codebook>{}, Candidates(Uniform(2, 5, 4)), overstated}) {
    EXPECT_THAT([&] { select_probes_dispatch(queries, bad, 1, Cosine, 0); },
                testing::Throws<std::invalid_argument>());
  }
  EXPECT_THAT([&] { select_probes_gpu(queries, {}, 1, Cosine, 0); },
              ThrowsMessage<std::runtime_error>(HasSubstr("CUDA support is required")));
}

}  // namespace
}  // namespace ombrix
