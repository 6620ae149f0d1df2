#include "index_model/kmeans.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <random>
#include <string>

#include "index_model/distance_kernels.h"
#include "index_model/interruption.h"

namespace ombrix {
namespace {

using testing::HasSubstr;
using testing::ThrowsMessage;

KMeansConfig Config(uint64_t k, uint64_t iters, uint64_t batch, uint64_t m = 1) {
  KMeansConfig c;
  c.n_subvectors = m;
  c.n_clusters = k;
  c.max_iters = iters;
  c.batch_size = batch;
  return c;
}

Matrix<float> Gaussian(uint64_t n, uint64_t d, unsigned seed) {
  if (d == 0) {  // the constructor refuses 0 columns; vectors of dimension 0 can still occur
    Matrix<float> empty;
    empty.rows = n;
    return empty;
  }
  std::mt19937 gen(seed);
  std::normal_distribution<float> normal;
  std::vector<float> v(n * d);
  for (auto& x : v) x = normal(gen);
  return Matrix<float>(std::move(v), d);
}

TEST(KMeansTest, StepSizeIsOneOverAbsorbedPlusOne) {
  // Seeded on 0 or 1, the only centroid absorbs both points: 1/2 then 1/3 of the way.
  const Matrix<float> data(std::vector<float>{0.0f, 1.0f}, 1);
  for (int run = 0; run < 20; ++run) {
    for (DistanceMetric metric : {SquaredEuclidean, Cosine}) {
      const auto books = train_kmeans_dispatch(data, Config(1, 1, 2), metric);
      ASSERT_EQ(books.size(), 1u);
      const float c = books[0].centroids.at(0, 0);
      EXPECT_TRUE(std::abs(c - 1.0f / 3) < 1e-6 || std::abs(c - 2.0f / 3) < 1e-6) << c;
    }
  }
}

TEST(KMeansTest, WithoutIterationsTheSeedsAreInputRows) {
  const Matrix<float> data = Gaussian(50, 4, 7);
  for (DistanceMetric metric : {Cosine, Euclidean}) {
    const auto books = train_kmeans_dispatch(data, Config(5, 0, 16), metric);
    ASSERT_EQ(books.size(), 1u);
    EXPECT_EQ(books[0].n_centroids, 5u);
    ASSERT_EQ(books[0].centroids.rows, 5u);
    ASSERT_EQ(books[0].centroids.cols, 4u);
    for (uint64_t c = 0; c < 5; ++c) {
      bool found = false;
      for (uint64_t i = 0; i < data.rows && !found; ++i) {
        found = std::equal(data.row(i), data.row(i) + 4, books[0].centroids.row(c));
      }
      EXPECT_TRUE(found) << "centroid " << c << " is not a data row";
    }
  }
}

// Four tight blobs: every centre must end up near its own blob.
void ExpectBlobsFound(DistanceMetric metric, const std::vector<std::vector<float>>& centres) {
  std::mt19937 gen(11);
  std::normal_distribution<float> noise(0.0f, 0.01f);
  const uint64_t d = centres[0].size();
  std::vector<float> v;
  for (int i = 0; i < 800; ++i) {
    for (uint64_t r = 0; r < d; ++r) v.push_back(centres[i % 4][r] + noise(gen));
  }
  const auto books = train_kmeans_dispatch(Matrix<float>(std::move(v), d), Config(4, 30, 64), metric);
  const Matrix<float>& found = books[0].centroids;
  for (const auto& centre : centres) {
    float best = 1e30f;
    for (uint64_t c = 0; c < found.rows; ++c) {
      float dist = 0;
      for (uint64_t r = 0; r < d; ++r) dist += std::pow(found.at(c, r) - centre[r], 2.0f);
      best = std::min(best, dist);
    }
    EXPECT_LT(best, 0.01f) << "metric " << metric;
  }
}

TEST(KMeansTest, FindsSeparatedBlobs) {
  ExpectBlobsFound(SquaredEuclidean, {{0, 0, 0}, {10, 0, 0}, {0, 10, 0}, {0, 0, 10}});
  ExpectBlobsFound(Euclidean, {{5, 5, 0}, {-5, 5, 0}, {5, -5, 0}, {-5, -5, 0}});
  ExpectBlobsFound(Cosine, {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {-1, 0, 0}});
}

TEST(KMeansTest, SubspacesGetOneCodebookEach) {
  const auto books = train_kmeans_dispatch(Gaussian(200, 6, 3), Config(4, 5, 32, 3), Euclidean);
  ASSERT_EQ(books.size(), 3u);
  for (const Codebook& book : books) {
    EXPECT_EQ(book.n_centroids, 4u);
    EXPECT_EQ(book.centroids.rows, 4u);
    EXPECT_EQ(book.centroids.cols, 2u);
  }
}

TEST(KMeansTest, WarnsWhenTheSampleIsSmallerThanK) {
  testing::internal::CaptureStderr();
  const auto books = train_kmeans_dispatch(Gaussian(8, 2, 5), Config(10, 3, 2048), Euclidean);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Warning: Initialization sample size (8) is smaller than the number of clusters "
            "(10). KMeans++ may fail to select enough unique centroids.\n");
  EXPECT_EQ(books[0].n_centroids, 10u);
  EXPECT_EQ(books[0].centroids.rows, 10u);
}

TEST(KMeansTest, RefusalsComeBeforeAnyWork) {
  auto train = [](uint64_t n, uint64_t d, KMeansConfig c, int32_t metric = Euclidean) {
    return [=] {
      train_kmeans_dispatch(Gaussian(n, d, 1), c, static_cast<DistanceMetric>(metric));
    };
  };
  const std::string indivisible = "Vector dimension must be divisible by the number of subvectors.";
  testing::internal::CaptureStderr();
  EXPECT_THAT(train(5, 10, Config(20, 1, 4, 3)),
              ThrowsMessage<std::invalid_argument>(indivisible));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "nothing before the check";
  EXPECT_THAT(train(5, 0, Config(2, 1, 4, 0)), ThrowsMessage<std::invalid_argument>(indivisible));
  EXPECT_THAT(train(5, 4, Config(2, 1, 4, 0)), ThrowsMessage<std::invalid_argument>(indivisible));
  EXPECT_THAT(train(0, 4, Config(2, 1, 4)), ThrowsMessage<std::invalid_argument>(HasSubstr("vector")));
  EXPECT_THAT(train(5, 0, Config(2, 1, 4)),
              ThrowsMessage<std::invalid_argument>(HasSubstr("dimension")));
  EXPECT_THAT(train(5, 4, Config(0, 1, 4)),
              ThrowsMessage<std::invalid_argument>(HasSubstr("clusters")));
  EXPECT_THAT(train(5, 4, Config(uint64_t{1} << 32, 1, 4)),
              ThrowsMessage<std::invalid_argument>(HasSubstr("clusters")));
  for (int32_t bad : {3, -1}) {
    EXPECT_THAT(train(5, 10, Config(2, 1, 4, 3), bad),
                ThrowsMessage<std::runtime_error>("Unsupported distance metric."));
  }
  EXPECT_THAT(train(5, 10, Config(2, 1, 4, 3)), testing::Throws<std::invalid_argument>());
  EXPECT_THAT([] { train_kmeans_gpu(Matrix<float>(), Config(0, 0, 0, 0), Cosine); },
              ThrowsMessage<std::runtime_error>(HasSubstr("CUDA support is required")));
}

TEST(KMeansTest, SeedingOnIdenticalPointsRepeatsThem) {
  // Every weight is 0 after the first pick: r is 0 and the first sample point is taken.
  arma::fmat slice(2, 6);
  slice.each_col() = arma::fvec{1.5f, -2.0f};
  const arma::fmat seeds = kmeans_pp_seed<SquaredEuclideanKernel>(slice, 4, 6);
  ASSERT_EQ(arma::size(seeds), arma::size(2, 4));
  for (arma::uword c = 0; c < 4; ++c) {
    EXPECT_EQ(seeds(0, c), 1.5f);
    EXPECT_EQ(seeds(1, c), -2.0f);
  }
}

// The check answers "stop" on its n-th call; the training must then end with Interrupted
// right there, whether it is still seeding or already iterating.
std::atomic<uint64_t> checks{0};
std::atomic<uint64_t> stop_at{0};
bool StopAtTheNthCheck() { return ++checks == stop_at; }

TEST(KMeansTest, AnInterruptionCheckStopsTheTrainingWhereItAsks) {
  SetInterruptionCheck(&StopAtTheNthCheck);
  struct Row {
    const char* where;
    uint64_t k;
    uint64_t stop_at;  // seeding asks before each of the k - 1 centroids after the first
  };
  for (const Row& row : {Row{"seeding", 64, 10}, Row{"iterations", 4, 3 + 1000}}) {
    checks = 0;
    stop_at = row.stop_at;
    EXPECT_THROW(train_kmeans_dispatch(Gaussian(500, 8, 9),
                                       Config(row.k, 100000, 16),
                                       SquaredEuclidean),
                 Interrupted)
        << row.where;
    EXPECT_EQ(checks.load(), row.stop_at) << row.where;
  }
  SetInterruptionCheck(nullptr);
  EXPECT_EQ(train_kmeans_dispatch(Gaussian(500, 8, 9), Config(4, 3, 16), SquaredEuclidean).size(),
            1u);
}

}  // namespace
}  // namespace ombrix
