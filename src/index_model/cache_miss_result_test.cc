#include "index_model/cache_miss_result.h"

#include <gtest/gtest.h>

#include <cstring>

namespace ombrix {
namespace {

TEST(PayloadRowsTest, TakenOverAsFloatsWithoutCopy) {
  PayloadRows rows(2, 8);
  const float values[4] = {1.5f, -2.0f, 3.25f, 0.0f};
  std::memcpy(rows.data(), values, sizeof(values));
  const uint8_t* storage = rows.data();
  Matrix<float> floats = rows.TakeFloats();
  EXPECT_EQ(floats.rows, 2u);
  EXPECT_EQ(floats.cols, 2u);
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(floats.data.data()), storage);
  EXPECT_EQ(floats.at(1, 0), 3.25f);
  EXPECT_EQ(rows.size(), 0u);

  PayloadRows odd(1, 6);
  EXPECT_THROW(odd.TakeFloats(), std::invalid_argument);
}

TEST(PayloadRowsTest, ResizeKeepsRowsAndZeroesNewOnes) {
  PayloadRows rows(1, 3);
  rows.row(0)[2] = 9;
  rows.Resize(3);
  EXPECT_EQ(rows.row(0)[2], 9);
  EXPECT_EQ(rows.row(2)[2], 0);
  rows.Resize(1);
  EXPECT_EQ(rows.size(), 3u);
}

}  // namespace
}  // namespace ombrix
