// Either rotation behind one interface: widths, scales, forward and
// transposed application.
#include "rotation/rotator.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

namespace lodex {

namespace {

// The general rotation's codes come in whole groups of 32 (at least one).
constexpr uint64_t kCodeGroup = 32;

}  // namespace

Result<Rotator> Rotator::hadamard(uint64_t dim, uint64_t seed) {
  auto signs = make_sign_vector(dim, seed);
  if (!signs) return std::unexpected(signs.error());
  return from_signs(*signs);
}

Rotator Rotator::from_signs(std::span<const float> signs) {
  Rotator r;
  r.dim_ = r.width_ = r.code_width_ = signs.size();
  r.signs_.assign(signs.begin(), signs.end());
  r.scale_f64_ = 1.0 / static_cast<double>(r.dim_);
  // As the scan has always formed it; exact for a power of two.
  r.scale_ = 1.0f / static_cast<float>(r.dim_);
  r.row_first_ = rotation_scale(r.dim_);
  r.row_second_ = std::sqrt(static_cast<float>(r.dim_));
  return r;
}

uint64_t Rotator::code_width_for(bool general, uint64_t dim) {
  if (!general) return dim;
  return std::max(kCodeGroup, (GeneralRotation::width_for(dim) + kCodeGroup - 1) / kCodeGroup * kCodeGroup);
}

Result<Rotator> Rotator::general(uint64_t dim, uint64_t seed) {
  auto built = GeneralRotation::create(dim, seed);
  if (!built) return std::unexpected(built.error());
  Rotator r;
  r.dim_ = dim;
  r.width_ = built->width();
  r.code_width_ = std::max(kCodeGroup, (r.width_ + kCodeGroup - 1) / kCodeGroup * kCodeGroup);
  const auto g = static_cast<double>(built->gain_squared());
  r.scale_f64_ = 1.0 / std::sqrt(g * static_cast<double>(r.width_));
  r.scale_ = built->score_scale();
  if (std::has_single_bit(r.width_)) {
    r.row_first_ = built->inverse_gain();
    r.row_second_ = std::sqrt(static_cast<float>(r.width_));
  } else {
    r.row_first_ = built->row_factor();
    r.row_second_ = 1.0f;
  }
  r.general_.emplace(std::move(*built));
  return r;
}

void Rotator::rotate(const float* x, float* out, float* scratch) const {
  if (general_) {
    general_->transform(x, out, scratch);
    std::fill(out + width_, out + code_width_, 0.0f);
    return;
  }
  const float* s = signs_.data();
  for (uint64_t j = 0; j < dim_; ++j) out[j] = x[j] * s[j];
  hadamard_transform(std::span<float>(out, dim_));
}

void Rotator::transpose(const float* y, float* out, float* scratch) const {
  if (general_) {
    general_->transpose(y, out, scratch);
    return;
  }
  std::copy(y, y + dim_, out);
  hadamard_transform(std::span<float>(out, dim_));
  const float* s = signs_.data();
  for (uint64_t j = 0; j < dim_; ++j) out[j] = out[j] * s[j];
}

}  // namespace lodex
