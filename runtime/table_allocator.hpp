#pragma once
// Storage for large tables that are read and written at random places (the
// store's slots, the cuckoo graph). Every table starts on a cache line, so a
// 64-byte value is one line to load, not two. A table of kHugeTableBytes or
// more is mapped on its own, aligned to 2 MiB and offered to the kernel for
// transparent huge pages: random accesses over hundreds of megabytes
// otherwise miss the TLB on almost every access, and each miss is a page walk
// (a nested one in a virtual machine) that costs more than the cache miss
// itself. Where the kernel has no huge pages to give, nothing changes but the
// alignment. Being mapped on its own, a large table's memory goes back to the
// system as soon as it is freed, instead of staying with the allocator, so
// an operation's peak is the tables it holds at once.

#include <cstddef>
#include <new>

namespace vorlinde::runtime {

inline constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;
inline constexpr std::size_t kHugeTableBytes = std::size_t{4} << 20;

// A mapping of at least `bytes` (>= kHugeTableBytes), kHugePageBytes-aligned.
// Failure: std::bad_alloc.
void* map_table(std::size_t bytes);
// Returns what map_table(bytes) gave.
void unmap_table(void* p, std::size_t bytes) noexcept;

template <class T>
struct TableAllocator {
  using value_type = T;

  TableAllocator() = default;
  template <class U>
  TableAllocator(const TableAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kHugeTableBytes) return static_cast<T*>(::operator new(bytes, std::align_val_t{64}));
    return static_cast<T*>(map_table(bytes));
  }

  void deallocate(T* p, std::size_t n) noexcept {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kHugeTableBytes) {
      ::operator delete(p, std::align_val_t{64});
    } else {
      unmap_table(p, bytes);
    }
  }

  template <class U>
  friend bool operator==(const TableAllocator&, const TableAllocator<U>&) noexcept {
    return true;
  }
};

}  // namespace vorlinde::runtime
