// The open-addressing id table: linear probing in a power-of-two table kept
// at most half full, so a miss ends within a few slots.
#include "store/id_table.hpp"

#include <algorithm>
#include <bit>

namespace lodex {

IdTable::IdTable(std::span<const uint64_t> ids, bool with_values) {
  const size_t slots = std::bit_ceil(std::max<size_t>(16, ids.size() * 2));
  keys_.assign(slots, kEmpty);
  if (with_values) values_.assign(slots, kNone);
  mask_ = slots - 1;
  for (size_t i = 0; i < ids.size(); ++i) {
    if (i + kPrefetchAhead < ids.size()) prefetch(ids[i + kPrefetchAhead]);
    const uint64_t id = ids[i];
    if (id == kEmpty) {
      count_ += has_empty_key_ ? 0 : 1;
      has_empty_key_ = true;
      continue;
    }
    const size_t at = find(id);
    if (keys_[at] == kEmpty) {
      keys_[at] = id;
      ++count_;
    }
  }
}

size_t IdTable::find(uint64_t id) const {
  size_t at = static_cast<size_t>(hash(id)) & mask_;
  while (keys_[at] != id && keys_[at] != kEmpty) at = (at + 1) & mask_;
  return at;
}

const uint64_t* IdTable::slot_of(uint64_t id) const {
  if (id == kEmpty) return has_empty_key_ ? &empty_key_value_ : nullptr;
  const size_t at = find(id);
  return keys_[at] == id ? &values_[at] : nullptr;
}

uint64_t* IdTable::slot_of(uint64_t id) {
  return const_cast<uint64_t*>(static_cast<const IdTable*>(this)->slot_of(id));
}

}  // namespace lodex
