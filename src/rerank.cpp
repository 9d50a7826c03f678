// Exact re-ranking of candidates. The arithmetic is the plain float32 dot
// product in coordinate order; the selection is a stable sort per query.
#include "rerank.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace lodex {

float exact_inner_product(const float* a, const float* b, size_t dim) {
  float sum = 0.0f;
  for (size_t j = 0; j < dim; ++j) sum = sum + a[j] * b[j];
  return sum;
}

Result<BatchResults> rerank(const BatchResults& candidates, std::span<const float> queries, size_t dim, uint64_t k,
                            const float* source, uint64_t rows) {
  const size_t n = candidates.queries;
  const size_t per_query = candidates.per_query;
  for (const uint64_t id : candidates.ids) {
    if (id >= rows) {
      return std::unexpected(IndexError::invalid_argument("rerank has no row for id " + std::to_string(id) +
                                                          ": it holds " + std::to_string(rows) + " rows"));
    }
  }
  BatchResults out;
  out.queries = n;
  out.per_query = static_cast<size_t>(std::min<uint64_t>(k, per_query));
  out.ids.resize(n * out.per_query);
  out.scores.resize(n * out.per_query);
  struct Scored {
    uint64_t id;
    float score;
  };
  std::vector<Scored> scored(per_query);
  // x before y when x scores more, or y is NaN and x is not; anything else
  // keeps the candidates' order (stable_sort, and this is a strict weak order).
  auto ranks_above = [](const Scored& x, const Scored& y) {
    return x.score > y.score || (std::isnan(y.score) && !std::isnan(x.score));
  };
  for (size_t q = 0; q < n; ++q) {
    const float* query = queries.data() + q * dim;
    for (size_t i = 0; i < per_query; ++i) {
      const uint64_t id = candidates.ids[q * per_query + i];
      scored[i] = {id, exact_inner_product(query, source + id * dim, dim)};
    }
    std::stable_sort(scored.begin(), scored.end(), ranks_above);
    for (size_t i = 0; i < out.per_query; ++i) {
      out.ids[q * out.per_query + i] = scored[i].id;
      out.scores[q * out.per_query + i] = scored[i].score;
    }
  }
  return out;
}

}  // namespace lodex
