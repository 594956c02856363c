#pragma once
// What every lane field F builds the same way from its own primitives. F
// derives from LaneField<F, Registers>; Registers holds kLimbs registers of
// type Register, limb i of lane j in lane j of l[i] (a base of their own, so F
// stays an aggregate of exactly its limbs). F provides, on registers: splat,
// add, blend(a, b, c) (b where c is set), equal and bit_or; on elements: broadcast
// from radix-2^51 limbs, binary -, difference, canonical, is_negative;
// weak_reduce (a sum of two F in), carry (a product's or a wide sum's columns
// in), and its products before the carry, product<Factor>(a, b) and
// squared<Factor>() for Factor 1 or 2, as F::Wide.

#include "curve/backend/vector/isa_only.hpp"

#include <cstdint>

#include "curve/backend/vector/constants.hpp"

namespace vorlinde::curve::backend::vector {

// A product before its carry: N columns, too wide for a multiplier input (F
// states their bound). + and - accept it beside an F or another wide value and
// carry once, sparing the carry of products that only feed a sum or a
// difference.
template <class F, int N>
struct Wide {
  typename F::Register l[N];

  friend F operator+(const Wide& a, const F& b) { return F::sum(a.l, b.l); }
  friend F operator+(const F& a, const Wide& b) { return F::sum(a.l, b.l); }
  friend F operator+(const Wide& a, const Wide& b) { return F::sum(a.l, b.l); }
  friend F operator-(const Wide& a, const F& b) { return F::difference(a.l, b.l); }
  friend F operator-(const F& a, const Wide& b) { return F::difference(a.l, b.l); }
  friend F operator-(const Wide& a, const Wide& b) { return F::difference(a.l, b.l); }
};

template <class F, class Registers>
struct LaneField : Registers {
  using R = typename Registers::Register;
  static constexpr int N = Registers::kLimbs;
  using Registers::l;

  static F zero() {
    F r;
    for (R& x : r.l) x = R{};
    return r;
  }
  static F one() {
    F r = zero();
    r.l[0] = F::splat(1);
    return r;
  }
  static F sqrt_m1() { return F::broadcast(limbs51::SQRT_M1); }

  friend F operator+(const F& a, const F& b) {
    R s[N];
    for (int i = 0; i < N; ++i) s[i] = F::add(a.l[i], b.l[i]);
    return F::weak_reduce(s);
  }
  F operator-() const { return zero() - self(); }

  friend F operator*(const F& a, const F& b) { return F::carry(F::template product<1>(a, b).l); }
  // 2 a b, the doubling done on the columns.
  static F mul2(const F& a, const F& b) { return F::carry(F::template product<2>(a, b).l); }
  F square() const { return F::carry(self().template squared<1>().l); }
  // 2 self^2.
  F square2() const { return F::carry(self().template squared<2>().l); }
  // The same before the carry, for products that only feed + or -.
  static auto mul_wide(const F& a, const F& b) { return F::template product<1>(a, b); }
  static auto mul2_wide(const F& a, const F& b) { return F::template product<2>(a, b); }
  auto square_wide() const { return self().template squared<1>(); }
  auto square2_wide() const { return self().template squared<2>(); }

  // a + b for limbs within F::Wide's bound (wide or not).
  static F sum(const R (&a)[N], const R (&b)[N]) {
    R s[N];
    for (int i = 0; i < N; ++i) s[i] = F::add(a[i], b[i]);
    return F::carry(s);
  }

  // self^(2^k), k >= 1.
  F pow2k(unsigned k) const {
    F r = square();
    while (--k != 0) r = r.square();
    return r;
  }

  auto ct_eq(const F& o) const {
    const F a = self().canonical(), b = o.canonical();
    auto eq = F::equal(a.l[0], b.l[0]);
    for (int i = 1; i < N; ++i) eq = eq & F::equal(a.l[i], b.l[i]);
    return eq;
  }
  auto is_zero() const {
    const F a = self().canonical();
    R any = a.l[0];
    for (int i = 1; i < N; ++i) any = F::bit_or(any, a.l[i]);
    return F::equal(any, R{});
  }

  template <class Mask>
  void conditional_assign(const F& o, Mask c) {
    for (int i = 0; i < N; ++i) l[i] = F::blend(l[i], o.l[i], c);
  }
  template <class Mask>
  static void conditional_swap(F& a, F& b, Mask c) {
    for (int i = 0; i < N; ++i) {
      const R t = a.l[i];
      a.l[i] = F::blend(a.l[i], b.l[i], c);
      b.l[i] = F::blend(b.l[i], t, c);
    }
  }

 private:
  const F& self() const { return static_cast<const F&>(*this); }
};

}  // namespace vorlinde::curve::backend::vector
