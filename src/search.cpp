// Query preparation, the reference scorer, the top-k heaps and the parallel
// scan driver. Errors are returned as SearchError values; nothing here throws
// except std::bad_alloc, and nothing that runs on a pool worker allocates.
#include "search.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "codebook.hpp"
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
      // The general bit-stream rule: code j starts at bit j * bits, LSB first,
      // its high bits at the bottom of the next byte when it crosses one.
      const unsigned mask = (1u << bits) - 1;
      for (uint64_t j = 0; j < dim; ++j) {
        const uint64_t p = j * bits;
        const unsigned o = static_cast<unsigned>(p % 8);
        unsigned v = static_cast<unsigned>(codes[p / 8]) >> o;
        if (o + bits > 8) v |= static_cast<unsigned>(codes[p / 8 + 1]) << (8 - o);
        sum += entries[j * n + (v & mask)];
      }
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
    if (!(room_[parent].score > x.score)) break;
    room_[pos] = room_[parent];
    pos = parent;
  }
  room_[pos] = x;
}

void TopKHeap::pop_root() {
  const ScoredResult y = room_[--len_];
  if (len_ == 0) return;
  size_t hole = 0;
  // Move the lower child up; the right one unless the right is strictly
  // greater, so ties and NaN take the right child.
  while (2 * hole + 2 < len_) {
    const size_t left = 2 * hole + 1;
    const size_t right = left + 1;
    const size_t child = room_[right].score > room_[left].score ? left : right;
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
    if (!(room_[parent].score > y.score)) break;
    room_[hole] = room_[parent];
    hole = parent;
  }
  room_[hole] = y;
}

void merge_top_k(TopKHeap& a, const TopKHeap& b) {
  for (const ScoredResult& x : b.entries()) a.offer(x);
}

void sort_results(std::span<ScoredResult> results) {
  // A bottom-up merge sort rather than std::stable_sort: with NaN scores `>`
  // is not a strict weak order, which the standard algorithms require. This
  // one only ever takes from the right run when its head is strictly
  // greater, so it is stable and stays in bounds whatever the comparisons say.
  const size_t n = results.size();
  if (n < 2) return;
  std::vector<ScoredResult> buffer(n);
  ScoredResult* from = results.data();
  ScoredResult* to = buffer.data();
  for (size_t width = 1; width < n; width *= 2) {
    for (size_t lo = 0; lo < n; lo += 2 * width) {
      const size_t mid = std::min(lo + width, n);
      const size_t hi = std::min(lo + 2 * width, n);
      size_t i = lo;
      size_t j = mid;
      size_t out = lo;
      while (i < mid && j < hi) to[out++] = from[j].score > from[i].score ? from[j++] : from[i++];
      while (i < mid) to[out++] = from[i++];
      while (j < hi) to[out++] = from[j++];
    }
    std::swap(from, to);
  }
  if (from != results.data()) std::copy(from, from + n, results.data());
}

namespace {

constexpr size_t kBlocksPerChunk = kChunkRows / kBlockRows;
// Blocks scored per kernel call: the scores buffer stays in L1 and the heap
// is fed while the codes just read are still in cache.
constexpr size_t kRunBlocks = 16;

// The lane table of the kernels (see scan.hpp), aligned for whole-register loads.
struct LaneTable {
  struct Free {
    void operator()(float* p) const { ::operator delete[](p, std::align_val_t{kScanTableAlign}); }
  };
  std::unique_ptr<float[], Free> data;

  LaneTable(const QueryTable& table, uint64_t dim, uint8_t bits) {
    const size_t stride = scan_table_stride(bits);
    const size_t n = table.n_centroids;
    data.reset(static_cast<float*>(::operator new[](dim * stride * sizeof(float), std::align_val_t{kScanTableAlign})));
    for (uint64_t j = 0; j < dim; ++j) {
      for (size_t i = 0; i < stride; ++i) data[j * stride + i] = table.entries[j * n + i % n];
    }
  }
};

struct Piece {
  size_t first_block;
  size_t end_block;
  TopKHeap fold;
  TopKHeap result;
};

// The split tree: a leaf names a piece, an inner node its two halves. Merges
// follow it, lower half first, whatever order the pieces finished in.
struct SplitNode {
  size_t piece = 0;  // leaves only
  int lower = -1;
  int upper = -1;
};

int split(std::vector<SplitNode>& nodes, std::vector<std::pair<size_t, size_t>>& ranges, size_t first, size_t count,
          size_t budget, size_t min_blocks) {
  const int index = static_cast<int>(nodes.size());
  nodes.push_back({});
  if (count >= 2 && budget >= 2 && count / 2 >= min_blocks) {
    const size_t lower = count / 2;
    const int lo = split(nodes, ranges, first, lower, budget / 2, min_blocks);
    const int hi = split(nodes, ranges, first + lower, count - lower, budget - budget / 2, min_blocks);
    nodes[index].lower = lo;
    nodes[index].upper = hi;
  } else {
    nodes[index].piece = ranges.size();
    ranges.emplace_back(first, first + count);
  }
  return index;
}

// Whether any of n scores is not below `root` (NaN counts as not below).
bool may_enter(const float* scores, size_t n, float root) {
#if defined(__SSE2__)
  // SSE2 is part of every x86-64 target: a whole block in four compares.
  if (n == kBlockRows) {
    const __m128 r = _mm_set1_ps(root);
    __m128 m = _mm_cmpnlt_ps(_mm_loadu_ps(scores), r);
    m = _mm_or_ps(m, _mm_cmpnlt_ps(_mm_loadu_ps(scores + 4), r));
    m = _mm_or_ps(m, _mm_cmpnlt_ps(_mm_loadu_ps(scores + 8), r));
    m = _mm_or_ps(m, _mm_cmpnlt_ps(_mm_loadu_ps(scores + 12), r));
    return _mm_movemask_ps(m) != 0;
  }
#endif
  bool any = false;
  for (size_t i = 0; i < n; ++i) any |= !(scores[i] < root);
  return any;
}

// Offers rows to the heap in row order. A candidate strictly below a full
// heap's root would be pushed and popped straight back out, so it is
// skipped; NaN is below nothing and always takes the push. Most blocks hold
// no candidate at all once the heap is full: one pass over the block checks
// that against the root, which cannot change before the first candidate.
void feed(TopKHeap& heap, const uint64_t* ids, const float* scores, size_t rows) {
  for (size_t first = 0; first < rows; first += kBlockRows) {
    const size_t end = std::min(rows, first + kBlockRows);
    if (heap.full() && !may_enter(scores + first, end - first, heap.root_score())) continue;
    for (size_t i = first; i < end; ++i) {
      const float s = scores[i];
      if (heap.full() && s < heap.root_score()) continue;
      heap.offer({ids[i], s});
    }
  }
}

class ScanWork final : public IndexedWork {
 public:
  ScanWork(const Storage& storage, const ScanArgs& args, ScanFn kernel, std::vector<Piece>& pieces)
      : storage_(storage), args_(args), kernel_(kernel), pieces_(pieces) {}

  void run(size_t i) noexcept override {
    Piece& piece = pieces_[i];
    scan(piece.first_block, piece.end_block, piece.fold);
    merge_top_k(piece.result, piece.fold);
  }

 private:
  void scan(size_t first_block, size_t end_block, TopKHeap& heap) const {
    alignas(64) float scores[kRunBlocks * kBlockRows];
    const size_t len = storage_.len();
    for (size_t block = first_block; block < end_block;) {
      const size_t chunk = block / kBlocksPerChunk;
      const size_t in_chunk = block % kBlocksPerChunk;
      const size_t count = std::min({kRunBlocks, end_block - block, kBlocksPerChunk - in_chunk});
      const size_t row = block * kBlockRows;
      const size_t rows = std::min(count * kBlockRows, len - row);
      const size_t first_row = in_chunk * kBlockRows;  // chunk-local
      kernel_(args_, storage_.chunk_blocks(chunk) + in_chunk * args_.block_words,
              storage_.chunk_norms(chunk) + first_row, rows, scores);
      feed(heap, storage_.chunk_ids(chunk) + first_row, scores, rows);
      block += count;
    }
  }

  const Storage& storage_;
  ScanArgs args_;
  ScanFn kernel_;
  std::vector<Piece>& pieces_;
};

TopKHeap& merge_tree(std::vector<SplitNode>& nodes, std::vector<Piece>& pieces, int node) {
  const SplitNode& n = nodes[static_cast<size_t>(node)];
  if (n.lower < 0) return pieces[n.piece].result;
  TopKHeap& lower = merge_tree(nodes, pieces, n.lower);
  merge_top_k(lower, merge_tree(nodes, pieces, n.upper));
  return lower;
}

}  // namespace

const ScanKernels& scan_kernels(SimdLevel level) {
  const SimdLevel usable = std::min(level, best_simd_level());
#if defined(LODEX_X86)
  if (usable == SimdLevel::kAvx512) return kAvx512Scan;
  if (usable == SimdLevel::kAvx2) return kAvx2Scan;
#endif
  (void)usable;
  return kScalarScan;
}

std::expected<std::vector<ScoredResult>, SearchError> search(const Storage& storage, std::span<const float> signs,
                                                             uint8_t bits, std::span<const float> query, uint64_t k) {
  return search(storage, signs, bits, query, k, SearchOptions{});
}

std::expected<std::vector<ScoredResult>, SearchError> search(const Storage& storage, std::span<const float> signs,
                                                             uint8_t bits, std::span<const float> query, uint64_t k,
                                                             const SearchOptions& options) {
  const uint64_t dim = storage.dim();
  // The length is checked before the shortcuts: a wrong query is an error
  // even when there is nothing to search.
  if (query.size() != dim) return std::unexpected(SearchError::dimension_mismatch(query.size(), dim));
  const size_t len = storage.len();
  if (k == 0 || len == 0) return std::vector<ScoredResult>{};

  auto rotated = rotate_unscaled(query, signs);
  if (!rotated) return std::unexpected(SearchError::rotation(rotated.error()));
  auto codebook = centroids(bits);
  if (!codebook) return std::unexpected(SearchError::codebook(codebook.error()));
  const QueryTable table = build_query_table(*rotated, *codebook);
  const float scale = 1.0f / static_cast<float>(dim);

  const LaneTable lanes(table, dim, bits);
  const ScanKernels& kernels = scan_kernels(options.level.value_or(best_simd_level()));
  const ScanArgs args{lanes.data.get(), dim, storage.words_per_row() * kBlockRows, scale};

  // Split and allocate everything before any piece runs, so that no worker
  // allocates. The pool is created here, by the first search that scans.
  const size_t bound = static_cast<size_t>(std::min<uint64_t>(k, len));
  const size_t block_count = (len + kBlockRows - 1) / kBlockRows;
  const size_t budget = options.split_budget != 0 ? options.split_budget : pool_worker_count();
  const size_t min_blocks = std::max<size_t>(1, (options.min_piece_rows + kBlockRows - 1) / kBlockRows);
  std::vector<SplitNode> nodes;
  std::vector<std::pair<size_t, size_t>> ranges;
  split(nodes, ranges, 0, block_count, budget, min_blocks);

  std::vector<ScoredResult> room(ranges.size() * 2 * (bound + 1));
  std::vector<Piece> pieces;
  pieces.reserve(ranges.size());
  for (size_t i = 0; i < ranges.size(); ++i) {
    const std::span<ScoredResult> own = std::span(room).subspan(i * 2 * (bound + 1), 2 * (bound + 1));
    pieces.push_back({ranges[i].first, ranges[i].second, TopKHeap(own.first(bound + 1), bound),
                      TopKHeap(own.subspan(bound + 1), bound)});
  }

  ScanWork work(storage, args, kernels.by_bits[bits - 2], pieces);
  if (pieces.size() == 1) {
    work.run(0);  // one piece (a single row among them) stays on this thread
  } else {
    parallel_for(pieces.size(), work);
  }
  const std::span<ScoredResult> best = merge_tree(nodes, pieces, 0).entries();
  std::vector<ScoredResult> results(best.begin(), best.end());
  sort_results(results);

  if (options.stats != nullptr) *options.stats = {kernels.level, pieces.size()};
  return results;
}

}  // namespace lodex
