// The ranking every search shares: the order of scores (NaN last), the
// bounded heap that keeps a (piece, query) pair's best rows, the merge of
// heaps and the stable sort of results. Allocates nothing but the one sort
// overload's scratch; knows nothing of stores, kernels or metrics.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace lodex {

struct ScoredResult {
  uint64_t id;
  float score;
};

// x ranks above y: a greater score, or a number against a NaN. NaN ranks
// below every number (and level with other NaNs), so a row scoring NaN is
// returned only when fewer than k rows score a number. Unlike float32 `>`
// alone this is a strict weak order, so heaps and sorts stay well defined.
inline bool ranks_above(float x, float y) { return x > y || (y != y && x == x); }

// A bounded min-heap over caller-provided room: the root (position 0) holds a
// lowest-ranked entry, no parent ranks strictly above a child. The room must
// hold one entry more than the heap will ever keep (at most bound + 1).
class TopKHeap {
 public:
  TopKHeap(std::span<ScoredResult> room, size_t bound) : room_(room), bound_(bound) {}

  size_t size() const { return len_; }
  size_t bound() const { return bound_; }
  bool full() const { return len_ >= bound_; }
  float root_score() const { return room_[0].score; }
  // The heap in array order (not sorted).
  std::span<ScoredResult> entries() const { return room_.first(len_); }

  void push(ScoredResult x) { sift_up(len_++, x); }
  // Discards the root; only used right after a push that made size() = bound + 1.
  void pop_root() {
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
    sift_up(hole, y);
  }
  // Push, then pop the root if the heap went over its bound: an equal
  // newcomer enters and the earlier root leaves.
  void offer(ScoredResult x) {
    push(x);
    if (len_ > bound_) pop_root();
  }
  void clear() { len_ = 0; }

 private:
  // Puts x in the hole at `pos`, after moving down every parent on the way
  // to the root that ranks strictly above it.
  void sift_up(size_t pos, ScoredResult x) {
    while (pos > 0) {
      const size_t parent = (pos - 1) / 2;
      if (!ranks_above(room_[parent].score, x.score)) break;
      room_[pos] = room_[parent];
      pos = parent;
    }
    room_[pos] = x;
  }

  std::span<ScoredResult> room_;
  size_t bound_;
  size_t len_ = 0;
};

// Offers b's entries to a in b's array order.
inline void merge_top_k(TopKHeap& a, const TopKHeap& b) {
  for (const ScoredResult& x : b.entries()) a.offer(x);
}

// Stable sort, best first, of n entries with a `score`: x before y exactly
// when x ranks above y; equal scores (and NaNs among themselves) keep their
// order. Uses caller-provided scratch of n entries; allocates nothing.
template <class Entry>
void sort_best_first(Entry* results, Entry* scratch, size_t n) {
  // A bottom-up merge sort that takes from the right run only when its head
  // ranks strictly above the left one's: stable, and allocation-free.
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
      while (i < mid && j < hi) to[out++] = ranks_above(from[j].score, from[i].score) ? from[j++] : from[i++];
      while (i < mid) to[out++] = from[i++];
      while (j < hi) to[out++] = from[j++];
    }
    std::swap(from, to);
  }
  if (from != results) std::copy(from, from + n, results);
}

// The same for results, with scratch of results.size() entries.
inline void sort_results(std::span<ScoredResult> results, std::span<ScoredResult> scratch) {
  sort_best_first(results.data(), scratch.data(), results.size());
}

// The same with scratch of its own.
inline void sort_results(std::span<ScoredResult> results) {
  std::vector<ScoredResult> scratch(results.size());
  sort_results(results, scratch);
}

}  // namespace lodex
