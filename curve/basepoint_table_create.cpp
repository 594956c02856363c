#include <vector>

#include "curve/edwards.hpp"
#include "curve/backend/serial/scalar_mul/scalar_mul.hpp"

namespace vorlinde::curve {

EdwardsPoint EdwardsBasepointTable::mul(const Scalar& k) const { return backend::serial::fixed_base(*this, k); }

EdwardsBasepointTable EdwardsBasepointTable::create(const EdwardsPoint& P) {
  // All 256 multiples in extended form first, then one shared inversion of
  // their Z coordinates (Montgomery's trick) for the affine conversion.
  std::vector<EdwardsPoint> points(256);
  EdwardsPoint base = P;
  for (int i = 0; i < 32; ++i) {
    const ProjectiveNielsPoint base_niels = base.to_projective_niels();
    points[8 * i] = base;
    for (int j = 1; j < 8; ++j) points[8 * i + j] = (points[8 * i + j - 1] + base_niels).to_extended();
    if (i < 31) base = base.mul_by_pow_2(8);
  }

  // prefix[n] = Z_0 ... Z_(n-1); Z of a point on the curve is never 0.
  std::vector<FieldElement> prefix(257);
  prefix[0] = FieldElement::one();
  for (int n = 0; n < 256; ++n) prefix[n + 1] = prefix[n] * points[n].Z;
  FieldElement inv = invert(prefix[256]);  // 1 / (Z_0 ... Z_255)

  EdwardsBasepointTable table;
  for (int n = 255; n >= 0; --n) {
    const FieldElement recip = inv * prefix[n];  // 1 / Z_n
    inv = inv * points[n].Z;                       // 1 / (Z_0 ... Z_(n-1))
    const FieldElement x = points[n].X * recip;
    const FieldElement y = points[n].Y * recip;
    // Stored fully reduced so that equal tables have equal limbs.
    AffineNielsPoint& e = table.tables[n / 8].entries[n % 8];
    e.y_plus_x = FieldElement::from_bytes((y + x).to_bytes());
    e.y_minus_x = FieldElement::from_bytes((y - x).to_bytes());
    e.xy2d = FieldElement::from_bytes(((x * y) * EDWARDS_D2).to_bytes());
  }
  return table;
}

EdwardsPoint EdwardsBasepointTable::basepoint() const {
  // From (y+x, y-x): y = ((y+x) + (y-x)) / 2, x = ((y+x) - (y-x)) / 2.
  const AffineNielsPoint& e = tables[0].entries[0];
  const FieldElement half = invert((FieldElement::one() + FieldElement::one()).reduced());
  const FieldElement x = (e.y_plus_x - e.y_minus_x) * half;
  const FieldElement y = (e.y_plus_x + e.y_minus_x) * half;
  return {x, y, FieldElement::one(), x * y};
}

}  // namespace vorlinde::curve
