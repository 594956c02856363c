#pragma once
// Points of edwards25519 as uniform 32-byte strings (the Elligator 2 maps of
// curve/elligator.hpp), with the random branch bit drawn from the calling
// thread's generator and the module's failure for an impossible point.

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "curve/elligator.hpp"

namespace vorlinde {

using curve::elligator_decode;
using curve::elligator_encode;
using curve::MontgomeryPoint;
using curve::point_to_uniform_bytes;
using curve::Representative;
using curve::to_edwards;
using curve::to_montgomery;

// The representative of `point` with the branch drawn as the top bit of the
// calling thread's next 32-bit output, drawn on every call, also when the
// result is absent. Throws runtime::Failure("could not initialize thread_rng:
// ...") if the thread's generator cannot be keyed.
std::optional<Representative> point_to_uniform_bytes(const curve::EdwardsPoint& point);

// The point that a 32-byte string represents. Defined for every input; throws
// runtime::Failure("The point from the Elligator map is invalid, this should
// never happen.") only if that were ever violated.
curve::EdwardsPoint uniform_bytes_to_point(std::span<const std::uint8_t, 32> bytes);

inline constexpr const char* kInvalidElligatorPointMessage =
    "The point from the Elligator map is invalid, this should never happen.";

}  // namespace vorlinde
