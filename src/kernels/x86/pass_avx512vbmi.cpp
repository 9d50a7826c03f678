// The avx512vbmi level (AVX-512 with VBMI's byte permutes and multishift and
// VNNI's u8 dot products): its table, and its integer first pass; the exact
// scans are scan_avx512.cpp's. Compiled with those flags; only reached when
// the CPU and OS support them. The pass produces survivor masks, never
// scores.
//
// A block register holds one code word of each of 16 rows (a u32 lane per
// row). 2 and 4 bits read nibble tables: every byte of a lane becomes a 6-bit
// table index, one permute looks up 64 of them at once and vpdpbusd adds a
// lane's four bytes times their terms' weights into that row's i32 sum.
// 3 and 5 bits read rank-one plans: codes become levels once per block, and
// each query adds them times its weights. Several queries share each block's
// loads and index extraction; their tables stay in L1.
#include "kernels/shared_kernels.hpp"
#include "kernels/x86/pass_avx512.hpp"

namespace lodex {

namespace {

// Eight bytes broadcast to every u64 lane.
inline __m512i broadcast8(const uint8_t* p) {
  long long v;
  std::memcpy(&v, p, 8);
  return _mm512_set1_epi64(v);
}

// (a & mask) | pos, one vpternlogd: A = 0xF0, B = 0xCC, C = 0xAA.
inline __m512i index_bytes(__m512i a, __m512i mask, __m512i pos) {
  return _mm512_ternarylogic_epi32(a, mask, pos, 0xEA);
}

// ---- 2 and 4 bits: a term is a nibble. Word w's low nibbles index its
// first table by nibble | byte << 4, the high nibbles its second.
template <int NB, int NQ>
inline void nibble_blocks(const PassArgs& args, size_t words, const uint32_t* first, const uint16_t* norms,
                          size_t rows, uint16_t* out, size_t stride) {
  const size_t bw = args.block_words;
  const __m512i low4 = _mm512_set1_epi8(0x0F);
  const __m512i pos = _mm512_set1_epi32(0x30201000);
  const uint8_t* tables[NQ];
#pragma GCC unroll 8
  for (int q = 0; q < NQ; ++q) tables[q] = args.queries[q].table;
  const size_t weights = words * 128;  // the weights follow the entries
  const size_t far = prefetch_far_bytes(NB, bw);
  __m512i acc[NB][NQ];
#pragma GCC unroll 8
  for (int b = 0; b < NB; ++b) {
#pragma GCC unroll 8
    for (int q = 0; q < NQ; ++q) acc[b][q] = _mm512_setzero_si512();
  }
  for (size_t w = 0; w < words; ++w) {
    __m512i lo[NB];
    __m512i hi[NB];
#pragma GCC unroll 8
    for (int b = 0; b < NB; ++b) {
      const uint32_t* p = first + b * bw + w * kBlockRows;
      _mm_prefetch(reinterpret_cast<const char*>(p) + far, _MM_HINT_T2);
      _mm_prefetch(reinterpret_cast<const char*>(p) + kPrefetchNearBytes, _MM_HINT_T0);
      const __m512i x = load_word(p);
      lo[b] = index_bytes(x, low4, pos);
      hi[b] = index_bytes(_mm512_srli_epi32(x, 4), low4, pos);
    }
#pragma GCC unroll 8
    for (int q = 0; q < NQ; ++q) {
      const __m512i t_lo = load_table(tables[q] + w * 128);
      const __m512i t_hi = load_table(tables[q] + w * 128 + 64);
      const __m512i w_lo = broadcast4(tables[q] + weights + w * 8);
      const __m512i w_hi = broadcast4(tables[q] + weights + w * 8 + 4);
#pragma GCC unroll 8
      for (int b = 0; b < NB; ++b) {
        acc[b][q] = _mm512_dpbusd_epi32(acc[b][q], _mm512_permutexvar_epi8(lo[b], t_lo), w_lo);
        acc[b][q] = _mm512_dpbusd_epi32(acc[b][q], _mm512_permutexvar_epi8(hi[b], t_hi), w_hi);
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

// ---- 3 and 5 bits, rank one: codes straddle words, so two neighbouring
// words of a row are first paired into one u64 (unpacklo/hi: rows 4L, 4L+1
// of lane L in `lo`, rows 4L+2, 4L+3 in `hi`), from which vpmultishiftqb
// cuts the 8 codes of an octet, one per byte, at any bit offset. One permute
// of the levels (replicated over 64 bytes, so the bits above a code need no
// mask) turns them into levels for every query of the group; each query
// then adds them times its weights. Each row's sum sits in the two dwords of
// its u64.

// Octet t (coordinates 8t .. 8t+7 of a group of 32) is cut from the pair of
// words starting at word pair_first(t): the first pair whose 64 bits hold
// all 8 codes.
template <int Bits>
constexpr int pair_first(int t) {
  return Bits == 3 ? (t < 2 ? 0 : 1) : t;
}

template <int Bits>
inline __m512i octet_control(int t) {
  alignas(64) uint8_t c[64];
  for (int i = 0; i < 64; ++i) c[i] = static_cast<uint8_t>(Bits * (8 * t + i % 8) - 32 * pair_first<Bits>(t));
  return _mm512_load_si512(c);
}

// Row r's sum: the two dwords of its u64 added, then gathered in row order.
inline __m512i row_sums(__m512i acc_lo, __m512i acc_hi) {
  const __m512i lo = _mm512_add_epi32(acc_lo, _mm512_srli_epi64(acc_lo, 32));
  const __m512i hi = _mm512_add_epi32(acc_hi, _mm512_srli_epi64(acc_hi, 32));
  const __m512i order = _mm512_setr_epi32(0, 2, 16, 18, 4, 6, 20, 22, 8, 10, 24, 26, 12, 14, 28, 30);
  return _mm512_permutex2var_epi32(lo, order, hi);
}

template <int Bits, int NB, int NQ>
inline void octet_blocks(const PassArgs& args, size_t groups, const uint32_t* first, const uint16_t* norms,
                         size_t rows, uint16_t* out, size_t stride) {
  const size_t bw = args.block_words;
  const __m512i levels = load_table(args.levels);
  const __m512i control[4] = {octet_control<Bits>(0), octet_control<Bits>(1), octet_control<Bits>(2),
                              octet_control<Bits>(3)};
  const uint8_t* weights[NQ];
#pragma GCC unroll 8
  for (int q = 0; q < NQ; ++q) weights[q] = args.queries[q].table;
  const size_t far = prefetch_far_bytes(NB, bw);
  __m512i acc_lo[NB][NQ];
  __m512i acc_hi[NB][NQ];
#pragma GCC unroll 8
  for (int b = 0; b < NB; ++b) {
#pragma GCC unroll 8
    for (int q = 0; q < NQ; ++q) acc_lo[b][q] = acc_hi[b][q] = _mm512_setzero_si512();
  }
  for (size_t g = 0; g < groups; ++g) {
    __m512i words[NB][Bits];
#pragma GCC unroll 8
    for (int b = 0; b < NB; ++b) {
#pragma GCC unroll 8
      for (int i = 0; i < Bits; ++i) {
        const uint32_t* p = first + b * bw + (g * Bits + i) * kBlockRows;
        _mm_prefetch(reinterpret_cast<const char*>(p) + far, _MM_HINT_T2);
        _mm_prefetch(reinterpret_cast<const char*>(p) + kPrefetchNearBytes, _MM_HINT_T0);
        words[b][i] = load_word(p);
      }
    }
#pragma GCC unroll 4
    for (int t = 0; t < 4; ++t) {
      const int p0 = pair_first<Bits>(t);
      __m512i lv_lo[NB];
      __m512i lv_hi[NB];
#pragma GCC unroll 8
      for (int b = 0; b < NB; ++b) {
        const __m512i lo = _mm512_unpacklo_epi32(words[b][p0], words[b][p0 + 1]);
        const __m512i hi = _mm512_unpackhi_epi32(words[b][p0], words[b][p0 + 1]);
        lv_lo[b] = _mm512_permutexvar_epi8(_mm512_multishift_epi64_epi8(control[t], lo), levels);
        lv_hi[b] = _mm512_permutexvar_epi8(_mm512_multishift_epi64_epi8(control[t], hi), levels);
      }
      const size_t octet = g * 4 + static_cast<size_t>(t);
#pragma GCC unroll 8
      for (int q = 0; q < NQ; ++q) {
        const __m512i w = broadcast8(weights[q] + octet * 8);
#pragma GCC unroll 8
        for (int b = 0; b < NB; ++b) {
          acc_lo[b][q] = _mm512_dpbusd_epi32(acc_lo[b][q], lv_lo[b], w);
          acc_hi[b][q] = _mm512_dpbusd_epi32(acc_hi[b][q], lv_hi[b], w);
        }
      }
    }
  }
#pragma GCC unroll 8
  for (int b = 0; b < NB; ++b) {
    const size_t row = static_cast<size_t>(b) * kBlockRows;
    if (row >= rows) break;
    __m512i sums[NQ];
#pragma GCC unroll 8
    for (int q = 0; q < NQ; ++q) sums[q] = row_sums(acc_lo[b][q], acc_hi[b][q]);
    finish_block<NQ>(args, sums, norms + row, rows - row, out + b * stride);
  }
}

template <int Bits, int NB, int NQ>
inline void some_blocks(const PassArgs& args, const uint32_t* first, const uint16_t* norms, size_t rows,
                        uint16_t* out, size_t stride) {
  if constexpr (Bits == 2 || Bits == 4) {
    nibble_blocks<NB, NQ>(args, args.dim * Bits / 32, first, norms, rows, out, stride);
  } else {
    octet_blocks<Bits, NB, NQ>(args, args.dim / 32, first, norms, rows, out, stride);
  }
}

// Blocks side by side: enough independent dot-product chains for one query,
// fewer as queries add their own. A query alone reads two: its windows of
// several runs stream better from two neighbouring blocks than from four,
// and one block at a time leaves too few chains (measured at 1M rows;
// benchmarks/results/levels.md has this level's times).
template <int Bits, int NQ>
void pass_queries(const PassArgs& args, const uint32_t* blocks, const uint16_t* norms, size_t rows, uint16_t* out,
                  size_t stride) {
  constexpr int kNB = NQ == 1 ? 2 : NQ <= 2 ? 4 : 2;
  const size_t block_count = (rows + kBlockRows - 1) / kBlockRows;
  size_t b = 0;
  for (; b + kNB <= block_count; b += kNB) {
    const size_t row = b * kBlockRows;
    some_blocks<Bits, kNB, NQ>(args, blocks + b * args.block_words, norms + row, rows - row, out + b * stride,
                               stride);
  }
  for (; b < block_count; ++b) {
    const size_t row = b * kBlockRows;
    some_blocks<Bits, 1, NQ>(args, blocks + b * args.block_words, norms + row, rows - row, out + b * stride, stride);
  }
}

// Groups of up to 8 queries: each holds two accumulators per block (the
// nibble tables' or the octets' halves) in registers.
template <int Bits>
void pass(const PassArgs& args, const uint32_t* blocks, const uint16_t* norms, size_t rows, uint16_t* survivors) {
  for_query_chunks<8>(args, survivors, [&](const PassArgs& sub, uint16_t* out, auto nq) {
    pass_queries<Bits, decltype(nq)::value>(sub, blocks, norms, rows, out, args.query_count);
  });
}

}  // namespace

// 2 and 4 bits keep per-query byte-permute tables, which need half the dot
// products of the rank-one pass at 2 bits and bound tighter; 3 and 5 bits
// decode to levels once per block, which makes their per-query cost that of
// 4 bits. Batches at 4 bits take the VNNI rank-one pass, whose decoding a
// group of queries shares: it measured faster from 4 queries on and slower
// for one (benchmarks/results/levels.md has this level's times).
extern constinit const ScanKernels kAvx512VbmiKernels = {
    .level = SimdLevel::kAvx512Vbmi,
    .by_bits = {&scan_avx512_2, &scan_avx512_3, &scan_avx512_4, &scan_avx512_5},
    .first_pass = {{&table_entry<pass<2>>, PassFormat::kNibbleTable},
                   {&table_entry<pass<3>>, PassFormat::kRank1U8},
                   {&table_entry<pass<4>>, PassFormat::kNibbleTable},
                   {&table_entry<pass<5>>, PassFormat::kRank1U8}},
    .batch_pass = {{}, {}, {&pass_avx512vnni_4, PassFormat::kRank1U8}, {}},
    .mixed = {&scan_mixed_avx512_2, &scan_mixed_avx512_3, &scan_mixed_avx512_4, &scan_mixed_avx512_5},
};

}  // namespace lodex
