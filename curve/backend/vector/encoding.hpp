#pragma once
// RFC 8032 point encoding in lanes over an instruction set I: batched
// compression with one inversion per block, and decompression.

#include "curve/backend/vector/isa_only.hpp"

#include <cstddef>
#include <cstdint>

#include "curve/backend/vector/scalar_mul.hpp"
#include "curve/field_ops.hpp"

namespace vorlinde::curve::backend::vector {

// Chunks sharing one inversion; the prefix products take 10 KiB.
constexpr std::size_t kBlockChunks = 32;

// Points [0, count) with count <= kBlockChunks * I::kLanes. Montgomery's trick
// over the chunks, lane by lane: with q_c = Z_0 ... Z_c, 1/Z_c = q_(c-1) / q_c.
// A lane with Z = 0 (not a point) multiplies as 1 and gets 1/Z = 0, which is
// what inversion by exponentiation gives the portable code.
template <class I>
void compress_block(const PointLimbs* points, std::size_t count, std::uint8_t* out) {
  using F = typename I::Field;
  constexpr std::size_t kLanes = I::kLanes;
  const std::size_t chunks = (count + kLanes - 1) / kLanes;
  auto lanes_in = [&](std::size_t c) { return count - c * kLanes < kLanes ? count - c * kLanes : kLanes; };
  // One coordinate of a chunk: gathering is a good part of the cost here.
  static constexpr std::uint64_t kZero[5] = {0, 0, 0, 0, 0}, kOne[5] = {1, 0, 0, 0, 0};
  auto coordinate = [&](std::size_t c, const std::uint64_t(PointLimbs::*field)[5], const std::uint64_t(&fill)[5]) {
    return I::gather(points[c * kLanes].*field, kPointStride, lanes_in(c), fill);
  };
  auto nonzero_z = [&](std::size_t c, typename F::Mask& zero) {
    F z = coordinate(c, &PointLimbs::Z, kOne);
    zero = z.is_zero();
    z.conditional_assign(F::one(), zero);
    return z;
  };
  F prefix[kBlockChunks];
  typename F::Mask zero[kBlockChunks];
  prefix[0] = nonzero_z(0, zero[0]);
  for (std::size_t c = 1; c < chunks; ++c) prefix[c] = prefix[c - 1] * nonzero_z(c, zero[c]);
  F inverse = curve::invert(prefix[chunks - 1]);  // 1 / q_c for the current c
  for (std::size_t c = chunks; c-- > 0;) {
    F recip = inverse;
    if (c > 0) {
      recip = inverse * prefix[c - 1];
      typename F::Mask unused;
      inverse = inverse * nonzero_z(c, unused);
    }
    recip.conditional_assign(F::zero(), zero[c]);
    // y with the low bit of x in bit 255.
    const F x = coordinate(c, &PointLimbs::X, kZero) * recip, y = coordinate(c, &PointLimbs::Y, kOne) * recip;
    I::store_bytes(y, x.is_negative(), out + 32 * c * kLanes, lanes_in(c));
  }
}

template <class I>
void compress(const PointLimbs* points, std::size_t n, std::uint8_t* out) {
  constexpr std::size_t kBlock = kBlockChunks * I::kLanes;
  for (std::size_t b = 0; b < n; b += kBlock)
    compress_block<I>(points + b, n - b < kBlock ? n - b : kBlock, out + 32 * b);
}

template <class I>
void decompress(const std::uint8_t* in, std::size_t n, PointLimbs* out, std::uint8_t* valid) {
  using F = typename I::Field;
  for (std::size_t c = 0; c < n; c += I::kLanes) {
    const std::size_t m = n - c < I::kLanes ? n - c : I::kLanes;
    // x^2 = (y^2 - 1) / (d y^2 + 1); the denominator never vanishes because
    // -1/d is not a square. Lanes beyond m read y = 0, which decodes.
    const F y = I::load_bytes(in + 32 * c, m);
    const typename F::Mask sign = I::load_top_bits(in + 32 * c, m);
    const F yy = y.square();
    const F u = yy - F::one();
    const F v = yy * F::broadcast(limbs51::EDWARDS_D) + F::one();
    auto [is_valid, x] = curve::sqrt_ratio_i(u, v);
    curve::conditional_negate(x, sign);
    Extended<F> p{x, y, F::one(), x * y};
    p.conditional_assign(Extended<F>::identity(), !is_valid);
    store_points<I>(p, out + c, m);
    I::store_flags(is_valid, valid + c, m);
  }
}

}  // namespace vorlinde::curve::backend::vector
