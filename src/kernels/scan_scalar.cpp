// The scalar kernels on the blocked layout: the exact scan, the portable
// path and the model every SIMD scan follows, and the scalar first pass
// (byte tables at 2 and 4 bits, rank-one levels at 3 and 5). Built with the
// baseline target flags only.
#include <algorithm>
#include <cstring>
#include <cmath>
#include <limits>

#include "kernels/scan.hpp"
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

// The bound test of a block's rows for every query: the one finishing step
// of the scalar passes.
inline void finish_block(const PassArgs& args, const int32_t (*sums)[kBlockRows], const uint16_t* norms,
                         size_t lanes, uint16_t* out) {
  for (size_t q = 0; q < args.query_count; ++q) out[q] = 0;
  const float* terms = args.key == KeyKind::kRowTerm ? args.terms + (norms - args.norms) : nullptr;
  for (size_t lane = 0; lane < lanes; ++lane) {
    const float n = bf16_to_f32(norms[lane]);
    const float f = n * args.scale;
    const float row = terms != nullptr ? terms[lane] : n;
    for (size_t q = 0; q < args.query_count; ++q) {
      if (pass_keeps(args.queries[q], sums[q][lane], f, args.key, row)) out[q] |= static_cast<uint16_t>(1u << lane);
    }
  }
}

// The most blocks a pass call gets: one run of the scan driver.
constexpr size_t kPassBlocks = 16;

// 2 and 4 bits, byte tables: one load and one add per code byte and query.
// Query by query over all the call's blocks, so that one query's tables
// serve a whole run while they are in cache; word-major within a block, so
// the loads of one table row serve its sixteen rows.
void pass_byte_tables(const PassArgs& args, uint8_t bits, const uint32_t* blocks, const uint16_t* norms,
                      size_t rows, uint16_t* survivors) {
  const size_t words = args.dim * bits / 32;
  const size_t block_count = (rows + kBlockRows - 1) / kBlockRows;
  for (size_t first = 0; first < block_count; first += kPassBlocks) {
    const size_t count = std::min(kPassBlocks, block_count - first);
    int32_t sums[kPassBlocks][kMaxPassQueries][kBlockRows];
    for (size_t q = 0; q < args.query_count; ++q) {
      const auto* table = reinterpret_cast<const uint16_t*>(args.queries[q].table);
      for (size_t b = 0; b < count; ++b) {
        const uint32_t* block = blocks + (first + b) * args.block_words;
        uint32_t acc[kBlockRows] = {};
        for (size_t w = 0; w < words; ++w) {
          const uint16_t* t = table + byte_table_offset(4 * w, 0);
          for (size_t lane = 0; lane < kBlockRows; ++lane) {
            const uint32_t x = block[w * kBlockRows + lane];
            acc[lane] += static_cast<uint32_t>(t[x & 0xFF]) + t[256 + (x >> 8 & 0xFF)] + t[512 + (x >> 16 & 0xFF)] +
                         t[768 + (x >> 24)];
          }
        }
        for (size_t lane = 0; lane < kBlockRows; ++lane) sums[b][q][lane] = static_cast<int32_t>(acc[lane]);
      }
    }
    for (size_t b = 0; b < count; ++b) {
      const size_t row = (first + b) * kBlockRows;
      finish_block(args, sums[b], norms + row, std::min(kBlockRows, rows - row),
                   survivors + (first + b) * args.query_count);
    }
  }
}

// Rank-one plans with u8 levels (3 and 5 bits: weights in coordinate
// order). A block is decoded a chunk of coordinates at a time, two codes per
// lookup of a table of level pairs, then dotted with every query's s8
// weights (loops the compiler vectorizes).
template <int Bits>
void pass_rank1(const PassArgs& args, const uint32_t* blocks, const uint16_t* norms, size_t rows,
                uint16_t* survivors) {
  static_assert(Bits == 3 || Bits == 5);
  constexpr unsigned kPairBits = 2 * Bits;
  constexpr size_t kChunkGroups = 8;  // 256 coordinates: 4 KiB of levels for a block
  // pairs[c0 | c1 << Bits]: the levels of two neighbouring codes as one u16.
  uint16_t pairs[1u << kPairBits];
  for (unsigned i = 0; i < (1u << kPairBits); ++i) {
    pairs[i] = static_cast<uint16_t>(args.levels[i & ((1u << Bits) - 1)] | args.levels[i >> Bits] << 8);
  }
  const size_t block_count = (rows + kBlockRows - 1) / kBlockRows;
  const uint64_t groups = args.dim / 32;
  for (size_t b = 0; b < block_count; ++b) {
    const uint32_t* block = blocks + b * args.block_words;
    int32_t sums[kMaxPassQueries][kBlockRows] = {};
    for (uint64_t g0 = 0; g0 < groups; g0 += kChunkGroups) {
      const size_t chunk = std::min<uint64_t>(kChunkGroups, groups - g0);
      alignas(16) uint8_t levels[kBlockRows][kChunkGroups * 32];
      for (size_t lane = 0; lane < kBlockRows; ++lane) {
        for (size_t g = 0; g < chunk; ++g) {
          const uint32_t* w = block + (g0 + g) * Bits * kBlockRows + lane;
          uint16_t* out = reinterpret_cast<uint16_t*>(levels[lane] + g * 32);
          // Pair m of the group: 2 * Bits bits from bit 2 * Bits * m, in one
          // word or straddling two (constant shifts once unrolled).
#pragma GCC unroll 16
          for (unsigned m = 0; m < 16; ++m) {
            const unsigned p = kPairBits * m;
            const unsigned s = p % 32;
            uint32_t v = w[(p / 32) * kBlockRows] >> s;
            if (s + kPairBits > 32) v |= w[(p / 32 + 1) * kBlockRows] << (32 - s);
            uint16_t both = pairs[v & ((1u << kPairBits) - 1)];
            std::memcpy(out + m, &both, 2);
          }
        }
      }
      const size_t n = chunk * 32;
      for (size_t q = 0; q < args.query_count; ++q) {
        const auto* weights = reinterpret_cast<const int8_t*>(args.queries[q].table) + g0 * 32;
        for (size_t lane = 0; lane < kBlockRows; ++lane) {
          int32_t dot = 0;
          for (size_t i = 0; i < n; ++i) dot += static_cast<int32_t>(weights[i]) * levels[lane][i];
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
