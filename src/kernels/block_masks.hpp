// Two whole-block tests of the scan driver, one call a run, kept here so that
// the driver's sources hold no intrinsics: which blocks of a run hold a
// first-pass survivor, and which hold a key that may enter a full heap.
// SSE2 (part of every x86-64 CPU, so no dispatch) in x86/block_masks_sse2.cpp,
// portable C++ in block_masks.cpp elsewhere; both give the same answers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lodex {

// Bit b set when masks[b] is not zero, for b below `blocks` (at most 32).
uint32_t blocks_with_survivors(const uint16_t* masks, size_t blocks);

// Bit b set when any of block b's keys, keys[16b .. min(16b + 16, rows)),
// is at least `root`, a number (a NaN key never is), for the blocks of
// `rows` keys (at most 32 blocks).
uint32_t blocks_at_or_above(const float* keys, size_t rows, float root);

}  // namespace lodex
