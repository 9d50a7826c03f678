// Query preparation, the reference scorer, the top-k heaps and the batch scan
// driver: fixed pieces of rows x groups of queries on the pool, each
// (piece, query) pair with its own heap fed in row order, merged in piece
// order. Errors are returned as SearchError values; nothing here throws except
// std::bad_alloc, and nothing that runs on a pool worker allocates.
#include "search.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "codebook.hpp"
#include "first_pass.hpp"
#include "kernels/scan.hpp"
#include "pool.hpp"
#include "rotation.hpp"

namespace lodex {

QueryTable build_query_table(std::span<const float> rotated_query, std::span<const float> centroids) {
  QueryTable table;
  table.n_centroids = centroids.size();
  table.entries.resize(rotated_query.size() * centroids.size());
  float* out = table.entries.data();
  for (const float r : rotated_query) {
    for (const float c : centroids) *out++ = c * r;
  }
  return table;
}

float score_row(const QueryTable& table, uint8_t bits, uint64_t dim, float scale, std::span<const uint8_t> codes,
                float norm) {
  const float* entries = table.entries.data();
  const size_t n = table.n_centroids;
  float sum = 0.0f;
  switch (bits) {
    case 2:
    case 4: {
      // No code straddles a byte: walk whole bytes, low slot first, and stop
      // at dim (the unused slots of the last byte are ignored).
      const unsigned per_byte = 8u / bits;
      const unsigned mask = (1u << bits) - 1;
      uint64_t j = 0;
      for (size_t k = 0; j < dim; ++k) {
        const unsigned byte = codes[k];
        for (unsigned slot = 0; slot < per_byte && j < dim; ++slot, ++j) {
          sum += entries[j * n + ((byte >> (slot * bits)) & mask)];
        }
      }
      break;
    }
    case 3:
    case 5: {
      // The general bit-stream rule: codes may cross byte boundaries.
      for (uint64_t j = 0; j < dim; ++j) sum += entries[j * n + unpack_code(codes.data(), j, bits)];
      break;
    }
    default:
      break;  // unreachable: the codebook lookup has already failed
  }
  // norm * scale first: with a norm near the float32 maximum the other
  // association overflows differently.
  const float factor = norm * scale;
  // When both operands are NaN, IEEE 754 leaves open which one a product
  // returns, and the compiler may commute it: a NaN sum is passed through as
  // it is (the quiet NaN the product would return), so that every kernel
  // gives this function's bits.
  return std::isnan(sum) ? sum : sum * factor;
}

void TopKHeap::push(ScoredResult x) {
  size_t pos = len_++;
  while (pos > 0) {
    const size_t parent = (pos - 1) / 2;
    if (!ranks_above(room_[parent].score, x.score)) break;
    room_[pos] = room_[parent];
    pos = parent;
  }
  room_[pos] = x;
}

void TopKHeap::pop_root() {
  const ScoredResult y = room_[--len_];
  if (len_ == 0) return;
  size_t hole = 0;
  // Move the lower child up; the right one unless it ranks strictly above
  // the left, so equal scores take the right child.
  while (2 * hole + 2 < len_) {
    const size_t left = 2 * hole + 1;
    const size_t right = left + 1;
    const size_t child = ranks_above(room_[right].score, room_[left].score) ? left : right;
    room_[hole] = room_[child];
    hole = child;
  }
  if (2 * hole + 1 < len_) {
    room_[hole] = room_[2 * hole + 1];
    hole = 2 * hole + 1;
  }
  // y goes back by the push walk from the hole.
  while (hole > 0) {
    const size_t parent = (hole - 1) / 2;
    if (!ranks_above(room_[parent].score, y.score)) break;
    room_[hole] = room_[parent];
    hole = parent;
  }
  room_[hole] = y;
}

void merge_top_k(TopKHeap& a, const TopKHeap& b) {
  for (const ScoredResult& x : b.entries()) a.offer(x);
}

void sort_results(std::span<ScoredResult> results, std::span<ScoredResult> scratch) {
  // A bottom-up merge sort that takes from the right run only when its head
  // ranks strictly above the left one's: stable, and allocation-free.
  const size_t n = results.size();
  if (n < 2) return;
  ScoredResult* from = results.data();
  ScoredResult* to = scratch.data();
  for (size_t width = 1; width < n; width *= 2) {
    for (size_t lo = 0; lo < n; lo += 2 * width) {
      const size_t mid = std::min(lo + width, n);
      const size_t hi = std::min(lo + 2 * width, n);
      size_t i = lo;
      size_t j = mid;
      size_t out = lo;
      while (i < mid && j < hi) to[out++] = ranks_above(from[j].score, from[i].score) ? from[j++] : from[i++];
      while (i < mid) to[out++] = from[i++];
      while (j < hi) to[out++] = from[j++];
    }
    std::swap(from, to);
  }
  if (from != results.data()) std::copy(from, from + n, results.data());
}

void sort_results(std::span<ScoredResult> results) {
  std::vector<ScoredResult> scratch(results.size());
  sort_results(results, scratch);
}

size_t piece_rows_for(size_t len) {
  const size_t chunks = (len + kChunkRows - 1) / kChunkRows;
  return std::max<size_t>(1, (chunks + kTargetPieces - 1) / kTargetPieces) * kChunkRows;
}

namespace {

// Blocks per step of a piece: the scores (or survivor masks) stay in L1 and
// the heap is fed while the codes just read are still in cache.
constexpr size_t kRunBlocks = 16;
// Heaps and per-query tables of one wave of queries stay under this; a batch
// needing more runs as several waves.
constexpr size_t kWaveBytes = size_t{64} << 20;
// The adaptive give-up of kAuto: after this many blocks checked against a
// full heap, a (piece, query) that exact-scored more than half of them
// scans the rest of its piece exactly (clustered or duplicate-heavy data).
constexpr size_t kFallbackAfterBlocks = 512;

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

// Whether a block's row may enter `heap`: not ranked strictly below a full
// heap's root.
inline bool may_enter(const TopKHeap& heap, float score) {
  return !heap.full() || !ranks_above(heap.root_score(), score);
}

// Whether any of a block's scores may enter: once the heap is full most
// blocks hold no candidate, and the root cannot change before the first.
bool block_may_enter(const TopKHeap& heap, const float* scores, size_t lanes) {
  if (!heap.full()) return true;
  const float root = heap.root_score();
  if (std::isnan(root)) return true;
#if defined(__SSE2__)
  if (lanes == kBlockRows) {
    // Below a number root: s < root or NaN, i.e. not s >= root.
    const __m128 r = _mm_set1_ps(root);
    __m128 m = _mm_cmpge_ps(_mm_loadu_ps(scores), r);
    m = _mm_or_ps(m, _mm_cmpge_ps(_mm_loadu_ps(scores + 4), r));
    m = _mm_or_ps(m, _mm_cmpge_ps(_mm_loadu_ps(scores + 8), r));
    m = _mm_or_ps(m, _mm_cmpge_ps(_mm_loadu_ps(scores + 12), r));
    return _mm_movemask_ps(m) != 0;
  }
#endif
  bool any = false;
  for (size_t i = 0; i < lanes; ++i) any |= scores[i] >= root;
  return any;
}

// Offers a block's rows whose bit is set in `live` in row order. A row
// ranked strictly below a full heap's root would be pushed and popped
// straight back out: it is skipped, and so is every row the first pass
// proves to be such a row.
void feed_block(TopKHeap& heap, const uint64_t* ids, const float* scores, size_t lanes, uint32_t live) {
  if (!block_may_enter(heap, scores, lanes)) return;
  for (size_t i = 0; i < lanes; ++i) {
    if ((live >> i & 1u) == 0 || !may_enter(heap, scores[i])) continue;
    heap.offer({ids[i], scores[i]});
  }
}

// One query of a wave, prepared before any unit runs.
struct PreparedQuery {
  const float* lanes = nullptr;   // the exact kernels' lane table
  const uint8_t* table = nullptr;  // the first pass's table, when `pass`
  PassPlan plan;
  bool pass = false;
};

struct UnitStats {
  size_t blocks_passed = 0;
  size_t blocks_skipped = 0;
  size_t rows_exact = 0;
  size_t fell_back = 0;
};

// Per (piece, query): whether the first pass still runs, and the counts
// behind the fallback of kAuto.
struct PieceQuery {
  bool passing = false;
  size_t checked = 0;
  size_t exact_blocks = 0;
};

// Everything the units of one wave share, read-only while they run.
struct Wave {
  const Storage* storage = nullptr;
  uint64_t dim = 0;
  size_t block_words = 0;
  float scale = 0.0f;
  ScanFn exact = nullptr;
  PassFn pass = nullptr;
  const uint8_t* levels = nullptr;  // the pass's rank-one levels, if its format has them
  bool adaptive = true;
  const uint64_t* row_mask = nullptr;
  size_t piece_rows = 0;
  size_t pieces = 0;
  size_t queries = 0;  // in this wave
  size_t groups = 0;   // of up to kMaxPassQueries queries
  size_t groups_per_bunch = 0;
  size_t bunches = 0;
  const PreparedQuery* prepared = nullptr;
  TopKHeap* heaps = nullptr;          // [query * pieces + piece]
  PieceQuery* state = nullptr;       // [query * pieces + piece]
  UnitStats* stats = nullptr;         // per unit
};

// Rows that survived the first pass, copied out of their blocks into one
// block of their own (codes interleaved as in the store). Rows of up to
// kGatherWords words: dim 2048 at 5 bits.
constexpr size_t kGatherWords = 320;
struct Gathered {
  alignas(64) uint32_t words[kGatherWords * kBlockRows];
  uint16_t norms[kBlockRows];
  // Where each row's id is: read only for the rare row that enters the
  // heap, since the ids are the one array the first pass never touched.
  const uint64_t* ids[kBlockRows];
  size_t count = 0;
};

// Unit u of a wave: piece u / bunches, and the query groups of bunch
// u % bunches. A unit walks its piece run by run and gives each run to all
// its groups in turn, so the run's codes are read from memory once and
// served from L1 to every group. Which unit does what never changes a
// result: each (piece, query) pair still sees its rows in row order.
class ScanWork final : public IndexedWork {
 public:
  explicit ScanWork(const Wave& wave) : w_(wave) {}

  void run(size_t unit) noexcept override {
    const size_t piece = unit / w_.bunches;
    const size_t bunch = unit % w_.bunches;
    const size_t first_group = bunch * w_.groups_per_bunch;
    const size_t end_group = std::min(w_.groups, first_group + w_.groups_per_bunch);
    scan_piece(piece, first_group, end_group, w_.stats[unit]);
  }

 private:
  void scan_piece(size_t piece, size_t first_group, size_t end_group, UnitStats& stats) const {
    const Storage& storage = *w_.storage;
    const size_t len = storage.len();
    const size_t first_row = piece * w_.piece_rows;
    const size_t end_row = std::min(len, first_row + w_.piece_rows);
    const size_t end_block = (end_row + kBlockRows - 1) / kBlockRows;
    for (size_t q = first_group * kMaxPassQueries; q < std::min(w_.queries, end_group * kMaxPassQueries); ++q) {
      w_.state[q * w_.pieces + piece] = {w_.pass != nullptr && w_.prepared[q].pass, 0, 0};
    }

    Run r;
    for (size_t block = first_row / kBlockRows; block < end_block;) {
      const size_t chunk = block / kBlocksPerChunk;
      const size_t in_chunk = block % kBlocksPerChunk;
      r.blocks = std::min({kRunBlocks, end_block - block, kBlocksPerChunk - in_chunk});
      const size_t row = block * kBlockRows;
      r.rows = std::min(r.blocks * kBlockRows, end_row - row);
      r.codes = storage.chunk_blocks(chunk) + in_chunk * w_.block_words;
      r.norms = storage.chunk_norms(chunk) + in_chunk * kBlockRows;
      r.ids = storage.chunk_ids(chunk) + in_chunk * kBlockRows;
      block += r.blocks;

      // The searchable rows of each block (rows are 16-aligned, so a block's
      // 16 bits never straddle two mask words).
      r.live_blocks = 0;
      for (size_t b = 0; b < r.blocks; ++b) {
        const size_t at = row + b * kBlockRows;
        uint32_t bits = (1u << std::min(kBlockRows, end_row - at)) - 1;
        if (w_.row_mask != nullptr) bits &= static_cast<uint32_t>(w_.row_mask[at / 64] >> (at % 64));
        r.live[b] = bits;
        r.live_blocks += bits != 0 ? 1 : 0;
      }
      if (r.live_blocks == 0) continue;
      for (size_t group = first_group; group < end_group; ++group) {
        const size_t first_query = group * kMaxPassQueries;
        scan_run(r, piece, first_query, std::min(kMaxPassQueries, w_.queries - first_query), stats);
      }
    }
  }

  // One run of up to kRunBlocks blocks inside one chunk.
  struct Run {
    size_t blocks = 0;
    size_t rows = 0;
    const uint32_t* codes = nullptr;
    const uint16_t* norms = nullptr;
    const uint64_t* ids = nullptr;
    uint32_t live[kRunBlocks];
    size_t live_blocks = 0;
  };

  void scan_run(const Run& r, size_t piece, size_t first_query, size_t count, UnitStats& stats) const {
    alignas(64) float scores[kRunBlocks * kBlockRows];
    uint16_t survivors[kRunBlocks * kMaxPassQueries];
    PassQuery pass_queries[kMaxPassQueries];
    size_t pass_slot[kMaxPassQueries];
    const size_t words = w_.storage->words_per_row();
    const bool gather = words <= kGatherWords;

    // The first pass, for the queries still taking it, against the roots
    // as they stand before the run (a root only rises while it runs).
    size_t passers = 0;
    for (size_t i = 0; i < count; ++i) {
      const size_t q = first_query + i;
      if (!w_.state[q * w_.pieces + piece].passing) continue;
      const TopKHeap& heap = w_.heaps[q * w_.pieces + piece];
      const PreparedQuery& p = w_.prepared[q];
      pass_queries[passers] = {p.table, p.plan.delta, p.plan.offset, pass_threshold(heap.full(), heap.root_score())};
      pass_slot[i] = passers++;
    }
    if (passers > 0) {
      const PassArgs args{w_.dim, w_.block_words, w_.scale, pass_queries, passers, w_.levels};
      w_.pass(args, r.codes, r.norms, r.rows, survivors);
    }

    for (size_t i = 0; i < count; ++i) {
      const size_t q = first_query + i;
      PieceQuery& state = w_.state[q * w_.pieces + piece];
      TopKHeap& heap = w_.heaps[q * w_.pieces + piece];
      const ScanArgs args{w_.prepared[q].lanes, w_.dim, w_.block_words, w_.scale};
      if (!state.passing) {
        w_.exact(args, r.codes, r.norms, r.rows, scores);
        stats.rows_exact += r.rows;
        for (size_t b = 0; b < r.blocks; ++b) {
          const size_t lanes = std::min(kBlockRows, r.rows - b * kBlockRows);
          if (r.live[b] != 0) feed_block(heap, r.ids + b * kBlockRows, scores + b * kBlockRows, lanes, r.live[b]);
        }
        continue;
      }
      const bool was_full = pass_queries[pass_slot[i]].below != -std::numeric_limits<float>::infinity();
      // The blocks with a survivor, as a bit mask over the run.
      const uint16_t* mine = survivors + pass_slot[i];
      uint32_t busy = 0;
      for (size_t b = 0; b < r.blocks; ++b) {
        busy |= static_cast<uint32_t>((mine[b * passers] & r.live[b]) != 0) << b;
      }
      const auto busy_count = static_cast<size_t>(std::popcount(busy));
      stats.blocks_passed += r.live_blocks;
      stats.blocks_skipped += r.live_blocks - busy_count;
      Gathered g;
      for (; busy != 0; busy &= busy - 1) {
        const auto b = static_cast<size_t>(std::countr_zero(busy));
        uint32_t keep = mine[b * passers] & r.live[b];
        const size_t at = b * kBlockRows;
        if (!gather) {
          const size_t lanes = std::min(kBlockRows, r.rows - at);
          w_.exact(args, r.codes + b * w_.block_words, r.norms + at, lanes, scores + at);
          stats.rows_exact += lanes;
          feed_block(heap, r.ids + at, scores + at, lanes, keep);
          continue;
        }
        // Survivors are few and scattered: copy them into one block of
        // their own, score it, and feed its rows in row order.
        for (; keep != 0; keep &= keep - 1) {
          const auto lane = static_cast<size_t>(std::countr_zero(keep));
          const uint32_t* from = r.codes + b * w_.block_words + lane;
          for (size_t w = 0; w < words; ++w) g.words[w * kBlockRows + g.count] = from[w * kBlockRows];
          g.norms[g.count] = r.norms[at + lane];
          g.ids[g.count] = r.ids + at + lane;
          if (++g.count == kBlockRows) flush(args, heap, g, stats);
        }
      }
      flush(args, heap, g, stats);
      if (was_full) {
        state.checked += r.live_blocks;
        state.exact_blocks += busy_count;
      }
      if (w_.adaptive && state.checked >= kFallbackAfterBlocks && state.exact_blocks * 2 > state.checked) {
        state.passing = false;
        ++stats.fell_back;
      }
    }
  }

  // Scores the gathered rows and offers them in row order.
  void flush(const ScanArgs& args, TopKHeap& heap, Gathered& g, UnitStats& stats) const {
    if (g.count == 0) return;
    alignas(64) float scores[kBlockRows];
    w_.exact(args, g.words, g.norms, g.count, scores);
    stats.rows_exact += g.count;
    for (size_t r = 0; r < g.count; ++r) {
      if (may_enter(heap, scores[r])) heap.offer({*g.ids[r], scores[r]});
    }
    g.count = 0;
  }

  const Wave& w_;
};

// Rotation and tables of the wave's queries, one query per call.
class PrepareWork final : public IndexedWork {
 public:
  PrepareWork(const float* queries, const float* signs, uint64_t dim, uint8_t bits, std::span<const float> codebook,
              bool want_pass, PassFormat format, float* rotated, float* lanes, uint8_t* tables, PreparedQuery* prepared)
      : queries_(queries),
        signs_(signs),
        dim_(dim),
        bits_(bits),
        codebook_(codebook),
        want_pass_(want_pass),
        format_(format),
        rotated_(rotated),
        lanes_(lanes),
        tables_(tables),
        prepared_(prepared) {}

  void run(size_t i) noexcept override {
    const size_t stride = scan_table_stride(bits_);
    const size_t n = codebook_.size();
    float* r = rotated_ + i * dim_;
    const float* q = queries_ + i * dim_;
    // The query's rotation, as rotate_unscaled: the sign products, then the
    // unscaled transform in place.
    for (uint64_t j = 0; j < dim_; ++j) r[j] = q[j] * signs_[j];
    hadamard_transform(std::span<float>(r, dim_));
    // The lane table holds the QueryTable's products centroid[c] * r[j],
    // replicated past 2^bits (see scan.hpp).
    float* lanes = lanes_ + i * dim_ * stride;
    for (uint64_t j = 0; j < dim_; ++j) {
      for (size_t c = 0; c < stride; ++c) lanes[j * stride + c] = codebook_[c % n] * r[j];
    }
    PreparedQuery& p = prepared_[i];
    p.lanes = lanes;
    p.pass = false;
    if (want_pass_) {
      uint8_t* table = tables_ + i * pass_table_bytes(format_, dim_, bits_);
      if (const auto plan = build_pass_plan(format_, lanes, stride, r, dim_, bits_, table)) {
        p.table = table;
        p.plan = *plan;
        p.pass = true;
      }
    }
  }

 private:
  const float* queries_;
  const float* signs_;
  uint64_t dim_;
  uint8_t bits_;
  std::span<const float> codebook_;
  bool want_pass_;
  PassFormat format_;
  float* rotated_;
  float* lanes_;
  uint8_t* tables_;
  PreparedQuery* prepared_;
};

// Merges each query's piece heaps in piece order (a fixed order, whatever
// thread ran which piece) and sorts the result into its output row.
class MergeWork final : public IndexedWork {
 public:
  MergeWork(const Wave& wave, size_t bound, std::span<ScoredResult> room, BatchResults& out, size_t first_query)
      : w_(wave), bound_(bound), room_(room), out_(out), first_query_(first_query) {}

  void run(size_t i) noexcept override {
    const size_t slot = 2 * (bound_ + 1);
    const std::span<ScoredResult> mine = room_.subspan(i * slot, slot);
    TopKHeap all(mine.first(bound_ + 1), bound_);
    for (size_t piece = 0; piece < w_.pieces; ++piece) merge_top_k(all, w_.heaps[i * w_.pieces + piece]);
    const std::span<ScoredResult> best = all.entries();
    sort_results(best, mine.subspan(bound_ + 1, best.size()));
    const size_t m = out_.per_query;
    const size_t at = (first_query_ + i) * m;
    // Exactly m entries: every searchable row was offered to some piece heap.
    for (size_t r = 0; r < m && r < best.size(); ++r) {
      out_.ids[at + r] = best[r].id;
      out_.scores[at + r] = best[r].score;
    }
  }

 private:
  const Wave& w_;
  size_t bound_;
  std::span<ScoredResult> room_;
  BatchResults& out_;
  size_t first_query_;
};

size_t count_rows(const uint64_t* mask, size_t len) {
  if (mask == nullptr) return len;
  size_t total = 0;
  for (size_t w = 0; w < len / 64; ++w) total += static_cast<size_t>(std::popcount(mask[w]));
  if (len % 64 != 0) total += static_cast<size_t>(std::popcount(mask[len / 64] & ((uint64_t{1} << (len % 64)) - 1)));
  return total;
}

}  // namespace

std::expected<BatchResults, SearchError> search_batch(const Storage& storage, std::span<const float> signs,
                                                      uint8_t bits, std::span<const float> queries, size_t n,
                                                      size_t query_dim, uint64_t k, const SearchOptions& options) {
  const uint64_t dim = storage.dim();
  // The length is checked before the shortcuts: a wrong query is an error
  // even when there is nothing to search.
  if (query_dim != dim) return std::unexpected(SearchError::dimension_mismatch(query_dim, dim));
  const size_t len = storage.len();
  const size_t searchable = count_rows(options.row_mask, len);
  BatchResults out;
  out.queries = n;
  out.per_query = static_cast<size_t>(std::min<uint64_t>(k, searchable));
  if (options.stats != nullptr) *options.stats = SearchStats{};
  if (n == 0 || out.per_query == 0) return out;

  // The rotation's and the codebook's checks, in the order rotate_unscaled
  // and the preparation make them.
  if (signs.size() != dim) return std::unexpected(SearchError::rotation(RotationError::dimension_mismatch(dim, signs.size())));
  if (!std::has_single_bit(dim)) return std::unexpected(SearchError::rotation(RotationError::not_power_of_two(dim)));
  auto codebook = centroids(bits);
  if (!codebook) return std::unexpected(SearchError::codebook(codebook.error()));

  const size_t m = out.per_query;
  out.ids.resize(n * m);
  out.scores.resize(n * m);

  const ScanKernels& kernels = scan_kernels(options.level.value_or(active_simd_level()));
  PassKernel pass_kernel;
  if (options.path != ScanPath::kExact && first_pass_shape_ok(dim, bits)) {
    const bool batch = n >= kBatchPassQueries && kernels.batch_pass[bits - 2].fn != nullptr;
    pass_kernel = batch ? kernels.batch_pass[bits - 2] : kernels.first_pass[bits - 2];
    if (pass_kernel.fn == nullptr && options.path == ScanPath::kFast) {
      pass_kernel = scan_kernels(SimdLevel::kScalar).first_pass[bits - 2];
    }
  }
  const PassFn pass = pass_kernel.fn;

  const size_t piece_rows =
      options.piece_rows != 0 ? (options.piece_rows + kBlockRows - 1) / kBlockRows * kBlockRows : piece_rows_for(len);
  const size_t pieces = (len + piece_rows - 1) / piece_rows;
  const size_t stride = scan_table_stride(bits);
  const size_t table_bytes =
      pass != nullptr ? static_cast<size_t>(pass_table_bytes(pass_kernel.format, dim, bits)) : 0;
  // A piece heap's room: min(m, the piece's rows) + 1.
  auto heap_slots = [&](size_t p) { return std::min(m, std::min(piece_rows, len - p * piece_rows)) + 1; };
  size_t heap_room = 0;  // per query
  for (size_t p = 0; p < pieces; ++p) heap_room += heap_slots(p);
  const size_t per_query_bytes = heap_room * sizeof(ScoredResult) + 2 * (m + 1) * sizeof(ScoredResult) +
                                 dim * (1 + stride) * sizeof(float) + table_bytes;
  const size_t wave_queries = std::clamp<size_t>(kWaveBytes / per_query_bytes, 1, n);

  // Everything a wave needs is allocated here, on the calling thread, so
  // that no worker allocates. The pool is created by the first scan.
  const size_t wave_cap = std::min(wave_queries, n);
  AlignedArray<float> rotated = aligned_array<float>(wave_cap * dim);
  AlignedArray<float> lanes = aligned_array<float>(wave_cap * dim * stride);
  AlignedArray<uint8_t> tables = aligned_array<uint8_t>(wave_cap * table_bytes);
  std::vector<PreparedQuery> prepared(wave_cap);
  std::vector<ScoredResult> room(wave_cap * heap_room);
  std::vector<TopKHeap> heaps;
  heaps.reserve(wave_cap * pieces);
  std::vector<ScoredResult> merge_room(wave_cap * 2 * (m + 1));
  const size_t max_groups = (wave_cap + kMaxPassQueries - 1) / kMaxPassQueries;
  std::vector<PieceQuery> states(wave_cap * pieces);
  // Enough units to keep every thread busy; otherwise as few as possible,
  // since each unit reads its piece's codes from memory once.
  const size_t threads = options.max_threads != 0 ? options.max_threads : pool_worker_count() + 1;
  const size_t bunches_wanted = std::max<size_t>(1, (4 * threads + pieces - 1) / pieces);
  std::vector<UnitStats> unit_stats(pieces * std::min(bunches_wanted, max_groups));

  SearchStats total;
  total.level = kernels.level;
  total.pieces = pieces;
  for (size_t first = 0; first < n; first += wave_cap) {
    const size_t count = std::min(wave_cap, n - first);
    PrepareWork prepare(queries.data() + first * dim, signs.data(), dim, bits, *codebook, pass != nullptr,
                        pass_kernel.format, rotated.get(), lanes.get(), tables.get(), prepared.data());
    parallel_for(count, prepare, options.max_threads);

    heaps.clear();
    size_t offset = 0;
    for (size_t q = 0; q < count; ++q) {
      for (size_t p = 0; p < pieces; ++p) {
        heaps.emplace_back(std::span(room).subspan(offset, heap_slots(p)), m);
        offset += heap_slots(p);
      }
    }

    Wave wave;
    wave.storage = &storage;
    wave.dim = dim;
    wave.block_words = storage.words_per_row() * kBlockRows;
    wave.scale = 1.0f / static_cast<float>(dim);
    wave.exact = kernels.by_bits[bits - 2];
    wave.pass = pass;
    wave.levels = pass != nullptr && is_rank1(pass_kernel.format) ? rank1_levels(pass_kernel.format, bits) : nullptr;
    wave.adaptive = options.path == ScanPath::kAuto;
    wave.row_mask = options.row_mask;
    wave.piece_rows = piece_rows;
    wave.pieces = pieces;
    wave.queries = count;
    wave.groups = (count + kMaxPassQueries - 1) / kMaxPassQueries;
    wave.groups_per_bunch = (wave.groups + bunches_wanted - 1) / bunches_wanted;
    wave.bunches = (wave.groups + wave.groups_per_bunch - 1) / wave.groups_per_bunch;
    wave.state = states.data();
    wave.prepared = prepared.data();
    wave.heaps = heaps.data();
    std::fill(unit_stats.begin(), unit_stats.end(), UnitStats{});
    wave.stats = unit_stats.data();

    ScanWork work(wave);
    const size_t units = pieces * wave.bunches;
    parallel_for(units, work, options.max_threads);
    MergeWork merge(wave, m, merge_room, out, first);
    parallel_for(count, merge, options.max_threads);

    total.units += units;
    for (size_t q = 0; q < count; ++q) total.fast_queries += prepared[q].pass ? 1 : 0;
    for (size_t u = 0; u < units; ++u) {
      total.blocks_passed += unit_stats[u].blocks_passed;
      total.blocks_skipped += unit_stats[u].blocks_skipped;
      total.rows_exact += unit_stats[u].rows_exact;
      total.fell_back += unit_stats[u].fell_back;
    }
  }
  if (options.stats != nullptr) *options.stats = total;
  return out;
}

std::expected<std::vector<ScoredResult>, SearchError> search(const Storage& storage, std::span<const float> signs,
                                                             uint8_t bits, std::span<const float> query, uint64_t k) {
  return search(storage, signs, bits, query, k, SearchOptions{});
}

std::expected<std::vector<ScoredResult>, SearchError> search(const Storage& storage, std::span<const float> signs,
                                                             uint8_t bits, std::span<const float> query, uint64_t k,
                                                             const SearchOptions& options) {
  auto found = search_batch(storage, signs, bits, query, 1, query.size(), k, options);
  if (!found) return std::unexpected(std::move(found.error()));
  std::vector<ScoredResult> results(found->per_query);
  for (size_t i = 0; i < results.size(); ++i) results[i] = {found->ids[i], found->scores[i]};
  return results;
}

}  // namespace lodex
