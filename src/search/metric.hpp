// How each metric turns rows and queries into the values a search ranks by
// (keys: higher is better) and keys back into the scores a caller sees:
// normalising, centring, the per-row and per-query terms, the key of a row's
// estimate, the exact keys of re-ranking, range thresholds. Float32, every
// operation rounded on its own (never fused), sums in coordinate order.
//
// Notation: s is a row's table sum, n its widened bfloat16 norm, f = fl(n * sd)
// and ip = fl(s * f) (a NaN s passed through as it is), the scan's estimate
// of <q', x'> for the vectors it rotated.
//   "ip", no centre:   sd = the rotation's scale (1/dim), key = score = ip.
//   "cosine":          rows and queries divided by their norms (zero below
//                      1e-10), so n is 1 (or 0); key = score = ip.
//   centred "ip" and "cosine": rows stored as x' - c with the row term
//                      t = sum_j c_j (x' - c)_j kept in float32 beside them;
//                      the query shifted the same way, qc = sum_j q'_j c_j;
//                      key = score = fl(fl(ip + t) + qc), the estimate of
//                      <q', x'> = <q' - c, x' - c> + <c, x' - c> + <q', c>.
//   "l2" (centred or not: the shift changes no distance):
//                      q2 = sum_j (q - c)_j^2; key = fl(fl(fl(2 ip) - fl(n n)) - q2),
//                      score = fl(0 - key), the squared distance
//                      |q|^2 + |x|^2 - 2 <q, x> with the same bf16 n in both
//                      norm terms (its error is at most 2^-8 |x| |x - q|).
//                      The key is the score negated (fl(a - b) = -fl(b - a):
//                      rounding to nearest is symmetric), so ranking by it
//                      puts the smallest distance first and keeps rows of
//                      equal distance in storage order.
// Every metric but plain "ip" undoes the codes' shrink: the table sum of a
// unit row is on average (1 - D) times the true inner product, 1 - D the
// energy the codebook keeps, so sd = fl(scale_f64 / (1 - D)), rounded once.
// Plain "ip" keeps the scores it always had.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "index_params.hpp"
#include "search/keys.hpp"

namespace lodex {

// 1 - D for codes of `bits` bits (2..5): E[centroid^2] for a N(0, 1)
// coordinate, from the float32 centroids and boundaries, in float64.
double kept_energy(uint8_t bits);

// One index's metric, as its searches and its encoder use it.
struct MetricModel {
  Metric metric = Metric::kIp;
  std::span<const float> center;  // dim floats, or empty
  float scale = 0.0f;             // sd
  KeyKind key = KeyKind::kScore;
  bool normalise() const { return metric == Metric::kCosine; }
  bool row_terms() const { return key == KeyKind::kRowTerm; }
};

// `plain_scale` is the scale plain "ip" scores with, `scale_f64` the same
// factor in float64 (the de-shrunk scale is rounded from it once).
MetricModel make_metric_model(Metric metric, std::span<const float> center, uint8_t bits, double scale_f64,
                              float plain_scale);

// The key of a row with estimate ip (keys.hpp): `row` is the row's term t
// (kRowTerm) or its widened norm n (kSquaredDistance), `add` the query's
// constant. ip + ip is 2 * ip exactly. Each kind is a chain of rounded
// additions and one product of constants, monotone non-decreasing in ip,
// which is all the first pass's bound needs (first_pass.cpp); every pass
// kernel repeats these operations.
inline float row_key(KeyKind kind, float ip, float row, float add) {
  switch (kind) {
    case KeyKind::kRowTerm:
      return (ip + row) + add;
    case KeyKind::kSquaredDistance:
      return ((ip + ip) - row * row) + add;
    default:
      return ip;
  }
}

// The key of a kSquaredDistance row whose chain above gave no finite number
// though its inputs are finite: an intermediate (2 ip, n n, or a partial sum)
// went past float32 while the distance itself may fit, e.g. a row near
// 2^64 against itself. The same chain in double, rounded once to float32:
// ip the row's estimate (its unrounded float32 product s * f where that
// product overflowed), `add` the query's constant in double (QueryAdd).
// Every double step here is within 2^-52 of its real value, far below half
// a float32 ulp, so the result is at most -FLT_MAX whenever the real value
// 2 ip - n n + add is (first_pass.cpp, step 6, relies on this).
inline float wide_squared_key(double ip, float n, double add) {
  const double wide_n = n;
  return static_cast<float>(((ip + ip) - wide_n * wide_n) + add);
}

// The score a caller sees for a key.
inline float output_score(Metric metric, float key) { return metric == Metric::kL2 ? 0.0f - key : key; }

// The vector to encode for row x (dim floats): x, or x / |x| for "cosine"
// (|x| as the encoder computes it; the zero vector for |x| <= 1e-10, a NaN
// vector for a NaN |x|), less the
// centre when there is one; either x itself or `buffer` (dim floats). For a
// kRowTerm key, *term gets sum_j c_j (x' - c)_j.
const float* prepare_row(const MetricModel& model, const float* x, uint64_t dim, float* buffer, float* term);

// The centre center="mean" fixes from an index's first batch: the mean of
// its n rows (`rows`, n x dim floats at any byte address) as the metric sees
// them, each divided by its norm for "cosine" exactly as prepare_row divides
// it. Summed in float64 in row order and rounded to float32 once, so that
// every thread count and kernel level fixes the same centre.
std::vector<float> mean_row(Metric metric, const void* rows, size_t n, uint64_t dim);

// A query's key constant: `narrow` as every float32 chain adds it, `wide`
// the same in double for wide_squared_key. `wide` is `narrow` itself
// whenever that is finite, so that a recomputed key is the float32 chain
// with nothing but the exponent range widened; only a -q2 past float32
// (|q| above about 1.8e19) takes the sum in double.
struct QueryAdd {
  float narrow = 0.0f;
  double wide = 0.0;
};

// The vector the scan rotates for query q, as prepare_row prepares rows
// (into `buffer`, dim floats, or q itself), and its constant: qc for
// kRowTerm, -q2 for kSquaredDistance, 0 otherwise.
const float* prepare_query(const MetricModel& model, const float* q, uint64_t dim, float* buffer, QueryAdd* add);

// Re-ranking's exact key of row x for query q: <q, x>, the cosine of the
// normalised vectors (prepare_row's normalisation; a zero vector gives 0,
// a NaN one NaN),
// or minus the squared distance sum_j (q_j - x_j)^2 (summed again in double
// and rounded once when the float32 sum overflowed though q and x are
// finite: its partial sums can pass float32 where the total fits).
float exact_key(Metric metric, const float* q, const float* x, uint64_t dim);

// The least key a range search keeps for `threshold` on the score: rows with
// score >= threshold ("ip", "cosine": the least float32 at or above it) or
// score <= threshold ("l2": minus the greatest float32 at or below it). A
// key is kept exactly when its score passes (NaN never does). threshold
// must not be NaN.
float range_floor(Metric metric, double threshold);

}  // namespace lodex
