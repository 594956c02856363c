#pragma once
// Arithmetic in GF(p), p = 2^255 - 19: the portable 64-bit representation.
//
// An element is five unsigned limbs in radix 2^51, value = sum l[i] * 2^(51 i).
// Representations are not unique: limbs may exceed 51 bits, and the value may
// be at or above p. The bound on the limbs is part of the type, so that the
// compiler checks what each routine relies on:
//
//   BoundedFieldElement51<B>: every limb < B * 2^52.
//   FieldElement51 (B = 1):   results of *, square, pow2k, -, unary -,
//                             from_bytes, reduced() and the constants; their
//                             limbs are in fact < 2^51 + 2^13 * 19.
//   LooseFieldElement51 (B = 4): what *, square and pow2k accept (< 2^54,
//                             which keeps every column sum below 2^115).
//
// a + b does not carry: its bound is the sum of the operands' bounds. A
// smaller bound converts implicitly to a larger one, never the other way;
// reduced() carries any bound back to a FieldElement51. The right-hand side
// of a - b may have a bound up to 8 (< 2^55: 16 p is added first).
// Every function runs in time independent of the value.

#include <array>
#include <cstdint>
#include <span>

#include "curve/choice.hpp"

namespace vorlinde::curve::backend::serial {

template <unsigned B>
class BoundedFieldElement51;

using FieldElement51 = BoundedFieldElement51<1>;
using LooseFieldElement51 = BoundedFieldElement51<4>;

namespace limbs51 {

using Limbs = std::array<std::uint64_t, 5>;
inline constexpr std::uint64_t kLow51 = (std::uint64_t{1} << 51) - 1;

// Carry a 5 x 128-bit column sum (each c_i < 2^115, c_4 < 2^111) into
// limbs < 2^51 + 2^13. Two interleaved chains, 0->1->2->3->4 and 3->4->0->1,
// halve the dependent steps; 2^255 = 19 turns the carry out of limb 4 into
// 19 times that carry in limb 0.
inline Limbs carry_wide(unsigned __int128 c0, unsigned __int128 c1, unsigned __int128 c2, unsigned __int128 c3,
                        unsigned __int128 c4) {
  c1 += static_cast<std::uint64_t>(c0 >> 51);
  c4 += static_cast<std::uint64_t>(c3 >> 51);
  std::uint64_t l0 = static_cast<std::uint64_t>(c0) & kLow51;
  std::uint64_t l3 = static_cast<std::uint64_t>(c3) & kLow51;
  // c4 < 2^110.4 after its carry, so 19 * (c4 >> 51) < 2^63.6.
  c2 += static_cast<std::uint64_t>(c1 >> 51);
  l0 += 19 * static_cast<std::uint64_t>(c4 >> 51);
  std::uint64_t l1 = static_cast<std::uint64_t>(c1) & kLow51;
  std::uint64_t l4 = static_cast<std::uint64_t>(c4) & kLow51;
  l3 += static_cast<std::uint64_t>(c2 >> 51);
  l1 += l0 >> 51;
  const std::uint64_t l2 = static_cast<std::uint64_t>(c2) & kLow51;
  l0 &= kLow51;
  l4 += l3 >> 51;
  l3 &= kLow51;
  return Limbs{l0, l1, l2, l3, l4};
}

// Inputs: limbs < 2^54.
inline Limbs mul(const Limbs& x, const Limbs& y) {
  using u128 = unsigned __int128;
  // 2^255 = 19 (mod p): a product term landing at limb 5 + i folds into limb i times 19.
  const std::uint64_t y1_19 = 19 * y[1], y2_19 = 19 * y[2], y3_19 = 19 * y[3], y4_19 = 19 * y[4];
  auto m = [](std::uint64_t s, std::uint64_t t) { return static_cast<u128>(s) * t; };
  // With limbs < 2^54 every c_i < 2^(108 + lg 77) < 2^115, so c_i >> 51 fits in 64 bits.
  u128 c0 = m(x[0], y[0]) + m(x[4], y1_19) + m(x[3], y2_19) + m(x[2], y3_19) + m(x[1], y4_19);
  u128 c1 = m(x[1], y[0]) + m(x[0], y[1]) + m(x[4], y2_19) + m(x[3], y3_19) + m(x[2], y4_19);
  u128 c2 = m(x[2], y[0]) + m(x[1], y[1]) + m(x[0], y[2]) + m(x[4], y3_19) + m(x[3], y4_19);
  u128 c3 = m(x[3], y[0]) + m(x[2], y[1]) + m(x[1], y[2]) + m(x[0], y[3]) + m(x[4], y4_19);
  u128 c4 = m(x[4], y[0]) + m(x[3], y[1]) + m(x[2], y[2]) + m(x[1], y[3]) + m(x[0], y[4]);
  return carry_wide(c0, c1, c2, c3, c4);
}

// The product formula with the symmetric terms merged: 15 products instead of 25.
// Input: limbs < 2^54.
inline Limbs square(const Limbs& a) {
  using u128 = unsigned __int128;
  auto m = [](std::uint64_t s, std::uint64_t t) { return static_cast<u128>(s) * t; };
  const std::uint64_t a3_19 = 19 * a[3], a4_19 = 19 * a[4];
  const std::uint64_t a0_2 = 2 * a[0], a1_2 = 2 * a[1], a2_2 = 2 * a[2];
  const u128 c0 = m(a[0], a[0]) + m(a1_2, a4_19) + m(a2_2, a3_19);
  const u128 c1 = m(a[3], a3_19) + m(a0_2, a[1]) + m(a2_2, a4_19);
  const u128 c2 = m(a[1], a[1]) + m(a0_2, a[2]) + m(2 * a[4], a3_19);
  const u128 c3 = m(a[4], a4_19) + m(a0_2, a[3]) + m(a1_2, a[2]);
  const u128 c4 = m(a[2], a[2]) + m(a0_2, a[4]) + m(a1_2, a[3]);
  return carry_wide(c0, c1, c2, c3, c4);
}

// One carry pass: limbs < 2^64 in, limbs < 2^51 + 19 * 2^13 out.
inline Limbs weak_reduce(Limbs l) {
  const std::uint64_t c0 = l[0] >> 51, c1 = l[1] >> 51, c2 = l[2] >> 51, c3 = l[3] >> 51, c4 = l[4] >> 51;
  l[0] = (l[0] & kLow51) + c4 * 19;
  l[1] = (l[1] & kLow51) + c0;
  l[2] = (l[2] & kLow51) + c1;
  l[3] = (l[3] & kLow51) + c2;
  l[4] = (l[4] & kLow51) + c3;
  return l;
}

// Canonical bytes: the value reduced below p, little-endian; bit 255 is 0.
// Limbs < 2^63.
std::array<std::uint8_t, 32> to_bytes(const Limbs& limbs);

}  // namespace limbs51

template <unsigned B>
class BoundedFieldElement51 {
  static_assert(B >= 1 && B <= 1024, "limbs must stay far below 2^64");

 public:
  using Limbs = limbs51::Limbs;
  using Mask = Choice;
  static constexpr unsigned kBound = B;

  constexpr BoundedFieldElement51() : limbs_{0, 0, 0, 0, 0} {}
  // The caller vouches for the bound: limbs < B * 2^52.
  constexpr explicit BoundedFieldElement51(const Limbs& limbs) : limbs_(limbs) {}
  // Widening keeps the limbs: a smaller bound is also a larger one.
  template <unsigned C>
    requires(C < B)
  constexpr BoundedFieldElement51(const BoundedFieldElement51<C>& narrower) : limbs_(narrower.limbs()) {}

  static constexpr FieldElement51 zero() { return FieldElement51(); }
  static constexpr FieldElement51 one() { return FieldElement51(Limbs{1, 0, 0, 0, 0}); }
  // The even square root of -1.
  // Defined in the generated constants.hpp, which this header ends with.
  static constexpr FieldElement51 sqrt_m1();

  // Bit 255 is ignored; an integer in [p, 2^255) stands for its residue.
  static FieldElement51 from_bytes(std::span<const std::uint8_t, 32> bytes) {
    using limbs51::kLow51;
    auto load = [&](int at) {
      std::uint64_t w = 0;
      for (int i = 0; i < 8; ++i) w |= static_cast<std::uint64_t>(bytes[at + i]) << (8 * i);
      return w;
    };
    return FieldElement51(Limbs{load(0) & kLow51, (load(6) >> 3) & kLow51, (load(12) >> 6) & kLow51,
                                (load(19) >> 1) & kLow51, (load(24) >> 12) & kLow51});
  }

  // Canonical: the value reduced below p, little-endian; bit 255 is 0.
  std::array<std::uint8_t, 32> to_bytes() const { return limbs51::to_bytes(limbs_); }

  const Limbs& limbs() const { return limbs_; }

  // One carry pass down to a FieldElement51.
  FieldElement51 reduced() const { return FieldElement51(limbs51::weak_reduce(limbs_)); }

  template <unsigned C>
  friend BoundedFieldElement51<B + C> operator+(const BoundedFieldElement51& a, const BoundedFieldElement51<C>& b) {
    const Limbs& x = a.limbs_;
    const Limbs& y = b.limbs();
    return BoundedFieldElement51<B + C>(Limbs{x[0] + y[0], x[1] + y[1], x[2] + y[2], x[3] + y[3], x[4] + y[4]});
  }

  // a - b computed as (a + 16 p) - b so no limb underflows, then carried.
  template <unsigned C>
    requires(C <= 8)
  friend FieldElement51 operator-(const BoundedFieldElement51& a, const BoundedFieldElement51<C>& b) {
    constexpr std::uint64_t k16p0 = 16 * ((std::uint64_t{1} << 51) - 19);
    constexpr std::uint64_t k16pi = 16 * ((std::uint64_t{1} << 51) - 1);
    const Limbs& x = a.limbs_;
    const Limbs& y = b.limbs();
    return FieldElement51(limbs51::weak_reduce(Limbs{(x[0] + k16p0) - y[0], (x[1] + k16pi) - y[1],
                                                     (x[2] + k16pi) - y[2], (x[3] + k16pi) - y[3],
                                                     (x[4] + k16pi) - y[4]}));
  }

  FieldElement51 operator-() const
    requires(B <= 8)
  {
    return zero() - *this;
  }

  template <unsigned C>
    requires(B <= 4 && C <= 4)
  friend FieldElement51 operator*(const BoundedFieldElement51& a, const BoundedFieldElement51<C>& b) {
    return FieldElement51(limbs51::mul(a.limbs_, b.limbs()));
  }
  FieldElement51& operator*=(const FieldElement51& b)
    requires(B == 1)
  {
    return *this = *this * b;
  }

  FieldElement51 square() const
    requires(B <= 4)
  {
    return FieldElement51(limbs51::square(limbs_));
  }

  // self^(2^k), k >= 1.
  FieldElement51 pow2k(unsigned k) const
    requires(B <= 4)
  {
    Limbs r = limbs51::square(limbs_);
    while (--k != 0) r = limbs51::square(r);
    return FieldElement51(r);
  }

  // 2 * self^2.
  BoundedFieldElement51<2> square2() const
    requires(B <= 4)
  {
    const FieldElement51 s = square();
    return s + s;
  }

  // Odd canonical value ("negative" in RFC 8032 terms).
  Choice is_negative() const { return Choice::from_bit(to_bytes()[0] & 1); }
  Choice is_zero() const {
    const auto bytes = to_bytes();
    std::uint64_t acc = 0;
    for (std::uint8_t b : bytes) acc |= b;
    return !ct_is_nonzero_u64(acc);
  }
  Choice ct_eq(const BoundedFieldElement51& other) const {
    const auto a = to_bytes();
    const auto b = other.to_bytes();
    std::uint64_t acc = 0;
    for (int i = 0; i < 32; ++i) acc |= a[i] ^ b[i];
    return !ct_is_nonzero_u64(acc);
  }

  void conditional_assign(const BoundedFieldElement51& other, Choice c) {
    const std::uint64_t mask = c.mask64();
    for (int i = 0; i < 5; ++i) limbs_[i] ^= mask & (limbs_[i] ^ other.limbs_[i]);
  }
  static void conditional_swap(BoundedFieldElement51& a, BoundedFieldElement51& b, Choice c) {
    const std::uint64_t mask = c.mask64();
    for (int i = 0; i < 5; ++i) {
      const std::uint64_t t = mask & (a.limbs_[i] ^ b.limbs_[i]);
      a.limbs_[i] ^= t;
      b.limbs_[i] ^= t;
    }
  }

 private:
  Limbs limbs_;
};

}  // namespace vorlinde::curve::backend::serial

// The constants, and sqrt_m1() defined by them, need the complete class.
#include "curve/backend/serial/u64/constants.hpp"
