#pragma once
// Moving elements between the caller's arrays (one element or point after the
// other, five radix-2^51 limbs each, which is also the lane field's own
// representation) and lanes (limb i of eight elements in one register). Lanes
// at or beyond the count m take a given fill value and are never written
// back. Addresses depend only on m and the array addresses, which are public.

#include "curve/backend/vector/isa_only.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "curve/backend/ifma/field.hpp"

namespace vorlinde::curve::backend::ifma {
inline namespace VORLINDE_IFMA_FOLD {

struct Lanes {
  static constexpr std::size_t kLanes = 8;

  // Lane j < m reads the five limbs at base + j stride; other lanes read fill.
  static F51x8 gather(const std::uint64_t* base, std::size_t stride, std::size_t m, const std::uint64_t (&fill)[5]) {
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

  static void scatter(const F51x8& a, std::uint64_t* base, std::size_t stride, std::size_t m) {
    alignas(64) std::uint64_t t[5][kLanes];
    for (int i = 0; i < 5; ++i) _mm512_store_si512(t[i], a.l[i]);
    VORLINDE_LANE_LOOP
    for (std::size_t j = 0; j < m; ++j)
      for (int i = 0; i < 5; ++i) base[j * stride + i] = t[i][j];
  }

  // All lanes in the lane representation: element j at 5 j.
  static F51x8 load_raw(const std::uint64_t* in) {
    static constexpr std::uint64_t kZero[5] = {0, 0, 0, 0, 0};
    return gather(in, 5, kLanes, kZero);
  }
  static void store_raw(const F51x8& a, std::uint64_t* out) { scatter(a, out, 5, kLanes); }

  // 32-byte little-endian strings, bit 255 ignored (an integer in [p, 2^255)
  // stands for its residue); lanes at or beyond m read 32 zero bytes.
  static F51x8 load_bytes(const std::uint8_t* in, std::size_t m) {
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

  // Lane j set when bit `bit` of in[stride j] is, for j < m; other lanes clear.
  static Mask load_bits(const std::uint8_t* in, std::size_t stride, int bit, std::size_t m) {
    unsigned bits = 0;
    VORLINDE_LANE_LOOP
    for (std::size_t j = 0; j < m; ++j) bits |= static_cast<unsigned>((in[stride * j] >> bit) & 1) << j;
    return {static_cast<__mmask8>(bits)};
  }
  // Bit 255 of each lane's string.
  static Mask load_top_bits(const std::uint8_t* in, std::size_t m) { return load_bits(in + 31, 32, 7, m); }
  // Bit 0 of each lane's flag byte.
  static Mask load_flags(const std::uint8_t* in, std::size_t m) { return load_bits(in, 1, 0, m); }
  // Lane j set when bit j of k is.
  static Mask lane_bits(unsigned k) { return {static_cast<__mmask8>(k)}; }

  // Canonical encodings of lanes 0..m-1, with `top` in bit 255.
  static void store_bytes(const F51x8& a, Mask top, std::uint8_t* out, std::size_t m) {
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
  static void store_flags(Mask c, std::uint8_t* out, std::size_t m) {
    VORLINDE_LANE_LOOP
    for (std::size_t j = 0; j < m; ++j) out[j] = static_cast<std::uint8_t>((c.bits >> j) & 1);
  }
};

}  // namespace VORLINDE_IFMA_FOLD
}  // namespace vorlinde::curve::backend::ifma
