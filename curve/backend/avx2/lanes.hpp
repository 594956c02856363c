#pragma once
// Moving elements between the caller's arrays (one element or point after the
// other, five radix-2^51 limbs each) and lanes (limb i of four elements in one
// register, radix 2^25.5). Lanes at or beyond the count m take a given fill
// value and are never written back. Addresses depend only on m and the array
// addresses, which are public.

#include "curve/backend/vector/isa_only.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "curve/backend/avx2/field.hpp"

namespace vorlinde::curve::backend::avx2 {

struct Lanes {
  static constexpr std::size_t kLanes = 4;
  static constexpr int kLimbs = F25x4::kLimbs;

  // Lane j < m reads the five limbs (< 2^52) at base + j stride; other lanes
  // read fill. A limb a splits as a mod 2^26 and a >> 26 (< 2^26); one carry
  // pass brings the odd limbs under their bound.
  static F25x4 gather(const std::uint64_t* base, std::size_t stride, std::size_t m, const std::uint64_t (&fill)[5]) {
    alignas(32) std::uint64_t t[kLimbs][kLanes];
    VORLINDE_LANE_LOOP
    for (std::size_t j = 0; j < kLanes; ++j) {
      const std::uint64_t* src = j < m ? base + j * stride : fill;
      for (int i = 0; i < 5; ++i) {
        t[2 * i][j] = src[i] & F25x4::kLow26;
        t[2 * i + 1][j] = src[i] >> 26;
      }
    }
    return F25x4::weak_reduce(load(t).l);
  }

  // Five limbs l_2i + 2^26 l_(2i+1) < 2^26 + 2^19 + 2^26 (2^25 + 2^19) < 2^52.
  static void scatter(const F25x4& a, std::uint64_t* base, std::size_t stride, std::size_t m) {
    alignas(32) std::uint64_t t[kLimbs][kLanes];
    store(a, t);
    VORLINDE_LANE_LOOP
    for (std::size_t j = 0; j < m; ++j)
      for (int i = 0; i < 5; ++i) base[j * stride + i] = t[2 * i][j] + (t[2 * i + 1][j] << 26);
  }

  // All lanes in the lane representation itself: element j at 10 j, limbs
  // within the field's bounds.
  static F25x4 load_raw(const std::uint64_t* in) {
    alignas(32) std::uint64_t t[kLimbs][kLanes];
    for (std::size_t j = 0; j < kLanes; ++j)
      for (int i = 0; i < kLimbs; ++i) t[i][j] = in[kLimbs * j + i];
    return load(t);
  }
  static void store_raw(const F25x4& a, std::uint64_t* out) {
    alignas(32) std::uint64_t t[kLimbs][kLanes];
    store(a, t);
    for (std::size_t j = 0; j < kLanes; ++j)
      for (int i = 0; i < kLimbs; ++i) out[kLimbs * j + i] = t[i][j];
  }

  // 32-byte little-endian strings, bit 255 ignored (an integer in [p, 2^255)
  // stands for its residue); lanes at or beyond m read 32 zero bytes.
  static F25x4 load_bytes(const std::uint8_t* in, std::size_t m) {
    alignas(32) std::uint64_t t[kLimbs][kLanes];
    VORLINDE_LANE_LOOP
    for (std::size_t j = 0; j < kLanes; ++j) {
      std::uint64_t w[4] = {0, 0, 0, 0};
      if (j < m) std::memcpy(w, in + 32 * j, 32);
      for (int i = 0, offset = 0; i < kLimbs; offset += F25x4::bits(i++)) {
        t[i][j] = bit_field(w, offset, F25x4::bits(i));
      }
    }
    return load(t);
  }

  // Lane j all ones when bit `bit` of in[stride j] is set, for j < m; other
  // lanes clear.
  static Mask load_bits(const std::uint8_t* in, std::size_t stride, int bit, std::size_t m) {
    alignas(32) std::uint64_t t[kLanes] = {0, 0, 0, 0};
    VORLINDE_LANE_LOOP
    for (std::size_t j = 0; j < m; ++j) t[j] = 0 - static_cast<std::uint64_t>((in[stride * j] >> bit) & 1);
    return {_mm256_load_si256(reinterpret_cast<const __m256i*>(t))};
  }
  // Bit 255 of each lane's string.
  static Mask load_top_bits(const std::uint8_t* in, std::size_t m) { return load_bits(in + 31, 32, 7, m); }
  // Bit 0 of each lane's flag byte.
  static Mask load_flags(const std::uint8_t* in, std::size_t m) { return load_bits(in, 1, 0, m); }
  // Lane j set when bit j of k is.
  static Mask lane_bits(unsigned k) {
    return {_mm256_set_epi64x(-static_cast<long long>((k >> 3) & 1), -static_cast<long long>((k >> 2) & 1),
                              -static_cast<long long>((k >> 1) & 1), -static_cast<long long>(k & 1))};
  }

  // Canonical encodings of lanes 0..m-1, with `top` in bit 255.
  static void store_bytes(const F25x4& a, Mask top, std::uint8_t* out, std::size_t m) {
    alignas(32) std::uint64_t t[kLimbs][kLanes], s[kLanes];
    store(a.canonical(), t);
    _mm256_store_si256(reinterpret_cast<__m256i*>(s), top.v);
    VORLINDE_LANE_LOOP
    for (std::size_t j = 0; j < m; ++j) {
      std::uint64_t f[5];
      for (int i = 0; i < 5; ++i) f[i] = t[2 * i][j] | t[2 * i + 1][j] << 26;
      const std::uint64_t w[4] = {f[0] | f[1] << 51, f[1] >> 13 | f[2] << 38, f[2] >> 26 | f[3] << 25,
                                  f[3] >> 39 | f[4] << 12 | (s[j] & 1) << 63};
      std::memcpy(out + 32 * j, w, 32);
    }
  }

  // Flags 0/1 of lanes 0..m-1.
  static void store_flags(Mask c, std::uint8_t* out, std::size_t m) {
    alignas(32) std::uint64_t t[kLanes];
    _mm256_store_si256(reinterpret_cast<__m256i*>(t), c.v);
    VORLINDE_LANE_LOOP
    for (std::size_t j = 0; j < m; ++j) out[j] = static_cast<std::uint8_t>(t[j] & 1);
  }

 private:
  // Limbs as they are, not carried.
  static F25x4 load(const std::uint64_t (&t)[kLimbs][kLanes]) {
    F25x4 r;
    for (int i = 0; i < kLimbs; ++i) r.l[i] = _mm256_load_si256(reinterpret_cast<const __m256i*>(t[i]));
    return r;
  }
  static void store(const F25x4& a, std::uint64_t (&t)[kLimbs][kLanes]) {
    for (int i = 0; i < kLimbs; ++i) _mm256_store_si256(reinterpret_cast<__m256i*>(t[i]), a.l[i]);
  }

  // Bits [offset, offset + width) of a 256-bit little-endian integer, width <= 26.
  static std::uint64_t bit_field(const std::uint64_t (&w)[4], int offset, int width) {
    const int word = offset / 64, shift = offset % 64;
    std::uint64_t v = w[word] >> shift;
    if (shift + width > 64) v |= w[word + 1] << (64 - shift);
    return v & ((std::uint64_t{1} << width) - 1);
  }
};

}  // namespace vorlinde::curve::backend::avx2
