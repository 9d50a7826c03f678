// The scan kernels: score every row of a run of code blocks, one SIMD lane per
// row. Each lane adds its row's table entries in coordinate order from +0.0,
// exactly as score_row does, so every kernel's scores equal the reference's
// bit for bit. Kernels never allocate, throw or touch anything shared.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "cpu.hpp"

namespace lodex {

// The lane table: per coordinate j, `stride` floats at table[j * stride]; entry
// i is the table value for centroid (i mod 2^bits). Replicating the 4 or 8
// values of 2 and 3 bits across 16 slots lets a permute that reads only the
// low 4 index bits look codes up with no masking: bits above the code belong
// to the next coordinate and select an identical copy.
inline constexpr size_t scan_table_stride(uint8_t bits) { return bits == 5 ? 32 : 16; }
inline constexpr size_t kScanTableAlign = 64;

// How far ahead of the scan the SIMD kernels prefetch: far into L2, so that
// memory latency is hidden, and near into L1, so that the loads of the
// lookups rarely wait on L2. Measured at dim 128 from a 64 MB store: the near
// fetch gains ~4 % at 4 bits and ~20 % at 5 bits over the far one alone.
inline constexpr size_t kPrefetchFarBytes = 16384;
inline constexpr size_t kPrefetchNearBytes = 2048;

// The far distance for `blocks` blocks read side by side: at least past them,
// since wide rows make a block longer than kPrefetchFarBytes and a fetch
// into a neighbour being read comes too late.
inline constexpr size_t prefetch_far_bytes(size_t blocks, size_t block_words) {
  return std::max(kPrefetchFarBytes, blocks * block_words * sizeof(uint32_t));
}

struct ScanArgs {
  const float* table;  // the lane table, kScanTableAlign-aligned
  uint64_t dim;
  size_t block_words;  // u32 words per block: words_per_row * kBlockRows
  float scale;         // 1 / dim
};

// Scores rows 0 .. rows-1 of the consecutive blocks starting at `blocks`
// (ceil(rows / kBlockRows) blocks). norms[i] is row i's bfloat16 norm; only
// `rows` of them are read. Writes score i = sum_i * (norm_i * scale) to
// scores[i] (a NaN sum as it is, like score_row); slots past `rows` up to the
// block end hold unspecified values.
using ScanFn = void (*)(const ScanArgs& args, const uint32_t* blocks, const uint16_t* norms, size_t rows,
                        float* scores);

// ---- The integer first pass (see first_pass.hpp for the tables and the bound).
//
// Per query, every code value of every term (a coordinate; at 2 bits a pair
// of neighbouring coordinates, so that a term is a nibble as at 4 bits) has a
// u8 entry q, and every term an integer weight w in 1..127: a row's A is the
// sum of w * q over its terms, an exact integer whatever order it is added
// in (vpdpbusd multiplies the looked-up bytes by the weights and adds four
// at a time). The weight lets a term whose values span little use fine
// steps while the widest term still fits in 255 of its own, coarser ones.
// The entries sit in 64-byte tables in the order the AVX-512 kernels consume
// them (first_pass_offset); the weights follow them (first_pass_weight_offset).
inline constexpr size_t kFirstPassAlign = 64;
// Queries that share one pass over the codes.
inline constexpr size_t kMaxPassQueries = 8;

// Terms and values per term.
inline constexpr uint64_t first_pass_terms(uint64_t dim, uint8_t bits) { return bits == 2 ? dim / 2 : dim; }
inline constexpr size_t first_pass_values(uint8_t bits) { return bits == 2 ? 16 : size_t{1} << bits; }
// Bytes of the u8 entries, then of the whole table (entries and weights).
inline constexpr uint64_t first_pass_lookup_bytes(uint64_t dim, uint8_t bits) {
  return bits == 5 ? dim * 32 : bits == 4 ? dim * 16 : dim * 8;
}
inline constexpr uint64_t first_pass_table_bytes(uint64_t dim, uint8_t bits) {
  return first_pass_lookup_bytes(dim, bits) + (first_pass_terms(dim, bits) + 63) / 64 * 64;
}

// Byte offset of term t's value v in a query's table.
//  2, 4 bits: code word w holds 8 nibble terms (term 8w + 2b + h is nibble h
//    of byte b); per word, a table for the low nibbles and one for the high
//    ones, each indexed by nibble | b << 4.
//  3 bits: per 32 coordinates, 4 tables of 8 coordinates (an octet); entry
//    code | k << 3 for coordinate 8t + k of the octet.
//  5 bits: per octet two 128-byte tables, coordinates k < 4 and k >= 4; entry
//    code | (k % 4) << 5.
inline constexpr uint64_t first_pass_offset(uint8_t bits, uint64_t t, unsigned v) {
  if (bits == 2 || bits == 4) {
    const uint64_t w = t / 8;
    const unsigned o = static_cast<unsigned>(t % 8);
    return (w * 2 + o % 2) * 64 + ((o / 2) << 4 | v);
  }
  const uint64_t octet = t / 8;
  const unsigned k = static_cast<unsigned>(t % 8);
  if (bits == 3) return octet * 64 + (k << 3 | v);
  return octet * 256 + (k / 4) * 128 + ((k % 4) << 5 | v);
}

// Byte offset of term t's weight: the four weights of a nibble table as one
// u32 (byte b for the nibbles of byte b), the eight of an octet as one u64,
// so that each broadcasts over the lanes of its lookups.
inline constexpr uint64_t first_pass_weight_offset(uint64_t dim, uint8_t bits, uint64_t t) {
  const uint64_t base = first_pass_lookup_bytes(dim, bits);
  if (bits == 2 || bits == 4) {
    const unsigned o = static_cast<unsigned>(t % 8);
    return base + ((t / 8) * 2 + o % 2) * 4 + o / 2;
  }
  return base + t;
}

// One query of a pass: its table and the constants of its bound.
struct PassQuery {
  const uint8_t* table;  // first_pass_table_bytes, kFirstPassAlign-aligned
  float delta;           // the step of A
  float offset;          // C: rounded up so that (delta * A + C) * f bounds the score
  float below;           // skip rows whose bound is strictly below this (-inf: none)
};

struct PassArgs {
  uint64_t dim;
  size_t block_words;
  float scale;
  const PassQuery* queries;
  size_t query_count;  // 1 .. kMaxPassQueries
};

// For the blocks holding rows 0 .. rows-1 (as ScanFn), sets bit i of
// survivors[b * query_count + q] when row b*16+i of block b may still reach
// query q's heap: its bound U = fl(fl(fl(delta * A) + offset) * f), with
// f = fl(norm * scale), is not below `below`, or f is not a finite number
// >= 0. Bits of rows at or past `rows` are clear.
using PassFn = void (*)(const PassArgs& args, const uint32_t* blocks, const uint16_t* norms, size_t rows,
                        uint16_t* survivors);

// One instruction set's kernels, indexed by bits - 2. `first_pass` entries
// are null for a level without its own first pass.
struct ScanKernels {
  SimdLevel level;
  ScanFn by_bits[4];
  PassFn first_pass[4];
};

extern const ScanKernels kScalarScan;
#if defined(LODEX_X86)
extern const ScanKernels kAvx2Scan;
extern const ScanKernels kAvx512Scan;
extern const ScanKernels kAvx512VbmiScan;
void pass_avx512vbmi_2(const PassArgs&, const uint32_t*, const uint16_t*, size_t, uint16_t*);
void pass_avx512vbmi_3(const PassArgs&, const uint32_t*, const uint16_t*, size_t, uint16_t*);
void pass_avx512vbmi_4(const PassArgs&, const uint32_t*, const uint16_t*, size_t, uint16_t*);
void pass_avx512vbmi_5(const PassArgs&, const uint32_t*, const uint16_t*, size_t, uint16_t*);
#endif

// The kernels of `level`, or of the best supported level below it when the
// machine lacks it. Chosen once per search, outside every loop.
const ScanKernels& scan_kernels(SimdLevel level);

// The bound test of one row, shared by the scalar first pass and the tests:
// true when the row may not be skipped.
bool pass_keeps(const PassQuery& q, int32_t a, float f);

}  // namespace lodex
