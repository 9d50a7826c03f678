// The AVX-512 scan kernel: one 16-lane register per block of 16 rows, so a
// block's code word w is one 64-byte load. Compiled with AVX-512 flags; only
// reached when the CPU and OS both support them.
//
// Per coordinate and block: extract the code (a shift, or two shifts and an
// OR when it straddles two words), look it up with an in-register permute of
// the coordinate's 16 (5 bits: 32) table values, add it to the block's sum.
// Several blocks run side by side so their add chains overlap.
#include <immintrin.h>

// GCC 12 reports its own _mm512_undefined_* placeholders (the unused merge
// source of unmasked intrinsics) as uninitialized; they are never read.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

#include <algorithm>

#include "kernels/shared_kernels.hpp"
#include "store/storage.hpp"

namespace lodex {

namespace {

static_assert(kBlockRows == 16, "one ZMM register of u32 lanes per block");

// Blocks in flight: with a 4-cycle add latency and about 1.5 cycles of
// issue per coordinate and block, four chains keep the adder busy.
constexpr int kInFlight = 4;

template <int Bits>
inline __m512 lookup(const float* t, __m512i code) {
  if constexpr (Bits == 5) {
    // Two table registers; permutex2var reads the low 5 index bits.
    return _mm512_permutex2var_ps(_mm512_load_ps(t), code, _mm512_load_ps(t + 16));
  } else {
    // Reads the low 4 index bits only; the table is replicated past 2^Bits.
    return _mm512_permutexvar_ps(code, _mm512_load_ps(t));
  }
}

inline __m512i load_word(const uint32_t* p) { return _mm512_loadu_si512(p); }

// The code at stream bit `pos` of a row whose word 0 is at `words` (one word
// per kBlockRows stride). Bits above the code are left in place: the lookup
// ignores them. Called with `pos` a constant after unrolling, so the shifts
// are immediates and the straddle test disappears.
template <int Bits>
inline __m512i code_at(const uint32_t* words, unsigned pos) {
  const unsigned word = pos / 32;
  const unsigned shift = pos % 32;
  const __m512i lo = load_word(words + word * kBlockRows);
  if (shift == 0) return lo;
  if (shift + Bits > 32) {
    const __m512i hi = load_word(words + (word + 1) * kBlockRows);
    return _mm512_or_si512(_mm512_srli_epi32(lo, shift), _mm512_slli_epi32(hi, 32 - shift));
  }
  return _mm512_srli_epi32(lo, shift);
}

// Sums coordinates 0 .. dim-1 of NB blocks into sums[0 .. NB-1].
template <int Bits, int NB>
inline void accumulate(const ScanArgs& args, const uint32_t* first, __m512* sums) {
  constexpr size_t kStride = scan_table_stride(Bits);
  const size_t bw = args.block_words;
  const size_t far = prefetch_far_bytes(NB, bw);
  __m512 acc[NB];
#pragma GCC unroll 8
  for (int b = 0; b < NB; ++b) acc[b] = _mm512_setzero_ps();
  // Whole groups of 32 coordinates: Bits words, and the same code positions
  // in every group.
  const uint64_t groups = args.dim / 32;
  for (uint64_t g = 0; g < groups; ++g) {
    const uint32_t* words = first + g * Bits * kBlockRows;
    const float* t = args.table + g * 32 * kStride;
#pragma GCC unroll 32
    for (unsigned j = 0; j < 32; ++j) {
      if ((j * Bits) % 32 < Bits) {
        // A new code word starts: fetch the lines further on in each block's
        // stream. Blocks are contiguous, so these lines cover the whole store
        // ahead of the scan. Without it the hardware streamer, which stops at
        // every 4 KiB page, leaves each group of blocks to start with demand
        // misses, and the scan from memory ran far slower
        // (benchmarks/results/levels.md).
        const char* here = reinterpret_cast<const char*>(words + (j * Bits / 32) * kBlockRows);
#pragma GCC unroll 8
        for (int b = 0; b < NB; ++b) {
          _mm_prefetch(here + b * bw * sizeof(uint32_t) + far, _MM_HINT_T2);
          _mm_prefetch(here + b * bw * sizeof(uint32_t) + kPrefetchNearBytes, _MM_HINT_T0);
        }
      }
#pragma GCC unroll 8
      for (int b = 0; b < NB; ++b) {
        acc[b] = _mm512_add_ps(acc[b], lookup<Bits>(t + j * kStride, code_at<Bits>(words + b * bw, j * Bits)));
      }
    }
  }
  // Fewer than 32 coordinates in all (dim below 32): shifts at run time.
  for (uint64_t j = groups * 32; j < args.dim; ++j) {
    const uint64_t p = j * Bits;
    const uint32_t s = static_cast<uint32_t>(p % 32);
    const float* t = args.table + j * kStride;
    const uint32_t* words = first + (p / 32) * kBlockRows;
    for (int b = 0; b < NB; ++b) {
      __m512i code = _mm512_srlv_epi32(load_word(words + b * bw), _mm512_set1_epi32(static_cast<int>(s)));
      if (s + Bits > 32) {
        const __m512i hi = load_word(words + b * bw + kBlockRows);
        code = _mm512_or_si512(code, _mm512_sllv_epi32(hi, _mm512_set1_epi32(static_cast<int>(32 - s))));
      }
      acc[b] = _mm512_add_ps(acc[b], lookup<Bits>(t, code));
    }
  }
#pragma GCC unroll 8
  for (int b = 0; b < NB; ++b) sums[b] = acc[b];
}

// score = sum * (norm * scale). A bfloat16 norm widens by a shift alone: the
// product with scale quiets a signalling NaN by setting the top mantissa bit,
// which is exactly the bit bf16_to_f32 sets. `lanes` < 16 only for the last
// block of the store.
inline void finish_block(const ScanArgs& args, __m512 sum, const uint16_t* norms, size_t lanes, float* scores) {
  const __m256i half =
      lanes >= kBlockRows ? _mm256_loadu_si256(reinterpret_cast<const __m256i*>(norms))
                          : _mm256_maskz_loadu_epi16(static_cast<__mmask16>((1u << lanes) - 1), norms);
  const __m512 norm = _mm512_castsi512_ps(_mm512_slli_epi32(_mm512_cvtepu16_epi32(half), 16));
  const __m512 factor = _mm512_mul_ps(norm, _mm512_set1_ps(args.scale));
  // A NaN sum passes through unchanged, as in score_row.
  const __mmask16 nan_sum = _mm512_cmp_ps_mask(sum, sum, _CMP_UNORD_Q);
  _mm512_storeu_ps(scores, _mm512_mask_mov_ps(_mm512_mul_ps(sum, factor), nan_sum, sum));
}

template <int Bits, int NB>
inline void scan_blocks(const ScanArgs& args, const uint32_t* blocks, const uint16_t* norms, size_t rows,
                        float* scores) {
  __m512 acc[NB];
  accumulate<Bits, NB>(args, blocks, acc);
  for (int b = 0; b < NB; ++b) {
    const size_t first = static_cast<size_t>(b) * kBlockRows;
    finish_block(args, acc[b], norms + first, std::min(kBlockRows, rows - first), scores + first);
  }
}

// The code at stream bit `pos` of a group whose Bits words are w[0 ..
// Bits-1] (high bits left for the lookup to ignore, as code_at).
template <int Bits>
inline __m512i code_in(const __m512i* w, unsigned pos) {
  const unsigned word = pos / 32;
  const unsigned shift = pos % 32;
  if (shift == 0) return w[word];
  if (shift + Bits > 32) {
    return _mm512_or_si512(_mm512_srli_epi32(w[word], shift), _mm512_slli_epi32(w[word + 1], 32 - shift));
  }
  return _mm512_srli_epi32(w[word], shift);
}

// Sums coordinates 0 .. dim-1 of NB mixed blocks (scan.hpp): each group's
// code words gathered from the lanes' rows (unused lanes masked off), then
// per lane the centroid of its code (the lookup above, from the codebook)
// times its query's coordinate (a permute of the group's 16 coordinates j),
// rounded, then added.
template <int Bits, int NB>
inline void accumulate_mixed(const MixedArgs& args, const uint32_t* codes, const uint32_t* offsets,
                             const uint32_t* queries, const size_t* rows, __m512* sums) {
  static_assert(kMaxPassQueries == 16, "one register of a coordinate's query values");
  __m512 acc[NB];
  __m512i query[NB];
  __m512i at[NB];
  __mmask16 live[NB];
#pragma GCC unroll 8
  for (int b = 0; b < NB; ++b) {
    acc[b] = _mm512_setzero_ps();
    query[b] = load_word(queries + b * kBlockRows);
    at[b] = load_word(offsets + b * kBlockRows);
    live[b] = static_cast<__mmask16>((1u << rows[b]) - 1);
  }
  const __m512i none = _mm512_setzero_si512();
  const uint64_t groups = args.dim / 32;
  for (uint64_t g = 0; g < groups; ++g) {
    const uint32_t* base = codes + g * Bits * kBlockRows;
    __m512i words[NB][Bits];
#pragma GCC unroll 8
    for (int b = 0; b < NB; ++b) {
#pragma GCC unroll 8
      for (int w = 0; w < Bits; ++w) {
        words[b][w] = _mm512_mask_i32gather_epi32(none, live[b], at[b], base + w * kBlockRows, 4);
      }
    }
    const float* r = args.rotated + g * 32 * kMaxPassQueries;
#pragma GCC unroll 32
    for (unsigned j = 0; j < 32; ++j) {
      const __m512 rj = _mm512_loadu_ps(r + j * kMaxPassQueries);
#pragma GCC unroll 8
      for (int b = 0; b < NB; ++b) {
        const __m512 c = lookup<Bits>(args.centroids, code_in<Bits>(words[b], j * Bits));
        acc[b] = _mm512_add_ps(acc[b], _mm512_mul_ps(c, _mm512_permutexvar_ps(query[b], rj)));
      }
    }
  }
  // Fewer than 32 coordinates in all (dim below 32): shifts at run time.
  for (uint64_t j = groups * 32; j < args.dim; ++j) {
    const uint64_t p = j * Bits;
    const auto s = static_cast<uint32_t>(p % 32);
    const uint32_t* word = codes + (p / 32) * kBlockRows;
    const __m512 rj = _mm512_loadu_ps(args.rotated + j * kMaxPassQueries);
    for (int b = 0; b < NB; ++b) {
      const __m512i lo = _mm512_mask_i32gather_epi32(none, live[b], at[b], word, 4);
      __m512i code = _mm512_srlv_epi32(lo, _mm512_set1_epi32(static_cast<int>(s)));
      if (s + Bits > 32) {
        const __m512i hi = _mm512_mask_i32gather_epi32(none, live[b], at[b], word + kBlockRows, 4);
        code = _mm512_or_si512(code, _mm512_sllv_epi32(hi, _mm512_set1_epi32(static_cast<int>(32 - s))));
      }
      const __m512 c = lookup<Bits>(args.centroids, code);
      acc[b] = _mm512_add_ps(acc[b], _mm512_mul_ps(c, _mm512_permutexvar_ps(query[b], rj)));
    }
  }
#pragma GCC unroll 8
  for (int b = 0; b < NB; ++b) sums[b] = acc[b];
}

template <int Bits, int NB>
inline void scan_mixed_blocks(const MixedArgs& args, const uint32_t* codes, const uint32_t* offsets,
                              const uint32_t* queries, const uint16_t* norms, const size_t* rows, float* scores) {
  __m512 acc[NB];
  accumulate_mixed<Bits, NB>(args, codes, offsets, queries, rows, acc);
  const ScanArgs finish{nullptr, args.dim, 0, args.scale};
  for (int b = 0; b < NB; ++b) finish_block(finish, acc[b], norms + b * kBlockRows, rows[b], scores + b * kBlockRows);
}

template <int Bits>
void scan_mixed_avx512(const MixedArgs& args, const uint32_t* codes, const uint32_t* offsets,
                       const uint32_t* queries, const uint16_t* norms, const size_t* rows, size_t count,
                       float* scores) {
  static_assert(kMixedBlocks == 4);
  switch (count) {
    case 4:
      scan_mixed_blocks<Bits, 4>(args, codes, offsets, queries, norms, rows, scores);
      break;
    case 3:
      scan_mixed_blocks<Bits, 3>(args, codes, offsets, queries, norms, rows, scores);
      break;
    case 2:
      scan_mixed_blocks<Bits, 2>(args, codes, offsets, queries, norms, rows, scores);
      break;
    case 1:
      scan_mixed_blocks<Bits, 1>(args, codes, offsets, queries, norms, rows, scores);
      break;
    default:
      break;
  }
}

template <int Bits>
void scan_avx512(const ScanArgs& args, const uint32_t* blocks, const uint16_t* norms, size_t rows, float* scores) {
  const size_t block_count = (rows + kBlockRows - 1) / kBlockRows;
  size_t b = 0;
  for (; b + kInFlight <= block_count; b += kInFlight) {
    const size_t first = b * kBlockRows;
    scan_blocks<Bits, kInFlight>(args, blocks + b * args.block_words, norms + first, rows - first, scores + first);
  }
  for (; b < block_count; ++b) {
    const size_t first = b * kBlockRows;
    scan_blocks<Bits, 1>(args, blocks + b * args.block_words, norms + first, rows - first, scores + first);
  }
}

}  // namespace

void scan_avx512_2(const ScanArgs& a, const uint32_t* b, const uint16_t* n, size_t r, float* s) {
  scan_avx512<2>(a, b, n, r, s);
}
void scan_avx512_3(const ScanArgs& a, const uint32_t* b, const uint16_t* n, size_t r, float* s) {
  scan_avx512<3>(a, b, n, r, s);
}
void scan_avx512_4(const ScanArgs& a, const uint32_t* b, const uint16_t* n, size_t r, float* s) {
  scan_avx512<4>(a, b, n, r, s);
}
void scan_avx512_5(const ScanArgs& a, const uint32_t* b, const uint16_t* n, size_t r, float* s) {
  scan_avx512<5>(a, b, n, r, s);
}

void scan_mixed_avx512_2(const MixedArgs& a, const uint32_t* k, const uint32_t* o, const uint32_t* q,
                         const uint16_t* n, const size_t* r, size_t c, float* s) {
  scan_mixed_avx512<2>(a, k, o, q, n, r, c, s);
}
void scan_mixed_avx512_3(const MixedArgs& a, const uint32_t* k, const uint32_t* o, const uint32_t* q,
                         const uint16_t* n, const size_t* r, size_t c, float* s) {
  scan_mixed_avx512<3>(a, k, o, q, n, r, c, s);
}
void scan_mixed_avx512_4(const MixedArgs& a, const uint32_t* k, const uint32_t* o, const uint32_t* q,
                         const uint16_t* n, const size_t* r, size_t c, float* s) {
  scan_mixed_avx512<4>(a, k, o, q, n, r, c, s);
}
void scan_mixed_avx512_5(const MixedArgs& a, const uint32_t* k, const uint32_t* o, const uint32_t* q,
                         const uint16_t* n, const size_t* r, size_t c, float* s) {
  scan_mixed_avx512<5>(a, k, o, q, n, r, c, s);
}

}  // namespace lodex
