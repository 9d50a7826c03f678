// Searches of a bare store by its Hadamard signs and plain inner product,
// for the tests, the scan fuzzer and the scan benchmark: the core's
// search_batch with the model an index of those signs would build, and the
// checks the rotation would make, in its order.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "rotation/rotator.hpp"
#include "search/batch_scan.hpp"
#include "search/metric.hpp"
#include "search/search.hpp"
#include "search/top_k.hpp"
#include "store/storage.hpp"

namespace lodex::testing_support {

// n queries of query_dim floats each, row-major in `queries`. The query
// width fails first, then the shortcut of nothing to return, then the signs
// (their count, a power of two), then the codebook.
inline Result<BatchResults> search_batch(const Storage& storage, std::span<const float> signs,
                                                             uint8_t bits, std::span<const float> queries, size_t n,
                                                             size_t query_dim, uint64_t k,
                                                             const SearchOptions& options = {}) {
  const uint64_t dim = storage.dim();
  if (query_dim != dim || n == 0 || k == 0 || count_rows(options.row_mask, storage.len()) == 0) {
    // Answered before any rotation is needed.
    return lodex::search_batch(storage, ScanModel{dim, nullptr, {}}, bits, queries, n, query_dim, k, options);
  }
  // The rotation's checks, in the order rotate_unscaled makes them.
  if (signs.size() != dim) return std::unexpected(IndexError::in_search(IndexError::rotation_dimension_mismatch(dim, signs.size())));
  if (!std::has_single_bit(dim)) return std::unexpected(IndexError::in_search(IndexError::not_power_of_two(dim)));
  const Rotator rotator = Rotator::from_signs(signs);
  const ScanModel model{dim, &rotator,
                        make_metric_model(Metric::kIp, {}, bits, rotator.score_scale_f64(), rotator.score_scale())};
  return lodex::search_batch(storage, model, bits, queries, n, query_dim, k, options);
}

// One query: search_batch's row, as (id, score) pairs best first.
inline Result<std::vector<ScoredResult>> search(const Storage& storage,
                                                                    std::span<const float> signs, uint8_t bits,
                                                                    std::span<const float> query, uint64_t k,
                                                                    const SearchOptions& options = {}) {
  auto found = search_batch(storage, signs, bits, query, 1, query.size(), k, options);
  if (!found) return std::unexpected(std::move(found.error()));
  std::vector<ScoredResult> results(found->per_query);
  for (size_t i = 0; i < results.size(); ++i) results[i] = {found->ids[i], found->scores[i]};
  return results;
}

}  // namespace lodex::testing_support
