// Row encoding. Every loop but the norm sum is element-wise, so the compiler
// may vectorise it without changing a bit: each lane is the same rounded
// float32 operation the scalar order would perform. The norm sum stays a
// chain of additions in coordinate order.
#include "quant/encode.hpp"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "quant/codebook.hpp"
#include "rotation/hadamard.hpp"
#include "store/storage.hpp"

namespace lodex {

namespace {

static_assert(std::bit_cast<uint32_t>(kMinNorm) == 0x2EDBE6FFu);

// Sixteen coordinates at a time as four 4-lane vectors in portable vector
// types: every target with 128-bit vectors runs them natively, and nothing
// beyond the baseline instruction set is assumed.
typedef float F4 __attribute__((vector_size(16)));
typedef int32_t I4 __attribute__((vector_size(16)));
typedef int16_t S8 __attribute__((vector_size(16)));
typedef uint8_t U16 __attribute__((vector_size(16)));
typedef uint8_t U8 __attribute__((vector_size(8)));
typedef uint8_t U4 __attribute__((vector_size(4)));
constexpr size_t kLanes = 16;

// Sixteen counts (each at most 31) to sixteen bytes, lane order kept.
U16 narrow(const I4 (&c)[4]) {
  const auto lo = __builtin_convertvector(__builtin_shufflevector(c[0], c[1], 0, 1, 2, 3, 4, 5, 6, 7), S8);
  const auto hi = __builtin_convertvector(__builtin_shufflevector(c[2], c[3], 0, 1, 2, 3, 4, 5, 6, 7), S8);
  return __builtin_convertvector(
      __builtin_shufflevector(lo, hi, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15), U16);
}

// Packs sixteen codes into their 2 * Bits bytes of the LSB-first stream
// (sixteen codes always end on a byte boundary). Lane shuffles, not type
// punning, so the result does not depend on the host's byte order.
template <unsigned Bits>
void pack16(U16 c, uint8_t* out) {
  if constexpr (Bits == 2) {
    const U4 packed = __builtin_shufflevector(c, c, 0, 4, 8, 12) | __builtin_shufflevector(c, c, 1, 5, 9, 13) << 2 |
                      __builtin_shufflevector(c, c, 2, 6, 10, 14) << 4 | __builtin_shufflevector(c, c, 3, 7, 11, 15) << 6;
    std::memcpy(out, &packed, sizeof packed);
  } else if constexpr (Bits == 4) {
    const U8 packed = __builtin_shufflevector(c, c, 0, 2, 4, 6, 8, 10, 12, 14) |
                      __builtin_shufflevector(c, c, 1, 3, 5, 7, 9, 11, 13, 15) << 4;
    std::memcpy(out, &packed, sizeof packed);
  } else {
    for (unsigned half = 0; half < 2; ++half) {
      uint64_t word = 0;
      for (unsigned k = 0; k < 8; ++k) word |= static_cast<uint64_t>(c[8 * half + k]) << (k * Bits);
      for (unsigned byte = 0; byte < Bits; ++byte) out[half * Bits + byte] = static_cast<uint8_t>(word >> (8 * byte));
    }
  }
}

// Rescales the rotated direction, quantizes and packs it. The code is the
// count of boundaries strictly below the value: the binary search's answer
// for every input (ties and NaN included, both use the same strict `<`),
// computed across coordinates without gathers.
//
// (u * r) * root: the rotation's 1/sqrt(d) and the rescale by sqrt(d) are
// two roundings, never one merged factor; keeping them in one loop only
// saves a pass over memory. (A single factor is r with root = 1, exactly.)
//
// A d that is a multiple of sixteen goes sixteen coordinates at a time; any
// other goes one coordinate at a time through `scratch` and pack_codes.
// Kept out of line: inlined into RowEncoder::encode, whose rotation
// branches leave it fewer registers, its vectors were spilled to the stack
// (a slower add_batch at small widths: benchmarks/bench_collection.py shows it).
template <unsigned Bits>
[[gnu::noinline]] void quantize_and_pack(const float* u, size_t d, float r, float root, const float* boundary_table,
                       uint8_t* scratch, uint8_t* out) {
  constexpr size_t kBoundaries = (size_t{1} << Bits) - 1;
  if (d % kLanes == 0) {
    for (size_t j = 0; j < d; j += kLanes) {
      F4 v[4];
      I4 c[4];
      std::memcpy(v, u + j, sizeof v);
      for (size_t q = 0; q < 4; ++q) {
        v[q] = v[q] * r;
        v[q] = v[q] * root;
        c[q] = I4{};
      }
      // A true comparison is -1 in every bit of its lane.
      for (size_t i = 0; i < kBoundaries; ++i) {
        const F4 b = {boundary_table[i], boundary_table[i], boundary_table[i], boundary_table[i]};
        for (size_t q = 0; q < 4; ++q) c[q] -= b < v[q];
      }
      pack16<Bits>(narrow(c), out + j / 8 * Bits);
    }
    return;
  }
  for (size_t j = 0; j < d; ++j) {
    float v = u[j] * r;
    v = v * root;
    unsigned c = 0;
    for (size_t i = 0; i < kBoundaries; ++i) c += boundary_table[i] < v ? 1u : 0u;
    scratch[j] = static_cast<uint8_t>(c);
  }
  pack_codes(std::span<const uint8_t>(scratch, d), Bits, std::span<uint8_t>(out, code_bytes_for(d, Bits)));
}

}  // namespace

namespace {

[[gnu::noinline]] float wide_norm(const float* x, size_t d) {
  // Squares of float32 values are exact in double and their sum cannot
  // overflow; the order is still the coordinates'.
  double s = 0.0;
  for (size_t j = 0; j < d; ++j) s += static_cast<double>(x[j]) * static_cast<double>(x[j]);
  return static_cast<float>(std::sqrt(s));
}

}  // namespace

float row_norm(const float* x, size_t d) {
  // From -0.0, the exact additive identity. The squares are independent
  // (and may be formed several at once); the additions are one chain.
  float s = -0.0f;
  for (size_t j = 0; j < d; ++j) s = s + x[j] * x[j];
  // Infinity from finite values is an overflow of the float32 chain, not of
  // the norm; an infinite or NaN coordinate gives the same in double.
  if (s == std::numeric_limits<float>::infinity()) return wide_norm(x, d);
  return std::sqrt(s);
}

bool norm_too_large(const float* x, size_t d, uint16_t stored_norm) {
  if ((stored_norm & 0x7FFFu) != 0x7F80u) return false;  // not an infinite bfloat16
  for (size_t j = 0; j < d; ++j) {
    if (!std::isfinite(x[j])) return false;
  }
  return true;
}

Result<RowEncoder> RowEncoder::create(uint64_t row_length, std::span<const float> signs, uint8_t bits) {
  // The same checks, in the same order, as rotating and then selecting the
  // table would make; none depends on a row's values.
  if (row_length != signs.size()) return std::unexpected(IndexError::rotation_dimension_mismatch(row_length, signs.size()));
  if (row_length == 0 || (row_length & (row_length - 1)) != 0) {
    return std::unexpected(IndexError::not_power_of_two(row_length));
  }
  auto table = boundaries(bits);
  if (!table) return std::unexpected(table.error());
  auto owned = std::make_shared<const Rotator>(Rotator::from_signs(signs));
  auto enc = create(*owned, bits);
  if (enc) enc->owned_ = std::move(owned);
  return enc;
}

Result<RowEncoder> RowEncoder::create(const Rotator& rotator, uint8_t bits) {
  auto table = boundaries(bits);
  if (!table) return std::unexpected(table.error());
  RowEncoder enc;
  enc.rotator_ = &rotator;
  enc.boundaries_ = *table;
  enc.bits_ = bits;
  enc.code_bytes_ = static_cast<size_t>(code_bytes_for(rotator.code_width(), bits));
  enc.width_bytes_ = static_cast<size_t>(code_bytes_for(rotator.width(), bits));
  enc.direction_.resize(rotator.dim());
  if (rotator.is_general()) {
    enc.rotated_.resize(rotator.code_width());
    enc.scratch_.resize(rotator.scratch_floats());
  }
  enc.codes_.resize(rotator.width());
  return enc;
}

uint16_t RowEncoder::encode(const float* x, uint8_t* codes) {
  const Rotator& rot = *rotator_;
  const size_t d = direction_.size();
  float* u = direction_.data();

  const float norm = row_norm(x, d);
  const float* rotated = u;
  if (rot.is_general()) {
    // The rotation flips the signs itself, after the division, as below.
    if (norm > kMinNorm) {
      for (size_t j = 0; j < d; ++j) u[j] = x[j] / norm;
    } else {
      std::fill(u, u + d, 0.0f);
    }
    rot.rotate(u, rotated_.data(), scratch_.data());
    rotated = rotated_.data();
  } else {
    const float* signs = rot.signs().data();
    // NaN fails the comparison too and gets the zero direction.
    if (norm > kMinNorm) {
      // True division (not a reciprocal product), then the exact sign flip.
      for (size_t j = 0; j < d; ++j) u[j] = (x[j] / norm) * signs[j];
    } else {
      // Zeros, then the rotation's sign flip (-0.0 under a minus sign).
      for (size_t j = 0; j < d; ++j) u[j] = 0.0f * signs[j];
    }
    hadamard_transform(direction_);
  }

  const size_t m = static_cast<size_t>(rot.width());
  const float first = rot.row_scale_first();
  const float second = rot.row_scale_second();
  uint8_t* scratch = codes_.data();
  const float* b = boundaries_.data();
  switch (bits_) {
    case 2: quantize_and_pack<2>(rotated, m, first, second, b, scratch, codes); break;
    case 3: quantize_and_pack<3>(rotated, m, first, second, b, scratch, codes); break;
    case 4: quantize_and_pack<4>(rotated, m, first, second, b, scratch, codes); break;
    default: quantize_and_pack<5>(rotated, m, first, second, b, scratch, codes); break;
  }
  std::fill(codes + width_bytes_, codes + code_bytes_, uint8_t{0});
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
