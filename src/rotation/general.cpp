// The general rotation: choosing the width and the recipe (integer and
// float64 arithmetic only), building the Paley matrices and the drop
// corrections, and applying the stages in float32 in a fixed order. Nothing
// here depends on the SIMD level: the vectors used run across independent
// lanes (never across the terms of one sum), so every output is computed
// with the same operations in the same order on every machine.
#include "rotation/general.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <optional>

#include "rotation/hadamard.hpp"

namespace lodex {

namespace {

// A Paley matrix of order `order`, row-major and transposed.
struct PaleyFactor {
  uint64_t order;
  const float* rows;
  const float* columns;
};

}  // namespace

struct GeneralRotation::Node {
  enum class Kind { kExact, kDouble, kDrop };
  Kind kind = Kind::kExact;
  uint64_t n = 0;
  uint64_t gain_squared = 0;
  // kExact: Walsh–Hadamard on contiguous chunks of 2^walsh_log, then one
  // Paley stage per entry, innermost (stride 2^walsh_log) first.
  unsigned walsh_log = 0;
  std::vector<PaleyFactor> paley;
  // kDouble: child ⊗ H_{2^levels}: a Walsh–Hadamard axis of 2^levels
  // inside each of the child's elements.
  unsigned levels = 0;
  // kDrop: the child (width n + 1) with its last coordinate fed back.
  std::vector<float> column;  // the child's last column, rows 0 .. n-1, times the pivot's sign
  float kappa = 0.0f;         // 1 / (sigma_child + |pivot|)
  std::unique_ptr<Node> child;
};

namespace {

using Node = GeneralRotation::Node;

// A drop is tried only from widths of at least this: below, the deviation
// 1 / sqrt(n + 1) it brings is too large to be worth it.
constexpr uint64_t kMinDropWidth = 16;
// Consecutive drops tried per width (a run of them costs little flatness
// only while it stays short).
constexpr uint64_t kMaxDrops = 16;

bool is_prime(uint64_t n) {
  if (n < 2) return false;
  for (uint64_t d = 2; d * d <= n; ++d) {
    if (n % d == 0) return false;
  }
  return true;
}

// Order p of a Paley Hadamard matrix, row-major ±1.0f. With q = p - 1 prime
// (q = 3 mod 4), H = I + S, S = [[0, 1ᵀ], [-1, Q]]; otherwise q = p/2 - 1
// (q = 1 mod 4) and H = C ⊗ [[1, 1], [1, -1]] + I ⊗ [[1, -1], [-1, -1]] with
// C = [[0, 1ᵀ], [1, Q]]. Q[a][b] = chi(b - a mod q), chi the quadratic
// character (0 at 0).
std::vector<float> paley_matrix(uint64_t p) {
  const bool first = is_prime(p - 1);
  const uint64_t q = first ? p - 1 : p / 2 - 1;
  std::vector<int> chi(q, -1);
  chi[0] = 0;
  for (uint64_t a = 1; a < q; ++a) chi[a * a % q] = 1;
  // Entry (i, j) of the bordered core: row/column 0 is the border.
  auto core = [&](uint64_t i, uint64_t j, int border_column) -> int {
    if (i == 0 && j == 0) return 0;
    if (i == 0) return 1;
    if (j == 0) return border_column;
    return chi[(j + q - i) % q];
  };
  std::vector<float> h(p * p);
  for (uint64_t i = 0; i < p; ++i) {
    for (uint64_t j = 0; j < p; ++j) {
      int v;
      if (first) {
        v = core(i, j, -1) + (i == j ? 1 : 0);
      } else {
        static constexpr int kA[2][2] = {{1, 1}, {1, -1}};
        static constexpr int kB[2][2] = {{1, -1}, {-1, -1}};
        v = core(i / 2, j / 2, 1) * kA[i % 2][j % 2] + (i / 2 == j / 2 ? kB[i % 2][j % 2] : 0);
      }
      h[i * p + j] = static_cast<float>(v);
    }
  }
  return h;
}

struct ExactPlan {
  uint64_t cost = 0;  // additions per coordinate
  unsigned walsh_log = 0;
  std::vector<uint64_t> paley;  // ascending
};

// The flatness estimate (max |R_ij| / min |R_ij|, 1 when exact) and the
// cost of the best recipe for one width.
struct Choice {
  double ratio = std::numeric_limits<double>::infinity();
  uint64_t cost = std::numeric_limits<uint64_t>::max();
  uint64_t drops = 0;

  bool found() const { return ratio != std::numeric_limits<double>::infinity(); }
  bool before(const Choice& o) const {
    if (ratio != o.ratio) return ratio < o.ratio;
    if (cost != o.cost) return cost < o.cost;
    return drops < o.drops;
  }
};

class Planner {
 public:
  // The cheapest Kronecker factoring of n into 2s and Paley orders, if any.
  const std::optional<ExactPlan>& exact(uint64_t n) {
    if (const auto it = exact_.find(n); it != exact_.end()) return it->second;
    std::optional<ExactPlan> best;
    if (n == 1) best = ExactPlan{};
    if (n % 2 == 0) {
      if (const auto& half = exact(n / 2)) {
        best = *half;
        best->cost += 1;
        best->walsh_log += 1;
      }
    }
    for (const uint64_t p : GeneralRotation::kPaleyOrders) {
      if (n % p != 0) continue;
      const auto& rest = exact(n / p);
      if (!rest || (best && rest->cost + p >= best->cost)) continue;
      best = *rest;
      best->cost += p;
      best->paley.insert(std::upper_bound(best->paley.begin(), best->paley.end(), p), p);
    }
    return exact_.emplace(n, std::move(best)).first->second;
  }

  // Width n reached by `drops` drops from n + drops, which is exact or is
  // halved (the best recipe for half of it ⊗ H_2).
  Choice choose(uint64_t n) {
    if (const auto it = chosen_.find(n); it != chosen_.end()) return it->second;
    Choice best;
    double ratio = 1.0;
    for (uint64_t k = 0; k <= kMaxDrops; ++k) {
      if (k > 0) {
        // k < n keeps the halved width below n, so the recursion ends.
        if (n < kMinDropWidth || k >= n) break;
        ratio = ratio * (1.0 + 2.0 / std::sqrt(static_cast<double>(n + k)));
      }
      const uint64_t top = n + k;
      Choice c;
      if (const auto& e = exact(top)) {
        c = {ratio, e->cost + 2 * k, k};
      } else if (top % 2 == 0 && top / 2 < n) {
        const Choice half = choose(top / 2);
        if (!half.found()) continue;
        c = {ratio * half.ratio, half.cost + 1 + 2 * k, k};
      } else {
        continue;
      }
      if (c.before(best)) best = c;
    }
    chosen_.emplace(n, best);
    return best;
  }

 private:
  std::map<uint64_t, std::optional<ExactPlan>> exact_;
  std::map<uint64_t, Choice> chosen_;
};

// Every node works on `lanes` vectors at once: element i of a node's input
// is the run x[i * lanes .. (i + 1) * lanes), one float per vector. Inner
// loops run across lanes, so they vectorise without changing any lane's
// operations, and a node below a run of halvings sees many lanes.

// Four lanes as one portable vector: every target with 128-bit vectors runs
// it natively, and a lane's arithmetic is the scalar arithmetic.
typedef float F4 __attribute__((vector_size(16)));
F4 load4(const float* p) {
  F4 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
void store4(float* p, F4 v) { std::memcpy(p, &v, sizeof v); }

// The Walsh–Hadamard transform across `count` rows of `lanes` floats, natural
// order: the butterflies hadamard_transform applies, one pass per distance.
void walsh_across(float* x, uint64_t count, uint64_t lanes) {
  if (lanes == 1) {
    hadamard_transform(std::span<float>(x, count));
    return;
  }
  for (uint64_t len = 1; len < count; len *= 2) {
    for (uint64_t b = 0; b < count; b += 2 * len) {
      for (uint64_t i = b; i < b + len; ++i) {
        float* lo = x + i * lanes;
        float* hi = x + (i + len) * lanes;
        uint64_t l = 0;
        for (; l + 4 <= lanes; l += 4) {
          const F4 a = load4(lo + l);
          const F4 c = load4(hi + l);
          store4(lo + l, a + c);
          store4(hi + l, a - c);
        }
        for (; l < lanes; ++l) {
          const float a = lo[l];
          const float c = hi[l];
          lo[l] = a + c;
          hi[l] = a - c;
        }
      }
    }
  }
}

// The Walsh–Hadamard transform of every run of `count` consecutive floats
// of x[0 .. total): walsh_across with one lane on each, in one loop, for
// the short runs (2 and 4) where a call per run costs more than its
// butterflies.
void walsh_runs(float* x, uint64_t total, uint64_t count) {
  for (uint64_t len = 1; len < count; len *= 2) {
    for (uint64_t b = 0; b < total; b += 2 * len) {
      for (uint64_t i = b; i < b + len; ++i) {
        const float a = x[i];
        const float c = x[i + len];
        x[i] = a + c;
        x[i + len] = a - c;
      }
    }
  }
}

// One Paley stage on every block of p rows of `lanes` floats: row u of a
// block becomes the sum over v of h[u][v] * row v, added in v order from
// h[u][0] * row 0. A product by ±1.0f is exact, so each output is the same
// chain of additions and subtractions whichever loop order computes it.
// With four lanes or more the lanes are the vector; with fewer, the outputs
// u are (p is a multiple of 4), reading the transposed matrix ht. Either
// way the sums stay in registers across v: N vectors of lanes at a time, or
// the P outputs of one lane.
template <int N>
void paley_lanes(const float* in, uint64_t p, uint64_t lanes, uint64_t l0, const float* h, float* tmp) {
  for (uint64_t u = 0; u < p; ++u) {
    const float* row = h + u * p;
    F4 acc[N];
    for (int i = 0; i < N; ++i) acc[i] = row[0] * load4(in + l0 + 4 * i);
    for (uint64_t v = 1; v < p; ++v) {
      const float sv = row[v];
      const float* src = in + v * lanes + l0;
      for (int i = 0; i < N; ++i) acc[i] = acc[i] + sv * load4(src + 4 * i);
    }
    for (int i = 0; i < N; ++i) store4(tmp + u * lanes + l0 + 4 * i, acc[i]);
  }
}

template <uint64_t P>
void paley_narrow(const float* in, uint64_t lanes, const float* ht, float* tmp) {
  F4 acc[P / 4];
  for (uint64_t l = 0; l < lanes; ++l) {
    for (uint64_t u = 0; u < P; u += 4) acc[u / 4] = load4(ht + u) * in[l];
    for (uint64_t v = 1; v < P; ++v) {
      const float sv = in[v * lanes + l];
      const float* col = ht + v * P;
      for (uint64_t u = 0; u < P; u += 4) acc[u / 4] = acc[u / 4] + load4(col + u) * sv;
    }
    for (uint64_t u = 0; u < P; ++u) tmp[u * lanes + l] = acc[u / 4][u % 4];
  }
}

void paley_stage(float* x, uint64_t total, uint64_t p, uint64_t lanes, const float* h, const float* ht, float* tmp) {
  static_assert(std::ranges::equal(GeneralRotation::kPaleyOrders, std::array<uint64_t, 6>{12, 20, 28, 36, 44, 60}));
  const uint64_t block = p * lanes;
  for (uint64_t o = 0; o < total; o += block) {
    const float* in = x + o;
    if (lanes % 4 == 0) {
      uint64_t l = 0;
      for (; l + 32 <= lanes; l += 32) paley_lanes<8>(in, p, lanes, l, h, tmp);
      for (; l + 8 <= lanes; l += 8) paley_lanes<2>(in, p, lanes, l, h, tmp);
      for (; l < lanes; l += 4) paley_lanes<1>(in, p, lanes, l, h, tmp);
    } else {
      switch (p) {
        case 12: paley_narrow<12>(in, lanes, ht, tmp); break;
        case 20: paley_narrow<20>(in, lanes, ht, tmp); break;
        case 28: paley_narrow<28>(in, lanes, ht, tmp); break;
        case 36: paley_narrow<36>(in, lanes, ht, tmp); break;
        case 44: paley_narrow<44>(in, lanes, ht, tmp); break;
        default: paley_narrow<60>(in, lanes, ht, tmp); break;
      }
    }
    std::memcpy(x + o, tmp, block * sizeof(float));
  }
}

// Nodes run in place. A drop appends one element to its input, so the
// buffer a node works in must hold room_floats(node, lanes) floats, at least
// its own n * lanes; a Paley stage also needs paley_floats(node, lanes) of
// its own for the products. Every drop of a chain reuses the one buffer:
// it reads only its appended element after its child is done.
size_t room_floats(const Node& node, uint64_t lanes) {
  switch (node.kind) {
    case Node::Kind::kExact: return node.n * lanes;
    case Node::Kind::kDouble: return room_floats(*node.child, lanes << node.levels);
    case Node::Kind::kDrop: return std::max((node.n + 1) * lanes, room_floats(*node.child, lanes));
  }
  return 0;
}

size_t paley_floats(const Node& node, uint64_t lanes) {
  switch (node.kind) {
    case Node::Kind::kExact: return node.paley.empty() ? 0 : node.n * lanes;
    case Node::Kind::kDouble: return paley_floats(*node.child, lanes << node.levels);
    case Node::Kind::kDrop: return paley_floats(*node.child, lanes);
  }
  return 0;
}

void apply(const Node& node, float* x, uint64_t lanes, float* tmp) {
  switch (node.kind) {
    case Node::Kind::kExact: {
      // Element index (paley axes..., walsh axis), the Walsh axis innermost.
      const uint64_t chunk = uint64_t{1} << node.walsh_log;
      if (lanes == 1 && chunk < 8) {
        walsh_runs(x, node.n, chunk);
      } else if (chunk > 1) {
        for (uint64_t o = 0; o < node.n * lanes; o += chunk * lanes) walsh_across(x + o, chunk, lanes);
      }
      uint64_t stride = chunk * lanes;
      for (const PaleyFactor& f : node.paley) {
        paley_stage(x, node.n * lanes, f.order, stride, f.rows, f.columns, tmp);
        stride *= f.order;
      }
      return;
    }
    case Node::Kind::kDouble: {
      // child ⊗ H_{2^levels}: the Walsh–Hadamard axis inside each of the
      // child's elements, then the child on 2^levels times the lanes.
      const uint64_t count = uint64_t{1} << node.levels;
      const uint64_t children = node.n >> node.levels;
      for (uint64_t i = 0; i < children; ++i) walsh_across(x + i * count * lanes, count, lanes);
      apply(*node.child, x, lanes * count, tmp);
      return;
    }
    case Node::Kind::kDrop: {
      // The child sees x with a zero element appended; its last output,
      // scaled, takes the last column's share back out of the others.
      const uint64_t n = node.n;
      float* w = x + n * lanes;
      std::fill(w, w + lanes, 0.0f);
      apply(*node.child, x, lanes, tmp);
      for (uint64_t l = 0; l < lanes; ++l) w[l] = w[l] * node.kappa;
      for (uint64_t i = 0; i < n; ++i) {
        const float c = node.column[i];
        float* xi = x + i * lanes;
        uint64_t l = 0;
        for (; l + 4 <= lanes; l += 4) store4(xi + l, load4(xi + l) - c * load4(w + l));
        for (; l < lanes; ++l) xi[l] = xi[l] - c * w[l];
      }
      return;
    }
  }
}

// The transpose of apply(): each node's stages in reverse order, each stage
// transposed (Walsh–Hadamard stages are symmetric, a Paley stage reads the
// other matrix). A drop's transpose: with the child's transform M and the
// drop's Q = Q0 - kappa c b^T (c its column, b^T the child's last row),
// Q^T y is the child's transpose applied to y with the element
// -kappa * <c, y> appended, first n outputs.
void apply_transposed(const Node& node, float* x, uint64_t lanes, float* tmp) {
  switch (node.kind) {
    case Node::Kind::kExact: {
      const uint64_t chunk = uint64_t{1} << node.walsh_log;
      uint64_t stride = chunk * lanes;
      for (const PaleyFactor& f : node.paley) stride *= f.order;
      for (size_t i = node.paley.size(); i-- > 0;) {
        const PaleyFactor& f = node.paley[i];
        stride /= f.order;
        paley_stage(x, node.n * lanes, f.order, stride, f.columns, f.rows, tmp);
      }
      if (lanes == 1 && chunk < 8) {
        walsh_runs(x, node.n, chunk);
      } else if (chunk > 1) {
        for (uint64_t o = 0; o < node.n * lanes; o += chunk * lanes) walsh_across(x + o, chunk, lanes);
      }
      return;
    }
    case Node::Kind::kDouble: {
      const uint64_t count = uint64_t{1} << node.levels;
      const uint64_t children = node.n >> node.levels;
      apply_transposed(*node.child, x, lanes * count, tmp);
      for (uint64_t i = 0; i < children; ++i) walsh_across(x + i * count * lanes, count, lanes);
      return;
    }
    case Node::Kind::kDrop: {
      const uint64_t n = node.n;
      float* w = x + n * lanes;
      for (uint64_t l = 0; l < lanes; ++l) {
        float sum = 0.0f;
        for (uint64_t i = 0; i < n; ++i) sum = sum + node.column[i] * x[i * lanes + l];
        w[l] = -(sum * node.kappa);
      }
      apply_transposed(*node.child, x, lanes, tmp);
      return;
    }
  }
}

class Builder {
 public:
  Builder(Planner& planner, std::vector<std::vector<float>>& paley) : planner_(planner), paley_(paley) {}

  std::unique_ptr<Node> build(uint64_t n) { return build_drops(n, planner_.choose(n).drops); }

 private:
  std::unique_ptr<Node> build_drops(uint64_t n, uint64_t drops) {
    if (drops == 0) return build_base(n);
    auto child = build_drops(n + 1, drops - 1);
    auto node = std::make_unique<Node>();
    node->kind = Node::Kind::kDrop;
    node->n = n;
    node->gain_squared = child->gain_squared;
    // The child's last column: the child applied to the last unit vector.
    std::vector<float> col(room_floats(*child, 1), 0.0f);
    col[n] = 1.0f;
    std::vector<float> tmp(paley_floats(*child, 1));
    apply(*child, col.data(), 1, tmp.data());
    const float pivot = col[n];
    const float sign = pivot < 0.0f ? -1.0f : 1.0f;
    node->column.resize(n);
    for (uint64_t i = 0; i < n; ++i) node->column[i] = sign * col[i];
    const double sigma = std::sqrt(static_cast<double>(child->gain_squared));
    node->kappa = static_cast<float>(1.0 / (sigma + std::fabs(static_cast<double>(pivot))));
    node->child = std::move(child);
    return node;
  }

  std::unique_ptr<Node> build_base(uint64_t n) {
    auto node = std::make_unique<Node>();
    node->n = n;
    if (const auto& e = planner_.exact(n)) {
      node->kind = Node::Kind::kExact;
      node->gain_squared = n;
      node->walsh_log = e->walsh_log;
      for (const uint64_t p : e->paley) node->paley.push_back(factor(p));
      return node;
    }
    // Even and not exact: the recipe for half ⊗ H_2, merged with a child
    // that is itself a run of halvings.
    auto child = build(n / 2);
    node->kind = Node::Kind::kDouble;
    node->levels = 1;
    if (child->kind == Node::Kind::kDouble) {
      node->levels += child->levels;
      child = std::move(child->child);
    }
    node->gain_squared = child->gain_squared << node->levels;
    node->child = std::move(child);
    return node;
  }

  // The matrix and its transpose, side by side in one buffer.
  PaleyFactor factor(uint64_t p) {
    size_t i = 0;
    while (i < orders_.size() && orders_[i] != p) ++i;
    if (i == orders_.size()) {
      std::vector<float> both = paley_matrix(p);
      both.resize(2 * p * p);
      for (uint64_t u = 0; u < p; ++u) {
        for (uint64_t v = 0; v < p; ++v) both[p * p + v * p + u] = both[u * p + v];
      }
      orders_.push_back(p);
      paley_.push_back(std::move(both));
    }
    return {p, paley_[i].data(), paley_[i].data() + p * p};
  }

  Planner& planner_;
  std::vector<std::vector<float>>& paley_;
  std::vector<uint64_t> orders_;
};

std::string describe_node(const Node& node) {
  std::string s = std::to_string(node.n);
  switch (node.kind) {
    case Node::Kind::kExact: {
      std::string parts;
      if (node.walsh_log > 0) parts = "walsh " + std::to_string(uint64_t{1} << node.walsh_log);
      for (const PaleyFactor& f : node.paley) {
        parts += (parts.empty() ? "paley " : " x paley ") + std::to_string(f.order);
      }
      return s + " = " + (parts.empty() ? "identity" : parts);
    }
    case Node::Kind::kDouble:
      return s + " = (" + describe_node(*node.child) + ") x walsh " + std::to_string(uint64_t{1} << node.levels);
    case Node::Kind::kDrop:
      return s + " = drop 1 of (" + describe_node(*node.child) + ")";
  }
  return s;
}

}  // namespace

GeneralRotation::GeneralRotation(GeneralRotation&&) noexcept = default;
GeneralRotation& GeneralRotation::operator=(GeneralRotation&&) noexcept = default;
GeneralRotation::~GeneralRotation() = default;

namespace {

// Widths dim .. dim rounded up to 32 (at least 32): the flattest estimate,
// then the cheapest, then the narrowest.
uint64_t choose_width(Planner& planner, uint64_t dim) {
  const uint64_t widest = std::max<uint64_t>(32, (dim + 31) / 32 * 32);
  uint64_t width = 0;
  Choice best;
  for (uint64_t m = dim; m <= widest; ++m) {
    const Choice c = planner.choose(m);
    if (c.found() && c.before(best)) {
      best = c;
      width = m;
    }
  }
  return width;
}

}  // namespace

uint64_t GeneralRotation::width_for(uint64_t dim) {
  Planner planner;
  return choose_width(planner, dim);
}

Result<GeneralRotation> GeneralRotation::create(uint64_t dim, uint64_t seed) {
  if (dim == 0) return std::unexpected(IndexError::zero_dimension());
  Planner planner;
  const uint64_t width = choose_width(planner, dim);

  GeneralRotation r;
  r.dim_ = dim;
  r.width_ = width;
  r.root_ = Builder(planner, r.paley_).build(width);
  r.room_ = room_floats(*r.root_, 1);
  r.scratch_size_ = r.room_ + paley_floats(*r.root_, 1);
  r.gain_squared_ = r.root_->gain_squared;
  r.inverse_gain_ = rotation_scale(r.gain_squared_);
  const auto g = static_cast<double>(r.gain_squared_);
  const auto m = static_cast<double>(width);
  r.row_factor_ = static_cast<float>(std::sqrt(m / g));
  r.score_scale_ = static_cast<float>(1.0 / std::sqrt(g * m));
  r.signs_ = sign_sequence(width, seed);
  return r;
}

void GeneralRotation::transform(const float* x, float* out, float* scratch) const {
  const float* s = signs_.data();
  // Drops work past the width: the transform runs in the scratch buffer.
  float* y = room_ > width_ ? scratch : out;
  for (uint64_t i = 0; i < dim_; ++i) y[i] = x[i] * s[i];
  // The padding goes through the sign flip too (a zero keeps its sign bit
  // rule: -0.0 under a minus sign), as if the row had been padded first.
  for (uint64_t i = dim_; i < width_; ++i) y[i] = 0.0f * s[i];
  apply(*root_, y, 1, scratch + room_);
  if (y != out) std::memcpy(out, y, width_ * sizeof(float));
}

void GeneralRotation::transpose(const float* y, float* out, float* scratch) const {
  // The buffer must hold a drop's extra elements: the work runs in scratch.
  std::memcpy(scratch, y, width_ * sizeof(float));
  apply_transposed(*root_, scratch, 1, scratch + room_);
  const float* s = signs_.data();
  for (uint64_t i = 0; i < dim_; ++i) out[i] = scratch[i] * s[i];
}

Result<std::vector<float>> GeneralRotation::rotate_unscaled(std::span<const float> x) const {
  if (x.size() != dim_) return std::unexpected(IndexError::rotation_dimension_mismatch(x.size(), dim_));
  std::vector<float> out(width_);
  std::vector<float> scratch(scratch_size_);
  transform(x.data(), out.data(), scratch.data());
  return out;
}

Result<std::vector<float>> GeneralRotation::rotate(std::span<const float> x) const {
  auto out = rotate_unscaled(x);
  if (!out) return out;
  for (float& v : *out) v = v * inverse_gain_;
  return out;
}

std::string GeneralRotation::describe() const { return describe_node(*root_); }

}  // namespace lodex
