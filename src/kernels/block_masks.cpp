// The portable block tests (block_masks.hpp), for targets without SSE2:
// plain loops, the model the SSE2 file follows.
#include "kernels/block_masks.hpp"
#include "store/storage.hpp"

namespace lodex {

uint32_t blocks_with_survivors(const uint16_t* masks, size_t blocks) {
  uint32_t busy = 0;
  for (size_t b = 0; b < blocks; ++b) busy |= static_cast<uint32_t>(masks[b] != 0) << b;
  return busy;
}

uint32_t blocks_at_or_above(const float* keys, size_t rows, float root) {
  uint32_t reach = 0;
  for (size_t i = 0; i < rows; ++i) reach |= static_cast<uint32_t>(keys[i] >= root) << (i / kBlockRows);
  return reach;
}

}  // namespace lodex
