// Decoding a stored row back into a vector: the approximation the codes and
// the norm stand for, norm * scale * D * R^T * c (c the centroids the codes
// select), plus the centre the rows were shifted by. Used by `get`; search
// never decodes.
#pragma once

#include <cstdint>
#include <span>

#include "errors.hpp"
#include "rotation/rotator.hpp"

namespace lodex {

// Writes the row's approximation into `out` (signs.size() floats) with the
// Hadamard rotation and the scale 1/dim. `codes` is the row's packed code
// stream; `norm` its widened norm. Fails only for a bit width without a
// codebook.
Status decode_row(std::span<const uint8_t> codes, float norm, std::span<const float> signs, uint8_t bits,
                  std::span<float> out);

// Any rotation and scale: out (rotator.dim() floats) = D (sigma R)^T c times
// norm * scale, then `center` added when it is not empty. `scratch` holds
// rotator.width() + rotator.scratch_floats() floats.
Status decode_row(std::span<const uint8_t> codes, float norm, const Rotator& rotator, uint8_t bits, float scale,
                  std::span<const float> center, std::span<float> out, std::span<float> scratch);

}  // namespace lodex
