// Lloyd-Max centroid and boundary tables for a standard Gaussian at 2 to 5
// bits, and the rule that turns one coordinate into its code.
#pragma once

#include <cstdint>
#include <expected>
#include <span>

#include "errors.hpp"

namespace lodex {

// 2^bits ascending centroids; UnsupportedBitWidth for bits outside 2..5.
Result<std::span<const float>> centroids(uint8_t bits);
// 2^bits - 1 ascending boundaries (midpoints of neighbouring centroids).
Result<std::span<const float>> boundaries(uint8_t bits);

// The number of boundaries strictly below x (binary search). A value on a
// boundary takes the lower code; NaN takes code 0.
uint8_t quantize_coordinate(float x, std::span<const float> boundaries);

}  // namespace lodex
