#include "encrypted_store/sha3_many.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "encrypted_store/sha3.h"

namespace ombrix {
namespace {

std::vector<uint64_t> RandomLanes(std::size_t n, uint32_t seed) {
  std::mt19937_64 gen(seed);
  std::vector<uint64_t> lanes(n);
  for (auto& lane : lanes) lane = gen();
  return lanes;
}

// Every kernel this machine runs against the scalar block hash, at counts around the
// group widths (tails of one, of several, none) and in place. A kernel the CPU lacks is
// reported, not run.
TEST(Sha3ManyTest, EveryKernelMatchesTheScalarHashAtEveryTail) {
  const KeccakKernel kernels[] = {KeccakKernel::kScalar, KeccakKernel::kAvx2,
                                  KeccakKernel::kAvx512};
  const std::size_t counts[] = {0, 1, 2, 3, 4, 5, 7, 8, 9, 12, 15, 16, 17, 31, 33};
  for (KeccakKernel kernel : kernels) {
    if (!KeccakKernelSupported(kernel)) {
      std::cout << "kernel " << static_cast<int>(kernel) << " not supported here\n";
      continue;
    }
    for (std::size_t n : counts) {
      const std::vector<uint64_t> in = RandomLanes(4 * n, static_cast<uint32_t>(n));
      std::vector<uint64_t> expected(4 * n);
      for (std::size_t k = 0; k < n; ++k) Sha3_256Lanes(in.data() + 4 * k, expected.data() + 4 * k);

      // Guard lanes after the output catch a tail written past n.
      std::vector<uint64_t> out(4 * n + 4, 0xA5A5A5A5A5A5A5A5ULL);
      Sha3_256LanesMany(kernel, in.data(), out.data(), n);
      EXPECT_EQ(std::vector<uint64_t>(out.begin(), out.begin() + 4 * n), expected)
          << "kernel " << static_cast<int>(kernel) << " n " << n;
      for (std::size_t i = 4 * n; i < out.size(); ++i) EXPECT_EQ(out[i], 0xA5A5A5A5A5A5A5A5ULL);

      std::vector<uint64_t> same = in;
      Sha3_256LanesMany(kernel, same.data(), same.data(), n);
      EXPECT_EQ(same, expected) << "in place, kernel " << static_cast<int>(kernel) << " n " << n;

      // Whole padded blocks of messages of every length up to one block, against the
      // byte-string form.
      std::vector<uint64_t> blocks(kSha3RateLanes * n);
      std::vector<uint64_t> digests(4 * n);
      std::vector<std::vector<uint8_t>> messages;
      for (std::size_t k = 0; k < n; ++k) {
        const std::vector<uint64_t> lanes = RandomLanes(kSha3RateLanes, static_cast<uint32_t>(k));
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(lanes.data());
        messages.emplace_back(bytes, bytes + (k * 37) % (kMaxOneBlockBytes + 1));
        ASSERT_TRUE(PadOneBlock(messages[k].data(), messages[k].size(),
                                blocks.data() + kSha3RateLanes * k));
      }
      Sha3_256PaddedBlocksMany(kernel, blocks.data(), digests.data(), n);
      for (std::size_t k = 0; k < n; ++k) {
        EXPECT_EQ(Lane0ToU64(digests[4 * k]), Sha3_256ToU64(messages[k]))
            << "padded block, kernel " << static_cast<int>(kernel) << " n " << n << " k " << k;
      }
    }
  }
  EXPECT_TRUE(KeccakKernelSupported(BestKeccakKernel()));
  uint64_t block[kSha3RateLanes] = {};
  const std::vector<uint8_t> too_long(kMaxOneBlockBytes + 1, 1);
  EXPECT_FALSE(PadOneBlock(too_long.data(), too_long.size(), block));
}

}  // namespace
}  // namespace ombrix
