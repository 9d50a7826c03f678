// Stores filled with random rows for the search and kernel tests, and the
// per-row reference scores computed with score_row. Fixed seeds throughout.
// Searches by signs come from search_by_signs.hpp.
#pragma once

#include <algorithm>
#include <bit>
#include <iterator>
#include <limits>
#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "quant/codebook.hpp"
#include "kernels/scan.hpp"
#include "rotation/hadamard.hpp"
#include "search/reference_score.hpp"
#include "search/search.hpp"
#include "search_by_signs.hpp"
#include "store/storage.hpp"

namespace lodex::testing_support {

// Norm patterns a row can carry besides ordinary values: NaNs (quiet,
// signalling, negative), infinities, signed zeros, the smallest subnormal,
// the largest finite bfloat16.
inline constexpr uint16_t kSpecialNorms[] = {0x7FC1, 0x7F81, 0xFFC0, 0x7F80, 0xFF80, 0x0000,
                                             0x8000, 0x0001, 0x7F7F};

struct RowOptions {
  bool special_norms = false;  // every seventh row takes a special norm
  bool row_terms = false;      // rows carry random terms (every eleventh infinite or NaN)
};

// `rows` rows of random codes (each below 2^bits; the unused high bits of
// the last byte zero, as packing leaves them) and random norms; id = row.
inline Storage random_storage(uint64_t dim, uint8_t bits, size_t rows, uint64_t seed, RowOptions options = {}) {
  Storage storage(dim, seed, bits, false, options.row_terms);
  std::mt19937_64 rng(seed);
  const float odd_terms[] = {std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                             std::numeric_limits<float>::quiet_NaN()};
  std::vector<uint8_t> codes(dim);
  std::vector<uint8_t> packed(storage.code_bytes());
  std::uniform_real_distribution<float> norm(0.01f, 4.0f);
  for (size_t i = 0; i < rows; ++i) {
    for (uint8_t& c : codes) c = static_cast<uint8_t>(rng() & ((1u << bits) - 1));
    pack_codes(codes, bits, packed);
    uint16_t n = bf16_from_f32(norm(rng));
    if (options.special_norms && i % 7 == 3) n = kSpecialNorms[(i / 7) % std::size(kSpecialNorms)];
    float term = 0.0f;
    if (options.row_terms) term = i % 11 == 5 ? odd_terms[(i / 11) % 3] : norm(rng) * 100.0f - 200.0f;
    storage.push(i, n, packed, std::nullopt, term);
  }
  return storage;
}

inline std::vector<float> gaussian(uint64_t dim, uint64_t seed) {
  std::mt19937 rng(static_cast<uint32_t>(seed));
  std::normal_distribution<float> g;
  std::vector<float> v(dim);
  for (float& x : v) x = g(rng);
  return v;
}

// Every row's score by the reference path: rotate, table, score_row.
inline std::vector<float> reference_scores(const Storage& storage, std::span<const float> signs,
                                           std::span<const float> query) {
  const auto rotated = rotate_unscaled(query, signs);
  const auto cb = centroids(storage.bits());
  const QueryTable table = build_query_table(*rotated, *cb);
  const float scale = 1.0f / static_cast<float>(storage.dim());
  std::vector<uint8_t> codes(storage.code_bytes());
  std::vector<float> scores(storage.len());
  for (size_t i = 0; i < storage.len(); ++i) {
    storage.copy_codes(i, codes);
    scores[i] = score_row(table, storage.bits(), storage.dim(), scale, codes, *storage.get_norm(i));
  }
  return scores;
}

// True when a lower level of this machine runs the same kernels as the
// supported `level` (its exact scans, and unless `exact_only` its first
// passes too): a test of it would repeat that level's.
inline bool repeats_lower_level(SimdLevel level, bool exact_only) {
  const ScanKernels& k = scan_kernels(level);
  for (const SimdLevel lower : supported_simd_levels()) {
    if (lower == level) break;
    const ScanKernels& l = scan_kernels(lower);
    bool same = std::equal(std::begin(k.by_bits), std::end(k.by_bits), std::begin(l.by_bits));
    for (size_t i = 0; i < 4 && !exact_only; ++i) {
      same &= k.first_pass[i].fn == l.first_pass[i].fn && k.batch_pass[i].fn == l.batch_pass[i].fn;
    }
    if (same) return true;
  }
  return false;
}

inline uint32_t bits_of(float x) { return std::bit_cast<uint32_t>(x); }

}  // namespace lodex::testing_support
