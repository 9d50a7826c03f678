// The index: parameters, lazily built sign vector, row store, lock, and the
// operations on them. Memory exhaustion is caught here and returned as an
// error value; a failed operation leaves the rows exactly as they were.
#include "index.hpp"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <limits>
#include <new>
#include <shared_mutex>
#include <string>
#include <utility>

#include "quant/decode.hpp"
#include "quant/encode.hpp"
#include "store/float_rows.hpp"
#include "store/id_table.hpp"
#include "format/index_file.hpp"
#include "pool.hpp"
#include "search/rerank.hpp"

namespace lodex {

// ---------------------------------------------------------------------------
// The lock.

RwLock::RwLock() {
  pthread_rwlockattr_t attr;
  pthread_rwlockattr_init(&attr);
#if defined(__GLIBC__)
  pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
#endif
  pthread_rwlock_init(&lock_, &attr);
  pthread_rwlockattr_destroy(&attr);
}

RwLock::~RwLock() { pthread_rwlock_destroy(&lock_); }

void RwLock::lock() { pthread_rwlock_wrlock(&lock_); }
void RwLock::unlock() { pthread_rwlock_unlock(&lock_); }
void RwLock::lock_shared() { pthread_rwlock_rdlock(&lock_); }
void RwLock::unlock_shared() { pthread_rwlock_unlock(&lock_); }
bool RwLock::try_lock() { return pthread_rwlock_trywrlock(&lock_) == 0; }
bool RwLock::try_lock_shared() { return pthread_rwlock_tryrdlock(&lock_) == 0; }

void RwLock::reset_after_fork() {
  // The parent's threads do not exist here, and the forking thread's own
  // hold cannot be released by an unlock: glibc checks the writer's thread
  // id, which fork() changed. A fresh lock over the old one is the only
  // state that matches the child.
  new (this) RwLock();
}

// ---------------------------------------------------------------------------
// The registry of live indexes, and fork(). Before a fork every index is
// locked exclusively, so no operation is half done in the child: each index
// it inherits is consistent and unlocked. Waiting here is safe although the
// forking thread holds the interpreter lock: no holder of an index lock ever
// waits for the interpreter lock.

struct IndexRegistry {
  static std::mutex& mutex() {
    static std::mutex m;
    return m;
  }
  static Index*& head() {
    static Index* h = nullptr;
    return h;
  }

  static void add(Index* index) {
    static std::once_flag handlers;
    std::call_once(handlers, [] { pthread_atfork(&before_fork, &after_fork_parent, &after_fork_child); });
    std::lock_guard guard(mutex());
    index->next_ = head();
    if (head() != nullptr) head()->prev_ = index;
    head() = index;
  }

  static void remove(Index* index) {
    std::lock_guard guard(mutex());
    if (index->prev_ != nullptr) {
      index->prev_->next_ = index->next_;
    } else {
      head() = index->next_;
    }
    if (index->next_ != nullptr) index->next_->prev_ = index->prev_;
  }

  static void before_fork() {
    mutex().lock();
    for (Index* i = head(); i != nullptr; i = i->next_) i->lock_.lock();
  }
  static void after_fork_parent() {
    for (Index* i = head(); i != nullptr; i = i->next_) i->lock_.unlock();
    mutex().unlock();
  }
  static void after_fork_child() {
    for (Index* i = head(); i != nullptr; i = i->next_) i->lock_.reset_after_fork();
    new (&mutex()) std::mutex();
  }
};

// ---------------------------------------------------------------------------
// Construction.

namespace {

// The largest power of two whose sign vector can still be sized: 4 * dim must
// stay below the largest signed 64-bit size less 3.
constexpr uint64_t kMaxSignVectorDim = uint64_t{1} << 61;

bool is_power_of_two(uint64_t x) { return x != 0 && (x & (x - 1)) == 0; }

bool general(const IndexParams& params) { return params.rotation == RotationKind::kGeneral; }

// Whether the store keeps a term per row: a centred "ip" or "cosine" index.
// An index whose centre the first batch fixes keeps them from the start.
bool wants_row_terms(const IndexParams& params) {
  return (!params.center.empty() || params.center_pending) && params.metric != Metric::kL2;
}

// A cosine index's rows are unit vectors, so any mean of them has norm at
// most 1: a longer centre (the mean of the raw rows, typically) would code
// every row against a point far outside the sphere and wreck the scores.
// Only construction refuses one; files that hold one keep loading.
std::optional<IndexError> cosine_center_error(const IndexParams& params) {
  if (params.metric != Metric::kCosine) return std::nullopt;
  double squares = 0.0;
  for (const float c : params.center) squares += static_cast<double>(c) * static_cast<double>(c);
  const double norm = std::sqrt(squares);
  if (norm <= 1.0 + 1e-6) return std::nullopt;
  char text[32];
  std::snprintf(text, sizeof text, "%.4g", norm);
  return IndexError::invalid_argument(std::string("center has norm ") + text +
                                      ", but a cosine index's rows are unit vectors: pass the mean of the "
                                      "normalised rows, or center=\"mean\"");
}

}  // namespace

Index::Index(IndexParams params, Storage storage) : params_(std::move(params)), storage_(std::move(storage)) {
  IndexRegistry::add(this);
}

Index::~Index() { IndexRegistry::remove(this); }

Result<std::unique_ptr<Index>> Index::create(uint64_t dim, uint8_t bits, bool use_qjl, uint64_t seed) {
  IndexParams params;
  params.dim = dim;
  params.bits = bits;
  params.use_qjl = use_qjl;
  params.seed = seed;
  return create(std::move(params));
}

Result<std::unique_ptr<Index>> Index::create(IndexParams params) {
  const uint64_t dim = params.dim;
  if (general(params)) {
    if (dim == 0) return std::unexpected(IndexError::invalid_argument("dimension must be at least 1, got 0"));
  } else if (!is_power_of_two(dim)) {
    return std::unexpected(IndexError::invalid_argument("dimension " + std::to_string(dim) + " must be a power of 2")
                               .with_hint("rotation=\"hadamard\" (the default) needs a power of 2: pass "
                                          "rotation=\"general\", which takes any dimension (" +
                                          std::to_string(dim) + " here)"));
  }
  if (params.bits < 2 || params.bits > 5) {
    return std::unexpected(IndexError::invalid_argument("bits must be 2-5, got " + std::to_string(params.bits)));
  }
  if (!params.center.empty()) {
    if (params.center.size() != dim) {
      return std::unexpected(IndexError::invalid_argument("center has " + std::to_string(params.center.size()) +
                                                          " values, the index has dimension " + std::to_string(dim)));
    }
    for (const float c : params.center) {
      if (!std::isfinite(c)) return std::unexpected(IndexError::invalid_argument("center must be finite"));
    }
    if (auto refused = cosine_center_error(params)) return std::unexpected(std::move(*refused));
  }
  // A given centre and a pending mean exclude each other (the binding never asks for both).
  if (params.center_pending && !params.center.empty()) {
    return std::unexpected(IndexError::invalid_argument("center cannot be both given and \"mean\""));
  }
  if (dim >= kMaxSignVectorDim) return std::unexpected(IndexError::internal_fault("capacity overflow"));
  return catching<std::unique_ptr<Index>>([&]() -> Result<std::unique_ptr<Index>> {
    auto rotator = general(params) ? Rotator::general(dim, params.seed) : Rotator::hadamard(dim, params.seed);
    if (!rotator) return std::unexpected(rotator.error());
    Storage storage(rotator->code_width(), params.seed, params.bits, params.use_qjl, wants_row_terms(params));
    std::unique_ptr<Index> index(new Index(std::move(params), std::move(storage)));
    // A new index builds its rotation at once, as construction always has.
    std::call_once(index->rotator_once_, [&] { index->rotator_.emplace(std::move(*rotator)); });
    return index;
  });
}

Result<std::unique_ptr<Index>> Index::adopt(Result<StoredIndex> stored) {
  if (!stored) return std::unexpected(std::move(stored.error()));
  const IndexParams& params = stored->params;
  const Storage& storage = stored->storage;
  // The dimension is checked now, as building the rotation would check it,
  // but the rotation itself waits until something needs it.
  if (general(params)) {
    if (params.dim == 0) return std::unexpected(IndexError::zero_dimension());
  } else if (!is_power_of_two(params.dim)) {
    return std::unexpected(IndexError::not_power_of_two(params.dim));
  }
  // What the parameters imply about the rows must hold of the rows read.
  const bool centred_ok = params.center.empty() || params.center.size() == params.dim;
  if (!centred_ok || storage.has_row_terms() != wants_row_terms(params) ||
      storage.dim() != Rotator::code_width_for(general(params), params.dim)) {
    return std::unexpected(IndexError::invalid_file("rows do not match the index parameters"));
  }
  return catching<std::unique_ptr<Index>>([&]() -> Result<std::unique_ptr<Index>> {
    return std::unique_ptr<Index>(new Index(std::move(stored->params), std::move(stored->storage)));
  });
}

Result<std::unique_ptr<Index>> Index::load(const std::string& path, const StopOnSignal& stop_on_signal) {
  return adopt(load_index_file(path, stop_on_signal));
}

Result<std::unique_ptr<Index>> Index::map(const std::string& path, bool warm) {
  auto index = adopt(map_index_file(path, warm));
  if (index) {
    Status named = catching<void>([&] {
      (*index)->mapped_path_ = path;
      return Status{};
    });
    if (!named) return std::unexpected(std::move(named.error()));
  }
  return index;
}

IndexError Index::read_only_error(const char* what) const {
  return IndexError::invalid_argument(std::string("cannot ") + what + ": the index is a read-only memory map of " +
                                      mapped_path_ + " (load it without mmap=True to change it)");
}

Result<std::unique_ptr<Index>> Index::from_bytes(std::span<const uint8_t> bytes) {
  return adopt(parse_index_file(bytes));
}

Result<const Rotator*> Index::rotator() const {
  return catching<const Rotator*>([this]() -> Result<const Rotator*> {
    std::optional<IndexError> failed;
    std::call_once(rotator_once_, [this, &failed] {
      auto built = general(params_) ? Rotator::general(dim(), seed()) : Rotator::hadamard(dim(), seed());
      // The dimension was checked when the index was made; only memory can
      // fail here, and that throws out of call_once, leaving it to be retried.
      if (built) {
        rotator_.emplace(std::move(*built));
      } else {
        failed = built.error();
      }
    });
    if (failed) return std::unexpected(*failed);
    return &*rotator_;
  });
}

Result<ScanModel> Index::scan_model() const {
  auto rot = rotator();
  if (!rot) return std::unexpected(std::move(rot.error()));
  const Rotator& r = **rot;
  return ScanModel{dim(), &r, make_metric_model(metric(), center(), bits(), r.score_scale_f64(), r.score_scale())};
}

// ---------------------------------------------------------------------------
// Adding rows.

namespace {

IndexError norm_error(size_t row) {
  char limit[32];
  std::snprintf(limit, sizeof limit, "%.8g", static_cast<double>(kMaxStoredNorm));
  return IndexError::invalid_argument("row " + std::to_string(row) + " has a norm above " + limit +
                                      ", the largest norm the index can store");
}

}  // namespace

Status Index::add(std::span<const uint64_t> ids, const void* rows, size_t n) {
  if (read_only()) return std::unexpected(read_only_error("add rows"));
  if (ids.size() != n) {
    return std::unexpected(IndexError::invalid_argument("ids length " + std::to_string(ids.size()) +
                                                        " != row count " + std::to_string(n)));
  }
  std::unique_lock guard(lock_);
  if (n == 0) return {};
  // center="mean": this first batch fixes the centre before any row is coded
  // against it; should the batch fail, the index is left waiting as it was.
  const bool fixing = params_.center_pending;
  if (fixing) {
    Status fixed = fix_mean_center(rows, n);
    if (!fixed) return fixed;
  }
  auto unfix = [&] {
    if (!fixing) return;
    params_.center.clear();
    params_.center_pending = true;
  };
  auto model = scan_model();
  if (!model) {
    unfix();
    return std::unexpected(std::move(model.error()));
  }
  auto encoder = catching<RowEncoder>([&] { return RowEncoder::create(*model->rotator, bits()); });
  if (!encoder) {
    unfix();
    return std::unexpected(std::move(encoder.error()));
  }

  const size_t before = storage_.len();
  Status added = catching<void>([&] {
    storage_.reserve(n);
    std::vector<uint8_t> codes(encoder->code_bytes());
    // Sized for the store's code width, which a general rotation pads past dim.
    std::vector<uint8_t> qjl(use_qjl() ? qjl_bytes_for(storage_.dim()) : 0);
    std::optional<std::span<const uint8_t>> qjl_bits;
    if (use_qjl()) qjl_bits = std::span<const uint8_t>(qjl);
    const MetricModel& metric = model->metric;
    const bool plain = metric.metric == Metric::kIp && metric.center.empty();
    std::vector<float> prepared(plain ? 0 : static_cast<size_t>(dim()));
    FloatRows matrix(rows, static_cast<size_t>(dim()));
    for (size_t r = 0; r < n; ++r) {
      float term = 0.0f;
      const float* row = prepare_row(metric, matrix.row(r), dim(), prepared.data(), &term);
      const uint16_t norm = encoder->encode(row, codes.data());
      if (norm_too_large(row, static_cast<size_t>(dim()), norm)) return Status(std::unexpected(norm_error(r)));
      storage_.push(ids[r], norm, codes, qjl_bits, term);
    }
    return Status{};
  });
  if (!added) {
    storage_.truncate(before);
    unfix();
  }
  return added;
}

Result<std::vector<float>> Index::first_batch_mean(Metric metric, const void* rows, size_t n, uint64_t dim) {
  // One row's "mean" is that row: every later row would be coded against it.
  if (n < 2) {
    return std::unexpected(IndexError::invalid_argument(
        "the first batch of an index with center=\"mean\" needs at least 2 rows, got " + std::to_string(n)));
  }
  auto mean = catching<std::vector<float>>([&] { return mean_row(metric, rows, n, dim); });
  if (!mean) return mean;
  for (const float c : *mean) {
    if (!std::isfinite(c)) {
      return std::unexpected(IndexError::invalid_argument(
          "center=\"mean\": the mean of the first batch is not finite (a row holds a NaN or an infinity)"));
    }
  }
  return mean;
}

Status Index::fix_mean_center(const void* rows, size_t n) {
  auto mean = first_batch_mean(metric(), rows, n, dim());
  if (!mean) return std::unexpected(std::move(mean.error()));
  params_.center = std::move(*mean);
  params_.center_pending = false;
  return {};
}

// ---------------------------------------------------------------------------
// Searching.

namespace {

// Below this share of the rows an allow-list's rows are gathered into a store
// of their own, which is then scanned whole (exactly the search an index of
// only those rows would run); above it the full store is scanned with the
// rows masked, which costs no copy.
constexpr size_t kGatherBelowOneIn = 8;

// A bit per row of `store`, set where the row's id is in `table` (with
// `listed`) or is not (without); `listed_rows` gets the number of rows whose
// id is in the table. The table's slots are fetched a few rows ahead: the
// probes are random accesses into a table that may be far larger than cache.
std::vector<uint64_t> rows_by_id(const Storage& store, const IdTable& table, bool listed, size_t& listed_rows) {
  const size_t len = store.len();
  std::vector<uint64_t> mask((len + 63) / 64, 0);
  listed_rows = 0;
  for (size_t r = 0; r < len; ++r) {
    if (r + IdTable::kPrefetchAhead < len) table.prefetch(store.id(r + IdTable::kPrefetchAhead));
    const bool in = table.contains(store.id(r));
    listed_rows += in;
    if (in == listed) mask[r / 64] |= uint64_t{1} << (r % 64);
  }
  return mask;
}

// The `threads` option's check, with the Python method's message.
Status check_threads(const IndexSearchOptions& options, SearchOptions& scan) {
  scan.row_mask = nullptr;
  scan.max_threads = 0;
  if (!options.threads) return {};
  const size_t workers = pool_worker_count();
  if (*options.threads < 1 || *options.threads > workers) {
    return std::unexpected(IndexError::invalid_argument("threads must be 1-" + std::to_string(workers) +
                                                        " (the pool's workers), got " +
                                                        std::to_string(*options.threads)));
  }
  scan.max_threads = static_cast<size_t>(*options.threads);
  return {};
}

}  // namespace

template <class Scan>
auto Index::scan_allowed(const std::vector<uint64_t>* allow, SearchOptions& options, Scan&& scan) const {
  if (allow == nullptr) return scan(storage_);
  // The rows whose id is allowed, as a mask over row numbers.
  const size_t len = storage_.len();
  size_t count = 0;
  const std::vector<uint64_t> mask = rows_by_id(storage_, IdTable(*allow), true, count);
  if (count == len) return scan(storage_);  // every row allowed: nothing to mask
  if (count * kGatherBelowOneIn < len) {
    std::vector<size_t> rows;
    rows.reserve(count);
    for (size_t r = 0; r < len; ++r) {
      if (mask[r / 64] >> (r % 64) & 1) rows.push_back(r);
    }
    return scan(storage_.select(rows));
  }
  options.row_mask = mask.data();
  auto found = scan(storage_);
  options.row_mask = nullptr;
  return found;
}

Result<BatchResults> Index::search(std::span<const float> queries, size_t n, size_t query_dim, uint64_t k,
                                   const IndexSearchOptions& options) const {
  SearchOptions scan = options.scan;
  if (Status threads = check_threads(options, scan); !threads) return std::unexpected(std::move(threads.error()));
  uint64_t wanted = k;
  if (options.candidates) {
    if (options.rerank == nullptr) {
      return std::unexpected(IndexError::invalid_argument("candidates applies only with rerank"));
    }
    if (*options.candidates < k) {
      return std::unexpected(IndexError::invalid_argument("candidates (" + std::to_string(*options.candidates) +
                                                          ") must be at least k (" + std::to_string(k) + ")"));
    }
    wanted = *options.candidates;
  } else if (options.rerank != nullptr) {
    wanted = k > std::numeric_limits<uint64_t>::max() / 4 ? std::numeric_limits<uint64_t>::max() : 4 * k;
  }
  // The query width before anything else about the index: the rotation is
  // only built once there is something to scan, never for a wrong query.
  if (query_dim != dim()) return std::unexpected(IndexError::query_dimension_mismatch(query_dim, dim()));
  if (options.rerank != nullptr && options.rerank->cols != dim()) {
    return std::unexpected(IndexError::invalid_argument("rerank vectors have " + std::to_string(options.rerank->cols) +
                                                        " columns, the index has dimension " + std::to_string(dim())));
  }

  std::shared_lock guard(lock_);
  auto found = catching<BatchResults>([&]() -> Result<BatchResults> {
    // The rotation is built only when there is something to scan.
    ScanModel model{dim(), nullptr, {}};
    if (n > 0 && wanted > 0 && storage_.len() > 0) {
      auto built = scan_model();
      if (!built) return std::unexpected(std::move(built.error()));
      model = *built;
    }
    // Re-ranking orders equal exact keys by the rows the candidates are in.
    scan.keep_rows = options.rerank != nullptr;
    return scan_allowed(options.allow, scan, [&](const Storage& store) -> Result<BatchResults> {
      auto scanned = search_batch(store, model, bits(), queries, n, query_dim, wanted, scan);
      if (!scanned) return std::unexpected(scanned.error());
      return std::move(*scanned);
    });
  });
  if (found && options.rerank != nullptr) {
    // The candidates' original rows are read without the index lock: they
    // are the caller's memory, not the index's.
    guard.unlock();
    found = catching<BatchResults>([&] { return rerank(*found, queries, query_dim, k, *options.rerank, metric()); });
  }
  if (found && metric() == Metric::kL2) {
    for (float& s : found->scores) s = output_score(Metric::kL2, s);
  }
  return found;
}

Result<RangeResults> Index::search_range(std::span<const float> queries, size_t n, size_t query_dim,
                                         double threshold, const IndexSearchOptions& options) const {
  SearchOptions scan = options.scan;
  if (Status threads = check_threads(options, scan); !threads) return std::unexpected(std::move(threads.error()));
  if (std::isnan(threshold)) return std::unexpected(IndexError::invalid_argument("threshold must not be NaN"));
  if (query_dim != dim()) return std::unexpected(IndexError::query_dimension_mismatch(query_dim, dim()));

  std::shared_lock guard(lock_);
  auto found = catching<RangeResults>([&]() -> Result<RangeResults> {
    if (n == 0 || storage_.len() == 0) {
      RangeResults none;
      none.queries = n;
      none.lims.assign(n + 1, 0);
      return none;
    }
    auto model = scan_model();
    if (!model) return std::unexpected(std::move(model.error()));
    const float floor = range_floor(metric(), threshold);
    return scan_allowed(options.allow, scan, [&](const Storage& store) {
      return lodex::search_range(store, *model, bits(), queries, n, query_dim, floor, scan);
    });
  });
  if (found && metric() == Metric::kL2) {
    for (float& s : found->keys) s = output_score(Metric::kL2, s);
  }
  return found;
}

// ---------------------------------------------------------------------------
// Files and bytes.

IndexError Index::pending_center_error() {
  return IndexError::invalid_argument(
      "the index's center=\"mean\" is fixed by its first batch, and no batch was added yet: add one before "
      "saving");
}

Status Index::save(const std::string& path, bool mappable) const {
  std::shared_lock guard(lock_);
  if (params_.center_pending) return std::unexpected(pending_center_error());
  return catching<void>([&] { return save_index_file(path, params_, storage_, mappable); });
}

Result<std::vector<uint8_t>> Index::to_bytes(bool mappable) const {
  std::shared_lock guard(lock_);
  if (params_.center_pending) return std::unexpected(pending_center_error());
  return index_file_bytes(params_, storage_, mappable);
}

// ---------------------------------------------------------------------------
// Rows by id.

Result<size_t> Index::remove(std::vector<uint64_t> ids) {
  if (read_only()) return std::unexpected(read_only_error("remove rows"));
  std::unique_lock guard(lock_);
  auto removed = catching<size_t>([&]() -> Result<size_t> {
    const IdTable doomed(ids);
    std::vector<uint64_t>().swap(ids);
    size_t count = 0;
    const std::vector<uint64_t> keep = rows_by_id(storage_, doomed, false, count);
    if (count > 0) storage_.retain(keep.data());
    return count;
  });
#if defined(__GLIBC__)
  // The chunks the compaction emptied, and the call's own id lists, went
  // back to malloc, which keeps freed heap pages for reuse: hand them to the
  // system, so that removing rows shrinks the process as the caller expects.
  if (removed && *removed >= kChunkRows) malloc_trim(0);
#endif
  if (removed && *removed >= kChunkRows) release_spare_block_memory();
  return removed;
}

bool Index::contains(uint64_t id) const {
  std::shared_lock guard(lock_);
  const size_t len = storage_.len();
  for (size_t r = 0; r < len; ++r) {
    if (storage_.id(r) == id) return true;
  }
  return false;
}

Result<std::optional<uint64_t>> Index::get(std::span<const uint64_t> ids, float* out) const {
  std::shared_lock guard(lock_);
  return catching<std::optional<uint64_t>>([&]() -> Result<std::optional<uint64_t>> {
    // Each requested id's first row, found in one pass over the store.
    IdTable first_row(ids, /*with_values=*/true);
    size_t unresolved = first_row.size();
    const size_t len = storage_.len();
    for (size_t r = 0; r < len && unresolved > 0; ++r) {
      uint64_t* slot = first_row.slot_of(storage_.id(r));
      if (slot != nullptr && *slot == IdTable::kNone) {
        *slot = r;
        --unresolved;
      }
    }
    for (const uint64_t id : ids) {
      if (*first_row.slot_of(id) == IdTable::kNone) return std::optional<uint64_t>(id);
    }
    if (ids.empty()) return std::optional<uint64_t>();
    auto model = scan_model();
    if (!model) return std::unexpected(std::move(model.error()));
    const Rotator& rot = *model->rotator;
    std::vector<uint8_t> codes(storage_.code_bytes());
    std::vector<float> scratch(rot.width() + rot.scratch_floats());
    for (size_t i = 0; i < ids.size(); ++i) {
      const size_t row = static_cast<size_t>(*first_row.slot_of(ids[i]));
      storage_.copy_codes(row, codes);
      Status decoded = decode_row(codes, *storage_.get_norm(row), rot, bits(), model->metric.scale, center(),
                                  {out + i * dim(), dim()}, scratch);
      if (!decoded) return std::unexpected(std::move(decoded.error()));
    }
    return std::optional<uint64_t>();
  });
}

}  // namespace lodex
