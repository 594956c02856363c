// The Elligator 2 maps between points and uniform 32-byte strings, in lanes.
// Same formulas, in the same order, as src/point_conversion.cpp, where they
// are derived; the results are bit-for-bit those of the portable code.

#include <cstddef>
#include <cstdint>

#include "curve/backend/avx2/field.hpp"
#include "curve/backend/avx2/kernel.hpp"
#include "curve/backend/avx2/lanes.hpp"
#include "curve/backend/avx2/points.hpp"
#include "curve/field_ops.hpp"

namespace vorlinde::curve::backend::avx2 {
namespace {

// A = 486662 of the Montgomery form.
F25x4 montgomery_a() { return F25x4::broadcast({486662, 0, 0, 0, 0}); }
// -A
F25x4 montgomery_a_neg() {
  return F25x4::broadcast({0x7fffffff892e7, 0x7ffffffffffff, 0x7ffffffffffff, 0x7ffffffffffff, 0x7ffffffffffff});
}
// A^2
F25x4 montgomery_a_squared() { return F25x4::broadcast({236839902244, 0, 0, 0, 0}); }
// -2
F25x4 minus_two() {
  return F25x4::broadcast({0x7ffffffffffeb, 0x7ffffffffffff, 0x7ffffffffffff, 0x7ffffffffffff, 0x7ffffffffffff});
}
// -A sqrt(-(A + 2)), the root the portable code uses.
F25x4 minus_a_sqrt_minus_a_plus_2() {
  return F25x4::broadcast({0x21a66fb7bca31, 0x107a6831c4798, 0x71705d2b12f6e, 0x6ceb82a009fa6, 0x1016bac16a3f1});
}
// sqrt(-1) - 1
F25x4 sqrt_m1_minus_one() {
  return F25x4::broadcast({0x61b274a0ea0af, 0x0d5a5fc8f189d, 0x7ef5e9cbd0c60, 0x78595a6804c9e, 0x2b8324804fc1d});
}

// Bit 0 of each lane's flag byte (lanes at or beyond m: clear).
Mask load_flags(const std::uint8_t* in, std::size_t m) { return load_bits(in, 1, 0, m); }

}  // namespace

void uniform_bytes_to_point(const std::uint8_t* in, std::size_t n, PointLimbs* out, std::uint8_t* on_curve) {
  const F25x4 one = F25x4::one();
  for (std::size_t c = 0; c < n; c += kLanes) {
    const std::size_t m = n - c < kLanes ? n - c : kLanes;
    const Mask sign = load_top_bits(in + 32 * c, m);
    const F25x4 r = load_bytes(in + 32 * c, m);
    const F25x4 two_r2 = r.square2();
    const F25x4 t = one + two_r2;
    const F25x4 G = montgomery_a_neg() * (t.square() - montgomery_a_squared() * two_r2);
    const auto [u1_on_curve, k] = curve::sqrt_ratio_i(one, G * t);

    F25x4 x = minus_a_sqrt_minus_a_plus_2() * t * k *
              curve::conditional_select(sqrt_m1_minus_one() * r, one, u1_on_curve);
    curve::conditional_negate(x, x.is_negative() ^ sign);
    const F25x4 nn = curve::conditional_select(montgomery_a_neg() * two_r2, montgomery_a_neg(), u1_on_curve);
    const F25x4 a = nn - t;
    const F25x4 b = nn + t;

    // -x^2 + y^2 = 1 + d x^2 y^2 times b^2.
    const F25x4 x2 = x.square(), a2 = a.square(), b2 = b.square();
    const Mask ok = (a2 - x2 * b2).ct_eq(b2 + edwards_d() * x2 * a2);
    store_points({x * b, a, b, x * a}, out + c, m);
    store_flags(ok, on_curve + c, m);
  }
}

void point_to_uniform_bytes(const PointLimbs* points, const std::uint8_t* branch, std::size_t n, std::uint8_t* out,
                            std::uint8_t* valid) {
  for (std::size_t c = 0; c < n; c += kLanes) {
    const std::size_t m = n - c < kLanes ? n - c : kLanes;
    const ExtendedX4 p = load_points(points + c, m);
    const Mask b = load_flags(branch + c, m);
    const F25x4 U = p.Z + p.Y;
    const F25x4 V = p.Z - p.Y;
    const F25x4 U_plus_AV = U + montgomery_a() * V;
    const F25x4 W = minus_two() * U * U_plus_AV;
    const auto [is_square, k] = curve::sqrt_ratio_i(F25x4::one(), W * p.Z.square());
    const Mask ok = is_square & !V.is_zero();

    const F25x4 z_inv = k.square() * W * p.Z;
    const Mask x_is_negative = (p.X * z_inv).is_negative();
    F25x4 r = curve::conditional_select(U, U_plus_AV, b) * (k * p.Z);
    curve::conditional_negate(r, r.is_negative());
    store_bytes(r, x_is_negative, out + 32 * c, m);
    store_flags(ok, valid + c, m);
  }
}

}  // namespace vorlinde::curve::backend::avx2
