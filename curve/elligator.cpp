#include "curve/elligator.hpp"

#include "curve/constants.hpp"

namespace vorlinde::curve {

MontgomeryPoint to_montgomery(const EdwardsPoint& point) {
  const FieldElement u = (point.Z + point.Y) * invert(point.Z - point.Y);
  return {u.to_bytes()};
}

std::optional<EdwardsPoint> to_edwards(const MontgomeryPoint& u, std::uint8_t sign) {
  const FieldElement uf = FieldElement::from_bytes(u.bytes);
  const FieldElement one = FieldElement::one();
  if (uf.ct_eq(-one).declassify()) return std::nullopt;
  const FieldElement y = (uf - one) * invert((uf + one).reduced());
  curve::CompressedEdwardsY encoding{y.to_bytes()};
  encoding.bytes[31] ^= static_cast<std::uint8_t>(sign << 7);
  return encoding.decompress();
}

MontgomeryPoint elligator_encode(const FieldElement& r) {
  const FieldElement one = FieldElement::one();
  // 1 + 2 r^2 != 0 because -1/2 is not a square mod p.
  const FieldElement t = (one + r.square2()).reduced();
  const FieldElement x1 = MONTGOMERY_A_NEG * invert(t);
  const FieldElement e = x1 * (x1.square() + MONTGOMERY_A * x1 + one);
  const Choice e_is_square = sqrt_ratio_i<FieldElement>(e, one).was_square;
  FieldElement u = x1;
  u.conditional_assign((x1 + MONTGOMERY_A).reduced(), !e_is_square);
  conditional_negate(u, !e_is_square);
  return {u.to_bytes()};
}

std::optional<FieldElement> elligator_decode(const MontgomeryPoint& u, Choice branch) {
  const FieldElement uf = FieldElement::from_bytes(u.bytes);
  const LooseFieldElement u_plus_a = uf + MONTGOMERY_A;
  const FieldElement w = MINUS_TWO * uf * u_plus_a;
  // sqrt_ratio_i(1, 0) reports "not a square", so w = 0 (u = 0, u = -A) is absent too.
  const auto [is_square, s] = sqrt_ratio_i<FieldElement>(FieldElement::one(), w);
  if (!is_square.declassify()) return std::nullopt;
  FieldElement r = conditional_select<LooseFieldElement>(uf, u_plus_a, branch) * s;
  conditional_negate(r, r.is_negative());
  return r;
}

// One exponentiation for the whole map. With U = Z + Y, V = Z - Y (u = U/V) and
// W = -2 U (U + A V) (so -2 u (u + A) = W / V^2), the preimage is
//   r = |n / sqrt(W)|,  n = U (branch 0) or U + A V (branch 1),
// because V cancels. k = 1/sqrt(W Z^2) gives both 1/sqrt(W) = +-k Z and
// 1/Z = k^2 W Z, and 1/Z yields the sign of x. That sign is the bit that
// comparing P with the sign-0 decoding of r would give: that decoding has
// the same y (u determines y) and the non-negative x, so it equals P exactly
// when x is non-negative, x = 0 included.
RepresentativeResult point_to_uniform_bytes_masked(const EdwardsPoint& point, Choice branch) {
  const LooseFieldElement U = point.Z + point.Y;
  const FieldElement V = point.Z - point.Y;
  const LooseFieldElement U_plus_AV = (point.Z + point.Y) + MONTGOMERY_A * V;
  const FieldElement W = MINUS_TWO * U * U_plus_AV;
  const auto [is_square, k] = sqrt_ratio_i<FieldElement>(FieldElement::one(), W * point.Z.square());
  // V = 0 is the identity, u = 0 through the inverse of zero; W Z^2 = -2 (2 Z^2)^2
  // is then a non-square anyway, the explicit test keeps the rule visible.
  const Choice valid = is_square & !V.is_zero();

  const FieldElement z_inv = k.square() * W * point.Z;
  const Choice x_is_negative = (point.X * z_inv).is_negative();
  FieldElement r = conditional_select<LooseFieldElement>(U, U_plus_AV, branch) * (k * point.Z);
  conditional_negate(r, r.is_negative());

  Representative out = r.to_bytes();
  out[31] |= x_is_negative.mask8() & 0x80;
  return {out, valid};
}

std::optional<Representative> point_to_uniform_bytes(const EdwardsPoint& point, Choice branch) {
  const RepresentativeResult r = point_to_uniform_bytes_masked(point, branch);
  // Whether a point has a representative is public: the encryption retries.
  if (!r.valid.declassify()) return std::nullopt;
  return r.bytes;
}

// Forward map, Edwards y and Edwards x from one inverse square root, no
// inversion. With t = 1 + 2 r^2 and g(u) = u^3 + A u^2 + u:
//   u1 = -A / t,  G = t^3 g(u1) = -A (t^2 - 2 A^2 r^2),
//   u2 = -(u1 + A) = 2 r^2 u1,  g(u2) = 2 r^2 g(u1),
// and u = u1 exactly when G t is a square (G != 0 always). The Edwards x of a
// Montgomery point (u, v) is sqrt(-(A + 2)) u / v, so with k from
// sqrt_ratio_i(1, G t):
//   u1:  x = sqrt(-(A + 2)) (-A) t k                 (k^2 = 1 / (G t))
//   u2:  x = sqrt(-(A + 2)) (-A) t k (i - 1) r       (k^2 = i / (G t),
//        and (i - 1)^2 = -2i turns it into 1 / (2 G t))
// up to sign; then x takes the sign of the input's bit 255. With u = N / t
// (N = -A or -2 A r^2), y = (u - 1)/(u + 1) = a / b with a = N - t, b = N + t,
// and the point is (x b : a : b : x a). r = 0 falls in the u2 case with x = 0:
// the point (0, -1).
MappedPoint uniform_bytes_to_point(std::span<const std::uint8_t, 32> bytes) {
  const FieldElement one = FieldElement::one();
  const Choice sign = Choice::from_bit(static_cast<std::uint8_t>(bytes[31] >> 7));
  const FieldElement r = FieldElement::from_bytes(bytes);
  const LooseFieldElement two_r2 = r.square2();
  const LooseFieldElement t = one + r.square2();
  const FieldElement G = MONTGOMERY_A_NEG * (t.square() - MONTGOMERY_A_SQUARED * two_r2);
  const auto [u1_on_curve, k] = sqrt_ratio_i<FieldElement>(one, G * t);

  FieldElement x = MINUS_A_SQRT_MINUS_A_PLUS_2 * t * k *
                     conditional_select<FieldElement>(SQRT_M1_MINUS_ONE * r, one, u1_on_curve);
  conditional_negate(x, x.is_negative() ^ sign);
  const FieldElement n = conditional_select<FieldElement>(MONTGOMERY_A_NEG * two_r2, MONTGOMERY_A_NEG, u1_on_curve);
  const FieldElement a = n - t;
  // Carried, so that the point's coordinates are FieldElements like all others.
  const FieldElement b = (n + t).reduced();

  // -x^2 + y^2 = 1 + d x^2 y^2 times b^2; holds for every input.
  const FieldElement x2 = x.square(), a2 = a.square(), b2 = b.square();
  const Choice on_curve = (a2 - x2 * b2).ct_eq((b2 + EDWARDS_D * x2 * a2).reduced());
  return {{x * b, a, b, x * a}, on_curve};
}

}  // namespace vorlinde::curve
