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
// -A sqrt(-(A + 2)), for one choice of the root; the sign is normalised after use.
constexpr FieldElement51 kMinusASqrtMinusAPlus2(FieldElement51::Limbs{
    0x21a66fb7bca31, 0x107a6831c4798, 0x71705d2b12f6e, 0x6ceb82a009fa6, 0x1016bac16a3f1});
// i - 1 with i = sqrt(-1): (i - 1)^2 = -2i.
constexpr FieldElement51 kSqrtM1MinusOne(FieldElement51::Limbs{
    0x61b274a0ea0af, 0x0d5a5fc8f189d, 0x7ef5e9cbd0c60, 0x78595a6804c9e, 0x2b8324804fc1d});

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
EdwardsPoint uniform_bytes_to_point(std::span<const std::uint8_t, 32> bytes) {
  const FieldElement51 one = FieldElement51::one();
  const Choice sign = Choice::from_bit(static_cast<std::uint8_t>(bytes[31] >> 7));
  const FieldElement51 r = FieldElement51::from_bytes(bytes);
  const FieldElement51 two_r2 = r.square2();
  const FieldElement51 t = one + two_r2;
  const FieldElement51 G = MONTGOMERY_A_NEG * (t.square() - kMontgomeryASquared * two_r2);
  const auto [u1_on_curve, k] = FieldElement51::sqrt_ratio_i(one, G * t);

  FieldElement51 x = kMinusASqrtMinusAPlus2 * t * k *
                     FieldElement51::conditional_select(kSqrtM1MinusOne * r, one, u1_on_curve);
  x.conditional_negate(x.is_negative() ^ sign);
  const FieldElement51 n = FieldElement51::conditional_select(MONTGOMERY_A_NEG * two_r2, MONTGOMERY_A_NEG, u1_on_curve);
  const FieldElement51 a = n - t;
  const FieldElement51 b = n + t;

  // -x^2 + y^2 = 1 + d x^2 y^2 times b^2; holds for every input.
  const FieldElement51 x2 = x.square(), a2 = a.square(), b2 = b.square();
  if (!(a2 - x2 * b2).ct_eq(b2 + curve::EDWARDS_D * x2 * a2).declassify()) {
    throw runtime::Failure(kInvalidElligatorPointMessage);
  }
  return {x * b, a, b, x * a};
}

}  // namespace vorlinde
