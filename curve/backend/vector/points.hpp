#pragma once
// Point models of edwards25519 in lanes, one point per lane, over any lane
// field F, mirroring curve/models.hpp: each coordinate system is its own type,
// and the formulas are the portable backend's (Hisil-Wong-Carter-Dawson 2008
// for a = -1, complete, so no lane needs a special case).
//
//   Extended         (X : Y : Z : T)        x = X/Z, y = Y/Z, x y = T/Z
//   Projective       (X : Y : Z)
//   Completed        ((X : Z), (Y : T))
//   ProjectiveNiels  (Y+X, Y-X, Z, 2dT)
//   AffineNiels      (y+x, y-x, 2dxy)
//
// Every coordinate is an F (lane_field.hpp), within the bounds its products
// accept; products that only feed a sum or difference stay wide (F::Wide, no
// carry pass of their own).

#include "curve/backend/vector/isa_only.hpp"

#include "curve/backend/vector/constants.hpp"

namespace vorlinde::curve::backend::vector {

// The doubling's squares, a^2 or 2 a^2: wide where the field's carry is the
// longer chain.
template <int Factor, class F>
inline auto doubling_square(const F& a) {
  if constexpr (F::kDoublingFromWide) return a.template squared<Factor>();
  else if constexpr (Factor == 1) return a.square();
  else return a.square2();
}

template <class F> struct Extended;
template <class F> struct Projective;

// An extended point as the addition formulas read it: (Y+X, Y-X, Z, T).
// Made from a completed point, Y+X and Y-X come from the wide products X T
// and Y Z with one carry pass each instead of three.
template <class F>
struct ExtendedSums {
  F Y_plus_X, Y_minus_X, Z, T;
};

template <class F>
struct Completed {
  F X, Y, Z, T;

  Projective<F> to_projective() const { return {X * T, Y * Z, Z * T}; }
  Extended<F> to_extended() const { return {X * T, Y * Z, Z * T, X * Y}; }
  ExtendedSums<F> to_extended_sums() const {
    const auto x = F::mul_wide(X, T), y = F::mul_wide(Y, Z);
    return {y + x, y - x, Z * T, X * Y};
  }
};

template <class F>
struct Projective {
  F X, Y, Z;

  // 3 squarings and 2 Z^2, no product.
  Completed<F> dbl() const {
    const auto xx = doubling_square<1>(X);
    const auto yy = doubling_square<1>(Y);
    const auto zz2 = doubling_square<2>(Z);
    const auto x_plus_y_sq = doubling_square<1>(X + Y);
    const F yy_plus_xx = yy + xx;
    const F yy_minus_xx = yy - xx;
    return {x_plus_y_sq - yy_plus_xx, yy_plus_xx, yy_minus_xx, zz2 - yy_minus_xx};
  }
};

template <class F>
struct ProjectiveNiels {
  F Y_plus_X, Y_minus_X, Z, T2d;

  static ProjectiveNiels identity() { return {F::one(), F::one(), F::one(), F::zero()}; }
  void conditional_assign(const ProjectiveNiels& o, typename F::Mask c) {
    Y_plus_X.conditional_assign(o.Y_plus_X, c);
    Y_minus_X.conditional_assign(o.Y_minus_X, c);
    Z.conditional_assign(o.Z, c);
    T2d.conditional_assign(o.T2d, c);
  }
  // -(x, y) = (-x, y): swap Y+X with Y-X, negate T.
  void conditional_negate(typename F::Mask c) {
    F::conditional_swap(Y_plus_X, Y_minus_X, c);
    T2d.conditional_assign(-T2d, c);
  }
};

template <class F>
struct AffineNiels {
  F y_plus_x, y_minus_x, xy2d;

  void conditional_negate(typename F::Mask c) {
    F::conditional_swap(y_plus_x, y_minus_x, c);
    xy2d.conditional_assign(-xy2d, c);
  }
};

template <class F>
struct Extended {
  F X, Y, Z, T;

  static Extended identity() { return {F::zero(), F::one(), F::one(), F::zero()}; }
  ExtendedSums<F> sums() const { return {Y + X, Y - X, Z, T}; }

  Projective<F> to_projective() const { return {X, Y, Z}; }
  ProjectiveNiels<F> to_projective_niels() const { return {Y + X, Y - X, Z, T * F::broadcast(limbs51::EDWARDS_D2)}; }

  void conditional_assign(const Extended& o, typename F::Mask c) {
    X.conditional_assign(o.X, c);
    Y.conditional_assign(o.Y, c);
    Z.conditional_assign(o.Z, c);
    T.conditional_assign(o.T, c);
  }
};

template <class F>
inline Completed<F> operator+(const ExtendedSums<F>& p, const ProjectiveNiels<F>& q) {
  const auto pp = F::mul_wide(p.Y_plus_X, q.Y_plus_X);
  const auto mm = F::mul_wide(p.Y_minus_X, q.Y_minus_X);
  const auto tt2d = F::mul_wide(p.T, q.T2d);
  const auto zz2 = F::mul2_wide(p.Z, q.Z);
  return {pp - mm, pp + mm, zz2 + tt2d, zz2 - tt2d};
}

template <class F>
inline Completed<F> operator+(const ExtendedSums<F>& p, const AffineNiels<F>& q) {
  const auto pp = F::mul_wide(p.Y_plus_X, q.y_plus_x);
  const auto mm = F::mul_wide(p.Y_minus_X, q.y_minus_x);
  const auto txy2d = F::mul_wide(p.T, q.xy2d);
  const F z2 = p.Z + p.Z;
  return {pp - mm, pp + mm, z2 + txy2d, z2 - txy2d};
}

// q either Niels form.
template <class F, class Q>
inline Completed<F> operator+(const Extended<F>& p, const Q& q) {
  return p.sums() + q;
}

}  // namespace vorlinde::curve::backend::vector
