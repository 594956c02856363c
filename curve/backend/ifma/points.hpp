#pragma once
// Point models of edwards25519 in lanes, one point per lane, mirroring
// curve/models.hpp: each coordinate system is its own type, and the formulas
// are the portable backend's (Hisil-Wong-Carter-Dawson 2008 for a = -1,
// complete, so no lane needs a special case).
//
//   ExtendedX8         (X : Y : Z : T)        x = X/Z, y = Y/Z, x y = T/Z
//   ProjectiveX8       (X : Y : Z)
//   CompletedX8        ((X : Z), (Y : T))
//   ProjectiveNielsX8  (Y+X, Y-X, Z, 2dT)
//   AffineNielsX8      (y+x, y-x, 2dxy)
//
// Every coordinate is an F51x8, so limbs stay below 2^52 and feed products
// directly; products that only feed a sum or difference stay wide (no carry
// pass of their own). Compiled only into the IFMA library.

#include "curve/backend/ifma/field.hpp"

namespace vorlinde::curve::backend::ifma {

inline F51x8 edwards_d() {
  return F51x8::broadcast({0x34dca135978a3, 0x1a8283b156ebd, 0x5e7a26001c029, 0x739c663a03cbb, 0x52036cee2b6ff});
}
inline F51x8 edwards_d2() {
  return F51x8::broadcast({0x69b9426b2f159, 0x35050762add7a, 0x3cf44c0038052, 0x6738cc7407977, 0x2406d9dc56dff});
}

struct ExtendedX8;

// An extended point as the addition formulas read it: (Y+X, Y-X, Z, T).
// Made from a completed point, Y+X and Y-X come from the wide products X T
// and Y Z with one carry pass each instead of three.
struct ExtendedSumsX8 {
  F51x8 Y_plus_X, Y_minus_X, Z, T;
};

struct CompletedX8 {
  F51x8 X, Y, Z, T;

  struct ProjectiveX8 to_projective() const;
  ExtendedX8 to_extended() const;
  ExtendedSumsX8 to_extended_sums() const {
    const F51x8Wide x = F51x8::mul_wide(X, T), y = F51x8::mul_wide(Y, Z);
    return {y + x, y - x, Z * T, X * Y};
  }
};

struct ProjectiveX8 {
  F51x8 X, Y, Z;

  // 3 squarings and 2 Z^2, no product.
  CompletedX8 dbl() const {
    const F51x8Wide xx = X.square_wide();
    const F51x8Wide yy = Y.square_wide();
    const F51x8Wide zz2 = Z.square2_wide();
    const F51x8Wide x_plus_y_sq = (X + Y).square_wide();
    const F51x8 yy_plus_xx = yy + xx;
    const F51x8 yy_minus_xx = yy - xx;
    return {x_plus_y_sq - yy_plus_xx, yy_plus_xx, yy_minus_xx, zz2 - yy_minus_xx};
  }
};

struct ProjectiveNielsX8 {
  F51x8 Y_plus_X, Y_minus_X, Z, T2d;

  static ProjectiveNielsX8 identity() { return {F51x8::one(), F51x8::one(), F51x8::one(), F51x8::zero()}; }
  void conditional_assign(const ProjectiveNielsX8& o, Mask c) {
    Y_plus_X.conditional_assign(o.Y_plus_X, c);
    Y_minus_X.conditional_assign(o.Y_minus_X, c);
    Z.conditional_assign(o.Z, c);
    T2d.conditional_assign(o.T2d, c);
  }
  // -(x, y) = (-x, y): swap Y+X with Y-X, negate T.
  void conditional_negate(Mask c) {
    F51x8::conditional_swap(Y_plus_X, Y_minus_X, c);
    T2d.conditional_assign(-T2d, c);
  }
};

struct AffineNielsX8 {
  F51x8 y_plus_x, y_minus_x, xy2d;

  void conditional_negate(Mask c) {
    F51x8::conditional_swap(y_plus_x, y_minus_x, c);
    xy2d.conditional_assign(-xy2d, c);
  }
};

struct ExtendedX8 {
  F51x8 X, Y, Z, T;

  static ExtendedX8 identity() { return {F51x8::zero(), F51x8::one(), F51x8::one(), F51x8::zero()}; }
  ExtendedSumsX8 sums() const { return {Y + X, Y - X, Z, T}; }

  ProjectiveX8 to_projective() const { return {X, Y, Z}; }
  ProjectiveNielsX8 to_projective_niels() const { return {Y + X, Y - X, Z, T * edwards_d2()}; }

  void conditional_assign(const ExtendedX8& o, Mask c) {
    X.conditional_assign(o.X, c);
    Y.conditional_assign(o.Y, c);
    Z.conditional_assign(o.Z, c);
    T.conditional_assign(o.T, c);
  }
};

inline ProjectiveX8 CompletedX8::to_projective() const { return {X * T, Y * Z, Z * T}; }
inline ExtendedX8 CompletedX8::to_extended() const { return {X * T, Y * Z, Z * T, X * Y}; }

inline CompletedX8 operator+(const ExtendedSumsX8& p, const ProjectiveNielsX8& q) {
  const F51x8Wide pp = F51x8::mul_wide(p.Y_plus_X, q.Y_plus_X);
  const F51x8Wide mm = F51x8::mul_wide(p.Y_minus_X, q.Y_minus_X);
  const F51x8Wide tt2d = F51x8::mul_wide(p.T, q.T2d);
  const F51x8Wide zz2 = F51x8::mul2_wide(p.Z, q.Z);
  return {pp - mm, pp + mm, zz2 + tt2d, zz2 - tt2d};
}

inline CompletedX8 operator+(const ExtendedSumsX8& p, const AffineNielsX8& q) {
  const F51x8Wide pp = F51x8::mul_wide(p.Y_plus_X, q.y_plus_x);
  const F51x8Wide mm = F51x8::mul_wide(p.Y_minus_X, q.y_minus_x);
  const F51x8Wide txy2d = F51x8::mul_wide(p.T, q.xy2d);
  const F51x8 z2 = p.Z + p.Z;
  return {pp - mm, pp + mm, z2 + txy2d, z2 - txy2d};
}

inline CompletedX8 operator+(const ExtendedX8& p, const ProjectiveNielsX8& q) { return p.sums() + q; }
inline CompletedX8 operator+(const ExtendedX8& p, const AffineNielsX8& q) { return p.sums() + q; }

}  // namespace vorlinde::curve::backend::ifma
