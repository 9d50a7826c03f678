// The index's rotation, of either kind, behind one interface: the seeded sign
// flip and Walsh–Hadamard transform (power-of-two dimensions) or the general
// rotation (any dimension). Float32 throughout, in a fixed operation order;
// errors are returned as IndexError values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "errors.hpp"
#include "rotation/hadamard.hpp"
#include "rotation/general.hpp"

namespace lodex {

// A row or query of dim() floats becomes width() rotated coordinates; a row is
// stored as code_width() codes. The Hadamard rotation has all three equal.
// The general one stores whole groups of 32 codes, the first pass's unit:
// the codes past width() are 0 and the rotated query is 0 there, so they
// weigh nothing in any score (their table entries are zeros, which leave a
// sum that started at +0.0 unchanged, bit for bit).
class Rotator {
 public:
  // make_sign_vector's checks: dim a power of two.
  static Result<Rotator> hadamard(uint64_t dim, uint64_t seed);
  // The Hadamard rotation over `signs` (a power-of-two count; the caller checks).
  static Rotator from_signs(std::span<const float> signs);
  // Any dim from 1.
  static Result<Rotator> general(uint64_t dim, uint64_t seed);
  // The code width of the general (or the Hadamard) rotation for dim >= 1,
  // without building it.
  static uint64_t code_width_for(bool general, uint64_t dim);

  uint64_t dim() const { return dim_; }
  uint64_t width() const { return width_; }
  uint64_t code_width() const { return code_width_; }
  bool is_general() const { return general_.has_value(); }
  // Floats of scratch space rotate() and transpose() need.
  size_t scratch_floats() const { return general_ ? general_->scratch_size() : 0; }

  // out[0 .. width) = sigma R D x (the unscaled rotation: H D x for the
  // Hadamard rotation), out[width .. code_width) = +0. x holds dim() floats,
  // out code_width(); no overlaps. No checks, no allocation.
  void rotate(const float* x, float* out, float* scratch) const;
  // out[0 .. dim) = D (sigma R)^T y for y of width() floats: the transpose,
  // as decoding needs it (the Hadamard transform is its own).
  void transpose(const float* y, float* out, float* scratch) const;

  // The factor that makes a row's table sum an estimate of <q, x> from its
  // norm: 1/dim for the Hadamard rotation, 1 / (sigma sqrt(width)) for the
  // general one, exactly in float64 and rounded once to float32.
  double score_scale_f64() const { return scale_f64_; }
  float score_scale() const { return scale_; }

  // How the encoder scales a rotated unit row to unit variance per
  // coordinate: (v * first) * second, two roundings. Today's encoder at a
  // power-of-two width (1/sqrt(width), then sqrt(width)), so that a general
  // rotation there stores exactly the Hadamard rotation's codes; elsewhere
  // the general rotation's row factor and an exact 1.
  float row_scale_first() const { return row_first_; }
  float row_scale_second() const { return row_second_; }

  std::span<const float> signs() const { return signs_; }
  const GeneralRotation* general_rotation() const { return general_ ? &*general_ : nullptr; }

 private:
  Rotator() = default;

  uint64_t dim_ = 0;
  uint64_t width_ = 0;
  uint64_t code_width_ = 0;
  double scale_f64_ = 0.0;
  float scale_ = 0.0f;
  float row_first_ = 0.0f;
  float row_second_ = 0.0f;
  std::vector<float> signs_;  // the Hadamard rotation's
  std::optional<GeneralRotation> general_;
};

}  // namespace lodex
