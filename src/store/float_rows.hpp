// Rows of float32 values in caller memory, read one at a time. Holds no
// memory but one row of scratch; never writes to the rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace lodex {

// A row-major matrix of `cols` floats per row at any byte address. NumPy
// allows a float32 array at an address that is no multiple of 4 (a memory
// map at an odd offset, a field of a packed record), and reading such memory
// through a float pointer is undefined behaviour: there each row asked for is
// copied into aligned scratch first, so a caller that reads a few rows of a
// huge matrix copies only those. Aligned rows are read in place.
class FloatRows {
 public:
  FloatRows(const void* data, size_t cols)
      : data_(static_cast<const unsigned char*>(data)),
        cols_(cols),
        aligned_(reinterpret_cast<uintptr_t>(data) % alignof(float) == 0),
        scratch_(aligned_ ? 0 : cols) {}

  // Row r; a copied row stays valid until the next call.
  const float* row(size_t r) {
    const unsigned char* at = data_ + r * cols_ * sizeof(float);
    if (aligned_) return reinterpret_cast<const float*>(at);
    std::memcpy(scratch_.data(), at, cols_ * sizeof(float));
    return scratch_.data();
  }

 private:
  const unsigned char* data_;
  size_t cols_;
  bool aligned_;
  std::vector<float> scratch_;
};

}  // namespace lodex
