// The searches' entry points: the checks and shortcuts of a batch or range
// search, then waves of queries through the scan driver (batch_scan.hpp) and
// each query's piece results merged in piece order into its output row.
// Errors are returned as values; nothing here throws except std::bad_alloc.
#include "search/search.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

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

// Every query's matches between the scan and the merge: one chain of chunks
// a query, its pieces' lists joined in piece order (so its rows are in
// storage order). Frees what the merge has not.
class MatchChains {
 public:
  explicit MatchChains(size_t n) : heads_(n, nullptr) {}
  MatchChains(const MatchChains&) = delete;
  MatchChains& operator=(const MatchChains&) = delete;
  ~MatchChains() {
    for (MatchChunk* head : heads_) free_chain(head);
  }

  // Takes query q's lists, lists[0 .. pieces), leaving them empty.
  void take(size_t q, MatchList* lists, size_t pieces) {
    MatchChunk** link = &heads_[q];
    for (size_t p = 0; p < pieces; ++p) {
      MatchChunk* head = lists[p].take();
      *link = head;
      while (*link != nullptr) link = &(*link)->next;
    }
  }
  MatchChunk*& head(size_t q) { return heads_[q]; }

  static void free_chain(MatchChunk* chunk) noexcept {
    while (chunk != nullptr) std::free(std::exchange(chunk, chunk->next));
  }

 private:
  std::vector<MatchChunk*> heads_;
};

// A match's key and its place among its query's matches, in storage order:
// what the merge sorts (half the bytes of a ScoredResult when a query's
// matches are counted in 32 bits).
template <class Place>
struct KeyAt {
  float score;
  Place at;
};

// Copies each query's chain into its slice of the output, freeing each chunk
// once copied, and sorts the slice in place: best key first, equal keys in
// storage order. `scratch` holds two KeyAt a match of the round.
template <class Place>
class RangeMergeWork final : public IndexedWork {
 public:
  RangeMergeWork(MatchChains& chains, RangeResults& out, size_t first_query, std::span<KeyAt<Place>> scratch)
      : chains_(chains), out_(out), first_query_(first_query), scratch_(scratch) {}

  void run(size_t i) noexcept override {
    const size_t q = first_query_ + i;
    const auto at = static_cast<size_t>(out_.lims[q]);
    const auto m = static_cast<size_t>(out_.lims[q + 1]) - at;
    if (m == 0) return;  // no chunk, and no memory to point into
    const auto base = static_cast<size_t>(out_.lims[first_query_]);
    KeyAt<Place>* sorted = scratch_.data() + 2 * (at - base);
    KeyAt<Place>* spare = sorted + m;
    uint64_t* ids = out_.ids.data() + at;
    float* keys = out_.keys.data() + at;
    size_t j = 0;
    for (MatchChunk* chunk = std::exchange(chains_.head(q), nullptr); chunk != nullptr;) {
      for (size_t r = 0; r < chunk->size; ++r, ++j) {
        ids[j] = chunk->ids[r];
        sorted[j] = {chunk->keys[r], static_cast<Place>(j)};
      }
      std::free(std::exchange(chunk, chunk->next));
    }
    stable_sort_best_first(sorted, spare, m);
    // The spare half holds the ids in storage order while they are put in
    // rank order (8 bytes a match either way).
    static_assert(sizeof(KeyAt<Place>) >= sizeof(uint64_t));
    auto* bytes = reinterpret_cast<unsigned char*>(spare);
    std::memcpy(bytes, ids, m * sizeof(uint64_t));
    for (size_t r = 0; r < m; ++r) {
      std::memcpy(&ids[r], bytes + static_cast<size_t>(sorted[r].at) * sizeof(uint64_t), sizeof(uint64_t));
      keys[r] = sorted[r].score;
    }
  }

 private:
  MatchChains& chains_;
  RangeResults& out_;
  size_t first_query_;
  std::span<KeyAt<Place>> scratch_;
};

// The fewest matches a merge round takes: below this, what a round would
// hand back is not worth the pause.
constexpr size_t kMinRangeRound = size_t{1} << 18;

// Merges every query in rounds of about `round` matches (whole queries),
// handing the freed chunks back to the system after each, so that the lists
// shrink as the output fills.
template <class Place>
void merge_ranges(MatchChains& chains, RangeResults& out, size_t round, size_t max_threads) {
  const size_t n = out.queries;
  std::vector<KeyAt<Place>> scratch;
  for (size_t first = 0; first < n;) {
    size_t end = first + 1;
    while (end < n && out.lims[end] - out.lims[first] < round) ++end;
    scratch.resize(2 * static_cast<size_t>(out.lims[end] - out.lims[first]));
    RangeMergeWork<Place> merge(chains, out, first, scratch);
    parallel_for(end - first, merge, max_threads);
    first = end;
#if defined(__GLIBC__)
    // glibc keeps small freed blocks in its arenas, where the output (large
    // blocks, mapped apart) never reuses them.
    if (first < n) malloc_trim(0);
#endif
  }
}

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
  std::vector<MatchList> lists(wave_cap * pieces);
  // The output's length is known only once every wave is scanned; until then
  // each query's matches wait in its chain.
  MatchChains chains(n);
  size_t widest = 0;  // the most matches of one query
  for (size_t first = 0; first < n; first += wave_cap) {
    const size_t count = std::min(wave_cap, n - first);
    scan.scan_range(first, count, lists.data(), floor);
    for (size_t q = 0; q < count; ++q) {
      uint64_t total = 0;
      for (size_t p = 0; p < pieces; ++p) {
        const MatchList& list = lists[q * pieces + p];
        if (list.failed()) return std::unexpected(IndexError::out_of_memory());
        total += list.size();
      }
      out.lims[first + q + 1] = out.lims[first + q] + total;
      widest = std::max(widest, static_cast<size_t>(total));
      chains.take(first + q, lists.data() + q * pieces, pieces);
    }
  }
  const auto matches = static_cast<size_t>(out.lims[n]);
  out.ids = MallocArray<uint64_t>(matches);
  out.keys = MallocArray<float>(matches);
  // Rounds of a sixteenth of the matches: the chunks still held and a
  // round's scratch add about that much to the output. A small search
  // merges in one round.
  const size_t round = std::max<size_t>(matches / 16, kMinRangeRound);
  if (widest <= UINT32_MAX) {
    merge_ranges<uint32_t>(chains, out, round, options.max_threads);
  } else {
    merge_ranges<uint64_t>(chains, out, round, options.max_threads);
  }
  if (options.stats != nullptr) *options.stats = scan.stats();
  return out;
}

}  // namespace lodex
