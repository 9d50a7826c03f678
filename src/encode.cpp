// Row encoding. Every loop but the norm sum is element-wise, so the compiler
// may vectorise it without changing a bit: each lane is the same rounded
// float32 operation the scalar order would perform. The norm sum stays a
// chain of additions in coordinate order.
#include "encode.hpp"

#include <bit>
#include <cmath>
#include <cstring>

#include "codebook.hpp"
#include "rotation.hpp"
#include "storage.hpp"

namespace lodex {

namespace {

// 1e-10 as float32 (bit pattern 0x2EDBE6FF): below it a row has no direction.
constexpr float kMinNorm = 1e-10f;
static_assert(std::bit_cast<uint32_t>(kMinNorm) == 0x2EDBE6FFu);

float row_norm(const float* x, size_t d) {
  // Starts from -0.0 so that an empty or all -0.0 sum keeps its sign; the
  // squares are independent, the additions are not reordered.
  float s = -0.0f;
  for (size_t j = 0; j < d; ++j) s = s + x[j] * x[j];
  return std::sqrt(s);
}

// Sixteen coordinates at a time as four 4-lane vectors in portable vector
// types: every target with 128-bit vectors runs them natively, and nothing
// beyond the baseline instruction set is assumed.
typedef float F4 __attribute__((vector_size(16)));
typedef int32_t I4 __attribute__((vector_size(16)));
typedef int16_t S8 __attribute__((vector_size(16)));
typedef uint8_t U16 __attribute__((vector_size(16)));
constexpr size_t kLanes = 16;

// Sixteen counts (each at most 31) to sixteen bytes, lane order kept.
U16 narrow(const I4 (&c)[4]) {
  const auto lo = __builtin_convertvector(__builtin_shufflevector(c[0], c[1], 0, 1, 2, 3, 4, 5, 6, 7), S8);
  const auto hi = __builtin_convertvector(__builtin_shufflevector(c[2], c[3], 0, 1, 2, 3, 4, 5, 6, 7), S8);
  return __builtin_convertvector(__builtin_shufflevector(lo, hi, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15), U16);
}

// Rescales the rotated direction and counts, per coordinate, the boundaries
// strictly below it. That count is the binary search's code for every input
// (ties and NaN included, since both use the same strict `<`), and it runs
// across coordinates without gathers.
//
// (u * r) * root: the rotation's 1/sqrt(d) and the rescale by sqrt(d) are
// two roundings, never one merged factor; keeping them in one loop only
// saves a pass over memory.
template <size_t K>
void quantize_rescaled(const float* u, size_t d, float r, float root, const float* boundary_table,
                       uint8_t* codes) {
  size_t j = 0;
  for (; j + kLanes <= d; j += kLanes) {
    F4 v[4];
    I4 c[4];
    std::memcpy(v, u + j, sizeof v);
    for (size_t q = 0; q < 4; ++q) {
      v[q] = v[q] * r;
      v[q] = v[q] * root;
      c[q] = I4{};
    }
    // A true comparison is -1 in every bit of its lane.
    for (size_t i = 0; i < K; ++i) {
      const F4 b = {boundary_table[i], boundary_table[i], boundary_table[i], boundary_table[i]};
      for (size_t q = 0; q < 4; ++q) c[q] -= b < v[q];
    }
    const U16 out = narrow(c);
    std::memcpy(codes + j, &out, sizeof out);
  }
  for (; j < d; ++j) {
    float v = u[j] * r;
    v = v * root;
    unsigned c = 0;
    for (size_t i = 0; i < K; ++i) c += boundary_table[i] < v ? 1u : 0u;
    codes[j] = static_cast<uint8_t>(c);
  }
}

}  // namespace

Result<RowEncoder> RowEncoder::create(uint64_t row_length, std::span<const float> signs, uint8_t bits) {
  // The same checks, in the same order, as rotating and then selecting the
  // table would make; none depends on a row's values.
  if (row_length != signs.size()) return std::unexpected(RotationError::dimension_mismatch(row_length, signs.size()));
  if (row_length == 0 || (row_length & (row_length - 1)) != 0) {
    return std::unexpected(RotationError::not_power_of_two(row_length));
  }
  auto table = boundaries(bits);
  if (!table) return std::unexpected(table.error());

  RowEncoder enc;
  enc.signs_ = signs;
  enc.boundaries_ = *table;
  enc.bits_ = bits;
  enc.code_bytes_ = static_cast<size_t>(code_bytes_for(row_length, bits));
  enc.inv_root_ = rotation_scale(row_length);
  enc.root_ = std::sqrt(static_cast<float>(row_length));
  enc.direction_.resize(row_length);
  enc.codes_.resize(row_length);
  return enc;
}

uint16_t RowEncoder::encode(const float* x, uint8_t* codes) {
  const size_t d = direction_.size();
  float* u = direction_.data();
  const float* signs = signs_.data();

  const float norm = row_norm(x, d);
  // NaN fails the comparison too and gets the zero direction.
  if (norm > kMinNorm) {
    // True division (not a reciprocal product), then the exact sign flip.
    for (size_t j = 0; j < d; ++j) u[j] = (x[j] / norm) * signs[j];
  } else {
    for (size_t j = 0; j < d; ++j) u[j] = 0.0f * signs[j];
  }
  hadamard_transform(direction_);

  uint8_t* c = codes_.data();
  const float* b = boundaries_.data();
  switch (bits_) {
    case 2: quantize_rescaled<3>(u, d, inv_root_, root_, b, c); break;
    case 3: quantize_rescaled<7>(u, d, inv_root_, root_, b, c); break;
    case 4: quantize_rescaled<15>(u, d, inv_root_, root_, b, c); break;
    default: quantize_rescaled<31>(u, d, inv_root_, root_, b, c); break;
  }
  pack_codes(codes_, bits_, std::span<uint8_t>(codes, code_bytes_));
  return bf16_from_f32(norm);
}

Result<EncodedRow> encode_vector(std::span<const float> x, std::span<const float> signs, uint8_t bits,
                                 bool use_qjl) {
  auto encoder = RowEncoder::create(x.size(), signs, bits);
  if (!encoder) return std::unexpected(encoder.error());
  EncodedRow row;
  row.codes.resize(encoder->code_bytes());
  row.norm = encoder->encode(x.data(), row.codes.data());
  if (use_qjl) row.qjl_bits.emplace(static_cast<size_t>(qjl_bytes_for(x.size())), uint8_t{0});
  return row;
}

}  // namespace lodex
