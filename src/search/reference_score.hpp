// The reference scorer: one row against one query's table, one coordinate at
// a time, the definition every scan kernel reproduces bit for bit (tests and
// fuzzers compare them). The scan never calls it, so it is written for
// clarity, not speed.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "store/storage.hpp"

namespace lodex {

// Per-query lookup table: entries[j * n_centroids + c] = centroid[c] * r[j].
struct QueryTable {
  std::vector<float> entries;
  size_t n_centroids = 0;
};

inline QueryTable build_query_table(std::span<const float> rotated_query, std::span<const float> centroids) {
  QueryTable table;
  table.n_centroids = centroids.size();
  table.entries.resize(rotated_query.size() * centroids.size());
  float* out = table.entries.data();
  for (const float r : rotated_query) {
    for (const float c : centroids) *out++ = c * r;
  }
  return table;
}

// The row's table entries summed in coordinate order from +0.0, then
// sum * (norm * scale); a NaN sum is returned as it is.
inline float score_row(const QueryTable& table, uint8_t bits, uint64_t dim, float scale,
                       std::span<const uint8_t> codes, float norm) {
  const float* entries = table.entries.data();
  const size_t n = table.n_centroids;
  float sum = 0.0f;
  switch (bits) {
    case 2:
    case 4: {
      // No code straddles a byte: walk whole bytes, low slot first, and stop
      // at dim (the unused slots of the last byte are ignored).
      const unsigned per_byte = 8u / bits;
      const unsigned mask = (1u << bits) - 1;
      uint64_t j = 0;
      for (size_t k = 0; j < dim; ++k) {
        const unsigned byte = codes[k];
        for (unsigned slot = 0; slot < per_byte && j < dim; ++slot, ++j) {
          sum += entries[j * n + ((byte >> (slot * bits)) & mask)];
        }
      }
      break;
    }
    case 3:
    case 5: {
      // The general bit-stream rule: codes may cross byte boundaries.
      for (uint64_t j = 0; j < dim; ++j) sum += entries[j * n + unpack_code(codes.data(), j, bits)];
      break;
    }
    default:
      break;  // unreachable: the codebook lookup has already failed
  }
  // norm * scale first: with a norm near the float32 maximum the other
  // association overflows differently.
  const float factor = norm * scale;
  // When both operands are NaN, IEEE 754 leaves open which one a product
  // returns, and the compiler may commute it: a NaN sum is passed through as
  // it is (the quiet NaN the product would return), so that every kernel
  // gives this function's bits.
  return std::isnan(sum) ? sum : sum * factor;
}

}  // namespace lodex
