// Row removal and selection on the store: truncate, retain and select against
// a plain model of the rows (codes, id, norm, QJL bytes), across chunk and
// block boundaries, followed by further pushes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <tuple>
#include <vector>

#include "store/storage.hpp"

namespace lodex {
namespace {

struct ModelRow {
  uint64_t id;
  uint16_t norm;
  std::vector<uint8_t> codes;
  std::vector<uint8_t> qjl;  // empty: none (reads as zeros)
  float term = 0.0f;
};

class StorageOps : public testing::TestWithParam<std::tuple<uint64_t, int>> {
 protected:
  uint64_t dim() const { return std::get<0>(GetParam()); }
  uint8_t bits() const { return static_cast<uint8_t>(std::get<1>(GetParam())); }

  ModelRow random_row(std::mt19937_64& rng, uint64_t id) {
    ModelRow r{id, static_cast<uint16_t>(rng()), {}, {}, static_cast<float>(rng() % 1000) / 8.0f};
    std::vector<uint8_t> codes(dim());
    for (uint8_t& c : codes) c = static_cast<uint8_t>(rng() & ((1u << bits()) - 1));
    r.codes.resize(code_bytes_for(dim(), bits()));
    pack_codes(codes, bits(), r.codes);
    // Most rows carry no QJL bytes; a few carry non-zero ones.
    if (rng() % 5 == 0) {
      r.qjl.resize(qjl_bytes_for(dim()));
      for (uint8_t& b : r.qjl) b = static_cast<uint8_t>(rng());
    }
    return r;
  }

  void push(Storage& s, const ModelRow& r) {
    s.push(r.id, r.norm, r.codes, r.qjl.empty() ? std::nullopt : std::optional(std::span<const uint8_t>(r.qjl)),
           r.term);
  }

  void expect_rows(const Storage& s, const std::vector<ModelRow>& model) {
    ASSERT_EQ(s.len(), model.size());
    std::vector<uint8_t> codes(s.code_bytes());
    for (size_t i = 0; i < model.size(); ++i) {
      ASSERT_EQ(s.id(i), model[i].id) << i;
      ASSERT_EQ(s.norm_bits(i), model[i].norm) << i;
      ASSERT_EQ(s.has_row_terms() ? s.row_term(i) : model[i].term, model[i].term) << i;
      s.copy_codes(i, codes);
      ASSERT_EQ(codes, model[i].codes) << i;
      const auto qjl = s.qjl_bits(i);
      std::vector<uint8_t> got = qjl ? std::vector<uint8_t>(qjl->begin(), qjl->end()) : std::vector<uint8_t>{};
      std::vector<uint8_t> want = model[i].qjl;
      if (want.empty() && !got.empty()) want.assign(got.size(), 0);
      if (got.empty() && !want.empty()) got.assign(want.size(), 0);
      ASSERT_EQ(got, want) << i;
    }
    // Lanes past the last row of its block read as zero codes: the scan
    // kernels score them and must find nothing there.
    if (s.len() % kBlockRows != 0) {
      const size_t chunk = s.chunk_count() - 1;
      const size_t in_chunk = s.len() % kChunkRows;
      const uint32_t* block = s.chunk_blocks(chunk) + (in_chunk / kBlockRows) * s.words_per_row() * kBlockRows;
      for (size_t lane = in_chunk % kBlockRows; lane < kBlockRows; ++lane) {
        for (size_t w = 0; w < s.words_per_row(); ++w) ASSERT_EQ(block[w * kBlockRows + lane], 0u) << lane;
      }
    }
    EXPECT_EQ(s.chunk_count(), (s.len() + kChunkRows - 1) / kChunkRows);
  }
};

TEST_P(StorageOps, TruncateRetainSelectMatchTheModel) {
  std::mt19937_64 rng(dim() * 10 + bits());
  Storage s(dim(), 1, bits(), true, /*row_terms=*/true);
  std::vector<ModelRow> model;
  const size_t rows = 2 * kChunkRows + 37;
  for (size_t i = 0; i < rows; ++i) {
    model.push_back(random_row(rng, i));
    push(s, model.back());
  }
  expect_rows(s, model);
  // A copy owns its rows: what happens to the store below leaves it alone.
  const Storage copy = s;
  const std::vector<ModelRow> copied = model;
  const size_t full_bytes = s.memory_bytes();

  // Truncate inside the last block of the first chunk: two chunks go away.
  const size_t cut = kChunkRows - 5;
  s.truncate(cut);
  model.resize(cut);
  expect_rows(s, model);
  EXPECT_LT(s.memory_bytes(), full_bytes / 2);
  s.truncate(cut + 10);  // longer than the store: nothing changes
  expect_rows(s, model);

  // Pushes continue where the store now ends, across the chunk boundary.
  for (size_t i = 0; i < 40; ++i) {
    model.push_back(random_row(rng, 1000000 + i));
    push(s, model.back());
  }
  expect_rows(s, model);

  // Retain every third row and a run at the end.
  std::vector<uint64_t> mask((s.len() + 63) / 64, 0);
  std::vector<ModelRow> kept;
  for (size_t i = 0; i < s.len(); ++i) {
    if (i % 3 == 0 || i + 20 >= s.len()) {
      mask[i / 64] |= uint64_t{1} << (i % 64);
      kept.push_back(model[i]);
    }
  }
  s.retain(mask.data());
  model = kept;
  expect_rows(s, model);
  model.push_back(random_row(rng, 7));
  push(s, model.back());
  expect_rows(s, model);

  // Select: any order, repeats allowed; the source is unchanged.
  std::vector<size_t> picks = {s.len() - 1, 0, 5, 5, s.len() / 2};
  const Storage picked = s.select(picks);
  std::vector<ModelRow> want;
  for (const size_t p : picks) want.push_back(model[p]);
  expect_rows(picked, want);
  expect_rows(s, model);
  EXPECT_EQ(picked.dim(), s.dim());
  EXPECT_EQ(picked.bits(), s.bits());
  EXPECT_EQ(picked.use_qjl(), s.use_qjl());
  EXPECT_EQ(picked.seed(), s.seed());

  // Everything goes: an empty store that still takes rows.
  std::fill(mask.begin(), mask.end(), 0);
  s.retain(mask.data());
  model.clear();
  expect_rows(s, model);
  EXPECT_LT(s.memory_bytes(), 4096u);
  model.push_back(random_row(rng, 9));
  push(s, model.back());
  expect_rows(s, model);
  expect_rows(copy, copied);
}

TEST_P(StorageOps, SelectOfEveryRowIsACopy) {
  std::mt19937_64 rng(5);
  Storage s(dim(), 3, bits(), false);
  std::vector<ModelRow> model;
  for (size_t i = 0; i < 100; ++i) {
    model.push_back(random_row(rng, i));
    model.back().qjl.clear();  // no use_qjl: nothing is kept
    push(s, model.back());
  }
  std::vector<size_t> all(s.len());
  for (size_t i = 0; i < all.size(); ++i) all[i] = i;
  const Storage copy = s.select(all);
  expect_rows(copy, model);
  const Storage none = s.select({});
  EXPECT_EQ(none.len(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Shapes, StorageOps,
                         testing::Combine(testing::Values<uint64_t>(1, 8, 128), testing::Values(2, 3, 5)));

}  // namespace
}  // namespace lodex
