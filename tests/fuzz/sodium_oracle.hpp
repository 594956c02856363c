#pragma once
// Expected points computed by libsodium, independently of the curve code under
// test.
//
// libsodium multiplies only points of the prime-order subgroup, so points with
// a torsion part are built from their two parts: P = s B + j T, with s mod l
// and j mod 8, T a point of order 8. Then n P = (n s mod l) B + (n j mod 8) T
// for any integer n, and sums add the parts; every such point and every
// multiple of it is known without multiplying a point that has torsion.

#include <sodium.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

#include "tests/fuzz/fuzz_support.hpp"

namespace vorlinde::fuzz::sodium {

using Point = std::array<std::uint8_t, 32>;
using Scalar = std::array<std::uint8_t, 32>;

inline constexpr Point kIdentity = {1};

// A point of order 8: the entry of libsodium's small-order blocklist with
// y = 0x7a03ac92... (ed25519_ref10.c). init() checks its order.
inline constexpr Point kOrder8 = {0xc7, 0x17, 0x6a, 0x70, 0x3d, 0x4d, 0xd8, 0x4f, 0xba, 0x3c, 0x0b,
                                  0x76, 0x0d, 0x10, 0x67, 0x0f, 0x2a, 0x20, 0x53, 0xfa, 0x2c, 0x39,
                                  0xcc, 0xc6, 0x4e, 0xc7, 0xfd, 0x77, 0x92, 0xac, 0x03, 0x7a};

// p + q; absent when either is not the encoding of a curve point.
inline std::optional<Point> add(const Point& p, const Point& q) {
  Point r;
  if (crypto_core_ed25519_add(r.data(), p.data(), q.data()) != 0) return std::nullopt;
  return r;
}

inline std::optional<Point> sub(const Point& p, const Point& q) {
  Point r;
  if (crypto_core_ed25519_sub(r.data(), p.data(), q.data()) != 0) return std::nullopt;
  return r;
}

// The canonical encoding of the point that `p` encodes (non-canonical y and
// the sign of x = 0 are accepted, as by the code under test); absent when `p`
// encodes no curve point.
inline std::optional<Point> canonical(const Point& p) { return add(p, kIdentity); }

inline Point to_point(std::span<const std::uint8_t> bytes) {
  Point p{};
  std::copy_n(bytes.begin(), std::min(bytes.size(), p.size()), p.begin());
  return p;
}

// The multiples j T of the order-8 point, j = 0..7.
inline const std::array<Point, 8>& torsion() {
  static const std::array<Point, 8> table = [] {
    if (sodium_init() < 0) finding("libsodium could not be initialised");
    std::array<Point, 8> t;
    t[0] = kIdentity;
    for (std::size_t j = 1; j < 8; ++j) {
      const auto next = add(t[j - 1], kOrder8);
      if (!next) finding("order-8 point rejected by libsodium");
      t[j] = *next;
    }
    const auto eight = add(t[7], kOrder8);
    if (!eight || *eight != kIdentity || t[4] == kIdentity) finding("kOrder8 is not of order 8");
    return t;
  }();
  return table;
}

// An integer given by 32 little-endian bytes, bit 255 cleared (how secret keys
// are read), reduced mod l.
inline Scalar reduce(std::span<const std::uint8_t, 32> bytes) {
  std::array<std::uint8_t, 64> wide{};
  std::memcpy(wide.data(), bytes.data(), 32);
  wide[31] &= 0x7f;
  Scalar out;
  crypto_core_ed25519_scalar_reduce(out.data(), wide.data());
  return out;
}

// s B + j T with s reduced mod l and j mod 8.
struct Split {
  Scalar s{};
  std::uint8_t j = 0;

  Point encode() const {
    Point sb = kIdentity;
    // libsodium refuses the scalar 0 (its product is the identity).
    if (crypto_scalarmult_ed25519_base_noclamp(sb.data(), s.data()) != 0) sb = kIdentity;
    const auto p = add(sb, torsion()[j & 7]);
    if (!p) finding("libsodium rejected its own point");
    return *p;
  }

  // n P for the integer n (bit 255 cleared), given n mod l and n mod 8.
  Split times(const Scalar& n_mod_l, std::uint8_t n_mod_8) const {
    Split out;
    crypto_core_ed25519_scalar_mul(out.s.data(), s.data(), n_mod_l.data());
    out.j = static_cast<std::uint8_t>((j * n_mod_8) & 7);
    return out;
  }

  Split plus(const Split& o) const {
    Split out;
    crypto_core_ed25519_scalar_add(out.s.data(), s.data(), o.s.data());
    out.j = static_cast<std::uint8_t>((j + o.j) & 7);
    return out;
  }
};

// n P for a point P of the prime-order subgroup given in canonical form, n an
// integer with bit 255 cleared; absent when libsodium declines (P outside the
// subgroup or non-canonical, or the product is the identity).
inline std::optional<Point> subgroup_mul(std::span<const std::uint8_t, 32> n, const Point& p) {
  Point r;
  if (crypto_scalarmult_ed25519_noclamp(r.data(), n.data(), p.data()) != 0) return std::nullopt;
  return r;
}

}  // namespace vorlinde::fuzz::sodium
