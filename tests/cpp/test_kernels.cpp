// Every scan kernel the machine supports against the reference scorer, score
// bit for score bit, over dimensions, bit widths and row counts that leave
// partial blocks, partial runs and a chunk boundary, with special values in
// the norms and the query.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "cpu.hpp"
#include "kernels/scan.hpp"
#include "scan_fixtures.hpp"
#include "search.hpp"

namespace lodex {
namespace {

using testing_support::bits_of;
using testing_support::gaussian;
using testing_support::random_storage;
using testing_support::reference_scores;

std::vector<SimdLevel> supported_levels() {
  std::vector<SimdLevel> levels;
  for (const SimdLevel l : {SimdLevel::kScalar, SimdLevel::kAvx2, SimdLevel::kAvx512}) {
    if (simd_level_supported(l)) levels.push_back(l);
  }
  return levels;
}

enum class QueryKind { kGaussian, kNaN, kInfinity, kSubnormal, kZero };

std::vector<float> make_query(QueryKind kind, uint64_t dim, uint64_t seed) {
  std::vector<float> q = gaussian(dim, seed);
  switch (kind) {
    case QueryKind::kGaussian:
      break;
    case QueryKind::kNaN:
      q[dim / 2] = std::numeric_limits<float>::quiet_NaN();
      break;
    case QueryKind::kInfinity:
      q[0] = std::numeric_limits<float>::infinity();
      break;
    case QueryKind::kSubnormal:
      // Rotated values and table entries stay subnormal: nothing may flush them.
      for (float& x : q) x *= 1e-39f;
      break;
    case QueryKind::kZero:
      for (float& x : q) x = 0.0f;  // signed-zero sums
      break;
  }
  return q;
}

// All rows' scores from one search with k = len, indexed by id (= row).
std::vector<float> scanned_scores(const Storage& storage, std::span<const float> signs, std::span<const float> query,
                                  SimdLevel level, size_t split_budget) {
  SearchOptions options;
  options.level = level;
  options.piece_rows = split_budget == 1 ? 0 : 48;
  options.max_threads = split_budget;
  SearchStats stats;
  options.stats = &stats;
  const auto found = search(storage, signs, storage.bits(), query, storage.len(), options);
  EXPECT_TRUE(found.has_value());
  EXPECT_EQ(stats.level, level);
  std::vector<float> scores(storage.len(), std::numeric_limits<float>::signaling_NaN());
  if (!found) return scores;
  EXPECT_EQ(found->size(), storage.len());
  for (const ScoredResult& r : *found) scores[r.id] = r.score;
  return scores;
}

void expect_same_bits(const std::vector<float>& expected, const std::vector<float>& actual) {
  ASSERT_EQ(expected.size(), actual.size());
  size_t mismatches = 0;
  for (size_t i = 0; i < expected.size() && mismatches < 5; ++i) {
    if (bits_of(expected[i]) != bits_of(actual[i])) {
      ++mismatches;
      ADD_FAILURE() << "row " << i << ": expected " << expected[i] << " (0x" << std::hex << bits_of(expected[i])
                    << "), got " << actual[i] << " (0x" << bits_of(actual[i]) << ")" << std::dec;
    }
  }
}

class KernelMatchesReference : public testing::TestWithParam<std::tuple<int, uint64_t>> {};

TEST_P(KernelMatchesReference, EveryRowEveryLevel) {
  const auto [bits_param, dim] = GetParam();
  const uint8_t bits = static_cast<uint8_t>(bits_param);
  const auto signs = make_sign_vector(dim, 3);
  ASSERT_TRUE(signs.has_value());
  // 101 rows = 7 blocks: one group of four blocks in flight plus single ones.
  const std::vector<size_t> row_counts =
      dim >= 1024 ? std::vector<size_t>{1, 17, 101} : std::vector<size_t>{1, 15, 16, 17, 101, 1023};
  for (const size_t rows : row_counts) {
    const Storage storage = random_storage(dim, bits, rows, 100 + rows, {.special_norms = true});
    for (const QueryKind kind :
         {QueryKind::kGaussian, QueryKind::kNaN, QueryKind::kInfinity, QueryKind::kSubnormal, QueryKind::kZero}) {
      const std::vector<float> query = make_query(kind, dim, 7);
      const std::vector<float> expected = reference_scores(storage, *signs, query);
      for (const SimdLevel level : supported_levels()) {
        SCOPED_TRACE(std::string(simd_level_name(level)) + " rows " + std::to_string(rows) + " query kind " +
                     std::to_string(static_cast<int>(kind)));
        expect_same_bits(expected, scanned_scores(storage, *signs, query, level, 1));
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(WidthsAndDims, KernelMatchesReference,
                         testing::Combine(testing::Values(2, 3, 4, 5),
                                          testing::Values<uint64_t>(1, 2, 4, 8, 16, 32, 128, 1024, 4096)));

class KernelAcrossChunks : public testing::TestWithParam<int> {};

// Rows on both sides of a chunk boundary, scanned as one piece and as several
// pieces that start and end inside chunks.
TEST_P(KernelAcrossChunks, MatchesReference) {
  const uint8_t bits = static_cast<uint8_t>(GetParam());
  const uint64_t dim = 128;
  const auto signs = make_sign_vector(dim, 5);
  ASSERT_TRUE(signs.has_value());
  const Storage storage = random_storage(dim, bits, kChunkRows + 3, 77, {.special_norms = true});
  const std::vector<float> query = gaussian(dim, 9);
  const std::vector<float> expected = reference_scores(storage, *signs, query);
  for (const SimdLevel level : supported_levels()) {
    for (const size_t budget : {1, 3}) {
      SCOPED_TRACE(std::string(simd_level_name(level)) + " budget " + std::to_string(budget));
      expect_same_bits(expected, scanned_scores(storage, *signs, query, level, budget));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Widths, KernelAcrossChunks, testing::Values(2, 3, 4, 5));

// The test hook: a forced level is the one whose kernels ran, and a level the
// machine lacks falls back to one it has.
TEST(KernelDispatch, ForcedLevelRuns) {
  const Storage storage = random_storage(8, 4, 40, 1);
  const auto signs = make_sign_vector(8, 1);
  const std::vector<float> query = gaussian(8, 2);
  for (const SimdLevel level : {SimdLevel::kScalar, SimdLevel::kAvx2, SimdLevel::kAvx512}) {
    SearchStats stats;
    SearchOptions options;
    options.level = level;
    options.stats = &stats;
    ASSERT_TRUE(search(storage, *signs, 4, query, 3, options).has_value());
    EXPECT_EQ(stats.level, simd_level_supported(level) ? level : best_simd_level()) << simd_level_name(level);
    EXPECT_EQ(scan_kernels(level).level, stats.level);
  }
  SearchStats stats;
  SearchOptions options;
  options.stats = &stats;
  ASSERT_TRUE(search(storage, *signs, 4, query, 3, options).has_value());
  EXPECT_EQ(stats.level, best_simd_level());
}

}  // namespace
}  // namespace lodex
