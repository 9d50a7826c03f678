// The first pass's u8 tables and bound constants, computed per query in
// double precision. Why skipping is exact:
//
// Let e[j][c] be the float32 table entries, and a term t a coordinate (at 2
// bits a pair of neighbouring coordinates, whose value is the sum of their
// two entries). A row's exact score is s = fl(S * f): S is the float32 sum of
// its entries in coordinate order from +0.0, f = fl(norm * scale).
//
// 1. S against the real sum S_r = sum_j e[j][c_j]: recursive summation of
//    dim terms makes dim - 1 rounded additions, so |S - S_r| <= F with
//    F = gamma(dim - 1) * G, G = sum_j max_c |e[j][c]|, gamma(n) = n u / (1 - n u),
//    u = 2^-24 (no overflow: G is kept far below the float32 range, and an
//    addition of subnormals is exact).
// 2. Per term t: m_t = min_v value_t(v), an integer weight w_t >= 1 and
//    q_t(v) = an integer in 0..255 near (value_t(v) - m_t) / (delta * w_t),
//    for a float32 delta > 0. For any such choice
//    value_t(v) = m_t + delta * w_t * q_t(v) + r_t(v) with r_t(v) real, so
//    S_r = M + delta * A + sum_t r_t <= M + delta * A + E, M = sum_t m_t,
//    A = sum_t w_t * q_t(v_t) (the integer the kernels add),
//    E = sum_t max_v r_t(v). Hence S <= delta * A + C_r, C_r = M + E + F.
// 3. M, E, F and G are computed in double; their rounding errors are far
//    below 2^-30 * (G + W), W = 255 * delta * sum_t w_t >= |delta * A|,
//    which is added. The kernels compute U = fl(fl(fl(delta * A) + C) * f) in float32
//    (A < 2^24 converts exactly); the first two roundings lose at most
//    u * (W + |C| + W) plus 2^-149 for a subnormal, which the pad
//    2^-21 * (W + |C_r| + G) + 2^-140 covers. C is the pad-added constant
//    rounded up to float32. So y = fl(fl(delta * A) + C) >= delta * A + C_r >= S.
// 4. For finite f >= 0 (this includes -0), y * f >= S * f as reals. Rounding
//    to nearest is monotone and pred(theta), the float below theta, is
//    representable, so s = fl(S * f) >= theta implies S * f > pred(theta),
//    hence y * f > pred(theta) and U = fl(y * f) >= pred(theta).
//    Contrapositive: U < pred(theta) implies s < theta, a row that the exact
//    scan drops against a root theta (and a root only rises once the heap is
//    full, so a stale threshold stays valid). NaN, infinite or negative f is
//    never skipped; a NaN U never compares below anything.
#include "first_pass.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "kernels/scan.hpp"

namespace lodex {

namespace {

// Beyond these the bound is either not exact in float32 (A must stay below
// 2^24) or too loose to skip anything (F grows with dim).
constexpr uint64_t kMaxPassDim = uint64_t{1} << 16;
constexpr double kMaxMagnitude = 0x1p100;  // G far below FLT_MAX: no overflow anywhere
constexpr double kMinMagnitude = 0x1p-60;  // pads stay normal float32 numbers

}  // namespace

bool first_pass_shape_ok(uint64_t dim, uint8_t bits) {
  return bits >= 2 && bits <= 5 && dim >= 32 && dim % 32 == 0 && dim <= kMaxPassDim;
}

std::optional<PassPlan> build_pass_table(const float* entries, size_t stride, uint64_t dim, uint8_t bits,
                                         uint8_t* table) {
  if (!first_pass_shape_ok(dim, bits)) return std::nullopt;
  const size_t n = size_t{1} << bits;
  double g = 0.0;
  for (uint64_t j = 0; j < dim; ++j) {
    double largest = 0.0;
    for (size_t c = 0; c < n; ++c) {
      const float e = entries[j * stride + c];
      if (!std::isfinite(e)) return std::nullopt;
      largest = std::max(largest, std::fabs(static_cast<double>(e)));
    }
    g += largest;
  }
  g *= 1.0 + 0x1p-40;  // an upper bound of the real sum
  if (!(g <= kMaxMagnitude) || !(g >= kMinMagnitude)) return std::nullopt;

  const uint64_t terms = first_pass_terms(dim, bits);
  const size_t values = first_pass_values(bits);
  std::array<double, 32> buffer;
  const std::span<double> value(buffer.data(), values);
  auto term_values = [&](uint64_t t) {
    for (size_t v = 0; v < values; ++v) {
      value[v] = bits == 2 ? static_cast<double>(entries[2 * t * stride + (v & 3)]) +
                                 static_cast<double>(entries[(2 * t + 1) * stride + (v >> 2)])
                           : static_cast<double>(entries[t * stride + v]);
    }
  };

  double widest = 0.0;
  for (uint64_t t = 0; t < terms; ++t) {
    term_values(t);
    const auto [lo, hi] = std::minmax_element(value.begin(), value.end());
    widest = std::max(widest, *hi - *lo);
  }
  // Weights up to kMaxWeight, fewer for very many terms so that A stays
  // below 2^24 (255 * sum of weights); delta is the finest step, the widest
  // term's range over 255 * kMaxWeight. Any positive delta and weights keep
  // the bound valid: they only decide how tight it is. delta stays a normal
  // float32.
  const double max_weight = std::clamp<double>(std::floor(65000.0 / static_cast<double>(terms)), 1.0, 127.0);
  const float delta = std::max(static_cast<float>(widest / (255.0 * max_weight)), 0x1p-100f);
  const double d = delta;

  double m_sum = 0.0;
  double e_sum = 0.0;
  double weight_sum = 0.0;
  for (uint64_t t = 0; t < terms; ++t) {
    term_values(t);
    const auto [lo, hi] = std::minmax_element(value.begin(), value.end());
    const double m = *lo;
    // The term's step d * w: the smallest multiple of d that spreads its
    // range over at most 255 steps.
    const double w = std::clamp(std::ceil((*hi - m) / (255.0 * d)), 1.0, max_weight);
    const double step = d * w;
    table[first_pass_weight_offset(dim, bits, t)] = static_cast<uint8_t>(w);
    double worst = -std::numeric_limits<double>::infinity();
    for (size_t v = 0; v < values; ++v) {
      const double above = value[v] - m;
      const double q = std::clamp(std::nearbyint(above / step), 0.0, 255.0);
      table[first_pass_offset(bits, t, static_cast<unsigned>(v))] = static_cast<uint8_t>(q);
      worst = std::max(worst, above - step * q);  // r_t(v)
    }
    m_sum += m;
    e_sum += worst;
    weight_sum += w;
  }
  const double u = 0x1p-24;
  const double n_adds = static_cast<double>(dim - 1);
  const double f_bound = n_adds * u / (1.0 - n_adds * u) * (1.0 + 0x1p-40) * g;
  const double w_max = 255.0 * d * weight_sum;
  const double c_real = m_sum + e_sum + f_bound + 0x1p-30 * (g + w_max);
  const double c_padded = c_real + 0x1p-21 * (w_max + std::fabs(c_real) + g) + 0x1p-140;
  float c = static_cast<float>(c_padded);
  if (static_cast<double>(c) < c_padded) c = std::nextafter(c, std::numeric_limits<float>::infinity());
  if (!std::isfinite(c)) return std::nullopt;
  return PassPlan{delta, c};
}

float pass_threshold(bool heap_full, float root) {
  if (!heap_full || std::isnan(root)) return -std::numeric_limits<float>::infinity();
  return std::nextafter(root, -std::numeric_limits<float>::infinity());
}

}  // namespace lodex
