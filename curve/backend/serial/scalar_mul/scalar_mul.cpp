#include "curve/backend/serial/scalar_mul/scalar_mul.hpp"

#include "runtime/wipe.hpp"

namespace vorlinde::curve::backend::serial {
namespace {

// A scalar's radix-16 digits, wiped when the multiplication returns.
using Digits = runtime::Wiped<std::array<std::int8_t, 64>>;

}  // namespace

EdwardsPoint variable_base(const EdwardsPoint& P, const Scalar& k) {
  // Signed radix 16, most significant digit first:
  // Q = a_63 P, then Q = 16 Q + a_i P for i = 62 .. 0. The three doublings
  // before the fourth stay projective (3 multiplications instead of 4 each).
  LookupTable<ProjectiveNielsPoint> table;
  table.entries[0] = P.to_projective_niels();
  for (int j = 1; j < 8; ++j) table.entries[j] = (P + table.entries[j - 1]).to_extended().to_projective_niels();

  const Digits digits([&] { return k.as_radix_16(); });
  CompletedPoint acc = EdwardsPoint::identity() + table.select(digits.get()[63]);
  for (int i = 62; i >= 0; --i) {
    ProjectivePoint p = acc.to_projective();
    p = p.dbl().to_projective();
    p = p.dbl().to_projective();
    p = p.dbl().to_projective();
    acc = p.dbl();
    acc = acc.to_extended() + table.select(digits.get()[i]);
  }
  return acc.to_extended();
}

EdwardsPoint fixed_base(const EdwardsBasepointTable& table, const Scalar& k) {
  // k P = sum a_i 16^i P. With 16^(2j) P = 256^j P and 16^(2j+1) P = 16 256^j P:
  // Q = sum_odd a_i 256^((i-1)/2) P; k P = 16 Q + sum_even a_i 256^(i/2) P.
  const Digits digits([&] { return k.as_radix_16(); });
  EdwardsPoint acc = EdwardsPoint::identity();
  for (int i = 1; i < 64; i += 2) acc = (acc + table.tables[i / 2].select(digits.get()[i])).to_extended();
  acc = acc.mul_by_pow_2(4);
  for (int i = 0; i < 64; i += 2) acc = (acc + table.tables[i / 2].select(digits.get()[i])).to_extended();
  return acc;
}

}  // namespace vorlinde::curve::backend::serial
