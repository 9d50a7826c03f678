// The scan kernels: score every row of a run of code blocks, one SIMD lane per
// row. Each lane adds its row's table entries in coordinate order from +0.0,
// exactly as score_row does, so every kernel's scores equal the reference's
// bit for bit. Kernels never allocate, throw or touch anything shared.
#pragma once

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

// One instruction set's kernels, indexed by bits - 2.
struct ScanKernels {
  SimdLevel level;
  ScanFn by_bits[4];
};

extern const ScanKernels kScalarScan;
#if defined(LODEX_X86)
extern const ScanKernels kAvx2Scan;
extern const ScanKernels kAvx512Scan;
#endif

// The kernels of `level`, or of the best supported level below it when the
// machine lacks it. Chosen once per search, outside every loop.
const ScanKernels& scan_kernels(SimdLevel level);

}  // namespace lodex
