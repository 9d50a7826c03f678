// Exact re-ranking of candidates. The arithmetic is plain float32 in
// coordinate order (metric.hpp's exact keys); the selection is the
// searches' order (ranks_before on the exact key and the row).
#include "search/rerank.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "store/float_rows.hpp"
#include "search/metric.hpp"
#include "search/top_k.hpp"

namespace lodex {

float exact_inner_product(const float* a, const float* b, size_t dim) {
  float sum = 0.0f;
  for (size_t j = 0; j < dim; ++j) sum = sum + a[j] * b[j];
  return sum;
}

Result<BatchResults> rerank(const BatchResults& candidates, std::span<const float> queries, size_t dim, uint64_t k,
                            const RerankSource& source, Metric metric) {
  const size_t n = candidates.queries;
  const size_t per_query = candidates.per_query;
  for (const uint64_t id : candidates.ids) {
    if (id >= source.rows) {
      return std::unexpected(IndexError::invalid_argument("rerank has no row for id " + std::to_string(id) +
                                                          ": it holds " + std::to_string(source.rows) + " rows"));
    }
  }
  BatchResults out;
  out.queries = n;
  out.per_query = static_cast<size_t>(std::min<uint64_t>(k, per_query));
  out.ids.resize(n * out.per_query);
  out.scores.resize(n * out.per_query);
  // Where each candidate is stored, or its place among the candidates.
  struct Scored {
    uint64_t id;
    float score;
    uint64_t row;
  };
  const bool stored = candidates.rows.size() == candidates.ids.size();
  std::vector<Scored> scored(per_query);
  FloatRows rows(source.data, dim);
  for (size_t q = 0; q < n; ++q) {
    const float* query = queries.data() + q * dim;
    for (size_t i = 0; i < per_query; ++i) {
      const uint64_t id = candidates.ids[q * per_query + i];
      scored[i] = {id, exact_key(metric, query, rows.row(static_cast<size_t>(id)), dim),
                   stored ? candidates.rows[q * per_query + i] : i};
    }
    std::sort(scored.begin(), scored.end(),
              [](const Scored& x, const Scored& y) { return ranks_before(x.score, x.row, y.score, y.row); });
    for (size_t i = 0; i < out.per_query; ++i) {
      out.ids[q * out.per_query + i] = scored[i].id;
      out.scores[q * out.per_query + i] = scored[i].score;
    }
  }
  return out;
}

}  // namespace lodex
