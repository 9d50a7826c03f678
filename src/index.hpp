// The index itself: its parameters, its rotation, its row store and the
// reader-writer lock that guards them. Every method of the Python type works
// through this class; it never sees a Python object. Operations take the
// lock themselves, so callers give up the interpreter lock first.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "errors.hpp"
#include "format/index_file.hpp"
#include "index_params.hpp"
#include "search/metric.hpp"
#include "search/rerank.hpp"
#include "rotation/rotator.hpp"
#include "search/search.hpp"
#include "store/storage.hpp"

namespace lodex {

// A writer-preferring reader-writer lock. With the usual reader preference a
// steady stream of searches keeps a writer waiting forever. Preference is
// safe because no thread takes the shared lock twice. The try forms let a
// caller that holds the interpreter lock avoid ever blocking on this one.
class RwLock {
 public:
  RwLock();
  ~RwLock();
  RwLock(const RwLock&) = delete;
  RwLock& operator=(const RwLock&) = delete;

  void lock();
  void unlock();
  void lock_shared();
  void unlock_shared();
  bool try_lock();
  bool try_lock_shared();

  // In a child of fork(): forget every holder and waiter of the parent.
  void reset_after_fork();

 private:
  pthread_rwlock_t lock_;
};

// What a search of the index may be asked besides its queries and k.
// Index::search checks every value here, with the Python method's messages.
struct IndexSearchOptions {
  // The scan's own settings (level, path, statistics, for tests and
  // benchmarks); its max_threads and row_mask are set from `threads` and
  // `allow`.
  SearchOptions scan;
  // Only rows whose id is in this list are searched (nullptr: every row).
  const std::vector<uint64_t>* allow = nullptr;
  // Threads working on the call, the calling one included: 1 to the pool's
  // workers; unset, all of them.
  std::optional<uint64_t> threads;
  // With `rerank`, the best `candidates` rows of each query by compressed
  // score (at least k; unset, 4 * k) are scored again by their exact inner
  // product with their original vectors, and the best k by that score are
  // returned with it. `candidates` without `rerank` is an error.
  const RerankSource* rerank = nullptr;
  std::optional<uint64_t> candidates;
};

class Index {
 public:
  // Checks `dim` (a non-zero power of two) and `bits` (2 to 5) with the
  // constructor's messages, then builds the sign vector.
  static Result<std::unique_ptr<Index>> create(uint64_t dim, uint8_t bits, bool use_qjl, uint64_t seed);
  // Any parameters: `dim` as the rotation requires (a power of two, or at
  // least 1 for the general rotation), then `bits`, then the centre (dim
  // finite floats, or none). Builds the rotation.
  static Result<std::unique_ptr<Index>> create(IndexParams params);
  // An index read from a file or from the bytes `to_bytes` gives. Its sign
  // vector is built when an operation first needs it, so opening a file
  // costs what the file holds, whatever dimension its header claims.
  static Result<std::unique_ptr<Index>> load(const std::string& path, const StopOnSignal& stop_on_signal = {});
  // An index served from a read-only shared memory map of the mappable file
  // at `path` (map_index_file): opening costs what the header costs, or,
  // with `warm`, reading the whole file once. Its rows can be searched,
  // read, saved and copied, never changed.
  static Result<std::unique_ptr<Index>> map(const std::string& path, bool warm);
  static Result<std::unique_ptr<Index>> from_bytes(std::span<const uint8_t> bytes);

  ~Index();
  Index(const Index&) = delete;
  Index& operator=(const Index&) = delete;

  // Fixed for the index's life (the store never changes its parameters):
  // read without the lock. dim() is the vectors' (the store's is the code
  // width).
  uint64_t dim() const { return params_.dim; }
  uint8_t bits() const { return params_.bits; }
  bool use_qjl() const { return params_.use_qjl; }
  uint64_t seed() const { return params_.seed; }
  Metric metric() const { return params_.metric; }
  RotationKind rotation() const { return params_.rotation; }
  const IndexParams& params() const { return params_; }
  // The centre (empty: none). An index made with center_pending has none
  // until its first batch fixes it, under the exclusive lock: read these two
  // with the lock held in either mode (or, with the GIL, where no thread
  // can be adding).
  std::span<const float> center() const { return params_.center; }
  bool center_pending() const { return params_.center_pending; }
  // Whether the rows are a read-only memory map: add and remove then fail
  // with InvalidArgument and change nothing.
  bool read_only() const { return storage_.read_only(); }

  // For callers that must not block while holding the interpreter lock:
  // they try it first and wait only after giving that lock up.
  RwLock& lock() const { return lock_; }
  // The row count; the caller holds the lock in either mode.
  size_t size_locked() const { return storage_.len(); }

  // The operations below take the lock themselves.

  // Appends one row per id, encoded in matrix order from n x dim float32
  // values at `rows`, at any byte address (FloatRows). All or nothing: a
  // failure (memory running out included) leaves the rows as they were.
  // With center_pending, the first non-empty batch (at least 2 rows, with a
  // finite mean) first fixes the centre as mean_row of its rows.
  Status add(std::span<const uint64_t> ids, const void* rows, size_t n);

  // The best min(k, searchable rows) rows for each of n queries of
  // `query_dim` floats (or, re-ranking, min(k, candidates, searchable
  // rows)). Checks, in this order: `threads`, `candidates`, the query
  // width, the re-rank matrix's width; then the rerank ids as they come.
  // Scores are the metric's (ascending distances for "l2"), keys turned
  // into scores; re-ranking computes the metric's exact score.
  Result<BatchResults> search(std::span<const float> queries, size_t n, size_t query_dim, uint64_t k,
                              const IndexSearchOptions& options = {}) const;
  // Every searchable row scoring at least `threshold` (at most, for "l2")
  // for each query, best first. Checks, in this order: `threads`, the
  // threshold (not NaN), the query width. `rerank` and `candidates` must be
  // unset.
  Result<RangeResults> search_range(std::span<const float> queries, size_t n, size_t query_dim, double threshold,
                                    const IndexSearchOptions& options = {}) const;

  // Writes the file (index_file.hpp: the .ldx format for plain parameters
  // unless `mappable`). An index whose centre is still pending has no file:
  // both refuse it with InvalidArgument.
  Status save(const std::string& path, bool mappable = false) const;
  // Exactly the bytes `save` writes.
  Result<std::vector<uint8_t>> to_bytes(bool mappable = false) const;

  // Removes every row whose id is listed; returns how many went. The store
  // is compacted at once, so memory and scan time come back immediately
  // (the id list too is freed before the memory goes back to the system).
  Result<size_t> remove(std::vector<uint64_t> ids);
  bool contains(uint64_t id) const;
  // Decodes the first row of each id into out (ids.size() * dim floats):
  // scaled as the metric scores it, the centre added back. Returns the first
  // id no row has, in which case out is unspecified.
  Result<std::optional<uint64_t>> get(std::span<const uint64_t> ids, float* out) const;

  // The centre center="mean" fixes from a first batch of n x dim floats at
  // `rows` (any byte address): mean_row of them, refused (InvalidArgument)
  // for fewer than 2 rows or a mean that is not finite. The coordinator of a
  // sharded index fixes its shards' one centre with it.
  static Result<std::vector<float>> first_batch_mean(Metric metric, const void* rows, size_t n, uint64_t dim);

 private:
  Index(IndexParams params, Storage storage);
  static Result<std::unique_ptr<Index>> adopt(Result<StoredIndex> stored);
  // Fixes a pending centre from the first batch (add's caller holds the lock).
  Status fix_mean_center(const void* rows, size_t n);
  static IndexError pending_center_error();
  // The error of a change to a read-only index; `what` is the operation.
  IndexError read_only_error(const char* what) const;
  // The rotation, built on first use (under either mode of the lock).
  Result<const Rotator*> rotator() const;
  // The scan's view of the rotation and the metric.
  Result<ScanModel> scan_model() const;
  // Runs `scan` on the store, or on the rows `allow` lets through (a mask,
  // or a gathered store when they are few), with the mask set in `options`.
  template <class Scan>
  auto scan_allowed(const std::vector<uint64_t>* allow, SearchOptions& options, Scan&& scan) const;

  mutable RwLock lock_;
  IndexParams params_;
  Storage storage_;
  std::string mapped_path_;  // the file of a mapped index
  mutable std::once_flag rotator_once_;
  mutable std::optional<Rotator> rotator_;

  // Every live index, so that a fork can wait for all of them to be idle.
  friend struct IndexRegistry;
  Index* prev_ = nullptr;
  Index* next_ = nullptr;
};

}  // namespace lodex
