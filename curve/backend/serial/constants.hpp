#pragma once
// Curve and field constants, as field elements in the radix-2^51 form
// (every limb below 2^51, i.e. canonical).

#include "curve/backend/serial/field.hpp"

namespace vorlinde::curve::backend::serial {

// d = -121665 / 121666
inline constexpr FieldElement51 EDWARDS_D(FieldElement51::Limbs{
    0x34dca135978a3, 0x1a8283b156ebd, 0x5e7a26001c029, 0x739c663a03cbb, 0x52036cee2b6ff});
// 2 d
inline constexpr FieldElement51 EDWARDS_D2(FieldElement51::Limbs{
    0x69b9426b2f159, 0x35050762add7a, 0x3cf44c0038052, 0x6738cc7407977, 0x2406d9dc56dff});
// sqrt(-1) = 2^((p-1)/4), the even root
inline constexpr FieldElement51 SQRT_M1(FieldElement51::Limbs{
    0x61b274a0ea0b0, 0x0d5a5fc8f189d, 0x7ef5e9cbd0c60, 0x78595a6804c9e, 0x2b8324804fc1d});
// A of the Montgomery form v^2 = u^3 + A u^2 + u
inline constexpr FieldElement51 MONTGOMERY_A(FieldElement51::Limbs{486662, 0, 0, 0, 0});
// -A
inline constexpr FieldElement51 MONTGOMERY_A_NEG(FieldElement51::Limbs{
    0x7fffffff892e7, 0x7ffffffffffff, 0x7ffffffffffff, 0x7ffffffffffff, 0x7ffffffffffff});

// The base point G of RFC 8032 (y = 4/5, x even), affine coordinates.
inline constexpr FieldElement51 ED25519_BASEPOINT_X(FieldElement51::Limbs{
    0x62d608f25d51a, 0x412a4b4f6592a, 0x75b7171a4b31d, 0x1ff60527118fe, 0x216936d3cd6e5});
inline constexpr FieldElement51 ED25519_BASEPOINT_Y(FieldElement51::Limbs{
    0x6666666666658, 0x4cccccccccccc, 0x1999999999999, 0x3333333333333, 0x6666666666666});
inline constexpr FieldElement51 ED25519_BASEPOINT_T(FieldElement51::Limbs{
    0x68ab3a5b7dda3, 0x00eea2a5eadbb, 0x2af8df483c27e, 0x332b375274732, 0x67875f0fd78b7});

template <unsigned B>
constexpr FieldElement51 BoundedFieldElement51<B>::sqrt_m1() {
  return SQRT_M1;
}

// -2 = p - 2
inline constexpr FieldElement51 MINUS_TWO(FieldElement51::Limbs{0x7ffffffffffeb, 0x7ffffffffffff, 0x7ffffffffffff,
                                                                 0x7ffffffffffff, 0x7ffffffffffff});
// A^2 = 486662^2
inline constexpr FieldElement51 MONTGOMERY_A_SQUARED(FieldElement51::Limbs{236839902244, 0, 0, 0, 0});
// -A sqrt(-(A + 2)), for one choice of the root; the sign is normalised after use.
inline constexpr FieldElement51 MINUS_A_SQRT_MINUS_A_PLUS_2(FieldElement51::Limbs{
    0x21a66fb7bca31, 0x107a6831c4798, 0x71705d2b12f6e, 0x6ceb82a009fa6, 0x1016bac16a3f1});
// i - 1 with i = sqrt(-1): (i - 1)^2 = -2i.
inline constexpr FieldElement51 SQRT_M1_MINUS_ONE(FieldElement51::Limbs{
    0x61b274a0ea0af, 0x0d5a5fc8f189d, 0x7ef5e9cbd0c60, 0x78595a6804c9e, 0x2b8324804fc1d});

}  // namespace vorlinde::curve::backend::serial
