// The first pass's per-query plans and bound constants, computed per query
// in double precision. Why skipping is exact:
//
// Let e[j][c] be the float32 table entries, and a term t either a coordinate
// or (table formats at 2 bits) a pair of neighbouring coordinates, whose
// value is the sum of their two entries. A row's exact score is
// s = fl(S * f): S is the float32 sum of its entries in coordinate order from
// +0.0, f = fl(norm * scale).
//
// 1. S against the real sum S_r = sum_j e[j][c_j]: recursive summation of
//    dim terms makes dim - 1 rounded additions, so |S - S_r| <= F with
//    F = gamma(dim - 1) * G, G = sum_j max_c |e[j][c]|, gamma(n) = n u / (1 - n u),
//    u = 2^-24 (no overflow: G is kept far below the float32 range, and an
//    addition of subnormals is exact).
// 2. Per term t: an integer weight w_t (of either sign, or zero) and an
//    integer q_t(v) per value v, and a float32 delta > 0; the kernels add
//    A = sum_t w_t * q_t(v_t). Let K_t = max_v (value_t(v) - delta * w_t * q_t(v)).
//    Then value_t(v) <= K_t + delta * w_t * q_t(v) for every v, so
//    S_r <= delta * A + K, K = sum_t K_t, and S <= delta * A + C_r with
//    C_r = K + F. This holds for ANY integers: the choice below only decides
//    how tight the bound is. The table formats take w_t in 1..127 and q_t(v)
//    in 0..255 near (value_t(v) - min_v value_t) / (delta * w_t); the
//    rank-one formats take q_t(v) = cq[v], a level fixed per code, and
//    w_t = rq[t] = round(r[t] * dc / delta), since e[t][v] ~ r[t] * centroid[v]
//    and centroid[v] ~ c_0 + dc * (cq[v] - lo).
// 3. |A| <= sum_t |w_t| * max_v |q_t(v)| < 2^24, which the builders enforce,
//    so A and every partial sum are exact integers in every kernel's
//    accumulator (see the formats in first_pass.hpp; kRank1U7's i16 sums of
//    two quads stay below 2^15 by its lane bound, which the builder enforces
//    on the weights as written, before delta is final) and A converts exactly
//    to float32. K, F and G are computed in double; their rounding errors are
//    far below 2^-30 * (G + W), W = delta * sum_t |w_t| * max_v |q_t(v)| >=
//    |delta * A|, which is added. The kernels compute
//    U = fl(fl(fl(delta * A) + C) * f) in float32; the first two roundings
//    lose at most u * (W + |C| + W) plus 2^-149 for a subnormal, which the pad
//    2^-21 * (W + |C_r| + G) + 2^-140 covers. C is the pad-added constant
//    rounded up to float32. So y = fl(fl(delta * A) + C) >= delta * A + C_r >= S.
// 4. For finite f >= 0 (this includes -0), y * f >= S * f as reals. Rounding
//    to nearest is monotone and pred(theta), the float below theta, is
//    representable, so s = fl(S * f) >= theta implies S * f > pred(theta),
//    hence y * f > pred(theta) and U = fl(y * f) >= pred(theta).
//    Contrapositive: U < pred(theta) implies s < theta, a row that the exact
//    scan drops against a root theta (and a root only rises once the heap is
//    full, so a stale threshold stays valid). NaN, infinite or negative f is
//    never skipped; a NaN U never compares below anything. Ties: the heap
//    ranks rows by (key, position) (top_k.hpp's ranks_before), so a row
//    whose key equals theta enters only if stored before the root, which
//    the scan, feeding rows in storage order, never meets. The pass keeps
//    every row whose key may reach theta itself (its threshold is pred(theta),
//    below the root), so it never skips a tie, and whichever of the tied
//    rows the heap keeps is decided by the exact scan alone.
// 5. Keys. A search may rank by a key k = T(s) instead of s (keys.hpp):
//    T(x) = fl(fl(x + t) + a) or fl(fl(fl(x + x) - fl(n * n)) + a), with t,
//    n and a fixed per row and query. Each step is an exact doubling or a
//    rounded addition of a constant, and rounding to nearest is monotone, so
//    x <= y implies T(x) <= T(y) whenever both are numbers (a NaN arises
//    only from adding opposite infinities). The kernels compute U_k = T(U)
//    with the very same operations. With y * f >= S * f (step 4) U >= s, so
//    k >= theta implies U_k >= k >= theta > pred(theta), or U_k is NaN and
//    is kept: U_k < pred(theta) still implies that the row's key is below
//    theta or NaN, and a NaN key enters no full heap and no range. A range
//    search's threshold is fixed from the start, so its pred(theta) is too.
// 6. Squared distances past float32. A squared-distance key whose float32
//    chain is not finite while ip, n and a are (an intermediate overflowed)
//    is that chain in double, rounded once (metric.hpp, wide_squared_key;
//    where s itself overflowed, S * f unrounded: y bounds S and S_r alike,
//    far inside the pads); a is the same float32 constant, so only the
//    exponent range differs.
//    +infinity and NaN bounds are always kept (every kernel skips only on an
//    ordered U_k < below). A -infinity bound U_k skips against any below >
//    -infinity, that is any theta > -FLT_MAX (pred(theta) > -infinity). It
//    implies a recomputed key <= -FLT_MAX, which no such theta admits,
//    unless fl(n * n) or a is infinite: U >= s, fl(2U) is exact or
//    -infinity (then 2s <= 2U <= -FLT_MAX), n * n is exact in float32 when
//    finite (n has 8 significant bits), and an overflow of the subtraction
//    or of the final addition puts the real value within half an ulp (at most
//    2^103) of -(2^128 - 2^103), at or below -FLT_MAX = -(2^128 - 2^104);
//    with a <= 0 and s <= U the recomputed key is at most that. The same
//    steps show that a finite U_k bounds a recomputed key: s <= U and
//    T(s) = -infinity put it at or below -FLT_MAX < theta. The two
//    exceptions are kept outside the kernels: a query whose a is not finite
//    takes no pass (batch_scan.cpp), and n >= 2^64 (fl(n * n) = +infinity)
//    can give a finite key only when 2s > n * n - FLT_MAX >= 2^-24 n^2, so
//    |s| > 2^39 n; a query whose estimates may reach 2^38 n (sd times its
//    table's magnitude) takes no pass over a store that holds such a row.
#include "search/first_pass.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <span>

#include "quant/codebook.hpp"
#include "store/storage.hpp"

namespace lodex {

namespace {

// Beyond these the bound is either not exact in float32 (A must stay below
// 2^24) or too loose to skip anything (F grows with dim).
constexpr uint64_t kMaxPassDim = uint64_t{1} << 16;
constexpr double kMaxMagnitude = 0x1p100;  // G far below FLT_MAX: no overflow anywhere
constexpr double kMinMagnitude = 0x1p-60;  // pads stay normal float32 numbers
constexpr double kMaxSum = 0x1p24 - 1.0;   // the largest |A| allowed
constexpr double kMaxRank1Weight = 127.0;

struct LevelRange {
  int lo;
  int hi;
};
constexpr LevelRange level_range(PassFormat format) {
  return format == PassFormat::kRank1U7 ? LevelRange{0, 127}
         : format == PassFormat::kRank1S8 ? LevelRange{-127, 127}
                                          : LevelRange{0, 255};
}

// G = sum_j max_c |e[j][c]|, rounded up; nothing for a non-finite entry or
// a G outside the range the pads are made for.
std::optional<double> table_magnitude(const float* entries, size_t stride, uint64_t dim, size_t n) {
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
  return g;
}

// C from K (the sum of the K_t), G and W (steps 1 and 3 of the proof).
std::optional<PassPlan> finish_plan(float delta, double k_sum, double g, double w_max, uint64_t dim) {
  const double u = 0x1p-24;
  const double n_adds = static_cast<double>(dim - 1);
  const double f_bound = n_adds * u / (1.0 - n_adds * u) * (1.0 + 0x1p-40) * g;
  const double c_real = k_sum + f_bound + 0x1p-30 * (g + w_max);
  const double c_padded = c_real + 0x1p-21 * (w_max + std::fabs(c_real) + g) + 0x1p-140;
  float c = static_cast<float>(c_padded);
  if (static_cast<double>(c) < c_padded) c = std::nextafter(c, std::numeric_limits<float>::infinity());
  if (!std::isfinite(c)) return std::nullopt;
  return PassPlan{delta, c};
}

// The float32 at or above x (x positive and in range).
float float_at_least(double x) {
  float f = static_cast<float>(x);
  if (static_cast<double>(f) < x) f = std::nextafter(f, std::numeric_limits<float>::infinity());
  return f;
}

// ---- Table formats.

std::optional<PassPlan> build_nibble_table(const float* entries, size_t stride, uint64_t dim, uint8_t bits,
                                           double g, uint8_t* table) {
  const uint64_t terms = nibble_terms(dim, bits);
  std::array<double, 16> value;
  auto term_values = [&](uint64_t t) {
    for (size_t v = 0; v < 16; ++v) {
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
  // Weights up to 127, fewer for very many terms so that A stays below 2^24
  // (255 * sum of weights); delta is the finest step, the widest term's
  // range over 255 * the largest weight. delta stays a normal float32.
  const double max_weight = std::clamp<double>(std::floor(65000.0 / static_cast<double>(terms)), 1.0, 127.0);
  const float delta = std::max(static_cast<float>(widest / (255.0 * max_weight)), 0x1p-100f);
  const double d = delta;

  double k_sum = 0.0;
  double weight_sum = 0.0;
  for (uint64_t t = 0; t < terms; ++t) {
    term_values(t);
    const double m = *std::min_element(value.begin(), value.end());
    const double hi = *std::max_element(value.begin(), value.end());
    // The term's step d * w: the smallest multiple of d that spreads its
    // range over at most 255 steps.
    const double w = std::clamp(std::ceil((hi - m) / (255.0 * d)), 1.0, max_weight);
    const double step = d * w;
    table[nibble_weight_offset(dim, bits, t)] = static_cast<uint8_t>(w);
    double k_t = -std::numeric_limits<double>::infinity();
    for (size_t v = 0; v < 16; ++v) {
      const double q = std::clamp(std::nearbyint((value[v] - m) / step), 0.0, 255.0);
      table[nibble_table_offset(t, static_cast<unsigned>(v))] = static_cast<uint8_t>(q);
      k_t = std::max(k_t, value[v] - step * q);
    }
    k_sum += k_t;
    weight_sum += w;
  }
  return finish_plan(delta, k_sum, g, 255.0 * d * weight_sum, dim);
}

// The byte tables from the nibble table at `nibbles`: code byte i holds
// terms 2i (low nibble) and 2i + 1 (high nibble).
void expand_byte_tables(const uint8_t* nibbles, uint64_t dim, uint8_t bits, uint16_t* out) {
  const uint64_t code_bytes = dim * bits / 8;
  for (uint64_t i = 0; i < code_bytes; ++i) {
    const unsigned w_lo = nibbles[nibble_weight_offset(dim, bits, 2 * i)];
    const unsigned w_hi = nibbles[nibble_weight_offset(dim, bits, 2 * i + 1)];
    std::array<unsigned, 16> lo;
    std::array<unsigned, 16> hi;
    for (unsigned v = 0; v < 16; ++v) {
      lo[v] = w_lo * nibbles[nibble_table_offset(2 * i, v)];
      hi[v] = w_hi * nibbles[nibble_table_offset(2 * i + 1, v)];
    }
    for (unsigned byte = 0; byte < 256; ++byte) {
      out[byte_table_offset(i, byte)] = static_cast<uint16_t>(lo[byte & 15] + hi[byte >> 4]);
    }
  }
}

// ---- Rank-one formats.

// The levels of every rank-one format and width: cq[c] = lo + round((c_c -
// c_0) / dc), dc spreading the centroids over the whole range, so that the
// extreme centroids take the extreme levels.
struct Rank1Levels {
  alignas(kFirstPassAlign) uint8_t bytes[3][4][64];
};

Rank1Levels make_levels() {
  Rank1Levels out{};
  for (int f = 0; f < 3; ++f) {
    const auto format = static_cast<PassFormat>(static_cast<int>(PassFormat::kRank1U8) + f);
    const LevelRange range = level_range(format);
    for (uint8_t bits = 2; bits <= 5; ++bits) {
      const std::span<const float> c = *centroids(bits);
      const double span = static_cast<double>(c.back()) - static_cast<double>(c.front());
      const double dc = span / static_cast<double>(range.hi - range.lo);
      for (size_t i = 0; i < 64; ++i) {
        const double x = (static_cast<double>(c[i % c.size()]) - static_cast<double>(c.front())) / dc;
        const int level = range.lo + static_cast<int>(std::nearbyint(x));
        out.bytes[f][bits - 2][i] = static_cast<uint8_t>(std::clamp(level, range.lo, range.hi));
      }
    }
  }
  return out;
}

const Rank1Levels& all_levels() {
  static const Rank1Levels levels = make_levels();
  return levels;
}

// The largest sum of |weight| over one i16 lane of two quads of a
// kRank1U7 plan (first_pass.hpp).
double widest_u7_lane(const uint8_t* table, uint64_t dim) {
  int widest = 0;
  for (uint64_t octet = 0; octet < dim / 8; ++octet) {
    for (const uint64_t lane : {0, 2}) {
      int sum = 0;
      for (const uint64_t at : {0, 1, 4, 5}) sum += std::abs(static_cast<int8_t>(table[octet * 8 + lane + at]));
      widest = std::max(widest, sum);
    }
  }
  return widest;
}

inline int level_value(PassFormat format, uint8_t byte) {
  return format == PassFormat::kRank1S8 ? static_cast<int>(static_cast<int8_t>(byte)) : static_cast<int>(byte);
}

std::optional<PassPlan> build_rank1(PassFormat format, const float* entries, size_t stride, const float* r,
                                    uint64_t dim, uint8_t bits, double g, uint8_t* table) {
  const LevelRange range = level_range(format);
  const uint8_t* levels = rank1_levels(format, bits);
  const size_t n = size_t{1} << bits;
  const std::span<const float> c = *centroids(bits);
  const double dc =
      (static_cast<double>(c.back()) - static_cast<double>(c.front())) / static_cast<double>(range.hi - range.lo);
  const double level_max = std::max(std::abs(range.lo), std::abs(range.hi));

  double r_max = 0.0;
  for (uint64_t j = 0; j < dim; ++j) {
    if (!std::isfinite(r[j])) return std::nullopt;
    r_max = std::max(r_max, std::fabs(static_cast<double>(r[j])));
  }
  // delta: the step that maps the largest |r| * dc to 127 (rounded up, so no
  // weight exceeds it), coarser while A could reach 2^24 or, in kRank1U7, an
  // i16 lane of two quads could pass 2^15 (the weights are written to the
  // table on every attempt: the lanes are read back from it).
  float delta = std::max(float_at_least(r_max * dc / kMaxRank1Weight), 0x1p-100f);
  double weight_sum = 0.0;
  for (int attempt = 0;; ++attempt) {
    if (attempt == 64) return std::nullopt;
    weight_sum = 0.0;
    for (uint64_t j = 0; j < dim; ++j) {
      const double w = std::clamp(std::nearbyint(static_cast<double>(r[j]) * dc / static_cast<double>(delta)),
                                  -kMaxRank1Weight, kMaxRank1Weight);
      table[rank1_weight_offset(bits, j)] = static_cast<uint8_t>(static_cast<int8_t>(w));
      weight_sum += std::fabs(w);
    }
    double over = weight_sum * level_max / kMaxSum;
    if (format == PassFormat::kRank1U7) over = std::max(over, widest_u7_lane(table, dim) / kMaxU7LaneWeight);
    if (over <= 1.0) break;
    delta = float_at_least(static_cast<double>(delta) * std::max(over, 1.0 + 0x1p-10));
  }
  const double d = delta;
  double k_sum = 0.0;
  for (uint64_t j = 0; j < dim; ++j) {
    const double w = std::clamp(std::nearbyint(static_cast<double>(r[j]) * dc / d), -kMaxRank1Weight,
                                kMaxRank1Weight);
    table[rank1_weight_offset(bits, j)] = static_cast<uint8_t>(static_cast<int8_t>(w));
    double k_j = -std::numeric_limits<double>::infinity();
    for (size_t v = 0; v < n; ++v) {
      k_j = std::max(k_j, static_cast<double>(entries[j * stride + v]) - d * w * level_value(format, levels[v]));
    }
    k_sum += k_j;
  }
  return finish_plan(delta, k_sum, g, d * level_max * weight_sum, dim);
}

}  // namespace

bool first_pass_shape_ok(uint64_t dim, uint8_t bits) {
  return bits >= 2 && bits <= 5 && dim >= 32 && dim % 32 == 0 && dim <= kMaxPassDim;
}

bool pass_format_serves(PassFormat format, uint8_t bits) {
  return is_rank1(format) ? bits >= 2 && bits <= 5 : bits == 2 || bits == 4;
}

const uint8_t* rank1_levels(PassFormat format, uint8_t bits) {
  return all_levels().bytes[static_cast<int>(format) - static_cast<int>(PassFormat::kRank1U8)][bits - 2];
}

uint64_t pass_table_bytes(PassFormat format, uint64_t dim, uint8_t bits) {
  switch (format) {
    case PassFormat::kNibbleTable:
      return nibble_table_bytes(dim, bits);
    case PassFormat::kByteTable:
      return byte_table_bytes(dim, bits) + nibble_table_bytes(dim, bits);
    default:
      return (dim + kFirstPassAlign - 1) / kFirstPassAlign * kFirstPassAlign;
  }
}

std::optional<PassPlan> build_pass_plan(PassFormat format, const float* entries, size_t stride,
                                        const float* rotated, uint64_t dim, uint8_t bits, uint8_t* table) {
  if (!first_pass_shape_ok(dim, bits) || !pass_format_serves(format, bits)) return std::nullopt;
  const auto g = table_magnitude(entries, stride, dim, size_t{1} << bits);
  if (!g) return std::nullopt;
  if (is_rank1(format)) return build_rank1(format, entries, stride, rotated, dim, bits, *g, table);
  if (format == PassFormat::kNibbleTable) return build_nibble_table(entries, stride, dim, bits, *g, table);
  uint8_t* nibbles = table + byte_table_bytes(dim, bits);
  const auto plan = build_nibble_table(entries, stride, dim, bits, *g, nibbles);
  if (plan) expand_byte_tables(nibbles, dim, bits, reinterpret_cast<uint16_t*>(table));
  return plan;
}

float pass_threshold(bool heap_full, float root) {
  if (!heap_full || std::isnan(root)) return -std::numeric_limits<float>::infinity();
  return std::nextafter(root, -std::numeric_limits<float>::infinity());
}

bool pass_keeps(const PassQuery& q, int32_t a, float f, KeyKind key, float row) {
  // Only a finite f >= 0 keeps the product monotone in the sum (-0 counts:
  // it compares equal to 0). Three rounded float32 operations, never fused,
  // as in every SIMD pass, then the key's.
  if (!(f >= 0.0f && f < std::numeric_limits<float>::infinity())) return true;
  float u = (static_cast<float>(a) * q.delta + q.offset) * f;
  if (key == KeyKind::kRowTerm) {
    u = (u + row) + q.add;
  } else if (key == KeyKind::kSquaredDistance) {
    u = ((u + u) - row * row) + q.add;
  }
  return !(u < q.below);
}

int32_t pass_sum(PassFormat format, const uint8_t* table, const uint8_t* codes, uint64_t dim, uint8_t bits) {
  int32_t a = 0;
  if (is_rank1(format)) {
    const uint8_t* levels = rank1_levels(format, bits);
    for (uint64_t j = 0; j < dim; ++j) {
      a += static_cast<int8_t>(table[rank1_weight_offset(bits, j)]) * level_value(format, levels[codes[j]]);
    }
    return a;
  }
  const uint8_t* nibbles = format == PassFormat::kByteTable ? table + byte_table_bytes(dim, bits) : table;
  for (uint64_t t = 0; t < nibble_terms(dim, bits); ++t) {
    const unsigned v = bits == 2 ? codes[2 * t] | codes[2 * t + 1] << 2 : codes[t];
    a += nibbles[nibble_weight_offset(dim, bits, t)] * nibbles[nibble_table_offset(t, v)];
  }
  return a;
}

}  // namespace lodex
