// Constant Lloyd-Max tables for N(0, 1) and the coordinate-to-code rule.
// Nothing here is computed at run time: the boundaries are folded by the
// compiler from the centroids with float32 arithmetic.
#include "quant/codebook.hpp"

#include <array>

namespace lodex {

namespace {

// Each literal is the float32 nearest to the decimal; the negative half is
// the exact mirror, written as a negation so symmetry holds bit for bit.
constexpr std::array<float, 4> kCentroids2 = {-1.5104f, -0.4528f, 0.4528f, 1.5104f};
constexpr std::array<float, 8> kCentroids3 = {-2.152f, -1.344f, -0.756f, -0.2451f,
                                              0.2451f, 0.756f,  1.344f,  2.152f};
constexpr std::array<float, 16> kCentroids4 = {
    -2.7326f, -2.069f, -1.618f, -1.2562f, -0.9423f, -0.6568f, -0.3881f, -0.1284f,
    0.1284f,  0.3881f, 0.6568f, 0.9423f,  1.2562f,  1.618f,   2.069f,   2.7326f};
constexpr std::array<float, 32> kCentroids5 = {
    -3.2288f, -2.6548f, -2.2788f, -1.9882f, -1.746f,  -1.5352f, -1.3463f, -1.1735f,
    -1.013f,  -0.862f,  -0.7184f, -0.5806f, -0.4473f, -0.3172f, -0.1895f, -0.063f,
    0.063f,   0.1895f,  0.3172f,  0.4473f,  0.5806f,  0.7184f,  0.862f,   1.013f,
    1.1735f,  1.3463f,  1.5352f,  1.746f,   1.9882f,  2.2788f,  2.6548f,  3.2288f};

// Boundary i: the centroid sum rounded to float32, then halved (exact).
template <size_t N>
constexpr std::array<float, N - 1> midpoints(const std::array<float, N>& c) {
  std::array<float, N - 1> b{};
  for (size_t i = 0; i + 1 < N; ++i) {
    const float sum = c[i] + c[i + 1];
    b[i] = sum / 2.0f;
  }
  return b;
}

constexpr auto kBoundaries2 = midpoints(kCentroids2);
constexpr auto kBoundaries3 = midpoints(kCentroids3);
constexpr auto kBoundaries4 = midpoints(kCentroids4);
constexpr auto kBoundaries5 = midpoints(kCentroids5);

static_assert(kBoundaries2[1] == 0.0f && kBoundaries5[15] == 0.0f);
static_assert(kBoundaries2[2] == 0.98160005f && kBoundaries3[4] == 0.50055f && kBoundaries3[6] == 1.7479999f);
static_assert(kBoundaries4[13] == 1.8435f && kBoundaries4[14] == 2.4008f);

const std::array<std::span<const float>, 4> kCentroidTables = {kCentroids2, kCentroids3, kCentroids4,
                                                               kCentroids5};
const std::array<std::span<const float>, 4> kBoundaryTables = {kBoundaries2, kBoundaries3, kBoundaries4,
                                                               kBoundaries5};

// bits 2..5 map to 0..3; 0 and 1 wrap to 254 and 255 and miss the table.
Result<std::span<const float>> select(const std::array<std::span<const float>, 4>& tables,
                                                            uint8_t bits) {
  const auto n = static_cast<uint8_t>(bits - 2);
  if (n >= tables.size()) return std::unexpected(IndexError::unsupported_bit_width(bits));
  return tables[n];
}

}  // namespace

Result<std::span<const float>> centroids(uint8_t bits) {
  return select(kCentroidTables, bits);
}

Result<std::span<const float>> boundaries(uint8_t bits) {
  return select(kBoundaryTables, bits);
}

uint8_t quantize_coordinate(float x, std::span<const float> boundaries) {
  // Strict `<`: a value on a boundary keeps the lower code, NaN never moves.
  size_t size = boundaries.size();
  size_t base = 0;
  while (size > 1) {
    const size_t half = size / 2;
    const size_t mid = base + half;
    base = boundaries[mid] < x ? mid : base;
    size -= half;
  }
  return static_cast<uint8_t>(base + (boundaries[base] < x ? 1 : 0));
}

}  // namespace lodex
