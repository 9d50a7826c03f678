// The metrics' arithmetic: the kept energy of each codebook, the scale, the
// preparation of rows and queries, exact keys and range thresholds.
#include "search/metric.hpp"

#include <cmath>
#include <limits>

#include "quant/encode.hpp"
#include "store/float_rows.hpp"

namespace lodex {

namespace {

// E[centroid^2] under N(0, 1) over the float32 centroids and boundaries of
// codebook.cpp, evaluated once in high precision: constants, so that every
// machine forms the same scale.
constexpr double kKeptEnergy[] = {0.88251178281277728, 0.96546179281254485, 0.99049855886296722,
                                  0.99700345219003817};

// x / |x| (true division per coordinate, as the encoder divides), or zeros
// for a norm at most 1e-10. A NaN norm divides too: a row holding a NaN
// stays NaN (its scores are NaN and rank last) rather than passing for a
// zero row.
void normalise(const float* x, uint64_t dim, float* out) {
  const float norm = row_norm(x, dim);
  if (norm <= kMinNorm) {
    for (uint64_t j = 0; j < dim; ++j) out[j] = 0.0f;
  } else {
    for (uint64_t j = 0; j < dim; ++j) out[j] = x[j] / norm;
  }
}

float dot(const float* a, const float* b, uint64_t dim) {
  float sum = 0.0f;
  for (uint64_t j = 0; j < dim; ++j) sum = sum + a[j] * b[j];
  return sum;
}

// x, or x / |x| in `buffer` when the metric normalises.
const float* normalised(const MetricModel& model, const float* x, uint64_t dim, float* buffer) {
  if (!model.normalise()) return x;
  normalise(x, dim, buffer);
  return buffer;
}

// v less the centre, in `buffer` (which v may be), or v itself without one.
const float* centred(const MetricModel& model, const float* v, uint64_t dim, float* buffer) {
  if (model.center.empty()) return v;
  const float* c = model.center.data();
  for (uint64_t j = 0; j < dim; ++j) buffer[j] = v[j] - c[j];
  return buffer;
}

// sum_j (a_j - b_j)^2 in double (b_j = 0 for a null b): no overflow for
// finite float32 inputs, dim * (2 FLT_MAX)^2 being far inside double.
double wide_squares(const float* a, const float* b, uint64_t dim) {
  double sum = 0.0;
  for (uint64_t j = 0; j < dim; ++j) {
    const double d = static_cast<double>(a[j]) - (b != nullptr ? static_cast<double>(b[j]) : 0.0);
    sum += d * d;
  }
  return sum;
}

}  // namespace

double kept_energy(uint8_t bits) { return bits >= 2 && bits <= 5 ? kKeptEnergy[bits - 2] : 1.0; }

MetricModel make_metric_model(Metric metric, std::span<const float> center, uint8_t bits, double scale_f64,
                              float plain_scale) {
  MetricModel m;
  m.metric = metric;
  m.center = center;
  const bool plain = metric == Metric::kIp && center.empty();
  m.scale = plain ? plain_scale : static_cast<float>(scale_f64 / kept_energy(bits));
  if (metric == Metric::kL2) {
    m.key = KeyKind::kSquaredDistance;
  } else if (!center.empty()) {
    m.key = KeyKind::kRowTerm;
  }
  return m;
}

const float* prepare_row(const MetricModel& model, const float* x, uint64_t dim, float* buffer, float* term) {
  const float* v = centred(model, normalised(model, x, dim, buffer), dim, buffer);
  // A row term implies a centre, so v is the centred row.
  if (model.row_terms()) *term = dot(model.center.data(), v, dim);
  return v;
}

std::vector<float> mean_row(Metric metric, const void* rows, size_t n, uint64_t dim) {
  std::vector<double> sum(dim, 0.0);
  std::vector<float> unit(metric == Metric::kCosine ? dim : 0);
  FloatRows matrix(rows, dim);
  for (size_t r = 0; r < n; ++r) {
    const float* x = matrix.row(r);
    if (metric == Metric::kCosine) {
      normalise(x, dim, unit.data());
      x = unit.data();
    }
    for (uint64_t j = 0; j < dim; ++j) sum[j] += static_cast<double>(x[j]);
  }
  std::vector<float> mean(dim);
  for (uint64_t j = 0; j < dim; ++j) mean[j] = static_cast<float>(sum[j] / static_cast<double>(n));
  return mean;
}

const float* prepare_query(const MetricModel& model, const float* q, uint64_t dim, float* buffer, QueryAdd* add) {
  const float* v = normalised(model, q, dim, buffer);
  add->narrow = 0.0f;
  if (model.row_terms()) add->narrow = dot(v, model.center.data(), dim);
  v = centred(model, v, dim, buffer);
  if (model.key == KeyKind::kSquaredDistance) add->narrow = -dot(v, v, dim);
  add->wide = add->narrow;
  if (model.key == KeyKind::kSquaredDistance && !std::isfinite(add->narrow)) {
    add->wide = -wide_squares(v, nullptr, dim);
  }
  return v;
}

float exact_key(Metric metric, const float* q, const float* x, uint64_t dim) {
  switch (metric) {
    case Metric::kCosine: {
      // Each vector over its own norm, as prepare_row divides them.
      const float nq = row_norm(q, dim);
      const float nx = row_norm(x, dim);
      if (nq <= kMinNorm || nx <= kMinNorm) return 0.0f;
      float sum = 0.0f;
      for (uint64_t j = 0; j < dim; ++j) sum = sum + (q[j] / nq) * (x[j] / nx);
      return sum;
    }
    case Metric::kL2: {
      float sum = 0.0f;
      for (uint64_t j = 0; j < dim; ++j) {
        const float d = q[j] - x[j];
        sum = sum + d * d;
      }
      if (!std::isfinite(sum)) [[unlikely]] {
        // Finite in double exactly when q and x are: then rounded once.
        const double wide = wide_squares(q, x, dim);
        if (std::isfinite(wide)) return -static_cast<float>(wide);
      }
      return -sum;
    }
    default:
      return dot(q, x, dim);
  }
}

float range_floor(Metric metric, double threshold) {
  constexpr float kInf = std::numeric_limits<float>::infinity();
  auto f = static_cast<float>(threshold);  // to nearest; overflow gives infinity
  if (metric == Metric::kL2) {
    // The greatest float32 at or below the threshold, negated.
    if (static_cast<double>(f) > threshold) f = std::nextafter(f, -kInf);
    return -f;
  }
  if (static_cast<double>(f) < threshold) f = std::nextafter(f, kInf);
  return f;
}

}  // namespace lodex
