#include "curve/edwards.hpp"

#include "curve/scalar_mul.hpp"

namespace vorlinde::curve {

CompressedEdwardsY EdwardsPoint::compress() const {
  const FieldElement51 recip = Z.invert();
  return encode_affine(X * recip, Y * recip);
}

std::optional<EdwardsPoint> CompressedEdwardsY::decompress() const {
  // x^2 = (y^2 - 1) / (d y^2 + 1); the denominator never vanishes because -1/d
  // is not a square.
  const FieldElement51 y = FieldElement51::from_bytes(bytes);
  const FieldElement51 yy = y.square();
  const FieldElement51 u = yy - FieldElement51::one();
  const FieldElement51 v = yy * EDWARDS_D + FieldElement51::one();
  auto [is_valid, x] = FieldElement51::sqrt_ratio_i(u, v);
  // Whether an encoding is a point is public; the sign of x is not looked at.
  if (!is_valid.declassify()) return std::nullopt;
  x.conditional_negate(Choice::from_bit(static_cast<std::uint8_t>(bytes[31] >> 7)));
  return EdwardsPoint{x, y, FieldElement51::one(), x * y};
}

EdwardsPoint EdwardsPoint::operator+(const EdwardsPoint& other) const {
  return (*this + other.to_projective_niels()).to_extended();
}

EdwardsPoint EdwardsPoint::operator-(const EdwardsPoint& other) const {
  return (*this - other.to_projective_niels()).to_extended();
}

EdwardsPoint EdwardsPoint::mul_by_pow_2(unsigned k) const {
  ProjectivePoint p = to_projective();
  for (unsigned i = 1; i < k; ++i) p = p.dbl().to_projective();
  return p.dbl().to_extended();
}

Choice EdwardsPoint::ct_eq(const EdwardsPoint& other) const {
  return (X * other.Z).ct_eq(other.X * Z) & (Y * other.Z).ct_eq(other.Y * Z);
}

AffineNielsPoint EdwardsPoint::to_affine_niels() const {
  const FieldElement51 recip = Z.invert();
  const FieldElement51 x = X * recip;
  const FieldElement51 y = Y * recip;
  return {y + x, y - x, (x * y) * EDWARDS_D2};
}

EdwardsPoint EdwardsPoint::operator*(const Scalar& k) const { return scalar_mul_backend().variable_base(*this, k); }

}  // namespace vorlinde::curve
