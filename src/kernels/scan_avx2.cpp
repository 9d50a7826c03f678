// The AVX2 scan kernel: eight lanes per register, so each block of 16 rows
// is scanned as two halves (rows 0-7 and 8-15 of every code word). Compiled
// with AVX2 flags; only reached when the CPU and OS both support them.
//
// The 8-float permute reads the low 3 index bits: 2 and 3 bits look up
// directly (2 bits from a table replicated to 8 slots), 4 bits permute both
// table halves and pick by code bit 3, 5 bits gather from the 32 values.
#include <immintrin.h>

#include <algorithm>
#include <utility>

#include "kernels/scan.hpp"
#include "storage.hpp"

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
    return _mm256_i32gather_ps(t, _mm256_and_si256(code, _mm256_set1_epi32(31)), 4);
  }
}

inline __m256i load_word(const uint32_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }

template <int Bits, int J>
inline __m256i group_code(const uint32_t* words) {
  constexpr int kPos = J * Bits;
  constexpr int kWord = kPos / 32;
  constexpr int kShift = kPos % 32;
  const __m256i lo = load_word(words + kWord * kBlockRows);
  if constexpr (kShift == 0) {
    return lo;
  } else if constexpr (kShift + Bits > 32) {
    const __m256i hi = load_word(words + (kWord + 1) * kBlockRows);
    return _mm256_or_si256(_mm256_srli_epi32(lo, kShift), _mm256_slli_epi32(hi, 32 - kShift));
  } else {
    return _mm256_srli_epi32(lo, kShift);
  }
}

// Half-block h of the run starts at word offset (h / 2) * block_words + (h % 2) * 8.
inline size_t half_offset(size_t h, size_t block_words) { return (h / kHalves) * block_words + (h % kHalves) * kLanes; }

template <int Bits, int NB>
inline void accumulate(const ScanArgs& args, const uint32_t* blocks, size_t first_half, __m256 (&acc)[NB]) {
  constexpr size_t kStride = scan_table_stride(Bits);
  const uint32_t* base[NB];
  for (int u = 0; u < NB; ++u) base[u] = blocks + half_offset(first_half + u, args.block_words);
  const uint64_t groups = args.dim / 32;
  for (uint64_t g = 0; g < groups; ++g) {
    const size_t group_words = g * Bits * kBlockRows;
    const float* t = args.table + g * 32 * kStride;
    [&]<int... J>(std::integer_sequence<int, J...>) {
      (
          [&] {
            for (int u = 0; u < NB; ++u) {
              acc[u] = _mm256_add_ps(acc[u], lookup<Bits>(t + J * kStride, group_code<Bits, J>(base[u] + group_words)));
            }
          }(),
          ...);
    }(std::make_integer_sequence<int, 32>{});
  }
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
}

inline void finish_half(const ScanArgs& args, __m256 sum, const uint16_t* norms, size_t lanes, float* scores) {
  uint16_t padded[kLanes] = {};
  if (lanes < kLanes) {
    std::copy(norms, norms + lanes, padded);
    norms = padded;
  }
  __m256i wide = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(norms)));
  // NaN patterns (magnitude above 0x7F80) get the quiet bit, as bf16_to_f32 does.
  const __m256i nan = _mm256_cmpgt_epi32(_mm256_and_si256(wide, _mm256_set1_epi32(0x7FFF)), _mm256_set1_epi32(0x7F80));
  wide = _mm256_or_si256(wide, _mm256_and_si256(nan, _mm256_set1_epi32(0x0040)));
  const __m256 norm = _mm256_castsi256_ps(_mm256_slli_epi32(wide, 16));
  const __m256 factor = _mm256_mul_ps(norm, _mm256_set1_ps(args.scale));
  _mm256_storeu_ps(scores, _mm256_mul_ps(sum, factor));
}

template <int Bits, int NB>
inline void scan_halves(const ScanArgs& args, const uint32_t* blocks, size_t first_half, const uint16_t* norms,
                        size_t rows, float* scores) {
  __m256 acc[NB];
  for (int u = 0; u < NB; ++u) acc[u] = _mm256_setzero_ps();
  accumulate<Bits, NB>(args, blocks, first_half, acc);
  for (int u = 0; u < NB; ++u) {
    const size_t first = (first_half + u) * kLanes;
    finish_half(args, acc[u], norms + first, std::min(kLanes, rows - first), scores + first);
  }
}

template <int Bits>
void scan_avx2(const ScanArgs& args, const uint32_t* blocks, const uint16_t* norms, size_t rows, float* scores) {
  const size_t half_count = (rows + kLanes - 1) / kLanes;
  size_t h = 0;
  for (; h + kInFlight <= half_count; h += kInFlight) scan_halves<Bits, kInFlight>(args, blocks, h, norms, rows, scores);
  for (; h < half_count; ++h) scan_halves<Bits, 1>(args, blocks, h, norms, rows, scores);
}

}  // namespace

const ScanKernels kAvx2Scan = {SimdLevel::kAvx2, {&scan_avx2<2>, &scan_avx2<3>, &scan_avx2<4>, &scan_avx2<5>}};

}  // namespace lodex
