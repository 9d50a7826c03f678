// Row encoding: worked examples, error order, the unfused norm, values that
// land exactly on boundaries, and a plain scalar model over many rows.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "quant/codebook.hpp"
#include "quant/encode.hpp"
#include "rotation/hadamard.hpp"
#include "store/storage.hpp"

namespace lodex {
namespace {

// ---- A straightforward model of the encoding, one step per loop ----

struct ModelRow {
  uint16_t norm;
  std::vector<float> rescaled;  // the coordinates that get quantized
  std::vector<uint8_t> codes;   // one per coordinate
  std::vector<uint8_t> packed;
};

ModelRow model_encode(const std::vector<float>& x, const std::vector<float>& signs, uint8_t bits) {
  const size_t d = x.size();
  float s = -0.0f;
  for (size_t j = 0; j < d; ++j) {
    const float square = x[j] * x[j];
    s = s + square;
  }
  // An overflowed float32 sum is taken again in double, its root rounded once.
  double wide = 0.0;
  for (size_t j = 0; j < d; ++j) wide += static_cast<double>(x[j]) * x[j];
  const float norm = std::isinf(s) ? static_cast<float>(std::sqrt(wide)) : std::sqrt(s);
  std::vector<float> u(d, 0.0f);
  if (norm > 1e-10f) {
    for (size_t j = 0; j < d; ++j) u[j] = x[j] / norm;
  }
  for (size_t j = 0; j < d; ++j) u[j] = u[j] * signs[j];
  for (size_t h = 1; h < d; h *= 2) {
    for (size_t b = 0; b < d; b += 2 * h) {
      for (size_t j = b; j < b + h; ++j) {
        const float lo = u[j];
        const float hi = u[j + h];
        u[j] = lo + hi;
        u[j + h] = lo - hi;
      }
    }
  }
  const float root = std::sqrt(static_cast<float>(d));
  const float r = 1.0f / root;
  for (size_t j = 0; j < d; ++j) u[j] = u[j] * r;
  for (size_t j = 0; j < d; ++j) u[j] = u[j] * root;

  const auto table = *boundaries(bits);
  ModelRow row{bf16_from_f32(norm), u, std::vector<uint8_t>(d), std::vector<uint8_t>((d * bits + 7) / 8, 0)};
  for (size_t j = 0; j < d; ++j) {
    size_t size = table.size();
    size_t base = 0;
    while (size > 1) {
      const size_t half = size / 2;
      if (table[base + half] < u[j]) base += half;
      size -= half;
    }
    row.codes[j] = static_cast<uint8_t>(base + (table[base] < u[j] ? 1 : 0));
  }
  for (size_t j = 0; j < d; ++j) {
    for (unsigned k = 0; k < bits; ++k) {
      const size_t p = j * bits + k;
      if ((row.codes[j] >> k) & 1u) row.packed[p / 8] |= static_cast<uint8_t>(1u << (p % 8));
    }
  }
  return row;
}

std::vector<uint8_t> unpack(const std::vector<uint8_t>& packed, uint8_t bits, size_t n) {
  std::vector<uint8_t> codes(n, 0);
  for (size_t j = 0; j < n; ++j) {
    for (unsigned k = 0; k < bits; ++k) {
      const size_t p = j * bits + k;
      codes[j] |= static_cast<uint8_t>(((packed[p / 8] >> (p % 8)) & 1u) << k);
    }
  }
  return codes;
}

EncodedRow encode_ok(const std::vector<float>& x, const std::vector<float>& signs, uint8_t bits, bool qjl = false) {
  auto row = encode_vector(x, signs, bits, qjl);
  EXPECT_TRUE(row.has_value());
  return row.has_value() ? *row : EncodedRow{};
}

// ---- Worked examples ----

struct ExampleCase {
  std::string name;
  std::vector<float> signs;
  std::vector<float> x;
  uint8_t bits;
  uint16_t norm;
  std::vector<uint8_t> packed;
};

void PrintTo(const ExampleCase& c, std::ostream* os) { *os << c.name; }

class ExampleTest : public testing::TestWithParam<ExampleCase> {};

TEST_P(ExampleTest, DocumentedNormAndBytes) {
  const ExampleCase& c = GetParam();
  const EncodedRow row = encode_ok(c.x, c.signs, c.bits);
  EXPECT_EQ(row.norm, c.norm);
  EXPECT_EQ(row.codes, c.packed);
  EXPECT_FALSE(row.qjl_bits.has_value());
}

const std::vector<float> kSeed0Signs4 = {1, 1, 1, -1};  // first four signs for seed 0
const std::vector<float> kPlus4(4, 1.0f);
const std::vector<float> kPlus8(8, 1.0f);

INSTANTIATE_TEST_SUITE_P(
    Worked, ExampleTest,
    testing::Values(ExampleCase{"seed0_2bit", kSeed0Signs4, {1, 2, 3, 4}, 2, 0x40AF, {0x2E}},
                    ExampleCase{"plus_2bit", kPlus4, {1, 2, 3, 4}, 2, 0x40AF, {0x97}},
                    ExampleCase{"plus_3bit", kPlus4, {1, 2, 3, 4}, 3, 0x40AF, {0x9F, 0x08}},
                    ExampleCase{"zero_2bit", kPlus4, {0, 0, 0, 0}, 2, 0x0000, {0x55}},
                    ExampleCase{"basis_3bit", kPlus8, {1, 0, 0, 0, 0, 0, 0, 0}, 3, 0x3F80, {0x6D, 0xDB, 0xB6}}),
    [](const auto& p) { return p.param.name; });

// Anchors the model to the documented intermediate coordinates.
TEST(Model, WorkedExampleCoordinates) {
  EXPECT_EQ(model_encode({1, 2, 3, 4}, kSeed0Signs4, 2).rescaled,
            (std::vector<float>{0.36514837f, 1.095445f, 0.7302968f, -1.4605933f}));
  EXPECT_EQ(model_encode({1, 2, 3, 4}, kPlus4, 2).rescaled,
            (std::vector<float>{1.8257418f, -0.3651484f, -0.7302966f, 2.9802322e-08f}));
  const auto basis = model_encode({1, 0, 0, 0, 0, 0, 0, 0}, kPlus8, 3).rescaled;
  for (float v : basis) EXPECT_EQ(v, 0.99999994f);
}

class WidthTest : public testing::TestWithParam<uint8_t> {};

// Zero and tiny rows have no direction: every code sits just below zero.
TEST_P(WidthTest, NoDirectionRowsTakeCodeBelowMiddle) {
  const uint8_t bits = GetParam();
  const auto signs = *make_sign_vector(16, 42);
  const std::vector<uint8_t> middle(16, static_cast<uint8_t>((1 << (bits - 1)) - 1));
  const float tiny = 5e-11f;  // norm at most 1e-10 but not 0
  const std::vector<std::pair<std::vector<float>, float>> rows = {
      {std::vector<float>(16, 0.0f), 0.0f},
      {std::vector<float>(16, -0.0f), 0.0f},
      {[&] { std::vector<float> v(16, 0.0f); v[3] = tiny; return v; }(), tiny},
      {[&] { std::vector<float> v(16, 0.0f); v[0] = std::numeric_limits<float>::quiet_NaN(); return v; }(),
       std::numeric_limits<float>::quiet_NaN()}};
  for (const auto& [x, norm] : rows) {
    const EncodedRow row = encode_ok(x, signs, bits);
    EXPECT_EQ(unpack(row.codes, bits, 16), middle);
    EXPECT_EQ(row.norm, bf16_from_f32(norm));
  }
  EXPECT_NE(bf16_from_f32(tiny), 0u);
}

TEST_P(WidthTest, SizesAndQjlBuffer) {
  const uint8_t bits = GetParam();
  const std::vector<float> x = {1, -2, 3, -4, 5, -6, 7, -8};
  const auto signs = *make_sign_vector(8, 1);
  const EncodedRow with = encode_ok(x, signs, bits, true);
  EXPECT_EQ(with.codes.size(), bits);  // 8 coordinates: exactly `bits` bytes
  ASSERT_TRUE(with.qjl_bits.has_value());
  EXPECT_EQ(*with.qjl_bits, std::vector<uint8_t>{0x00});
  const EncodedRow without = encode_ok(x, signs, bits, false);
  EXPECT_FALSE(without.qjl_bits.has_value());
  EXPECT_EQ(without.codes, with.codes);
  EXPECT_EQ(encode_ok({1.0f}, {1.0f}, bits).codes.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Widths, WidthTest, testing::Values<uint8_t>(2, 3, 4, 5));

// ---- Errors ----

struct ErrorCase {
  size_t x_len;
  std::vector<float> signs;
  uint8_t bits;
  IndexError::Kind kind;
  std::string text;
};

void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.text; }

class EncodeErrorTest : public testing::TestWithParam<ErrorCase> {};

// Mismatch before power of two before bit width, in both entry points.
TEST_P(EncodeErrorTest, ReportsFirstFailingCheck) {
  const ErrorCase& c = GetParam();
  const std::vector<float> x(c.x_len, 1.0f);
  const auto row = encode_vector(x, c.signs, c.bits, true);
  ASSERT_FALSE(row.has_value());
  EXPECT_EQ(row.error().kind(), c.kind);
  EXPECT_EQ(row.error().text(), c.text);
  const auto encoder = RowEncoder::create(c.x_len, c.signs, c.bits);
  ASSERT_FALSE(encoder.has_value());
  EXPECT_EQ(encoder.error().kind(), c.kind);
  EXPECT_EQ(encoder.error().text(), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Order, EncodeErrorTest,
    testing::Values(
        ErrorCase{3, {1, 1, 1, 1}, 6, IndexError::Kind::kRotation, "dimension mismatch: vector has 3, sign vector has 4"},
        ErrorCase{8, {1, 1, 1, 1}, 2, IndexError::Kind::kRotation, "dimension mismatch: vector has 8, sign vector has 4"},
        ErrorCase{3, {1, 1, 1}, 6, IndexError::Kind::kRotation, "dimension 3 is not a power of 2"},
        ErrorCase{0, {}, 0, IndexError::Kind::kRotation, "dimension 0 is not a power of 2"},
        ErrorCase{4, {1, 1, 1, 1}, 6, IndexError::Kind::kCodebook, "unsupported bit-width 6. Valid: 2, 3, 4, 5"},
        ErrorCase{4, {1, 1, 1, 1}, 1, IndexError::Kind::kCodebook, "unsupported bit-width 1. Valid: 2, 3, 4, 5"},
        ErrorCase{4, {1, 1, 1, 1}, 0, IndexError::Kind::kCodebook, "unsupported bit-width 0. Valid: 2, 3, 4, 5"}));

// ---- Arithmetic order ----

float fused_norm(const std::vector<float>& x) {
  float s = -0.0f;
  for (float v : x) s = std::fma(v, v, s);
  return std::sqrt(s);
}

// A row whose bfloat16 norm depends on whether x*x is rounded before the
// addition: aim the norm at a bfloat16 rounding tie, so that a one-ulp
// difference in the sum decides the stored pattern.
TEST(Norm, UnfusedSumDecidesStoredPattern) {
  const auto signs = *make_sign_vector(8, 42);
  std::mt19937 rng(17);
  std::normal_distribution<double> gauss;
  for (uint32_t tie : {0x3F808000u, 0x40A08000u, 0x3E018000u}) {
    const double target = std::bit_cast<float>(tie);
    bool found = false;
    for (int attempt = 0; attempt < 200000 && !found; ++attempt) {
      std::vector<double> v(8);
      double n = 0;
      for (auto& e : v) {
        e = gauss(rng);
        n += e * e;
      }
      std::vector<float> x(8);
      for (size_t j = 0; j < 8; ++j) x[j] = static_cast<float>(v[j] * target / std::sqrt(n));
      const ModelRow want = model_encode(x, signs, 4);
      if (want.norm == bf16_from_f32(fused_norm(x))) continue;
      found = true;
      const EncodedRow row = encode_ok(x, signs, 4);
      EXPECT_EQ(row.norm, want.norm);
      EXPECT_EQ(row.codes, want.packed);
    }
    EXPECT_TRUE(found) << "no row separates fused from unfused sums near " << std::hex << tie;
  }
}

// Rows whose first rescaled coordinate is exactly a boundary: the value is
// not strictly above it and takes the lower code. With all signs +1 and
// x = (a, 1, ..., 1) at dim 16 the scaling is exact and that coordinate rises
// monotonically from 0 (a = -15) to 4 (a = 1), so every nonzero boundary is
// reached; negating the row mirrors it.
TEST_P(WidthTest, CoordinateOnBoundaryTakesLowerCode) {
  const uint8_t bits = GetParam();
  const auto table = *boundaries(bits);
  const std::vector<float> signs(16, 1.0f);
  auto row_for = [](float a, float sign) {
    std::vector<float> x(16, sign);
    x[0] = a * sign;
    return x;
  };
  for (size_t i = 0; i < table.size(); ++i) {
    const float b = table[i];
    if (b == 0.0f) {
      // Alternating signs cancel exactly: the coordinate is +0.0.
      std::vector<float> x(16);
      for (size_t j = 0; j < 16; ++j) x[j] = j % 2 == 0 ? 1.0f : -1.0f;
      ASSERT_EQ(std::bit_cast<uint32_t>(model_encode(x, signs, bits).rescaled[0]), 0u);
      EXPECT_EQ(unpack(encode_ok(x, signs, bits).codes, bits, 16)[0], i);
      continue;
    }
    const float sign = b < 0.0f ? -1.0f : 1.0f;
    const float target = std::fabs(b);
    double lo = -15.0;
    double hi = 1.0;
    for (int step = 0; step < 60; ++step) {
      const double mid = (lo + hi) / 2;
      (model_encode(row_for(static_cast<float>(mid), 1.0f), signs, bits).rescaled[0] < target ? lo : hi) = mid;
    }
    // Walk outwards over neighbouring floats until the coordinate is exact.
    // Rounding can step over b for one scaling of the row; another scaling
    // (same direction, different roundings) then lands on it.
    std::vector<float> x;
    for (float scale : {1.0f, 3.0f, 0.7f, 1.3f, 5.5f, 0.1f, 11.0f, 0.37f}) {
      auto scaled = [&](float a) {
        std::vector<float> v = row_for(a, sign);
        for (float& e : v) e = e * scale;
        return v;
      };
      float up = static_cast<float>(lo);
      float down = up;
      for (int step = 0; step < 20000 && x.empty(); ++step) {
        for (float a : {up, down}) {
          if (x.empty() && model_encode(scaled(a), signs, bits).rescaled[0] == b) x = scaled(a);
        }
        up = std::nextafter(up, 2.0f);
        down = std::nextafter(down, -16.0f);
      }
      if (!x.empty()) break;
    }
    ASSERT_FALSE(x.empty()) << "no row lands on boundary " << i;
    const EncodedRow row = encode_ok(x, signs, bits);
    EXPECT_EQ(unpack(row.codes, bits, 16)[0], i) << "boundary " << i << " = " << b;
    EXPECT_EQ(row.codes, model_encode(x, signs, bits).packed);
  }
}

// ---- Against the model over many rows ----

using ModelParam = std::tuple<uint64_t, uint8_t>;

class ModelTest : public testing::TestWithParam<ModelParam> {};

TEST_P(ModelTest, RowEncoderMatchesModelBitForBit) {
  const auto [dim, bits] = GetParam();
  const auto signs = *make_sign_vector(dim, dim * 31 + bits);
  auto encoder = RowEncoder::create(dim, signs, bits);
  ASSERT_TRUE(encoder.has_value());
  ASSERT_EQ(encoder->code_bytes(), code_bytes_for(dim, bits));

  std::mt19937 rng(static_cast<uint32_t>(dim * 7 + bits));
  std::normal_distribution<float> gauss;
  std::vector<std::vector<float>> rows;
  for (float scale : {1.0f, 1e-3f, 37.5f, 1e15f}) {
    for (int k = 0; k < 6; ++k) {
      std::vector<float> x(dim);
      for (auto& v : x) v = gauss(rng) * scale;
      rows.push_back(x);
    }
  }
  const float inf = std::numeric_limits<float>::infinity();
  const float specials[] = {1e-30f, 1e20f, -inf, inf, std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::denorm_min()};
  for (float special : specials) {
    std::vector<float> x = rows[0];
    x[dim / 2] = special;
    rows.push_back(x);
    rows.push_back(std::vector<float>(dim, special));
  }

  // A sentinel past the row's bytes catches writes beyond code_bytes().
  std::vector<uint8_t> out(encoder->code_bytes() + 1);
  for (size_t r = 0; r < rows.size(); ++r) {
    const ModelRow want = model_encode(rows[r], signs, bits);
    out.back() = 0xC3;
    const uint16_t norm = encoder->encode(rows[r].data(), out.data());
    ASSERT_EQ(norm, want.norm) << "row " << r;
    ASSERT_EQ(std::vector<uint8_t>(out.begin(), out.end() - 1), want.packed) << "row " << r;
    ASSERT_EQ(out.back(), 0xC3);
    const EncodedRow single = encode_ok(rows[r], signs, bits);
    ASSERT_EQ(single.norm, want.norm);
    ASSERT_EQ(single.codes, want.packed);
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, ModelTest,
                         testing::Combine(testing::Values<uint64_t>(1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 1024),
                                          testing::Values<uint8_t>(2, 3, 4, 5)));

}  // namespace
}  // namespace lodex
