#include "index_model/quantize.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <omp.h>

#include <random>
#include <thread>
#include <vector>

#include "index_model/distance_kernels.h"
#include "index_model/test_data.h"
#include "index_model/testing/scoped_omp_threads.h"

namespace ombrix {
namespace {

using testing::HasSubstr;
using testing::ThrowsMessage;
using testing_data::BookOf;
using testing_data::Uniform;

TEST(QuantizeTest, EqualDistancesGoToTheLowestCentroid) {
  const Matrix<float> point(std::vector<float>{0, 0}, 2);
  const Codebook squared = BookOf(Matrix<float>({10, 0, 0, 10, 1, 0, 5, 5, -7, 0, -1, 0}, 2));
  for (DistanceMetric metric : {Euclidean, SquaredEuclidean}) {
    EXPECT_EQ(quantize_dispatch(point, {squared}, metric).at(0, 0), 2u);
  }
  const Matrix<float> direction(std::vector<float>{1, 0}, 2);
  const Codebook cosine = BookOf(Matrix<float>({-1, 0, 0, 1, 1, 1, 0, -1, -1, -1, 1, -1}, 2));
  EXPECT_EQ(quantize_dispatch(direction, {cosine}, Cosine).at(0, 0), 2u);
}

TEST(QuantizeTest, BlocksNeverChangeAnAssignment) {
  const Matrix<float> vectors = Uniform(2500, 16, 1);
  const Matrix<float> centroids = Uniform(37, 16, 2);
  for (DistanceMetric metric : {Cosine, SquaredEuclidean}) {
    const Matrix<uint32_t> got = quantize_dispatch(vectors, {BookOf(centroids)}, metric);
    ASSERT_EQ(got.rows, 2500u);
    ASSERT_EQ(got.cols, 1u);
    const arma::fmat whole =
        metric == Cosine ? cosine_distance_matrix(ColumnView(vectors), ColumnView(centroids))
                         : squared_euclidean_distance_matrix(ColumnView(vectors), ColumnView(centroids));
    for (arma::uword i = 0; i < 2500; ++i) {
      EXPECT_EQ(got.at(i, 0), whole.col(i).index_min()) << "vector " << i;
    }
  }
  const Matrix<uint32_t> euclidean = quantize_dispatch(vectors, {BookOf(centroids)}, Euclidean);
  EXPECT_EQ(euclidean.data, quantize_dispatch(vectors, {BookOf(centroids)}, SquaredEuclidean).data);
}

// Vectors and centroids scaled by one power of two go to the lists the unscaled ones go
// to: before scaling, squares of 2^70 pass a float and squares of 2^-100 vanish.
TEST(QuantizeTest, ExtremeMagnitudesAssignAsTheUnscaledVectors) {
  const Matrix<float> vectors = Uniform(2500, 16, 6);
  const Matrix<float> centroids = Uniform(37, 16, 7);
  const Matrix<uint32_t> want = quantize_dispatch(vectors, {BookOf(centroids)}, SquaredEuclidean);
  for (int k : {70, 100, -100}) {
    const Matrix<uint32_t> got =
        quantize_dispatch(testing_data::ScaledBy(vectors, k),
                          {BookOf(testing_data::ScaledBy(centroids, k))}, SquaredEuclidean);
    EXPECT_EQ(got.data, want.data) << "2^" << k;
  }
}

TEST(QuantizeTest, SubspacesAreIndependentAndTeamSizeDoesNotMatter) {
  const Matrix<float> vectors = Uniform(1200, 6, 3);
  const std::vector<Codebook> books{BookOf(Uniform(5, 2, 4)), BookOf(Uniform(9, 2, 5)),
                                    BookOf(Uniform(3, 2, 6))};
  Matrix<uint32_t> one, eight;
  {
    testing_support::ScopedOmpThreads team(1);
    one = quantize_dispatch(vectors, books, Cosine);
    team.Set(8);
    eight = quantize_dispatch(vectors, books, Cosine);
  }
  EXPECT_EQ(one.data, eight.data);
  ASSERT_EQ(one.cols, 3u);
  for (uint64_t j = 0; j < 3; ++j) {
    std::vector<float> slice;
    for (uint64_t i = 0; i < vectors.rows; ++i) {
      slice.insert(slice.end(), vectors.row(i) + 2 * j, vectors.row(i) + 2 * j + 2);
    }
    const Matrix<uint32_t> alone = quantize_dispatch(Matrix<float>(std::move(slice), 2), {books[j]}, Cosine);
    for (uint64_t i = 0; i < vectors.rows; ++i) ASSERT_EQ(one.at(i, j), alone.at(i, 0));
  }
}

TEST(QuantizeTest, EmptyBatchGivesNoRows) {
  const Matrix<uint32_t> out =
      quantize_dispatch(Matrix<float>(std::vector<float>{}, 4), {BookOf(Uniform(3, 2, 1)), BookOf(Uniform(3, 2, 2))}, Cosine);
  EXPECT_EQ(out.rows, 0u);
  EXPECT_EQ(out.cols, 2u);
}

TEST(QuantizeTest, RefusalsAndTheirOrder) {
  const Matrix<float> ten = Uniform(4, 10, 1);
  const std::vector<Codebook> three(3, BookOf(Uniform(2, 3, 2)));
  testing::internal::CaptureStderr();
  EXPECT_THAT([&] { quantize_dispatch(ten, three, static_cast<DistanceMetric>(3)); },
              ThrowsMessage<std::runtime_error>("Unsupported distance metric."));
  EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr("[ERROR] Unsupported distance metric."));
  const std::string indivisible = "Vector dimension must be divisible by the number of subvectors.";
  EXPECT_THAT([&] { quantize_dispatch(ten, three, Cosine); }, ThrowsMessage<std::invalid_argument>(indivisible));
  EXPECT_THAT([&] { quantize_dispatch(ten, {}, Cosine); }, ThrowsMessage<std::invalid_argument>(indivisible));

  const Matrix<float> four = Uniform(4, 4, 3);
  Codebook wide = BookOf(Uniform(3, 5, 4));
  Codebook overstated = BookOf(Uniform(3, 4, 5));
  overstated.n_centroids = 4;
  Codebook empty;
  empty.centroids.cols = 4;
  for (const Codebook& bad : {wide, overstated, empty}) {
    EXPECT_THAT([&] { quantize_dispatch(four, {bad}, Euclidean); }, testing::Throws<std::invalid_argument>());
  }
  EXPECT_THAT([] { quantize_gpu(Matrix<float>(), {}, Cosine); },
              ThrowsMessage<std::runtime_error>(HasSubstr("CUDA support is required")));
}

// Each member of an assignment against 1,024 centroids needs 4 MiB of distances. Kept per
// thread, they stayed with every pool thread that ran a block, long after its callers ended.
TEST(QuantizeTest, AssignmentsKeepNoScratchAfterTheirCallersEnd) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizer's allocator does not report the heap in use";
#else
  testing_support::ScopedOmpThreads threads(8);
  const Codebook book = BookOf(Uniform(1024, 32, 3));
  const Matrix<float> vectors = Uniform(8000, 32, 4);
  auto heap_in_use = [] {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
  };
  static_cast<void>(quantize_dispatch(vectors, {book}, SquaredEuclidean));  // pools made
  const size_t before = heap_in_use();
  std::vector<std::thread> callers;
  for (int c = 0; c < 4; ++c) {
    callers.emplace_back([&] { static_cast<void>(quantize_dispatch(vectors, {book}, Cosine)); });
  }
  for (std::thread& caller : callers) caller.join();
  EXPECT_LT(heap_in_use(), before + (size_t{4} << 20)) << "heap in use grew by at least 4 MiB";
#endif
}

}  // namespace
}  // namespace ombrix
