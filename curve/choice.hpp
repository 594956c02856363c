#pragma once
// Constant-time booleans and masks.
//
// A `Choice` holds 0 or 1 and is combined with &, |, ^, ! only; turning it into
// a C++ bool is spelled `declassify()` so that every branch on a value that
// may be secret is visible in review. Masks derived from a Choice pass through
// `value_barrier`, an empty asm statement the optimiser cannot see through, so
// it cannot recover the bit and replace masked arithmetic with a branch.

#include <cstdint>

#include "runtime/classify.hpp"

namespace vorlinde::curve {

template <class T>
inline T value_barrier(T x) {
  return runtime::register_barrier(x);
}

struct Choice {
  std::uint8_t value;  // 0 or 1

  // `bit` must be 0 or 1.
  static Choice from_bit(std::uint8_t bit) { return Choice{value_barrier(bit)}; }

  // All-ones when set, zero otherwise.
  std::uint64_t mask64() const {
    return static_cast<std::uint64_t>(0) - static_cast<std::uint64_t>(value_barrier(value));
  }
  std::uint8_t mask8() const { return static_cast<std::uint8_t>(-static_cast<int>(value_barrier(value))); }

  // For the few decisions on public data (a decoded point being valid, a test).
  bool declassify() const { return value != 0; }

  friend Choice operator&(Choice a, Choice b) { return Choice{static_cast<std::uint8_t>(a.value & b.value)}; }
  friend Choice operator|(Choice a, Choice b) { return Choice{static_cast<std::uint8_t>(a.value | b.value)}; }
  friend Choice operator^(Choice a, Choice b) { return Choice{static_cast<std::uint8_t>(a.value ^ b.value)}; }
  friend Choice operator!(Choice a) { return Choice{static_cast<std::uint8_t>(a.value ^ 1)}; }
};

// 1 when x != 0: the top bit of x | -x is set exactly for non-zero x. Both
// uses of x go through the barrier, so the optimiser knows nothing of either.
inline Choice ct_is_nonzero_u64(std::uint64_t x) {
  const std::uint64_t v = value_barrier(x);
  return Choice::from_bit(static_cast<std::uint8_t>((v | (0 - v)) >> 63));
}

inline Choice ct_eq_u64(std::uint64_t a, std::uint64_t b) { return !ct_is_nonzero_u64(a ^ b); }

}  // namespace vorlinde::curve
