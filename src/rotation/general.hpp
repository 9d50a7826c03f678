// The seeded rotation for any dimension. A row of `dim` floats is padded with
// zeros to a width m (dim <= m <= dim rounded up to a multiple of 32, never to
// a power of two), flipped by a seeded sign vector and turned by a fixed
// orthogonal m x m transform made of Walsh–Hadamard and Paley ±1 stages.
// Pure C++; float32 throughout, in a fixed operation order; errors are
// returned as IndexError values.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "errors.hpp"

namespace lodex {

// How the transform is put together, and why.
//
// Every entry of a Hadamard matrix H_n (n x n, entries ±1, H Hᵀ = n I) has the
// same magnitude, so H_n / sqrt(n) spreads each input coordinate evenly over
// every output: a row's energy lands on all coordinates alike whatever the
// row looks like, and the coordinates of a rotated unit row are close to
// N(0, 1/n), the shape the codebooks assume. Kronecker products of Hadamard
// matrices are Hadamard, and applying one costs n times the sum of the
// factor orders. The factors used are:
//   - 2 (the Walsh–Hadamard butterfly; 2^r of them cost r per coordinate);
//   - the Paley orders p in kPaleyOrders: p - 1 a prime (q = 3 mod 4: the
//     quadratic-residue construction of order q + 1), or else p / 2 - 1 a
//     prime (q = 1 mod 4: the doubled symmetric construction of order
//     2(q + 1)). A Paley stage is a dense ±1 matrix, p additions per
//     coordinate, so only small orders are worth it.
// A width n built from these is "exact": |R_ij| = 1 / sqrt(n) for all i, j.
//
// A width with a prime factor no small Paley order carries has no Hadamard
// matrix that is cheap to apply. There the transform drops one coordinate of
// an orthogonal transform M of width n + 1: with M = [[Q0, c], [bᵀ, a]] (the
// last row and column split off, the row's sign chosen so that a >= 0),
//     Q = Q0 - c bᵀ / (1 + a)
// is orthogonal (it is M with its last output fed back into its last input
// through a gain of -1: lossless, so norms are kept). When M's entries all
// have magnitude about 1 / sqrt(n + 1), Q's lie within a factor
// 1 ± 1 / sqrt(n + 1) of that, and applying Q costs one application of M
// and one multiply-add per coordinate. Widths are then reached by halving
// (Q ⊗ H_2: flatness kept), such drops, and an exact width at the bottom.
//
// Among the allowed widths the one with the flattest estimated result is
// chosen, then the cheapest, then the narrowest. The choice uses integer
// arithmetic and float64 + - x / sqrt only, so it is the same on every
// machine; the transform is fixed by (dim, seed).
//
// Scaling: transform() returns sigma * R * pad(D x), R orthonormal and
// sigma^2 = gain_squared(), an integer (m when the width is exact, since
// every stage then adds or subtracts without scaling).
class GeneralRotation {
 public:
  // The Paley orders used as Kronecker factors: the multiples of 4 up to 64
  // with one of the two constructions, less 24 and 48 (2 x 12 and 4 x 12
  // cost less as Kronecker products).
  static constexpr uint64_t kPaleyOrders[] = {12, 20, 28, 36, 44, 60};

  // Fails with ZeroDimension for dim 0.
  static Result<GeneralRotation> create(uint64_t dim, uint64_t seed);
  // The width create() chooses for dim >= 1, from the plan alone (no
  // transform is built): what a reader checks a stored width against.
  static uint64_t width_for(uint64_t dim);

  GeneralRotation(GeneralRotation&&) noexcept;
  GeneralRotation& operator=(GeneralRotation&&) noexcept;
  ~GeneralRotation();

  uint64_t dim() const { return dim_; }
  // m: the number of rotated coordinates (and of codes per row).
  uint64_t width() const { return width_; }
  // Floats of scratch space that transform() needs.
  size_t scratch_size() const { return scratch_size_; }
  uint64_t gain_squared() const { return gain_squared_; }
  // 1 / sigma, formed as rotation_scale forms 1 / sqrt(dim): rotate() is
  // transform() times this, so a power-of-two width rotates bit for bit as
  // the Hadamard rotation with the same seed.
  float inverse_gain() const { return inverse_gain_; }
  // sqrt(m) / sigma, rounded once from float64: transform(x / |x|) times this
  // has a mean square of 1 (exactly 1.0f for an exact width).
  float row_factor() const { return row_factor_; }
  // 1 / (sigma * sqrt(m)), rounded once from float64: with y = transform(q)
  // and a row stored as codes of transform(x / |x|) * row_factor() with norm
  // |x|, <q, x> is estimated by (sum_j centroid(code_j) * y_j) * (|x| * scale).
  // It is 1 / m (as 1.0f / m) when the width is exact.
  float score_scale() const { return score_scale_; }

  // out[0 .. m) = sigma * R * D * (x zero-padded to m); x holds dim() floats,
  // scratch scratch_size() floats; the three must not overlap. No checks, no
  // allocation. Safe to call from several threads with their own scratch.
  void transform(const float* x, float* out, float* scratch) const;
  // The transpose: out[0 .. dim) = the first dim() coordinates of
  // D * (sigma R)^T * y, y holding width() floats, scratch scratch_size()
  // floats; no overlaps. transpose(transform(x)) is gain_squared() * x up to
  // float32 rounding. The same guarantees as transform().
  void transpose(const float* y, float* out, float* scratch) const;

  // R * D * pad(x) (orthonormal), or DimensionMismatch (x's length, dim).
  Result<std::vector<float>> rotate(std::span<const float> x) const;
  // sigma * R * D * pad(x), or DimensionMismatch.
  Result<std::vector<float>> rotate_unscaled(std::span<const float> x) const;

  // The recipe, for logs and reports: "800 = walsh 2 x paley 20 x paley 20".
  std::string describe() const;

  struct Node;

 private:
  GeneralRotation() = default;

  uint64_t dim_ = 0;
  uint64_t width_ = 0;
  size_t scratch_size_ = 0;
  size_t room_ = 0;  // floats the in-place work needs (width_, or more with drops)
  uint64_t gain_squared_ = 0;
  float inverse_gain_ = 0.0f;
  float row_factor_ = 0.0f;
  float score_scale_ = 0.0f;
  std::vector<float> signs_;               // width_ signs, the seed's sequence
  std::vector<std::vector<float>> paley_;  // per order used: the ±1 matrix, then its transpose
  std::unique_ptr<Node> root_;
};

}  // namespace lodex
