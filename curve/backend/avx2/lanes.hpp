#pragma once
// Moving elements between the caller's arrays (one element or point after the
// other, five radix-2^51 limbs each) and lanes (limb i of four elements in one
// register, radix 2^25.5). Lanes at or beyond the count m take a given fill
// value and are never written back. Addresses depend only on m and the array
// addresses, which are public. Compiled only into the AVX2 library.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "curve/backend/avx2/field.hpp"
#include "curve/backend/avx2/kernel.hpp"
#include "curve/backend/avx2/points.hpp"

// The copies between lanes and memory below are plain loops over the lanes:
// clang would vectorize them into gathers and scatters, whose operands its
// MemorySanitizer checks as if they were branch conditions (see
// curve/backend/ifma/lanes.hpp).
#if defined(__clang__)
#define VORLINDE_AVX2_LANE_LOOP _Pragma("clang loop vectorize(disable) interleave(disable)")
#else
#define VORLINDE_AVX2_LANE_LOOP
#endif

namespace vorlinde::curve::backend::avx2 {

// Lane j < m reads the five limbs (< 2^52) at base + j stride; other lanes
// read fill. A limb a splits as a mod 2^26 and a >> 26 (< 2^26); one carry
// pass brings the odd limbs under their bound.
inline F25x4 gather(const std::uint64_t* base, std::size_t stride, std::size_t m, const std::uint64_t (&fill)[5]) {
  alignas(32) std::uint64_t t[10][kLanes];
  VORLINDE_AVX2_LANE_LOOP
  for (std::size_t j = 0; j < kLanes; ++j) {
    const std::uint64_t* src = j < m ? base + j * stride : fill;
    for (int i = 0; i < 5; ++i) {
      t[2 * i][j] = src[i] & F25x4::kLow26;
      t[2 * i + 1][j] = src[i] >> 26;
    }
  }
  __m256i v[10];
  for (int i = 0; i < 10; ++i) v[i] = _mm256_load_si256(reinterpret_cast<const __m256i*>(t[i]));
  return F25x4::weak_reduce(v);
}

// Five limbs l_2i + 2^26 l_(2i+1) < 2^26 + 2^19 + 2^26 (2^25 + 2^19) < 2^52.
inline void scatter(const F25x4& a, std::uint64_t* base, std::size_t stride, std::size_t m) {
  alignas(32) std::uint64_t t[10][kLanes];
  for (int i = 0; i < 10; ++i) _mm256_store_si256(reinterpret_cast<__m256i*>(t[i]), a.l[i]);
  VORLINDE_AVX2_LANE_LOOP
  for (std::size_t j = 0; j < m; ++j)
    for (int i = 0; i < 5; ++i) base[j * stride + i] = t[2 * i][j] + (t[2 * i + 1][j] << 26);
}

constexpr std::size_t kPointStride = sizeof(PointLimbs) / sizeof(std::uint64_t);
static_assert(kPointStride == 20);

// Lanes at or beyond m hold the identity.
inline ExtendedX4 load_points(const PointLimbs* p, std::size_t m) {
  static constexpr std::uint64_t kZero[5] = {0, 0, 0, 0, 0}, kOne[5] = {1, 0, 0, 0, 0};
  return {gather(p->X, kPointStride, m, kZero), gather(p->Y, kPointStride, m, kOne),
          gather(p->Z, kPointStride, m, kOne), gather(p->T, kPointStride, m, kZero)};
}

inline void store_points(const ExtendedX4& p, PointLimbs* out, std::size_t m) {
  scatter(p.X, out->X, kPointStride, m);
  scatter(p.Y, out->Y, kPointStride, m);
  scatter(p.Z, out->Z, kPointStride, m);
  scatter(p.T, out->T, kPointStride, m);
}

// Bits [offset, offset + width) of a 256-bit little-endian integer, width <= 26.
inline std::uint64_t bit_field(const std::uint64_t (&w)[4], int offset, int width) {
  const int word = offset / 64, shift = offset % 64;
  std::uint64_t v = w[word] >> shift;
  if (shift + width > 64) v |= w[word + 1] << (64 - shift);
  return v & ((std::uint64_t{1} << width) - 1);
}

// Bit offset of limb i: ceil(25.5 i).
constexpr int limb_offset(int i) { return 26 * ((i + 1) / 2) + 25 * (i / 2); }

// 32-byte little-endian strings, bit 255 ignored (an integer in [p, 2^255)
// stands for its residue); lanes at or beyond m read 32 zero bytes.
inline F25x4 load_bytes(const std::uint8_t* in, std::size_t m) {
  alignas(32) std::uint64_t t[10][kLanes];
  VORLINDE_AVX2_LANE_LOOP
  for (std::size_t j = 0; j < kLanes; ++j) {
    std::uint64_t w[4] = {0, 0, 0, 0};
    if (j < m) std::memcpy(w, in + 32 * j, 32);
    for (int i = 0; i < 10; ++i) t[i][j] = bit_field(w, limb_offset(i), F25x4::bits(i));
  }
  F25x4 r;
  for (int i = 0; i < 10; ++i) r.l[i] = _mm256_load_si256(reinterpret_cast<const __m256i*>(t[i]));
  return r;
}

// Lane j all ones when bit (8 stride j + bit) of the bytes is set, for j < m;
// lanes at or beyond m clear.
inline Mask load_bits(const std::uint8_t* in, std::size_t stride, int bit, std::size_t m) {
  alignas(32) std::uint64_t t[kLanes] = {0, 0, 0, 0};
  VORLINDE_AVX2_LANE_LOOP
  for (std::size_t j = 0; j < m; ++j) t[j] = 0 - static_cast<std::uint64_t>((in[stride * j + bit / 8] >> (bit % 8)) & 1);
  return {_mm256_load_si256(reinterpret_cast<const __m256i*>(t))};
}

// Bit 255 of each lane's string as a mask (lanes at or beyond m: clear).
inline Mask load_top_bits(const std::uint8_t* in, std::size_t m) { return load_bits(in, 32, 255, m); }

// Canonical encodings of lanes 0..m-1, with `top` in bit 255.
inline void store_bytes(const F25x4& a, Mask top, std::uint8_t* out, std::size_t m) {
  const F25x4 c = a.canonical();
  alignas(32) std::uint64_t t[10][kLanes], s[kLanes];
  for (int i = 0; i < 10; ++i) _mm256_store_si256(reinterpret_cast<__m256i*>(t[i]), c.l[i]);
  _mm256_store_si256(reinterpret_cast<__m256i*>(s), top.v);
  VORLINDE_AVX2_LANE_LOOP
  for (std::size_t j = 0; j < m; ++j) {
    std::uint64_t f[5];
    for (int i = 0; i < 5; ++i) f[i] = t[2 * i][j] | t[2 * i + 1][j] << 26;
    const std::uint64_t w[4] = {f[0] | f[1] << 51, f[1] >> 13 | f[2] << 38, f[2] >> 26 | f[3] << 25,
                                f[3] >> 39 | f[4] << 12 | (s[j] & 1) << 63};
    std::memcpy(out + 32 * j, w, 32);
  }
}

// Flags 0/1 of lanes 0..m-1.
inline void store_flags(Mask c, std::uint8_t* out, std::size_t m) {
  alignas(32) std::uint64_t t[kLanes];
  _mm256_store_si256(reinterpret_cast<__m256i*>(t), c.v);
  VORLINDE_AVX2_LANE_LOOP
  for (std::size_t j = 0; j < m; ++j) out[j] = static_cast<std::uint8_t>(t[j] & 1);
}

}  // namespace vorlinde::curve::backend::avx2
