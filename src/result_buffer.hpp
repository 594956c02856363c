#pragma once
// The native buffer an operation builds its result in. Failing to get it is the
// likeliest out-of-memory case (its size is set by the caller's input), so it
// says so: runtime::OutOfMemory "could not allocate {size} bytes for the result".

#include <cstddef>

#include "runtime/out_of_memory.hpp"
#include "src/operations.hpp"

namespace vorlinde {

inline Bytes result_bytes(std::size_t size) {
  return runtime::allocating(size, "the result", [&] { return Bytes(size); });
}

}  // namespace vorlinde
