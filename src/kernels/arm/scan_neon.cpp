// The NEON exact scan: four rows per register, so a block of 16 rows is four
// registers of sums, each lane adding its row's table entries in coordinate
// order exactly as scan_scalar does. NEON is part of every aarch64 CPU; this
// file needs no flags beyond the baseline.
//
// Lookup: the lane table's floats are read as bytes by the table instructions
// (vqtbl1q/2q/4q_u8 for 4, 8 or 16 entries; 5 bits adds a vqtbx4q_u8 over the
// upper 16). Byte k of lane i must be byte k of entry c_i, index 4 * c_i + k:
// one integer multiply-add spreads the code over the lane's four bytes
// (c * 0x04040404 + 0x03020100; 4c + 3 < 256, so no byte carries into the
// next).
#include <arm_neon.h>

#include <algorithm>
#include <utility>

#include "kernels/shared_kernels.hpp"
#include "store/storage.hpp"

namespace lodex {

namespace {

constexpr size_t kLanes = 4;
constexpr size_t kGroups = kBlockRows / kLanes;
// Blocks in flight, each its own four add chains: enough independent adds to
// cover the latency of the lookups with the 5-bit table (8 registers) and
// the sums (8 registers) still inside the 32 vector registers.
constexpr size_t kInFlight = 2;

// The lane table of one coordinate, as the table instructions take it.
template <int Bits>
struct Table;
template <>
struct Table<2> {
  uint8x16_t t;
  explicit Table(const float* p) : t(vld1q_u8(reinterpret_cast<const uint8_t*>(p))) {}
  uint8x16_t look(uint8x16_t idx) const { return vqtbl1q_u8(t, idx); }
};
template <>
struct Table<3> {
  uint8x16x2_t t;
  explicit Table(const float* p) : t(vld1q_u8_x2(reinterpret_cast<const uint8_t*>(p))) {}
  uint8x16_t look(uint8x16_t idx) const { return vqtbl2q_u8(t, idx); }
};
template <>
struct Table<4> {
  uint8x16x4_t t;
  explicit Table(const float* p) : t(vld1q_u8_x4(reinterpret_cast<const uint8_t*>(p))) {}
  uint8x16_t look(uint8x16_t idx) const { return vqtbl4q_u8(t, idx); }
};
template <>
struct Table<5> {
  uint8x16x4_t lo;
  uint8x16x4_t hi;
  explicit Table(const float* p)
      : lo(vld1q_u8_x4(reinterpret_cast<const uint8_t*>(p))), hi(vld1q_u8_x4(reinterpret_cast<const uint8_t*>(p + 16))) {}
  // Codes 0-15 index the low 64 bytes; 16-31 give indices 64-127, which the
  // first lookup leaves at zero and the second, 64 lower, fills in (codes
  // below 16 wrap to 192 and above there, which it leaves alone).
  uint8x16_t look(uint8x16_t idx) const {
    return vqtbx4q_u8(vqtbl4q_u8(lo, idx), hi, vsubq_u8(idx, vdupq_n_u8(64)));
  }
};

// Entry lookup for four rows whose codes (bits above cleared) are in `code`.
template <int Bits>
inline float32x4_t lookup(const Table<Bits>& table, uint32x4_t code) {
  const uint32x4_t idx = vmlaq_u32(vdupq_n_u32(0x03020100), code, vdupq_n_u32(0x04040404));
  return vreinterpretq_f32_u8(table.look(vreinterpretq_u8_u32(idx)));
}

inline uint32x4_t load_word(const uint32_t* p) { return vld1q_u32(p); }

// The code at stream bit P of four rows whose word 0 is at `words` (one word
// per kBlockRows stride), other bits cleared. P is a template argument, so
// every shift is an immediate, and the mask goes where bits lie above the
// code.
template <int Bits, unsigned P>
inline uint32x4_t code_at(const uint32_t* words) {
  constexpr unsigned kWord = P / 32;
  constexpr unsigned kShift = P % 32;
  const uint32x4_t lo = load_word(words + kWord * kBlockRows);
  uint32x4_t v = lo;
  if constexpr (kShift != 0) v = vshrq_n_u32(lo, kShift);
  if constexpr (kShift + Bits > 32) {
    // The code straddles two words: its high bits start the next one.
    v = vorrq_u32(v, vshlq_n_u32(load_word(words + (kWord + 1) * kBlockRows), 32 - kShift));
  } else if constexpr (kShift + Bits == 32) {
    return v;  // the word's last code: nothing above it
  }
  return vandq_u32(v, vdupq_n_u32((1u << Bits) - 1));
}

// The same with the position known only at run time (dims below 32).
template <int Bits>
inline uint32x4_t code_at(const uint32_t* words, uint64_t p) {
  const uint32_t* lo = words + (p / 32) * kBlockRows;
  const int s = static_cast<int>(p % 32);
  uint32x4_t v = vshlq_u32(load_word(lo), vdupq_n_s32(-s));
  if (s + Bits > 32) v = vorrq_u32(v, vshlq_u32(load_word(lo + kBlockRows), vdupq_n_s32(32 - s)));
  return vandq_u32(v, vdupq_n_u32((1u << Bits) - 1));
}

// One coordinate J of a 32-coordinate group for NB blocks: its table once,
// then one lookup and one add per four rows.
template <int Bits, int NB, unsigned J>
inline void coordinate(const float* t, const uint32_t* const* base, size_t group_words, float32x4_t (*acc)[kGroups]) {
  constexpr size_t kStride = scan_table_stride(Bits);
  if constexpr ((J * Bits) % 32 < Bits) {
    // A new code word starts: fetch the line kPrefetchFarBytes ahead in each
    // block's stream towards L2, and a nearer one towards L1.
    const size_t word = group_words + (J * Bits / 32) * kBlockRows;
    for (int u = 0; u < NB; ++u) {
      __builtin_prefetch(reinterpret_cast<const char*>(base[u] + word) + kPrefetchFarBytes, 0, 2);
      __builtin_prefetch(reinterpret_cast<const char*>(base[u] + word) + kPrefetchNearBytes, 0, 3);
    }
  }
  const Table<Bits> table(t + J * kStride);
  for (int u = 0; u < NB; ++u) {
    for (size_t g = 0; g < kGroups; ++g) {
      acc[u][g] = vaddq_f32(acc[u][g], lookup<Bits>(table, code_at<Bits, J * Bits>(base[u] + group_words + g * kLanes)));
    }
  }
}

template <int Bits, int NB, size_t... J>
inline void group(const float* t, const uint32_t* const* base, size_t group_words, float32x4_t (*acc)[kGroups],
                  std::index_sequence<J...>) {
  // A fold over the comma operator: coordinates strictly in order.
  (coordinate<Bits, NB, static_cast<unsigned>(J)>(t, base, group_words, acc), ...);
}

// Sums coordinates 0 .. dim-1 of NB consecutive blocks into acc.
template <int Bits, int NB>
inline void accumulate(const ScanArgs& args, const uint32_t* blocks, float32x4_t (*acc)[kGroups]) {
  constexpr size_t kStride = scan_table_stride(Bits);
  const uint32_t* base[NB];
  for (int u = 0; u < NB; ++u) {
    base[u] = blocks + u * args.block_words;
    for (size_t g = 0; g < kGroups; ++g) acc[u][g] = vdupq_n_f32(0.0f);
  }
  const uint64_t groups = args.dim / 32;
  for (uint64_t gi = 0; gi < groups; ++gi) {
    group<Bits, NB>(args.table + gi * 32 * kStride, base, gi * Bits * kBlockRows, acc, std::make_index_sequence<32>{});
  }
  // Fewer than 32 coordinates in all (dim below 32): shifts at run time.
  for (uint64_t j = groups * 32; j < args.dim; ++j) {
    const Table<Bits> table(args.table + j * kStride);
    for (int u = 0; u < NB; ++u) {
      for (size_t g = 0; g < kGroups; ++g) {
        acc[u][g] = vaddq_f32(acc[u][g], lookup<Bits>(table, code_at<Bits>(base[u] + g * kLanes, j * Bits)));
      }
    }
  }
}

// score = sum * (norm * scale), a NaN sum passed through as it is.
inline void finish_block(const ScanArgs& args, const float32x4_t* acc, const uint16_t* norms, size_t lanes,
                         float* scores) {
  uint16_t padded[kBlockRows] = {};
  if (lanes < kBlockRows) {
    std::copy(norms, norms + lanes, padded);  // only `lanes` norms may be read
    norms = padded;
  }
  const float32x4_t scale = vdupq_n_f32(args.scale);
  for (size_t g = 0; g < kGroups; ++g) {
    // Widening is a shift: the product with scale quiets a signalling NaN by
    // setting the same bit bf16_to_f32 sets.
    const float32x4_t norm = vreinterpretq_f32_u32(vshll_n_u16(vld1_u16(norms + g * kLanes), 16));
    const float32x4_t factor = vmulq_f32(norm, scale);
    const float32x4_t sum = acc[g];
    const uint32x4_t is_number = vceqq_f32(sum, sum);
    vst1q_f32(scores + g * kLanes, vbslq_f32(is_number, vmulq_f32(sum, factor), sum));
  }
}

template <int Bits, int NB>
inline void scan_blocks(const ScanArgs& args, const uint32_t* blocks, size_t first_block, const uint16_t* norms,
                        size_t rows, float* scores) {
  float32x4_t acc[NB][kGroups];
  accumulate<Bits, NB>(args, blocks + first_block * args.block_words, acc);
  for (int u = 0; u < NB; ++u) {
    const size_t first = (first_block + u) * kBlockRows;
    finish_block(args, acc[u], norms + first, std::min(kBlockRows, rows - first), scores + first);
  }
}

template <int Bits>
void scan_neon(const ScanArgs& args, const uint32_t* blocks, const uint16_t* norms, size_t rows, float* scores) {
  const size_t block_count = (rows + kBlockRows - 1) / kBlockRows;
  size_t b = 0;
  for (; b + kInFlight <= block_count; b += kInFlight) scan_blocks<Bits, kInFlight>(args, blocks, b, norms, rows, scores);
  for (; b < block_count; ++b) scan_blocks<Bits, 1>(args, blocks, b, norms, rows, scores);
}

}  // namespace

void scan_neon_2(const ScanArgs& a, const uint32_t* b, const uint16_t* n, size_t r, float* s) { scan_neon<2>(a, b, n, r, s); }
void scan_neon_3(const ScanArgs& a, const uint32_t* b, const uint16_t* n, size_t r, float* s) { scan_neon<3>(a, b, n, r, s); }
void scan_neon_4(const ScanArgs& a, const uint32_t* b, const uint16_t* n, size_t r, float* s) { scan_neon<4>(a, b, n, r, s); }
void scan_neon_5(const ScanArgs& a, const uint32_t* b, const uint16_t* n, size_t r, float* s) { scan_neon<5>(a, b, n, r, s); }

}  // namespace lodex
