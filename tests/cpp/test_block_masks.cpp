// The scan driver's block tests (kernels/block_masks.hpp: SSE2 on x86-64,
// portable loops elsewhere) against the plain loops they stand for, on every
// length a run or a block can have.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "kernels/block_masks.hpp"

namespace lodex {
namespace {

TEST(BlockMasks, BlocksWithSurvivorsAreTheNonzeroMasks) {
  std::mt19937 rng(5);
  for (size_t blocks = 0; blocks <= 32; ++blocks) {
    std::vector<uint16_t> masks(blocks);
    uint32_t want = 0;
    for (size_t b = 0; b < blocks; ++b) {
      masks[b] = rng() % 3 == 0 ? 0 : static_cast<uint16_t>(1u << rng() % 16);
      want |= static_cast<uint32_t>(masks[b] != 0) << b;
    }
    EXPECT_EQ(blocks_with_survivors(masks.data(), blocks), want) << blocks << " blocks";
  }
}

// Keys equal to the root count, NaN keys never do; a short last block too.
TEST(BlockMasks, BlocksAtOrAboveCountEqualKeysAndNoNaN) {
  constexpr float kInf = std::numeric_limits<float>::infinity();
  const float values[] = {std::numeric_limits<float>::quiet_NaN(), -kInf, -1.0f, -0.0f, 0.0f, 1.0f, kInf};
  std::mt19937 rng(9);
  for (size_t rows = 1; rows <= 32 * 16; rows += rows < 40 ? 1 : 23) {
    for (int trial = 0; trial < 20; ++trial) {
      std::vector<float> keys(rows);
      uint32_t want = 0;
      const float root = values[1 + rng() % 6];
      for (size_t i = 0; i < rows; ++i) {
        // Mostly keys below the root, so that blocks without one occur.
        keys[i] = rng() % 8 == 0 ? values[rng() % 7] : values[rng() % 3];
        want |= static_cast<uint32_t>(keys[i] >= root) << (i / 16);
      }
      EXPECT_EQ(blocks_at_or_above(keys.data(), rows, root), want) << rows << " rows, root " << root;
    }
  }
}

}  // namespace
}  // namespace lodex
