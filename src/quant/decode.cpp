// Row decoding, in float32 with every operation rounded: the centroids, the
// transposed rotation (for the Hadamard rotation: the unscaled transform,
// then the signs), then one factor norm * scale formed exactly as the scan
// forms it, so that the inner product of a decoded row with a query tracks
// that row's search score.
#include "quant/decode.hpp"

#include <vector>

#include "quant/codebook.hpp"
#include "store/storage.hpp"

namespace lodex {

Status decode_row(std::span<const uint8_t> codes, float norm, const Rotator& rotator, uint8_t bits, float scale,
                  std::span<const float> center, std::span<float> out, std::span<float> scratch) {
  auto table = centroids(bits);
  if (!table) return std::unexpected(table.error());
  const uint64_t width = rotator.width();
  float* y = scratch.data();
  for (uint64_t j = 0; j < width; ++j) y[j] = (*table)[unpack_code(codes.data(), j, bits)];
  // The transpose of the rotation: <R^T c, D q> = <c, R D q>, the sum the
  // scan takes against the rotated query.
  rotator.transpose(y, out.data(), scratch.data() + width);
  const float factor = norm * scale;
  const uint64_t dim = rotator.dim();
  for (uint64_t j = 0; j < dim; ++j) out[j] = out[j] * factor;
  if (!center.empty()) {
    for (uint64_t j = 0; j < dim; ++j) out[j] = out[j] + center[j];
  }
  return {};
}

Status decode_row(std::span<const uint8_t> codes, float norm, std::span<const float> signs, uint8_t bits,
                  std::span<float> out) {
  const Rotator rotator = Rotator::from_signs(signs);
  std::vector<float> scratch(rotator.width());
  return decode_row(codes, norm, rotator, bits, rotator.score_scale(), {}, out, scratch);
}

}  // namespace lodex
