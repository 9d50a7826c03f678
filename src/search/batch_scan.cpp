// The scan driver (batch_scan.hpp): fixed pieces of rows x groups of queries
// on the pool, each (piece, query) pair fed in row order into its sink, a
// heap or a match list. Nothing here throws except std::bad_alloc on the
// calling thread, and nothing that runs on a pool worker allocates but a
// match list growing.
#include "search/batch_scan.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "kernels/block_masks.hpp"
#include "pool.hpp"

namespace lodex {

// A list's first chunk holds few matches, so that many short lists stay
// small; each next one twice its predecessor, up to a size whose freeing the
// allocator can hand back to the system on its own.
constexpr size_t kFirstChunkMatches = 16;
constexpr size_t kLastChunkMatches = size_t{1} << 16;

bool MatchList::grow() noexcept {
  const size_t capacity = tail_ == nullptr ? kFirstChunkMatches : std::min(2 * tail_->capacity, kLastChunkMatches);
  void* block = std::malloc(sizeof(MatchChunk) + capacity * (sizeof(uint64_t) + sizeof(float)));
  if (block == nullptr) {
    clear();
    failed_ = true;
    return false;
  }
  auto* chunk = static_cast<MatchChunk*>(block);
  auto* ids = reinterpret_cast<uint64_t*>(chunk + 1);
  *chunk = MatchChunk{nullptr, 0, capacity, ids, reinterpret_cast<float*>(ids + capacity)};
  (tail_ == nullptr ? head_ : tail_->next) = chunk;
  tail_ = chunk;
  return true;
}

void MatchList::clear() noexcept {
  for (MatchChunk* chunk = head_; chunk != nullptr;) {
    MatchChunk* next = chunk->next;
    std::free(chunk);
    chunk = next;
  }
  head_ = tail_ = nullptr;
  count_ = 0;
  failed_ = false;
}

size_t piece_rows_for(size_t len) {
  const size_t chunks = (len + kChunkRows - 1) / kChunkRows;
  return std::max<size_t>(1, (chunks + kTargetPieces - 1) / kTargetPieces) * kChunkRows;
}

PieceSplit split_pieces(size_t len, const SearchOptions& options) {
  PieceSplit split;
  split.rows =
      options.piece_rows != 0 ? (options.piece_rows + kBlockRows - 1) / kBlockRows * kBlockRows : piece_rows_for(len);
  // A row's position in its piece is a uint32_t (ScoredResult::pos).
  split.rows = std::min(split.rows, kMaxPieceRows);
  split.count = (len + split.rows - 1) / split.rows;
  return split;
}

size_t count_rows(const uint64_t* mask, size_t len) {
  if (mask == nullptr) return len;
  size_t total = 0;
  for (size_t w = 0; w < len / 64; ++w) total += static_cast<size_t>(std::popcount(mask[w]));
  if (len % 64 != 0) total += static_cast<size_t>(std::popcount(mask[len / 64] & ((uint64_t{1} << (len % 64)) - 1)));
  return total;
}

namespace {

// Blocks per step of a piece: the scores (or survivor masks) stay in L1 and
// the heap is fed while the codes just read are still in cache. Each run
// ends with a flush of every query's gathered survivors, which reads that
// query's whole lane table, so longer runs flush fewer, fuller blocks: on
// one core 32 took less time than 16 on Fashion-MNIST at 4 bits (784 and
// 1024 wide) and no more at dim 128 (scan_bench, benchmarks/README.md).
constexpr size_t kRunBlocks = 32;
// A piece's first run: its heaps start empty, and every query scores the
// first run exactly (blocks_may_enter has no root yet). A short one
// fills the heaps, and the first pass takes over from the next run: on one
// core 8 blocks took less time than 32 on Fashion-MNIST at 4 bits and at
// dim 128 (2 and 4 bits), and 2 or 4 took more than 8 (thresholds set by
// fewer rows let more of the next run through).
constexpr size_t kFirstRunBlocks = 8;
// A query alone in its group takes its first pass over a window of several
// runs at once, so that its kernel reads the codes in one long address-
// ordered stream the hardware prefetcher follows; the scoring of survivors
// between run-sized calls broke that stream. Windows took clearly less time
// than run-by-run passes at dim 128, 4 bits, 1M rows, one core, at AVX2 and
// AVX-512; 512 KB ones took a little less than 256 KB and 128 KB ones, and
// 1 MB ones hardly less, with more survivors (scan_bench, measured as
// benchmarks/README.md describes). A window past the L2 leaves its
// survivors' codes in L3, but they are few (a few dozen rows per 512 KB at
// 1M rows). The window's threshold is the heap's at its start, a little
// lower than run by run (a few more survivors, never a missed row), so
// windows start at one run and double up to the cap while a piece's heap
// root settles.
constexpr size_t kPassWindowBytes = size_t{512} << 10;
constexpr size_t kMaxWindowBlocks = 1024;
static_assert(kMaxWindowBlocks >= kRunBlocks);
// Heaps and per-query tables of one wave of queries stay under this; a batch
// needing more runs as several waves.
constexpr size_t kWaveBytes = size_t{64} << 20;
// The adaptive give-up of kAuto: after this many blocks checked against a
// full heap, a (piece, query) that exact-scored more than half of them
// scans the rest of its piece exactly (clustered or duplicate-heavy data).
constexpr size_t kFallbackAfterBlocks = 512;

// Whether a row may enter `heap`: it ranks before a full heap's root. Rows
// come in storage order, so one level with the root is later and stays out.
inline bool may_enter(const TopKHeap& heap, float score, uint32_t pos) {
  return !heap.full() || ranks_before(score, pos, heap.root().score, heap.root().pos);
}

// The blocks of a run of `rows` keys (block b's at b * kBlockRows) that may
// enter `heap`, as a bit mask: all of them while the heap has room or a NaN
// root, else those with a key at or above the root. Once the heap is full
// most blocks hold no candidate, and as its root only rises while the run is
// fed, a block below it at the start stays below.
uint32_t blocks_may_enter(const TopKHeap& heap, const float* keys, size_t rows) {
  if (!heap.full()) return ~uint32_t{0};
  const float root = heap.root_score();
  if (std::isnan(root)) return ~uint32_t{0};
  return blocks_at_or_above(keys, rows, root);
}

// Offers the `rows` rows of consecutive blocks whose bit is set in live[b]
// (block b's), in row order, the first at position `pos` of the piece. A row
// ranked after a full heap's root would be pushed and popped straight back
// out: it is skipped, and so is a block of rows below the root, and every
// row the first pass proves to be one.
void feed_blocks(TopKHeap& heap, const uint64_t* ids, const float* keys, size_t rows, const uint32_t* live,
                 uint32_t pos) {
  const uint32_t open = blocks_may_enter(heap, keys, rows);
  for (size_t b = 0; b * kBlockRows < rows; ++b) {
    if (live[b] == 0 || (open >> b & 1u) == 0) continue;
    const size_t at = b * kBlockRows;
    const size_t lanes = std::min(kBlockRows, rows - at);
    for (size_t i = 0; i < lanes; ++i) {
      const auto row_pos = static_cast<uint32_t>(pos + at + i);
      if ((live[b] >> i & 1u) == 0 || !may_enter(heap, keys[at + i], row_pos)) continue;
      heap.offer({ids[at + i], keys[at + i], row_pos});
    }
  }
}

// The keys of `rows` rows from their scores, in place (keys.hpp): the same
// scalar operations whatever kernel produced the scores. Returns whether a
// squared-distance key came out infinite or NaN, for the caller to hand
// those rows to ScanWork::widen_keys (an unlikely branch after the loop, so
// that the loop itself stays as it was).
bool apply_keys(KeyKind key, float add, float* scores, size_t rows, const float* terms, const uint16_t* norms) {
  if (key == KeyKind::kRowTerm) {
    for (size_t i = 0; i < rows; ++i) scores[i] = row_key(key, scores[i], terms[i], add);
  } else if (key == KeyKind::kSquaredDistance) {
    bool wide = false;
    for (size_t i = 0; i < rows; ++i) {
      const float k = row_key(key, scores[i], bf16_to_f32(norms[i]), add);
      scores[i] = k;
      wide |= !(std::fabs(k) <= std::numeric_limits<float>::max());
    }
    return wide;
  }
  return false;
}

// Where the rows of each (piece, query) pair go, at slot query * pieces +
// piece, and the first pass's threshold for them. `feed` takes the keys of
// `rows` rows of consecutive blocks, block b's live rows in live[b], the
// first at position `pos` of the piece.
// The k best rows, into a heap per pair:
class TopKSink {
 public:
  explicit TopKSink(TopKHeap* heaps) : heaps_(heaps) {}
  float below(size_t slot) const { return pass_threshold(heaps_[slot].full(), heaps_[slot].root_score()); }
  void feed(size_t slot, const uint64_t* ids, const float* keys, size_t rows, const uint32_t* live,
            uint32_t pos) const {
    feed_blocks(heaps_[slot], ids, keys, rows, live, pos);
  }
  void offer(size_t slot, uint64_t id, float key, uint32_t pos) const {
    if (may_enter(heaps_[slot], key, pos)) heaps_[slot].offer({id, key, pos});
  }

 private:
  TopKHeap* heaps_;
};

// Every row whose key is at least the floor, into a list per pair:
class RangeSink {
 public:
  RangeSink(MatchList* lists, float floor) : lists_(lists), floor_(floor), below_(pass_threshold(true, floor)) {}
  float below(size_t) const { return below_; }
  // Matches reach a list in storage order, which the merge's stable sort
  // keeps for equal keys: positions are not needed.
  void feed(size_t slot, const uint64_t* ids, const float* keys, size_t rows, const uint32_t* live,
            uint32_t /*pos*/) const {
    for (size_t at = 0; at < rows; at += kBlockRows) {
      const uint32_t block_live = live[at / kBlockRows];
      for (size_t i = at; i < std::min(at + kBlockRows, rows); ++i) {
        if ((block_live >> (i - at) & 1u) != 0 && keys[i] >= floor_) lists_[slot].add(ids[i], keys[i]);
      }
    }
  }
  void offer(size_t slot, uint64_t id, float key, uint32_t /*pos*/) const {
    if (key >= floor_) lists_[slot].add(id, key);
  }

 private:
  MatchList* lists_;
  float floor_;
  float below_;
};

}  // namespace

// Everything the units of one wave share, read-only while they run.
struct Wave {
  const Storage* storage = nullptr;
  uint64_t dim = 0;  // the store's: codes per row
  size_t block_words = 0;
  float scale = 0.0f;
  uint8_t bits = 0;
  KeyKind key = KeyKind::kScore;
  ScanFn exact = nullptr;
  ScanMixedFn mixed = nullptr;  // nullptr: each gathered block holds one query's rows
  const float* centroids = nullptr;   // the mixed kernel's, kScanTableAlign-aligned
  const float* transposed = nullptr;  // per group: its rotated queries, coordinate-major (MixedArgs)
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
  PieceQuery* state = nullptr;       // [query * pieces + piece]
  UnitStats* stats = nullptr;         // per unit
  uint32_t* gathered = nullptr;       // per unit kMixedBlocks * block_words words, when rows are copied
};

namespace {

// Rows that survived the first pass, gathered into blocks of their own,
// each lane with the query of its group it is scored for: with a mixed
// kernel, where each row is in the run (an offset from its codes); without,
// copied out (codes interleaved as in the store, block b at words + b *
// block_words), a block holding one query's rows. Up to kMixedBlocks blocks
// are scored together, once all are closed or the run ends. Rows of up to
// kGatherWords words: dim 2048 at 5 bits.
constexpr size_t kGatherWords = 320;
struct Gathered {
  uint32_t* words = nullptr;        // without a mixed kernel
  const uint32_t* codes = nullptr;  // the run's, with one
  alignas(64) uint32_t offsets[kMixedBlocks * kBlockRows] = {};
  alignas(64) uint32_t queries[kMixedBlocks * kBlockRows] = {};  // in the group, below kMaxPassQueries
  uint16_t norms[kMixedBlocks * kBlockRows];
  float terms[kMixedBlocks * kBlockRows];
  // Where each row's id is: read only for the rare row that enters the
  // heap, since the ids are the one array the first pass never touched.
  const uint64_t* ids[kMixedBlocks * kBlockRows];
  uint32_t positions[kMixedBlocks * kBlockRows];  // in the piece
  size_t rows[kMixedBlocks];
  size_t blocks = 0;  // closed blocks; the open one is block `blocks`
  size_t count = 0;   // rows in the open block
};

// One run of up to kRunBlocks blocks inside one chunk.
struct Run {
  size_t blocks = 0;
  size_t rows = 0;
  const uint32_t* codes = nullptr;
  const uint16_t* norms = nullptr;
  const float* terms = nullptr;  // with a row-term key only
  const uint64_t* ids = nullptr;
  uint32_t pos = 0;  // of the run's first row in its piece
  uint32_t live[kRunBlocks];
  size_t live_blocks = 0;
  bool all_live = false;      // every row of every block: no row mask, no short block
  size_t block = 0;           // the run's first block in the store
  size_t stretch_blocks = 0;  // blocks from there to the end of the chunk or piece
  size_t stretch_rows = 0;    // the rows they hold
};

// The survivor masks of a lone query's pass over blocks [first, end).
struct PassWindow {
  size_t first = 0;
  size_t end = 0;
  size_t next = kRunBlocks;  // blocks of the next window
  size_t cap = kRunBlocks;
  uint16_t masks[kMaxWindowBlocks];
};

// Whether run r reaches outside the blocks the window's masks cover.
bool outside(const Run& r, const PassWindow& window) {
  return r.block < window.first || r.block + r.blocks > window.end;
}

// A group's slot for a query that scores the run exactly, without a pass.
constexpr size_t kNoPass = kMaxPassQueries;

// Unit u of a wave: piece u / bunches, and the query groups of bunch
// u % bunches. A unit walks its piece run by run and gives each run to all
// its groups in turn, so the run's codes are read from memory once and
// served from L1 to every group. Which unit does what never changes a
// result: each (piece, query) pair still sees its rows in row order.
template <class Sink>
class ScanWork final : public IndexedWork {
 public:
  ScanWork(const Wave& wave, const Sink& sink) : w_(wave), sink_(sink) {}

  void run(size_t unit) noexcept override {
    const size_t piece = unit / w_.bunches;
    const size_t bunch = unit % w_.bunches;
    const size_t first_group = bunch * w_.groups_per_bunch;
    const size_t end_group = std::min(w_.groups, first_group + w_.groups_per_bunch);
    Gathered g;
    g.words = w_.gathered != nullptr ? w_.gathered + unit * kMixedBlocks * w_.block_words : nullptr;
    scan_piece(piece, first_group, end_group, g, w_.stats[unit]);
  }

 private:
  void scan_piece(size_t piece, size_t first_group, size_t end_group, Gathered& g, UnitStats& stats) const {
    const size_t first_row = piece * w_.piece_rows;
    const size_t end_row = std::min(w_.storage->len(), first_row + w_.piece_rows);
    const size_t first_block = first_row / kBlockRows;
    const size_t end_block = (end_row + kBlockRows - 1) / kBlockRows;
    for (size_t q = first_group * kMaxPassQueries; q < std::min(w_.queries, end_group * kMaxPassQueries); ++q) {
      w_.state[q * w_.pieces + piece] = {w_.pass != nullptr && w_.prepared[q].pass, 0, 0};
    }

    Run r;
    PassWindow window;
    window.cap = std::clamp(kPassWindowBytes / (w_.block_words * sizeof(uint32_t)), kRunBlocks, kMaxWindowBlocks);
    for (size_t block = first_block; block < end_block; block += r.blocks) {
      set_run(r, block, block == first_block ? kFirstRunBlocks : kRunBlocks, end_block, end_row, first_row);
      if (r.live_blocks == 0) continue;
      for (size_t group = first_group; group < end_group; ++group) {
        const size_t first_query = group * kMaxPassQueries;
        scan_run(r, piece, first_query, std::min(kMaxPassQueries, w_.queries - first_query), g, stats, window);
      }
    }
    // Survivors held for a window whose last runs had no live row.
    close_block(g, piece, first_group * kMaxPassQueries, stats);
    flush(g, piece, first_group * kMaxPassQueries, stats);
  }

  // Points r at up to `want` blocks from `block`, stopping at the end of
  // its chunk and of the piece (end_block, end_row; its first row first_row).
  void set_run(Run& r, size_t block, size_t want, size_t end_block, size_t end_row, size_t first_row) const {
    const Storage& storage = *w_.storage;
    const size_t chunk = block / kBlocksPerChunk;
    const size_t in_chunk = block % kBlocksPerChunk;
    r.blocks = std::min({want, end_block - block, kBlocksPerChunk - in_chunk});
    const size_t row = block * kBlockRows;
    r.rows = std::min(r.blocks * kBlockRows, end_row - row);
    r.codes = storage.chunk_blocks(chunk) + in_chunk * w_.block_words;
    r.norms = storage.chunk_norms(chunk) + in_chunk * kBlockRows;
    r.terms = w_.key == KeyKind::kRowTerm ? storage.chunk_terms(chunk) + in_chunk * kBlockRows : nullptr;
    r.ids = storage.chunk_ids(chunk) + in_chunk * kBlockRows;
    r.pos = static_cast<uint32_t>(row - first_row);
    r.block = block;
    r.stretch_blocks = std::min(end_block - block, kBlocksPerChunk - in_chunk);
    r.stretch_rows = std::min(r.stretch_blocks * kBlockRows, end_row - row);
    mark_live(r, row, end_row);
  }

  // The searchable rows of each block of r, which starts at `row` (rows are
  // 16-aligned, so a block's 16 bits never straddle two mask words).
  void mark_live(Run& r, size_t row, size_t end_row) const {
    r.all_live = w_.row_mask == nullptr && r.rows == r.blocks * kBlockRows;
    r.live_blocks = r.all_live ? r.blocks : 0;
    if (r.all_live) std::fill_n(r.live, r.blocks, 0xFFFFu);
    for (size_t b = 0; !r.all_live && b < r.blocks; ++b) {
      const size_t at = row + b * kBlockRows;
      uint32_t bits = (1u << std::min(kBlockRows, end_row - at)) - 1;
      if (w_.row_mask != nullptr) bits &= static_cast<uint32_t>(w_.row_mask[at / 64] >> (at % 64));
      r.live[b] = bits;
      r.live_blocks += bits != 0 ? 1 : 0;
    }
  }

  // Run r for the group of `count` queries from first_query: the first pass
  // where it runs, then each query's rows scored exactly (all of them, or
  // the survivors) and fed to its sink.
  void scan_run(const Run& r, size_t piece, size_t first_query, size_t count, Gathered& g, UnitStats& stats,
                PassWindow& window) const {
    const bool gather = w_.storage->words_per_row() <= kGatherWords;
    flush_outside_window(r, piece, first_query, g, stats, window);
    PassQuery pass_queries[kMaxPassQueries];
    size_t pass_slot[kMaxPassQueries];
    const size_t passers = choose_passers(piece, first_query, count, pass_queries, pass_slot);
    uint16_t survivors[kRunBlocks * kMaxPassQueries];
    const uint16_t* pass_out = passers > 0 ? run_pass(r, count, pass_queries, passers, survivors, window) : survivors;

    alignas(64) float scores[kRunBlocks * kBlockRows];
    for (size_t i = 0; i < count; ++i) {
      const size_t q = first_query + i;
      if (pass_slot[i] == kNoPass) {
        score_run(r, piece, q, scores, stats);
        continue;
      }
      const uint16_t* mine = pass_out + pass_slot[i];
      const uint32_t busy = busy_blocks(r, mine, passers);
      const auto busy_count = static_cast<size_t>(std::popcount(busy));
      stats.blocks_passed += r.live_blocks;
      stats.blocks_skipped += r.live_blocks - busy_count;
      score_survivors(r, piece, first_query, i, mine, passers, busy, gather, g, scores, stats);
      give_up_if_unproductive(w_.state[q * w_.pieces + piece], r.live_blocks, busy_count, stats);
    }
    if (gather && !holds_survivors(r, piece, first_query, passers, window)) {
      close_block(g, piece, first_query, stats);
      flush(g, piece, first_query, stats);
    }
  }

  // A lone query's survivors wait in g until its pass window ends, so that
  // they fill mixed blocks rather than scoring one or two rows a run (at
  // most a few dozen rows a window, all in one chunk: their offsets count
  // from the codes of the first run that holds any). Held rows are scored
  // before a new window's pass reads the heap's threshold, and before any
  // later row is offered: every row still reaches the heap in row order.
  void flush_outside_window(const Run& r, size_t piece, size_t first_query, Gathered& g, UnitStats& stats,
                            const PassWindow& window) const {
    if (g.blocks + g.count > 0 && outside(r, window)) {
      close_block(g, piece, first_query, stats);
      flush(g, piece, first_query, stats);
    }
    if (g.blocks + g.count == 0) g.codes = r.codes;
  }

  // Whether the survivors gathered in this run stay held for the next: a
  // lone query, passing, with a mixed kernel and its window not yet ended.
  bool holds_survivors(const Run& r, size_t piece, size_t first_query, size_t passers,
                       const PassWindow& window) const {
    return w_.queries == 1 && w_.mixed != nullptr && passers == 1 &&
           w_.state[first_query * w_.pieces + piece].passing && r.block + r.blocks < window.end;
  }

  // The queries of the group that take the first pass over this run, at
  // pass_queries[0 .. returned), against their thresholds as they stand
  // before the run (a root only rises while it runs); pass_slot[i] is query
  // i's place among them or kNoPass. A query whose threshold is still
  // -infinity (a heap not yet full) would keep every row: it scores the run
  // exactly instead, its blocks side by side, rather than gathering each row
  // into blocks of its own (the first run of every piece, where that cost
  // the most).
  size_t choose_passers(size_t piece, size_t first_query, size_t count, PassQuery* pass_queries,
                        size_t* pass_slot) const {
    size_t passers = 0;
    for (size_t i = 0; i < count; ++i) {
      const size_t q = first_query + i;
      pass_slot[i] = kNoPass;
      if (!w_.state[q * w_.pieces + piece].passing) continue;
      const float below = sink_.below(q * w_.pieces + piece);
      if (below == -std::numeric_limits<float>::infinity()) continue;
      const PreparedQuery& p = w_.prepared[q];
      pass_queries[passers] = {p.table, p.plan.delta, p.plan.offset, below, p.add.narrow};
      pass_slot[i] = passers++;
    }
    return passers;
  }

  // The survivor masks of the passers over run r (block b, passer j at
  // [b * passers + j]). A group's pass covers the run, into `survivors`; a
  // lone query's covers a window of runs, passed when r leaves the last.
  const uint16_t* run_pass(const Run& r, size_t count, const PassQuery* pass_queries, size_t passers,
                           uint16_t* survivors, PassWindow& window) const {
    const PassArgs args{w_.dim, w_.block_words, w_.scale, pass_queries, passers, w_.levels,
                        w_.key, r.norms,        r.terms};
    if (count > 1) {
      w_.pass(args, r.codes, r.norms, r.rows, survivors);
      return survivors;
    }
    if (outside(r, window)) {
      const size_t blocks = std::clamp(window.next, r.blocks, r.stretch_blocks);
      w_.pass(args, r.codes, r.norms, std::min(blocks * kBlockRows, r.stretch_rows), window.masks);
      window.first = r.block;
      window.end = r.block + blocks;
      window.next = std::min(window.next * 2, window.cap);
    }
    return window.masks + (r.block - window.first);
  }

  // Query q without a pass: every row of the run scored exactly and fed.
  void score_run(const Run& r, size_t piece, size_t q, float* scores, UnitStats& stats) const {
    const PreparedQuery& p = w_.prepared[q];
    const ScanArgs args{p.lanes, w_.dim, w_.block_words, w_.scale};
    w_.exact(args, r.codes, r.norms, r.rows, scores);
    if (apply_keys(w_.key, p.add.narrow, scores, r.rows, r.terms, r.norms)) [[unlikely]] {
      widen_keys(p, r.codes, r.norms, r.rows, scores);
    }
    stats.rows_exact += r.rows;
    sink_.feed(q * w_.pieces + piece, r.ids, scores, r.rows, r.live, r.pos);
  }

  // The blocks of run r with a live survivor in `mine` (block b's mask at
  // mine[b * passers]), as a bit mask.
  uint32_t busy_blocks(const Run& r, const uint16_t* mine, size_t passers) const {
    // A lone query's masks are contiguous, and with every row live they are all there is to test.
    if (r.all_live && passers == 1) return blocks_with_survivors(mine, r.blocks);
    uint32_t busy = 0;
    for (size_t b = 0; b < r.blocks; ++b) {
      busy |= static_cast<uint32_t>((mine[b * passers] & r.live[b]) != 0) << b;
    }
    return busy;
  }

  // The live survivors of query first_query + i in the `busy` blocks: each
  // block scored exactly where rows are too wide to gather; else gathered
  // into blocks of their own, scored when full or at the run's end.
  void score_survivors(const Run& r, size_t piece, size_t first_query, size_t i, const uint16_t* mine,
                       size_t passers, uint32_t busy, bool gather, Gathered& g, float* scores,
                       UnitStats& stats) const {
    for (; busy != 0; busy &= busy - 1) {
      const auto b = static_cast<size_t>(std::countr_zero(busy));
      const uint32_t keep = mine[b * passers] & r.live[b];
      if (gather) {
        gather_rows(r, b, keep, piece, first_query, i, g, stats);
      } else {
        score_block(r, b, keep, piece, first_query + i, scores, stats);
      }
    }
    if (w_.mixed == nullptr) close_block(g, piece, first_query, stats);
  }

  // Block b of run r scored exactly for query q; its rows in `keep` fed.
  void score_block(const Run& r, size_t b, uint32_t keep, size_t piece, size_t q, float* scores,
                   UnitStats& stats) const {
    const PreparedQuery& p = w_.prepared[q];
    const ScanArgs args{p.lanes, w_.dim, w_.block_words, w_.scale};
    const size_t at = b * kBlockRows;
    const size_t lanes = std::min(kBlockRows, r.rows - at);
    w_.exact(args, r.codes + b * w_.block_words, r.norms + at, lanes, scores + at);
    if (apply_keys(w_.key, p.add.narrow, scores + at, lanes, r.terms != nullptr ? r.terms + at : nullptr,
                   r.norms + at)) [[unlikely]] {
      widen_keys(p, r.codes + b * w_.block_words, r.norms + at, lanes, scores + at);
    }
    stats.rows_exact += lanes;
    sink_.feed(q * w_.pieces + piece, r.ids + at, scores + at, lanes, &keep, static_cast<uint32_t>(r.pos + at));
  }

  // Survivors are few and scattered: the rows in `keep` of block b go into
  // g for query i of the group, shared with the group's other queries where
  // the level has a mixed kernel; each query's rows are still fed in row
  // order.
  void gather_rows(const Run& r, size_t b, uint32_t keep, size_t piece, size_t first_query, size_t i, Gathered& g,
                   UnitStats& stats) const {
    const size_t words = w_.storage->words_per_row();
    const size_t at = b * kBlockRows;
    for (; keep != 0; keep &= keep - 1) {
      const auto lane = static_cast<size_t>(std::countr_zero(keep));
      const size_t to = g.blocks * kBlockRows + g.count;
      if (w_.mixed != nullptr) {
        g.offsets[to] = static_cast<uint32_t>((r.codes - g.codes) + b * w_.block_words + lane);
      } else {
        const uint32_t* from = r.codes + b * w_.block_words + lane;
        uint32_t* to_words = g.words + g.blocks * w_.block_words + g.count;
        for (size_t w = 0; w < words; ++w) to_words[w * kBlockRows] = from[w * kBlockRows];
      }
      g.queries[to] = static_cast<uint32_t>(i);
      g.norms[to] = r.norms[at + lane];
      g.terms[to] = r.terms != nullptr ? r.terms[at + lane] : 0.0f;
      g.ids[to] = r.ids + at + lane;
      g.positions[to] = static_cast<uint32_t>(r.pos + at + lane);
      // Fetched now, read after the scoring: the first pass never touched
      // the ids, and a row that enters the heap would otherwise wait on a
      // miss (a visible share of a lone query's time at 1M rows).
      __builtin_prefetch(g.ids[to]);
      if (++g.count == kBlockRows) close_block(g, piece, first_query, stats);
    }
  }

  // kAuto's give-up: a (piece, query) whose pass kept more than half of the
  // blocks it checked, once it has checked kFallbackAfterBlocks, scores the
  // rest of its piece exactly.
  void give_up_if_unproductive(PieceQuery& state, size_t checked, size_t busy_count, UnitStats& stats) const {
    state.checked += checked;
    state.exact_blocks += busy_count;
    if (w_.adaptive && state.checked >= kFallbackAfterBlocks && state.exact_blocks * 2 > state.checked) {
      state.passing = false;
      ++stats.fell_back;
    }
  }

  // Closes the open block of g if it holds rows; scores the closed blocks
  // once there are kMixedBlocks of them.
  void close_block(Gathered& g, size_t piece, size_t first_query, UnitStats& stats) const {
    if (g.count == 0) return;
    g.rows[g.blocks] = g.count;
    g.count = 0;
    if (++g.blocks == kMixedBlocks) flush(g, piece, first_query, stats);
  }

  // Scores the closed blocks of g (rows of the group starting at
  // first_query) and offers their rows in lane order, block by block in the
  // order they were closed: each query's rows come in row order.
  void flush(Gathered& g, size_t piece, size_t first_query, UnitStats& stats) const {
    if (g.blocks == 0) return;
    alignas(64) float scores[kMixedBlocks * kBlockRows];
    if (w_.mixed != nullptr) {
      const MixedArgs args{w_.dim, w_.scale, w_.centroids,
                           w_.transposed + first_query / kMaxPassQueries * w_.dim * kMaxPassQueries};
      w_.mixed(args, g.codes, g.offsets, g.queries, g.norms, g.rows, g.blocks, scores);
    } else {
      for (size_t b = 0; b < g.blocks; ++b) {
        const size_t at = b * kBlockRows;
        const ScanArgs args{w_.prepared[first_query + g.queries[at]].lanes, w_.dim, w_.block_words, w_.scale};
        w_.exact(args, g.words + b * w_.block_words, g.norms + at, g.rows[b], scores + at);
      }
    }
    for (size_t b = 0; b < g.blocks; ++b) {
      for (size_t lane = b * kBlockRows; lane < b * kBlockRows + g.rows[b]; ++lane) {
        const size_t q = first_query + g.queries[lane];
        const PreparedQuery& p = w_.prepared[q];
        if (apply_keys(w_.key, p.add.narrow, scores + lane, 1, g.terms + lane, g.norms + lane)) [[unlikely]] {
          const uint32_t* words = w_.mixed != nullptr ? g.codes + g.offsets[lane]
                                                      : g.words + b * w_.block_words + (lane - b * kBlockRows);
          scores[lane] = wide_key(p, words, g.norms[lane], scores[lane]);
        }
        sink_.offer(q * w_.pieces + piece, *g.ids[lane], scores[lane], g.positions[lane]);
      }
      stats.rows_exact += g.rows[b];
    }
    g.blocks = 0;
  }

  // The rows among `rows` rows of consecutive blocks from `codes` whose
  // squared-distance key is not finite, their keys recomputed (wide_key).
  [[gnu::cold, gnu::noinline]] void widen_keys(const PreparedQuery& p, const uint32_t* codes,
                                               const uint16_t* norms, size_t rows, float* keys) const {
    for (size_t i = 0; i < rows; ++i) {
      if (std::isfinite(keys[i])) continue;
      const uint32_t* words = codes + i / kBlockRows * w_.block_words + i % kBlockRows;
      keys[i] = wide_key(p, words, norms[i], keys[i]);
    }
  }

  // The key of the row whose code word 0 is at `words` (its words kBlockRows
  // apart, as in a block), its float32 key `key` not finite: when the row's
  // norm and the query's constant are finite, the chain again in double
  // (wide_squared_key), else `key` as it is. The scan no longer holds the
  // row's estimate, so it is recomputed from the row's codes and the query's
  // lane table, as every exact kernel computes it bit for bit: the sum S of
  // its entries in coordinate order, and s = fl(S * f) with f = fl(n * sd).
  // Where s overflowed (S * f past float32), s is S * f unrounded, both
  // float32 factors multiplied exactly in double, and where S overflowed
  // too, S is the entries' sum in double (the first pass bounds either:
  // first_pass.cpp, step 6). A NaN entry or sum leaves `key` as it is.
  [[gnu::cold, gnu::noinline]] float wide_key(const PreparedQuery& p, const uint32_t* words, uint16_t norm,
                                              float key) const {
    const float n = bf16_to_f32(norm);
    if (!std::isfinite(n) || !std::isfinite(p.add.wide)) return key;
    const uint32_t mask = (1u << w_.bits) - 1;
    const size_t stride = scan_table_stride(w_.bits);
    float sum = 0.0f;
    double wide_sum = 0.0;
    for (uint64_t j = 0; j < w_.dim; ++j) {
      const uint64_t at = j * w_.bits;
      const uint32_t* lo = words + at / 32 * kBlockRows;
      const unsigned shift = static_cast<unsigned>(at % 32);
      uint32_t code = *lo >> shift;
      if (shift + w_.bits > 32) code |= lo[kBlockRows] << (32 - shift);
      const float entry = p.lanes[j * stride + (code & mask)];
      sum += entry;
      wide_sum += entry;
    }
    const float f = n * w_.scale;
    const float ip = sum * f;
    double wide_ip = ip;
    if (std::isinf(ip) || std::isinf(sum)) wide_ip = (std::isfinite(sum) ? sum : wide_sum) * static_cast<double>(f);
    if (!std::isfinite(wide_ip)) return key;
    return wide_squared_key(wide_ip, n, p.add.wide);
  }

  const Wave& w_;
  const Sink& sink_;
};

// Preparation, rotation and tables of the wave's queries, one query per call.
class PrepareWork final : public IndexedWork {
 public:
  PrepareWork(const float* queries, const ScanModel& model, uint64_t width, uint8_t bits,
              std::span<const float> codebook, bool want_pass, PassFormat format, float* rotated, float* lanes,
              uint8_t* tables, float* scratch, size_t scratch_stride, PreparedQuery* prepared)
      : queries_(queries),
        model_(model),
        width_(width),
        bits_(bits),
        codebook_(codebook),
        want_pass_(want_pass),
        format_(format),
        rotated_(rotated),
        lanes_(lanes),
        tables_(tables),
        scratch_(scratch),
        scratch_stride_(scratch_stride),
        prepared_(prepared) {}

  void run(size_t i) noexcept override {
    const size_t stride = scan_table_stride(bits_);
    const size_t n = codebook_.size();
    const uint64_t dim = model_.rotator->dim();
    float* r = rotated_ + i * width_;
    float* buffer = scratch_ + i * scratch_stride_;
    PreparedQuery& p = prepared_[i];
    // The query as the metric sees it (normalised, shifted: or as it is),
    // then its rotation (for the Hadamard rotation as rotate_unscaled: the
    // sign products, then the unscaled transform in place).
    const float* v = prepare_query(model_.metric, queries_ + i * dim, dim, buffer, &p.add);
    model_.rotator->rotate(v, r, buffer + dim);
    // The lane table holds the QueryTable's products centroid[c] * r[j],
    // replicated past 2^bits (see scan.hpp); the replicated centroids are
    // formed once, so that each entry is one product (no index division).
    float* lanes = lanes_ + i * width_ * stride;
    float centroid[32];
    for (size_t c = 0; c < stride; ++c) centroid[c] = codebook_[c % n];
    for (uint64_t j = 0; j < width_; ++j) {
      for (size_t c = 0; c < stride; ++c) lanes[j * stride + c] = centroid[c] * r[j];
    }
    p.lanes = lanes;
    p.pass = false;
    p.reaches_wide_rows = model_.metric.key == KeyKind::kSquaredDistance && reaches_wide_rows(r, n);
    // A constant past float32 leaves every bound infinite or NaN: nothing
    // for a pass to skip, and for "l2" -infinity, which would skip rows
    // whose recomputed key is finite (first_pass.cpp, step 6).
    if (want_pass_ && std::isfinite(p.add.narrow)) {
      uint8_t* table = tables_ + i * pass_table_bytes(format_, width_, bits_);
      if (const auto plan = build_pass_plan(format_, lanes, stride, r, width_, bits_, table)) {
        p.table = table;
        p.plan = *plan;
        p.pass = true;
      }
    }
  }

 private:
  // Whether the query's estimates may reach 2^38 * n for a row of norm n:
  // |s| <= fl(n * sd) * |S| and |S| <= (1 + 2^-8) sum_j max_c |e[j][c]|,
  // e[j][c] = fl(centroid[c] * r[j]), so that bound times sd, 2^38, keeps
  // every row of n >= 2^64 at or below -FLT_MAX (first_pass.cpp, step 6)
  // with room to spare. Ordinary queries are far below: sd * sum_j |r[j]|
  // is about |q|.
  bool reaches_wide_rows(const float* r, size_t centroids) const {
    double largest = 0.0;
    for (size_t c = 0; c < centroids; ++c) largest = std::max(largest, std::fabs(static_cast<double>(codebook_[c])));
    double sum = 0.0;
    for (uint64_t j = 0; j < width_; ++j) sum += std::fabs(static_cast<double>(r[j]));
    return !(sum * largest * static_cast<double>(model_.metric.scale) < 0x1p38);
  }

  const float* queries_;
  const ScanModel& model_;
  uint64_t width_;
  uint8_t bits_;
  std::span<const float> codebook_;
  bool want_pass_;
  PassFormat format_;
  float* rotated_;
  float* lanes_;
  uint8_t* tables_;
  float* scratch_;
  size_t scratch_stride_;
  PreparedQuery* prepared_;
};

// Group i's rotated queries coordinate-major (MixedArgs), zeros past the
// wave's last query.
class TransposeWork final : public IndexedWork {
 public:
  TransposeWork(const float* rotated, uint64_t width, size_t queries, float* out)
      : rotated_(rotated), width_(width), queries_(queries), out_(out) {}

  void run(size_t i) noexcept override {
    const size_t first = i * kMaxPassQueries;
    const size_t count = std::min(kMaxPassQueries, queries_ - first);
    float* to = out_ + i * width_ * kMaxPassQueries;
    for (uint64_t j = 0; j < width_; ++j) {
      for (size_t q = 0; q < kMaxPassQueries; ++q) {
        to[j * kMaxPassQueries + q] = q < count ? rotated_[(first + q) * width_ + j] : 0.0f;
      }
    }
  }

 private:
  const float* rotated_;
  uint64_t width_;
  size_t queries_;
  float* out_;
};

// The first pass a search takes, if any: the level's batch pass for
// kBatchPassQueries queries or more where it has one, else its first pass;
// kFast takes the scalar pass where the level has none.
PassKernel choose_pass_kernel(const ScanKernels& kernels, uint64_t width, uint8_t bits, size_t n, ScanPath path) {
  if (path == ScanPath::kExact || !first_pass_shape_ok(width, bits)) return {};
  const bool batch = n >= kBatchPassQueries && kernels.batch_pass[bits - 2].fn != nullptr;
  PassKernel kernel = batch ? kernels.batch_pass[bits - 2] : kernels.first_pass[bits - 2];
  if (kernel.fn == nullptr && path == ScanPath::kFast) kernel = scan_kernels(SimdLevel::kScalar).first_pass[bits - 2];
  return kernel;
}

}  // namespace

BatchScan::BatchScan(const Storage& storage, const ScanModel& model, uint8_t bits, std::span<const float> codebook,
                     const float* queries, size_t n, size_t sink_bytes, const SearchOptions& options)
    : storage_(storage), model_(model), bits_(bits), codebook_(codebook), queries_(queries), options_(options),
      kernels_(scan_kernels(options.level.value_or(active_simd_level()))),
      pass_kernel_(choose_pass_kernel(kernels_, storage.dim(), bits, n, options.path)),
      split_(split_pieces(storage.len(), options)) {
  const uint64_t width = storage.dim();
  const size_t stride = scan_table_stride(bits);
  table_bytes_ = pass_kernel_.fn != nullptr ? static_cast<size_t>(pass_table_bytes(pass_kernel_.format, width, bits))
                                            : 0;
  scratch_stride_ = static_cast<size_t>(model.rotator->dim()) + model.rotator->scratch_floats();
  const size_t per_query_bytes =
      sink_bytes + width * (2 + stride) * sizeof(float) + table_bytes_ + scratch_stride_ * sizeof(float);
  wave_cap_ = std::clamp<size_t>(kWaveBytes / per_query_bytes, 1, n);

  rotated_ = aligned_array<float>(wave_cap_ * width);
  lanes_ = aligned_array<float>(wave_cap_ * width * stride);
  tables_ = aligned_array<uint8_t>(wave_cap_ * table_bytes_);
  scratch_.resize(wave_cap_ * scratch_stride_);
  prepared_.resize(wave_cap_);
  const size_t max_groups = (wave_cap_ + kMaxPassQueries - 1) / kMaxPassQueries;
  states_.resize(wave_cap_ * split_.count);
  // Enough units to keep every thread busy; otherwise as few as possible,
  // since each unit reads its piece's codes from memory once.
  const size_t threads = options.max_threads != 0 ? options.max_threads : pool_worker_count() + 1;
  bunches_wanted_ = std::max<size_t>(1, (4 * threads + split_.count - 1) / split_.count);
  unit_stats_.resize(split_.count * std::min(bunches_wanted_, max_groups));
  if (storage.words_per_row() <= kGatherWords) {
    mixed_ = scan_mixed_kernel(kernels_.level, bits);
    if (mixed_ == nullptr) {
      gathered_ = aligned_array<uint32_t>(unit_stats_.size() * kMixedBlocks * storage.words_per_row() * kBlockRows);
    }
  }
  if (mixed_ != nullptr) {
    transposed_ = aligned_array<float>(max_groups * width * kMaxPassQueries);
    centroids_ = aligned_array<float>(stride);
    for (size_t c = 0; c < stride; ++c) centroids_[c] = codebook[c % codebook.size()];
  }
  total_.level = kernels_.level;
  total_.pieces = split_.count;
}

template <class Sink>
void BatchScan::scan(size_t first, size_t count, const Sink& sink) {
  prepare(first, count);
  std::fill(unit_stats_.begin(), unit_stats_.end(), UnitStats{});
  const Wave wave = wave_of(count);
  ScanWork<Sink> work(wave, sink);
  const size_t units = split_.count * wave.bunches;
  parallel_for(units, work, options_.max_threads);
  add_stats(count, units);
}

void BatchScan::scan_top_k(size_t first, size_t count, TopKHeap* heaps) { scan(first, count, TopKSink(heaps)); }

void BatchScan::scan_range(size_t first, size_t count, MatchList* lists, float floor) {
  scan(first, count, RangeSink(lists, floor));
}

// Queries [first, first + count) become the wave's: rotated, with their lane
// tables and pass plans, and per group transposed for the mixed kernel.
void BatchScan::prepare(size_t first, size_t count) {
  const uint64_t width = storage_.dim();
  PrepareWork prepare(queries_ + first * model_.rotator->dim(), model_, width, bits_, codebook_,
                      pass_kernel_.fn != nullptr, pass_kernel_.format, rotated_.get(), lanes_.get(), tables_.get(),
                      scratch_.data(), scratch_stride_, prepared_.data());
  parallel_for(count, prepare, options_.max_threads);
  for (size_t q = 0; q < count; ++q) {
    PreparedQuery& p = prepared_[q];
    if (p.pass && p.reaches_wide_rows && holds_wide_rows()) p.pass = false;
  }
  if (mixed_ != nullptr) {
    TransposeWork transpose(rotated_.get(), width, count, transposed_.get());
    parallel_for((count + kMaxPassQueries - 1) / kMaxPassQueries, transpose, options_.max_threads);
  }
}

// What the units of a wave of `count` prepared queries share.
Wave BatchScan::wave_of(size_t count) {
  const PassFn pass = pass_kernel_.fn;
  Wave wave;
  wave.storage = &storage_;
  wave.dim = storage_.dim();
  wave.block_words = storage_.words_per_row() * kBlockRows;
  wave.scale = model_.metric.scale;
  wave.bits = bits_;
  wave.key = model_.metric.key;
  wave.exact = kernels_.by_bits[bits_ - 2];
  wave.mixed = mixed_;
  wave.centroids = centroids_.get();
  wave.transposed = transposed_.get();
  wave.gathered = gathered_.get();
  wave.pass = pass;
  wave.levels =
      pass != nullptr && is_rank1(pass_kernel_.format) ? rank1_levels(pass_kernel_.format, bits_) : nullptr;
  wave.adaptive = options_.path == ScanPath::kAuto;
  wave.row_mask = options_.row_mask;
  wave.piece_rows = split_.rows;
  wave.pieces = split_.count;
  wave.queries = count;
  wave.groups = (count + kMaxPassQueries - 1) / kMaxPassQueries;
  wave.groups_per_bunch = (wave.groups + bunches_wanted_ - 1) / bunches_wanted_;
  wave.bunches = (wave.groups + wave.groups_per_bunch - 1) / wave.groups_per_bunch;
  wave.state = states_.data();
  wave.prepared = prepared_.data();
  wave.stats = unit_stats_.data();
  return wave;
}

// Whether a row of the store has a norm n >= 2^64, whose fl(n * n) is
// +infinity: read once a scan, and only for a query that reaches such rows.
bool BatchScan::holds_wide_rows() {
  if (!wide_rows_) {
    wide_rows_ = false;
    for (size_t c = 0; c < storage_.chunk_count() && !*wide_rows_; ++c) {
      const uint16_t* norms = storage_.chunk_norms(c);
      const size_t rows = std::min(kChunkRows, storage_.len() - c * kChunkRows);
      wide_rows_ = std::any_of(norms, norms + rows, [](uint16_t n) { return bf16_to_f32(n) >= 0x1p64f; });
    }
  }
  return *wide_rows_;
}

void BatchScan::add_stats(size_t count, size_t units) {
  total_.units += units;
  for (size_t q = 0; q < count; ++q) total_.fast_queries += prepared_[q].pass ? 1 : 0;
  for (size_t u = 0; u < units; ++u) {
    total_.blocks_passed += unit_stats_[u].blocks_passed;
    total_.blocks_skipped += unit_stats_[u].blocks_skipped;
    total_.rows_exact += unit_stats_[u].rows_exact;
    total_.fell_back += unit_stats_[u].fell_back;
  }
}

}  // namespace lodex
