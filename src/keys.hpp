#pragma once
// Reading keys back from byte-string arguments. Both fail with runtime::Failure:
//   not bytes            -> "{sentence}: PyDowncastError { from: {repr}, to: \"PyBytes\" }"
//   length other than 32 -> "source slice length ({n}) does not match destination slice length (32)"
//   read_public_key only, no such point -> "The public key was not a valid curve point."

#include <cstddef>
#include <string>

#include "curve/edwards.hpp"
#include "curve/scalar.hpp"
#include "src/operations.hpp"

namespace vorlinde {

// The message for a fixed 32-byte field handed `length` bytes.
std::string slice_length_message(std::size_t length);

// The point the 32 bytes encode; non-canonical encodings and points outside
// the prime-order subgroup are accepted.
curve::EdwardsPoint read_public_key(const BytesArg& argument, const char* sentence);

// The 32 bytes as an integer with bit 255 cleared, not reduced mod l.
curve::Scalar read_secret_key(const BytesArg& argument, const char* sentence);

}  // namespace vorlinde
