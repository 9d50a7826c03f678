// Rotation: the sign sequence (golden prefixes and an independent model of
// the generator), the Hadamard transform and the two rotate forms.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "rotation/hadamard.hpp"

namespace lodex {
namespace {

std::string signs_text(const SignVector& s, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) out += s[i] > 0 ? '+' : '-';
  return out;
}

class SignPrefixTest : public testing::TestWithParam<uint64_t> {};

// The documented first sixteen signs, identical whatever the dimension.
TEST_P(SignPrefixTest, GoldenFirstSixteen) {
  const uint64_t dim = GetParam();
  const auto s42 = make_sign_vector(dim, 42);
  const auto s0 = make_sign_vector(dim, 0);
  ASSERT_TRUE(s42.has_value() && s0.has_value());
  ASSERT_EQ(s42->size(), dim);
  EXPECT_EQ(signs_text(*s42, 16), "-+-++--++-+----+");
  EXPECT_EQ(signs_text(*s0, 16), "+++-+++--+++-+++");
  for (float v : *s42) ASSERT_TRUE(v == 1.0f || v == -1.0f);
}

INSTANTIATE_TEST_SUITE_P(Dims, SignPrefixTest, testing::Values<uint64_t>(16, 128, 4096));

// A plain model of the generator: PCG32 key words, then one ChaCha8 block
// per 16 words computed from scratch, with no buffering.
std::array<uint32_t, 16> model_chacha8_block(const std::array<uint32_t, 8>& key, uint64_t counter) {
  std::array<uint32_t, 16> in = {0x61707865, 0x3320646E, 0x79622D32, 0x6B206574};
  for (int i = 0; i < 8; ++i) in[4 + i] = key[i];
  in[12] = static_cast<uint32_t>(counter);
  in[13] = static_cast<uint32_t>(counter >> 32);
  std::array<uint32_t, 16> x = in;
  auto qr = [&x](int a, int b, int c, int d) {
    x[a] += x[b]; x[d] ^= x[a]; x[d] = std::rotl(x[d], 16);
    x[c] += x[d]; x[b] ^= x[c]; x[b] = std::rotl(x[b], 12);
    x[a] += x[b]; x[d] ^= x[a]; x[d] = std::rotl(x[d], 8);
    x[c] += x[d]; x[b] ^= x[c]; x[b] = std::rotl(x[b], 7);
  };
  for (int round = 0; round < 8; round += 2) {
    qr(0, 4, 8, 12); qr(1, 5, 9, 13); qr(2, 6, 10, 14); qr(3, 7, 11, 15);
    qr(0, 5, 10, 15); qr(1, 6, 11, 12); qr(2, 7, 8, 13); qr(3, 4, 9, 14);
  }
  for (int i = 0; i < 16; ++i) x[i] += in[i];
  return x;
}

std::array<uint32_t, 8> model_key(uint64_t seed) {
  std::array<uint32_t, 8> key{};
  uint64_t state = seed;
  for (auto& k : key) {
    state = state * 6364136223846793005ULL + 11634580027462260723ULL;
    const uint32_t xorshifted = static_cast<uint32_t>(((state >> 18) ^ state) >> 27);
    k = std::rotr(xorshifted, static_cast<int>(state >> 59));
  }
  return key;
}

// Known-answer test for the model itself: ChaCha8, all-zero key and nonce,
// block 0 (the published test vector, first 32 bytes).
TEST(SignModel, ChaCha8ZeroKeyVector) {
  const auto block = model_chacha8_block({}, 0);
  const uint8_t want[32] = {0x3e, 0x00, 0xef, 0x2f, 0x89, 0x5f, 0x40, 0xd6, 0x7f, 0x5b, 0xb8,
                            0xe8, 0x1f, 0x09, 0xa5, 0xa1, 0x2c, 0x84, 0x0e, 0xc3, 0xce, 0x9a,
                            0x7f, 0x3b, 0x18, 0x1b, 0xe1, 0x88, 0xef, 0x71, 0x1a, 0x1e};
  for (int i = 0; i < 32; ++i) EXPECT_EQ(static_cast<uint8_t>(block[i / 4] >> (8 * (i % 4))), want[i]) << i;
}

class SignModelTest : public testing::TestWithParam<uint64_t> {};

// 4096 signs cross the four-block buffer 64 times and the counter's words.
TEST_P(SignModelTest, MatchesUnbufferedGenerator) {
  const uint64_t seed = GetParam();
  const auto signs = make_sign_vector(4096, seed);
  ASSERT_TRUE(signs.has_value());
  const auto key = model_key(seed);
  for (size_t i = 0; i < signs->size(); ++i) {
    const uint32_t word = model_chacha8_block(key, i / 16)[i % 16];
    ASSERT_EQ((*signs)[i], static_cast<int32_t>(word) < 0 ? 1.0f : -1.0f) << "coordinate " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, SignModelTest,
                         testing::Values<uint64_t>(0, 1, 42, 0x123456789ABCDEFULL, ~uint64_t{0}));

class NotPowerOfTwoTest : public testing::TestWithParam<uint64_t> {};

TEST_P(NotPowerOfTwoTest, SignVectorRejectsDim) {
  for (uint64_t seed : {uint64_t{0}, uint64_t{42}, ~uint64_t{0}}) {
    const auto s = make_sign_vector(GetParam(), seed);
    ASSERT_FALSE(s.has_value());
    EXPECT_EQ(s.error().reason(), IndexError::Reason::kNotPowerOfTwo);
    EXPECT_EQ(s.error().text(), "dimension " + std::to_string(GetParam()) + " is not a power of 2");
  }
}

INSTANTIATE_TEST_SUITE_P(Dims, NotPowerOfTwoTest,
                         testing::Values<uint64_t>(0, 3, 96, (uint64_t{1} << 40) + 1, ~uint64_t{0}));

TEST(SignVector, DimOneHasOneSign) {
  const auto s = make_sign_vector(1, 42);
  ASSERT_TRUE(s.has_value());
  ASSERT_EQ(s->size(), 1u);
  EXPECT_EQ((*s)[0], -1.0f);  // the first sign for seed 42
}

// The transform written as its loop, for a bit-for-bit comparison.
void model_hadamard(std::vector<float>& x) {
  for (size_t h = 1; h < x.size(); h *= 2) {
    for (size_t s = 0; s < x.size(); s += 2 * h) {
      for (size_t j = s; j < s + h; ++j) {
        const float a = x[j];
        const float b = x[j + h];
        x[j] = a + b;
        x[j + h] = a - b;
      }
    }
  }
}

class HadamardTest : public testing::TestWithParam<size_t> {};

TEST_P(HadamardTest, BitIdenticalToButterflyLoop) {
  const size_t d = GetParam();
  std::mt19937 rng(static_cast<uint32_t>(d) + 100);
  std::normal_distribution<float> gauss;
  std::vector<float> x(d);
  for (auto& v : x) v = gauss(rng);
  std::vector<float> want = x;
  model_hadamard(want);
  hadamard_transform(x);
  EXPECT_EQ(std::memcmp(x.data(), want.data(), d * sizeof(float)), 0);
}

INSTANTIATE_TEST_SUITE_P(Sizes, HadamardTest, testing::Values<size_t>(1, 2, 4, 8, 16, 32, 64, 256, 1024, 4096));

TEST(Rotate, DocumentedExamples) {
  const std::vector<float> plus(4, 1.0f);
  const std::vector<float> x = {1, 2, 3, 4};
  EXPECT_EQ(*rotate_unscaled(x, plus), (std::vector<float>{10, -2, -4, 0}));
  EXPECT_EQ(*rotate(x, plus), (std::vector<float>{5, -1, -2, 0}));
  EXPECT_EQ(*rotate(std::vector<float>{1, 0, 0, 0}, plus), (std::vector<float>{0.5f, 0.5f, 0.5f, 0.5f}));
  EXPECT_EQ(x, (std::vector<float>{1, 2, 3, 4}));  // input untouched
  const std::vector<float> minus = {-1.0f};
  EXPECT_EQ(*rotate(std::vector<float>{0.75f}, minus), std::vector<float>{-0.75f});
}

TEST(Rotate, AppliesSignsBeforeTransformAndScalesByReciprocalRoot) {
  const auto signs = *make_sign_vector(64, 7);
  std::mt19937 rng(5);
  std::normal_distribution<float> gauss;
  std::vector<float> x(64);
  for (auto& v : x) v = gauss(rng);
  std::vector<float> want(64);
  for (size_t i = 0; i < 64; ++i) want[i] = x[i] * signs[i];
  model_hadamard(want);
  EXPECT_EQ(*rotate_unscaled(x, signs), want);
  const float r = 1.0f / std::sqrt(64.0f);
  for (auto& v : want) v = v * r;
  EXPECT_EQ(*rotate(x, signs), want);
}

struct RotateErrorCase {
  size_t x_len;
  size_t sign_len;
  IndexError::Reason kind;
  std::string text;
};

void PrintTo(const RotateErrorCase& c, std::ostream* os) { *os << c.x_len << " vs " << c.sign_len; }

class RotateErrorTest : public testing::TestWithParam<RotateErrorCase> {};

// Length is checked before power of two, even when both are powers of two.
TEST_P(RotateErrorTest, BothFormsReportInOrder) {
  const RotateErrorCase& c = GetParam();
  const std::vector<float> x(c.x_len, 1.0f);
  const std::vector<float> signs(c.sign_len, 1.0f);
  for (const auto& result : {rotate(x, signs), rotate_unscaled(x, signs)}) {
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().reason(), c.kind);
    EXPECT_EQ(result.error().text(), c.text);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RotateErrorTest,
    testing::Values(
        RotateErrorCase{4, 8, IndexError::Reason::kDimensionMismatch, "dimension mismatch: vector has 4, sign vector has 8"},
        RotateErrorCase{3, 4, IndexError::Reason::kDimensionMismatch, "dimension mismatch: vector has 3, sign vector has 4"},
        RotateErrorCase{3, 3, IndexError::Reason::kNotPowerOfTwo, "dimension 3 is not a power of 2"},
        RotateErrorCase{0, 0, IndexError::Reason::kNotPowerOfTwo, "dimension 0 is not a power of 2"}));

}  // namespace
}  // namespace lodex
