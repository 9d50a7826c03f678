// Row decoding, in float32 with every operation rounded: the centroids, the
// unscaled Walsh-Hadamard transform, the signs, then one factor norm * (1/dim)
// formed exactly as the scan forms it, so that the inner product of a decoded
// row with a query tracks that row's search score.
#include "decode.hpp"

#include "codebook.hpp"
#include "rotation.hpp"
#include "storage.hpp"

namespace lodex {

Status decode_row(std::span<const uint8_t> codes, float norm, std::span<const float> signs, uint8_t bits,
                  std::span<float> out) {
  auto table = centroids(bits);
  if (!table) return std::unexpected(IndexError(table.error()));
  const uint64_t dim = signs.size();
  for (uint64_t j = 0; j < dim; ++j) out[j] = (*table)[unpack_code(codes.data(), j, bits)];
  // The transform is its own transpose: <H c, D q> = <c, H D q>, the sum the
  // scan takes against the rotated query.
  hadamard_transform(out.first(dim));
  const float factor = norm * (1.0f / static_cast<float>(dim));
  for (uint64_t j = 0; j < dim; ++j) out[j] = out[j] * signs[j] * factor;
  return {};
}

}  // namespace lodex
