#include <vector>

#include "curve/edwards.hpp"
#include "curve/scalar_mul.hpp"

namespace vorlinde::curve {

EdwardsPoint EdwardsBasepointTable::mul(const Scalar& k) const { return scalar_mul_backend().fixed_base(*this, k); }

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
  std::vector<FieldElement51> prefix(257);
  prefix[0] = FieldElement51::one();
  for (int n = 0; n < 256; ++n) prefix[n + 1] = prefix[n] * points[n].Z;
  FieldElement51 inv = prefix[256].invert();  // 1 / (Z_0 ... Z_255)

  EdwardsBasepointTable table;
  for (int n = 255; n >= 0; --n) {
    const FieldElement51 recip = inv * prefix[n];  // 1 / Z_n
    inv = inv * points[n].Z;                       // 1 / (Z_0 ... Z_(n-1))
    const FieldElement51 x = points[n].X * recip;
    const FieldElement51 y = points[n].Y * recip;
    // Stored fully reduced so that equal tables have equal limbs.
    AffineNielsPoint& e = table.tables[n / 8].entries[n % 8];
    e.y_plus_x = FieldElement51::from_bytes((y + x).to_bytes());
    e.y_minus_x = FieldElement51::from_bytes((y - x).to_bytes());
    e.xy2d = FieldElement51::from_bytes(((x * y) * EDWARDS_D2).to_bytes());
  }
  return table;
}

EdwardsPoint EdwardsBasepointTable::basepoint() const {
  // From (y+x, y-x): y = ((y+x) + (y-x)) / 2, x = ((y+x) - (y-x)) / 2.
  const AffineNielsPoint& e = tables[0].entries[0];
  const FieldElement51 half = FieldElement51(FieldElement51::Limbs{2, 0, 0, 0, 0}).invert();
  const FieldElement51 x = (e.y_plus_x - e.y_minus_x) * half;
  const FieldElement51 y = (e.y_plus_x + e.y_minus_x) * half;
  return {x, y, FieldElement51::one(), x * y};
}

}  // namespace vorlinde::curve
