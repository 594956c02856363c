// RFC 8032 point encoding in lanes: batched compression with one inversion
// per block, and decompression.

#include <cstddef>
#include <cstdint>

#include "curve/backend/avx2/field.hpp"
#include "curve/backend/avx2/kernel.hpp"
#include "curve/backend/avx2/lanes.hpp"
#include "curve/backend/avx2/points.hpp"
#include "curve/field_ops.hpp"

namespace vorlinde::curve::backend::avx2 {
namespace {

// Chunks sharing one inversion: 128 points; the prefix products take 10 KiB.
constexpr std::size_t kBlockChunks = 32;

// y with the low bit of x in bit 255, from affine coordinates.
void encode_affine(const F25x4& x, const F25x4& y, std::uint8_t* out, std::size_t m) {
  store_bytes(y, x.is_negative(), out, m);
}

// Points [0, count) with count <= kBlockChunks * kLanes. Montgomery's trick
// over the chunks, lane by lane: with q_c = Z_0 ... Z_c, 1/Z_c = q_(c-1) / q_c.
// A lane with Z = 0 (not a point) multiplies as 1 and gets 1/Z = 0, which is
// what inversion by exponentiation gives the portable code.
void compress_block(const PointLimbs* points, std::size_t count, std::uint8_t* out) {
  const std::size_t chunks = (count + kLanes - 1) / kLanes;
  auto lanes_in = [&](std::size_t c) { return count - c * kLanes < kLanes ? count - c * kLanes : kLanes; };
  // One coordinate of a chunk: gathering is a good part of the cost here.
  static constexpr std::uint64_t kZero[5] = {0, 0, 0, 0, 0}, kOne[5] = {1, 0, 0, 0, 0};
  auto coordinate = [&](std::size_t c, const std::uint64_t(PointLimbs::*field)[5], const std::uint64_t(&fill)[5]) {
    return gather(points[c * kLanes].*field, kPointStride, lanes_in(c), fill);
  };
  auto nonzero_z = [&](std::size_t c, Mask& zero) {
    F25x4 z = coordinate(c, &PointLimbs::Z, kOne);
    zero = z.is_zero();
    z.conditional_assign(F25x4::one(), zero);
    return z;
  };
  F25x4 prefix[kBlockChunks];
  Mask zero[kBlockChunks];
  prefix[0] = nonzero_z(0, zero[0]);
  for (std::size_t c = 1; c < chunks; ++c) prefix[c] = prefix[c - 1] * nonzero_z(c, zero[c]);
  F25x4 inverse = curve::invert(prefix[chunks - 1]);  // 1 / q_c for the current c
  for (std::size_t c = chunks; c-- > 0;) {
    F25x4 recip = inverse;
    if (c > 0) {
      recip = inverse * prefix[c - 1];
      Mask unused;
      inverse = inverse * nonzero_z(c, unused);
    }
    recip.conditional_assign(F25x4::zero(), zero[c]);
    encode_affine(coordinate(c, &PointLimbs::X, kZero) * recip, coordinate(c, &PointLimbs::Y, kOne) * recip,
                  out + 32 * c * kLanes, lanes_in(c));
  }
}

}  // namespace

void compress(const PointLimbs* points, std::size_t n, std::uint8_t* out) {
  constexpr std::size_t kBlock = kBlockChunks * kLanes;
  for (std::size_t b = 0; b < n; b += kBlock) compress_block(points + b, n - b < kBlock ? n - b : kBlock, out + 32 * b);
}

void decompress(const std::uint8_t* in, std::size_t n, PointLimbs* out, std::uint8_t* valid) {
  for (std::size_t c = 0; c < n; c += kLanes) {
    const std::size_t m = n - c < kLanes ? n - c : kLanes;
    // x^2 = (y^2 - 1) / (d y^2 + 1); the denominator never vanishes because
    // -1/d is not a square. Lanes beyond m read y = 0, which decodes.
    const F25x4 y = load_bytes(in + 32 * c, m);
    const Mask sign = load_top_bits(in + 32 * c, m);
    const F25x4 yy = y.square();
    const F25x4 u = yy - F25x4::one();
    const F25x4 v = yy * edwards_d() + F25x4::one();
    auto [is_valid, x] = curve::sqrt_ratio_i(u, v);
    curve::conditional_negate(x, sign);
    ExtendedX4 p{x, y, F25x4::one(), x * y};
    p.conditional_assign(ExtendedX4::identity(), !is_valid);
    store_points(p, out + c, m);
    store_flags(is_valid, valid + c, m);
  }
}

}  // namespace vorlinde::curve::backend::avx2
