#include "store/block_memory.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#define LODEX_HUGE_PAGES 1
#endif

namespace lodex {

namespace {

void* heap_allocate(size_t bytes) {
  return ::operator new(std::max<size_t>(bytes, 1), std::align_val_t{kBlockAlignment});
}
void heap_free(void* p) noexcept { ::operator delete(p, std::align_val_t{kBlockAlignment}); }

#if defined(LODEX_HUGE_PAGES)

constexpr size_t kHugePage = size_t{2} << 20;
// Emptied slabs kept mapped (and resident) for the next chunks, as malloc
// keeps freed heap pages: loading an index again, or replacing one, then
// reuses them instead of faulting fresh pages in (64 MB at most).
constexpr size_t kSpareSlabs = 32;
// Slab slots below this are not worth a slab: growing chunks pass through
// them briefly, and small stores would hold a 2 MB page for a few rows.
constexpr size_t kMinSlot = size_t{256} << 10;

size_t page_rounded(size_t bytes) {
  const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return (bytes + page - 1) / page * page;
}

// `bytes` (page-rounded) of fresh zero memory starting on a 2 MB boundary,
// marked for huge pages; nullptr when none is left.
char* map_aligned(size_t bytes) {
  const size_t span = bytes + kHugePage;
  void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto at = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t start = (at + kHugePage - 1) & ~(kHugePage - 1);
  if (start > at) munmap(raw, start - at);
  if (start + bytes < at + span) munmap(reinterpret_cast<void*>(start + bytes), at + span - start - bytes);
  madvise(reinterpret_cast<void*>(start), bytes, MADV_HUGEPAGE);  // advice: failing it only costs speed
  return reinterpret_cast<char*>(start);
}

bool takes_slot(size_t bytes) { return bytes >= kMinSlot && bytes < kHugePage && kHugePage % bytes == 0; }

// 2 MB slabs cut into equal slots, by slot size; each slab found by its
// base (a slot's address rounded down to 2 MB). Out of memory, take fails
// with nothing changed and give keeps the slot taken (a leak, never a
// fault): give cannot fail.
class Slabs {
 public:
  Slabs() { spare_.reserve(kSpareSlabs); }

  void* take(size_t slot) {
    std::lock_guard lock(mutex_);
    std::vector<uintptr_t>& open = open_[slot];
    if (open.empty()) {
      open.reserve(1);
      char* fresh = spare_.empty() ? map_aligned(kHugePage) : nullptr;
      if (spare_.empty() && fresh == nullptr) return nullptr;
      const uintptr_t base = fresh != nullptr ? reinterpret_cast<uintptr_t>(fresh) : spare_.back();
      try {
        used_.try_emplace(base, 0u);
      } catch (const std::bad_alloc&) {
        if (fresh != nullptr) munmap(fresh, kHugePage);
        return nullptr;
      }
      if (fresh == nullptr) spare_.pop_back();
      open.push_back(base);
    }
    const uintptr_t base = open.back();
    uint32_t& used = used_.find(base)->second;
    const auto index = static_cast<size_t>(std::countr_one(used));
    used |= 1u << index;
    if (std::popcount(used) * slot == kHugePage) open.pop_back();
    return reinterpret_cast<void*>(base + index * slot);
  }

  void give(void* p, size_t slot) noexcept {
    const auto at = reinterpret_cast<uintptr_t>(p);
    const uintptr_t base = at & ~(kHugePage - 1);
    const uint32_t bit = 1u << ((at - base) / slot);
    std::lock_guard lock(mutex_);
    uint32_t& used = used_.find(base)->second;
    std::vector<uintptr_t>& open = open_.find(slot)->second;
    const bool was_full = std::popcount(used) * slot == kHugePage;
    if (was_full && used != bit) {
      try {
        open.push_back(base);
      } catch (const std::bad_alloc&) {
        return;
      }
    }
    // A slot given back stays resident for the next taker: returning part
    // of a huge page would split it into 4 KB pages for good.
    used &= ~bit;
    if (used != 0) return;
    if (!was_full) open.erase(std::find(open.begin(), open.end(), base));
    used_.erase(base);
    if (spare_.size() < kSpareSlabs) {
      spare_.push_back(base);  // within the reserved capacity
    } else {
      munmap(reinterpret_cast<void*>(base), kHugePage);
    }
  }

  void release_spare() noexcept {
    std::lock_guard lock(mutex_);
    for (const uintptr_t base : spare_) munmap(reinterpret_cast<void*>(base), kHugePage);
    spare_.clear();
  }

 private:
  std::mutex mutex_;
  std::map<uintptr_t, uint32_t> used_;             // by slab base: bit i while slot i is taken
  std::map<size_t, std::vector<uintptr_t>> open_;  // slabs with a free slot, by slot size
  std::vector<uintptr_t> spare_;                   // empty slabs kept for reuse
};

Slabs& slabs() {
  static Slabs* all = new Slabs;  // never destroyed: blocks may outlive static destructors
  return *all;
}

#endif  // LODEX_HUGE_PAGES

}  // namespace

void* allocate_block_memory(size_t bytes) {
#if defined(LODEX_HUGE_PAGES)
  void* p = nullptr;
  if (bytes >= kHugePage) {
    p = map_aligned(page_rounded(bytes));
  } else if (takes_slot(bytes)) {
    p = slabs().take(bytes);
  } else {
    return heap_allocate(bytes);
  }
  if (p == nullptr) throw std::bad_alloc();
  return p;
#else
  return heap_allocate(bytes);
#endif
}

void release_spare_block_memory() noexcept {
#if defined(LODEX_HUGE_PAGES)
  slabs().release_spare();
#endif
}

void free_block_memory(void* p, size_t bytes) noexcept {
  if (p == nullptr) return;
#if defined(LODEX_HUGE_PAGES)
  if (bytes >= kHugePage) {
    munmap(p, page_rounded(bytes));
    return;
  }
  if (takes_slot(bytes)) {
    slabs().give(p, bytes);
    return;
  }
#endif
  heap_free(p);
}

}  // namespace lodex
