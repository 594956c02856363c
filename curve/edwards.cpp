#include "curve/edwards.hpp"

#include "curve/backend/serial/scalar_mul/scalar_mul.hpp"

namespace vorlinde::curve {

CompressedEdwardsY EdwardsPoint::compress() const {
  const FieldElement recip = invert(Z);
  return encode_affine(X * recip, Y * recip);
}

DecompressedPoint CompressedEdwardsY::decompress_masked() const {
  // x^2 = (y^2 - 1) / (d y^2 + 1); the denominator never vanishes because -1/d
  // is not a square.
  const FieldElement y = FieldElement::from_bytes(bytes);
  const FieldElement yy = y.square();
  const FieldElement u = yy - FieldElement::one();
  const FieldElement v = (yy * EDWARDS_D + FieldElement::one()).reduced();
  auto [is_valid, x] = sqrt_ratio_i<FieldElement>(u, v);
  conditional_negate(x, Choice::from_bit(static_cast<std::uint8_t>(bytes[31] >> 7)));
  EdwardsPoint point{x, y, FieldElement::one(), x * y};
  point.conditional_assign(EdwardsPoint::identity(), !is_valid);
  return {point, is_valid};
}

std::optional<EdwardsPoint> CompressedEdwardsY::decompress() const {
  const DecompressedPoint d = decompress_masked();
  // Whether an encoding is a point is public; the sign of x is not looked at.
  if (!d.valid.declassify()) return std::nullopt;
  return d.point;
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
  const FieldElement recip = invert(Z);
  const FieldElement x = X * recip;
  const FieldElement y = Y * recip;
  return {(y + x).reduced(), y - x, (x * y) * EDWARDS_D2};
}

EdwardsPoint EdwardsPoint::operator*(const Scalar& k) const { return backend::serial::variable_base(*this, k); }

}  // namespace vorlinde::curve
