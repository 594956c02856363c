#pragma once
// Scalars: 256-bit integers held as 32 little-endian bytes.
//
// Two kinds occur: reduced scalars (below the group order l = 2^252 +
// 27742317777372353535851937790883648493), made by from_bytes_mod_order_wide
// and random(), and unreduced ones made by from_bits (any integer below
// 2^255). Points are multiplied by the integer itself, so both kinds work with
// every multiplication routine.
//
// Scalars here are secret keys and random exponents, so every Scalar wipes its
// bytes when it dies; the few public ones pay two stores for it.

#include <array>
#include <cstdint>
#include <span>

#include "runtime/wipe.hpp"

namespace vorlinde::curve {

class Scalar {
 public:
  constexpr Scalar() : bytes_{} {}
  Scalar(const Scalar&) = default;
  Scalar& operator=(const Scalar&) = default;
  ~Scalar() { runtime::wipe(bytes_); }

  // The 512-bit little-endian integer reduced mod l.
  static Scalar from_bytes_mod_order_wide(std::span<const std::uint8_t, 64> bytes);
  // The 256-bit little-endian integer reduced mod l.
  static Scalar from_bytes_mod_order(std::span<const std::uint8_t, 32> bytes);
  // The 32 bytes with bit 255 cleared; no reduction.
  static Scalar from_bits(std::span<const std::uint8_t, 32> bytes);
  // 64 bytes from the calling thread's generator, reduced mod l.
  // Throws runtime::Failure("could not initialize thread_rng: ...") when the
  // generator cannot be keyed.
  static Scalar random();

  const std::array<std::uint8_t, 32>& to_bytes() const { return bytes_; }

  // Signed radix-16 digits a_0 .. a_63 with k = sum a_i 16^i, a_0..a_62 in
  // [-8, 7] and a_63 in [-8, 8]. Requires k < 2^255 (bit 255 clear), which
  // every Scalar satisfies. The digits are as secret as the scalar: callers
  // keep them in a runtime::Wiped.
  std::array<std::int8_t, 64> as_radix_16() const;
  // Signed radix-2^W digits a_0 .. a_(D-1), D = ceil(256 / W), with k =
  // sum a_i 2^(W i): all in [-2^(W-1), 2^(W-1) - 1] but the last, in
  // [0, 2^(W-1)] (radix 32: a_51 in [0, 1]; radix 64: a_42 in [0, 8]). W is
  // 5 or 6. As secret as as_radix_16's.
  template <int W>
  std::array<std::int8_t, (256 + W - 1) / W> as_radix_2w() const;

 private:
  std::array<std::uint8_t, 32> bytes_;
};

}  // namespace vorlinde::curve
