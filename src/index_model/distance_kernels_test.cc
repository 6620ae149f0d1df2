#include "index_model/distance_kernels.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <random>
#include <string>

namespace ombrix {
namespace {

arma::fmat SmallIntegers(arma::uword rows, arma::uword cols, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_int_distribution<int> value(-4, 4);
  arma::fmat m(rows, cols);
  m.imbue([&] { return static_cast<float>(value(gen)); });
  return m;
}

double Dot(const arma::fmat& a, arma::uword i, const arma::fmat& b, arma::uword j) {
  double s = 0;
  for (arma::uword r = 0; r < a.n_rows; ++r) s += double(a(r, i)) * double(b(r, j));
  return s;
}

double CosineReference(const arma::fmat& x, arma::uword i, const arma::fmat& y, arma::uword j) {
  const double norms = std::sqrt(Dot(x, i, x, i)) * std::sqrt(Dot(y, j, y, j));
  return norms == 0 ? 1.0 : 1.0 - Dot(x, i, y, j) / norms;
}

double SquaredEuclideanReference(const arma::fmat& x, arma::uword i, const arma::fmat& y,
                                 arma::uword j) {
  double s = 0;
  for (arma::uword r = 0; r < x.n_rows; ++r) s += std::pow(double(x(r, i)) - double(y(r, j)), 2);
  return s;
}

TEST(DistanceKernelsTest, ResultHasOneRowPerReferenceAndMatchesDoubleReference) {
  const arma::fmat x = SmallIntegers(4, 3, 1);
  arma::fmat y = SmallIntegers(4, 5, 2);
  y.col(4).zeros();
  const arma::fmat cos = cosine_distance_matrix(x, y);
  const arma::fmat sq = squared_euclidean_distance_matrix(x, y);
  ASSERT_EQ(cos.n_rows, 5u);
  ASSERT_EQ(cos.n_cols, 3u);
  ASSERT_EQ(sq.n_rows, 5u);
  ASSERT_EQ(sq.n_cols, 3u);
  for (arma::uword j = 0; j < 5; ++j) {
    for (arma::uword i = 0; i < 3; ++i) {
      EXPECT_NEAR(cos(j, i), CosineReference(x, i, y, j), 1e-6) << j << "," << i;
      // Small integers: every step of the expansion is exact in single precision.
      EXPECT_EQ(sq(j, i), SquaredEuclideanReference(x, i, y, j)) << j << "," << i;
    }
  }
}

TEST(DistanceKernelsTest, ZeroVectorRules) {
  arma::fmat x = SmallIntegers(6, 3, 3);
  x.col(1).zeros();
  const arma::fmat cos = cosine_distance_matrix(x, x);
  for (arma::uword j = 0; j < 3; ++j) {
    EXPECT_EQ(cos(j, 1), 1.0f) << "zero vector against column " << j;
    EXPECT_EQ(cos(1, j), 1.0f) << "column " << j << " against zero vector";
  }
  const arma::fmat sq = squared_euclidean_distance_matrix(x, x);
  for (arma::uword j = 0; j < 3; ++j) {
    EXPECT_EQ(sq(j, 1), arma::accu(arma::square(x.col(j))));
  }
  EXPECT_EQ(x.col(0)(0), SmallIntegers(6, 3, 3)(0, 0)) << "inputs are not modified";
}

TEST(DistanceKernelsTest, ScaledAndIdenticalVectorsAreNearZeroAndNotClamped) {
  arma::fmat x(5, 2);
  x.col(0) = {0.3f, -1.7f, 2.9f, 0.01f, 5.5f};
  x.col(1) = 3.0f * x.col(0);
  const arma::fmat cos = cosine_distance_matrix(x, x);
  EXPECT_NEAR(cos(0, 1), 0.0f, 1e-6);
  const arma::fmat sq = squared_euclidean_distance_matrix(x, x);
  EXPECT_NEAR(sq(0, 0), 0.0f, 1e-4);
  EXPECT_NEAR(sq(1, 1), 0.0f, 1e-3);
}

TEST(DistanceKernelsTest, EmptyOperands) {
  const arma::fmat some = SmallIntegers(4, 3, 4);
  const arma::fmat none(4, 0);
  EXPECT_EQ(arma::size(cosine_distance_matrix(none, some)), arma::size(3, 0));
  EXPECT_EQ(arma::size(cosine_distance_matrix(some, none)), arma::size(0, 3));
  EXPECT_EQ(arma::size(squared_euclidean_distance_matrix(none, some)), arma::size(3, 0));
  EXPECT_EQ(arma::size(squared_euclidean_distance_matrix(some, none)), arma::size(0, 3));

  const arma::fmat x(0, 3), y(0, 2);
  const arma::fmat cos = cosine_distance_matrix(x, y);
  const arma::fmat sq = squared_euclidean_distance_matrix(x, y);
  ASSERT_EQ(arma::size(cos), arma::size(2, 3));
  ASSERT_EQ(arma::size(sq), arma::size(2, 3));
  EXPECT_TRUE(arma::all(arma::vectorise(cos) == 1.0f));
  EXPECT_TRUE(arma::all(arma::vectorise(sq) == 0.0f));
}

TEST(DistanceKernelsTest, MismatchedRowsGiveTheMatrixLibraryText) {
  const arma::fmat x = SmallIntegers(3, 3, 5);
  const arma::fmat y = SmallIntegers(4, 5, 6);
  const std::string expected = "matrix multiplication: incompatible matrix dimensions: 5x4 and 3x3";
  try {
    cosine_distance_matrix(x, y);
    FAIL() << "cosine accepted mismatched rows";
  } catch (const std::logic_error& e) {
    EXPECT_EQ(e.what(), expected);
  }
  try {
    squared_euclidean_distance_matrix(x, y);
    FAIL() << "squared Euclidean accepted mismatched rows";
  } catch (const std::logic_error& e) {
    EXPECT_EQ(e.what(), expected);
  }
}

TEST(DistanceKernelsTest, MetricRuleAndGpuMessage) {
  auto name = [](auto kernel) -> std::string {
    return std::is_same_v<decltype(kernel), CosineKernel> ? "cosine" : "squared";
  };
  EXPECT_EQ(WithKernel(Cosine, name), "cosine");
  EXPECT_EQ(WithKernel(Euclidean, name), "squared");
  EXPECT_EQ(WithKernel(SquaredEuclidean, name), "squared");
  for (int32_t bad : {3, -1, 1000}) {
    try {
      WithKernel(bad, name);
      FAIL() << "metric " << bad << " accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "Unsupported distance metric.");
    }
  }
  EXPECT_THAT([] { ThrowCudaUnavailable(); },
              testing::ThrowsMessage<std::runtime_error>(testing::StartsWith(
                  "CUDA support is required, but the library was built without CUDA.")));
}

TEST(DistanceKernelsTest, ColumnViewSharesStorage) {
  Matrix<float> m(std::vector<float>{1, 2, 3, 4, 5, 6}, 3);
  const arma::fmat view = ColumnView(m);
  ASSERT_EQ(arma::size(view), arma::size(3, 2));
  EXPECT_EQ(view.memptr(), m.data.data());
  EXPECT_EQ(view(0, 1), 4.0f) << "row 1 of the Matrix is column 1 of the operand";
  EXPECT_EQ(arma::size(ColumnView(Matrix<float>(std::vector<float>{}, 4))), arma::size(4, 0));
}

uint64_t ScanForLeast(const std::vector<float>& values) {
  uint64_t best = 0;
  for (uint64_t c = 1; c < values.size(); ++c) {
    if (values[c] < values[best]) best = c;
  }
  return best;
}

TEST(FirstLeastTest, AgreesWithTheScanOnEdgesAndAtRandom) {
  const float nan = std::nanf("");
  const float inf = INFINITY;
  const std::vector<std::vector<float>> edges = {
      {3.0f},
      {nan, -1.0f, -2.0f},
      {2.0f, nan, 1.0f, nan},
      {0.0f, -0.0f, 0.0f},
      {1.0f, -0.0f, 0.0f, -0.0f},
      {inf, inf, -inf, -inf},
      {5.0f, nan, nan, nan, nan, nan, nan, nan, nan, nan, nan, nan, nan, nan, nan, nan, nan, nan},
      {4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 1, 1},
  };
  for (const auto& values : edges) {
    EXPECT_EQ(FirstLeast(values.data(), values.size()), ScanForLeast(values)) << values.size() << " values";
  }
  // Few distinct values make ties; NaN and both zeros appear anywhere.
  std::mt19937 gen(17);
  std::uniform_int_distribution<int> pick(-3, 4);
  for (uint64_t n = 1; n <= 70; ++n) {
    for (int round = 0; round < 40; ++round) {
      std::vector<float> values(n);
      for (float& v : values) {
        const int p = pick(gen);
        v = p == 4 ? nan : p == -3 ? -0.0f : static_cast<float>(p);
      }
      ASSERT_EQ(FirstLeast(values.data(), n), ScanForLeast(values)) << n << " values, round " << round;
    }
  }
}

// The lanes against a plain scan that skips NaN, at every length around the lanes' width,
// with infinities, NaNs of either sign, zeros of either sign and subnormals anywhere.
TEST(LargestMagnitudeTest, MatchesAScanThatSkipsNan) {
  std::mt19937 gen(29);
  std::uniform_int_distribution<int> power(-149, 127);
  std::uniform_int_distribution<int> kind(0, 11);
  for (uint64_t n = 0; n <= 50; ++n) {
    for (int round = 0; round < 30; ++round) {
      std::vector<float> x(n);
      float expected = 0.0f;
      for (float& v : x) {
        const int k = kind(gen);
        v = k == 0   ? std::nanf("")
            : k == 1 ? -std::nanf("")
            : k == 2 ? -0.0f
            : k == 3 ? (round % 2 ? -INFINITY : INFINITY)
                     : std::ldexp(k % 2 ? -1.0f : 1.75f, power(gen));
        if (!std::isnan(v)) expected = std::max(expected, std::fabs(v));
      }
      const float got = LargestMagnitude(x.data(), n);
      ASSERT_EQ(std::bit_cast<uint32_t>(got), std::bit_cast<uint32_t>(expected))
          << n << " values, round " << round;
    }
  }
}

// A vector's exponent is that of its largest magnitude alone, wherever it lies among
// NaNs, zeros and values of every size.
TEST(CosineScaleExponentTest, FollowsTheLargestMagnitudeAnywhere) {
  std::mt19937 gen(23);
  std::uniform_int_distribution<int> power(-140, 120);
  std::uniform_int_distribution<int> kind(0, 9);
  for (uint64_t n = 1; n <= 50; ++n) {
    for (int round = 0; round < 30; ++round) {
      std::vector<float> x(n);
      float largest = 0.0f;
      for (float& v : x) {
        const int k = kind(gen);
        v = k == 0 ? std::nanf("") : k == 1 ? -0.0f : std::ldexp(k % 2 ? -1.5f : 1.25f, power(gen));
        if (!std::isnan(v)) largest = std::max(largest, std::fabs(v));
      }
      ASSERT_EQ(CosineScaleExponent(x.data(), n), CosineScaleExponent(&largest, 1))
          << n << " values, round " << round;
    }
  }
}

}  // namespace
}  // namespace ombrix
