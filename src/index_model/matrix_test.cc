#include "index_model/matrix.h"

#include <gtest/gtest.h>

#include <string>

namespace ombrix {
namespace {

void ExpectRefused(std::vector<float> data, uint64_t cols) {
  try {
    Matrix<float> m(std::move(data), cols);
    FAIL() << "accepted " << cols << " columns";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Data size must be a multiple of the number of columns");
  }
}

TEST(MatrixTest, ShapeFollowsElementCountAndColumns) {
  std::vector<float> six{1, 2, 3, 4, 5, 6};
  const float* storage = six.data();
  Matrix<float> m(std::move(six), 3);
  EXPECT_EQ(m.rows, 2u);
  EXPECT_EQ(m.cols, 3u);
  EXPECT_EQ(m.data.data(), storage) << "elements must be taken over, not copied";
  EXPECT_EQ(m.at(1, 0), 4.0f);
  EXPECT_EQ(m.row(1)[2], 6.0f);

  Matrix<float> empty(std::vector<float>{}, 5);
  EXPECT_EQ(empty.rows, 0u);
  EXPECT_EQ(empty.cols, 5u);
}

TEST(MatrixTest, RefusesZeroColumnsAndRaggedData) {
  ExpectRefused({1, 2, 3, 4, 5, 6}, 4);
  ExpectRefused({}, 0);
  ExpectRefused({1, 2}, 0);
}

TEST(MatrixTest, FilledMatricesAndDefaults) {
  Matrix<std::string> ids(2, 3, "");
  EXPECT_EQ(ids.data.size(), 6u);
  Matrix<uint32_t> codes(4, 1, 7u);
  EXPECT_EQ(codes.at(3, 0), 7u);
  Matrix<uint8_t> none;
  EXPECT_EQ(none.rows, 0u);
  EXPECT_EQ(none.cols, 0u);
  EXPECT_TRUE(none.data.empty());
}

}  // namespace
}  // namespace ombrix
