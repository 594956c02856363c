#pragma once
// Coordinate systems used inside point arithmetic. Each is its own type so a
// formula cannot be fed a point in the wrong system.
//
//   ProjectivePoint       (X : Y : Z)             x = X/Z, y = Y/Z
//   CompletedPoint        ((X : Z), (Y : T))      x = X/Z, y = Y/T
//   ProjectiveNielsPoint  (Y+X, Y-X, Z, 2dT)      of an extended point
//   AffineNielsPoint      (y+x, y-x, 2dxy)        of an affine point
//
// Addition produces a CompletedPoint; converting it back costs 3 (projective)
// or 4 (extended) multiplications, so doubling chains stay projective and only
// the step before an addition pays for T.

#include "curve/constants.hpp"
#include "curve/field.hpp"

namespace vorlinde::curve {

class EdwardsPoint;

struct ProjectivePoint {
  FieldElement X, Y, Z;

  // Dedicated doubling for a = -1: 3 squarings, 1 square2, no multiplication.
  struct CompletedPoint dbl() const;
};

struct CompletedPoint {
  // Sums and differences of products, which the conversions multiply.
  LooseFieldElement X, Y, Z, T;

  ProjectivePoint to_projective() const { return {X * T, Y * Z, Z * T}; }
  EdwardsPoint to_extended() const;
};

inline CompletedPoint ProjectivePoint::dbl() const {
  const FieldElement xx = X.square();
  const FieldElement yy = Y.square();
  const auto zz2 = Z.square2();
  const FieldElement x_plus_y_sq = (X + Y).square();
  const auto yy_plus_xx = yy + xx;
  const FieldElement yy_minus_xx = yy - xx;
  return {x_plus_y_sq - yy_plus_xx, yy_plus_xx, yy_minus_xx, zz2 - yy_minus_xx};
}

struct ProjectiveNielsPoint {
  // Y + X is a sum; Y - X shares its type so that negation can swap them.
  LooseFieldElement Y_plus_X, Y_minus_X;
  FieldElement Z, T2d;

  static constexpr ProjectiveNielsPoint identity() {
    return {FieldElement::one(), FieldElement::one(), FieldElement::one(), FieldElement::zero()};
  }
  // -(x, y) = (-x, y): swaps Y+X with Y-X and negates T.
  void conditional_negate(Choice c) {
    LooseFieldElement::conditional_swap(Y_plus_X, Y_minus_X, c);
    curve::conditional_negate(T2d, c);
  }
  void conditional_assign(const ProjectiveNielsPoint& o, Choice c) {
    Y_plus_X.conditional_assign(o.Y_plus_X, c);
    Y_minus_X.conditional_assign(o.Y_minus_X, c);
    Z.conditional_assign(o.Z, c);
    T2d.conditional_assign(o.T2d, c);
  }
};

struct AffineNielsPoint {
  FieldElement y_plus_x, y_minus_x, xy2d;

  static constexpr AffineNielsPoint identity() {
    return {FieldElement::one(), FieldElement::one(), FieldElement::zero()};
  }
  void conditional_negate(Choice c) {
    FieldElement::conditional_swap(y_plus_x, y_minus_x, c);
    curve::conditional_negate(xy2d, c);
  }
  void conditional_assign(const AffineNielsPoint& o, Choice c) {
    y_plus_x.conditional_assign(o.y_plus_x, c);
    y_minus_x.conditional_assign(o.y_minus_x, c);
    xy2d.conditional_assign(o.xy2d, c);
  }
};

// The eight multiples 1 P .. 8 P, selected by a signed digit in [-8, 8].
template <class Point>
struct LookupTable {
  std::array<Point, 8> entries;

  // Scans all eight entries with masks; neither the digit's magnitude nor its
  // sign reaches a branch or an address.
  Point select(std::int8_t digit) const {
    const std::uint8_t sign = static_cast<std::uint8_t>(static_cast<std::uint8_t>(digit) >> 7);
    const std::int8_t sign_mask = static_cast<std::int8_t>(-static_cast<std::int8_t>(value_barrier(sign)));
    const std::uint64_t magnitude = static_cast<std::uint8_t>((digit ^ sign_mask) - sign_mask);
    Point t = Point::identity();
    for (std::uint64_t j = 1; j <= 8; ++j) t.conditional_assign(entries[j - 1], ct_eq_u64(magnitude, j));
    t.conditional_negate(Choice::from_bit(sign));
    return t;
  }
};

}  // namespace vorlinde::curve
