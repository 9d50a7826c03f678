// The scan driver: the store's fixed pieces x groups of queries, run as units
// on the pool, each (piece, query) pair feeding a heap or a match list of its
// own in row order. It sets up on the calling thread everything a batch needs
// (kernels, pieces, one wave's buffers), so that no pool worker allocates; it
// neither checks arguments nor merges the pairs' results (search.cpp does).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "kernels/scan.hpp"
#include "search/first_pass.hpp"
#include "search/search.hpp"
#include "search/top_k.hpp"
#include "store/storage.hpp"

namespace lodex {

// Rows per piece of the fixed split for a store of `len` rows: whole chunks,
// about kTargetPieces pieces. The boundaries depend on nothing but the row
// count, so neither do the results (ties included). Few, long pieces: each
// piece's heap starts empty, and until its root has risen the first pass
// lets most blocks through.
inline constexpr size_t kTargetPieces = 8;
size_t piece_rows_for(size_t len);
// The most rows a piece holds: positions in a piece fit a uint32_t. A
// multiple of kChunkRows.
inline constexpr size_t kMaxPieceRows = size_t{1} << 31;
static_assert(kMaxPieceRows % kChunkRows == 0);

// The split a search with `options` makes of `len` rows: options.piece_rows
// rounded up to whole blocks, or piece_rows_for(len).
struct PieceSplit {
  size_t rows = 0;  // per piece
  size_t count = 0;
};
PieceSplit split_pieces(size_t len, const SearchOptions& options);

// The rows below `len` whose bit is set in `mask`; every row for nullptr.
size_t count_rows(const uint64_t* mask, size_t len);

// A range search's matches of one (piece, query), in row order, in chunks of
// doubling size: a list grows without moving what it holds, and its chunks
// are freed one by one as the merge copies them out (search.cpp). Chunks are
// the one allocation a pool worker makes: a list that cannot grow is marked
// failed and emptied, and the search reports running out of memory after
// the scan.
struct MatchChunk {
  MatchChunk* next;
  size_t size;
  size_t capacity;
  uint64_t* ids;  // capacity of each, in the same allocation
  float* keys;
};

class MatchList {
 public:
  MatchList() = default;
  MatchList(const MatchList&) = delete;
  MatchList& operator=(const MatchList&) = delete;
  ~MatchList() { clear(); }

  void add(uint64_t id, float key) noexcept {
    if (tail_ == nullptr || tail_->size == tail_->capacity) {
      if (failed_ || !grow()) return;
    }
    tail_->ids[tail_->size] = id;
    tail_->keys[tail_->size] = key;
    ++tail_->size;
    ++count_;
  }

  size_t size() const { return count_; }
  bool failed() const { return failed_; }
  const MatchChunk* chunks() const { return head_; }
  // Frees every chunk; the list is empty and not failed.
  void clear() noexcept;
  // Hands the chunks over (the caller frees them with std::free), leaving
  // the list empty.
  MatchChunk* take() noexcept {
    MatchChunk* head = std::exchange(head_, nullptr);
    tail_ = nullptr;
    count_ = 0;
    failed_ = false;
    return head;
  }

 private:
  bool grow() noexcept;

  MatchChunk* head_ = nullptr;
  MatchChunk* tail_ = nullptr;
  size_t count_ = 0;
  bool failed_ = false;
};

// ---- What BatchScan keeps for its units (batch_scan.cpp).

// One query of a wave, prepared before any unit runs.
struct PreparedQuery {
  const float* lanes = nullptr;    // the exact kernels' lane table
  const uint8_t* table = nullptr;  // the first pass's table, when `pass`
  PassPlan plan;
  QueryAdd add;  // the key's query constant
  bool pass = false;
  // An "l2" query whose estimates can be large enough that a row with
  // fl(n * n) = +infinity (n >= 2^64) has a finite key (first_pass.cpp,
  // step 6): it takes no pass over a store holding such a row.
  bool reaches_wide_rows = false;
};

// Per (piece, query): whether the first pass still runs, and the counts
// behind the fallback of kAuto.
struct PieceQuery {
  bool passing = false;
  size_t checked = 0;
  size_t exact_blocks = 0;
};

struct UnitStats {
  size_t blocks_passed = 0;
  size_t blocks_skipped = 0;
  size_t rows_exact = 0;
  size_t fell_back = 0;
};

// Everything the units of one wave share (batch_scan.cpp).
struct Wave;

template <class T>
struct AlignedFree {
  void operator()(T* p) const { ::operator delete[](p, std::align_val_t{kScanTableAlign}); }
};
template <class T>
using AlignedArray = std::unique_ptr<T[], AlignedFree<T>>;
template <class T>
AlignedArray<T> aligned_array(size_t n) {
  return AlignedArray<T>(static_cast<T*>(::operator new[](std::max<size_t>(n, 1) * sizeof(T),
                                                          std::align_val_t{kScanTableAlign})));
}

// What a batch scan of either kind sets up once: the kernels, the fixed
// pieces, and the buffers of one wave of queries (rotations, tables, pass
// plans, states). Everything is allocated here, on the calling thread, so
// that no worker allocates; a wave's queries are then prepared and scanned
// on the pool. `sink_bytes` is what the caller keeps per query besides
// (heaps), for sizing the waves.
class BatchScan {
 public:
  BatchScan(const Storage& storage, const ScanModel& model, uint8_t bits, std::span<const float> codebook,
            const float* queries, size_t n, size_t sink_bytes, const SearchOptions& options);

  size_t wave_cap() const { return wave_cap_; }
  size_t pieces() const { return split_.count; }
  const SearchStats& stats() const { return total_; }

  // Prepares queries [first, first + count) and scans them: query first + q's
  // best rows of piece p into heaps[q * pieces() + p] ...
  void scan_top_k(size_t first, size_t count, TopKHeap* heaps);
  // ... or its rows with a key at least `floor` into lists[q * pieces() + p].
  void scan_range(size_t first, size_t count, MatchList* lists, float floor);

 private:
  template <class Sink>
  void scan(size_t first, size_t count, const Sink& sink);
  void prepare(size_t first, size_t count);
  Wave wave_of(size_t count);
  void add_stats(size_t count, size_t units);
  bool holds_wide_rows();

  const Storage& storage_;
  const ScanModel& model_;
  uint8_t bits_;
  std::span<const float> codebook_;
  const float* queries_;
  const SearchOptions& options_;
  const ScanKernels& kernels_;
  PassKernel pass_kernel_;
  PieceSplit split_;
  size_t table_bytes_ = 0;
  size_t scratch_stride_ = 0;
  size_t wave_cap_ = 0;
  size_t bunches_wanted_ = 1;
  AlignedArray<float> rotated_;
  AlignedArray<float> lanes_;
  AlignedArray<uint8_t> tables_;
  AlignedArray<uint32_t> gathered_;  // per unit, when rows are copied
  ScanMixedFn mixed_ = nullptr;
  AlignedArray<float> centroids_;
  AlignedArray<float> transposed_;
  std::vector<float> scratch_;
  std::vector<PreparedQuery> prepared_;
  std::vector<PieceQuery> states_;
  std::vector<UnitStats> unit_stats_;
  SearchStats total_;
  std::optional<bool> wide_rows_;  // holds_wide_rows, found on first need
};

}  // namespace lodex
