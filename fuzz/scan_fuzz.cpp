// libFuzzer harness, differential: builds a small store and a batch of
// queries from the input, then runs every scan kernel level the machine has,
// on the exact path and on the forced first pass, and aborts on any
// difference from the scalar exact path (ids, order or score bits). Every
// level's first pass kernels are also compared with their format's model
// mask for mask on thresholds taken from the rows' own exact scores.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "quant/codebook.hpp"
#include "search/first_pass.hpp"
#include "kernels/scan.hpp"
#include "rotation/hadamard.hpp"
#include "search/reference_score.hpp"
#include "search/search.hpp"
#include "search_by_signs.hpp"
#include "store/storage.hpp"

namespace {

using namespace lodex;
using lodex::testing_support::search_batch;

// Reads the input front to back; past its end every read is zero.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t u16() { return static_cast<uint16_t>(byte() | byte() << 8); }
  uint32_t u32() { return static_cast<uint32_t>(u16()) | static_cast<uint32_t>(u16()) << 16; }
  bool done() const { return pos_ >= size_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

[[noreturn]] void fail(const char* what, size_t a, size_t b) {
  std::fprintf(stderr, "difference: %s (%zu, %zu)\n", what, a, b);
  std::abort();
}

// A query value: mostly ordinary, sometimes an extreme or special one.
float query_value(Input& in) {
  const uint8_t kind = in.byte();
  const float base = static_cast<float>(static_cast<int16_t>(in.u16())) / 4096.0f;
  switch (kind % 16) {
    case 0:
      return std::bit_cast<float>(in.u32());  // anything, NaN and infinities included
    case 1:
      return base * 1e30f;
    case 2:
      return base * 1e-30f;
    default:
      return base;
  }
}

uint16_t norm_bits(Input& in) {
  static constexpr uint16_t kSpecial[] = {0x7FC1, 0x7F81, 0xFFC0, 0x7F80, 0xFF80, 0x0000, 0x8000, 0x0001, 0x7F7F,
                                          0xBF80};
  const uint8_t kind = in.byte();
  if (kind % 8 == 0) return kSpecial[kind / 8 % std::size(kSpecial)];
  return static_cast<uint16_t>(0x3E00 + in.byte() * 2);  // about 0.125 .. 8
}

void expect_same(const BatchResults& a, const BatchResults& b, const char* what) {
  if (a.per_query != b.per_query || a.ids.size() != b.ids.size()) fail(what, a.per_query, b.per_query);
  for (size_t i = 0; i < a.ids.size(); ++i) {
    if (a.ids[i] != b.ids[i]) fail(what, i, 0);
    if (std::bit_cast<uint32_t>(a.scores[i]) != std::bit_cast<uint32_t>(b.scores[i])) fail(what, i, 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  const uint8_t bits = static_cast<uint8_t>(2 + in.byte() % 4);
  // Mostly the dims the first pass takes (32 and up), sometimes tiny ones.
  static constexpr uint64_t kDims[] = {32, 64, 128, 32, 256, 1, 2, 8, 16, 512, 2048, 64};
  const uint64_t dim = kDims[in.byte() % std::size(kDims)];
  const size_t rows = 1 + (in.u16() % (dim >= 512 ? 80 : 700));
  const uint64_t k = 1 + in.byte() % 40;
  const size_t piece_rows = 16 * (1 + in.byte() % 24);
  const size_t n = 1 + in.byte() % 10;
  const uint8_t style = in.byte();

  Storage storage(dim, 0, bits, false);
  std::vector<uint8_t> codes(dim);
  std::vector<uint8_t> packed(storage.code_bytes());
  const size_t distinct = 1 + style % 32;  // few distinct rows: exact ties at the cut-off
  std::vector<std::vector<uint8_t>> pool;
  for (size_t r = 0; r < rows; ++r) {
    if (r < distinct || style % 2 == 0) {
      uint32_t seed = in.u32() | 1;
      for (uint8_t& c : codes) {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        c = static_cast<uint8_t>(seed & ((1u << bits) - 1));
      }
      pack_codes(codes, bits, packed);
      pool.push_back(packed);
    }
    const std::vector<uint8_t>& row = style % 2 == 0 ? pool.back() : pool[r % pool.size()];
    storage.push(r, norm_bits(in), row, std::nullopt);
  }
  const auto signs = make_sign_vector(dim, in.byte());
  if (!signs) return 0;
  std::vector<float> queries(n * dim);
  for (size_t q = 0; q < n; ++q) {
    const float scale = (in.byte() % 4 == 0) ? 0.0f : 1.0f;
    for (uint64_t j = 0; j < dim; ++j) queries[q * dim + j] = (j < 24 ? query_value(in) : 0.25f) * scale;
  }
  std::vector<uint64_t> mask;
  if (style & 0x40) {
    mask.resize((rows + 63) / 64);
    for (uint64_t& w : mask) w = static_cast<uint64_t>(in.u32()) << 32 | in.u32();
  }

  SearchOptions reference_options;
  reference_options.level = SimdLevel::kScalar;
  reference_options.path = ScanPath::kExact;
  reference_options.piece_rows = piece_rows;
  reference_options.row_mask = mask.empty() ? nullptr : mask.data();
  const auto reference = search_batch(storage, *signs, bits, queries, n, dim, k, reference_options);
  if (!reference) fail("reference failed", 0, 0);
  for (const SimdLevel level : kAllSimdLevels) {
    if (!simd_level_supported(level)) continue;
    for (const ScanPath path : {ScanPath::kExact, ScanPath::kFast, ScanPath::kAuto}) {
      SearchOptions options = reference_options;
      options.level = level;
      options.path = path;
      const auto got = search_batch(storage, *signs, bits, queries, n, dim, k, options);
      if (!got) fail("search failed", static_cast<size_t>(level), static_cast<size_t>(path));
      expect_same(*reference, *got, simd_level_name(level));
    }
  }

  // Every level's pass kernels mask for mask against their format's model
  // (pass_sum and pass_keeps per row), with thresholds at rows' own exact
  // scores (every row ranked at or above it must stay).
  if (!first_pass_shape_ok(dim, bits)) return 0;
  const auto rotated = rotate_unscaled(std::span(queries).first(dim), *signs);
  const QueryTable table = build_query_table(*rotated, *centroids(bits));
  SearchOptions all = reference_options;
  all.row_mask = nullptr;
  const auto scored = search_batch(storage, *signs, bits, std::span(queries).first(dim), 1, dim, rows, all);
  std::vector<float> row_score(rows);
  for (size_t i = 0; i < scored->per_query; ++i) row_score[scored->ids[i]] = scored->scores[i];
  const size_t first_rows = std::min(rows, kChunkRows);
  std::vector<uint8_t> row_codes(dim);
  std::vector<uint8_t> row_bytes(storage.code_bytes());
  std::vector<uint8_t> picks(kMaxPassQueries);
  for (uint8_t& p : picks) p = in.byte();
  for (const SimdLevel level : kAllSimdLevels) {
    if (!simd_level_supported(level)) continue;
    const ScanKernels& kernels = scan_kernels(level);
    for (const PassKernel& kernel : {kernels.first_pass[bits - 2], kernels.batch_pass[bits - 2]}) {
      if (kernel.fn == nullptr) continue;
      std::vector<uint8_t> bytes(pass_table_bytes(kernel.format, dim, bits) + 64);
      uint8_t* aligned = bytes.data() + (64 - reinterpret_cast<uintptr_t>(bytes.data()) % 64) % 64;
      const auto plan = build_pass_plan(kernel.format, table.entries.data(), table.n_centroids, rotated->data(), dim,
                                        bits, aligned);
      if (!plan) continue;
      std::vector<PassQuery> pass_queries;
      for (size_t q = 0; q < kMaxPassQueries && q < scored->per_query; ++q) {
        const float theta = scored->scores[(q * 7 + picks[q]) % scored->per_query];
        pass_queries.push_back({aligned, plan->delta, plan->offset, pass_threshold(true, theta)});
      }
      const PassArgs args{dim,
                          storage.words_per_row() * kBlockRows,
                          1.0f / static_cast<float>(dim),
                          pass_queries.data(),
                          pass_queries.size(),
                          is_rank1(kernel.format) ? rank1_levels(kernel.format, bits) : nullptr};
      const size_t nq = pass_queries.size();
      std::vector<uint16_t> got((first_rows + 15) / 16 * nq, 0xFFFF);
      kernel.fn(args, storage.chunk_blocks(0), storage.chunk_norms(0), first_rows, got.data());
      for (size_t r = 0; r < first_rows; ++r) {
        storage.copy_codes(r, row_bytes);
        for (uint64_t j = 0; j < dim; ++j) {
          row_codes[j] = static_cast<uint8_t>(unpack_code(row_bytes.data(), j, bits));
        }
        const int32_t a = pass_sum(kernel.format, aligned, row_codes.data(), dim, bits);
        const float f = bf16_to_f32(storage.norm_bits(r)) * args.scale;
        for (size_t q = 0; q < nq; ++q) {
          const bool kept = (got[(r / 16) * nq + q] >> (r % 16) & 1u) != 0;
          if (kept != pass_keeps(pass_queries[q], a, f)) {
            fail("pass mask against the model", static_cast<size_t>(level), r);
          }
          const float theta = std::nextafter(pass_queries[q].below, std::numeric_limits<float>::infinity());
          if (pass_queries[q].below != -std::numeric_limits<float>::infinity() && row_score[r] >= theta && !kept) {
            fail("a row at or above the root was skipped", r, q);
          }
        }
      }
      for (size_t r = first_rows; r % 16 != 0; ++r) {
        for (size_t q = 0; q < nq; ++q) {
          if ((got[(r / 16) * nq + q] >> (r % 16) & 1u) != 0) fail("bit past the last row", r, q);
        }
      }
    }
  }
  return 0;
}
