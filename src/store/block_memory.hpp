// Memory for the store's code blocks. A search streams every block once per
// query, and with 4 KB pages each page costs the scan a TLB miss, which a
// one-query pass over millions of rows feels (the README's Benchmarks
// section has the figures). So blocks of 2 MB or more start on a 2 MB
// boundary and ask for transparent huge pages, and smaller buffers whose
// size divides 2 MB (a full chunk at dim 128, 4 bits, is 1 MB) share 2 MB
// slabs that do. Anything else, and every platform without transparent
// huge pages, gets cache-line-aligned heap memory.
#pragma once

#include <cstddef>
#include <new>

namespace lodex {

// A cache line: the scan's loads never straddle two (a misaligned chunk slows
// every load of the scan that crosses a line).
inline constexpr size_t kBlockAlignment = 64;

// Throws std::bad_alloc when no memory is left. The result is aligned to at
// least 64 bytes; it is not zeroed.
void* allocate_block_memory(size_t bytes);
// Gives back what allocate_block_memory(bytes) returned, with the same bytes.
void free_block_memory(void* p, size_t bytes) noexcept;
// Returns the emptied slabs kept for reuse to the system.
void release_spare_block_memory() noexcept;

template <class T>
struct BlockAllocator {
  using value_type = T;
  BlockAllocator() = default;
  template <class U>
  BlockAllocator(const BlockAllocator<U>&) {}  // NOLINT
  T* allocate(size_t n) { return static_cast<T*>(allocate_block_memory(n * sizeof(T))); }
  void deallocate(T* p, size_t n) noexcept { free_block_memory(p, n * sizeof(T)); }
  friend bool operator==(const BlockAllocator&, const BlockAllocator&) { return true; }
};

}  // namespace lodex
