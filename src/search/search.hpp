// The core's one way to search: a batch of queries' top k, or every row above
// a floor, over one store with the index's rotation and metric; the options,
// results and statistics of a search. Runs with the interpreter lock released
// and the index's shared lock held; reads the store, writes nothing shared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <expected>
#include <new>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "kernels/cpu.hpp"
#include "errors.hpp"
#include "search/metric.hpp"
#include "rotation/rotator.hpp"
#include "store/storage.hpp"

namespace lodex {

// Which scan a search runs. kAuto takes the integer first pass where the
// level has one of its own; kFast forces it wherever the store's shape allows
// (the scalar pass standing in for a level without one) and never gives it
// up; kExact never takes it. Results are the same on every path.
enum class ScanPath : uint8_t { kAuto, kExact, kFast };

// What a search ran, for tests and benchmarks. Counts are summed over queries.
struct SearchStats {
  SimdLevel level = SimdLevel::kScalar;
  size_t pieces = 0;          // pieces of the fixed split; 0 when no scan ran
  size_t units = 0;           // (piece, query group) units handed out
  size_t fast_queries = 0;    // queries whose scan took the first pass
  size_t blocks_passed = 0;   // (block, query) pairs the first pass looked at
  size_t blocks_skipped = 0;  // of those, the ones left without exact scores
  size_t rows_exact = 0;      // (row, query) pairs scored exactly
  size_t fell_back = 0;       // (piece, query) pairs that gave the first pass up
};

struct SearchOptions {
  // The kernel level; unset means the best the machine supports. A level the
  // machine lacks runs the best supported one below it.
  std::optional<SimdLevel> level;
  ScanPath path = ScanPath::kAuto;
  // 0: every pool worker; else at most this many threads (the calling
  // thread included) work on this call.
  size_t max_threads = 0;
  // Bit i of word i / 64 set: row i is searchable. nullptr: every row. Must
  // cover len() bits.
  const uint64_t* row_mask = nullptr;
  SearchStats* stats = nullptr;
  // Rows per piece (rounded up to a multiple of kBlockRows); 0 means
  // piece_rows_for(len) (batch_scan.hpp). For tests.
  size_t piece_rows = 0;
  // Fill BatchResults::rows (for re-ranking's ties).
  bool keep_rows = false;
};

// Row-major n x m results of a batch: query i's results best first at
// [i * per_query, (i + 1) * per_query). `scores` hold keys (metric.hpp):
// scores themselves for every metric but "l2".
struct BatchResults {
  size_t queries = 0;
  size_t per_query = 0;  // m = min(k, searchable rows)
  std::vector<uint64_t> ids;
  std::vector<float> scores;
  // With SearchOptions::keep_rows, each result's row in the store searched
  // (beside ids and scores); else empty.
  std::vector<uint64_t> rows;
};

// n values of T in memory from std::malloc, left unwritten until their
// owner writes them (so that untouched pages cost nothing), freed with
// std::free unless release() handed them on: a range search's output
// becomes NumPy's arrays without a copy.
template <class T>
class MallocArray {
 public:
  MallocArray() = default;
  explicit MallocArray(size_t n) : size_(n) {
    if (n == 0) return;
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    data_ = static_cast<T*>(std::malloc(n * sizeof(T)));
    if (data_ == nullptr) throw std::bad_alloc();
  }
  MallocArray(MallocArray&& other) noexcept : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  MallocArray& operator=(MallocArray&& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    return *this;
  }
  ~MallocArray() { std::free(data_); }

  T* data() const { return data_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T* begin() const { return data_; }
  T* end() const { return data_ + size_; }
  T& operator[](size_t i) const { return data_[i]; }
  // The values, the caller's to free with std::free; the array is left empty.
  T* release() {
    size_ = 0;
    return std::exchange(data_, nullptr);
  }

 private:
  T* data_ = nullptr;
  size_t size_ = 0;
};

// The matches of a range search: query i's at [lims[i], lims[i + 1]), best
// key first, equal keys in storage order.
struct RangeResults {
  size_t queries = 0;
  std::vector<uint64_t> lims;  // queries + 1 offsets
  MallocArray<uint64_t> ids;
  MallocArray<float> keys;
};

// How a search turns its queries into tables and its rows' estimates into
// keys: the index's rotation (its code_width() is the store's dim()) and
// metric. A search with nothing to scan reads only `dim`.
struct ScanModel {
  uint64_t dim = 0;  // of the vectors, and of the queries
  const Rotator* rotator = nullptr;
  MetricModel metric;
};

// The best min(k, searchable rows) rows by key, equal keys the earlier row
// first and kept at the cut-off (top_k.hpp's ranks_before), for each of n queries of query_dim floats, row-major in
// `queries` (at least n * query_dim values). query_dim != model.dim fails
// first, even for n = 0 or k = 0; then the n == 0 / nothing-to-return
// shortcut, then the codebook. Query i's row equals a search of query i
// alone exactly, whatever else the batch holds.
Result<BatchResults> search_batch(const Storage& storage, const ScanModel& model, uint8_t bits,
                                                      std::span<const float> queries, size_t n, size_t query_dim,
                                                      uint64_t k, const SearchOptions& options = {});

// Every searchable row whose key is at least `floor` (metric.hpp's
// range_floor), for each of n queries, with the checks of search_batch.
// The first pass skips rows whose bound is below the floor. Matches are
// gathered per (piece, query) as the scan finds them; a list that cannot
// grow ends the search with OutOfMemory once the scan is done.
Result<RangeResults> search_range(const Storage& storage, const ScanModel& model, uint8_t bits,
                                  std::span<const float> queries, size_t n, size_t query_dim, float floor,
                                  const SearchOptions& options = {});

}  // namespace lodex
