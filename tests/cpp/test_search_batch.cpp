// The batch search core: every row of a batch equals the single search of its
// query on every path and level, the fast path equals the exact one and the
// scalar reference (ties included), results do not depend on the number of
// threads, NaN scores rank below every number, and row masks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "quant/encode.hpp"
#include "rotation/hadamard.hpp"
#include "scan_fixtures.hpp"
#include "search/search.hpp"
#include "search/top_k.hpp"

namespace lodex {
namespace {

using testing_support::bits_of;
using testing_support::gaussian;
using testing_support::reference_scores;
using testing_support::search;
using testing_support::search_batch;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

enum class Data { kGaussian, kClustered, kDuplicates };

const char* data_name(Data d) {
  switch (d) {
    case Data::kGaussian:
      return "gaussian";
    case Data::kClustered:
      return "clustered";
    case Data::kDuplicates:
      return "duplicates";
  }
  return "?";
}

// `rows` float vectors: Gaussian; eight tight clusters; or 20 distinct rows
// repeated (exact ties everywhere).
std::vector<float> make_rows(Data kind, size_t rows, uint64_t dim, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> g;
  std::vector<float> out(rows * dim);
  std::vector<float> centers(8 * dim);
  for (float& c : centers) c = g(rng);
  for (size_t i = 0; i < rows; ++i) {
    for (uint64_t j = 0; j < dim; ++j) {
      float& x = out[i * dim + j];
      switch (kind) {
        case Data::kGaussian:
          x = g(rng);
          break;
        case Data::kClustered:
          x = centers[(i % 8) * dim + j] + 0.05f * g(rng);
          break;
        case Data::kDuplicates:
          x = out.empty() ? 0.0f : (i < 20 ? g(rng) : out[(i % 20) * dim + j]);
          break;
      }
    }
  }
  return out;
}

Storage encode_rows(const std::vector<float>& rows, uint64_t dim, uint8_t bits, std::span<const float> signs) {
  Storage storage(dim, 1, bits, false);
  auto encoder = RowEncoder::create(dim, signs, bits);
  EXPECT_TRUE(encoder.has_value());
  std::vector<uint8_t> codes(encoder->code_bytes());
  const size_t n = rows.size() / dim;
  for (size_t i = 0; i < n; ++i) {
    const uint16_t norm = encoder->encode(rows.data() + i * dim, codes.data());
    storage.push(i, norm, codes, std::nullopt);
  }
  return storage;
}

void expect_row_equals(const BatchResults& batch, size_t row, const std::vector<ScoredResult>& single,
                       const std::string& context) {
  ASSERT_EQ(batch.per_query, single.size()) << context;
  for (size_t i = 0; i < single.size(); ++i) {
    ASSERT_EQ(batch.ids[row * batch.per_query + i], single[i].id) << context << " rank " << i;
    ASSERT_EQ(bits_of(batch.scores[row * batch.per_query + i]), bits_of(single[i].score)) << context << " rank " << i;
  }
}

void expect_same(const BatchResults& a, const BatchResults& b, const std::string& context) {
  ASSERT_EQ(a.queries, b.queries) << context;
  ASSERT_EQ(a.per_query, b.per_query) << context;
  ASSERT_EQ(a.ids, b.ids) << context;
  for (size_t i = 0; i < a.scores.size(); ++i) ASSERT_EQ(bits_of(a.scores[i]), bits_of(b.scores[i])) << context << i;
}

class BatchSearch : public testing::TestWithParam<std::tuple<Data, int, uint64_t>> {};

// On every path and supported level, with small and default pieces: the
// batch equals the scalar exact batch, and row i equals search(query i).
TEST_P(BatchSearch, EveryPathAndLevelMatchesTheScalarReference) {
  const auto [data, bits_param, dim] = GetParam();
  const uint8_t bits = static_cast<uint8_t>(bits_param);
  const auto signs = make_sign_vector(dim, 4);
  const size_t rows = dim >= 1024 ? 700 : 2500;
  const Storage storage = encode_rows(make_rows(data, rows, dim, 11), dim, bits, *signs);
  const size_t n = 11;
  std::vector<float> queries;
  for (size_t q = 0; q < n; ++q) {
    std::vector<float> v = gaussian(dim, 100 + q);
    // Queries near stored rows make close races at the top.
    if (q % 3 == 1) {
      const auto rows_f = make_rows(data, 1, dim, 11);
      for (uint64_t j = 0; j < dim; ++j) v[j] = rows_f[j] + 0.01f * v[j];
    }
    if (q == 5) v[0] = kNaN;
    if (q == 7) std::fill(v.begin(), v.end(), 0.0f);
    queries.insert(queries.end(), v.begin(), v.end());
  }
  for (const uint64_t k : {uint64_t{1}, uint64_t{10}, uint64_t{97}, uint64_t{rows + 3}}) {
    for (const size_t piece_rows : {size_t{0}, size_t{160}}) {
      SearchOptions reference_options;
      reference_options.level = SimdLevel::kScalar;
      reference_options.path = ScanPath::kExact;
      reference_options.piece_rows = piece_rows;
      const auto reference = search_batch(storage, *signs, bits, queries, n, dim, k, reference_options);
      ASSERT_TRUE(reference.has_value());
      for (const SimdLevel level : kAllSimdLevels) {
        if (!simd_level_supported(level)) continue;
        for (const ScanPath path : {ScanPath::kExact, ScanPath::kAuto, ScanPath::kFast}) {
          // A level that runs a lower level's kernels would repeat its results.
          if (testing_support::repeats_lower_level(level, path == ScanPath::kExact)) continue;
          const std::string context = std::string(data_name(data)) + " k " + std::to_string(k) + " pieces " +
                                      std::to_string(piece_rows) + " " + simd_level_name(level) + " path " +
                                      std::to_string(static_cast<int>(path));
          SearchOptions options = reference_options;
          options.level = level;
          options.path = path;
          SearchStats stats;
          options.stats = &stats;
          const auto batch = search_batch(storage, *signs, bits, queries, n, dim, k, options);
          ASSERT_TRUE(batch.has_value());
          expect_same(*reference, *batch, context);
          if (path == ScanPath::kFast && data == Data::kGaussian && k <= 10 && piece_rows == 0 && dim >= 32) {
            EXPECT_GT(stats.blocks_skipped, 0u) << context << ": the first pass skipped nothing";
          }
          // Alone, a query takes its own pass (over windows of several runs
          // once its heap fills); its row never depends on the batch.
          const bool reference_path = path == ScanPath::kExact && level == SimdLevel::kScalar;
          for (size_t q = 0; q < n; ++q) {
            if (!reference_path && q % 3 != 1) continue;
            const auto single = search(storage, *signs, bits, std::span(queries).subspan(q * dim, dim), k, options);
            ASSERT_TRUE(single.has_value());
            expect_row_equals(*batch, q, *single, context + " query " + std::to_string(q));
          }
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, BatchSearch,
                         testing::Combine(testing::Values(Data::kGaussian, Data::kClustered, Data::kDuplicates),
                                          testing::Values(2, 3, 4, 5), testing::Values<uint64_t>(1, 32, 128, 1024)),
                         [](const auto& info) {
                           return std::string(data_name(std::get<0>(info.param))) + "_bits" +
                                  std::to_string(std::get<1>(info.param)) + "_dim" +
                                  std::to_string(std::get<2>(info.param));
                         });

// A single query's row never depends on the rest of the batch.
TEST(BatchSearch, RowDoesNotDependOnTheOtherQueries) {
  const uint64_t dim = 64;
  const auto signs = make_sign_vector(dim, 2);
  const Storage storage = encode_rows(make_rows(Data::kGaussian, 3000, dim, 3), dim, 4, *signs);
  std::vector<float> queries;
  for (size_t q = 0; q < 19; ++q) {
    const std::vector<float> v = gaussian(dim, q);
    queries.insert(queries.end(), v.begin(), v.end());
  }
  const auto all = search_batch(storage, *signs, 4, queries, 19, dim, 10);
  ASSERT_TRUE(all.has_value());
  for (const size_t first : {0, 7, 18}) {
    const auto part = search_batch(storage, *signs, 4, std::span(queries).subspan(first * dim), 19 - first, dim, 10);
    ASSERT_TRUE(part.has_value());
    for (size_t i = 0; i < part->ids.size(); ++i) {
      ASSERT_EQ(part->ids[i], all->ids[first * 10 + i]);
      ASSERT_EQ(bits_of(part->scores[i]), bits_of(all->scores[first * 10 + i]));
    }
  }
}

TEST(BatchSearch, ShapesAndTheLengthCheck) {
  const uint64_t dim = 8;
  const auto signs = make_sign_vector(dim, 2);
  const Storage storage = encode_rows(make_rows(Data::kGaussian, 30, dim, 3), dim, 3, *signs);
  const std::vector<float> queries(3 * dim, 1.0f);
  // The width is checked first, even with no queries or k = 0.
  for (const auto& [n, k] : {std::pair<size_t, uint64_t>{0, 5}, {2, 0}, {2, 5}}) {
    const auto r = search_batch(storage, *signs, 3, queries, n, dim + 1, k);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().text(), "dimension mismatch: query has 9, index has 8");
  }
  const auto none = search_batch(storage, *signs, 3, queries, 0, dim, 5);
  ASSERT_TRUE(none.has_value());
  EXPECT_EQ(none->queries, 0u);
  EXPECT_EQ(none->per_query, 5u);
  EXPECT_TRUE(none->ids.empty());
  const auto zero_k = search_batch(storage, *signs, 3, queries, 3, dim, 0);
  ASSERT_TRUE(zero_k.has_value());
  EXPECT_EQ(zero_k->queries, 3u);
  EXPECT_EQ(zero_k->per_query, 0u);
  const auto huge_k = search_batch(storage, *signs, 3, queries, 3, dim, std::numeric_limits<uint64_t>::max());
  ASSERT_TRUE(huge_k.has_value());
  EXPECT_EQ(huge_k->per_query, 30u);
  EXPECT_EQ(huge_k->ids.size(), 90u);
  const Storage empty(dim, 1, 3, false);
  const auto from_empty = search_batch(empty, *signs, 3, queries, 3, dim, 4);
  ASSERT_TRUE(from_empty.has_value());
  EXPECT_EQ(from_empty->per_query, 0u);
}

// ---------------------------------------------------------------- fixed split

// 100,000 identical rows: which tied rows come back, and in which order,
// follows the fixed pieces only, never the number of threads.
TEST(FixedSplit, TiedRowsDoNotDependOnTheThreadCount) {
  const uint64_t dim = 8;
  Storage storage(dim, 1, 2, false);
  const std::vector<uint8_t> codes = {0x1B, 0xE4};
  for (size_t i = 0; i < 100000; ++i) storage.push(i, 0x3F80, codes, std::nullopt);
  const auto signs = make_sign_vector(dim, 1);
  const std::vector<float> query = gaussian(dim, 1);
  for (const ScanPath path : {ScanPath::kExact, ScanPath::kFast}) {
    std::vector<std::vector<ScoredResult>> runs;
    for (const size_t threads : {1, 2, 0}) {
      SearchOptions options;
      options.path = path;
      options.max_threads = threads;
      const auto found = search(storage, *signs, 2, query, 5, options);
      ASSERT_TRUE(found.has_value());
      ASSERT_EQ(found->size(), 5u);
      runs.push_back(*found);
    }
    for (size_t r = 1; r < runs.size(); ++r) {
      for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(runs[r][i].id, runs[0][i].id) << "run " << r << " rank " << i;
        EXPECT_EQ(bits_of(runs[r][i].score), bits_of(runs[0][i].score));
      }
    }
  }
}

// ---------------------------------------------------------------- NaN ranking

// Rows [1, 0, ...], [NaN, 0, ...], [-1, 0, ...] searched with the first: the
// NaN row scores NaN and ranks below the -1 row.
TEST(NaNRanking, NaNRowsComeAfterEveryNumber) {
  const uint64_t dim = 32;
  const auto signs = make_sign_vector(dim, 9);
  std::vector<float> rows(3 * dim, 0.0f);
  rows[0] = 1.0f;
  rows[dim] = kNaN;
  rows[2 * dim] = -1.0f;
  const Storage storage = encode_rows(rows, dim, 4, *signs);
  const std::vector<float> query(rows.begin(), rows.begin() + dim);
  for (const ScanPath path : {ScanPath::kExact, ScanPath::kFast}) {
    SearchOptions options;
    options.path = path;
    const auto one = search(storage, *signs, 4, query, 1, options);
    ASSERT_TRUE(one.has_value());
    ASSERT_EQ(one->size(), 1u);
    EXPECT_EQ((*one)[0].id, 0u);
    const auto all = search(storage, *signs, 4, query, 3, options);
    ASSERT_TRUE(all.has_value());
    ASSERT_EQ(all->size(), 3u);
    EXPECT_EQ((*all)[0].id, 0u);
    EXPECT_EQ((*all)[1].id, 2u);
    EXPECT_EQ((*all)[2].id, 1u);
    EXPECT_TRUE(std::isnan((*all)[2].score));
  }
}

// One row in a hundred has a NaN norm: the best k are the best numeric rows,
// and NaN rows appear only once the numbers run out.
TEST(NaNRanking, TopKAmongNaNRowsIsTheNumericTopK) {
  const uint64_t dim = 64;
  const auto signs = make_sign_vector(dim, 3);
  std::vector<float> rows = make_rows(Data::kGaussian, 5000, dim, 8);
  for (size_t i = 0; i < 5000; i += 100) rows[i * dim + 3] = kNaN;
  const Storage storage = encode_rows(rows, dim, 3, *signs);
  const std::vector<float> query = gaussian(dim, 77);
  const std::vector<float> scores = reference_scores(storage, *signs, query);
  std::vector<size_t> numeric;
  for (size_t i = 0; i < scores.size(); ++i) {
    if (!std::isnan(scores[i])) numeric.push_back(i);
  }
  std::stable_sort(numeric.begin(), numeric.end(), [&](size_t a, size_t b) { return scores[a] > scores[b]; });
  for (const ScanPath path : {ScanPath::kExact, ScanPath::kFast}) {
    SearchOptions options;
    options.path = path;
    options.piece_rows = 512;
    const auto top = search(storage, *signs, 3, query, 10, options);
    ASSERT_TRUE(top.has_value());
    for (size_t i = 0; i < 10; ++i) EXPECT_EQ((*top)[i].id, numeric[i]) << i;
    const auto all = search(storage, *signs, 3, query, 5000, options);
    ASSERT_TRUE(all.has_value());
    for (size_t i = 0; i < 5000; ++i) EXPECT_EQ(std::isnan((*all)[i].score), i >= numeric.size()) << i;
  }
}

// ---------------------------------------------------------------- row masks

// Searching under a mask equals searching a store holding only those rows
// (distinct scores: the order of the rows is the same in both). Density -1
// keeps the first 1152 rows: a lone query's pass window then ends in runs
// with no live row, after one whose survivors it held.
TEST(RowMask, EqualsSearchingTheSelectedRows) {
  const uint64_t dim = 128;
  const auto signs = make_sign_vector(dim, 6);
  const Storage storage = encode_rows(make_rows(Data::kGaussian, 20000, dim, 2), dim, 4, *signs);
  std::mt19937_64 rng(4);
  for (const int density : {1, 50, 100, -1}) {
    std::vector<uint64_t> mask((storage.len() + 63) / 64, 0);
    std::vector<size_t> kept;
    for (size_t i = 0; i < storage.len(); ++i) {
      if (density < 0 ? i < 1152 : static_cast<int>(rng() % 100) < density) {
        mask[i / 64] |= uint64_t{1} << (i % 64);
        kept.push_back(i);
      }
    }
    const Storage subset = storage.select(kept);
    for (const uint64_t k : {uint64_t{1}, uint64_t{10}, uint64_t{kept.size() + 1}}) {
      const std::vector<float> query = gaussian(dim, k);
      for (const ScanPath path : {ScanPath::kExact, ScanPath::kFast}) {
        SearchOptions options;
        options.path = path;
        options.row_mask = mask.data();
        const auto masked = search(storage, *signs, 4, query, k, options);
        options.row_mask = nullptr;
        const auto direct = search(subset, *signs, 4, query, k, options);
        ASSERT_TRUE(masked.has_value() && direct.has_value());
        ASSERT_EQ(masked->size(), std::min<uint64_t>(k, kept.size()));
        ASSERT_EQ(masked->size(), direct->size());
        for (size_t i = 0; i < masked->size(); ++i) {
          EXPECT_EQ((*masked)[i].id, (*direct)[i].id) << "density " << density << " rank " << i;
          EXPECT_EQ(bits_of((*masked)[i].score), bits_of((*direct)[i].score));
        }
      }
    }
  }
}

}  // namespace
}  // namespace lodex
