// The scalar scan kernel on the blocked layout: the portable path and the
// model every SIMD kernel follows. Built with the baseline target flags only.
#include <algorithm>
#include <cmath>

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

}  // namespace

const ScanKernels kScalarScan = {SimdLevel::kScalar,
                                 {&scan_scalar<2>, &scan_scalar<3>, &scan_scalar<4>, &scan_scalar<5>}};

}  // namespace lodex
