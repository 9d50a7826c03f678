// The scalar level: its table, and its first pass on the blocked layout
// (byte tables at 2 and 4 bits, rank-one levels at 3 and 5), which produces
// survivor masks, never scores; the exact scans are scan_scalar.cpp's. Built
// with the baseline target flags only.
#include <algorithm>
#include <cstring>

#include "kernels/shared_kernels.hpp"
#include "store/storage.hpp"

namespace lodex {

namespace {

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

// The byte-table pass at one width, as the table takes it.
template <int Bits>
void byte_table_pass(const PassArgs& args, const uint32_t* blocks, const uint16_t* norms, size_t rows,
                     uint16_t* survivors) {
  pass_byte_tables(args, Bits, blocks, norms, rows, survivors);
}

}  // namespace

extern constinit const ScanKernels kScalarKernels = {
    .level = SimdLevel::kScalar,
    .by_bits = {&scan_scalar_2, &scan_scalar_3, &scan_scalar_4, &scan_scalar_5},
    .first_pass = {{&byte_table_pass<2>, PassFormat::kByteTable},
                   {&pass_rank1<3>, PassFormat::kRank1U8},
                   {&byte_table_pass<4>, PassFormat::kByteTable},
                   {&pass_rank1<5>, PassFormat::kRank1U8}},
    .mixed = {&scan_mixed_scalar_2, &scan_mixed_scalar_3, &scan_mixed_scalar_4, &scan_mixed_scalar_5},
};

}  // namespace lodex
