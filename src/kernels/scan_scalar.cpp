// The scalar exact scan on the blocked layout, the portable path and the
// model every SIMD scan follows, and its mixed-block form. Built with the
// baseline target flags only; the scalar first pass is pass_scalar.cpp's.
#include <algorithm>
#include <cmath>

#include "kernels/shared_kernels.hpp"
#include "store/storage.hpp"

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

// Rows of several queries per block: each lane's entries formed as the lane
// table's are, one rounded product, then added in coordinate order.
template <int Bits>
void scan_mixed_scalar(const MixedArgs& args, const uint32_t* codes, const uint32_t* offsets,
                       const uint32_t* queries, const uint16_t* norms, const size_t* rows, size_t count,
                       float* scores) {
  constexpr uint32_t kMask = (1u << Bits) - 1;
  for (size_t b = 0; b < count; ++b) {
    for (size_t lane = 0; lane < rows[b]; ++lane) {
      const size_t q = queries[b * kBlockRows + lane];
      const uint32_t* row = codes + offsets[b * kBlockRows + lane];
      float acc = 0.0f;
      for (uint64_t j = 0; j < args.dim; ++j) {
        const uint64_t p = j * Bits;
        const uint32_t* lo = row + (p / 32) * kBlockRows;
        const unsigned s = static_cast<unsigned>(p % 32);
        uint32_t code = *lo >> s;
        if (s + Bits > 32) code |= lo[kBlockRows] << (32 - s);
        const float entry = args.centroids[code & kMask] * args.rotated[j * kMaxPassQueries + q];
        acc += entry;
      }
      const float factor = bf16_to_f32(norms[b * kBlockRows + lane]) * args.scale;
      scores[b * kBlockRows + lane] = std::isnan(acc) ? acc : acc * factor;
    }
  }
}

}  // namespace

void scan_scalar_2(const ScanArgs& a, const uint32_t* b, const uint16_t* n, size_t r, float* s) {
  scan_scalar<2>(a, b, n, r, s);
}
void scan_scalar_3(const ScanArgs& a, const uint32_t* b, const uint16_t* n, size_t r, float* s) {
  scan_scalar<3>(a, b, n, r, s);
}
void scan_scalar_4(const ScanArgs& a, const uint32_t* b, const uint16_t* n, size_t r, float* s) {
  scan_scalar<4>(a, b, n, r, s);
}
void scan_scalar_5(const ScanArgs& a, const uint32_t* b, const uint16_t* n, size_t r, float* s) {
  scan_scalar<5>(a, b, n, r, s);
}
void scan_mixed_scalar_2(const MixedArgs& a, const uint32_t* k, const uint32_t* o, const uint32_t* q,
                         const uint16_t* n, const size_t* r, size_t c, float* s) {
  scan_mixed_scalar<2>(a, k, o, q, n, r, c, s);
}
void scan_mixed_scalar_3(const MixedArgs& a, const uint32_t* k, const uint32_t* o, const uint32_t* q,
                         const uint16_t* n, const size_t* r, size_t c, float* s) {
  scan_mixed_scalar<3>(a, k, o, q, n, r, c, s);
}
void scan_mixed_scalar_4(const MixedArgs& a, const uint32_t* k, const uint32_t* o, const uint32_t* q,
                         const uint16_t* n, const size_t* r, size_t c, float* s) {
  scan_mixed_scalar<4>(a, k, o, q, n, r, c, s);
}
void scan_mixed_scalar_5(const MixedArgs& a, const uint32_t* k, const uint32_t* o, const uint32_t* q,
                         const uint16_t* n, const size_t* r, size_t c, float* s) {
  scan_mixed_scalar<5>(a, k, o, q, n, r, c, s);
}

}  // namespace lodex
