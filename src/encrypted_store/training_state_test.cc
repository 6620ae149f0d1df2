// The training state record's codec: records written before the generation and the
// incarnation were kept still open (both 0), and bytes of another shape open to nothing.
#include <gtest/gtest.h>

#include <vector>

#include "encrypted_store/training_state.h"

namespace ombrix {
namespace {

TEST(TrainingStateCodecTest, RoundTripsAndReadsTheEarlierShape) {
  TrainingState state;
  state.epoch = 7;
  state.phase = TrainingState::kDeleting;
  state.trainer = 0x1122334455667788ULL;
  state.writers = {{1, 2}, {3, 4}};
  state.generation = 0xA1B2C3D4E5F60718ULL;
  state.incarnation = 99;
  const std::vector<uint8_t> bytes = EncodeTrainingState(state);
  ASSERT_EQ(bytes.size(), 30u + 32u + 16u);
  EXPECT_EQ(DecodeTrainingState(bytes), state);

  // The earlier shape: the same bytes without the last two fields.
  const std::vector<uint8_t> earlier(bytes.begin(), bytes.end() - 16);
  TrainingState expected = state;
  expected.generation = 0;
  expected.incarnation = 0;
  EXPECT_EQ(DecodeTrainingState(earlier), expected);

  struct Row {
    const char* what;
    std::vector<uint8_t> bytes;
  };
  std::vector<uint8_t> unknown_phase = bytes;
  unknown_phase[9] = 5;
  std::vector<uint8_t> other_format = bytes;
  other_format[0] = 2;
  std::vector<uint8_t> huge_count = bytes;
  huge_count[26] = huge_count[27] = huge_count[28] = huge_count[29] = 0xFF;
  const Row refused[] = {
      {"empty", {}},
      {"one byte short of the earlier shape", std::vector<uint8_t>(earlier.begin(), earlier.end() - 1)},
      {"eight bytes past the earlier shape", std::vector<uint8_t>(bytes.begin(), bytes.end() - 8)},
      {"one byte too many", [&] { auto b = bytes; b.push_back(0); return b; }()},
      {"unknown phase", unknown_phase},
      {"other format", other_format},
      {"writer count beyond the bytes", huge_count},
  };
  for (const Row& row : refused) EXPECT_FALSE(DecodeTrainingState(row.bytes).has_value()) << row.what;
}

}  // namespace
}  // namespace ombrix
