// The AVX2 scan kernel: eight lanes per register, so each block of 16 rows
// is scanned as two halves (rows 0-7 and 8-15 of every code word). Compiled
// with AVX2 flags; only reached when the CPU and OS both support them.
//
// The 8-float permute reads the low 3 index bits: 2 and 3 bits look up
// directly (2 bits from a table replicated to 8 slots), 4 bits permute both
// table halves and pick by code bit 3, 5 bits gather from the 32 values.
#include <immintrin.h>

#include <algorithm>

#include "kernels/shared_kernels.hpp"
#include "store/storage.hpp"

namespace lodex {

namespace {

constexpr size_t kLanes = 8;
constexpr size_t kHalves = kBlockRows / kLanes;
// Half-blocks in flight, each its own add chain.
constexpr int kInFlight = 4;

template <int Bits>
inline __m256 lookup(const float* t, __m256i code) {
  if constexpr (Bits <= 3) {
    return _mm256_permutevar8x32_ps(_mm256_load_ps(t), code);
  } else if constexpr (Bits == 4) {
    const __m256 lo = _mm256_permutevar8x32_ps(_mm256_load_ps(t), code);
    const __m256 hi = _mm256_permutevar8x32_ps(_mm256_load_ps(t + 8), code);
    // blendv selects by each lane's sign bit: move code bit 3 there.
    return _mm256_blendv_ps(lo, hi, _mm256_castsi256_ps(_mm256_slli_epi32(code, 28)));
  } else {
    // One gather beats four permutes and three blends here, while at 4 bits
    // the two permutes and a blend beat a gather (measured on Sapphire
    // Rapids at dim 128; benchmarks/results/levels.md).
    return _mm256_i32gather_ps(t, _mm256_and_si256(code, _mm256_set1_epi32(31)), 4);
  }
}

inline __m256i load_word(const uint32_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }

// The code at stream bit `pos` of a row whose word 0 is at `words` (one word
// per kBlockRows stride); bits above it are left for the lookup to ignore.
// `pos` is a constant after unrolling, so the shifts are immediates.
template <int Bits>
inline __m256i code_at(const uint32_t* words, unsigned pos) {
  const unsigned word = pos / 32;
  const unsigned shift = pos % 32;
  const __m256i lo = load_word(words + word * kBlockRows);
  if (shift == 0) return lo;
  if (shift + Bits > 32) {
    const __m256i hi = load_word(words + (word + 1) * kBlockRows);
    return _mm256_or_si256(_mm256_srli_epi32(lo, static_cast<int>(shift)),
                           _mm256_slli_epi32(hi, static_cast<int>(32 - shift)));
  }
  return _mm256_srli_epi32(lo, static_cast<int>(shift));
}

// Half-block h of the run starts at word offset (h / 2) * block_words + (h % 2) * 8.
inline size_t half_offset(size_t h, size_t block_words) { return (h / kHalves) * block_words + (h % kHalves) * kLanes; }

// Sums coordinates 0 .. dim-1 of NB half-blocks into sums[0 .. NB-1].
template <int Bits, int NB>
inline void accumulate(const ScanArgs& args, const uint32_t* blocks, size_t first_half, __m256* sums) {
  constexpr size_t kStride = scan_table_stride(Bits);
  const uint32_t* base[NB];
  __m256 acc[NB];
#pragma GCC unroll 8
  for (int u = 0; u < NB; ++u) {
    base[u] = blocks + half_offset(first_half + u, args.block_words);
    acc[u] = _mm256_setzero_ps();
  }
  const uint64_t groups = args.dim / 32;
  for (uint64_t g = 0; g < groups; ++g) {
    const size_t group_words = g * Bits * kBlockRows;
    const float* t = args.table + g * 32 * kStride;
#pragma GCC unroll 32
    for (unsigned j = 0; j < 32; ++j) {
      if ((j * Bits) % 32 < Bits) {
        // A new code word starts: fetch the line kPrefetchFarBytes ahead in each
        // half-block's stream into L2 (the streamer stops at page ends).
        const size_t word = group_words + (j * Bits / 32) * kBlockRows;
#pragma GCC unroll 8
        for (int u = 0; u < NB; ++u) {
          _mm_prefetch(reinterpret_cast<const char*>(base[u] + word) + kPrefetchFarBytes, _MM_HINT_T2);
        }
      }
#pragma GCC unroll 8
      for (int u = 0; u < NB; ++u) {
        acc[u] = _mm256_add_ps(acc[u], lookup<Bits>(t + j * kStride, code_at<Bits>(base[u] + group_words, j * Bits)));
      }
    }
  }
  // Fewer than 32 coordinates in all (dim below 32): shifts at run time.
  for (uint64_t j = groups * 32; j < args.dim; ++j) {
    const uint64_t p = j * Bits;
    const uint32_t s = static_cast<uint32_t>(p % 32);
    const float* t = args.table + j * kStride;
    const size_t word = (p / 32) * kBlockRows;
    for (int u = 0; u < NB; ++u) {
      __m256i code = _mm256_srlv_epi32(load_word(base[u] + word), _mm256_set1_epi32(static_cast<int>(s)));
      if (s + Bits > 32) {
        const __m256i hi = load_word(base[u] + word + kBlockRows);
        code = _mm256_or_si256(code, _mm256_sllv_epi32(hi, _mm256_set1_epi32(static_cast<int>(32 - s))));
      }
      acc[u] = _mm256_add_ps(acc[u], lookup<Bits>(t, code));
    }
  }
#pragma GCC unroll 8
  for (int u = 0; u < NB; ++u) sums[u] = acc[u];
}

inline void finish_half(const ScanArgs& args, __m256 sum, const uint16_t* norms, size_t lanes, float* scores) {
  uint16_t padded[kLanes] = {};
  if (lanes < kLanes) {
    std::copy(norms, norms + lanes, padded);
    norms = padded;
  }
  // Widening is a shift: the product with scale quiets a signalling NaN by
  // setting the same bit bf16_to_f32 sets.
  const __m256i wide = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(norms)));
  const __m256 norm = _mm256_castsi256_ps(_mm256_slli_epi32(wide, 16));
  const __m256 factor = _mm256_mul_ps(norm, _mm256_set1_ps(args.scale));
  // A NaN sum passes through unchanged, as in score_row.
  const __m256 nan_sum = _mm256_cmp_ps(sum, sum, _CMP_UNORD_Q);
  _mm256_storeu_ps(scores, _mm256_blendv_ps(_mm256_mul_ps(sum, factor), sum, nan_sum));
}

template <int Bits, int NB>
inline void scan_halves(const ScanArgs& args, const uint32_t* blocks, size_t first_half, const uint16_t* norms,
                        size_t rows, float* scores) {
  __m256 acc[NB];
  accumulate<Bits, NB>(args, blocks, first_half, acc);
  for (int u = 0; u < NB; ++u) {
    const size_t first = (first_half + u) * kLanes;
    finish_half(args, acc[u], norms + first, std::min(kLanes, rows - first), scores + first);
  }
}

// Mixed blocks (scan.hpp) by halves: up to kMixedHalves live halves side
// by side (a half past a block's rows is skipped), each with its lanes'
// offsets and queries. Fewer than the exact scan's kInFlight, since each
// half keeps its group's Bits gathered words in registers.
constexpr int kMixedHalves = 2;

struct MixedHalf {
  const uint32_t* offsets;
  const uint32_t* queries;
  const uint16_t* norms;
  size_t lanes;  // 1 .. kLanes
  float* scores;
};

// The code at stream bit `pos` of a group whose Bits words are w[0 ..
// Bits-1] (high bits left for the lookup to ignore, as code_at).
template <int Bits>
inline __m256i code_in(const __m256i* w, unsigned pos) {
  const unsigned word = pos / 32;
  const unsigned shift = pos % 32;
  if (shift == 0) return w[word];
  if (shift + Bits > 32) {
    return _mm256_or_si256(_mm256_srli_epi32(w[word], static_cast<int>(shift)),
                           _mm256_slli_epi32(w[word + 1], static_cast<int>(32 - shift)));
  }
  return _mm256_srli_epi32(w[word], static_cast<int>(shift));
}

// Value q of t[0 .. 15] in each lane (q below 16): the 4-bit lookup,
// from a buffer with no alignment.
inline __m256 select16(const float* t, __m256i q) {
  const __m256 lo = _mm256_permutevar8x32_ps(_mm256_loadu_ps(t), q);
  const __m256 hi = _mm256_permutevar8x32_ps(_mm256_loadu_ps(t + 8), q);
  return _mm256_blendv_ps(lo, hi, _mm256_castsi256_ps(_mm256_slli_epi32(q, 28)));
}

// Per lane: the centroid of its code times its query's coordinate (selected
// from the group's 16 coordinates j), rounded, then added; code words
// gathered from the lanes' rows.
template <int Bits, int NH>
inline void scan_mixed_halves(const MixedArgs& args, const uint32_t* codes, const MixedHalf* halves) {
  static_assert(kMaxPassQueries == 16, "a coordinate's query values are one 4-bit lookup");
  __m256 acc[NH];
  __m256i query[NH];
  __m256i at[NH];
  __m256i live[NH];
  const __m256i lane_index = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  const __m256i none = _mm256_setzero_si256();
#pragma GCC unroll 4
  for (int h = 0; h < NH; ++h) {
    acc[h] = _mm256_setzero_ps();
    query[h] = load_word(halves[h].queries);
    at[h] = load_word(halves[h].offsets);
    live[h] = _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(halves[h].lanes)), lane_index);
  }
  const auto* base = reinterpret_cast<const int*>(codes);
  const uint64_t groups = args.dim / 32;
  for (uint64_t g = 0; g < groups; ++g) {
    __m256i words[NH][Bits];
#pragma GCC unroll 4
    for (int h = 0; h < NH; ++h) {
#pragma GCC unroll 8
      for (int w = 0; w < Bits; ++w) {
        words[h][w] = _mm256_mask_i32gather_epi32(none, base + (g * Bits + w) * kBlockRows, at[h], live[h], 4);
      }
    }
    const float* r = args.rotated + g * 32 * kMaxPassQueries;
#pragma GCC unroll 32
    for (unsigned j = 0; j < 32; ++j) {
#pragma GCC unroll 4
      for (int h = 0; h < NH; ++h) {
        const __m256 c = lookup<Bits>(args.centroids, code_in<Bits>(words[h], j * Bits));
        acc[h] = _mm256_add_ps(acc[h], _mm256_mul_ps(c, select16(r + j * kMaxPassQueries, query[h])));
      }
    }
  }
  // Fewer than 32 coordinates in all (dim below 32): shifts at run time.
  for (uint64_t j = groups * 32; j < args.dim; ++j) {
    const uint64_t p = j * Bits;
    const auto s = static_cast<int>(p % 32);
    const int* word = base + (p / 32) * kBlockRows;
    for (int h = 0; h < NH; ++h) {
      __m256i code = _mm256_srlv_epi32(_mm256_mask_i32gather_epi32(none, word, at[h], live[h], 4),
                                       _mm256_set1_epi32(s));
      if (s + Bits > 32) {
        const __m256i hi = _mm256_mask_i32gather_epi32(none, word + kBlockRows, at[h], live[h], 4);
        code = _mm256_or_si256(code, _mm256_sllv_epi32(hi, _mm256_set1_epi32(32 - s)));
      }
      const __m256 c = lookup<Bits>(args.centroids, code);
      acc[h] = _mm256_add_ps(acc[h], _mm256_mul_ps(c, select16(args.rotated + j * kMaxPassQueries, query[h])));
    }
  }
  const ScanArgs finish{nullptr, args.dim, 0, args.scale};
  for (int h = 0; h < NH; ++h) finish_half(finish, acc[h], halves[h].norms, halves[h].lanes, halves[h].scores);
}

template <int Bits>
void scan_mixed_avx2(const MixedArgs& args, const uint32_t* codes, const uint32_t* offsets, const uint32_t* queries,
                     const uint16_t* norms, const size_t* rows, size_t count, float* scores) {
  MixedHalf halves[kMixedBlocks * kHalves];
  size_t n = 0;
  for (size_t b = 0; b < count; ++b) {
    for (size_t first = b * kBlockRows; first < b * kBlockRows + rows[b]; first += kLanes) {
      halves[n++] = {offsets + first, queries + first, norms + first,
                     std::min(kLanes, b * kBlockRows + rows[b] - first), scores + first};
    }
  }
  size_t h = 0;
  for (; h + kMixedHalves <= n; h += kMixedHalves) scan_mixed_halves<Bits, kMixedHalves>(args, codes, halves + h);
  for (; h < n; ++h) scan_mixed_halves<Bits, 1>(args, codes, halves + h);
}

template <int Bits>
void scan_avx2(const ScanArgs& args, const uint32_t* blocks, const uint16_t* norms, size_t rows, float* scores) {
  const size_t half_count = (rows + kLanes - 1) / kLanes;
  size_t h = 0;
  for (; h + kInFlight <= half_count; h += kInFlight) scan_halves<Bits, kInFlight>(args, blocks, h, norms, rows, scores);
  for (; h < half_count; ++h) scan_halves<Bits, 1>(args, blocks, h, norms, rows, scores);
}

}  // namespace

void scan_avx2_2(const ScanArgs& a, const uint32_t* b, const uint16_t* n, size_t r, float* s) {
  scan_avx2<2>(a, b, n, r, s);
}
void scan_avx2_3(const ScanArgs& a, const uint32_t* b, const uint16_t* n, size_t r, float* s) {
  scan_avx2<3>(a, b, n, r, s);
}
void scan_avx2_4(const ScanArgs& a, const uint32_t* b, const uint16_t* n, size_t r, float* s) {
  scan_avx2<4>(a, b, n, r, s);
}
void scan_avx2_5(const ScanArgs& a, const uint32_t* b, const uint16_t* n, size_t r, float* s) {
  scan_avx2<5>(a, b, n, r, s);
}

void scan_mixed_avx2_2(const MixedArgs& a, const uint32_t* k, const uint32_t* o, const uint32_t* q,
                       const uint16_t* n, const size_t* r, size_t c, float* s) {
  scan_mixed_avx2<2>(a, k, o, q, n, r, c, s);
}
void scan_mixed_avx2_3(const MixedArgs& a, const uint32_t* k, const uint32_t* o, const uint32_t* q,
                       const uint16_t* n, const size_t* r, size_t c, float* s) {
  scan_mixed_avx2<3>(a, k, o, q, n, r, c, s);
}
void scan_mixed_avx2_4(const MixedArgs& a, const uint32_t* k, const uint32_t* o, const uint32_t* q,
                       const uint16_t* n, const size_t* r, size_t c, float* s) {
  scan_mixed_avx2<4>(a, k, o, q, n, r, c, s);
}
void scan_mixed_avx2_5(const MixedArgs& a, const uint32_t* k, const uint32_t* o, const uint32_t* q,
                       const uint16_t* n, const size_t* r, size_t c, float* s) {
  scan_mixed_avx2<5>(a, k, o, q, n, r, c, s);
}

}  // namespace lodex
