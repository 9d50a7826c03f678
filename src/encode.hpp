// Encoding of one row: norm, direction, rotation, rescale, quantization,
// packing and the bfloat16 norm. float32 throughout, every operation rounded,
// sums in coordinate order, never fused.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "errors.hpp"

namespace lodex {

struct EncodedRow {
  uint16_t norm;                               // bfloat16 bits of the row's norm
  std::vector<uint8_t> codes;                  // code_bytes packed bytes
  std::optional<std::vector<uint8_t>> qjl_bits;  // qjl_bytes zero bytes when use_qjl
};

// Encodes a row of length signs.size(). Errors, in the order checked:
// DimensionMismatch, NotPowerOfTwo (rotation), then UnsupportedBitWidth.
Result<EncodedRow> encode_vector(std::span<const float> x, std::span<const float> signs, uint8_t bits,
                                 bool use_qjl);

// Encodes many rows with one set of parameters, reusing its scratch space so
// that the insertion path allocates nothing per row. Construction runs the
// parameter checks of encode_vector once; they depend on no row's values.
class RowEncoder {
 public:
  static Result<RowEncoder> create(uint64_t row_length, std::span<const float> signs, uint8_t bits);

  size_t code_bytes() const { return code_bytes_; }
  // Encodes x (row_length values) into `codes` (code_bytes() bytes) and
  // returns the bfloat16 norm bits. Bit-identical to encode_vector.
  uint16_t encode(const float* x, uint8_t* codes);

 private:
  RowEncoder() = default;
  std::span<const float> signs_;
  std::span<const float> boundaries_;
  uint8_t bits_ = 0;
  size_t code_bytes_ = 0;
  float inv_root_ = 0.0f;  // 1 / sqrt(dim), as the rotation scales
  float root_ = 0.0f;      // sqrt(dim), the separate rescale
  std::vector<float> direction_;
  std::vector<uint8_t> codes_;
};

}  // namespace lodex
