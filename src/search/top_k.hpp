// The ranking every search shares: one total order on (key, storage
// position), NaN keys last, equal keys the earlier row first; the bounded
// heap that keeps a (piece, query) pair's best rows by it, the merge of
// sorted pieces and the sort of results. Allocates nothing but the one sort
// overload's scratch; knows nothing of stores, kernels or metrics.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace lodex {

// A row's id and key, and its position: its offset within the piece that
// found it (or, in a sort of one list, any order-preserving stand-in for its
// storage position). The position fills what was padding.
struct ScoredResult {
  uint64_t id;
  float score;
  uint32_t pos = 0;
};
static_assert(sizeof(ScoredResult) == 16);

// x ranks above y: a greater score, or a number against a NaN. NaN ranks
// below every number (and level with other NaNs), so a row scoring NaN is
// returned only when fewer than k rows score a number. Unlike float32 `>`
// alone this is a strict weak order, so heaps and sorts stay well defined.
inline bool ranks_above(float x, float y) { return x > y || (y != y && x == x); }

// The order of every search: row x (key xs at storage position xp) ranks
// before row y when its key ranks above y's, or the two are level (equal, or
// both NaN) and x is stored first. A total order on distinct positions, so
// which of several tied rows is returned, and where, never depends on the
// order they were offered in, on the heap's shape or on the split.
inline bool ranks_before(float xs, uint64_t xp, float ys, uint64_t yp) {
  return ranks_above(xs, ys) || (!ranks_above(ys, xs) && xp < yp);
}
inline bool ranks_before(const ScoredResult& x, const ScoredResult& y) {
  return ranks_before(x.score, x.pos, y.score, y.pos);
}

// A bounded min-heap over caller-provided room, ordered by ranks_before:
// the root (position 0) holds the lowest-ranked entry, every child ranks
// before its parent. The room must hold one entry more than the heap will
// ever keep (at most bound + 1).
class TopKHeap {
 public:
  TopKHeap(std::span<ScoredResult> room, size_t bound) : room_(room), bound_(bound) {}

  size_t size() const { return len_; }
  size_t bound() const { return bound_; }
  bool full() const { return len_ >= bound_; }
  float root_score() const { return room_[0].score; }
  const ScoredResult& root() const { return room_[0]; }
  // The heap in array order (not sorted).
  std::span<ScoredResult> entries() const { return room_.first(len_); }

  void push(ScoredResult x) { sift_up(len_++, x); }
  // Discards the root (the lowest-ranked entry).
  void pop_root() {
    const ScoredResult y = room_[--len_];
    if (len_ == 0) return;
    size_t hole = 0;
    // Move the lower-ranked child up, down to the bottom ...
    while (2 * hole + 2 < len_) {
      const size_t left = 2 * hole + 1;
      const size_t right = left + 1;
      const size_t child = ranks_before(room_[right], room_[left]) ? left : right;
      room_[hole] = room_[child];
      hole = child;
    }
    if (2 * hole + 1 < len_) {
      room_[hole] = room_[2 * hole + 1];
      hole = 2 * hole + 1;
    }
    // ... and y goes back by the push walk from the hole.
    sift_up(hole, y);
  }
  // Push, then pop the root if the heap went over its bound: whichever of
  // the newcomer and the old entries ranks last leaves. A newcomer level
  // with the root but stored later is the one that leaves.
  void offer(ScoredResult x) {
    push(x);
    if (len_ > bound_) pop_root();
  }
  void clear() { len_ = 0; }
  // Sorts entries() in place, best first: each pop moves the lowest-ranked
  // entry just past the shrinking heap. The entries are then no heap; only
  // entries() and clear() may follow.
  void sort_best_first() {
    const size_t n = len_;
    while (len_ > 1) {
      const ScoredResult lowest = room_[0];
      pop_root();
      room_[len_] = lowest;
    }
    len_ = n;
  }

 private:
  // Puts x in the hole at `pos`, after moving down every parent on the way
  // to the root that ranks before x.
  void sift_up(size_t pos, ScoredResult x) {
    while (pos > 0) {
      const size_t parent = (pos - 1) / 2;
      if (!ranks_before(room_[parent], x)) break;
      room_[pos] = room_[parent];
      pos = parent;
    }
    room_[pos] = x;
  }

  std::span<ScoredResult> room_;
  size_t bound_;
  size_t len_ = 0;
};

// The first `count` entries, best first, of lists each sorted best first and
// holding the rows of one piece: list p's positions count from p * piece_rows
// (pieces are consecutive runs of rows of one size), so their storage
// position is p * piece_rows + pos. `list(p)` gives list p, `at` holds a
// cursor per list (scratch), `emit(entry, storage position)` takes each
// result in order.
template <class ListOf, class Emit>
void merge_pieces(size_t pieces, ListOf list, uint64_t piece_rows, size_t* at, size_t count, Emit emit) {
  std::fill(at, at + pieces, size_t{0});
  for (size_t r = 0; r < count; ++r) {
    size_t best = pieces;
    uint64_t best_pos = 0;
    for (size_t p = 0; p < pieces; ++p) {
      const std::span<const ScoredResult> mine = list(p);
      if (at[p] == mine.size()) continue;
      const ScoredResult& x = mine[at[p]];
      const uint64_t x_pos = p * piece_rows + x.pos;
      if (best == pieces || ranks_before(x.score, x_pos, list(best)[at[best]].score, best_pos)) {
        best = p;
        best_pos = x_pos;
      }
    }
    if (best == pieces) return;
    emit(list(best)[at[best]++], best_pos);
  }
}

// A bottom-up merge sort of n entries over caller-provided scratch of n,
// allocation-free: it takes from the right run only when
// `right_first(right head, left head)`, so entries the predicate leaves level
// keep their order.
template <class Entry, class RightFirst>
void merge_sort(Entry* results, Entry* scratch, size_t n, RightFirst right_first) {
  if (n < 2) return;
  Entry* from = results;
  Entry* to = scratch;
  for (size_t width = 1; width < n; width *= 2) {
    for (size_t lo = 0; lo < n; lo += 2 * width) {
      const size_t mid = std::min(lo + width, n);
      const size_t hi = std::min(lo + 2 * width, n);
      size_t i = lo;
      size_t j = mid;
      size_t out = lo;
      while (i < mid && j < hi) to[out++] = right_first(from[j], from[i]) ? from[j++] : from[i++];
      while (i < mid) to[out++] = from[i++];
      while (j < hi) to[out++] = from[j++];
    }
    std::swap(from, to);
  }
  if (from != results) std::copy(from, from + n, results);
}

// Stable sort, best first, of n entries with a `score`: equal scores (and
// NaNs among themselves) keep their order, so entries given in storage order
// come out in the search's order.
template <class Entry>
void stable_sort_best_first(Entry* results, Entry* scratch, size_t n) {
  merge_sort(results, scratch, n, [](const Entry& x, const Entry& y) { return ranks_above(x.score, y.score); });
}

// Sort, best first by ranks_before, with scratch of results.size() entries.
inline void sort_results(std::span<ScoredResult> results, std::span<ScoredResult> scratch) {
  merge_sort(results.data(), scratch.data(), results.size(),
             [](const ScoredResult& x, const ScoredResult& y) { return ranks_before(x, y); });
}

// The same with scratch of its own.
inline void sort_results(std::span<ScoredResult> results) {
  std::vector<ScoredResult> scratch(results.size());
  sort_results(results, scratch);
}

}  // namespace lodex
