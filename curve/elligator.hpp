#pragma once
// Points of edwards25519 as uniform 32-byte strings, through Curve25519 and the
// Elligator 2 map (non-square Z = 2): the field-level maps, deterministic and
// single-point. src/point_conversion.hpp adds the random branch bit and the
// failure of the module; the batched forms are in curve/backend.hpp.
//
// Representative layout: bits 0..254 hold r, an Elligator 2 preimage of the
// point's Montgomery u (as produced: canonical and even); bit 255 holds the
// sign (low bit) of the point's Edwards x. Every 32-byte string reads as a
// point; about half of all points have a representative.
//
// Sign convention: a field element is negative when its canonical encoding is
// odd; |x| is the even one of x and -x.

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "curve/choice.hpp"
#include "curve/edwards.hpp"
#include "curve/field.hpp"

namespace vorlinde::curve {

using Representative = std::array<std::uint8_t, 32>;

// The canonical encoding of a Curve25519 u-coordinate (no v, no sign).
struct MontgomeryPoint {
  std::array<std::uint8_t, 32> bytes;
  bool operator==(const MontgomeryPoint&) const = default;
};

// u = (Z + Y) / (Z - Y), the inverse taken as a power p - 2, so the identity
// and the point (0, -1) both map to u = 0.
MontgomeryPoint to_montgomery(const EdwardsPoint& point);

// The point with y = (u - 1) / (u + 1) and x of the given sign (0 or 1).
// Absent when u = -1 or when y belongs to no curve point (u on the twist).
std::optional<EdwardsPoint> to_edwards(const MontgomeryPoint& u, std::uint8_t sign);

// Elligator 2: x1 = -A / (1 + 2 r^2); u = x1 when x1^3 + A x1^2 + x1 is a square
// (zero included), else u = -(x1 + A). r and -r give the same u; u is always
// on the curve and never -1.
MontgomeryPoint elligator_encode(const FieldElement& r);

// The even preimage r of u on one branch: |sqrt(-(u + A) / (2u))| for branch 1,
// |sqrt(-u / (2 (u + A)))| for branch 0. Absent when -2 u (u + A) is zero or
// not a square.
std::optional<FieldElement> elligator_decode(const MontgomeryPoint& u, Choice branch);

// The representative of `point` on the given branch, or absent when the point
// has none (among them the identity and (0, -1)).
std::optional<Representative> point_to_uniform_bytes(const EdwardsPoint& point, Choice branch);

// The same without deciding: `bytes` is the representative when `valid` is set.
struct RepresentativeResult {
  Representative bytes;
  Choice valid;
};
RepresentativeResult point_to_uniform_bytes_masked(const EdwardsPoint& point, Choice branch);

// The point that a 32-byte string represents, and the curve equation checked
// on it (set for every input; the caller decides what a clear one means).
struct MappedPoint {
  EdwardsPoint point;
  Choice on_curve;
};
MappedPoint uniform_bytes_to_point(std::span<const std::uint8_t, 32> bytes);

}  // namespace vorlinde::curve
