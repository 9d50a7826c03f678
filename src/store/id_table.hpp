// A small open-addressing hash table from u64 ids to u64 values, for the
// id lookups of remove, get and allow-lists: each of them streams over every
// stored id once and asks this table about it, so a lookup must cost a few
// nanoseconds, not the pointer chase of a node-based set. (`in` asks about
// one id: a plain scan of the stored ids answers it without a table.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace lodex {

class IdTable {
 public:
  static constexpr uint64_t kNone = ~uint64_t{0};

  // Every id of `ids` (duplicates collapse), each with the value kNone.
  // Without `with_values` the table is a set: slot_of must not be called.
  explicit IdTable(std::span<const uint64_t> ids, bool with_values = false);

  size_t size() const { return count_; }
  // Starts loading the slot `id` hashes to. A table larger than the caches
  // is bound by these misses; issuing them some ids ahead overlaps them.
  void prefetch(uint64_t id) const { __builtin_prefetch(&keys_[static_cast<size_t>(hash(id)) & mask_]); }
  // How far ahead of a lookup to prefetch.
  static constexpr size_t kPrefetchAhead = 16;
  bool contains(uint64_t id) const {
    if (id == kEmpty) return has_empty_key_;
    return keys_[find(id)] == id;
  }
  // The value slot of `id`, or nullptr when the table does not hold it.
  uint64_t* slot_of(uint64_t id);
  const uint64_t* slot_of(uint64_t id) const;

 private:
  static uint64_t hash(uint64_t id) { return (id ^ (id >> 29)) * 0xBF58476D1CE4E5B9ull; }
  size_t find(uint64_t id) const;  // the slot holding id, or the empty slot where it would go

  // The key kEmpty marks a free slot; the id that equals it, if listed, is
  // kept aside in has_empty_key_ / empty_key_value_.
  static constexpr uint64_t kEmpty = 0;
  std::vector<uint64_t> keys_;
  std::vector<uint64_t> values_;
  size_t mask_ = 0;
  size_t count_ = 0;
  bool has_empty_key_ = false;
  uint64_t empty_key_value_ = kNone;
};

}  // namespace lodex
