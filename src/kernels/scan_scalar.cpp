// The scalar kernels on the blocked layout: the exact scan, the portable
// path and the model every SIMD scan follows, and the scalar first pass
// (byte tables at 2 and 4 bits, rank-one levels at 3 and 5). Built with the
// baseline target flags only.
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
inline unsigned code_of(const uint32_t* lane_words, uint64_t j) {
  const uint64_t p = j * Bits;
  const uint32_t* lo = lane_words + (p / 32) * kBlockRows;
  const unsigned s = static_cast<unsigned>(p % 32);
  uint32_t v = lo[0] >> s;
  if (s + Bits > 32) v |= lo[kBlockRows] << (32 - s);
  return v & ((1u << Bits) - 1);
}

// The bound test of a block's rows for every query: the one finishing step
// of the scalar passes.
inline void finish_block(const PassArgs& args, const int32_t (*sums)[kBlockRows], const uint16_t* norms,
                         size_t lanes, uint16_t* out) {
  for (size_t q = 0; q < args.query_count; ++q) out[q] = 0;
  for (size_t lane = 0; lane < lanes; ++lane) {
    const float f = bf16_to_f32(norms[lane]) * args.scale;
    for (size_t q = 0; q < args.query_count; ++q) {
      if (pass_keeps(args.queries[q], sums[q][lane], f)) out[q] |= static_cast<uint16_t>(1u << lane);
    }
  }
}

// 2 and 4 bits, byte tables: one load and one add per code byte and query.
// Word-major over the block's sixteen rows, so the loads of one table row
// serve all of them.
void pass_byte_tables(const PassArgs& args, uint8_t bits, const uint32_t* blocks, const uint16_t* norms,
                      size_t rows, uint16_t* survivors) {
  const size_t words = args.dim * bits / 32;
  const size_t block_count = (rows + kBlockRows - 1) / kBlockRows;
  for (size_t b = 0; b < block_count; ++b) {
    const uint32_t* block = blocks + b * args.block_words;
    int32_t sums[kMaxPassQueries][kBlockRows];
    for (size_t q = 0; q < args.query_count; ++q) {
      const auto* table = reinterpret_cast<const uint16_t*>(args.queries[q].table);
      uint32_t acc[kBlockRows] = {};
      for (size_t w = 0; w < words; ++w) {
        const uint16_t* t = table + byte_table_offset(4 * w, 0);
        for (size_t lane = 0; lane < kBlockRows; ++lane) {
          const uint32_t x = block[w * kBlockRows + lane];
          acc[lane] += static_cast<uint32_t>(t[x & 0xFF]) + t[256 + (x >> 8 & 0xFF)] + t[512 + (x >> 16 & 0xFF)] +
                       t[768 + (x >> 24)];
        }
      }
      for (size_t lane = 0; lane < kBlockRows; ++lane) sums[q][lane] = static_cast<int32_t>(acc[lane]);
    }
    const size_t first = b * kBlockRows;
    finish_block(args, sums, norms + first, std::min(kBlockRows, rows - first), survivors + b * args.query_count);
  }
}

// Rank-one plans with u8 levels: each group of 32 coordinates of a block is
// decoded to levels once, then dotted with every query's s8 weights.
template <int Bits>
void pass_rank1(const PassArgs& args, const uint32_t* blocks, const uint16_t* norms, size_t rows,
                uint16_t* survivors) {
  const size_t block_count = (rows + kBlockRows - 1) / kBlockRows;
  const uint64_t groups = args.dim / 32;
  for (size_t b = 0; b < block_count; ++b) {
    const uint32_t* block = blocks + b * args.block_words;
    int32_t sums[kMaxPassQueries][kBlockRows] = {};
    for (uint64_t g = 0; g < groups; ++g) {
      // levels[lane][i]: the level of the code whose weight is at offset
      // 32g + i of the plan.
      uint8_t levels[kBlockRows][32];
      for (size_t lane = 0; lane < kBlockRows; ++lane) {
        for (unsigned i = 0; i < 32; ++i) {
          const uint64_t j = 32 * g + i;
          levels[lane][rank1_weight_offset(Bits, j) - 32 * g] = args.levels[code_of<Bits>(block + lane, j)];
        }
      }
      for (size_t q = 0; q < args.query_count; ++q) {
        const auto* weights = reinterpret_cast<const int8_t*>(args.queries[q].table) + 32 * g;
        for (size_t lane = 0; lane < kBlockRows; ++lane) {
          int32_t dot = 0;
          for (unsigned i = 0; i < 32; ++i) dot += static_cast<int32_t>(weights[i]) * levels[lane][i];
          sums[q][lane] += dot;
        }
      }
    }
    const size_t first = b * kBlockRows;
    finish_block(args, sums, norms + first, std::min(kBlockRows, rows - first), survivors + b * args.query_count);
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
void pass_scalar_2(const PassArgs& a, const uint32_t* b, const uint16_t* n, size_t r, uint16_t* s) {
  pass_byte_tables(a, 2, b, n, r, s);
}
void pass_scalar_3(const PassArgs& a, const uint32_t* b, const uint16_t* n, size_t r, uint16_t* s) {
  pass_rank1<3>(a, b, n, r, s);
}
void pass_scalar_4(const PassArgs& a, const uint32_t* b, const uint16_t* n, size_t r, uint16_t* s) {
  pass_byte_tables(a, 4, b, n, r, s);
}
void pass_scalar_5(const PassArgs& a, const uint32_t* b, const uint16_t* n, size_t r, uint16_t* s) {
  pass_rank1<5>(a, b, n, r, s);
}

}  // namespace lodex
