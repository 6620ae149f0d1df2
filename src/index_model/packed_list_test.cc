#include "index_model/packed_list.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

namespace ombrix {
namespace {

TEST(PackedListTest, PayloadsComeBackAsGivenAndTakeNoPadding) {
  struct Case {
    uint64_t rows;
    uint64_t width;  // bytes
  };
  // Whole blocks, tails alone, both; widths that end inside a word.
  for (const Case& c : std::vector<Case>{{0, 8}, {1, 4}, {15, 12}, {16, 8}, {17, 6}, {33, 1},
                                         {40, 0}, {50, 3072}}) {
    std::vector<uint8_t> bytes(c.rows * c.width);
    std::iota(bytes.begin(), bytes.end(), uint8_t{7});
    std::vector<std::string> ids(c.rows), metadata(c.rows);
    for (uint64_t r = 0; r < c.rows; ++r) ids[r] = "i" + std::to_string(r);
    const PackedList list(ids, metadata, bytes.data(), c.width);
    const std::string where = std::to_string(c.rows) + " x " + std::to_string(c.width);
    EXPECT_EQ(list.packed().size(), c.rows * ((c.width + 3) / 4)) << where;
    std::vector<uint8_t> row(c.width);
    for (uint64_t r = 0; r < c.rows && c.width != 0; ++r) {
      list.CopyPayload(r, row.data());
      ASSERT_EQ(0, std::memcmp(row.data(), bytes.data() + r * c.width, c.width)) << where << " row " << r;
    }
    EXPECT_EQ(list.view().ids, list.ids().data());
  }
}

TEST(PackedListTest, PackRowsPlacesTailRowsWithTheirOwnStride) {
  // 18 rows of 2: one block of 16, then 2 rows stored component by component.
  const uint64_t rows = 18, d = 2;
  std::vector<float> x(rows * d);
  for (uint64_t r = 0; r < rows; ++r) {
    x[r * d] = static_cast<float>(r);
    x[r * d + 1] = static_cast<float>(100 + r);
  }
  std::vector<float> packed(rows * d), lengths(rows);
  PackRows(x.data(), rows, d, packed.data(), lengths.data());
  EXPECT_EQ(packed[0 * kPackLanes + 3], 3.0f);
  EXPECT_EQ(packed[1 * kPackLanes + 3], 103.0f);
  const std::vector<float> tail(packed.begin() + 32, packed.end());
  EXPECT_EQ(tail, (std::vector<float>{16, 17, 116, 117}));
  EXPECT_EQ(lengths[17], std::sqrt(std::fmaf(117.0f, 117.0f, 17.0f * 17.0f)));
}

}  // namespace
}  // namespace ombrix
