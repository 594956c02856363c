#include "src/point_conversion.hpp"

#include "curve/constants.hpp"
#include "runtime/failure.hpp"
#include "runtime/rng.hpp"

namespace vorlinde {

using curve::Choice;
using curve::EdwardsPoint;
using curve::FieldElement51;
using curve::MONTGOMERY_A;
using curve::MONTGOMERY_A_NEG;

namespace {

// -2 = p - 2
constexpr FieldElement51 kMinusTwo(FieldElement51::Limbs{0x7ffffffffffeb, 0x7ffffffffffff, 0x7ffffffffffff,
                                                          0x7ffffffffffff, 0x7ffffffffffff});
// A^2 = 486662^2
constexpr FieldElement51 kMontgomeryASquared(FieldElement51::Limbs{236839902244, 0, 0, 0, 0});

FieldElement51 read_field(const std::array<std::uint8_t, 32>& bytes) { return FieldElement51::from_bytes(bytes); }

}  // namespace

MontgomeryPoint to_montgomery(const EdwardsPoint& point) {
  const FieldElement51 u = (point.Z + point.Y) * (point.Z - point.Y).invert();
  return {u.to_bytes()};
}

std::optional<EdwardsPoint> to_edwards(const MontgomeryPoint& u, std::uint8_t sign) {
  const FieldElement51 uf = read_field(u.bytes);
  const FieldElement51 one = FieldElement51::one();
  if (uf.ct_eq(-one).declassify()) return std::nullopt;
  const FieldElement51 y = (uf - one) * (uf + one).invert();
  curve::CompressedEdwardsY encoding{y.to_bytes()};
  encoding.bytes[31] ^= static_cast<std::uint8_t>(sign << 7);
  return encoding.decompress();
}

MontgomeryPoint elligator_encode(const FieldElement51& r) {
  const FieldElement51 one = FieldElement51::one();
  // 1 + 2 r^2 != 0 because -1/2 is not a square mod p.
  const FieldElement51 t = one + r.square2();
  const FieldElement51 x1 = MONTGOMERY_A_NEG * t.invert();
  const FieldElement51 e = x1 * (x1.square() + MONTGOMERY_A * x1 + one);
  const Choice e_is_square = FieldElement51::sqrt_ratio_i(e, one).first;
  FieldElement51 u = x1;
  u.conditional_assign(x1 + MONTGOMERY_A, !e_is_square);
  u.conditional_negate(!e_is_square);
  return {u.to_bytes()};
}

std::optional<FieldElement51> elligator_decode(const MontgomeryPoint& u, Choice branch) {
  const FieldElement51 uf = read_field(u.bytes);
  const FieldElement51 u_plus_a = uf + MONTGOMERY_A;
  const FieldElement51 w = kMinusTwo * uf * u_plus_a;
  // sqrt_ratio_i(1, 0) reports "not a square", so w = 0 (u = 0, u = -A) is absent too.
  const auto [is_square, s] = FieldElement51::sqrt_ratio_i(FieldElement51::one(), w);
  if (!is_square.declassify()) return std::nullopt;
  FieldElement51 r = FieldElement51::conditional_select(uf, u_plus_a, branch) * s;
  r.conditional_negate(r.is_negative());
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
std::optional<Representative> point_to_uniform_bytes(const EdwardsPoint& point, Choice branch) {
  const FieldElement51 U = point.Z + point.Y;
  const FieldElement51 V = point.Z - point.Y;
  const FieldElement51 U_plus_AV = U + MONTGOMERY_A * V;
  const FieldElement51 W = kMinusTwo * U * U_plus_AV;
  const auto [is_square, k] = FieldElement51::sqrt_ratio_i(FieldElement51::one(), W * point.Z.square());
  // V = 0 is the identity, u = 0 through the inverse of zero; W Z^2 = -2 (2 Z^2)^2
  // is then a non-square anyway, the explicit test keeps the rule visible.
  if (!(is_square & !V.is_zero()).declassify()) return std::nullopt;

  const FieldElement51 z_inv = k.square() * W * point.Z;
  const Choice x_is_negative = (point.X * z_inv).is_negative();
  FieldElement51 r = FieldElement51::conditional_select(U, U_plus_AV, branch) * (k * point.Z);
  r.conditional_negate(r.is_negative());

  Representative out = r.to_bytes();
  out[31] |= x_is_negative.mask8() & 0x80;
  return out;
}

std::optional<Representative> point_to_uniform_bytes(const EdwardsPoint& point) {
  const Choice branch = Choice::from_bit(static_cast<std::uint8_t>(runtime::next_u32() >> 31));
  return point_to_uniform_bytes(point, branch);
}

// Forward map and Edwards decoding with one exponentiation each, no inversion.
// With t = 1 + 2 r^2: x1 = -A / t and e t^4 = -A t (t^2 - 2 A^2 r^2), so e is a
// square exactly when that product is. u = N / t with N = -A (e square) or
// N = -2 A r^2 (= t (-(x1 + A))). Then y = (u - 1)/(u + 1) = a / b with
// a = N - t, b = N + t, and x^2 = (y^2 - 1)/(d y^2 + 1) = (a^2 - b^2)/(d a^2 + b^2).
// The point is (x b : a : b : x a).
EdwardsPoint uniform_bytes_to_point(std::span<const std::uint8_t, 32> bytes) {
  const Choice sign = Choice::from_bit(static_cast<std::uint8_t>(bytes[31] >> 7));
  const FieldElement51 r = FieldElement51::from_bytes(bytes);
  const FieldElement51 two_r2 = r.square2();
  const FieldElement51 t = FieldElement51::one() + two_r2;
  const FieldElement51 e_t4 = MONTGOMERY_A_NEG * t * (t.square() - kMontgomeryASquared * two_r2);
  const Choice e_is_square = FieldElement51::sqrt_ratio_i(e_t4, FieldElement51::one()).first;

  const FieldElement51 n = FieldElement51::conditional_select(MONTGOMERY_A_NEG * two_r2, MONTGOMERY_A_NEG, e_is_square);
  const FieldElement51 a = n - t;
  const FieldElement51 b = n + t;
  const FieldElement51 a2 = a.square();
  const FieldElement51 b2 = b.square();
  auto [on_curve, x] = FieldElement51::sqrt_ratio_i(a2 - b2, curve::EDWARDS_D * a2 + b2);
  if (!on_curve.declassify()) throw runtime::Failure(kInvalidElligatorPointMessage);
  x.conditional_negate(sign);
  return {x * b, a, b, x * a};
}

}  // namespace vorlinde
