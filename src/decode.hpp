// Decoding a stored row back into a vector: the approximation the codes and
// the norm stand for, norm * D * H * c / dim (c the centroids the codes
// select). Used by `get`; search never decodes.
#pragma once

#include <cstdint>
#include <span>

#include "errors.hpp"

namespace lodex {

// Writes the row's approximation into `out` (signs.size() floats). `codes` is
// the row's packed code stream; `norm` its widened norm. Fails only for a bit
// width without a codebook.
Status decode_row(std::span<const uint8_t> codes, float norm, std::span<const float> signs, uint8_t bits,
                  std::span<float> out);

}  // namespace lodex
