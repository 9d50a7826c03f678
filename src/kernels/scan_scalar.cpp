// The scalar scan kernel on the blocked layout: the portable path and the
// model every SIMD kernel follows. Built with the baseline target flags only.
#include <algorithm>
#include <cmath>
#include <limits>

#include "kernels/scan.hpp"
#include "storage.hpp"

namespace lodex {

namespace {

template <int Bits>
void scan_scalar(const ScanArgs& args, const uint32_t* blocks, const uint16_t* norms, size_t rows, float* scores) {
  constexpr uint32_t kMask = (1u << Bits) - 1;
  constexpr size_t kStride = scan_table_stride(Bits);
  const size_t block_count = (rows + kBlockRows - 1) / kBlockRows;
  for (size_t b = 0; b < block_count; ++b) {
    const uint32_t* block = blocks + b * args.block_words;
    // Coordinate outermost, lanes innermost: sixteen independent sums, each
    // still taken strictly in coordinate order.
    float acc[kBlockRows];
    std::fill(acc, acc + kBlockRows, 0.0f);
    for (uint64_t j = 0; j < args.dim; ++j) {
      const uint64_t p = j * Bits;
      const uint32_t* lo = block + (p / 32) * kBlockRows;
      const unsigned s = static_cast<unsigned>(p % 32);
      const float* t = args.table + j * kStride;
      if (s + Bits > 32) {
        // The code straddles two words: its high bits start the next word.
        const uint32_t* hi = lo + kBlockRows;
        for (size_t lane = 0; lane < kBlockRows; ++lane) {
          acc[lane] += t[((lo[lane] >> s) | (hi[lane] << (32 - s))) & kMask];
        }
      } else {
        for (size_t lane = 0; lane < kBlockRows; ++lane) acc[lane] += t[(lo[lane] >> s) & kMask];
      }
    }
    const size_t first = b * kBlockRows;
    const size_t lanes = std::min(kBlockRows, rows - first);
    for (size_t lane = 0; lane < lanes; ++lane) {
      // A NaN sum passes through unchanged, as in score_row.
      const float factor = bf16_to_f32(norms[first + lane]) * args.scale;
      scores[first + lane] = std::isnan(acc[lane]) ? acc[lane] : acc[lane] * factor;
    }
  }
}

// Code of coordinate j of the row whose word 0 is at `lane_words` (stride kBlockRows).
template <int Bits>
unsigned code_of(const uint32_t* lane_words, uint64_t j) {
  const uint64_t p = j * Bits;
  const uint32_t* lo = lane_words + (p / 32) * kBlockRows;
  const unsigned s = static_cast<unsigned>(p % 32);
  uint32_t v = lo[0] >> s;
  if (s + Bits > 32) v |= lo[kBlockRows] << (32 - s);
  return v & ((1u << Bits) - 1);
}

// The first pass one row at a time: the model the SIMD passes reproduce.
template <int Bits>
void pass_scalar(const PassArgs& args, const uint32_t* blocks, const uint16_t* norms, size_t rows,
                 uint16_t* survivors) {
  const size_t block_count = (rows + kBlockRows - 1) / kBlockRows;
  const uint64_t terms = first_pass_terms(args.dim, Bits);
  for (size_t b = 0; b < block_count; ++b) {
    const uint32_t* block = blocks + b * args.block_words;
    for (size_t q = 0; q < args.query_count; ++q) survivors[b * args.query_count + q] = 0;
    const size_t lanes = std::min(kBlockRows, rows - b * kBlockRows);
    for (size_t lane = 0; lane < lanes; ++lane) {
      const float f = bf16_to_f32(norms[b * kBlockRows + lane]) * args.scale;
      for (size_t q = 0; q < args.query_count; ++q) {
        const PassQuery& query = args.queries[q];
        int32_t a = 0;
        for (uint64_t t = 0; t < terms; ++t) {
          const unsigned v = Bits == 2 ? code_of<2>(block + lane, 2 * t) | code_of<2>(block + lane, 2 * t + 1) << 2
                                       : code_of<Bits>(block + lane, t);
          a += static_cast<int32_t>(query.table[first_pass_weight_offset(args.dim, Bits, t)]) *
               query.table[first_pass_offset(Bits, t, v)];
        }
        if (pass_keeps(query, a, f)) survivors[b * args.query_count + q] |= static_cast<uint16_t>(1u << lane);
      }
    }
  }
}

}  // namespace

bool pass_keeps(const PassQuery& q, int32_t a, float f) {
  // Only a finite f >= 0 keeps the product monotone in the sum (-0 counts:
  // it compares equal to 0). Three rounded float32 operations, never fused,
  // as in every SIMD pass.
  if (!(f >= 0.0f && f < std::numeric_limits<float>::infinity())) return true;
  const float u = (static_cast<float>(a) * q.delta + q.offset) * f;
  return !(u < q.below);
}

const ScanKernels kScalarScan = {SimdLevel::kScalar,
                                 {&scan_scalar<2>, &scan_scalar<3>, &scan_scalar<4>, &scan_scalar<5>},
                                 {&pass_scalar<2>, &pass_scalar<3>, &pass_scalar<4>, &pass_scalar<5>}};

}  // namespace lodex
