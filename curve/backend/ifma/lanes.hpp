#pragma once
// Moving elements between the caller's arrays (one element or point after the
// other) and lanes (limb i of eight elements in one register). Lanes at or
// beyond the count m take a given fill value and are never written back.
// Addresses depend only on m and the array addresses, which are public.
// Compiled only into the IFMA library.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "curve/backend/ifma/field.hpp"
#include "curve/backend/ifma/kernel.hpp"
#include "curve/backend/ifma/points.hpp"

// The copies between lanes and memory below are plain loops over the lanes.
// clang would vectorize them into masked gathers and scatters, which the
// MemorySanitizer of clang 14 checks operand by operand as if they were
// branch conditions, so the constant-time check would report every secret
// copied; they stay scalar loops there (and cost nothing next to the
// arithmetic).
#if defined(__clang__)
#define VORLINDE_LANE_LOOP _Pragma("clang loop vectorize(disable) interleave(disable)")
#else
#define VORLINDE_LANE_LOOP
#endif

namespace vorlinde::curve::backend::ifma {

// Lane j < m reads the five limbs at base + j stride; other lanes read fill.
inline F51x8 gather(const std::uint64_t* base, std::size_t stride, std::size_t m, const std::uint64_t (&fill)[5]) {
  alignas(64) std::uint64_t t[5][kLanes];
  VORLINDE_LANE_LOOP
  for (std::size_t j = 0; j < kLanes; ++j) {
    const std::uint64_t* src = j < m ? base + j * stride : fill;
    for (int i = 0; i < 5; ++i) t[i][j] = src[i];
  }
  F51x8 r;
  for (int i = 0; i < 5; ++i) r.l[i] = _mm512_load_si512(t[i]);
  return r;
}

inline void scatter(const F51x8& a, std::uint64_t* base, std::size_t stride, std::size_t m) {
  alignas(64) std::uint64_t t[5][kLanes];
  for (int i = 0; i < 5; ++i) _mm512_store_si512(t[i], a.l[i]);
  VORLINDE_LANE_LOOP
  for (std::size_t j = 0; j < m; ++j)
    for (int i = 0; i < 5; ++i) base[j * stride + i] = t[i][j];
}

constexpr std::size_t kPointStride = sizeof(PointLimbs) / sizeof(std::uint64_t);
static_assert(kPointStride == 20);

// Lanes at or beyond m hold the identity.
inline ExtendedX8 load_points(const PointLimbs* p, std::size_t m) {
  static constexpr std::uint64_t kZero[5] = {0, 0, 0, 0, 0}, kOne[5] = {1, 0, 0, 0, 0};
  return {gather(p->X, kPointStride, m, kZero), gather(p->Y, kPointStride, m, kOne),
          gather(p->Z, kPointStride, m, kOne), gather(p->T, kPointStride, m, kZero)};
}

inline void store_points(const ExtendedX8& p, PointLimbs* out, std::size_t m) {
  scatter(p.X, out->X, kPointStride, m);
  scatter(p.Y, out->Y, kPointStride, m);
  scatter(p.Z, out->Z, kPointStride, m);
  scatter(p.T, out->T, kPointStride, m);
}

// 32-byte little-endian strings, bit 255 ignored (an integer in [p, 2^255)
// stands for its residue); lanes at or beyond m read 32 zero bytes.
inline F51x8 load_bytes(const std::uint8_t* in, std::size_t m) {
  alignas(64) std::uint64_t t[5][kLanes];
  VORLINDE_LANE_LOOP
  for (std::size_t j = 0; j < kLanes; ++j) {
    std::uint64_t w[4] = {0, 0, 0, 0};
    if (j < m) std::memcpy(w, in + 32 * j, 32);
    constexpr std::uint64_t k51 = F51x8::kLow51;
    t[0][j] = w[0] & k51;
    t[1][j] = (w[0] >> 51 | w[1] << 13) & k51;
    t[2][j] = (w[1] >> 38 | w[2] << 26) & k51;
    t[3][j] = (w[2] >> 25 | w[3] << 39) & k51;
    t[4][j] = (w[3] >> 12) & k51;
  }
  F51x8 r;
  for (int i = 0; i < 5; ++i) r.l[i] = _mm512_load_si512(t[i]);
  return r;
}

// Bit 255 of each lane's string as a mask (lanes at or beyond m: clear).
inline Mask load_top_bits(const std::uint8_t* in, std::size_t m) {
  unsigned bits = 0;
  VORLINDE_LANE_LOOP
  for (std::size_t j = 0; j < m; ++j) bits |= static_cast<unsigned>(in[32 * j + 31] >> 7) << j;
  return {static_cast<__mmask8>(bits)};
}

// Canonical encodings of lanes 0..m-1, with `top` in bit 255.
inline void store_bytes(const F51x8& a, Mask top, std::uint8_t* out, std::size_t m) {
  const F51x8 c = a.canonical();
  alignas(64) std::uint64_t t[5][kLanes];
  for (int i = 0; i < 5; ++i) _mm512_store_si512(t[i], c.l[i]);
  VORLINDE_LANE_LOOP
  for (std::size_t j = 0; j < m; ++j) {
    const std::uint64_t w[4] = {
        t[0][j] | t[1][j] << 51, t[1][j] >> 13 | t[2][j] << 38, t[2][j] >> 26 | t[3][j] << 25,
        t[3][j] >> 39 | t[4][j] << 12 | static_cast<std::uint64_t>((top.bits >> j) & 1) << 63};
    std::memcpy(out + 32 * j, w, 32);
  }
}

// Flags 0/1 of lanes 0..m-1.
inline void store_flags(Mask c, std::uint8_t* out, std::size_t m) {
  VORLINDE_LANE_LOOP
  for (std::size_t j = 0; j < m; ++j) out[j] = static_cast<std::uint8_t>((c.bits >> j) & 1);
}

}  // namespace vorlinde::curve::backend::ifma
