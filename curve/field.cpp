#include "curve/field.hpp"

#include "curve/constants.hpp"

namespace vorlinde::curve {

std::array<std::uint8_t, 32> FieldElement51::to_bytes() const {
  Limbs l = weak_reduce(limbs_).limbs_;
  // Now value < 2^255 + 2^18 < 2p. q = 1 exactly when value >= p, i.e. when
  // value + 19 carries out of bit 255; then value - p = value + 19 - 2^255.
  std::uint64_t q = (l[0] + 19) >> 51;
  q = (l[1] + q) >> 51;
  q = (l[2] + q) >> 51;
  q = (l[3] + q) >> 51;
  q = (l[4] + q) >> 51;
  l[0] += 19 * q;
  l[1] += l[0] >> 51;
  l[0] &= kLow51;
  l[2] += l[1] >> 51;
  l[1] &= kLow51;
  l[3] += l[2] >> 51;
  l[2] &= kLow51;
  l[4] += l[3] >> 51;
  l[3] &= kLow51;
  l[4] &= kLow51;  // drops the 2^255 of value + 19 when q = 1

  const std::uint64_t w[4] = {l[0] | (l[1] << 51), (l[1] >> 13) | (l[2] << 38), (l[2] >> 26) | (l[3] << 25),
                              (l[3] >> 39) | (l[4] << 12)};
  std::array<std::uint8_t, 32> out;
  for (int i = 0; i < 32; ++i) out[i] = static_cast<std::uint8_t>(w[i / 8] >> (8 * (i % 8)));
  return out;
}

Choice FieldElement51::is_zero() const {
  const auto bytes = to_bytes();
  std::uint64_t acc = 0;
  for (std::uint8_t b : bytes) acc |= b;
  return !ct_is_nonzero_u64(acc);
}

Choice FieldElement51::ct_eq(const FieldElement51& other) const {
  const auto a = to_bytes();
  const auto b = other.to_bytes();
  std::uint64_t acc = 0;
  for (int i = 0; i < 32; ++i) acc |= a[i] ^ b[i];
  return !ct_is_nonzero_u64(acc);
}

namespace {

// (x^(2^250 - 1), x^11): the shared prefix of the p-2 and (p-5)/8 chains.
std::pair<FieldElement51, FieldElement51> pow22501(const FieldElement51& x) {
  const FieldElement51 t0 = x.square();          // 2
  const FieldElement51 t1 = t0.pow2k(2);         // 8
  const FieldElement51 t2 = x * t1;              // 9
  const FieldElement51 t3 = t0 * t2;             // 11
  const FieldElement51 t4 = t3.square();         // 22
  const FieldElement51 t5 = t2 * t4;             // 31 = 2^5 - 1
  const FieldElement51 t7 = t5.pow2k(5) * t5;    // 2^10 - 1
  const FieldElement51 t9 = t7.pow2k(10) * t7;   // 2^20 - 1
  const FieldElement51 t11 = t9.pow2k(20) * t9;  // 2^40 - 1
  const FieldElement51 t13 = t11.pow2k(10) * t7;  // 2^50 - 1
  const FieldElement51 t15 = t13.pow2k(50) * t13;  // 2^100 - 1
  const FieldElement51 t17 = t15.pow2k(100) * t15;  // 2^200 - 1
  const FieldElement51 t19 = t17.pow2k(50) * t13;   // 2^250 - 1
  return {t19, t3};
}

}  // namespace

FieldElement51 FieldElement51::invert() const {
  const auto [t19, t3] = pow22501(*this);
  return t19.pow2k(5) * t3;  // 2^255 - 32 + 11 = p - 2
}

FieldElement51 FieldElement51::pow_p58() const {
  const auto [t19, t3] = pow22501(*this);
  return *this * t19.pow2k(2);  // 2^252 - 4 + 1 = (p - 5) / 8
}

std::pair<Choice, FieldElement51> FieldElement51::sqrt_ratio_i(const FieldElement51& u, const FieldElement51& v) {
  // Candidate r = u v^3 (u v^7)^((p-5)/8); then v r^2 is one of u, -u, i u, -i u
  // whenever v != 0, and r (or r i) is the root exactly in the first two cases.
  const FieldElement51 v3 = v.square() * v;
  const FieldElement51 v7 = v3.square() * v;
  FieldElement51 r = (u * v3) * (u * v7).pow_p58();
  const FieldElement51 check = v * r.square();

  const FieldElement51 u_neg = -u;
  const Choice correct_sign = check.ct_eq(u);
  const Choice flipped_sign = check.ct_eq(u_neg);
  const Choice flipped_sign_i = check.ct_eq(u_neg * SQRT_M1);

  r.conditional_assign(SQRT_M1 * r, flipped_sign | flipped_sign_i);
  r.conditional_negate(r.is_negative());
  return {correct_sign | flipped_sign, r};
}

}  // namespace vorlinde::curve
