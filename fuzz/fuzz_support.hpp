// Helpers the file readers' fuzzers share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz_support {

// A property the reader must keep did not hold: report it and stop, so
// libFuzzer saves the input.
[[noreturn]] inline void fail(const std::string& what) {
  std::fprintf(stderr, "property violated: %s\n", what.c_str());
  std::abort();
}

// The little-endian unsigned integer of `width` bytes at `p`.
inline uint64_t le(const uint8_t* p, size_t width) {
  uint64_t v = 0;
  for (size_t k = 0; k < width; ++k) v |= uint64_t{p[k]} << (8 * k);
  return v;
}

}  // namespace fuzz_support
