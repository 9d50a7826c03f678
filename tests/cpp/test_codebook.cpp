// Codebook tables and coordinate quantization: table contents, the midpoint
// rule, the documented boundary cases and the binary search itself.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "quant/codebook.hpp"

namespace lodex {
namespace {

class TableTest : public testing::TestWithParam<uint8_t> {};

TEST_P(TableTest, CentroidsMatchDecimalsAndAreSymmetric) {
  const uint8_t bits = GetParam();
  // Positive halves as documented, middle outwards.
  const std::vector<std::vector<float>> positive = {
      {0.4528f, 1.5104f},
      {0.2451f, 0.756f, 1.344f, 2.152f},
      {0.1284f, 0.3881f, 0.6568f, 0.9423f, 1.2562f, 1.618f, 2.069f, 2.7326f},
      {0.063f, 0.1895f, 0.3172f, 0.4473f, 0.5806f, 0.7184f, 0.862f, 1.013f, 1.1735f, 1.3463f, 1.5352f, 1.746f,
       1.9882f, 2.2788f, 2.6548f, 3.2288f}};
  const auto c = centroids(bits);
  ASSERT_TRUE(c.has_value());
  const size_t n = size_t{1} << bits;
  ASSERT_EQ(c->size(), n);
  const std::vector<float>& half = positive[bits - 2];
  for (size_t i = 0; i < n / 2; ++i) {
    EXPECT_EQ((*c)[n / 2 + i], half[i]) << i;
    EXPECT_EQ(std::bit_cast<uint32_t>((*c)[n - 1 - i]), std::bit_cast<uint32_t>(-(*c)[i])) << i;
  }
  for (size_t i = 0; i + 1 < n; ++i) EXPECT_LT((*c)[i], (*c)[i + 1]);
}

TEST_P(TableTest, BoundariesAreRoundedSumHalved) {
  const uint8_t bits = GetParam();
  const auto c = centroids(bits);
  const auto b = boundaries(bits);
  ASSERT_TRUE(b.has_value());
  const size_t n = size_t{1} << bits;
  ASSERT_EQ(b->size(), n - 1);
  for (size_t i = 0; i + 1 < n; ++i) {
    volatile float sum = (*c)[i] + (*c)[i + 1];  // forced to a float32 before halving
    const float want = sum / 2.0f;
    EXPECT_EQ(std::bit_cast<uint32_t>((*b)[i]), std::bit_cast<uint32_t>(want)) << i;
    EXPECT_EQ((*b)[n - 2 - i], -(*b)[i]) << i;  // the middle one is its own mirror
  }
  EXPECT_EQ(std::bit_cast<uint32_t>((*b)[n / 2 - 1]), 0u);  // +0.0, the middle boundary
}

// Every value on or next to a boundary, plus random values, against a plain
// count of boundaries strictly below: catches off-by-one in the search.
TEST_P(TableTest, BinarySearchEqualsLinearCount) {
  const auto b = *boundaries(GetParam());
  auto count = [&](float x) {
    uint8_t n = 0;
    for (float v : b) n += v < x ? 1 : 0;
    return n;
  };
  std::vector<float> probes = {0.0f, -0.0f, std::numeric_limits<float>::infinity(),
                               -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::denorm_min()};
  for (float v : b) {
    probes.push_back(v);
    probes.push_back(std::nextafter(v, 10.0f));
    probes.push_back(std::nextafter(v, -10.0f));
  }
  std::mt19937 rng(3);
  std::normal_distribution<float> gauss(0.0f, 1.5f);
  for (int i = 0; i < 5000; ++i) probes.push_back(gauss(rng));
  for (float x : probes) ASSERT_EQ(quantize_coordinate(x, b), count(x)) << x;
}

TEST_P(TableTest, NaNTakesCodeZeroAndZerosTheCodeBelowMiddle) {
  const uint8_t bits = GetParam();
  const auto b = *boundaries(bits);
  EXPECT_EQ(quantize_coordinate(std::numeric_limits<float>::quiet_NaN(), b), 0);
  EXPECT_EQ(quantize_coordinate(-std::numeric_limits<float>::quiet_NaN(), b), 0);
  EXPECT_EQ(quantize_coordinate(0.0f, b), (1 << (bits - 1)) - 1);
  EXPECT_EQ(quantize_coordinate(-0.0f, b), (1 << (bits - 1)) - 1);
  EXPECT_EQ(quantize_coordinate(std::numeric_limits<float>::infinity(), b), (1 << bits) - 1);
  EXPECT_EQ(quantize_coordinate(-std::numeric_limits<float>::infinity(), b), 0);
}

INSTANTIATE_TEST_SUITE_P(Widths, TableTest, testing::Values<uint8_t>(2, 3, 4, 5));

TEST(Boundaries, DocumentedPositiveValues) {
  const std::vector<std::pair<uint8_t, std::vector<float>>> cases = {
      {2, {0.98160005f}},
      {3, {0.50055f, 1.05f, 1.7479999f}},
      {4, {0.25825f, 0.52245f, 0.79955f, 1.09925f, 1.4370999f, 1.8435f, 2.4008f}}};
  for (const auto& [bits, want] : cases) {
    const auto b = *boundaries(bits);
    const size_t middle = b.size() / 2;
    for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(b[middle + 1 + i], want[i]) << int{bits} << " " << i;
  }
}

struct QuantizeCase {
  uint8_t bits;
  float x;
  uint8_t code;
};

class QuantizeGoldenTest : public testing::TestWithParam<QuantizeCase> {};

TEST_P(QuantizeGoldenTest, DocumentedCode) {
  const QuantizeCase& c = GetParam();
  EXPECT_EQ(quantize_coordinate(c.x, *boundaries(c.bits)), c.code) << c.x;
}

INSTANTIATE_TEST_SUITE_P(
    BoundaryCases, QuantizeGoldenTest,
    testing::Values(QuantizeCase{2, -1.0f, 0}, QuantizeCase{2, -0.98160005f, 0},
                    // The float32 nearest to -0.9816 lies just above the boundary.
                    QuantizeCase{2, -0.9816f, 1}, QuantizeCase{2, -0.5f, 1}, QuantizeCase{2, 0.0f, 1},
                    QuantizeCase{2, -0.0f, 1}, QuantizeCase{2, 0.3f, 2}, QuantizeCase{2, 0.98160005f, 2},
                    QuantizeCase{2, 0.99f, 3}, QuantizeCase{2, 100.0f, 3}, QuantizeCase{3, 0.50055f, 4},
                    QuantizeCase{3, 0.5006f, 5}, QuantizeCase{3, -2.5f, 0}, QuantizeCase{3, 2.5f, 7},
                    QuantizeCase{5, 2.9419f, 31}, QuantizeCase{5, 2.9418f, 30}, QuantizeCase{5, 0.0f, 15}));

class UnsupportedWidthTest : public testing::TestWithParam<uint8_t> {};

TEST_P(UnsupportedWidthTest, BothTablesRejectCarryingTheWidth) {
  const uint8_t bits = GetParam();
  const auto c = centroids(bits);
  const auto b = boundaries(bits);
  ASSERT_FALSE(c.has_value());
  ASSERT_FALSE(b.has_value());
  EXPECT_EQ(c.error().reason(), IndexError::Reason::kUnsupportedBitWidth);
  EXPECT_EQ(c.error().text(), b.error().text());
  EXPECT_EQ(b.error().text(), "unsupported bit-width " + std::to_string(bits) + ". Valid: 2, 3, 4, 5");
}

INSTANTIATE_TEST_SUITE_P(Widths, UnsupportedWidthTest, testing::Values<uint8_t>(0, 1, 6, 7, 8, 255));

}  // namespace
}  // namespace lodex
