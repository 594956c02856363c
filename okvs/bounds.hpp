#pragma once
// Index checks shared by the store's parts. Every out-of-range access in the
// store is a caller error that aborts the operation with one message form, so
// that a failure reads the same whichever part caught it.

#include <cstdint>
#include <string>

#include "runtime/failure.hpp"

namespace vorlinde::okvs {

[[noreturn]] inline void fail_index_out_of_bounds(std::uint64_t len, std::uint64_t index) {
  throw runtime::Failure("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
                         std::to_string(index));
}

inline void check_index(std::uint64_t len, std::uint64_t index) {
  if (index >= len) [[unlikely]] {
    fail_index_out_of_bounds(len, index);
  }
}

// The guard for states that the store's own bookkeeping cannot produce.
[[noreturn]] inline void fail_unwrap_none() {
  throw runtime::Failure("called `Option::unwrap()` on a `None` value");
}

// An equality assertion on two counts that must agree.
inline void check_counts_equal(std::uint64_t left, std::uint64_t right, const char* what) {
  if (left != right) [[unlikely]] {
    throw runtime::Failure(std::string("assertion `left == right` failed: ") + what + "\n  left: " +
                           std::to_string(left) + "\n right: " + std::to_string(right));
  }
}

}  // namespace vorlinde::okvs
