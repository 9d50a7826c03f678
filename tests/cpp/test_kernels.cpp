// Every kernel level against the scalar reference, one test instance per
// level (a level the machine lacks shows as skipped): the exact scan score
// for score, the first pass's integer sums and survivor masks, its bound at
// each row's own score, and whole searches on the forced first pass.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "quant/codebook.hpp"
#include "kernels/cpu.hpp"
#include "search/first_pass.hpp"
#include "kernels/scan.hpp"
#include "search/metric.hpp"
#include "rotation/hadamard.hpp"
#include "scan_fixtures.hpp"
#include "search/reference_score.hpp"
#include "search/search.hpp"

namespace lodex {
namespace {

using testing_support::bits_of;
using testing_support::gaussian;
using testing_support::random_storage;
using testing_support::reference_scores;
using testing_support::search;

constexpr float kInf = std::numeric_limits<float>::infinity();

std::string level_name(const testing::TestParamInfo<SimdLevel>& info) { return simd_level_name(info.param); }

class LevelTest : public testing::TestWithParam<SimdLevel> {
 protected:
  void SetUp() override {
    if (!simd_level_supported(GetParam())) {
      GTEST_SKIP() << "this CPU lacks " << simd_level_name(GetParam());
    }
  }
  SimdLevel level() const { return GetParam(); }
};

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
      q[0] = kInf;
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
                                  SimdLevel level, size_t piece_rows) {
  SearchOptions options;
  options.level = level;
  options.path = ScanPath::kExact;
  options.piece_rows = piece_rows;
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

// ---------------------------------------------------------------- exact scan

class ExactKernel : public LevelTest {
 protected:
  void SetUp() override {
    LevelTest::SetUp();
    if (!IsSkipped() && testing_support::repeats_lower_level(level(), true)) {
      GTEST_SKIP() << simd_level_name(level()) << " runs the exact kernels of a lower level";
    }
  }
};

// Dims 1 .. 4096, every width, row counts that leave partial blocks and runs,
// special values in the norms and the query.
TEST_P(ExactKernel, MatchesReferenceScoreForScore) {
  for (const int b : {2, 3, 4, 5}) {
    const uint8_t bits = static_cast<uint8_t>(b);
    for (const uint64_t dim : {1, 2, 4, 8, 16, 32, 128, 1024, 4096}) {
      const auto signs = make_sign_vector(dim, 3);
      const std::vector<size_t> row_counts =
          dim >= 1024 ? std::vector<size_t>{1, 17, 101} : std::vector<size_t>{1, 15, 16, 17, 101, 1023};
      for (const size_t rows : row_counts) {
        const Storage storage = random_storage(dim, bits, rows, 100 + rows, {.special_norms = true});
        for (const QueryKind kind :
             {QueryKind::kGaussian, QueryKind::kNaN, QueryKind::kInfinity, QueryKind::kSubnormal, QueryKind::kZero}) {
          SCOPED_TRACE("bits " + std::to_string(b) + " dim " + std::to_string(dim) + " rows " + std::to_string(rows) +
                       " query kind " + std::to_string(static_cast<int>(kind)));
          const std::vector<float> query = make_query(kind, dim, 7);
          expect_same_bits(reference_scores(storage, *signs, query), scanned_scores(storage, *signs, query, level(), 0));
        }
      }
    }
  }
}

// Rows on both sides of a chunk boundary, as one piece and as pieces that
// start and end inside chunks.
TEST_P(ExactKernel, AcrossChunksAndPieces) {
  for (const int b : {2, 3, 4, 5}) {
    const uint8_t bits = static_cast<uint8_t>(b);
    const auto signs = make_sign_vector(128, 5);
    const Storage storage = random_storage(128, bits, kChunkRows + 3, 77, {.special_norms = true});
    const std::vector<float> query = gaussian(128, 9);
    const std::vector<float> expected = reference_scores(storage, *signs, query);
    for (const size_t piece_rows : {0, 4000, 48}) {
      SCOPED_TRACE("bits " + std::to_string(b) + " piece rows " + std::to_string(piece_rows));
      expect_same_bits(expected, scanned_scores(storage, *signs, query, level(), piece_rows));
    }
  }
}

// Mixed blocks, each lane any row of a run for any query of a group: every
// used lane's score is the one the level's exact kernel gives that row
// against its query's lane table, special values (a NaN, an infinity,
// subnormals, zeros in the queries; special norms) and partial blocks
// included.
TEST_P(ExactKernel, MixedBlocksMatchEachQuerysLaneTable) {
  std::mt19937_64 rng(static_cast<uint64_t>(level()) + 5);
  for (const int b : {2, 3, 4, 5}) {
    const uint8_t bits = static_cast<uint8_t>(b);
    const ScanMixedFn mixed = scan_mixed_kernel(level(), bits);
    if (mixed == nullptr) continue;
    const size_t stride = scan_table_stride(bits);
    const auto cb = *centroids(bits);
    alignas(kScanTableAlign) float replicated[32];
    for (size_t c = 0; c < stride; ++c) replicated[c] = cb[c % cb.size()];
    for (const uint64_t dim : {1, 7, 32, 33, 100, 800}) {
      const size_t run_rows = 5 * kBlockRows;
      const Storage storage = random_storage(dim, bits, run_rows, dim + bits, {.special_norms = true});
      const size_t block_words = storage.words_per_row() * kBlockRows;
      std::vector<float> transposed(dim * kMaxPassQueries);
      // Each query's lane table, kScanTableAlign-aligned inside its buffer.
      std::vector<std::vector<float>> buffers(kMaxPassQueries, std::vector<float>(dim * stride + 16));
      float* lanes[kMaxPassQueries];
      for (size_t q = 0; q < kMaxPassQueries; ++q) {
        lanes[q] = buffers[q].data() + (64 - reinterpret_cast<uintptr_t>(buffers[q].data()) % 64) % 64 / sizeof(float);
        const std::vector<float> r = make_query(static_cast<QueryKind>(q % 5), dim, q);
        for (uint64_t j = 0; j < dim; ++j) {
          transposed[j * kMaxPassQueries + q] = r[j];
          for (size_t c = 0; c < stride; ++c) lanes[q][j * stride + c] = replicated[c] * r[j];
        }
      }
      const ScanArgs base{nullptr, dim, block_words, 1.0f / static_cast<float>(dim)};
      for (size_t count = 1; count <= kMixedBlocks; ++count) {
        SCOPED_TRACE("bits " + std::to_string(b) + " dim " + std::to_string(dim) + " blocks " + std::to_string(count));
        alignas(64) uint32_t queries[kMixedBlocks * kBlockRows];
        alignas(64) uint32_t offsets[kMixedBlocks * kBlockRows];
        size_t picked[kMixedBlocks * kBlockRows];
        uint16_t norms[kMixedBlocks * kBlockRows];
        size_t rows[kMixedBlocks];
        for (size_t i = 0; i < kMixedBlocks * kBlockRows; ++i) {
          queries[i] = static_cast<uint32_t>(rng() % kMaxPassQueries);
          picked[i] = rng() % run_rows;
          offsets[i] = static_cast<uint32_t>(picked[i] / kBlockRows * block_words + picked[i] % kBlockRows);
          norms[i] = storage.chunk_norms(0)[picked[i]];
        }
        for (size_t i = 0; i < count; ++i) rows[i] = 1 + rng() % kBlockRows;
        alignas(64) float got[kMixedBlocks * kBlockRows];
        const MixedArgs args{dim, base.scale, replicated, transposed.data()};
        mixed(args, storage.chunk_blocks(0), offsets, queries, norms, rows, count, got);
        std::vector<float> expected;
        std::vector<float> actual;
        for (size_t i = 0; i < count; ++i) {
          for (size_t lane = i * kBlockRows; lane < i * kBlockRows + rows[i]; ++lane) {
            alignas(64) float one[kBlockRows];
            ScanArgs exact = base;
            exact.table = lanes[queries[lane]];
            const size_t block = picked[lane] / kBlockRows;
            scan_kernels(level()).by_bits[bits - 2](exact, storage.chunk_blocks(0) + block * block_words,
                                                    storage.chunk_norms(0) + block * kBlockRows, kBlockRows, one);
            expected.push_back(one[picked[lane] % kBlockRows]);
            actual.push_back(got[lane]);
          }
        }
        expect_same_bits(expected, actual);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, ExactKernel, testing::ValuesIn(kAllSimdLevels), level_name);

// ---------------------------------------------------------------- first pass

class FirstPassKernel : public LevelTest {
 protected:
  // The level's passes for `bits`: its first pass and its batch pass.
  std::vector<PassKernel> kernels(uint8_t bits) const {
    std::vector<PassKernel> out;
    const ScanKernels& all = scan_kernels(level());
    for (const PassKernel& k : {all.first_pass[bits - 2], all.batch_pass[bits - 2]}) {
      if (k.fn != nullptr) out.push_back(k);
    }
    return out;
  }
};

struct AlignedBytes {
  std::vector<uint8_t> storage;
  uint8_t* data;
  explicit AlignedBytes(size_t n) : storage(n + 64) {
    data = storage.data() + (64 - reinterpret_cast<uintptr_t>(storage.data()) % 64) % 64;
  }
};

// A plan from a synthetic rotated query r: the lane table fl(centroid * r).
std::optional<PassPlan> plan_for(PassFormat format, const std::vector<float>& r, uint8_t bits, uint8_t* out) {
  const auto cb = *centroids(bits);
  const size_t stride = scan_table_stride(bits);
  std::vector<float> lanes(r.size() * stride);
  for (size_t j = 0; j < r.size(); ++j) {
    for (size_t c = 0; c < stride; ++c) lanes[j * stride + c] = cb[c % cb.size()] * r[j];
  }
  return build_pass_plan(format, lanes.data(), stride, r.data(), r.size(), bits, out);
}

// Plans built from synthetic queries (magnitudes spread over 2^-7 .. 1, so
// weights of every size; or all +-1, the largest weights everywhere), read
// with delta 1, offset 0 and norms equal to dim (so f = 1 exactly): the
// bound is the integer sum itself, and each query's threshold, set at one
// row's sum (or one off), reads the sums of all rows through the masks,
// against the format's model. Special norms are kept whatever their sum.
// Each case ranks by a key kind of its own (row terms, squared distances),
// the threshold then at one row's key: the kernels' key operations, against
// pass_keeps'.
// The extreme cases, up to the largest dim the pass takes, pair the largest
// weights with rows of extreme codes: the accumulators' worst case.
TEST_P(FirstPassKernel, SumsAndMasksMatchTheModel) {
  std::mt19937_64 rng(static_cast<uint64_t>(level()) + 17);
  struct Case {
    uint64_t dim;
    std::vector<size_t> rows;
    bool extreme;
  };
  const std::vector<Case> cases = {{32, {1, 2, 3, 7, 8, 9, 15, 16, 17, 31, 32, 33, 64, 65, 100}, false},
                                   {128, {1, 16, 17, 33, 100}, false},
                                   {128, {40}, true},
                                   {2048, {1, 17, 33}, false},
                                   {uint64_t{1} << 16, {17}, true}};
  for (const int b : {2, 3, 4, 5}) {
    const uint8_t bits = static_cast<uint8_t>(b);
    for (const PassKernel& k : kernels(bits)) {
      for (const Case& c : cases) {
        const uint64_t dim = c.dim;
        for (const size_t rows : c.rows) {
          // Half the cases take the one-query kernels, the others a random group.
          const size_t nq = (rows + static_cast<size_t>(b)) % 2 == 0 ? 1 : 1 + rng() % kMaxPassQueries;
          std::vector<AlignedBytes> tables;
          for (size_t q = 0; q < nq; ++q) {
            std::vector<float> r(dim);
            for (float& x : r) {
              const float sign = rng() % 2 != 0 ? 1.0f : -1.0f;
              x = c.extreme ? sign
                            : sign * std::ldexp(1.0f + static_cast<float>(rng() % 1000) / 1000.0f,
                                                -static_cast<int>(rng() % 8));
            }
            tables.emplace_back(pass_table_bytes(k.format, dim, bits));
            ASSERT_TRUE(plan_for(k.format, r, bits, tables[q].data).has_value());
          }
          const auto key = static_cast<KeyKind>(rng() % 3);
          Storage storage(dim, 0, bits, false, key == KeyKind::kRowTerm);
          std::vector<float> terms(rows);
          std::vector<std::vector<uint8_t>> codes(rows, std::vector<uint8_t>(dim));
          std::vector<uint8_t> packed(storage.code_bytes());
          const uint16_t plain = bf16_from_f32(static_cast<float>(dim));
          const uint16_t special[] = {0x7FC1, 0xFF80, 0x7F80, 0xBF80, 0x0000, 0x8000};
          std::vector<uint16_t> norms(rows);
          const unsigned top = (1u << bits) - 1;
          for (size_t r = 0; r < rows; ++r) {
            // Extreme cases: rows of all lowest, all highest or random codes.
            for (uint8_t& code : codes[r]) {
              code = static_cast<uint8_t>(c.extreme && r % 3 != 2 ? (r % 3 == 0 ? 0 : top) : rng() & top);
            }
            pack_codes(codes[r], bits, packed);
            norms[r] = r % 5 == 4 ? special[(r / 5) % std::size(special)] : plain;
            terms[r] = r % 7 == 6 ? std::bit_cast<float>(uint32_t{0x7FC00000}) : static_cast<float>(rng() % 2001) - 1000.0f;
            storage.push(r, norms[r], packed, std::nullopt, terms[r]);
          }
          auto row_value = [&](size_t r) { return key == KeyKind::kRowTerm ? terms[r] : bf16_to_f32(norms[r]); };
          std::vector<PassQuery> queries(nq);
          std::vector<std::vector<int32_t>> sums(nq, std::vector<int32_t>(rows));
          for (size_t q = 0; q < nq; ++q) {
            for (size_t r = 0; r < rows; ++r) {
              sums[q][r] = pass_sum(k.format, tables[q].data, codes[r].data(), dim, bits);
            }
            const size_t at = rng() % rows;
            const int32_t pivot = sums[q][at] + static_cast<int32_t>(rng() % 3) - 1;
            const float add = static_cast<float>(rng() % 200001) - 100000.0f;
            queries[q] = {tables[q].data, 1.0f, 0.0f, static_cast<float>(pivot), add};
            if (key == KeyKind::kRowTerm) queries[q].below = (static_cast<float>(pivot) + terms[at]) + add;
            if (key == KeyKind::kSquaredDistance) {
              const float n = row_value(at);
              queries[q].below = ((static_cast<float>(pivot) * 2.0f) - n * n) + add;
            }
          }
          const PassArgs args{dim,
                              storage.words_per_row() * kBlockRows,
                              1.0f / static_cast<float>(dim),
                              queries.data(),
                              nq,
                              is_rank1(k.format) ? rank1_levels(k.format, bits) : nullptr,
                              key,
                              storage.chunk_norms(0),
                              storage.chunk_terms(0)};
          std::vector<uint16_t> survivors(((rows + 15) / 16) * nq, 0xDEAD);
          k.fn(args, storage.chunk_blocks(0), storage.chunk_norms(0), rows, survivors.data());
          for (size_t q = 0; q < nq; ++q) {
            for (size_t r = 0; r < rows; ++r) {
              ASSERT_LT(std::abs(sums[q][r]), 1 << 24);
              const float f = bf16_to_f32(norms[r]) * args.scale;
              const bool keep = pass_keeps(queries[q], sums[q][r], f, key, row_value(r));
              const bool got = (survivors[(r / 16) * nq + q] >> (r % 16) & 1u) != 0;
              ASSERT_EQ(got, keep) << "bits " << b << " dim " << dim << " rows " << rows << " query " << q << " row "
                                   << r << " sum " << sums[q][r] << " below " << queries[q].below;
            }
            for (size_t r = rows; r % 16 != 0; ++r) {
              ASSERT_EQ(survivors[(r / 16) * nq + q] >> (r % 16) & 1u, 0u) << "bit past the last row";
            }
          }
        }
      }
    }
  }
}

// The bound, adversarially: a threshold at each row's own exact key, and at
// the float just below it, must keep the row (it ties or beats the root),
// for every kind of key: the score, with row terms (centred "ip", "cosine")
// and the squared distance ("l2"), each with a query constant.
// Norms include the float32 extremes, zeros of both signs and non-finite
// values, terms infinities and NaNs; queries are scaled towards both ends of
// the range.
TEST_P(FirstPassKernel, KeepsEveryRowAtItsOwnScore) {
  const uint64_t dim = 64;
  const auto signs = make_sign_vector(dim, 21);
  for (const int b : {2, 3, 4, 5}) {
    const uint8_t bits = static_cast<uint8_t>(b);
    Storage storage = random_storage(dim, bits, 300, 40 + b, {.special_norms = true, .row_terms = true});
    std::vector<uint8_t> packed(storage.code_bytes(), 0x5A);
    for (const uint16_t extreme : {0x7F7F, 0xFF7F, 0x0001, 0x0080, 0x0000, 0x8000, 0x3F80}) {
      storage.push(1000 + extreme, extreme, packed, std::nullopt, static_cast<float>(extreme) - 3e4f);
    }
    const size_t rows = storage.len();
    for (const auto& [factor, key, add] : std::vector<std::tuple<float, KeyKind, float>>{
             {1.0f, KeyKind::kScore, 0.0f},
             {3e-17f, KeyKind::kScore, 0.0f},
             {1e17f, KeyKind::kScore, 0.0f},
             {1e-30f, KeyKind::kScore, 0.0f},
             {1e30f, KeyKind::kScore, 0.0f},
             {1.0f, KeyKind::kRowTerm, 17.25f},
             {1e17f, KeyKind::kRowTerm, -3e34f},
             {1e-30f, KeyKind::kRowTerm, 0.0f},
             {1.0f, KeyKind::kSquaredDistance, -64.0f},
             {1e17f, KeyKind::kSquaredDistance, -3e36f},
             {3e-17f, KeyKind::kSquaredDistance, 0.0f}}) {
      std::vector<float> query = gaussian(dim, 5 + b);
      for (float& x : query) x *= factor;
      std::vector<float> exact = reference_scores(storage, *signs, query);
      for (size_t r = 0; r < rows; ++r) {
        const float row = key == KeyKind::kRowTerm ? storage.row_term(r) : bf16_to_f32(storage.norm_bits(r));
        exact[r] = row_key(key, exact[r], row, add);
      }
      const auto rotated = rotate_unscaled(query, *signs);
      const auto cb = centroids(bits);
      const QueryTable table = build_query_table(*rotated, *cb);
      for (const PassKernel& k : kernels(bits)) {
        AlignedBytes bytes(pass_table_bytes(k.format, dim, bits));
        const auto plan =
            build_pass_plan(k.format, table.entries.data(), table.n_centroids, rotated->data(), dim, bits, bytes.data);
        if (!plan) continue;  // this query takes the exact path (at this level, for this format)
        const PassArgs base{dim,
                            storage.words_per_row() * kBlockRows,
                            1.0f / static_cast<float>(dim),
                            nullptr,
                            0,
                            is_rank1(k.format) ? rank1_levels(k.format, bits) : nullptr,
                            key,
                            storage.chunk_norms(0),
                            storage.chunk_terms(0)};
        for (size_t first = 0; first < rows; first += 16) {
          const size_t lanes = std::min<size_t>(16, rows - first);
          for (const bool below_it : {false, true}) {
            // One query per lane, in groups of kMaxPassQueries.
            std::vector<PassQuery> queries;
            for (size_t lane0 = 0; lane0 < lanes; lane0 += kMaxPassQueries) {
              queries.clear();
              for (size_t lane = lane0; lane < std::min(lanes, lane0 + kMaxPassQueries); ++lane) {
                float theta = exact[first + lane];
                if (below_it) theta = std::nextafter(theta, -kInf);
                queries.push_back({bytes.data, plan->delta, plan->offset, pass_threshold(true, theta), add});
              }
              PassArgs args = base;
              args.queries = queries.data();
              args.query_count = queries.size();
              uint16_t survivors[kMaxPassQueries];
              k.fn(args, storage.chunk_blocks(0) + (first / 16) * args.block_words, storage.chunk_norms(0) + first,
                   lanes, survivors);
              for (size_t i = 0; i < queries.size(); ++i) {
                const size_t lane = lane0 + i;
                if (std::isnan(exact[first + lane])) continue;
                ASSERT_NE(survivors[i] >> lane & 1u, 0u)
                    << "bits " << b << " factor " << factor << " key " << static_cast<int>(key) << " row "
                    << first + lane << " key " << exact[first + lane] << " norm 0x" << std::hex
                    << storage.norm_bits(first + lane);
              }
            }
          }
        }
      }
    }
  }
}

// Rank-one passes on the widest sums their format allows, wider than any
// plan makes (plans keep |A| below 2^24): every weight +-127 at the largest
// dim a pass takes (kRank1U7: +-127 in each i16 lane's first quad and +-2
// in its second, the lane bound's edge), rows of the extreme codes, so that
// a narrow accumulator anywhere overflows. Thresholds at each row's own
// bound and just above it read every row's bound exactly, as a score and as
// each other kind of key.
TEST_P(FirstPassKernel, RankOneSumsAtTheWidestWeightsAndLargestDim) {
  const uint64_t dim = uint64_t{1} << 16;
  ASSERT_TRUE(first_pass_shape_ok(dim, 4) && !first_pass_shape_ok(2 * dim, 4));
  for (const int b : {2, 3, 4, 5}) {
    const uint8_t bits = static_cast<uint8_t>(b);
    const uint8_t top = static_cast<uint8_t>((1u << bits) - 1);
    Storage storage(dim, 0, bits, false, true);
    std::vector<std::vector<uint8_t>> codes = {std::vector<uint8_t>(dim, 0), std::vector<uint8_t>(dim, top),
                                               std::vector<uint8_t>(dim, 1)};
    const float terms[] = {-1.5e9f, 3.0f, 7e8f};
    std::vector<uint8_t> packed(storage.code_bytes());
    for (size_t r = 0; r < codes.size(); ++r) {
      pack_codes(codes[r], bits, packed);
      storage.push(r, bf16_from_f32(static_cast<float>(dim)), packed, std::nullopt, terms[r]);
    }
    auto row_value = [&](KeyKind key, size_t r) { return key == KeyKind::kRowTerm ? terms[r] : static_cast<float>(dim); };
    for (const PassKernel& k : kernels(bits)) {
      if (!is_rank1(k.format)) continue;
      std::vector<AlignedBytes> tables;
      std::vector<std::vector<int32_t>> sums;
      for (const uint8_t w : {uint8_t{0x7F}, uint8_t{0x81}}) {  // +127, -127
        tables.emplace_back(pass_table_bytes(k.format, dim, bits));
        std::fill(tables.back().data, tables.back().data + dim, w);
        static_assert(2 * 127 + 2 * 2 == kMaxU7LaneWeight);
        for (uint64_t j = 4; k.format == PassFormat::kRank1U7 && j < dim; j += 8) {
          std::fill_n(tables.back().data + j, 4, static_cast<uint8_t>(w == 0x7F ? 2 : -2));
        }
        sums.emplace_back();
        for (const auto& row : codes) sums.back().push_back(pass_sum(k.format, tables.back().data, row.data(), dim, bits));
      }
      for (const auto& [key, add] : {std::pair{KeyKind::kScore, 0.0f}, std::pair{KeyKind::kRowTerm, 2.5e8f},
                                     std::pair{KeyKind::kSquaredDistance, -3e9f}}) {
        for (size_t pivot = 0; pivot < codes.size(); ++pivot) {
          for (const bool above : {false, true}) {
            // A full group of queries, alternating the two tables.
            std::vector<PassQuery> queries;
            for (size_t q = 0; q < kMaxPassQueries; ++q) {
              const float own = row_key(key, static_cast<float>(sums[q % 2][pivot]), row_value(key, pivot), add);
              queries.push_back({tables[q % 2].data, 1.0f, 0.0f, above ? std::nextafter(own, kInf) : own, add});
            }
            const PassArgs args{dim,
                                storage.words_per_row() * kBlockRows,
                                1.0f / static_cast<float>(dim),
                                queries.data(),
                                queries.size(),
                                rank1_levels(k.format, bits),
                                key,
                                storage.chunk_norms(0),
                                storage.chunk_terms(0)};
            uint16_t survivors[kMaxPassQueries];
            k.fn(args, storage.chunk_blocks(0), storage.chunk_norms(0), codes.size(), survivors);
            for (size_t q = 0; q < queries.size(); ++q) {
              for (size_t r = 0; r < codes.size(); ++r) {
                EXPECT_EQ((survivors[q] >> r & 1u) != 0,
                          pass_keeps(queries[q], sums[q % 2][r], 1.0f, key, row_value(key, r)))
                    << "bits " << b << " key " << static_cast<int>(key) << " query " << q << " row " << r << " sum "
                    << sums[q % 2][r];
              }
            }
          }
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, FirstPassKernel, testing::ValuesIn(kAllSimdLevels), level_name);

// ---------------------------------------------------------------- dispatch

// The test hook: a forced level is the one whose kernels ran, and a level the
// machine lacks falls back to one it has.
TEST(KernelDispatch, ForcedLevelRuns) {
  const Storage storage = random_storage(8, 4, 40, 1);
  const auto signs = make_sign_vector(8, 1);
  const std::vector<float> query = gaussian(8, 2);
  for (const SimdLevel level : kAllSimdLevels) {
    SearchStats stats;
    SearchOptions options;
    options.level = level;
    options.stats = &stats;
    ASSERT_TRUE(search(storage, *signs, 4, query, 3, options).has_value());
    EXPECT_EQ(stats.level, usable_simd_level(level)) << simd_level_name(level);
    EXPECT_EQ(simd_level_supported(level), usable_simd_level(level) == level);
    EXPECT_EQ(scan_kernels(level).level, stats.level);
  }
  SearchStats stats;
  SearchOptions options;
  options.stats = &stats;
  ASSERT_TRUE(search(storage, *signs, 4, query, 3, options).has_value());
  EXPECT_EQ(stats.level, active_simd_level());
  EXPECT_FALSE(set_simd_cap(SimdLevel::kScalar)) << "the level is fixed once read";
}

// Every level this architecture names has its own table, whether or not
// this machine can run it: an exact scan and a first pass at every width,
// mixed kernels at every width or none; a supported level is reached by
// forcing it.
TEST(KernelDispatch, EveryLevelHasACompleteTable) {
  for (const SimdLevel level : architecture_simd_levels()) {
    SCOPED_TRACE(simd_level_name(level));
    const ScanKernels& table = level_kernels(level);
    EXPECT_EQ(table.level, level);
    for (size_t i = 0; i < 4; ++i) {
      EXPECT_NE(table.by_bits[i], nullptr) << "bits " << i + 2;
      EXPECT_NE(table.first_pass[i].fn, nullptr) << "bits " << i + 2;
      EXPECT_EQ(table.mixed[i] != nullptr, table.mixed[0] != nullptr) << "bits " << i + 2;
    }
    if (simd_level_supported(level)) {
      EXPECT_EQ(&scan_kernels(level), &table);
    }
  }
}

// The levels of this machine form its architecture's chain from scalar up to
// the best; a cap takes the best of them at or below it, a level of another
// architecture caps to scalar, and every name reads back as its level.
TEST(KernelDispatch, LevelChain) {
  const auto supported = supported_simd_levels();
  ASSERT_FALSE(supported.empty());
  EXPECT_EQ(supported.front(), SimdLevel::kScalar);
  EXPECT_EQ(supported.back(), best_simd_level());
  for (size_t i = 0; i < supported.size(); ++i) EXPECT_EQ(usable_simd_level(supported[i]), supported[i]);
  for (const SimdLevel level : kAllSimdLevels) EXPECT_EQ(simd_level_from_name(simd_level_name(level)), level);
#if defined(LODEX_X86)
  EXPECT_EQ(usable_simd_level(SimdLevel::kNeonDot), SimdLevel::kScalar);
#endif
  EXPECT_FALSE(simd_level_from_name("avx512bw").has_value());
}

}  // namespace
}  // namespace lodex
