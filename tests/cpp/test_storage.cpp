// Storage: byte counts, packing, bfloat16 conversions and the interleaved
// code layout that the scan kernels read directly.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <random>
#include <tuple>
#include <vector>

#include "store/storage.hpp"

namespace lodex {
namespace {

struct ByteCountCase {
  uint64_t dim;
  uint8_t bits;
  uint64_t code_bytes;
};

class CodeBytesTest : public testing::TestWithParam<ByteCountCase> {};

TEST_P(CodeBytesTest, MatchesCeilingOfBitCount) {
  EXPECT_EQ(code_bytes_for(GetParam().dim, GetParam().bits), GetParam().code_bytes);
}

constexpr uint64_t kMaxU64 = std::numeric_limits<uint64_t>::max();

INSTANTIATE_TEST_SUITE_P(
    Sizes, CodeBytesTest,
    testing::Values(ByteCountCase{0, 4, 0}, ByteCountCase{1, 2, 1}, ByteCountCase{1, 3, 1}, ByteCountCase{1, 4, 1},
                    ByteCountCase{1, 5, 1}, ByteCountCase{2, 5, 2}, ByteCountCase{4, 3, 2}, ByteCountCase{8, 2, 2},
                    ByteCountCase{8, 3, 3}, ByteCountCase{8, 4, 4}, ByteCountCase{8, 5, 5},
                    ByteCountCase{1024, 3, 384}, ByteCountCase{1024, 5, 640},
                    // dim * bits overflows u64 here; the byte count does not.
                    ByteCountCase{uint64_t{1} << 61, 5, uint64_t{5} << 58},
                    ByteCountCase{kMaxU64, 2, uint64_t{1} << 62}, ByteCountCase{kMaxU64, 8, kMaxU64},
                    ByteCountCase{kMaxU64, 5, kMaxU64 / 8 * 5 + 5}));

TEST(QjlBytes, RoundsUpToWholeBytes) {
  const std::vector<std::pair<uint64_t, uint64_t>> cases = {{0, 0}, {1, 1}, {7, 1}, {8, 1}, {9, 2}, {1024, 128},
                                                             {kMaxU64, (kMaxU64 >> 3) + 1}};
  for (auto [dim, bytes] : cases) EXPECT_EQ(qjl_bytes_for(dim), bytes) << dim;
}

// The layout rule, one stream bit at a time.
std::vector<uint8_t> reference_pack(const std::vector<uint8_t>& codes, unsigned bits) {
  std::vector<uint8_t> out((codes.size() * bits + 7) / 8, 0);
  for (size_t j = 0; j < codes.size(); ++j) {
    for (unsigned k = 0; k < bits; ++k) {
      const size_t p = j * bits + k;
      if ((codes[j] >> k) & 1u) out[p / 8] |= static_cast<uint8_t>(1u << (p % 8));
    }
  }
  return out;
}

struct PackCase {
  uint8_t bits;
  std::vector<uint8_t> codes;
  std::vector<uint8_t> packed;
};

void PrintTo(const PackCase& c, std::ostream* os) { *os << int{c.bits} << " bits, " << c.codes.size() << " codes"; }

class PackGoldenTest : public testing::TestWithParam<PackCase> {};

// From the encoding worked examples.
TEST_P(PackGoldenTest, ProducesDocumentedBytes) {
  const PackCase& c = GetParam();
  std::vector<uint8_t> out(code_bytes_for(c.codes.size(), c.bits), 0xFF);
  pack_codes(c.codes, c.bits, out);
  EXPECT_EQ(out, c.packed);
}

INSTANTIATE_TEST_SUITE_P(WorkedExamples, PackGoldenTest,
                         testing::Values(PackCase{2, {2, 3, 2, 0}, {0x2E}}, PackCase{2, {3, 1, 1, 2}, {0x97}},
                                         PackCase{2, {1, 1, 1, 1}, {0x55}}, PackCase{3, {7, 3, 2, 4}, {0x9F, 0x08}},
                                         PackCase{3, {5, 5, 5, 5, 5, 5, 5, 5}, {0x6D, 0xDB, 0xB6}},
                                         PackCase{4, {0xA, 0x5, 0xF}, {0x5A, 0x0F}},
                                         PackCase{5, {31}, {0x1F}}, PackCase{5, {31, 31}, {0xFF, 0x03}}));

TEST(PackCodes, MatchesBitStreamForEveryWidthAndLength) {
  std::mt19937 rng(11);
  for (unsigned bits = 1; bits <= 8; ++bits) {
    for (size_t n = 1; n <= 70; ++n) {
      std::vector<uint8_t> codes(n);
      for (auto& c : codes) c = static_cast<uint8_t>(rng() & ((1u << bits) - 1));
      // Dirty output: packing must overwrite every byte, padding included.
      std::vector<uint8_t> out(code_bytes_for(n, static_cast<uint8_t>(bits)), 0xA5);
      pack_codes(codes, static_cast<uint8_t>(bits), out);
      ASSERT_EQ(out, reference_pack(codes, bits)) << "bits " << bits << " n " << n;
    }
  }
}

TEST(Bf16, NarrowsWithNearestEvenAndQuietNaN) {
  const std::vector<std::pair<uint32_t, uint16_t>> cases = {
      {0x3F800000, 0x3F80},  // 1.0
      {0x3F808000, 0x3F80},  // tie, kept part even
      {0x3F818000, 0x3F82},  // tie, kept part odd
      {0x3F808001, 0x3F81},  // just above the tie
      {0x3F807FFF, 0x3F80},  // just below the tie
      {0x7F7F8000, 0x7F80},  // carry into the exponent: infinity
      {0x7F800000, 0x7F80},  // +inf
      {0xFF800000, 0xFF80},  // -inf
      {0x7F800001, 0x7FC0},  // signalling NaN comes out quiet
      {0xFF800001, 0xFFC0},
      {0x7FC00000, 0x7FC0},
      {0x80000000, 0x8000},  // -0.0
      {0x00000000, 0x0000},
  };
  for (auto [in, out] : cases) EXPECT_EQ(bf16_from_f32(std::bit_cast<float>(in)), out) << std::hex << in;
}

TEST(Bf16, EveryNonNaNPatternRoundTrips) {
  for (uint32_t h = 0; h <= 0xFFFF; ++h) {
    if ((h & 0x7FFF) > 0x7F80) continue;
    ASSERT_EQ(bf16_from_f32(bf16_to_f32(static_cast<uint16_t>(h))), h);
  }
}

TEST(Storage, StartsEmpty) {
  Storage s(8, 1, 2, false);
  EXPECT_EQ(s.len(), 0u);
  EXPECT_FALSE(s.get_norm(0).has_value());
  EXPECT_EQ(s.chunk_count(), 0u);
}

TEST(Storage, KeepsInsertionOrderAndDuplicateIds) {
  Storage s(4, 9, 2, false);
  const std::vector<uint8_t> codes = {0x2E};
  s.push(7, 0x3F80, codes, std::nullopt);
  s.push(7, 0xC0A0, codes, std::nullopt);
  s.push(3, 0x4000, codes, std::nullopt);
  ASSERT_EQ(s.len(), 3u);
  EXPECT_EQ((std::vector<uint64_t>{s.id(0), s.id(1), s.id(2)}), (std::vector<uint64_t>{7, 7, 3}));
  EXPECT_EQ(s.get_norm(2), 2.0f);           // get_norm(len - 1)
  EXPECT_FALSE(s.get_norm(3).has_value());  // get_norm(len)
}

// Widening is exact except that a NaN gets its top mantissa bit.
TEST(Storage, GetNormWidensStoredPattern) {
  const std::vector<std::pair<uint16_t, uint32_t>> cases = {
      {0x3F80, 0x3F800000}, {0xC0A0, 0xC0A00000}, {0x7F80, 0x7F800000}, {0x7F81, 0x7FC10000},
      {0xFF81, 0xFFC10000}, {0x8000, 0x80000000}, {0x0001, 0x00010000}, {0x7FC0, 0x7FC00000}};
  Storage s(1, 0, 4, false);
  const std::vector<uint8_t> codes = {0};
  for (auto [norm, _] : cases) s.push(0, norm, codes, std::nullopt);
  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(std::bit_cast<uint32_t>(*s.get_norm(i)), cases[i].second);
    EXPECT_EQ(s.norm_bits(i), cases[i].first);
  }
}

TEST(Storage, QjlBytesOnlyWhenEnabledAndZeroWhenMissing) {
  Storage with(16, 0, 2, true);
  const std::vector<uint8_t> codes(4, 0);
  const std::vector<uint8_t> qjl = {0xAB, 0xCD};
  with.push(1, 0, codes, qjl);
  with.push(2, 0, codes, std::nullopt);
  ASSERT_TRUE(with.qjl_bits(0).has_value());
  EXPECT_EQ(std::vector<uint8_t>(with.qjl_bits(0)->begin(), with.qjl_bits(0)->end()), qjl);
  EXPECT_FALSE(with.qjl_bits(1).has_value());  // pushed without: reads as zeros

  Storage without(16, 0, 2, false);
  without.push(1, 0, codes, qjl);
  EXPECT_FALSE(without.qjl_bits(0).has_value());
  std::vector<uint8_t> buffer(4);
  EXPECT_FALSE(without.row(0, buffer).qjl_bits.has_value());
}

// dim, bits, rows
using LayoutParam = std::tuple<uint64_t, uint8_t, size_t>;

class LayoutTest : public testing::TestWithParam<LayoutParam> {};

TEST_P(LayoutTest, RowsRoundTripThroughInterleavedBlocks) {
  const auto [dim, bits, rows] = GetParam();
  Storage s(dim, 5, bits, false);
  const size_t cb = s.code_bytes();
  ASSERT_EQ(s.words_per_row(), (cb + 3) / 4);
  std::mt19937 rng(static_cast<uint32_t>(dim * 131 + bits * 7 + rows));
  std::vector<std::vector<uint8_t>> stored(rows, std::vector<uint8_t>(cb));
  s.reserve(rows / 2);  // a partial reserve must not disturb growth
  for (size_t r = 0; r < rows; ++r) {
    for (auto& b : stored[r]) b = static_cast<uint8_t>(rng());
    s.push(r * 3 + 1, static_cast<uint16_t>(r), stored[r], std::nullopt);
  }
  ASSERT_EQ(s.len(), rows);
  ASSERT_EQ(s.chunk_count(), (rows + kChunkRows - 1) / kChunkRows);

  std::vector<uint8_t> buffer(cb);
  for (size_t r = 0; r < rows; ++r) {
    const QuantizedVector row = s.row(r, buffer);
    ASSERT_EQ(std::vector<uint8_t>(row.codes.begin(), row.codes.end()), stored[r]) << "row " << r;
    ASSERT_EQ(row.id, r * 3 + 1);
    ASSERT_EQ(row.norm, static_cast<uint16_t>(r));
  }

  // The scan's view: word w of the row in lane r % 16 of its block, each word
  // the little-endian bytes 4w..4w+3 padded with zeros; unused lanes are zero.
  const size_t wpr = s.words_per_row();
  const size_t blocks_total = (rows + kBlockRows - 1) / kBlockRows;
  for (size_t blk = 0; blk < blocks_total; ++blk) {
    const size_t chunk = blk * kBlockRows / kChunkRows;
    const size_t in_chunk = blk - chunk * (kChunkRows / kBlockRows);
    const uint32_t* block = s.chunk_blocks(chunk) + in_chunk * wpr * kBlockRows;
    for (size_t lane = 0; lane < kBlockRows; ++lane) {
      const size_t r = blk * kBlockRows + lane;
      for (size_t w = 0; w < wpr; ++w) {
        uint32_t want = 0;
        for (size_t k = 0; k < 4 && r < rows && 4 * w + k < cb; ++k) {
          want |= static_cast<uint32_t>(stored[r][4 * w + k]) << (8 * k);
        }
        ASSERT_EQ(block[w * kBlockRows + lane], want) << "row " << r << " word " << w;
      }
    }
  }
  // Ids and norms sit in the same chunk as the row's codes.
  for (size_t c = 0; c < s.chunk_count(); ++c) {
    EXPECT_EQ(s.chunk_ids(c)[0], c * kChunkRows * 3 + 1);
    EXPECT_EQ(s.chunk_norms(c)[0], static_cast<uint16_t>(c * kChunkRows));
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, LayoutTest,
                         testing::Combine(testing::Values<uint64_t>(1, 2, 8, 128), testing::Values<uint8_t>(2, 3, 4, 5),
                                          testing::Values<size_t>(1, 15, 16, 17, kChunkRows + 17)));

TEST(Storage, FullChunksHoldNoSlack) {
  // 128 dims at 4 bits: 64 code bytes, 16 words per row.
  Storage s(128, 0, 4, false);
  const size_t rows = 2 * kChunkRows;
  s.reserve(rows);
  const std::vector<uint8_t> codes(s.code_bytes(), 0x11);
  for (size_t r = 0; r < rows; ++r) s.push(r, 0, codes, std::nullopt);
  const size_t payload = rows * (s.words_per_row() * 4 + sizeof(uint64_t) + sizeof(uint16_t));
  // Only the small per-chunk bookkeeping may come on top of the rows.
  EXPECT_GE(s.memory_bytes(), payload);
  EXPECT_LT(s.memory_bytes(), payload + 1024);
}

TEST(Storage, ManySmallBatchesKeepSlackBelowOneChunk) {
  Storage s(128, 0, 4, false);
  const std::vector<uint8_t> codes(s.code_bytes(), 0x22);
  size_t pushed = 0;
  for (int batch = 0; batch < 300; ++batch) {
    s.reserve(333);
    for (int r = 0; r < 333; ++r) s.push(pushed++, 0, codes, std::nullopt);
  }
  const size_t per_row = s.words_per_row() * 4 + sizeof(uint64_t) + sizeof(uint16_t);
  EXPECT_LT(s.memory_bytes(), pushed * per_row + kChunkRows * per_row);
}

TEST(Storage, QjlBytesAreStoredFromTheFirstNonZeroRowOnly) {
  Storage s(16, 0, 2, true);
  const std::vector<uint8_t> codes(s.code_bytes(), 0);
  const std::vector<uint8_t> zero(2, 0), some = {0x01, 0x80};
  s.push(1, 0, codes, zero);
  s.push(2, 0, codes, std::nullopt);
  EXPECT_FALSE(s.qjl_bits(0).has_value());  // read as zeros by every consumer
  s.push(3, 0, codes, some);
  s.push(4, 0, codes, std::nullopt);
  ASSERT_TRUE(s.qjl_bits(2).has_value());
  EXPECT_EQ(std::vector<uint8_t>(s.qjl_bits(2)->begin(), s.qjl_bits(2)->end()), some);
  EXPECT_FALSE(s.qjl_bits(3).has_value());
  Storage plain(16, 0, 2, false);
  plain.push(1, 0, codes, some);
  EXPECT_FALSE(plain.qjl_bits(0).has_value());
}

}  // namespace
}  // namespace lodex

namespace lodex {
namespace {

TEST(Storage, CodeBlocksStartOnCacheLines) {
  Storage s(128, 0, 3, false);  // 48 code bytes: a row size that is no multiple of 64
  const std::vector<uint8_t> codes(s.code_bytes(), 0x5A);
  for (size_t r = 0; r < kChunkRows + 40; ++r) s.push(r, 0, codes, std::nullopt);
  for (size_t c = 0; c < s.chunk_count(); ++c) {
    EXPECT_EQ(reinterpret_cast<uintptr_t>(s.chunk_blocks(c)) % kBlockAlignment, 0u) << "chunk " << c;
  }
}

// Slab slots, 2 MB-aligned maps and heap buffers, freed and taken again in
// mixed order: no two live buffers share a byte, each keeps its alignment.
TEST(BlockMemory, LiveBuffersKeepTheirBytes) {
  std::mt19937 rng(5);
  std::vector<std::tuple<uint8_t*, size_t, uint8_t>> live;
  for (int round = 0; round < 3; ++round) {
    for (const size_t bytes : {size_t{100}, size_t{256} << 10, size_t{512} << 10, size_t{1} << 20, size_t{3} << 19,
                               size_t{2} << 20, (size_t{3} << 20) + 100}) {
      for (int i = 0; i < 5; ++i) {
        auto* p = static_cast<uint8_t*>(allocate_block_memory(bytes));
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % kBlockAlignment, 0u) << bytes;
        const auto fill = static_cast<uint8_t>(rng());
        std::fill(p, p + bytes, fill);
        live.emplace_back(p, bytes, fill);
      }
    }
    std::shuffle(live.begin(), live.end(), rng);
    for (size_t i = 0; i < live.size() / 2; ++i) {
      free_block_memory(std::get<0>(live.back()), std::get<1>(live.back()));
      live.pop_back();
    }
    for (const auto& [p, bytes, fill] : live) {
      ASSERT_EQ(std::count(p, p + bytes, fill), static_cast<std::ptrdiff_t>(bytes)) << bytes;
    }
  }
  for (const auto& [p, bytes, fill] : live) free_block_memory(p, bytes);
}

}  // namespace
}  // namespace lodex
