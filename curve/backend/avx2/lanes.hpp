#pragma once
// The AVX2 layout of lanes (curve/backend/vector/lanes.hpp): limb i of four
// elements in one register, radix 2^25.5.

#include "curve/backend/vector/isa_only.hpp"

#include <cstddef>
#include <cstdint>

#include "curve/backend/avx2/field.hpp"
#include "curve/backend/vector/lanes.hpp"

namespace vorlinde::curve::backend::avx2 {

struct LaneLayout {
  using Field = F25x4;
  static constexpr std::size_t kLanes = 4;
  struct Limbs {
    alignas(32) std::uint64_t l[F25x4::kLimbs][kLanes];
  };

  // A limb a < 2^52 splits as a mod 2^26 and a >> 26 (< 2^26), which load()
  // carries under the odd limb's bound.
  static void put(Limbs& t, std::size_t j, const std::uint64_t* limbs) {
    for (int i = 0; i < 5; ++i) {
      t.l[2 * i][j] = limbs[i] & F25x4::kLow26;
      t.l[2 * i + 1][j] = limbs[i] >> 26;
    }
  }
  // Five limbs l_2i + 2^26 l_(2i+1) < 2^26 + 2^19 + 2^26 (2^25 + 2^19) < 2^52.
  static void get(const Limbs& t, std::size_t j, std::uint64_t* limbs) {
    for (int i = 0; i < 5; ++i) limbs[i] = t.l[2 * i][j] + (t.l[2 * i + 1][j] << 26);
  }
  static F25x4 load(const Limbs& t) { return F25x4::weak_reduce(load_uncarried(t).l); }
  static F25x4 load_uncarried(const Limbs& t) {
    F25x4 r;
    for (int i = 0; i < F25x4::kLimbs; ++i) r.l[i] = _mm256_load_si256(reinterpret_cast<const __m256i*>(t.l[i]));
    return r;
  }
  static void store(const F25x4& a, Limbs& t) {
    for (int i = 0; i < F25x4::kLimbs; ++i) _mm256_store_si256(reinterpret_cast<__m256i*>(t.l[i]), a.l[i]);
  }

  // Lane j all ones when bit `bit` of in[stride j] is set, for j < m; other
  // lanes clear.
  static Mask load_bits(const std::uint8_t* in, std::size_t stride, int bit, std::size_t m) {
    alignas(32) std::uint64_t t[kLanes] = {0, 0, 0, 0};
    VORLINDE_LANE_LOOP
    for (std::size_t j = 0; j < m; ++j) t[j] = 0 - static_cast<std::uint64_t>((in[stride * j] >> bit) & 1);
    return {_mm256_load_si256(reinterpret_cast<const __m256i*>(t))};
  }
  // Lane j set when bit j of k is.
  static Mask lane_bits(unsigned k) {
    return {_mm256_set_epi64x(-static_cast<long long>((k >> 3) & 1), -static_cast<long long>((k >> 2) & 1),
                              -static_cast<long long>((k >> 1) & 1), -static_cast<long long>(k & 1))};
  }
  // Flags 0/1 of lanes 0..m-1.
  static void store_flags(Mask c, std::uint8_t* out, std::size_t m) {
    alignas(32) std::uint64_t t[kLanes];
    _mm256_store_si256(reinterpret_cast<__m256i*>(t), c.v);
    VORLINDE_LANE_LOOP
    for (std::size_t j = 0; j < m; ++j) out[j] = static_cast<std::uint8_t>(t[j] & 1);
  }
};
using Lanes = vector::Lanes<LaneLayout>;

}  // namespace vorlinde::curve::backend::avx2
