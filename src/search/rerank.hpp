// Re-ranking: the candidates a compressed search found, ordered again by
// their exact scores against the caller's original vectors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "errors.hpp"
#include "index_params.hpp"
#include "search/search.hpp"

namespace lodex {

// The original vectors re-ranking reads: row `id` of a row-major matrix of
// `rows` x `cols` float32 values, at any byte address. Only the candidates'
// rows are read.
struct RerankSource {
  const void* data = nullptr;
  uint64_t rows = 0;
  uint64_t cols = 0;
};

// sum_j a[j] * b[j] in float32 from +0.0, in coordinate order, each product
// and sum rounded on its own (never fused), so it is the same on every
// machine.
float exact_inner_product(const float* a, const float* b, size_t dim);

// For each query, the best min(k, its candidates) of `candidates` by the
// metric's exact key (metric.hpp's exact_key: the inner product, by default)
// with row `id` of `source` (whose cols must be `dim`), ranked as every
// search ranks (ranks_before: equal keys in the order of the candidates'
// stored rows, candidates.rows, or without them in candidate order).
// The results hold keys. An id at or past source.rows is an InvalidArgument
// naming it.
Result<BatchResults> rerank(const BatchResults& candidates, std::span<const float> queries, size_t dim, uint64_t k,
                            const RerankSource& source, Metric metric = Metric::kIp);

}  // namespace lodex
