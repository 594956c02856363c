#pragma once
// Moving elements between the caller's arrays (one element or point after the
// other, five radix-2^51 limbs each) and lanes, over an instruction set's
// layout L. L::Limbs holds limb i of lane j at [i][j] in the field's own
// representation; L::put and L::get move one lane's radix-2^51 limbs (< 2^52)
// in and out of it, L::load brings it into registers within the field's
// bounds. Lanes at or beyond the count m take a given fill value and are never
// written back. Addresses depend only on m and the array addresses, which are
// public.

#include "curve/backend/vector/isa_only.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vorlinde::curve::backend::vector {

template <class L>
struct Lanes : L {
  using F = typename L::Field;
  using Mask = typename F::Mask;
  using Limbs = typename L::Limbs;
  using L::kLanes;

  // Lane j < m reads the five limbs at base + j stride; other lanes read fill.
  static F gather(const std::uint64_t* base, std::size_t stride, std::size_t m, const std::uint64_t (&fill)[5]) {
    Limbs t;
    VORLINDE_LANE_LOOP
    for (std::size_t j = 0; j < kLanes; ++j) L::put(t, j, j < m ? base + j * stride : fill);
    return L::load(t);
  }

  static void scatter(const F& a, std::uint64_t* base, std::size_t stride, std::size_t m) {
    Limbs t;
    L::store(a, t);
    VORLINDE_LANE_LOOP
    for (std::size_t j = 0; j < m; ++j) L::get(t, j, base + j * stride);
  }

  // All lanes in the lane representation itself: element j at F::kLimbs j,
  // limbs within the field's bounds, taken as they are.
  static F load_raw(const std::uint64_t* in) {
    Limbs t;
    for (std::size_t j = 0; j < kLanes; ++j)
      for (int i = 0; i < F::kLimbs; ++i) t.l[i][j] = in[F::kLimbs * j + i];
    return L::load_uncarried(t);
  }
  static void store_raw(const F& a, std::uint64_t* out) {
    Limbs t;
    L::store(a, t);
    for (std::size_t j = 0; j < kLanes; ++j)
      for (int i = 0; i < F::kLimbs; ++i) out[F::kLimbs * j + i] = t.l[i][j];
  }

  // 32-byte little-endian strings, bit 255 ignored (an integer in [p, 2^255)
  // stands for its residue); lanes at or beyond m read 32 zero bytes.
  static F load_bytes(const std::uint8_t* in, std::size_t m) {
    constexpr std::uint64_t k51 = (std::uint64_t{1} << 51) - 1;
    Limbs t;
    VORLINDE_LANE_LOOP
    for (std::size_t j = 0; j < kLanes; ++j) {
      std::uint64_t w[4] = {0, 0, 0, 0};
      if (j < m) std::memcpy(w, in + 32 * j, 32);
      const std::uint64_t limbs[5] = {w[0] & k51, (w[0] >> 51 | w[1] << 13) & k51, (w[1] >> 38 | w[2] << 26) & k51,
                                      (w[2] >> 25 | w[3] << 39) & k51, (w[3] >> 12) & k51};
      L::put(t, j, limbs);
    }
    return L::load(t);
  }

  // Bit 255 of each lane's string.
  static Mask load_top_bits(const std::uint8_t* in, std::size_t m) { return L::load_bits(in + 31, 32, 7, m); }
  // Bit 0 of each lane's flag byte.
  static Mask load_flags(const std::uint8_t* in, std::size_t m) { return L::load_bits(in, 1, 0, m); }

  // Canonical encodings of lanes 0..m-1, with `top` in bit 255.
  static void store_bytes(const F& a, Mask top, std::uint8_t* out, std::size_t m) {
    Limbs t;
    L::store(a.canonical(), t);
    std::uint8_t top_bit[kLanes];
    L::store_flags(top, top_bit, m);
    VORLINDE_LANE_LOOP
    for (std::size_t j = 0; j < m; ++j) {
      std::uint64_t f[5];
      L::get(t, j, f);
      const std::uint64_t w[4] = {f[0] | f[1] << 51, f[1] >> 13 | f[2] << 38, f[2] >> 26 | f[3] << 25,
                                  f[3] >> 39 | f[4] << 12 | std::uint64_t{top_bit[j]} << 63};
      std::memcpy(out + 32 * j, w, 32);
    }
  }
};

}  // namespace vorlinde::curve::backend::vector
