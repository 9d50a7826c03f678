// The scan kernels: score every row of a run of code blocks, one SIMD lane per
// row. Each lane adds its row's table entries in coordinate order from +0.0,
// exactly as score_row does, so every kernel's scores equal the reference's
// bit for bit. Kernels never allocate, throw or touch anything shared.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "kernels/cpu.hpp"
#include "search/first_pass.hpp"

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
// lookups rarely wait on L2. The near fetch measured faster than the far one
// alone at dim 128 from a 64 MB store, most at 5 bits (`make bench-levels`;
// the current times per level are in benchmarks/results/levels.md).
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

// Mixed blocks: rows of several queries, read where they are stored. Lane i
// of mixed block b scores the row whose code word w is codes[offsets[b *
// kBlockRows + i] + w * kBlockRows] (a lane of a block of the store) for
// query queries[b * kBlockRows + i] of a group of up to kMaxPassQueries.
// A lane's table entry is formed as the lane table forms it, centroid[code] *
// r[j] (one rounded product, never fused into the add), from the codebook
// and the group's rotated queries, so a lane's sum is bit for bit the one
// ScanFn gives its row against its query's lane table. The rows that survive
// the first pass are a few per query and run, scattered over its blocks: a
// block of one query's would read its whole lane table for them, a mixed
// block reads 4 bytes per coordinate and query, and no row is copied.
struct MixedArgs {
  uint64_t dim;
  float scale;             // 1 / dim
  const float* centroids;  // scan_table_stride(bits) floats: codebook[c mod 2^bits], kScanTableAlign-aligned
  const float* rotated;    // rotated query q's coordinate j at [j * kMaxPassQueries + q]
};

// Scores rows[b] (1 .. kBlockRows) lanes of each of `count` mixed blocks
// (their norms at norms + b * kBlockRows, scores to scores + b * kBlockRows).
// `offsets` and `queries` hold count * kBlockRows entries, offsets below
// 2^31; lanes past rows[b] read no row and get unspecified scores.
using ScanMixedFn = void (*)(const MixedArgs& args, const uint32_t* codes, const uint32_t* offsets,
                             const uint32_t* queries, const uint16_t* norms, const size_t* rows, size_t count,
                             float* scores);
// The most blocks one mixed call takes: enough to score side by side (their
// add chains overlap), few enough to leave a run's last call well filled.
inline constexpr size_t kMixedBlocks = 4;

// A search of at least this many queries takes a level's batch pass.
inline constexpr size_t kBatchPassQueries = 3;

// One level's kernels, indexed by bits - 2: a constant table per level,
// defined in that level's file and read through scan_kernels alone. Every
// level has an exact scan and a first pass at every width. A `batch_pass`
// entry with a function replaces first_pass in searches of
// kBatchPassQueries queries or more (a pass whose per-block work is shared
// by a group's queries, where first_pass is the faster one for a single
// query). A level without `mixed` kernels has its caller give each query
// its own blocks, scored by by_bits.
struct ScanKernels {
  SimdLevel level;
  ScanFn by_bits[4];  // the exact scan
  PassKernel first_pass[4];
  PassKernel batch_pass[4] = {};
  ScanMixedFn mixed[4] = {};
};

// The kernels of `level`, or of the best supported level below it when the
// machine lacks it (kernels/dispatch.cpp). Chosen once per search, outside
// every loop.
const ScanKernels& scan_kernels(SimdLevel level);

// scan_kernels(level).mixed[bits - 2]: nullptr where that level has none
// (or for bits outside 2 .. 5).
ScanMixedFn scan_mixed_kernel(SimdLevel level, uint8_t bits);

// The table of `level` itself, whether or not this machine may run it (the
// scalar one for a level of another architecture): for checking tables.
// Only kernels that scan_kernels returns may be called.
const ScanKernels& level_kernels(SimdLevel level);

}  // namespace lodex
