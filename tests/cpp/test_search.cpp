// Search: preparation order and errors, the reference scorer's unpacking and
// arithmetic, the heap rules, the final sort, and results that do not depend
// on how the rows are split between workers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "quant/codebook.hpp"
#include "scan_fixtures.hpp"
#include "search/reference_score.hpp"
#include "search/search.hpp"
#include "search/top_k.hpp"

namespace lodex {
namespace {

using testing_support::bits_of;
using testing_support::gaussian;
using testing_support::random_storage;
using testing_support::reference_scores;
using testing_support::search;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

std::string error_text(const Result<std::vector<ScoredResult>>& r) {
  return r.has_value() ? std::string("<no error>") : r.error().text();
}

// ---------------------------------------------------------------- preparation

TEST(SearchPreparation, LengthIsCheckedBeforeTheShortcuts) {
  Storage empty(4, 0, 2, false);
  const auto signs = make_sign_vector(4, 0);
  const std::vector<float> query(3, 1.0f);
  EXPECT_EQ(error_text(search(empty, *signs, 2, query, 0)), "dimension mismatch: query has 3, index has 4");
  EXPECT_EQ(error_text(search(empty, *signs, 2, query, 5)), "dimension mismatch: query has 3, index has 4");
  const Storage filled = random_storage(4, 2, 3, 1);
  EXPECT_EQ(error_text(search(filled, *signs, 2, query, 0)), "dimension mismatch: query has 3, index has 4");
}

TEST(SearchPreparation, ShortcutsReturnNothing) {
  const auto signs = make_sign_vector(4, 0);
  const std::vector<float> query(4, 1.0f);
  Storage empty(4, 0, 2, false);
  for (const uint64_t k : {uint64_t{0}, uint64_t{1}, std::numeric_limits<uint64_t>::max()}) {
    const auto r = search(empty, *signs, 2, query, k);
    ASSERT_TRUE(r.has_value());
    EXPECT_TRUE(r->empty());
  }
  const Storage filled = random_storage(4, 2, 3, 1);
  const auto r = search(filled, *signs, 2, query, 0);
  ASSERT_TRUE(r.has_value());
  EXPECT_TRUE(r->empty());
}

// A loaded file may carry any bits byte: it fails only once a scan would run.
TEST(SearchPreparation, UnsupportedWidthFailsOnlyWhenScanning) {
  Storage storage(4, 0, 7, false);
  const auto signs = make_sign_vector(4, 0);
  const std::vector<float> query(4, 1.0f);
  EXPECT_TRUE(search(storage, *signs, 7, query, 3)->empty());
  const std::vector<uint8_t> codes(storage.code_bytes(), 0);
  storage.push(1, 0x3F80, codes, std::nullopt);
  EXPECT_TRUE(search(storage, *signs, 7, query, 0)->empty());
  EXPECT_EQ(error_text(search(storage, *signs, 7, query, 1)),
            "codebook error: unsupported bit-width 7. Valid: 2, 3, 4, 5");
}

TEST(SearchPreparation, RotationFailureIsWrapped) {
  const Storage storage = random_storage(4, 2, 2, 1);
  const std::vector<float> short_signs = {1.0f, -1.0f};
  const std::vector<float> query(4, 1.0f);
  EXPECT_EQ(error_text(search(storage, short_signs, 2, query, 1)),
            "rotation error: dimension mismatch: vector has 4, sign vector has 2");
}

// ---------------------------------------------------------------- scoring

// dim 2, bits 2, signs (+1, -1), query (1, 0): the rotated query is (1, 1),
// code byte 0x0B holds codes 3 and 2, norm 2 and scale 1/2 cancel: S + R.
TEST(ScoreRow, WorkedExample) {
  const auto cb = centroids(2);
  const float r = (*cb)[2];
  const float s = (*cb)[3];
  Storage storage(2, 0, 2, false);
  const std::vector<uint8_t> code = {0x0B};
  storage.push(42, bf16_from_f32(2.0f), code, std::nullopt);
  const std::vector<float> signs = {1.0f, -1.0f};
  const std::vector<float> query = {1.0f, 0.0f};
  const auto found = search(storage, signs, 2, query, 1);
  ASSERT_TRUE(found.has_value());
  ASSERT_EQ(found->size(), 1u);
  EXPECT_EQ((*found)[0].id, 42u);
  EXPECT_EQ(bits_of((*found)[0].score), bits_of(s + r));
  EXPECT_EQ(bits_of((*found)[0].score), bits_of(1.5104f + 0.4528f));
}

// A table that is zero except at coordinate `target`, where entry c is c:
// the score is then exactly the code score_row decoded for that coordinate.
class ScoreRowUnpacking : public testing::TestWithParam<std::tuple<int, uint64_t>> {};

TEST_P(ScoreRowUnpacking, ReadsEveryCoordinatesCode) {
  const auto [bits_param, dim] = GetParam();
  const uint8_t bits = static_cast<uint8_t>(bits_param);
  const size_t n = size_t{1} << bits;
  std::mt19937 rng(static_cast<uint32_t>(dim * 10 + bits));
  std::vector<uint8_t> codes(dim);
  for (uint8_t& c : codes) c = static_cast<uint8_t>(rng() % n);
  std::vector<uint8_t> packed(code_bytes_for(dim, bits));
  pack_codes(codes, bits, packed);
  for (uint64_t target = 0; target < dim; ++target) {
    QueryTable table;
    table.n_centroids = n;
    table.entries.assign(dim * n, 0.0f);
    for (size_t c = 0; c < n; ++c) table.entries[target * n + c] = static_cast<float>(c);
    EXPECT_EQ(score_row(table, bits, dim, 1.0f, packed, 1.0f), static_cast<float>(codes[target]))
        << "coordinate " << target;
  }
}

// dim 8 at 3 bits includes the straddling code of coordinate 2 (bits 6-7 of
// byte 0, bit 0 of byte 1).
INSTANTIATE_TEST_SUITE_P(WidthsAndDims, ScoreRowUnpacking,
                         testing::Combine(testing::Values(2, 3, 4, 5), testing::Values<uint64_t>(1, 2, 3, 8, 13, 64)));

TEST(ScoreRow, NormTimesScaleComesFirst) {
  // With norm near the float32 maximum, sum * norm overflows but
  // sum * (norm * scale) does not.
  QueryTable table;
  table.n_centroids = 4;
  table.entries = {0.0f, 0.0f, 0.0f, 1.0576f, 0.0f, 0.0f, 0.0f, 0.0f};
  const std::vector<uint8_t> packed = {0x03};
  const float norm = bf16_to_f32(0x7F7F);
  const float score = score_row(table, 2, 2, 0.5f, packed, norm);
  EXPECT_TRUE(std::isfinite(score));
  EXPECT_EQ(bits_of(score), bits_of(1.0576f * (norm * 0.5f)));
  EXPECT_TRUE(std::isinf((1.0576f * norm) * 0.5f));
}

TEST(ScoreRow, ZeroNormGivesSignedZero) {
  // signs (+1, +1), query (1, 0): both rotated coordinates are 1; codes
  // (0, 0) sum two negative centroids.
  Storage storage(2, 0, 2, false);
  const std::vector<uint8_t> code = {0x00};
  storage.push(1, 0x0000, code, std::nullopt);
  const std::vector<uint8_t> positive = {0x0F};
  storage.push(2, 0x0000, positive, std::nullopt);
  const std::vector<float> signs = {1.0f, 1.0f};
  const std::vector<float> query = {1.0f, 0.0f};
  const auto found = search(storage, signs, 2, query, 2);
  ASSERT_TRUE(found.has_value());
  ASSERT_EQ(found->size(), 2u);
  for (const ScoredResult& r : *found) EXPECT_EQ(bits_of(r.score), r.id == 1 ? 0x80000000u : 0x00000000u);
}

TEST(ScoreRow, DimensionOne) {
  const auto cb = centroids(3);
  QueryTable table = build_query_table(std::vector<float>{-0.75f}, *cb);
  const std::vector<uint8_t> packed = {0x05};
  EXPECT_EQ(bits_of(score_row(table, 3, 1, 1.0f, packed, 2.5f)), bits_of(((*cb)[5] * -0.75f) * (2.5f * 1.0f)));
}

// ---------------------------------------------------------------- heap rules

std::vector<ScoredResult> offered(const std::vector<ScoredResult>& input, size_t bound) {
  std::vector<ScoredResult> room(bound + 1);
  TopKHeap heap(room, bound);
  for (const ScoredResult& x : input) heap.offer(x);
  return {heap.entries().begin(), heap.entries().end()};
}

std::vector<uint64_t> ids_of(std::span<const ScoredResult> v) {
  std::vector<uint64_t> ids;
  for (const ScoredResult& r : v) ids.push_back(r.id);
  return ids;
}

TEST(TopKHeap, KeepsTheBestOfDistinctScores) {
  std::mt19937 rng(5);
  for (const size_t bound : {1, 2, 3, 5, 10, 64}) {
    for (const size_t n : {0, 1, 2, 9, 10, 11, 200}) {
      std::vector<ScoredResult> input(n);
      std::vector<float> pool(n);
      std::iota(pool.begin(), pool.end(), -50.0f);
      std::shuffle(pool.begin(), pool.end(), rng);
      for (size_t i = 0; i < n; ++i) input[i] = {i, pool[i]};
      std::vector<ScoredResult> got = offered(input, bound);
      sort_results(got);
      std::vector<ScoredResult> want = input;
      std::stable_sort(want.begin(), want.end(), [](auto& a, auto& b) { return a.score > b.score; });
      want.resize(std::min(bound, n));
      EXPECT_EQ(ids_of(got), ids_of(want)) << "bound " << bound << " n " << n;
    }
  }
}

struct HeapCase {
  const char* name;
  size_t bound;
  std::vector<float> scores;  // offered in order, ids and positions 0, 1, 2, ...
  std::vector<uint64_t> array_ids;
};

class HeapArrayOrder : public testing::TestWithParam<HeapCase> {};

// Array contents after the push / pop rules, worked out by hand.
TEST_P(HeapArrayOrder, FollowsThePushAndPopRules) {
  std::vector<ScoredResult> input;
  for (size_t i = 0; i < GetParam().scores.size(); ++i) {
    input.push_back({i, GetParam().scores[i], static_cast<uint32_t>(i)});
  }
  EXPECT_EQ(ids_of(offered(input, GetParam().bound)), GetParam().array_ids);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HeapArrayOrder,
    testing::Values(
        // Equal keys rank by position: the later row is the root, and an
        // equal newcomer (later still) is the one evicted.
        HeapCase{"tie_keeps_earlier_rows", 2, {1, 1, 1}, {1, 0}},
        // A newcomer level with a row below the root's rank enters no more.
        HeapCase{"tie_below_best_loses", 3, {2, 1, 1, 3, 1}, {1, 0, 3}},
        // A candidate below the root is evicted at once.
        HeapCase{"below_root", 2, {1, 2, 0}, {0, 1}},
        // [0:1, 1:2, 2:2, 3:5] + 4:3 -> pop: of the equal children the
        // later-stored (id 2, the lower-ranked) moves up; 4 is put back under it.
        HeapCase{"equal_children_take_later", 4, {1, 2, 2, 5, 3}, {2, 1, 4, 3}},
        // The left child strictly lower: it moves up, then the hole's single
        // child (id 3) moves up too, and 4 walks back above it.
        HeapCase{"lower_left_child", 4, {1, 2, 3, 5, 4}, {1, 4, 2, 3}},
        // Push walk moves strictly greater parents only.
        HeapCase{"push_walk", 5, {5, 4, 3, 2, 1}, {4, 3, 1, 0, 2}},
        // NaN ranks below every number: it stays the root and is evicted first.
        HeapCase{"nan_root", 2, {NAN, 1, 2}, {1, 2}},
        // A NaN pushed under a number walks up to the root; the next pop
        // evicts it although it arrived later than the 0.
        HeapCase{"nan_walks_to_root", 3, {0, NAN, 1, 5}, {0, 3, 2}},
        // Among NaNs too the earlier rows stay: the newcomer leaves.
        HeapCase{"nan_ties", 2, {NAN, NAN, NAN}, {1, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

// Piece heaps sorted best first, merged by key, then storage position
// (piece * piece_rows + position in the piece), cut at the count.
TEST(TopKHeap, MergeTakesPiecesByKeyThenPosition) {
  std::vector<ScoredResult> room_a(4);
  std::vector<ScoredResult> room_b(4);
  TopKHeap a(room_a, 3);
  TopKHeap b(room_b, 3);
  for (const ScoredResult x : {ScoredResult{0, 1, 0}, ScoredResult{1, 6, 1}, ScoredResult{2, 4, 2}}) a.offer(x);
  for (const ScoredResult x : {ScoredResult{3, 6, 0}, ScoredResult{4, 4, 1}, ScoredResult{5, 7, 2}}) b.offer(x);
  a.sort_best_first();
  b.sort_best_first();
  ASSERT_EQ(ids_of(a.entries()), (std::vector<uint64_t>{1, 2, 0}));
  std::vector<ScoredResult> got;
  size_t at[2];
  const TopKHeap* heaps[] = {&a, &b};
  merge_pieces(2, [&](size_t p) { return std::span<const ScoredResult>(heaps[p]->entries()); }, 4, at, 5,
               [&](const ScoredResult& x, uint64_t) { got.push_back(x); });
  EXPECT_EQ(ids_of(got), (std::vector<uint64_t>{5, 1, 3, 2, 4}));
}

// ---------------------------------------------------------------- final sort

TEST(SortResults, DescendingThenByPosition) {
  std::vector<ScoredResult> v = {{9, 1, 5}, {3, 2, 4}, {7, 1, 3}, {1, 2, 2}, {5, 0, 1}, {2, 1, 0}};
  sort_results(v);
  EXPECT_EQ(ids_of(v), (std::vector<uint64_t>{1, 3, 2, 7, 9, 5}));
}

TEST(SortResults, NaNKeepsEveryEntry) {
  std::mt19937 rng(3);
  for (const size_t n : {2, 3, 17, 100}) {
    std::vector<ScoredResult> v;
    for (uint64_t i = 0; i < n; ++i) v.push_back({i, rng() % 4 == 0 ? kNaN : static_cast<float>(rng() % 10)});
    sort_results(v);
    std::vector<uint64_t> ids = ids_of(v);
    std::sort(ids.begin(), ids.end());
    std::vector<uint64_t> all(n);
    std::iota(all.begin(), all.end(), 0);
    EXPECT_EQ(ids, all);
  }
}

// ---------------------------------------------------------------- whole search

SearchOptions split_into(size_t budget) {
  SearchOptions options;
  options.piece_rows = 16 * budget;
  options.max_threads = budget;
  return options;
}

struct SplitCase {
  uint64_t dim;
  uint8_t bits;
  size_t rows;
  uint64_t k;
};

class SearchSplitInvariance : public testing::TestWithParam<SplitCase> {};

// Distinct scores: the same ids and score bits whatever the split, and equal
// to the reference top k.
TEST_P(SearchSplitInvariance, SameResultsForAnyWorkerCount) {
  const SplitCase c = GetParam();
  const Storage storage = random_storage(c.dim, c.bits, c.rows, 31);
  const auto signs = make_sign_vector(c.dim, 8);
  const std::vector<float> query = gaussian(c.dim, 4);
  const std::vector<float> scores = reference_scores(storage, *signs, query);
  std::vector<ScoredResult> want;
  for (size_t i = 0; i < scores.size(); ++i) want.push_back({i, scores[i]});
  std::stable_sort(want.begin(), want.end(), [](auto& a, auto& b) { return a.score > b.score; });
  const size_t b = static_cast<size_t>(std::min<uint64_t>(c.k, c.rows));
  // The premise: no tie inside the top k or at its edge.
  for (size_t i = 0; i + 1 < std::min(b + 1, want.size()); ++i) ASSERT_GT(want[i].score, want[i + 1].score);
  want.resize(b);
  for (const size_t budget : {1, 2, 3, 8}) {
    SearchStats stats;
    SearchOptions options = split_into(budget);
    options.stats = &stats;
    const auto found = search(storage, *signs, c.bits, query, c.k, options);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(stats.pieces, (c.rows + 16 * budget - 1) / (16 * budget)) << budget;
    ASSERT_EQ(found->size(), b);
    for (size_t i = 0; i < b; ++i) {
      EXPECT_EQ((*found)[i].id, want[i].id) << "budget " << budget << " rank " << i;
      EXPECT_EQ(bits_of((*found)[i].score), bits_of(want[i].score)) << "budget " << budget << " rank " << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, SearchSplitInvariance,
                         testing::Values(SplitCase{128, 4, 597, 10}, SplitCase{8, 3, 2 * kChunkRows + 100, 25},
                                         SplitCase{32, 5, 200, 1}, SplitCase{16, 2, 131, 40},
                                         SplitCase{64, 4, 33, 1000}),
                         [](const auto& info) {
                           const SplitCase& c = info.param;
                           return "dim" + std::to_string(c.dim) + "_bits" + std::to_string(c.bits) + "_rows" +
                                  std::to_string(c.rows) + "_k" + std::to_string(c.k);
                         });

// A NaN query makes every score NaN; the count is still min(k, len).
TEST(Search, NaNQueryReturnsMinKLenNaNs) {
  const size_t rows = 300;
  const Storage storage = random_storage(32, 3, rows, 12);
  const auto signs = make_sign_vector(32, 12);
  std::vector<float> query = gaussian(32, 12);
  query[5] = kNaN;
  for (const uint64_t k : {uint64_t{1}, uint64_t{7}, uint64_t{rows}, uint64_t{rows + 10}}) {
    for (const size_t budget : {1, 3}) {
      const auto found = search(storage, *signs, 3, query, k, split_into(budget));
      ASSERT_TRUE(found.has_value());
      EXPECT_EQ(found->size(), std::min<uint64_t>(k, rows));
      for (const ScoredResult& r : *found) EXPECT_TRUE(std::isnan(r.score));
    }
  }
}

// Rows with NaN or infinite norms among ordinary ones: the right count,
// every id at most once.
TEST(Search, NonFiniteNormsKeepTheCount) {
  const size_t rows = 500;
  const Storage storage = random_storage(64, 4, rows, 13, {.special_norms = true});
  const auto signs = make_sign_vector(64, 13);
  const std::vector<float> query = gaussian(64, 13);
  for (const uint64_t k : {uint64_t{1}, uint64_t{10}, uint64_t{499}, uint64_t{1000}}) {
    for (const size_t budget : {1, 2, 8}) {
      const auto found = search(storage, *signs, 4, query, k, split_into(budget));
      ASSERT_TRUE(found.has_value());
      EXPECT_EQ(found->size(), std::min<uint64_t>(k, rows));
      std::vector<uint64_t> ids = ids_of(*found);
      std::sort(ids.begin(), ids.end());
      EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end()), ids.end());
    }
  }
}

TEST(Search, DuplicateIdsAreSeparateCandidates) {
  Storage storage(8, 0, 2, false);
  const std::vector<uint8_t> codes = {0xFF, 0xFF};
  for (int i = 0; i < 3; ++i) storage.push(7, 0x3F80, codes, std::nullopt);
  const auto signs = make_sign_vector(8, 0);
  const auto found = search(storage, *signs, 2, gaussian(8, 3), 5);
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(ids_of(*found), (std::vector<uint64_t>{7, 7, 7}));
}

}  // namespace
}  // namespace lodex
