// The seeded rotation: a ±1 sign flip (D) followed by the unscaled
// Walsh–Hadamard transform (H). Pure functions; float32 arithmetic only.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "errors.hpp"

namespace lodex {

using SignVector = std::vector<float>;

// `dim` signs, each +1.0f or -1.0f, a pure function of (dim, seed). The
// signs for a smaller dim are a prefix of those for a larger one.
Result<SignVector> make_sign_vector(uint64_t dim, uint64_t seed);

// The first `count` signs of seed's sequence, for any count: the same values
// make_sign_vector gives when count is a power of two.
SignVector sign_sequence(uint64_t count, uint64_t seed);

// In-place unscaled fast Walsh–Hadamard transform, natural order.
// x.size() must be a power of two (callers check).
void hadamard_transform(std::span<float> x);

// r = 1 / sqrt(dim) in float32 (dim to float, its root, then 1 divided by
// it): the factor rotate multiplies by, shared with the row encoder.
float rotation_scale(uint64_t dim);

// H·D·x / sqrt(dim): the orthonormal rotation used when rows are encoded.
Result<std::vector<float>> rotate(std::span<const float> x, std::span<const float> signs);

// H·D·x with no scaling: the query's rotation.
Result<std::vector<float>> rotate_unscaled(std::span<const float> x,
                                                                 std::span<const float> signs);

}  // namespace lodex
