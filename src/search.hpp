// Query preparation, per-row scoring, the parallel scan and top-k selection.
// Runs with the interpreter lock released and the index's shared lock held;
// reads the store, writes nothing shared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "cpu.hpp"
#include "errors.hpp"
#include "storage.hpp"

namespace lodex {

struct ScoredResult {
  uint64_t id;
  float score;
};

// Per-query lookup table: entries[j * n_centroids + c] = centroid[c] * r[j].
struct QueryTable {
  std::vector<float> entries;
  size_t n_centroids = 0;
};

QueryTable build_query_table(std::span<const float> rotated_query, std::span<const float> centroids);

// The reference scorer: the row's table entries summed in coordinate order
// from +0.0, then sum * (norm * scale); a NaN sum is returned as it is.
float score_row(const QueryTable& table, uint8_t bits, uint64_t dim, float scale, std::span<const uint8_t> codes,
                float norm);

// A bounded min-heap over caller-provided room for bound + 1 entries: the
// root (position 0) holds a lowest score, no parent scores strictly above a
// child. Comparisons are float32 `>`, false for NaN, so NaN scores never make
// an operation loop or leave the room.
class TopKHeap {
 public:
  TopKHeap(std::span<ScoredResult> room, size_t bound) : room_(room), bound_(bound) {}

  size_t size() const { return len_; }
  size_t bound() const { return bound_; }
  bool full() const { return len_ >= bound_; }
  float root_score() const { return room_[0].score; }
  // The heap in array order (not sorted).
  std::span<ScoredResult> entries() const { return room_.first(len_); }

  void push(ScoredResult x);
  // Discards the root; only used right after a push that made size() = bound + 1.
  void pop_root();
  // Push, then pop the root if the heap went over its bound.
  void offer(ScoredResult x) {
    push(x);
    if (len_ > bound_) pop_root();
  }
  void clear() { len_ = 0; }

 private:
  std::span<ScoredResult> room_;
  size_t bound_;
  size_t len_ = 0;
};

// Offers b's entries to a in b's array order.
void merge_top_k(TopKHeap& a, const TopKHeap& b);

// Stable sort by descending score: x before y exactly when x.score > y.score;
// equal (or unordered) scores keep their order.
void sort_results(std::span<ScoredResult> results);

// What a search ran, for tests and benchmarks.
struct SearchStats {
  SimdLevel level = SimdLevel::kScalar;
  size_t pieces = 0;  // 0 when no scan ran
};

// Rows per piece below which a range is not split: waking a worker costs
// about as much as scanning a few thousand rows.
inline constexpr size_t kMinPieceRows = 4096;

struct SearchOptions {
  // The kernel level; unset means the best the machine supports. A level the
  // machine lacks runs the best supported one below it.
  std::optional<SimdLevel> level;
  // Pieces to split the rows into at most; 0 means the pool's worker count.
  size_t split_budget = 0;
  size_t min_piece_rows = kMinPieceRows;
  SearchStats* stats = nullptr;
};

// The results of several queries, row-major n x m.
struct BatchResults {
  size_t queries = 0;    // n
  size_t per_query = 0;  // m = min(k, searchable rows)
  std::vector<uint64_t> ids;
  std::vector<float> scores;
};

// The best min(k, len) rows by descending score (stable sort, no secondary
// key). The query length is checked first, then the k == 0 / empty shortcut.
std::expected<std::vector<ScoredResult>, SearchError> search(const Storage& storage, std::span<const float> signs,
                                                             uint8_t bits, std::span<const float> query, uint64_t k);
std::expected<std::vector<ScoredResult>, SearchError> search(const Storage& storage, std::span<const float> signs,
                                                             uint8_t bits, std::span<const float> query, uint64_t k,
                                                             const SearchOptions& options);

}  // namespace lodex
