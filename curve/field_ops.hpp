#pragma once
// Field routines written once for every representation of GF(p), p = 2^255 - 19:
// the portable one-element type and the vector types that hold one element per
// lane. This header includes nothing, so that a backend compiled for a wider
// instruction set can instantiate it without compiling any shared inline code
// for that instruction set.
//
// A representation F provides: F::one(), F::sqrt_m1() (the even square root
// of -1), products and squares (a * b, a.square(), a.pow2k(k) for k >= 1),
// a - b and -a, a.ct_eq(b) and a.is_negative() giving a constant-time F::Mask
// (which has &, |, ^ and !), and a.conditional_assign(b, mask). Every routine
// here runs in time independent of the values, lane by lane.

namespace vorlinde::curve {

// x^(2^250 - 1) and x^11: the shared prefix of the p - 2 and (p - 5)/8 chains.
template <class F>
struct Pow22501 {
  F t19;  // x^(2^250 - 1)
  F t3;   // x^11
};

template <class F>
Pow22501<F> pow22501(const F& x) {
  const F t0 = x.square();              // 2
  const F t1 = t0.pow2k(2);             // 8
  const F t2 = x * t1;                  // 9
  const F t3 = t0 * t2;                 // 11
  const F t4 = t3.square();             // 22
  const F t5 = t2 * t4;                 // 31 = 2^5 - 1
  const F t7 = t5.pow2k(5) * t5;        // 2^10 - 1
  const F t9 = t7.pow2k(10) * t7;       // 2^20 - 1
  const F t11 = t9.pow2k(20) * t9;      // 2^40 - 1
  const F t13 = t11.pow2k(10) * t7;     // 2^50 - 1
  const F t15 = t13.pow2k(50) * t13;    // 2^100 - 1
  const F t17 = t15.pow2k(100) * t15;   // 2^200 - 1
  const F t19 = t17.pow2k(50) * t13;    // 2^250 - 1
  return {t19, t3};
}

// x^(p - 2): the inverse of a non-zero element, and 0 for 0.
template <class F>
F invert(const F& x) {
  const Pow22501<F> p = pow22501(x);
  return p.t19.pow2k(5) * p.t3;  // 2^255 - 32 + 11 = p - 2
}

// x^((p - 5)/8), the core of the square root of a ratio.
template <class F>
F pow_p58(const F& x) {
  const Pow22501<F> p = pow22501(x);
  return x * p.t19.pow2k(2);  // 2^252 - 4 + 1 = (p - 5)/8
}

// c ? b : a
template <class F>
F conditional_select(const F& a, const F& b, typename F::Mask c) {
  F r = a;
  r.conditional_assign(b, c);
  return r;
}

template <class F>
void conditional_negate(F& x, typename F::Mask c) {
  x.conditional_assign(-x, c);
}

template <class F>
struct SqrtRatio {
  typename F::Mask was_square;
  F root;
};

// RFC 9496 SQRT_RATIO_M1. `root` is the non-negative
//   sqrt(u/v)      when u/v is a non-zero square           (was_square set),
//   0              when u = 0                              (set),
//   0              when v = 0 and u != 0                   (clear),
//   sqrt(i * u/v)  when u/v is not a square                (clear).
template <class F>
SqrtRatio<F> sqrt_ratio_i(const F& u, const F& v) {
  // Candidate r = u v^3 (u v^7)^((p-5)/8); then v r^2 is one of u, -u, i u, -i u
  // whenever v != 0, and r (or r i) is the root exactly in the first two cases.
  const F i = F::sqrt_m1();
  const F v3 = v.square() * v;
  const F v7 = v3.square() * v;
  F r = (u * v3) * pow_p58(u * v7);
  const F check = v * r.square();

  const F u_neg = -u;
  const typename F::Mask correct_sign = check.ct_eq(u);
  const typename F::Mask flipped_sign = check.ct_eq(u_neg);
  const typename F::Mask flipped_sign_i = check.ct_eq(u_neg * i);

  r.conditional_assign(i * r, flipped_sign | flipped_sign_i);
  conditional_negate(r, r.is_negative());
  return {correct_sign | flipped_sign, r};
}

}  // namespace vorlinde::curve
