#include "runtime/table_allocator.hpp"

#include <cstdint>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/mman.h>
#define VORLINDE_HAVE_MMAP 1
#endif

namespace vorlinde::runtime {

namespace {

std::size_t whole_huge_pages(std::size_t bytes) {
  if (bytes > SIZE_MAX - kHugePageBytes) throw std::bad_alloc();
  return (bytes + kHugePageBytes - 1) / kHugePageBytes * kHugePageBytes;
}

}  // namespace

#ifdef VORLINDE_HAVE_MMAP

void* map_table(std::size_t bytes) {
  const std::size_t size = whole_huge_pages(bytes);
  if (size > SIZE_MAX - kHugePageBytes) throw std::bad_alloc();
  // Map one huge page more than needed and cut the start up to the first
  // 2 MiB boundary and the rest after the table.
  const std::size_t mapped = size + kHugePageBytes;
  void* raw = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = (start + kHugePageBytes - 1) / kHugePageBytes * kHugePageBytes;
  if (aligned > start) ::munmap(raw, aligned - start);
  const std::uintptr_t end = aligned + size;
  if (start + mapped > end) ::munmap(reinterpret_cast<void*>(end), start + mapped - end);
  void* table = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
  ::madvise(table, size, MADV_HUGEPAGE);  // advice only: an error changes nothing but speed
#endif
  return table;
}

void unmap_table(void* p, std::size_t bytes) noexcept { ::munmap(p, whole_huge_pages(bytes)); }

#else

void* map_table(std::size_t bytes) { return ::operator new(whole_huge_pages(bytes), std::align_val_t{kHugePageBytes}); }

void unmap_table(void* p, std::size_t) noexcept { ::operator delete(p, std::align_val_t{kHugePageBytes}); }

#endif

}  // namespace vorlinde::runtime
