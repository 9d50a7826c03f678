// The block tests (block_masks.hpp) with SSE2, the x86-64 baseline: built
// with no extra target flags and reached without asking the CPU. A short
// last block, and the masks past the last eight, take the portable loops.
#include <emmintrin.h>

#include "kernels/block_masks.hpp"
#include "store/storage.hpp"

namespace lodex {

static_assert(kBlockRows == 16, "a block's keys are four vectors of four");

uint32_t blocks_with_survivors(const uint16_t* masks, size_t blocks) {
  uint32_t busy = 0;
  size_t b = 0;
  // Eight blocks a compare.
  for (; b + 8 <= blocks; b += 8) {
    const __m128i none = _mm_cmpeq_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(masks + b)),
                                         _mm_setzero_si128());
    busy |= (~static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(none, none))) & 0xFFu) << b;
  }
  for (; b < blocks; ++b) busy |= static_cast<uint32_t>(masks[b] != 0) << b;
  return busy;
}

uint32_t blocks_at_or_above(const float* keys, size_t rows, float root) {
  // Below a number root: k < root or NaN, i.e. not k >= root.
  const __m128 r = _mm_set1_ps(root);
  uint32_t reach = 0;
  size_t b = 0;
  for (; (b + 1) * kBlockRows <= rows; ++b) {
    const float* k = keys + b * kBlockRows;
    __m128 m = _mm_cmpge_ps(_mm_loadu_ps(k), r);
    m = _mm_or_ps(m, _mm_cmpge_ps(_mm_loadu_ps(k + 4), r));
    m = _mm_or_ps(m, _mm_cmpge_ps(_mm_loadu_ps(k + 8), r));
    m = _mm_or_ps(m, _mm_cmpge_ps(_mm_loadu_ps(k + 12), r));
    reach |= static_cast<uint32_t>(_mm_movemask_ps(m) != 0) << b;
  }
  for (size_t i = b * kBlockRows; i < rows; ++i) reach |= static_cast<uint32_t>(keys[i] >= root) << (i / kBlockRows);
  return reach;
}

}  // namespace lodex
