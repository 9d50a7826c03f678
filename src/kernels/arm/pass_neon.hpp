// The shape the NEON first passes share: rank-one plans in kRank1S8 (levels
// and weights -127..127), codes decoded to levels once per four rows and
// dotted with every query's weights. Included only by pass_neon.cpp and
// pass_neondot.cpp, each compiled with its own flags; everything here has
// internal linkage, so no file hands its instructions to another. The dot
// product is sdot (vdotq_s32) in a file built with the dot-product extension
// and widening multiplies in one built without it.
//
// Four u32 lanes per register, one row each: a block of 16 rows is four
// "row groups". A quad (four codes of one row, one per byte of its lane, in
// the order of the plan's weights: first_pass.hpp) becomes four s8 levels by
// one table lookup, and the quad's four weights are the same for every row.
//
// Accumulator widths, for the largest sums the format allows (|level| and
// |weight| <= 127, dim <= 2^16 as first_pass_shape_ok admits):
//  * sdot adds four products into an s32 lane: exact.
//  * without it, vmull_s8 forms s16 products (|p| <= 127 * 127 = 16129 <
//    2^15) and vmlal_s8 adds the product of the next quad into the same s16
//    lane: two products, |p1 + p2| <= 32258 < 32767, exact. vpadalq_s16 then
//    adds adjacent s16 pairs into s32 lanes, which hold at most a row's
//    partial sum: |A| <= 2^16 * 16129 < 2^30 < 2^31, exact.
#pragma once

#include <arm_neon.h>

#include <algorithm>
#include <limits>
#include <utility>

#include "search/first_pass.hpp"
#include "kernels/pass_queries.hpp"
#include "kernels/scan.hpp"
#include "store/storage.hpp"

namespace lodex {

namespace {

constexpr size_t kLanes = 4;

inline uint32x4_t load_rows(const uint32_t* p) { return vld1q_u32(p); }

// The codes of quad I of a group for four rows whose group words start at
// `words`, one code per byte with the bits above it cleared. I is a
// template argument, so every shift is an immediate.
template <int Bits, int I>
inline uint8x16_t quad_codes(const uint32_t* words) {
  if constexpr (Bits == 4) {
    // Quad 2k: the low nibbles of word k; quad 2k + 1: its high nibbles.
    const uint8x16_t x = vreinterpretq_u8_u32(load_rows(words + (I / 2) * kBlockRows));
    if constexpr (I % 2 == 0) {
      return vandq_u8(x, vdupq_n_u8(0x0F));
    } else {
      return vshrq_n_u8(x, 4);
    }
  } else if constexpr (Bits == 2) {
    // Quad 4k + s: slot s of every byte of word k.
    const uint8x16_t x = vreinterpretq_u8_u32(load_rows(words + (I / 4) * kBlockRows));
    constexpr int kSlot = I % 4;
    if constexpr (kSlot == 0) {
      return vandq_u8(x, vdupq_n_u8(0x03));
    } else if constexpr (kSlot == 3) {
      return vshrq_n_u8(x, 6);
    } else {
      return vandq_u8(vshrq_n_u8(x, 2 * kSlot), vdupq_n_u8(0x03));
    }
  } else {
    // Four neighbouring codes at stream bits 4 * Bits * I onwards: codes 2
    // and 3 go up to bit 16 (shift-left-insert keeps codes 0 and 1 below),
    // then in each half the second code up to bit 8; the mask drops what
    // lies above each code.
    constexpr unsigned kPos = 4 * Bits * I;
    constexpr unsigned kWord = kPos / 32;
    constexpr unsigned kShift = kPos % 32;
    uint32x4_t x = load_rows(words + kWord * kBlockRows);
    if constexpr (kShift != 0) x = vshrq_n_u32(x, kShift);
    if constexpr (kShift + 4 * Bits > 32) {
      x = vorrq_u32(x, vshlq_n_u32(load_rows(words + (kWord + 1) * kBlockRows), 32 - kShift));
    }
    const uint16x8_t y = vreinterpretq_u16_u32(vsliq_n_u32(x, vshrq_n_u32(x, 2 * Bits), 16));
    const uint8x16_t z = vreinterpretq_u8_u16(vsliq_n_u16(y, vshrq_n_u16(y, Bits), 8));
    return vandq_u8(z, vdupq_n_u8((1 << Bits) - 1));
  }
}

// The level table: 16 levels, or 32 at 5 bits (two registers).
template <int Bits>
struct Levels {
  uint8x16x2_t t;
  explicit Levels(const uint8_t* levels) : t{{vld1q_u8(levels), vld1q_u8(levels + 16)}} {}
  int8x16_t of(uint8x16_t codes) const {
    if constexpr (Bits == 5) {
      return vreinterpretq_s8_u8(vqtbl2q_u8(t, codes));
    } else {
      return vreinterpretq_s8_u8(vqtbl1q_u8(t.val[0], codes));
    }
  }
};

// Four rows' A for one query, fed two quads at a time: the quads whose four
// weights are lanes L and L + 1 of `w` (the weights of four quads).
#if defined(__ARM_FEATURE_DOTPROD)
struct Sums {
  static constexpr int kRegisters = 1;
  static constexpr int kMaxQueries = 16;  // 16 accumulators for one row group
  int32x4_t rows = vdupq_n_s32(0);
  template <int L>
  void add(int8x16_t l0, int8x16_t l1, int8x16_t w) {
    // The by-element form dots every row's quad with one lane's weights.
    rows = vdotq_laneq_s32(vdotq_laneq_s32(rows, l0, w, L), l1, w, L + 1);
  }
  int32x4_t total() const { return rows; }
};
#else
struct Sums {
  static constexpr int kRegisters = 2;
  static constexpr int kMaxQueries = 8;  // 16 accumulators for one row group
  // Rows 0 and 1 (two s32 lanes each), rows 2 and 3.
  int32x4_t low = vdupq_n_s32(0);
  int32x4_t high = vdupq_n_s32(0);
  template <int L>
  void add(int8x16_t l0, int8x16_t l1, int8x16_t w) {
    // Each quad's weights in every lane: the low half serves rows 0 and 1,
    // the high half rows 2 and 3.
    const int8x16_t w0 = vreinterpretq_s8_s32(vdupq_laneq_s32(vreinterpretq_s32_s8(w), L));
    const int8x16_t w1 = vreinterpretq_s8_s32(vdupq_laneq_s32(vreinterpretq_s32_s8(w), L + 1));
    const int16x8_t p_low = vmlal_s8(vmull_s8(vget_low_s8(l0), vget_low_s8(w0)), vget_low_s8(l1), vget_low_s8(w1));
    const int16x8_t p_high = vmlal_high_s8(vmull_high_s8(l0, w0), l1, w1);
    low = vpadalq_s16(low, p_low);
    high = vpadalq_s16(high, p_high);
  }
  int32x4_t total() const { return vpaddq_s32(low, high); }
};
#endif

// The bound test of four rows for NQ queries: bits 0-3 of out[q] set for the
// rows that may still reach query q's heap. The one place where a row's
// bound meets its norm, and where it becomes a key as the row's score does
// (pass_keeps' operations).
template <int NQ>
inline void finish_rows(const PassArgs& args, const Sums* sums, const uint16_t* norms, size_t lanes,
                        unsigned* out) {
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
    std::copy(norms, norms + lanes, padded);  // only `lanes` norms may be read
    norms = padded;
  }
  const unsigned live = lanes >= kLanes ? 0xFu : (1u << lanes) - 1;
  const float32x4_t norm = vreinterpretq_f32_u32(vshll_n_u16(vld1_u16(norms), 16));
  const float32x4_t f = vmulq_f32(norm, vdupq_n_f32(args.scale));
  // Rows whose f is NaN, negative or infinite are always kept.
  const uint32x4_t monotone =
      vandq_u32(vcgeq_f32(f, vdupq_n_f32(0.0f)), vcltq_f32(f, vdupq_n_f32(std::numeric_limits<float>::infinity())));
  float32x4_t row = vdupq_n_f32(0.0f);
  if (key == KeyKind::kRowTerm) {
    row = vld1q_f32(terms);
  } else if (key == KeyKind::kSquaredDistance) {
    row = vmulq_f32(norm, norm);
  }
  const uint32x4_t lane_bit = {1, 2, 4, 8};
  for (int q = 0; q < NQ; ++q) {
    const PassQuery& query = args.queries[q];
    // Three rounded operations, as pass_keeps: never fused; then the key's.
    const float32x4_t scaled = vmulq_f32(vcvtq_f32_s32(sums[q].total()), vdupq_n_f32(query.delta));
    float32x4_t bound = vmulq_f32(vaddq_f32(scaled, vdupq_n_f32(query.offset)), f);
    if (key == KeyKind::kRowTerm) {
      bound = vaddq_f32(vaddq_f32(bound, row), vdupq_n_f32(query.add));
    } else if (key == KeyKind::kSquaredDistance) {
      bound = vaddq_f32(vsubq_f32(vaddq_f32(bound, bound), row), vdupq_n_f32(query.add));
    }
    const uint32x4_t skip = vandq_u32(vcltq_f32(bound, vdupq_n_f32(query.below)), monotone);
    out[q] = live & ~vaddvq_u32(vandq_u32(skip, lane_bit));
  }
}

// Quads 2P and 2P + 1 of one group for NR row groups and NQ queries.
template <int Bits, int NR, int NQ, int P>
inline void quad_pair(const PassArgs& args, const Levels<Bits>& levels, const uint32_t* const* base,
                      size_t group_words, size_t group, Sums (*acc)[NQ]) {
  int8x16_t l0[NR];
  int8x16_t l1[NR];
  for (int r = 0; r < NR; ++r) {
    l0[r] = levels.of(quad_codes<Bits, 2 * P>(base[r] + group_words));
    l1[r] = levels.of(quad_codes<Bits, 2 * P + 1>(base[r] + group_words));
  }
  for (int q = 0; q < NQ; ++q) {
    // The weights of quads 4 (P / 2) .. 4 (P / 2) + 3, 16 bytes at once.
    const uint8_t* w = args.queries[q].table + group * 32 + 16 * (P / 2);
    const int8x16_t weights = vld1q_s8(reinterpret_cast<const int8_t*>(w));
    for (int r = 0; r < NR; ++r) acc[r][q].template add<2 * (P % 2)>(l0[r], l1[r], weights);
  }
}

template <int Bits, int NR, int NQ, size_t... P>
inline void group_quads(const PassArgs& args, const Levels<Bits>& levels, const uint32_t* const* base,
                        size_t group_words, size_t group, Sums (*acc)[NQ], std::index_sequence<P...>) {
  (quad_pair<Bits, NR, NQ, static_cast<int>(P)>(args, levels, base, group_words, group, acc), ...);
}

// NR row groups from row group `first` (row group i: rows 4i .. 4i + 3) for
// NQ queries; ORs their masks into their blocks' survivors (query q of block
// b at out[b * stride + q]).
// Out of line: one instance per shape keeps the dispatch small and shows
// each shape apart in profiles and disassembly (docs/arm.md counts them).
template <int Bits, int NR, int NQ>
[[gnu::noinline]] void rank1_rows(const PassArgs& args, const uint32_t* blocks, size_t first, const uint16_t* norms, size_t rows,
                       uint16_t* out, size_t stride) {
  constexpr size_t kGroupsPerBlock = kBlockRows / kLanes;
  const size_t bw = args.block_words;
  const Levels<Bits> levels(args.levels);
  const uint32_t* base[NR];
  Sums acc[NR][NQ];
  for (int r = 0; r < NR; ++r) {
    const size_t g = first + static_cast<size_t>(r);
    base[r] = blocks + (g / kGroupsPerBlock) * bw + (g % kGroupsPerBlock) * kLanes;
  }
  const size_t far = prefetch_far_bytes((NR + kGroupsPerBlock - 1) / kGroupsPerBlock, bw);
  const size_t groups = args.dim / 32;
  for (size_t g = 0; g < groups; ++g) {
    const size_t group_words = g * Bits * kBlockRows;
    for (int r = 0; r < NR; ++r) {
      if ((first + static_cast<size_t>(r)) % kGroupsPerBlock != 0) continue;  // one fetch per block's lines
      for (int i = 0; i < Bits; ++i) {
        const char* p = reinterpret_cast<const char*>(base[r] + group_words + i * kBlockRows);
        __builtin_prefetch(p + far, 0, 2);
        __builtin_prefetch(p + kPrefetchNearBytes, 0, 3);
      }
    }
    group_quads<Bits, NR, NQ>(args, levels, base, group_words, g, acc, std::make_index_sequence<4>{});
  }
  for (int r = 0; r < NR; ++r) {
    const size_t g = first + static_cast<size_t>(r);
    const size_t row = g * kLanes;
    if (row >= rows) break;
    unsigned masks[NQ];
    finish_rows<NQ>(args, acc[r], norms + row, std::min(kLanes, rows - row), masks);
    uint16_t* block_out = out + (g / kGroupsPerBlock) * stride;
    for (int q = 0; q < NQ; ++q) block_out[q] |= static_cast<uint16_t>(masks[q] << (kLanes * (g % kGroupsPerBlock)));
  }
}

// Row groups NR at a time: as many as keep the accumulators within 16 of the
// 32 vector registers, at most a block's four.
template <int Bits, int NQ>
void rank1_queries(const PassArgs& args, const uint32_t* blocks, const uint16_t* norms, size_t rows, uint16_t* out,
                   size_t stride) {
  constexpr int kNR = std::clamp(16 / (NQ * Sums::kRegisters), 1, 4);
  const size_t block_count = (rows + kBlockRows - 1) / kBlockRows;
  for (size_t b = 0; b < block_count; ++b) std::fill(out + b * stride, out + b * stride + NQ, uint16_t{0});
  const size_t row_groups = (rows + kLanes - 1) / kLanes;
  size_t g = 0;
  for (; g + kNR <= row_groups; g += kNR) rank1_rows<Bits, kNR, NQ>(args, blocks, g, norms, rows, out, stride);
  for (; g < row_groups; ++g) rank1_rows<Bits, 1, NQ>(args, blocks, g, norms, rows, out, stride);
}

template <int Bits>
void rank1_pass(const PassArgs& args, const uint32_t* blocks, const uint16_t* norms, size_t rows,
                uint16_t* survivors) {
  for_query_chunks<Sums::kMaxQueries>(args, survivors, [&](const PassArgs& sub, uint16_t* out, auto nq) {
    rank1_queries<Bits, decltype(nq)::value>(sub, blocks, norms, rows, out, args.query_count);
  });
}

}  // namespace

}  // namespace lodex
