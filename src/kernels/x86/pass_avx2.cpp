// The avx2 level: its table, and its integer first pass, rank-one plans in
// kRank1U7 (levels 0..127) dotted with vpmaddubsw + vpmaddwd; the exact scans
// are scan_avx2.cpp's. Compiled with AVX2 flags; only reached when the CPU
// and OS support them. The pass produces survivor masks, never scores.
//
// Eight u32 lanes per register, so a block of 16 rows is two halves (rows
// 0-7 and 8-15 of every code word). Each half's codes are cut into quads
// (four codes, one per byte of a row's lane, in the order of the plan's
// weights: first_pass.hpp), turned into levels by one in-lane byte shuffle
// and dotted with every query's four weights for that quad. The pair sums of
// vpmaddubsw saturate at 2^15 - 1; levels and weights up to 127 keep them
// below (2 * 127 * 127), and the format's lane bound lets the products of
// two quads add in i16 before one vpmaddwd widens them, so every sum is
// exact.
#include <immintrin.h>

#include <algorithm>
#include <cstring>
#include <limits>

#include "search/first_pass.hpp"
#include "kernels/pass_queries.hpp"
#include "kernels/shared_kernels.hpp"
#include "store/storage.hpp"

namespace lodex {

namespace {

constexpr size_t kLanes = 8;

inline __m256i load_half(const uint32_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }

// Stream bits pos .. pos + width - 1 of each row at the bottom of its lane,
// bits above them unspecified; never reads a word past them.
inline __m256i window(const uint32_t* words, unsigned pos, unsigned width) {
  const unsigned word = pos / 32;
  const unsigned shift = pos % 32;
  const __m256i lo = load_half(words + word * kBlockRows);
  if (shift == 0) return lo;
  if (shift + width <= 32) return _mm256_srli_epi32(lo, static_cast<int>(shift));
  const __m256i hi = load_half(words + (word + 1) * kBlockRows);
  return _mm256_or_si256(_mm256_srli_epi32(lo, static_cast<int>(shift)),
                         _mm256_slli_epi32(hi, static_cast<int>(32 - shift)));
}

// Quad i (0..7) of a group, codes in the low bits of bytes with bit 7 clear
// (pshufb reads bits 0-3 and 7 of an index).
template <int Bits>
inline __m256i quad_codes(const uint32_t* words, int i) {
  if constexpr (Bits == 4) {
    const __m256i x = load_half(words + (i / 2) * kBlockRows);
    return _mm256_and_si256(i % 2 == 0 ? x : _mm256_srli_epi32(x, 4), _mm256_set1_epi8(0x0F));
  } else if constexpr (Bits == 2) {
    const __m256i x = load_half(words + (i / 4) * kBlockRows);
    return _mm256_and_si256(_mm256_srli_epi32(x, 2 * (i % 4)), _mm256_set1_epi8(0x03));
  } else {
    // Four neighbouring codes at bits 0, B, 2B, 3B: codes 2 and 3 move up to
    // bit 16 (the high u16 of each lane taken from a shifted copy), then
    // codes 1 and 3 up to bits 8 and 24 (the high byte of each u16 from a
    // shifted copy); the mask drops what lies above each code.
    const __m256i x = window(words, static_cast<unsigned>(4 * Bits * i), 4 * Bits);
    const __m256i y = _mm256_blend_epi16(x, _mm256_slli_epi32(x, 16 - 2 * Bits), 0xAA);
    const __m256i high_bytes = _mm256_set1_epi16(static_cast<int16_t>(0xFF00));
    const __m256i z = _mm256_blendv_epi8(y, _mm256_slli_epi16(y, 8 - Bits), high_bytes);
    return _mm256_and_si256(z, _mm256_set1_epi8((1 << Bits) - 1));
  }
}

// Codes to levels: one in-lane shuffle of the first 16 levels (replicated
// past 2^Bits); 5 bits blend in the second 16 by code bit 4, moved up to
// the byte's sign bit for vpblendvb.
template <int Bits>
inline __m256i code_levels(__m256i codes, __m256i first16, __m256i second16) {
  const __m256i low = _mm256_shuffle_epi8(first16, codes);
  if constexpr (Bits < 5) {
    return low;
  } else {
    return _mm256_blendv_epi8(low, _mm256_shuffle_epi8(second16, codes), _mm256_slli_epi16(codes, 3));
  }
}

// acc + the dot products of two quads with their weights: the i16 sums of
// both vpmaddubsw added (exact: kMaxU7LaneWeight), then widened once.
inline __m256i dot_pair(__m256i acc, __m256i la, __m256i wa, __m256i lb, __m256i wb) {
  const __m256i sums = _mm256_add_epi16(_mm256_maddubs_epi16(la, wa), _mm256_maddubs_epi16(lb, wb));
  return _mm256_add_epi32(acc, _mm256_madd_epi16(sums, _mm256_set1_epi16(1)));
}

inline __m256i broadcast4(const uint8_t* p) {
  int32_t v;
  std::memcpy(&v, p, 4);
  return _mm256_set1_epi32(v);
}

// The bound test of one half block for NQ queries: bit i of out[q] set when
// row i may still reach query q's heap (as finish_block in the AVX-512
// passes, the key's operations included).
template <int NQ>
inline void finish_half(const PassArgs& args, const __m256i* sums, const uint16_t* norms, size_t lanes,
                        uint8_t* out) {
  const KeyKind key = args.key;
  float padded_terms[kLanes] = {};
  const float* terms = nullptr;
  if (key == KeyKind::kRowTerm) {
    terms = args.terms + (norms - args.norms);
    if (lanes < kLanes) {
      std::copy(terms, terms + lanes, padded_terms);
      terms = padded_terms;
    }
  }
  uint16_t padded[kLanes] = {};
  if (lanes < kLanes) {
    std::copy(norms, norms + lanes, padded);
    norms = padded;
  }
  const unsigned live = lanes >= kLanes ? 0xFFu : (1u << lanes) - 1;
  const __m256i wide = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(norms)));
  const __m256 f = _mm256_mul_ps(_mm256_castsi256_ps(_mm256_slli_epi32(wide, 16)), _mm256_set1_ps(args.scale));
  // Rows whose f is NaN, negative or infinite are always kept.
  const __m256 monotone = _mm256_and_ps(_mm256_cmp_ps(f, _mm256_setzero_ps(), _CMP_GE_OQ),
                                        _mm256_cmp_ps(f, _mm256_set1_ps(std::numeric_limits<float>::infinity()),
                                                      _CMP_LT_OQ));
  __m256 row = _mm256_setzero_ps();
  if (key == KeyKind::kRowTerm) {
    row = _mm256_loadu_ps(terms);
  } else if (key == KeyKind::kSquaredDistance) {
    const __m256 norm = _mm256_castsi256_ps(_mm256_slli_epi32(wide, 16));
    row = _mm256_mul_ps(norm, norm);
  }
#pragma GCC unroll 8
  for (int q = 0; q < NQ; ++q) {
    const PassQuery& query = args.queries[q];
    // Three rounded operations, as pass_keeps: never fused; then the key's.
    const __m256 scaled = _mm256_mul_ps(_mm256_cvtepi32_ps(sums[q]), _mm256_set1_ps(query.delta));
    __m256 bound = _mm256_mul_ps(_mm256_add_ps(scaled, _mm256_set1_ps(query.offset)), f);
    if (key == KeyKind::kRowTerm) {
      bound = _mm256_add_ps(_mm256_add_ps(bound, row), _mm256_set1_ps(query.add));
    } else if (key == KeyKind::kSquaredDistance) {
      bound = _mm256_add_ps(_mm256_sub_ps(_mm256_add_ps(bound, bound), row), _mm256_set1_ps(query.add));
    }
    const __m256 skip = _mm256_and_ps(_mm256_cmp_ps(bound, _mm256_set1_ps(query.below), _CMP_LT_OQ), monotone);
    out[q] = static_cast<uint8_t>(live & ~static_cast<unsigned>(_mm256_movemask_ps(skip)));
  }
}

// Half-block h of the run starts at word offset (h / 2) * block_words + (h % 2) * 8.
inline size_t half_offset(size_t h, size_t block_words) { return (h / 2) * block_words + (h % 2) * kLanes; }

// NH half blocks from `first_half` for NQ queries; ORs each half's masks
// into its block's survivors.
template <int Bits, int NH, int NQ>
inline void rank1_halves(const PassArgs& args, const uint32_t* blocks, size_t first_half, const uint16_t* norms,
                         size_t rows, uint16_t* out, size_t stride) {
  const size_t bw = args.block_words;
  const __m256i first16 = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(args.levels)));
  const __m256i second16 =
      _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(args.levels + 16)));
  const uint32_t* base[NH];
  __m256i acc[NH][NQ];
#pragma GCC unroll 8
  for (int h = 0; h < NH; ++h) {
    base[h] = blocks + half_offset(first_half + h, bw);
#pragma GCC unroll 8
    for (int q = 0; q < NQ; ++q) acc[h][q] = _mm256_setzero_si256();
  }
  const size_t far = prefetch_far_bytes((NH + 1) / 2, bw);
  const size_t groups = args.dim / 32;
  for (size_t g = 0; g < groups; ++g) {
    const size_t group_words = g * Bits * kBlockRows;
#pragma GCC unroll 8
    for (int h = 0; h < NH; ++h) {
      if ((first_half + h) % 2 != 0) continue;  // the other half shares its cache lines
#pragma GCC unroll 8
      for (int i = 0; i < Bits; ++i) {
        const char* p = reinterpret_cast<const char*>(base[h] + group_words + i * kBlockRows);
        _mm_prefetch(p + far, _MM_HINT_T2);
        _mm_prefetch(p + kPrefetchNearBytes, _MM_HINT_T0);
      }
    }
    if constexpr (NQ <= 2) {
      // Few queries: quad pair by quad pair, each pair's levels dotted as
      // soon as they are made, so that nothing but the accumulators and the
      // pair's weights stays live (16 registers).
#pragma GCC unroll 4
      for (int m = 0; m < 4; ++m) {
        __m256i wa[NQ];
        __m256i wb[NQ];
#pragma GCC unroll 2
        for (int q = 0; q < NQ; ++q) {
          wa[q] = broadcast4(args.queries[q].table + g * 32 + 8 * m);
          wb[q] = broadcast4(args.queries[q].table + g * 32 + 8 * m + 4);
        }
#pragma GCC unroll 8
        for (int h = 0; h < NH; ++h) {
          const __m256i la = code_levels<Bits>(quad_codes<Bits>(base[h] + group_words, 2 * m), first16, second16);
          const __m256i lb = code_levels<Bits>(quad_codes<Bits>(base[h] + group_words, 2 * m + 1), first16, second16);
#pragma GCC unroll 2
          for (int q = 0; q < NQ; ++q) acc[h][q] = dot_pair(acc[h][q], la, wa[q], lb, wb[q]);
        }
      }
    } else {
      // The group's levels first, then query by query: the decoding is
      // shared, and only the add of each dot product waits on the
      // accumulator.
      __m256i lv[8][NH];
#pragma GCC unroll 8
      for (int i = 0; i < 8; ++i) {
#pragma GCC unroll 8
        for (int h = 0; h < NH; ++h) {
          lv[i][h] = code_levels<Bits>(quad_codes<Bits>(base[h] + group_words, i), first16, second16);
        }
      }
#pragma GCC unroll 1
      for (int q = 0; q < NQ; ++q) {
        const uint8_t* w = args.queries[q].table + g * 32;
#pragma GCC unroll 8
        for (int h = 0; h < NH; ++h) {
          __m256i a = acc[h][q];
#pragma GCC unroll 4
          for (int m = 0; m < 4; ++m) {
            a = dot_pair(a, lv[2 * m][h], broadcast4(w + 8 * m), lv[2 * m + 1][h], broadcast4(w + 8 * m + 4));
          }
          acc[h][q] = a;
        }
      }
    }
  }
#pragma GCC unroll 8
  for (int h = 0; h < NH; ++h) {
    const size_t half = first_half + h;
    const size_t row = half * kLanes;
    if (row >= rows) break;
    uint8_t masks[NQ];
    finish_half<NQ>(args, acc[h], norms + row, std::min(kLanes, rows - row), masks);
    uint16_t* block_out = out + (half / 2) * stride;
#pragma GCC unroll 8
    for (int q = 0; q < NQ; ++q) block_out[q] |= static_cast<uint16_t>(masks[q] << (8 * (half % 2)));
  }
}

// One query: its weights are the only per-query state, so nothing is gained
// by reading blocks side by side. Block by block instead, in address order:
// one stream that the hardware prefetcher follows by itself (side-by-side
// blocks are several streams 1 KB apart, which it loses, and fetching every
// line ahead by hand cost more than it hid), plus one fetch into L1 a block,
// a little ahead, which starts each next page early. The search hands a lone
// query windows of several runs, so that the stream is long. Each half keeps
// two accumulators (even and odd quad pairs) to halve its add chain.
template <int Bits>
void one_query(const PassArgs& args, const uint32_t* blocks, const uint16_t* norms, size_t rows, uint16_t* out,
               size_t stride) {
  const size_t bw = args.block_words;
  const uint8_t* weights = args.queries[0].table;
  const __m256i first16 = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(args.levels)));
  const __m256i second16 =
      _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(args.levels + 16)));
  const size_t groups = args.dim / 32;
  const size_t block_count = (rows + kBlockRows - 1) / kBlockRows;
  for (size_t b = 0; b < block_count; ++b) {
    const uint32_t* block = blocks + b * bw;
    _mm_prefetch(reinterpret_cast<const char*>(block) + kPrefetchNearBytes, _MM_HINT_T0);
    __m256i acc[2][2];
    acc[0][0] = acc[0][1] = acc[1][0] = acc[1][1] = _mm256_setzero_si256();
    for (size_t g = 0; g < groups; ++g) {
      const uint32_t* words = block + g * Bits * kBlockRows;
#pragma GCC unroll 4
      for (int m = 0; m < 4; ++m) {
        const __m256i wa = broadcast4(weights + g * 32 + 8 * m);
        const __m256i wb = broadcast4(weights + g * 32 + 8 * m + 4);
#pragma GCC unroll 2
        for (int h = 0; h < 2; ++h) {
          const uint32_t* half = words + h * kLanes;
          const __m256i la = code_levels<Bits>(quad_codes<Bits>(half, 2 * m), first16, second16);
          const __m256i lb = code_levels<Bits>(quad_codes<Bits>(half, 2 * m + 1), first16, second16);
          acc[h][m % 2] = dot_pair(acc[h][m % 2], la, wa, lb, wb);
        }
      }
    }
    const size_t row = b * kBlockRows;
    uint16_t mask = 0;
#pragma GCC unroll 2
    for (int h = 0; h < 2; ++h) {
      const size_t at = row + h * kLanes;
      if (at >= rows) break;
      const __m256i sum = _mm256_add_epi32(acc[h][0], acc[h][1]);
      uint8_t half_mask;
      finish_half<1>(args, &sum, norms + at, std::min(kLanes, rows - at), &half_mask);
      mask = static_cast<uint16_t>(mask | half_mask << (8 * h));
    }
    out[b * stride] = mask;
  }
}

// Half blocks NH at a time: enough independent dot chains for one query,
// fewer as queries add their own.
template <int Bits, int NQ>
void rank1_queries(const PassArgs& args, const uint32_t* blocks, const uint16_t* norms, size_t rows, uint16_t* out,
                   size_t stride) {
  constexpr int kNH = NQ <= 2 ? 4 : NQ <= 4 ? 2 : 1;
  const size_t block_count = (rows + kBlockRows - 1) / kBlockRows;
  for (size_t b = 0; b < block_count; ++b) std::fill(out + b * stride, out + b * stride + NQ, uint16_t{0});
  const size_t half_count = (rows + kLanes - 1) / kLanes;
  size_t h = 0;
  for (; h + kNH <= half_count; h += kNH) rank1_halves<Bits, kNH, NQ>(args, blocks, h, norms, rows, out, stride);
  for (; h < half_count; ++h) rank1_halves<Bits, 1, NQ>(args, blocks, h, norms, rows, out, stride);
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

extern constinit const ScanKernels kAvx2Kernels = {
    .level = SimdLevel::kAvx2,
    .by_bits = {&scan_avx2_2, &scan_avx2_3, &scan_avx2_4, &scan_avx2_5},
    .first_pass = {{&table_entry<rank1_pass<2>>, PassFormat::kRank1U7},
                   {&table_entry<rank1_pass<3>>, PassFormat::kRank1U7},
                   {&table_entry<rank1_pass<4>>, PassFormat::kRank1U7},
                   {&table_entry<rank1_pass<5>>, PassFormat::kRank1U7}},
    .mixed = {&scan_mixed_avx2_2, &scan_mixed_avx2_3, &scan_mixed_avx2_4, &scan_mixed_avx2_5},
};

}  // namespace lodex
