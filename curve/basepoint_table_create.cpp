#include <vector>

#include "curve/edwards.hpp"
#include "curve/backend/serial/scalar_mul/scalar_mul.hpp"

namespace vorlinde::curve {

EdwardsPoint EdwardsBasepointTable::mul(const Scalar& k) const { return backend::serial::fixed_base(*this, k); }

std::vector<AffineNielsPoint> affine_niels_multiples(const EdwardsPoint& P, int count, int shift, int steps) {
  // All multiples in extended form first, then one shared inversion of their
  // Z coordinates (Montgomery's trick) for the affine conversion.
  const std::size_t total = static_cast<std::size_t>(count) * static_cast<std::size_t>(steps);
  std::vector<EdwardsPoint> points(total);
  EdwardsPoint base = P;
  for (std::size_t i = 0; i < total; i += static_cast<std::size_t>(count)) {
    const ProjectiveNielsPoint base_niels = base.to_projective_niels();
    points[i] = base;
    for (int j = 1; j < count; ++j) points[i + j] = (points[i + j - 1] + base_niels).to_extended();
    base = base.mul_by_pow_2(static_cast<unsigned>(shift));
  }

  // prefix[n] = Z_0 ... Z_(n-1); Z of a point on the curve is never 0.
  std::vector<FieldElement> prefix(total + 1);
  prefix[0] = FieldElement::one();
  for (std::size_t n = 0; n < total; ++n) prefix[n + 1] = prefix[n] * points[n].Z;
  FieldElement inv = invert(prefix[total]);  // 1 / (Z_0 ... Z_(total-1))

  std::vector<AffineNielsPoint> out(total);
  for (std::size_t n = total; n-- > 0;) {
    const FieldElement recip = inv * prefix[n];  // 1 / Z_n
    inv = inv * points[n].Z;                       // 1 / (Z_0 ... Z_(n-1))
    const FieldElement x = points[n].X * recip;
    const FieldElement y = points[n].Y * recip;
    // Stored fully reduced so that equal tables have equal limbs.
    out[n].y_plus_x = FieldElement::from_bytes((y + x).to_bytes());
    out[n].y_minus_x = FieldElement::from_bytes((y - x).to_bytes());
    out[n].xy2d = FieldElement::from_bytes(((x * y) * EDWARDS_D2).to_bytes());
  }
  return out;
}

EdwardsBasepointTable EdwardsBasepointTable::create(const EdwardsPoint& P) {
  const std::vector<AffineNielsPoint> multiples = affine_niels_multiples(P, 8, 8, 32);
  EdwardsBasepointTable table;
  for (std::size_t n = 0; n < multiples.size(); ++n) table.tables[n / 8].entries[n % 8] = multiples[n];
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
