#pragma once
// The IFMA layout of lanes (curve/backend/vector/lanes.hpp): limb i of eight
// elements in one register, radix 2^51 like the caller's arrays.

#include "curve/backend/vector/isa_only.hpp"

#include <cstddef>
#include <cstdint>

#include "curve/backend/ifma/field.hpp"
#include "curve/backend/vector/lanes.hpp"

namespace vorlinde::curve::backend::ifma {
inline namespace VORLINDE_IFMA_FOLD {

struct LaneLayout {
  using Field = F51x8;
  static constexpr std::size_t kLanes = 8;
  struct Limbs {
    alignas(64) std::uint64_t l[5][kLanes];
  };

  static void put(Limbs& t, std::size_t j, const std::uint64_t* limbs) {
    for (int i = 0; i < 5; ++i) t.l[i][j] = limbs[i];
  }
  static void get(const Limbs& t, std::size_t j, std::uint64_t* limbs) {
    for (int i = 0; i < 5; ++i) limbs[i] = t.l[i][j];
  }
  // Limbs < 2^52 are within the field's bounds as they are.
  static F51x8 load(const Limbs& t) {
    F51x8 r;
    for (int i = 0; i < 5; ++i) r.l[i] = _mm512_load_si512(t.l[i]);
    return r;
  }
  static F51x8 load_uncarried(const Limbs& t) { return load(t); }
  static void store(const F51x8& a, Limbs& t) {
    for (int i = 0; i < 5; ++i) _mm512_store_si512(t.l[i], a.l[i]);
  }

  // Lane j set when bit `bit` of in[stride j] is, for j < m; other lanes clear.
  static Mask load_bits(const std::uint8_t* in, std::size_t stride, int bit, std::size_t m) {
    unsigned bits = 0;
    VORLINDE_LANE_LOOP
    for (std::size_t j = 0; j < m; ++j) bits |= static_cast<unsigned>((in[stride * j] >> bit) & 1) << j;
    return {static_cast<__mmask8>(bits)};
  }
  // Lane j set when bit j of k is.
  static Mask lane_bits(unsigned k) { return {static_cast<__mmask8>(k)}; }
  // Flags 0/1 of lanes 0..m-1.
  static void store_flags(Mask c, std::uint8_t* out, std::size_t m) {
    VORLINDE_LANE_LOOP
    for (std::size_t j = 0; j < m; ++j) out[j] = static_cast<std::uint8_t>((c.bits >> j) & 1);
  }
};
using Lanes = vector::Lanes<LaneLayout>;

}  // namespace VORLINDE_IFMA_FOLD
}  // namespace vorlinde::curve::backend::ifma
