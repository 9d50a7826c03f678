// Re-ranking: the candidates a compressed search found, ordered again by
// their exact inner products with the caller's original vectors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "errors.hpp"
#include "search.hpp"

namespace lodex {

// sum_j a[j] * b[j] in float32 from +0.0, in coordinate order, each product
// and sum rounded on its own (never fused), so it is the same on every
// machine.
float exact_inner_product(const float* a, const float* b, size_t dim);

// For each query, the best min(k, its candidates) of `candidates` by exact
// inner product with row `id` of `source` (rows x dim floats, row-major),
// highest first; equal scores keep their candidate order and NaN ranks
// below every number. An id at or past `rows` is an InvalidArgument naming it.
Result<BatchResults> rerank(const BatchResults& candidates, std::span<const float> queries, size_t dim, uint64_t k,
                            const float* source, uint64_t rows);

}  // namespace lodex
