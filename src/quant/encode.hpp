// Encoding of one row: norm, direction, rotation, rescale, quantization,
// packing and the bfloat16 norm. float32 throughout, every operation rounded,
// sums in coordinate order, never fused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "errors.hpp"
#include "rotation/rotator.hpp"

namespace lodex {

// 1e-10 as float32 (bit pattern 0x2EDBE6FF): below it a row has no direction.
inline constexpr float kMinNorm = 1e-10f;

// |x|: the float32 sum of squares in coordinate order, then its root. Where
// that sum overflows (a coordinate beyond about 1.8e19) though |x| itself may
// be a finite float32, the sum is taken again in double and its root rounded
// once; every row whose float32 sum is finite keeps the float32 chain.
float row_norm(const float* x, size_t d);

// The largest norm a stored row can carry: the largest finite bfloat16
// (0x7F7F). A larger finite norm would be stored as infinity.
inline constexpr float kMaxStoredNorm = 3.38953139e38f;

// Whether a row of finite values has a norm beyond kMaxStoredNorm, so that
// storing it would lose the row. Rows holding NaN or infinity are stored as
// they are (their scores are NaN or infinite, and rank accordingly).
bool norm_too_large(const float* x, size_t d, uint16_t stored_norm);

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
  // The Hadamard rotation over `signs`, rows of row_length floats.
  static Result<RowEncoder> create(uint64_t row_length, std::span<const float> signs, uint8_t bits);
  // Any rotation: rows of rotator.dim() floats, rotator.code_width() codes.
  // The rotator must outlive the encoder.
  static Result<RowEncoder> create(const Rotator& rotator, uint8_t bits);

  size_t code_bytes() const { return code_bytes_; }
  // Encodes x (row_length values) into `codes` (code_bytes() bytes) and
  // returns the bfloat16 norm bits. Bit-identical to encode_vector. With the
  // general rotation the row's direction x / |x| goes through the rotation
  // (which applies its signs to it as the Hadamard path does), is scaled to
  // unit variance per coordinate and quantized; the padding codes are 0.
  uint16_t encode(const float* x, uint8_t* codes);

 private:
  RowEncoder() = default;
  std::shared_ptr<const Rotator> owned_;  // the legacy form's rotator
  const Rotator* rotator_ = nullptr;
  std::span<const float> boundaries_;
  uint8_t bits_ = 0;
  size_t code_bytes_ = 0;
  size_t width_bytes_ = 0;  // the bytes the width's codes fill; zeros follow
  std::vector<float> direction_;
  std::vector<float> rotated_;  // the general rotation's output
  std::vector<float> scratch_;
  std::vector<uint8_t> codes_;
};

}  // namespace lodex
