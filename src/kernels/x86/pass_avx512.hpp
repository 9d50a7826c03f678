// The shape the AVX-512 first passes share: loads, the bound test of a block
// and the rank-one pass on in-lane byte shuffles. Included only by the
// AVX-512 pass files, each compiled with its own flags; everything here has
// internal linkage, so no file hands its instructions to another. The
// rank-one dot product is vpdpbusd in a file built with VNNI and vpmaddubsw
// + vpmaddwd in one built without it.
#pragma once

#include <immintrin.h>

// GCC 12 reports its own _mm512_undefined_* placeholders (the unused merge
// source of unmasked intrinsics) as uninitialized; they are never read.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

#include <cstring>
#include <limits>

#include "search/first_pass.hpp"
#include "kernels/pass_queries.hpp"
#include "kernels/scan.hpp"
#include "store/storage.hpp"

namespace lodex {

namespace {

static_assert(kBlockRows == 16, "one ZMM register of u32 lanes per block");

inline __m512i load_word(const uint32_t* p) { return _mm512_loadu_si512(p); }
inline __m512i load_table(const uint8_t* p) { return _mm512_load_si512(p); }
// Four bytes broadcast to every u32 lane.
inline __m512i broadcast4(const uint8_t* p) {
  int32_t v;
  std::memcpy(&v, p, 4);
  return _mm512_set1_epi32(v);
}

// The bound test of a block for NQ queries; sums[q] holds the 16 rows' A.
// The one place where a row's bound meets its norm, and where it becomes a
// key as the row's score does (pass_keeps' operations).
template <int NQ>
inline void finish_block(const PassArgs& args, const __m512i* sums, const uint16_t* norms, size_t lanes,
                         uint16_t* out) {
  const __mmask16 live = lanes >= kBlockRows ? __mmask16{0xFFFF} : static_cast<__mmask16>((1u << lanes) - 1);
  const __m256i half = _mm256_maskz_loadu_epi16(live, norms);
  const __m512 norm = _mm512_castsi512_ps(_mm512_slli_epi32(_mm512_cvtepu16_epi32(half), 16));
  const __m512 f = _mm512_mul_ps(norm, _mm512_set1_ps(args.scale));
  // Rows whose f is NaN, negative or infinite are always kept.
  const __mmask16 monotone = _mm512_cmp_ps_mask(f, _mm512_setzero_ps(), _CMP_GE_OQ) &
                             _mm512_cmp_ps_mask(f, _mm512_set1_ps(std::numeric_limits<float>::infinity()), _CMP_LT_OQ);
  // The key's per-row term: the stored one, or minus the squared norm.
  const KeyKind key = args.key;
  __m512 row = _mm512_setzero_ps();
  if (key == KeyKind::kRowTerm) {
    row = _mm512_maskz_loadu_ps(live, args.terms + (norms - args.norms));
  } else if (key == KeyKind::kSquaredDistance) {
    row = _mm512_mul_ps(norm, norm);
  }
#pragma GCC unroll 16
  for (int q = 0; q < NQ; ++q) {
    const PassQuery& query = args.queries[q];
    // Three rounded operations, as pass_keeps: never fused.
    const __m512 scaled = _mm512_mul_ps(_mm512_cvtepi32_ps(sums[q]), _mm512_set1_ps(query.delta));
    __m512 bound = _mm512_mul_ps(_mm512_add_ps(scaled, _mm512_set1_ps(query.offset)), f);
    if (key == KeyKind::kRowTerm) {
      bound = _mm512_add_ps(_mm512_add_ps(bound, row), _mm512_set1_ps(query.add));
    } else if (key == KeyKind::kSquaredDistance) {
      bound = _mm512_add_ps(_mm512_sub_ps(_mm512_add_ps(bound, bound), row), _mm512_set1_ps(query.add));
    }
    const __mmask16 skip = _mm512_cmp_ps_mask(bound, _mm512_set1_ps(query.below), _CMP_LT_OQ) & monotone;
    out[q] = static_cast<uint16_t>(live & ~skip);
  }
}

#if defined(__AVX512VNNI__)
constexpr bool kOneOpDot = true;
#else
constexpr bool kOneOpDot = false;
#endif

// acc + the sum of the four u8 x s8 products of each u32 lane. Without VNNI
// the pair sums of vpmaddubsw saturate at 2^15 - 1: the kRank1U7 format
// keeps them below (2 * 127 * 127), so they are exact.
inline __m512i dot4(__m512i acc, __m512i levels, __m512i weights) {
#if defined(__AVX512VNNI__)
  return _mm512_dpbusd_epi32(acc, levels, weights);
#else
  const __m512i pairs = _mm512_maddubs_epi16(levels, weights);
  return _mm512_add_epi32(acc, _mm512_madd_epi16(pairs, _mm512_set1_epi16(1)));
#endif
}

// The same for two quads. Without VNNI, kRank1U7 keeps the i16 sum of both
// quads' vpmaddubsw products below 2^15 as well (kMaxU7LaneWeight), so the
// two are added before one vpmaddwd widens them: still exact.
inline __m512i dot_pair(__m512i acc, __m512i la, __m512i wa, __m512i lb, __m512i wb) {
#if defined(__AVX512VNNI__)
  return dot4(dot4(acc, la, wa), lb, wb);
#else
  const __m512i sums = _mm512_add_epi16(_mm512_maddubs_epi16(la, wa), _mm512_maddubs_epi16(lb, wb));
  return _mm512_add_epi32(acc, _mm512_madd_epi16(sums, _mm512_set1_epi16(1)));
#endif
}

// ---- Rank one. A group of 32 coordinates is Bits code words of each row;
// it yields 8 quads (first_pass.hpp), each a register of one u32 lane per
// row holding four codes, one per byte, in the order of the plan's weights.

// (mask ? a : b) bit by bit, one vpternlogd.
inline __m512i select_bits(__m512i mask, __m512i a, __m512i b) { return _mm512_ternarylogic_epi32(mask, a, b, 0xCA); }

// Stream bits pos .. pos + width - 1 of each row of a group at the bottom of
// its lane, bits above them unspecified (pos constant after unrolling): one
// word, or two when the bits straddle them (never a word past them).
inline __m512i window(const uint32_t* words, unsigned pos, unsigned width) {
  const unsigned word = pos / 32;
  const unsigned shift = pos % 32;
  const __m512i lo = load_word(words + word * kBlockRows);
  if (shift == 0) return lo;
  if (shift + width <= 32) return _mm512_srli_epi32(lo, shift);
  const __m512i hi = load_word(words + (word + 1) * kBlockRows);
  return _mm512_or_si512(_mm512_srli_epi32(lo, shift), _mm512_slli_epi32(hi, 32 - shift));
}

// Quad i (0..7) of the group at `words`, codes in the low bits of bytes with
// bit 7 clear (the shuffles read bits 0-3 and 7 of an index).
template <int Bits>
inline __m512i quad_codes(const uint32_t* words, int i) {
  if constexpr (Bits == 4) {
    // The low nibbles of word i / 2, or its high ones.
    const __m512i x = load_word(words + (i / 2) * kBlockRows);
    return _mm512_and_si512(i % 2 == 0 ? x : _mm512_srli_epi32(x, 4), _mm512_set1_epi8(0x0F));
  } else if constexpr (Bits == 2) {
    // Slot i % 4 of each byte of word i / 4.
    const __m512i x = load_word(words + (i / 4) * kBlockRows);
    return _mm512_and_si512(_mm512_srli_epi32(x, 2 * (i % 4)), _mm512_set1_epi8(0x03));
  } else {
    // Four neighbouring codes at bits 0, B, 2B, 3B of the window: codes 2
    // and 3 move up to bit 16, then codes 1 and 3 up to bits 8 and 24.
    const __m512i x = window(words, static_cast<unsigned>(4 * Bits * i), 4 * Bits);
    const __m512i y = select_bits(_mm512_set1_epi32(((1 << (2 * Bits)) - 1) << 16),
                                  _mm512_slli_epi32(x, 16 - 2 * Bits), x);
    const __m512i z = select_bits(_mm512_set1_epi32(((1 << Bits) - 1) << 8 | ((1 << Bits) - 1) << 24),
                                  _mm512_slli_epi32(y, 8 - Bits), y);
    return _mm512_and_si512(z, _mm512_set1_epi8((1 << Bits) - 1));
  }
}

// Codes to levels: one in-lane shuffle of the 16 levels (replicated past
// 2^Bits, so 2 and 3 bits need no finer mask); 5 bits choose between the
// first and the second 16 by code bit 4.
template <int Bits>
inline __m512i code_levels(__m512i codes, __m512i first16, __m512i second16) {
  const __m512i low = _mm512_shuffle_epi8(first16, codes);
  if constexpr (Bits < 5) {
    return low;
  } else {
    const __mmask64 high = _mm512_test_epi8_mask(codes, _mm512_set1_epi8(0x10));
    return _mm512_mask_shuffle_epi8(low, high, second16, codes);
  }
}

// NB blocks side by side for NQ queries: each quad is decoded once per block
// and dotted with every query's four weights for it.
template <int Bits, int NB, int NQ>
inline void rank1_blocks(const PassArgs& args, const uint32_t* first, const uint16_t* norms, size_t rows,
                         uint16_t* out, size_t stride) {
  const size_t bw = args.block_words;
  const __m512i first16 = _mm512_broadcast_i32x4(_mm_load_si128(reinterpret_cast<const __m128i*>(args.levels)));
  const __m512i second16 =
      _mm512_broadcast_i32x4(_mm_load_si128(reinterpret_cast<const __m128i*>(args.levels + 16)));
  const uint8_t* weights[NQ];
#pragma GCC unroll 16
  for (int q = 0; q < NQ; ++q) weights[q] = args.queries[q].table;
  const size_t far = prefetch_far_bytes(NB, bw);
  __m512i acc[NB][NQ];
#pragma GCC unroll 8
  for (int b = 0; b < NB; ++b) {
#pragma GCC unroll 16
    for (int q = 0; q < NQ; ++q) acc[b][q] = _mm512_setzero_si512();
  }
  const size_t groups = args.dim / 32;
  for (size_t g = 0; g < groups; ++g) {
    const uint32_t* words = first + g * Bits * kBlockRows;
#pragma GCC unroll 8
    for (int b = 0; b < NB; ++b) {
#pragma GCC unroll 8
      for (int i = 0; i < Bits; ++i) {
        const char* p = reinterpret_cast<const char*>(words + b * bw + i * kBlockRows);
        _mm_prefetch(p + far, _MM_HINT_T2);
        _mm_prefetch(p + kPrefetchNearBytes, _MM_HINT_T0);
      }
    }
    if constexpr (kOneOpDot) {
      // Quad by quad, every query's dot products in registers: independent
      // vpdpbusd chains, one per block and query.
#pragma GCC unroll 8
      for (int i = 0; i < 8; ++i) {
        __m512i lv[NB];
#pragma GCC unroll 8
        for (int b = 0; b < NB; ++b) {
          lv[b] = code_levels<Bits>(quad_codes<Bits>(words + b * bw, i), first16, second16);
        }
#pragma GCC unroll 16
        for (int q = 0; q < NQ; ++q) {
          const __m512i w = broadcast4(weights[q] + g * 32 + 4 * i);
#pragma GCC unroll 8
          for (int b = 0; b < NB; ++b) acc[b][q] = dot4(acc[b][q], lv[b], w);
        }
      }
    } else if constexpr (NQ <= 2) {
      // Quad pair by quad pair, every query's dot products in registers.
#pragma GCC unroll 4
      for (int m = 0; m < 4; ++m) {
        __m512i la[NB];
        __m512i lb[NB];
#pragma GCC unroll 8
        for (int b = 0; b < NB; ++b) {
          la[b] = code_levels<Bits>(quad_codes<Bits>(words + b * bw, 2 * m), first16, second16);
          lb[b] = code_levels<Bits>(quad_codes<Bits>(words + b * bw, 2 * m + 1), first16, second16);
        }
#pragma GCC unroll 16
        for (int q = 0; q < NQ; ++q) {
          const __m512i wa = broadcast4(weights[q] + g * 32 + 8 * m);
          const __m512i wb = broadcast4(weights[q] + g * 32 + 8 * m + 4);
#pragma GCC unroll 8
          for (int b = 0; b < NB; ++b) acc[b][q] = dot_pair(acc[b][q], la[b], wa, lb[b], wb);
        }
      }
    } else {
      // Three instructions a dot product: the group's levels first, then
      // query by query (fewer live registers; only the add waits on the
      // accumulator).
      __m512i lv[8][NB];
#pragma GCC unroll 8
      for (int i = 0; i < 8; ++i) {
#pragma GCC unroll 8
        for (int b = 0; b < NB; ++b) {
          lv[i][b] = code_levels<Bits>(quad_codes<Bits>(words + b * bw, i), first16, second16);
        }
      }
#pragma GCC unroll 1
      for (int q = 0; q < NQ; ++q) {
#pragma GCC unroll 8
        for (int b = 0; b < NB; ++b) {
          __m512i a = acc[b][q];
#pragma GCC unroll 4
          for (int m = 0; m < 4; ++m) {
            const uint8_t* w = weights[q] + g * 32 + 8 * m;
            a = dot_pair(a, lv[2 * m][b], broadcast4(w), lv[2 * m + 1][b], broadcast4(w + 4));
          }
          acc[b][q] = a;
        }
      }
    }
  }
#pragma GCC unroll 8
  for (int b = 0; b < NB; ++b) {
    const size_t row = static_cast<size_t>(b) * kBlockRows;
    if (row >= rows) break;
    finish_block<NQ>(args, acc[b], norms + row, rows - row, out + b * stride);
  }
}

// One query, block by block in address order with one fetch into L1 a block
// ahead (why: pass_avx2.cpp's one_query). Four accumulators keep the
// dependency chains short: by quad pair parity and, with one-instruction dot
// products, by nibble.
template <int Bits>
void one_query(const PassArgs& args, const uint32_t* blocks, const uint16_t* norms, size_t rows, uint16_t* out,
               size_t stride) {
  const size_t bw = args.block_words;
  const uint8_t* weights = args.queries[0].table;
  const __m512i first16 = _mm512_broadcast_i32x4(_mm_load_si128(reinterpret_cast<const __m128i*>(args.levels)));
  const __m512i second16 =
      _mm512_broadcast_i32x4(_mm_load_si128(reinterpret_cast<const __m128i*>(args.levels + 16)));
  const size_t groups = args.dim / 32;
  const size_t block_count = (rows + kBlockRows - 1) / kBlockRows;
  for (size_t b = 0; b < block_count; ++b) {
    const uint32_t* block = blocks + b * bw;
    _mm_prefetch(reinterpret_cast<const char*>(block) + kPrefetchNearBytes, _MM_HINT_T0);
    __m512i acc[4];
#pragma GCC unroll 4
    for (int k = 0; k < 4; ++k) acc[k] = _mm512_setzero_si512();
    for (size_t g = 0; g < groups; ++g) {
      const uint32_t* words = block + g * Bits * kBlockRows;
#pragma GCC unroll 4
      for (int m = 0; m < 4; ++m) {
        const __m512i wa = broadcast4(weights + g * 32 + 8 * m);
        const __m512i wb = broadcast4(weights + g * 32 + 8 * m + 4);
        const __m512i la = code_levels<Bits>(quad_codes<Bits>(words, 2 * m), first16, second16);
        const __m512i lb = code_levels<Bits>(quad_codes<Bits>(words, 2 * m + 1), first16, second16);
        if constexpr (kOneOpDot) {
          acc[2 * (m % 2)] = dot4(acc[2 * (m % 2)], la, wa);
          acc[2 * (m % 2) + 1] = dot4(acc[2 * (m % 2) + 1], lb, wb);
        } else {
          acc[m] = dot_pair(acc[m], la, wa, lb, wb);
        }
      }
    }
    const __m512i sum = _mm512_add_epi32(_mm512_add_epi32(acc[0], acc[1]), _mm512_add_epi32(acc[2], acc[3]));
    const size_t row = b * kBlockRows;
    finish_block<1>(args, &sum, norms + row, rows - row, out + b * stride);
  }
}

// The run's blocks NB at a time (enough independent dot chains for one
// query, fewer blocks as queries add their own), then one by one.
template <int Bits, int NQ>
inline void rank1_queries(const PassArgs& args, const uint32_t* blocks, const uint16_t* norms, size_t rows,
                          uint16_t* out, size_t stride) {
  constexpr int kNB = NQ <= 2 ? 4 : NQ <= 8 ? 2 : 1;
  const size_t block_count = (rows + kBlockRows - 1) / kBlockRows;
  size_t b = 0;
  for (; b + kNB <= block_count; b += kNB) {
    const size_t row = b * kBlockRows;
    rank1_blocks<Bits, kNB, NQ>(args, blocks + b * args.block_words, norms + row, rows - row, out + b * stride,
                                stride);
  }
  for (; b < block_count; ++b) {
    const size_t row = b * kBlockRows;
    rank1_blocks<Bits, 1, NQ>(args, blocks + b * args.block_words, norms + row, rows - row, out + b * stride, stride);
  }
}

template <int Bits>
void rank1_pass(const PassArgs& args, const uint32_t* blocks, const uint16_t* norms, size_t rows,
                uint16_t* survivors) {
  for_query_chunks<16>(args, survivors, [&](const PassArgs& sub, uint16_t* out, auto nq) {
    if constexpr (decltype(nq)::value == 1) {
      one_query<Bits>(sub, blocks, norms, rows, out, args.query_count);
    } else {
      rank1_queries<Bits, decltype(nq)::value>(sub, blocks, norms, rows, out, args.query_count);
    }
  });
}

}  // namespace

}  // namespace lodex
