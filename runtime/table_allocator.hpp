#pragma once
// Storage for large tables that are read and written at random places (the
// store's slots, the cuckoo graph). Every table starts on a cache line, so a
// 64-byte value is one line to load, not two. A table of kHugeTableBytes or
// more is aligned to 2 MiB and offered to the kernel for transparent huge
// pages: random accesses over hundreds of megabytes otherwise miss the TLB on
// almost every access, and each miss is a page walk (a nested one in a
// virtual machine), which costs more than the cache miss itself. Where the
// kernel has no huge pages to give, nothing changes but the alignment.

#include <cstddef>
#include <new>

namespace vorlinde::runtime {

inline constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;
inline constexpr std::size_t kHugeTableBytes = std::size_t{4} << 20;

// Marks [p, p + bytes) for huge pages (madvise MADV_HUGEPAGE where the
// platform has it); p is kHugePageBytes-aligned. Errors are ignored: the
// advice only affects speed.
void advise_huge_pages(void* p, std::size_t bytes) noexcept;

template <class T>
struct TableAllocator {
  using value_type = T;

  TableAllocator() = default;
  template <class U>
  TableAllocator(const TableAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kHugeTableBytes) return static_cast<T*>(::operator new(bytes, std::align_val_t{64}));
    // Whole huge pages, so that the advice covers the table and nothing else.
    const std::size_t rounded = (bytes + kHugePageBytes - 1) / kHugePageBytes * kHugePageBytes;
    void* p = ::operator new(rounded, std::align_val_t{kHugePageBytes});
    advise_huge_pages(p, rounded);
    return static_cast<T*>(p);
  }

  void deallocate(T* p, std::size_t n) noexcept {
    const std::size_t bytes = n * sizeof(T);
    ::operator delete(p, std::align_val_t{bytes < kHugeTableBytes ? 64 : kHugePageBytes});
  }

  template <class U>
  friend bool operator==(const TableAllocator&, const TableAllocator<U>&) noexcept {
    return true;
  }
};

}  // namespace vorlinde::runtime
