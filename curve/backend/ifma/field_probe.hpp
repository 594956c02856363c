#pragma once
// The lane field seen from outside the IFMA library, for tests: one operation
// on eight elements at once. Elements are five radix-2^51 limbs, each < 2^52.
// Call only when cpu_has_ifma() is true.

#include <cstdint>

namespace vorlinde::curve::backend::ifma {

enum class FieldProbeOp : int {
  kAdd,         // a + b
  kSub,         // a - b
  kNeg,         // -a
  kMul,         // a b
  kSquare,      // a^2
  kMul2,        // 2 a b
  kSquare2,     // 2 a^2
  kWideSum,     // 2 a b + b^2, both before their carry pass
  kWideDiff,    // a b - 2 a^2, both before their carry pass
  kPow2k,       // a^(2^k)
  kInvert,      // a^(p-2)
  kPowP58,      // a^((p-5)/8)
  kSqrtRatioI,  // sqrt_ratio_i(a, b); flag = was_square
  kCtEq,        // flag = a == b
  kIsZero,      // flag = a == 0
  kIsNegative,  // flag = a odd
  kSelect,      // lane j: bit j of k ? b : a
  kIdentity,    // a, through canonical()
};

struct FieldProbeResult {
  std::uint64_t limbs[8 * 5];  // lane j at 5 j: the result as computed, not reduced further
  std::uint8_t bytes[8 * 32];  // lane j at 32 j: its canonical encoding, computed in lanes
  std::uint8_t flag[8];        // 0/1 for the operations that give a mask
};

void field_probe(FieldProbeOp op, const std::uint64_t (*a)[5], const std::uint64_t (*b)[5], unsigned k,
                 FieldProbeResult* out);

}  // namespace vorlinde::curve::backend::ifma
