#pragma once
// The Elligator 2 maps between points and uniform 32-byte strings, in lanes
// over an instruction set I. Same formulas, in the same order, as
// curve/elligator.cpp, where they are derived; the results are bit-for-bit
// those of the portable code.

#include "curve/backend/vector/isa_only.hpp"

#include <cstddef>
#include <cstdint>

#include "curve/backend/vector/scalar_mul.hpp"
#include "curve/field_ops.hpp"

namespace vorlinde::curve::backend::vector {

template <class I>
void uniform_bytes_to_point(const std::uint8_t* in, std::size_t n, PointLimbs* out, std::uint8_t* on_curve) {
  using F = typename I::Field;
  const F one = F::one(), a_neg = F::broadcast(limbs51::MONTGOMERY_A_NEG);
  for (std::size_t c = 0; c < n; c += I::kLanes) {
    const std::size_t m = n - c < I::kLanes ? n - c : I::kLanes;
    const typename F::Mask sign = I::load_top_bits(in + 32 * c, m);
    const F r = I::load_bytes(in + 32 * c, m);
    const F two_r2 = r.square2();
    const F t = one + two_r2;
    const F G = a_neg * (t.square() - F::broadcast(limbs51::MONTGOMERY_A_SQUARED) * two_r2);
    const auto [u1_on_curve, k] = curve::sqrt_ratio_i(one, G * t);

    F x = F::broadcast(limbs51::MINUS_A_SQRT_MINUS_A_PLUS_2) * t * k *
          curve::conditional_select(F::broadcast(limbs51::SQRT_M1_MINUS_ONE) * r, one, u1_on_curve);
    curve::conditional_negate(x, x.is_negative() ^ sign);
    const F nn = curve::conditional_select(a_neg * two_r2, a_neg, u1_on_curve);
    const F a = nn - t;
    const F b = nn + t;

    // -x^2 + y^2 = 1 + d x^2 y^2 times b^2.
    const F x2 = x.square(), a2 = a.square(), b2 = b.square();
    const typename F::Mask ok = (a2 - x2 * b2).ct_eq(b2 + F::broadcast(limbs51::EDWARDS_D) * x2 * a2);
    store_points<I>({x * b, a, b, x * a}, out + c, m);
    I::store_flags(ok, on_curve + c, m);
  }
}

template <class I>
void point_to_uniform_bytes(const PointLimbs* points, const std::uint8_t* branch, std::size_t n, std::uint8_t* out,
                            std::uint8_t* valid) {
  using F = typename I::Field;
  for (std::size_t c = 0; c < n; c += I::kLanes) {
    const std::size_t m = n - c < I::kLanes ? n - c : I::kLanes;
    const Extended<F> p = load_points<I>(points + c, m);
    const typename F::Mask b = I::load_flags(branch + c, m);
    const F U = p.Z + p.Y;
    const F V = p.Z - p.Y;
    const F U_plus_AV = U + F::broadcast(limbs51::MONTGOMERY_A) * V;
    const F W = F::broadcast(limbs51::MINUS_TWO) * U * U_plus_AV;
    const auto [is_square, k] = curve::sqrt_ratio_i(F::one(), W * p.Z.square());
    const typename F::Mask ok = is_square & !V.is_zero();

    const F z_inv = k.square() * W * p.Z;
    const typename F::Mask x_is_negative = (p.X * z_inv).is_negative();
    F r = curve::conditional_select(U, U_plus_AV, b) * (k * p.Z);
    curve::conditional_negate(r, r.is_negative());
    I::store_bytes(r, x_is_negative, out + 32 * c, m);
    I::store_flags(ok, valid + c, m);
  }
}

}  // namespace vorlinde::curve::backend::vector
