#pragma once
// The native buffer an operation builds its result in. Failing to get it is the
// likeliest out-of-memory case (its size is set by the caller's input), so it
// says so: runtime::OutOfMemory "could not allocate {size} bytes for the result".

#include <cstddef>
#include <span>
#include <utility>

#include "runtime/out_of_memory.hpp"
#include "src/operations.hpp"

namespace vorlinde {

inline Bytes result_bytes(std::size_t size) {
  return runtime::allocating(size, "the result", [&] { return Bytes(size); });
}

// A ResultBuffer that is a native buffer, for callers other than the module.
class BytesResult final : public ResultBuffer {
 public:
  std::span<std::uint8_t> allocate(std::size_t size) override {
    bytes_ = result_bytes(size);
    return bytes_;
  }
  Bytes take() { return std::move(bytes_); }

 private:
  Bytes bytes_;
};

}  // namespace vorlinde
