// Whole indexes of every metric, rotation and centring, searched on every
// kernel level and path the machine has: the same ids and score bits as the
// scalar exact scan, top-k a prefix of the full ranking, and a range search
// exactly the full ranking cut at its threshold.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "kernels/cpu.hpp"
#include "index.hpp"
#include "scan_fixtures.hpp"

namespace lodex {
namespace {

using testing_support::bits_of;

struct Case {
  Metric metric;
  RotationKind rotation;
  uint64_t dim;
  uint8_t bits;
  bool centred;
};

std::string case_name(const testing::TestParamInfo<Case>& info) {
  const Case& c = info.param;
  const char* metrics[] = {"ip", "cosine", "l2"};
  return std::string(metrics[static_cast<int>(c.metric)]) +
         (c.rotation == RotationKind::kGeneral ? "_general" : "_hadamard") + std::to_string(c.dim) + "_bits" +
         std::to_string(c.bits) + (c.centred ? "_centred" : "");
}

class MetricIndex : public testing::TestWithParam<Case> {};

TEST_P(MetricIndex, EveryLevelAndPathRanksAsTheScalarExactScan) {
  const Case c = GetParam();
  const uint64_t dim = c.dim;
  const size_t rows = 4000, n = 6;
  // Off-centre Gaussian rows, a zero row and a duplicate (a tie).
  std::mt19937 rng(static_cast<uint32_t>(dim * 7 + c.bits));
  std::normal_distribution<float> g;
  std::vector<float> data(rows * dim);
  for (size_t i = 0; i < data.size(); ++i) data[i] = g(rng) + (i % dim % 3 == 0 ? 1.5f : 0.0f);
  std::fill_n(data.begin() + 5 * dim, dim, 0.0f);
  std::copy_n(data.begin(), dim, data.begin() + 6 * dim);
  IndexParams params{dim, c.bits, false, 9, c.metric, c.rotation, {}};
  if (c.centred) {
    // A cosine index is centred on its unit rows: a longer centre is refused.
    params.center.assign(dim, 0.0f);
    for (size_t i = 0; i < rows; ++i) {
      float norm = 0.0f;
      for (uint64_t j = 0; j < dim && c.metric == Metric::kCosine; ++j) norm += data[i * dim + j] * data[i * dim + j];
      const float scale = norm > 0.0f ? std::sqrt(norm) : 1.0f;
      for (uint64_t j = 0; j < dim; ++j) params.center[j] += data[i * dim + j] / scale / static_cast<float>(rows);
    }
  }
  auto index = Index::create(params);
  ASSERT_TRUE(index.has_value());
  std::vector<uint64_t> ids(rows);
  for (size_t i = 0; i < rows; ++i) ids[i] = 1000 + i;
  ASSERT_TRUE((*index)->add(ids, data.data(), rows).has_value());
  // Queries: off-centre ones, a zero one, one near row 3.
  std::vector<float> queries(n * dim);
  for (size_t i = 0; i < queries.size(); ++i) queries[i] = g(rng) + (i % dim % 3 == 0 ? 1.5f : 0.0f);
  std::fill_n(queries.begin() + dim, dim, 0.0f);
  for (uint64_t j = 0; j < dim; ++j) queries[2 * dim + j] = data[3 * dim + j] + 0.01f * queries[2 * dim + j];

  IndexSearchOptions reference;
  reference.scan.level = SimdLevel::kScalar;
  reference.scan.path = ScanPath::kExact;
  const auto full = (*index)->search(queries, n, dim, rows, reference);
  ASSERT_TRUE(full.has_value());
  ASSERT_EQ(full->per_query, rows);
  const auto top10 = (*index)->search(queries, n, dim, 10, reference);
  ASSERT_TRUE(top10.has_value());
  const bool ascending = c.metric == Metric::kL2;
  for (size_t q = 0; q < n; ++q) {
    for (size_t i = 0; i + 1 < rows; ++i) {
      const float a = full->scores[q * rows + i], b = full->scores[q * rows + i + 1];
      ASSERT_TRUE(std::isnan(b) || (ascending ? a <= b : a >= b)) << "query " << q << " position " << i;
    }
  }
  // The zero query (and the zero row) poison nothing; uncentred, the zero
  // query scores every row 0 by inner product and cosine.
  for (size_t i = 0; i < n * rows; ++i) ASSERT_FALSE(std::isnan(full->scores[i])) << i;
  for (size_t i = rows; i < 2 * rows && !c.centred && !ascending; ++i) ASSERT_EQ(full->scores[i], 0.0f);
  // Thresholds keeping about ten rows of query 0, and about one of query 2.
  const float thresholds[] = {full->scores[9], full->scores[2 * rows]};

  for (const SimdLevel level : supported_simd_levels()) {
    for (const ScanPath path : {ScanPath::kExact, ScanPath::kAuto, ScanPath::kFast}) {
      const std::string context = std::string(simd_level_name(level)) + " path " + std::to_string(int(path));
      IndexSearchOptions options;
      options.scan.level = level;
      options.scan.path = path;
      SearchStats stats;
      options.scan.stats = &stats;
      // Top-k is a prefix of the full ranking: of rows tied at the cut,
      // the earlier ones are kept.
      for (const BatchResults* expected : {&*top10, &*full}) {
        const size_t k = expected->per_query;
        const auto top = (*index)->search(queries, n, dim, k, options);
        ASSERT_TRUE(top.has_value()) << context;
        ASSERT_EQ(top->ids, expected->ids) << context << " k " << k;
        for (size_t i = 0; i < n * k; ++i) ASSERT_EQ(bits_of(top->scores[i]), bits_of(expected->scores[i])) << context;
        if (path == ScanPath::kFast && k == 10) {
          EXPECT_GT(stats.blocks_skipped, 0u) << context << ": the first pass skipped nothing";
        }
      }
      for (const float theta : thresholds) {
        const auto range = (*index)->search_range(queries, n, dim, theta, options);
        ASSERT_TRUE(range.has_value()) << context;
        ASSERT_EQ(range->lims.size(), n + 1);
        for (size_t q = 0; q < n; ++q) {
          // The ranking's rows that pass, best first, equal scores by id
          // (ids grow in storage order).
          std::vector<std::pair<float, uint64_t>> expected;
          for (size_t i = q * rows; i < (q + 1) * rows; ++i) {
            const float s = full->scores[i];
            if (ascending ? s <= theta : s >= theta) expected.emplace_back(s, full->ids[i]);
          }
          std::sort(expected.begin(), expected.end(), [&](const auto& x, const auto& y) {
            return x.first != y.first ? (ascending ? x.first < y.first : x.first > y.first) : x.second < y.second;
          });
          ASSERT_EQ(range->lims[q + 1] - range->lims[q], expected.size()) << context << " query " << q;
          for (size_t i = 0; i < expected.size(); ++i) {
            ASSERT_EQ(range->ids[range->lims[q] + i], expected[i].second) << context << " query " << q;
            ASSERT_EQ(bits_of(range->keys[range->lims[q] + i]), bits_of(expected[i].first)) << context;
          }
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, MetricIndex,
                         testing::Values(Case{Metric::kIp, RotationKind::kHadamard, 64, 4, true},
                                         Case{Metric::kCosine, RotationKind::kHadamard, 64, 2, false},
                                         Case{Metric::kCosine, RotationKind::kGeneral, 100, 3, true},
                                         Case{Metric::kL2, RotationKind::kHadamard, 128, 5, false},
                                         Case{Metric::kL2, RotationKind::kGeneral, 3, 4, true},
                                         Case{Metric::kIp, RotationKind::kGeneral, 784, 4, false},
                                         Case{Metric::kCosine, RotationKind::kGeneral, 1000, 5, false},
                                         Case{Metric::kL2, RotationKind::kGeneral, 1, 2, false}),
                         case_name);

}  // namespace
}  // namespace lodex
