// The scan's integer first pass: the per-query integer plans (tables or
// weights) and the constants of their bound, and everything its kernels share
// (layouts, arguments, the kernel signature). The bound only ever lets the
// scan skip rows that the exact scan would have skipped itself;
// first_pass.cpp proves it. Kernels never allocate, throw or touch anything
// shared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "search/keys.hpp"

namespace lodex {

// How a query's plan is laid out and which integer A each row gets; a kernel
// table names the format of each of its passes, and the plan builder writes
// it. Every format makes A an exact integer, whatever order it is added in.
//
// Table formats (2 and 4 bits): a term is a nibble of a code word (at 4 bits
// one coordinate, at 2 bits a pair of neighbouring coordinates); every value
// of every term has a u8 entry q, every term an integer weight w in 1..127,
// and A = sum over terms of w * q. The weight lets a term whose values span
// little use fine steps while the widest term still fits in 255 of its own,
// coarser ones.
//   kNibbleTable: 64-byte tables of entries in the order the byte-permute
//     kernels consume them (nibble_table_offset), then the weights
//     (nibble_weight_offset).
//   kByteTable: the same A read a code byte at a time: per byte of the row's
//     code stream, 256 u16 sums w_lo * q_lo + w_hi * q_hi of its two terms
//     (at most 2 * 127 * 255 < 2^16), at byte_table_offset; the nibble table
//     it was made from follows them.
//
// Rank-one formats (any width): the table has rank one, e[j][c] =
// fl(centroid[c] * r[j]), so a row's score is nearly a dot product of its
// centroids with the rotated query. Every code c maps to an integer level
// cq[c] (the same for every coordinate and query: rank1_levels), every
// coordinate j of the query to an s8 weight rq[j] in -127..127 (at
// rank1_weight_offset), and A = sum_j rq[j] * cq[c_j]. A kernel decodes a
// block's codes to levels once and serves every query of its group from them.
//   kRank1U8: levels 0..255, for u8 x s8 dot products into i32 (vpdpbusd).
//   kRank1U7: levels 0..127, for vpmaddubsw, whose saturating i16 pair sums
//     then stay exact (2 * 127 * 127 < 2^15). Besides, the weights of two
//     neighbouring quads (plan bytes 8m .. 8m+7) that land in one i16 lane
//     of their vpmaddubsw products, bytes {0, 1, 4, 5} and {2, 3, 6, 7},
//     sum to at most kMaxU7LaneWeight in magnitude, so that the two products
//     add in i16 exactly before one widening (258 * 127 < 2^15).
//   kRank1S8: levels -127..127, for s8 x s8 dot products (aarch64 sdot).
enum class PassFormat : uint8_t { kNibbleTable, kByteTable, kRank1U8, kRank1U7, kRank1S8 };

inline constexpr bool is_rank1(PassFormat f) { return f >= PassFormat::kRank1U8; }
inline constexpr int kMaxU7LaneWeight = 258;

inline constexpr size_t kFirstPassAlign = 64;
// Queries that share one pass over the codes (the decoding of a block's
// codes to levels is shared by all of them).
inline constexpr size_t kMaxPassQueries = 16;

// Stores of this shape can take the first pass: whole groups of 32
// coordinates, and few enough that A stays exact in float32.
bool first_pass_shape_ok(uint64_t dim, uint8_t bits);
// Whether `format` serves `bits` (the table formats only 2 and 4).
bool pass_format_serves(PassFormat format, uint8_t bits);

// ---- Table formats.
inline constexpr uint64_t nibble_terms(uint64_t dim, uint8_t bits) { return bits == 2 ? dim / 2 : dim; }
// Byte offset of term t's value v (0..15): code word w holds 8 nibble terms
// (term 8w + 2b + h is nibble h of byte b); per word, a table for the low
// nibbles and one for the high ones, each indexed by nibble | b << 4.
inline constexpr uint64_t nibble_table_offset(uint64_t t, unsigned v) {
  const uint64_t w = t / 8;
  const unsigned o = static_cast<unsigned>(t % 8);
  return (w * 2 + o % 2) * 64 + ((o / 2) << 4 | v);
}
// The entries' bytes: 8 per nibble term.
inline constexpr uint64_t nibble_lookup_bytes(uint64_t dim, uint8_t bits) { return nibble_terms(dim, bits) * 16; }
// Byte offset of term t's weight: the four weights of a nibble table as one
// u32 (byte b for the nibbles of byte b), so that it broadcasts over the
// lanes of its lookups.
inline constexpr uint64_t nibble_weight_offset(uint64_t dim, uint8_t bits, uint64_t t) {
  const unsigned o = static_cast<unsigned>(t % 8);
  return nibble_lookup_bytes(dim, bits) + ((t / 8) * 2 + o % 2) * 4 + o / 2;
}
inline constexpr uint64_t nibble_table_bytes(uint64_t dim, uint8_t bits) {
  return nibble_lookup_bytes(dim, bits) + (nibble_terms(dim, bits) + 63) / 64 * 64;
}
// u16 index of value `byte` of code byte i (byte i % 4 of word i / 4).
inline constexpr uint64_t byte_table_offset(uint64_t i, unsigned byte) { return i * 256 + byte; }
inline constexpr uint64_t byte_table_bytes(uint64_t dim, uint8_t bits) { return dim * bits / 8 * 512; }

// ---- Rank-one formats.
// Byte offset of coordinate j's weight. A kernel cuts a code word into
// "quads", dwords of four levels, and the weights come in the same order:
//  4 bits: the low nibbles of word w (coordinates 8w, 8w+2, 8w+4, 8w+6), then
//    its high nibbles (8w+1, 8w+3, ...).
//  2 bits: slot k of each byte of word w (coordinates 16w + 4b + k for b =
//    0..3), for k = 0..3.
//  3, 5 bits: coordinate order (four neighbouring codes per quad).
inline constexpr uint64_t rank1_weight_offset(uint8_t bits, uint64_t j) {
  if (bits == 4) return (j / 8) * 8 + (j % 2) * 4 + (j % 8) / 2;
  if (bits == 2) return (j / 16) * 16 + (j % 4) * 4 + (j % 16) / 4;
  return j;
}
// The 64 bytes of levels for codes of `bits` bits, kFirstPassAlign-aligned:
// byte i holds the level of code i mod 2^bits, so that a byte shuffle that
// reads 4, 5 or 6 index bits needs no masking of the bits above the code
// (s8 levels as their two's complement bytes).
const uint8_t* rank1_levels(PassFormat format, uint8_t bits);

// Bytes of a query's plan in `format`.
uint64_t pass_table_bytes(PassFormat format, uint64_t dim, uint8_t bits);

// The constants a pass kernel needs besides the table (see PassQuery).
struct PassPlan {
  float delta = 0.0f;
  float offset = 0.0f;
};

// Writes the plan of one query into `table` (pass_table_bytes bytes,
// kFirstPassAlign-aligned) from its float table (entry (j, c) at
// entries[j * stride + c], c < 2^bits) and, for the rank-one formats, its
// rotated query `rotated` (entries[j * stride + c] = fl(centroid[c] *
// rotated[j])). Returns the bound's constants, or nothing when this query
// must take the exact path (a non-finite entry, magnitudes near the float32
// limits, an all-zero table). Allocates nothing: it runs on pool workers.
std::optional<PassPlan> build_pass_plan(PassFormat format, const float* entries, size_t stride,
                                        const float* rotated, uint64_t dim, uint8_t bits, uint8_t* table);

// The `below` of a heap: rows whose bound is strictly below it are skipped.
// The float just below the root once the heap is full and its root is a
// number; -infinity (nothing skipped) otherwise.
float pass_threshold(bool heap_full, float root);

// ---- The kernels.

// One query of a pass: its plan and the constants of its bound.
struct PassQuery {
  const uint8_t* table;  // pass_table_bytes, kFirstPassAlign-aligned
  float delta;           // the step of A
  float offset;          // C: rounded up so that (delta * A + C) * f bounds the score
  float below;           // skip rows whose bound is strictly below this (-inf: none)
  float add = 0.0f;      // the query's constant a of the key (keys.hpp)
};

struct PassArgs {
  uint64_t dim;
  size_t block_words;
  float scale;
  const PassQuery* queries;
  size_t query_count;     // 1 .. kMaxPassQueries
  const uint8_t* levels;  // rank1_levels of the kernel's format; unused by the table formats
  // What the rows are ranked by. With kRowTerm, terms[i] is the term of the
  // row whose norm is norms[i], `norms` being the pointer the kernel was
  // called with: a step that reads the norms at norms + r finds the terms at
  // terms + r.
  KeyKind key = KeyKind::kScore;
  const uint16_t* norms = nullptr;
  const float* terms = nullptr;
};

// For the blocks holding rows 0 .. rows-1 (as ScanFn), sets bit i of
// survivors[b * query_count + q] when row b*16+i of block b may still reach
// query q's heap: its bound U = fl(fl(fl(delta * A) + offset) * f), with
// f = fl(norm * scale), turned into a key as the row's estimate is (keys.hpp),
// is not below `below`, or f is not a finite number >= 0. Bits of rows at or
// past `rows` are clear.
using PassFn = void (*)(const PassArgs& args, const uint32_t* blocks, const uint16_t* norms, size_t rows,
                        uint16_t* survivors);

// A level's pass for one width and the format of the plans it reads.
struct PassKernel {
  PassFn fn = nullptr;
  PassFormat format = PassFormat::kRank1U8;
};

// The bound test of one row, shared by the scalar pass and the tests: true
// when the row may not be skipped. `row` is the row's term (kRowTerm) or its
// widened norm (kSquaredDistance).
bool pass_keeps(const PassQuery& q, int32_t a, float f, KeyKind key = KeyKind::kScore, float row = 0.0f);

// A row's A under `format` from its codes (one per byte, dim of them): the
// model every pass kernel reproduces.
int32_t pass_sum(PassFormat format, const uint8_t* table, const uint8_t* codes, uint64_t dim, uint8_t bits);

}  // namespace lodex
