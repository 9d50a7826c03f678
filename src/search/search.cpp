// The searches' entry points: the checks and shortcuts of a batch or range
// search, then waves of queries through the scan driver (batch_scan.hpp) and
// each query's piece results merged in piece order into its output row.
// Errors are returned as values; nothing here throws except std::bad_alloc.
#include "search/search.hpp"

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "pool.hpp"
#include "quant/codebook.hpp"
#include "search/batch_scan.hpp"
#include "search/top_k.hpp"

namespace lodex {

namespace {

// Sorts each query's piece heaps best first and merges them by
// ranks_before into its output row (a fixed order, whatever thread ran
// which piece); `cursors` holds a cursor per piece and query.
class MergeWork final : public IndexedWork {
 public:
  MergeWork(TopKHeap* heaps, size_t pieces, uint64_t piece_rows, size_t* cursors, BatchResults& out,
            size_t first_query)
      : heaps_(heaps), pieces_(pieces), piece_rows_(piece_rows), cursors_(cursors), out_(out),
        first_query_(first_query) {}

  void run(size_t i) noexcept override {
    TopKHeap* mine = heaps_ + i * pieces_;
    for (size_t p = 0; p < pieces_; ++p) mine[p].sort_best_first();
    const size_t m = out_.per_query;
    const size_t at = (first_query_ + i) * m;
    size_t r = 0;
    // Exactly m entries: every searchable row was offered to some piece heap.
    auto list = [&](size_t p) { return std::span<const ScoredResult>(mine[p].entries()); };
    merge_pieces(pieces_, list, piece_rows_, cursors_ + i * pieces_, m, [&](const ScoredResult& x, uint64_t pos) {
      out_.ids[at + r] = x.id;
      out_.scores[at + r] = x.score;
      if (!out_.rows.empty()) out_.rows[at + r] = pos;
      ++r;
    });
  }

 private:
  TopKHeap* heaps_;
  size_t pieces_;
  uint64_t piece_rows_;
  size_t* cursors_;
  BatchResults& out_;
  size_t first_query_;
};

// Sorts each query's piece lists best first (`scratch` as long as the
// wave's output) and merges them by ranks_before into its slice of the
// output.
class RangeMergeWork final : public IndexedWork {
 public:
  RangeMergeWork(MatchList* lists, size_t pieces, uint64_t piece_rows, size_t* cursors, RangeResults& out,
                 size_t first_query, std::span<ScoredResult> scratch)
      : lists_(lists), pieces_(pieces), piece_rows_(piece_rows), cursors_(cursors), out_(out),
        first_query_(first_query), scratch_(scratch) {}

  void run(size_t i) noexcept override {
    const size_t q = first_query_ + i;
    const size_t begin = static_cast<size_t>(out_.lims[q] - out_.lims[first_query_]);
    MatchList* mine = lists_ + i * pieces_;
    for (size_t p = 0; p < pieces_; ++p) {
      std::vector<ScoredResult>& rows = mine[p].rows;
      sort_results(rows, scratch_.subspan(begin, rows.size()));
    }
    const auto at = static_cast<size_t>(out_.lims[q]);
    const auto count = static_cast<size_t>(out_.lims[q + 1] - out_.lims[q]);
    size_t r = 0;
    auto list = [&](size_t p) { return std::span<const ScoredResult>(mine[p].rows); };
    merge_pieces(pieces_, list, piece_rows_, cursors_ + i * pieces_, count, [&](const ScoredResult& x, uint64_t) {
      out_.ids[at + r] = x.id;
      out_.keys[at + r] = x.score;
      ++r;
    });
  }

 private:
  MatchList* lists_;
  size_t pieces_;
  uint64_t piece_rows_;
  size_t* cursors_;
  RangeResults& out_;
  size_t first_query_;
  std::span<ScoredResult> scratch_;
};

// The checks every batch makes before it scans, in order: the query width,
// then (after the caller's shortcut) the codebook.
std::optional<IndexError> check_width(const ScanModel& model, size_t query_dim) {
  if (query_dim != model.dim) return IndexError::query_dimension_mismatch(query_dim, model.dim);
  return std::nullopt;
}

}  // namespace

Result<BatchResults> search_batch(const Storage& storage, const ScanModel& model, uint8_t bits,
                                                      std::span<const float> queries, size_t n, size_t query_dim,
                                                      uint64_t k, const SearchOptions& options) {
  // The length is checked before the shortcuts: a wrong query is an error
  // even when there is nothing to search.
  if (auto error = check_width(model, query_dim)) return std::unexpected(std::move(*error));
  const size_t len = storage.len();
  const size_t searchable = count_rows(options.row_mask, len);
  BatchResults out;
  out.queries = n;
  out.per_query = static_cast<size_t>(std::min<uint64_t>(k, searchable));
  if (options.stats != nullptr) *options.stats = SearchStats{};
  if (n == 0 || out.per_query == 0) return out;
  auto codebook = centroids(bits);
  if (!codebook) return std::unexpected(IndexError::in_search(codebook.error()));

  const size_t m = out.per_query;
  out.ids.resize(n * m);
  out.scores.resize(n * m);
  if (options.keep_rows) out.rows.resize(n * m);

  // A piece heap's room: min(m, the piece's rows) + 1; a cursor per piece.
  const PieceSplit split = split_pieces(len, options);
  const size_t pieces = split.count;
  auto heap_slots = [&](size_t p) { return std::min(m, std::min(split.rows, len - p * split.rows)) + 1; };
  size_t heap_room = 0;  // per query
  for (size_t p = 0; p < pieces; ++p) heap_room += heap_slots(p);
  const size_t sink_bytes = heap_room * sizeof(ScoredResult) + pieces * sizeof(size_t);

  BatchScan scan(storage, model, bits, *codebook, queries.data(), n, sink_bytes, options);
  const size_t wave_cap = scan.wave_cap();
  std::vector<ScoredResult> room(wave_cap * heap_room);
  std::vector<TopKHeap> heaps;
  heaps.reserve(wave_cap * pieces);
  std::vector<size_t> cursors(wave_cap * pieces);
  for (size_t first = 0; first < n; first += wave_cap) {
    const size_t count = std::min(wave_cap, n - first);
    heaps.clear();
    size_t offset = 0;
    for (size_t q = 0; q < count; ++q) {
      for (size_t p = 0; p < pieces; ++p) {
        heaps.emplace_back(std::span(room).subspan(offset, heap_slots(p)), m);
        offset += heap_slots(p);
      }
    }
    scan.scan_top_k(first, count, heaps.data());
    MergeWork merge(heaps.data(), pieces, split.rows, cursors.data(), out, first);
    parallel_for(count, merge, options.max_threads);
  }
  if (options.stats != nullptr) *options.stats = scan.stats();
  return out;
}

Result<RangeResults> search_range(const Storage& storage, const ScanModel& model, uint8_t bits,
                                  std::span<const float> queries, size_t n, size_t query_dim, float floor,
                                  const SearchOptions& options) {
  if (auto error = check_width(model, query_dim)) return std::unexpected(std::move(*error));
  RangeResults out;
  out.queries = n;
  out.lims.assign(n + 1, 0);
  if (options.stats != nullptr) *options.stats = SearchStats{};
  if (n == 0 || count_rows(options.row_mask, storage.len()) == 0) return out;
  auto codebook = centroids(bits);
  if (!codebook) return std::unexpected(IndexError::in_search(codebook.error()));

  BatchScan scan(storage, model, bits, *codebook, queries.data(), n, 0, options);
  const size_t wave_cap = scan.wave_cap();
  const size_t pieces = scan.pieces();
  const uint64_t piece_rows = split_pieces(storage.len(), options).rows;
  std::vector<MatchList> lists(wave_cap * pieces);
  std::vector<size_t> cursors(wave_cap * pieces);
  std::vector<ScoredResult> scratch;
  for (size_t first = 0; first < n; first += wave_cap) {
    const size_t count = std::min(wave_cap, n - first);
    for (MatchList& list : lists) {
      list.rows.clear();
      list.failed = false;
    }
    scan.scan_range(first, count, lists.data(), floor);
    for (size_t q = 0; q < count; ++q) {
      uint64_t total = 0;
      for (size_t p = 0; p < pieces; ++p) {
        const MatchList& list = lists[q * pieces + p];
        if (list.failed) return std::unexpected(IndexError::out_of_memory());
        total += list.rows.size();
      }
      out.lims[first + q + 1] = out.lims[first + q] + total;
    }
    const auto wave_rows = static_cast<size_t>(out.lims[first + count] - out.lims[first]);
    out.ids.resize(static_cast<size_t>(out.lims[first + count]));
    out.keys.resize(out.ids.size());
    scratch.resize(wave_rows);
    RangeMergeWork merge(lists.data(), pieces, piece_rows, cursors.data(), out, first, scratch);
    parallel_for(count, merge, options.max_threads);
  }
  if (options.stats != nullptr) *options.stats = scan.stats();
  return out;
}

}  // namespace lodex
