#pragma once
// Points of edwards25519, -x^2 + y^2 = 1 + d x^2 y^2, their 32-byte encoding
// and scalar multiplication. Nothing here restricts points to the subgroup of
// order l: small-order and mixed-order points are valid inputs everywhere.

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "curve/choice.hpp"
#include "curve/constants.hpp"
#include "curve/field.hpp"
#include "curve/models.hpp"
#include "curve/scalar.hpp"

namespace vorlinde::curve {

class EdwardsPoint;
struct DecompressedPoint;

// RFC 8032 encoding: y (canonical) in bits 0..254, the low bit of x in bit 255.
class CompressedEdwardsY {
 public:
  std::array<std::uint8_t, 32> bytes;

  // Absent when (y^2 - 1)/(d y^2 + 1) has no square root. y >= p stands for
  // its residue, x = 0 with the sign bit set is accepted, and there is no
  // subgroup check.
  std::optional<EdwardsPoint> decompress() const;
  // The same without deciding: `valid` says whether the encoding decodes, and
  // `point` is the point when it does and the identity otherwise.
  DecompressedPoint decompress_masked() const;

  bool operator==(const CompressedEdwardsY&) const = default;
};

// Extended coordinates (X : Y : Z : T): x = X/Z, y = Y/Z, x y = T/Z.
// Every coordinate is a FieldElement (limbs < 2^52), so the formulas may add up
// to four of them before a product.
class EdwardsPoint {
 public:
  FieldElement X, Y, Z, T;

  static constexpr EdwardsPoint identity() {
    return {FieldElement::zero(), FieldElement::one(), FieldElement::one(), FieldElement::zero()};
  }

  CompressedEdwardsY compress() const;

  // The encodings of several points for the price of one inversion
  // (Montgomery's trick): with q_i = Z_0 ... Z_i, 1/Z_i = q_(i-1) / q_i. Every
  // point has Z != 0, so the product is invertible. Same bytes as compress().
  template <std::size_t N>
  static std::array<CompressedEdwardsY, N> compress_all(const std::array<EdwardsPoint, N>& points);

  EdwardsPoint operator+(const EdwardsPoint& other) const;
  EdwardsPoint operator-(const EdwardsPoint& other) const;
  EdwardsPoint operator-() const { return {-X, Y, Z, -T}; }
  EdwardsPoint dbl() const { return to_projective().dbl().to_extended(); }
  // 2^k self, k >= 1.
  EdwardsPoint mul_by_pow_2(unsigned k) const;
  EdwardsPoint mul_by_cofactor() const { return mul_by_pow_2(3); }

  // Projective comparison X1 Z2 = X2 Z1 and Y1 Z2 = Y2 Z1, constant time.
  // There is no operator==: a caller that may publish the answer says so
  // with ct_eq(...).declassify().
  Choice ct_eq(const EdwardsPoint& other) const;

  // Variable-base multiplication by the integer the scalar holds (any value
  // below 2^255, reduced or not), constant time in scalar and point.
  EdwardsPoint operator*(const Scalar& k) const;

  void conditional_assign(const EdwardsPoint& o, Choice c) {
    X.conditional_assign(o.X, c);
    Y.conditional_assign(o.Y, c);
    Z.conditional_assign(o.Z, c);
    T.conditional_assign(o.T, c);
  }

  ProjectivePoint to_projective() const { return {X, Y, Z}; }
  ProjectiveNielsPoint to_projective_niels() const { return {Y + X, Y - X, Z, T * EDWARDS_D2}; }
  // Costs one inversion; batch conversions go through EdwardsBasepointTable::create.
  AffineNielsPoint to_affine_niels() const;

  // y with the low bit of x in bit 255, from affine coordinates.
  static CompressedEdwardsY encode_affine(const FieldElement& x, const FieldElement& y) {
    CompressedEdwardsY out{y.to_bytes()};
    out.bytes[31] |= static_cast<std::uint8_t>(x.is_negative().value << 7);
    return out;
  }
};

template <std::size_t N>
std::array<CompressedEdwardsY, N> EdwardsPoint::compress_all(const std::array<EdwardsPoint, N>& points) {
  static_assert(N > 0);
  std::array<FieldElement, N> prefix;
  prefix[0] = points[0].Z;
  for (std::size_t i = 1; i < N; ++i) prefix[i] = prefix[i - 1] * points[i].Z;
  FieldElement inverse = invert(prefix[N - 1]);  // 1 / (Z_0 ... Z_i) for the current i
  std::array<CompressedEdwardsY, N> out;
  for (std::size_t i = N - 1; i > 0; --i) {
    const FieldElement recip = inverse * prefix[i - 1];
    inverse = inverse * points[i].Z;
    out[i] = encode_affine(points[i].X * recip, points[i].Y * recip);
  }
  out[0] = encode_affine(points[0].X * inverse, points[0].Y * inverse);
  return out;
}

struct DecompressedPoint {
  EdwardsPoint point;
  Choice valid;
};

inline EdwardsPoint operator*(const Scalar& k, const EdwardsPoint& p) { return p * k; }

inline EdwardsPoint CompletedPoint::to_extended() const { return {X * T, Y * Z, Z * T, X * Y}; }

// Hisil-Wong-Carter-Dawson 2008, section 3.1 (a = -1), unified addition with
// the second operand precomputed: 4 multiplications (3 for affine Niels).
inline CompletedPoint operator+(const EdwardsPoint& p, const ProjectiveNielsPoint& q) {
  const FieldElement pp = (p.Y + p.X) * q.Y_plus_X;
  const FieldElement mm = (p.Y - p.X) * q.Y_minus_X;
  const FieldElement tt2d = p.T * q.T2d;
  const FieldElement zz = p.Z * q.Z;
  const auto zz2 = zz + zz;
  return {pp - mm, pp + mm, zz2 + tt2d, zz2 - tt2d};
}

inline CompletedPoint operator-(const EdwardsPoint& p, const ProjectiveNielsPoint& q) {
  const FieldElement pm = (p.Y + p.X) * q.Y_minus_X;
  const FieldElement mp = (p.Y - p.X) * q.Y_plus_X;
  const FieldElement tt2d = p.T * q.T2d;
  const FieldElement zz = p.Z * q.Z;
  const auto zz2 = zz + zz;
  return {pm - mp, pm + mp, zz2 - tt2d, zz2 + tt2d};
}

inline CompletedPoint operator+(const EdwardsPoint& p, const AffineNielsPoint& q) {
  const FieldElement pp = (p.Y + p.X) * q.y_plus_x;
  const FieldElement mm = (p.Y - p.X) * q.y_minus_x;
  const FieldElement txy2d = p.T * q.xy2d;
  const auto z2 = p.Z + p.Z;
  return {pp - mm, pp + mm, z2 + txy2d, z2 - txy2d};
}

// Precomputed multiples of one point P for fixed-base multiplication:
// tables[i].entries[j - 1] = j 256^i P (j = 1..8) in affine Niels form.
class EdwardsBasepointTable {
 public:
  std::array<LookupTable<AffineNielsPoint>, 32> tables;

  static EdwardsBasepointTable create(const EdwardsPoint& P);

  // k P for any scalar below 2^255, reduced or not, constant time.
  EdwardsPoint mul(const Scalar& k) const;
  EdwardsPoint operator*(const Scalar& k) const { return mul(k); }

  // The point the table was made for (entry 1 of sub-table 0).
  EdwardsPoint basepoint() const;
};

inline EdwardsPoint operator*(const Scalar& k, const EdwardsBasepointTable& table) { return table.mul(k); }

// out[count i + j - 1] = j 2^(shift i) P (i < steps, j = 1..count) in affine
// Niels form with fully reduced limbs, the layout of any comb table over P:
// EdwardsBasepointTable is (8, 8, 32).
std::vector<AffineNielsPoint> affine_niels_multiples(const EdwardsPoint& P, int count, int shift, int steps);

// The base point G of RFC 8032.
inline constexpr EdwardsPoint ED25519_BASEPOINT_POINT{ED25519_BASEPOINT_X, ED25519_BASEPOINT_Y,
                                                      FieldElement::one(), ED25519_BASEPOINT_T};
// Table for G: generated data (tools/gen_curve_tables.py), no work at load time.
extern const EdwardsBasepointTable ED25519_BASEPOINT_TABLE;

}  // namespace vorlinde::curve
