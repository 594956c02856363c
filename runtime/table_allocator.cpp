#include "runtime/table_allocator.hpp"

#include <sys/mman.h>

namespace vorlinde::runtime {

void advise_huge_pages(void* p, std::size_t bytes) noexcept {
#ifdef MADV_HUGEPAGE
  ::madvise(p, bytes, MADV_HUGEPAGE);
#else
  (void)p;
  (void)bytes;
#endif
}

}  // namespace vorlinde::runtime
