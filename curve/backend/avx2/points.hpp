#pragma once
// Point models of edwards25519 in lanes, one point per lane, mirroring
// curve/models.hpp: each coordinate system is its own type, and the formulas
// are the portable backend's (Hisil-Wong-Carter-Dawson 2008 for a = -1,
// complete, so no lane needs a special case).
//
//   ExtendedX4         (X : Y : Z : T)        x = X/Z, y = Y/Z, x y = T/Z
//   ProjectiveX4       (X : Y : Z)
//   CompletedX4        ((X : Z), (Y : T))
//   ProjectiveNielsX4  (Y+X, Y-X, Z, 2dT)
//   AffineNielsX4      (y+x, y-x, 2dxy)
//
// Every coordinate is an F25x4, so limbs stay within the bounds that products accept
// directly; products that only feed a sum or difference stay wide (no carry
// pass of their own). Compiled only into the AVX2 library.

#include "curve/backend/avx2/field.hpp"

namespace vorlinde::curve::backend::avx2 {

inline F25x4 edwards_d() {
  return F25x4::broadcast({0x34dca135978a3, 0x1a8283b156ebd, 0x5e7a26001c029, 0x739c663a03cbb, 0x52036cee2b6ff});
}
inline F25x4 edwards_d2() {
  return F25x4::broadcast({0x69b9426b2f159, 0x35050762add7a, 0x3cf44c0038052, 0x6738cc7407977, 0x2406d9dc56dff});
}

struct ExtendedX4;

// An extended point as the addition formulas read it: (Y+X, Y-X, Z, T).
// Made from a completed point, Y+X and Y-X come from the wide products X T
// and Y Z with one carry pass each instead of three.
struct ExtendedSumsX4 {
  F25x4 Y_plus_X, Y_minus_X, Z, T;
};

struct CompletedX4 {
  F25x4 X, Y, Z, T;

  struct ProjectiveX4 to_projective() const;
  ExtendedX4 to_extended() const;
  ExtendedSumsX4 to_extended_sums() const {
    const F25x4Wide x = F25x4::mul_wide(X, T), y = F25x4::mul_wide(Y, Z);
    return {y + x, y - x, Z * T, X * Y};
  }
};

struct ProjectiveX4 {
  F25x4 X, Y, Z;

  // 3 squarings and 2 Z^2, no product.
  CompletedX4 dbl() const {
    const F25x4 xx = X.square();
    const F25x4 yy = Y.square();
    const F25x4 zz2 = Z.square2();
    const F25x4 x_plus_y_sq = (X + Y).square();
    const F25x4 yy_plus_xx = yy + xx;
    const F25x4 yy_minus_xx = yy - xx;
    return {x_plus_y_sq - yy_plus_xx, yy_plus_xx, yy_minus_xx, zz2 - yy_minus_xx};
  }
};

struct ProjectiveNielsX4 {
  F25x4 Y_plus_X, Y_minus_X, Z, T2d;

  static ProjectiveNielsX4 identity() { return {F25x4::one(), F25x4::one(), F25x4::one(), F25x4::zero()}; }
  void conditional_assign(const ProjectiveNielsX4& o, Mask c) {
    Y_plus_X.conditional_assign(o.Y_plus_X, c);
    Y_minus_X.conditional_assign(o.Y_minus_X, c);
    Z.conditional_assign(o.Z, c);
    T2d.conditional_assign(o.T2d, c);
  }
  // -(x, y) = (-x, y): swap Y+X with Y-X, negate T.
  void conditional_negate(Mask c) {
    F25x4::conditional_swap(Y_plus_X, Y_minus_X, c);
    T2d.conditional_assign(-T2d, c);
  }
};

struct AffineNielsX4 {
  F25x4 y_plus_x, y_minus_x, xy2d;

  void conditional_negate(Mask c) {
    F25x4::conditional_swap(y_plus_x, y_minus_x, c);
    xy2d.conditional_assign(-xy2d, c);
  }
};

struct ExtendedX4 {
  F25x4 X, Y, Z, T;

  static ExtendedX4 identity() { return {F25x4::zero(), F25x4::one(), F25x4::one(), F25x4::zero()}; }
  ExtendedSumsX4 sums() const { return {Y + X, Y - X, Z, T}; }

  ProjectiveX4 to_projective() const { return {X, Y, Z}; }
  ProjectiveNielsX4 to_projective_niels() const { return {Y + X, Y - X, Z, T * edwards_d2()}; }

  void conditional_assign(const ExtendedX4& o, Mask c) {
    X.conditional_assign(o.X, c);
    Y.conditional_assign(o.Y, c);
    Z.conditional_assign(o.Z, c);
    T.conditional_assign(o.T, c);
  }
};

inline ProjectiveX4 CompletedX4::to_projective() const { return {X * T, Y * Z, Z * T}; }
inline ExtendedX4 CompletedX4::to_extended() const { return {X * T, Y * Z, Z * T, X * Y}; }

inline CompletedX4 operator+(const ExtendedSumsX4& p, const ProjectiveNielsX4& q) {
  const F25x4Wide pp = F25x4::mul_wide(p.Y_plus_X, q.Y_plus_X);
  const F25x4Wide mm = F25x4::mul_wide(p.Y_minus_X, q.Y_minus_X);
  const F25x4Wide tt2d = F25x4::mul_wide(p.T, q.T2d);
  const F25x4Wide zz2 = F25x4::mul2_wide(p.Z, q.Z);
  return {pp - mm, pp + mm, zz2 + tt2d, zz2 - tt2d};
}

inline CompletedX4 operator+(const ExtendedSumsX4& p, const AffineNielsX4& q) {
  const F25x4Wide pp = F25x4::mul_wide(p.Y_plus_X, q.y_plus_x);
  const F25x4Wide mm = F25x4::mul_wide(p.Y_minus_X, q.y_minus_x);
  const F25x4Wide txy2d = F25x4::mul_wide(p.T, q.xy2d);
  const F25x4 z2 = p.Z + p.Z;
  return {pp - mm, pp + mm, z2 + txy2d, z2 - txy2d};
}

inline CompletedX4 operator+(const ExtendedX4& p, const ProjectiveNielsX4& q) { return p.sums() + q; }
inline CompletedX4 operator+(const ExtendedX4& p, const AffineNielsX4& q) { return p.sums() + q; }

}  // namespace vorlinde::curve::backend::avx2
