#pragma once
// The two representative maps written step by step from their definition, on
// top of the four building blocks: the oracle that the one-exponentiation
// versions in src/point_conversion.cpp are checked (and benchmarked) against.

#include <optional>
#include <span>

#include "tests/cpp/curve/support.hpp"
#include "curve/edwards.hpp"
#include "runtime/failure.hpp"
#include "src/point_conversion.hpp"

namespace vorlinde::oracle {

// u = to_montgomery(P); r = elligator_decode(u, branch); out = bytes(r);
// Q = uniform_bytes_to_point(out) (sign 0); set bit 255 when Q != P.
inline std::optional<Representative> point_to_uniform_bytes(const curve::EdwardsPoint& point,
                                                            curve::Choice branch) {
  const std::optional<curve::FieldElement> r = elligator_decode(to_montgomery(point), branch);
  if (!r) return std::nullopt;
  Representative out = r->to_bytes();
  const std::optional<curve::EdwardsPoint> q = to_edwards(elligator_encode(*r), 0);
  if (!q) throw runtime::Failure(kInvalidElligatorPointMessage);
  if (!(*q == point)) out[31] |= 0x80;
  return out;
}

inline curve::EdwardsPoint uniform_bytes_to_point(std::span<const std::uint8_t, 32> bytes) {
  const std::uint8_t sign = bytes[31] >> 7;
  const std::optional<curve::EdwardsPoint> point =
      to_edwards(elligator_encode(curve::FieldElement::from_bytes(bytes)), sign);
  if (!point) throw runtime::Failure(kInvalidElligatorPointMessage);
  return *point;
}

}  // namespace vorlinde::oracle
