#include "runtime/out_of_memory.hpp"

#include <cstdio>

namespace vorlinde::runtime {

OutOfMemory::OutOfMemory(std::size_t bytes, const char* purpose) noexcept {
  std::snprintf(message_, sizeof message_, "could not allocate %zu bytes for %s", bytes, purpose);
}

OutOfMemory::OutOfMemory(const char* kind, std::size_t count, const char* unit, const char* purpose) noexcept {
  std::snprintf(message_, sizeof message_, "could not allocate a %s of %zu %s for %s", kind, count, unit, purpose);
}

}  // namespace vorlinde::runtime
