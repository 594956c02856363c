#pragma once
// The lane field seen from outside the AVX2 library, for tests: one operation
// on four elements at once, in the lane representation itself (ten limbs,
// radix 2^25.5), so that tests can put limbs at their bounds. Inputs must be
// within the bounds of curve/backend/avx2/field.hpp: even limbs < 2^26 + 2^19,
// odd limbs < 2^25 + 2^19. Call only when cpu_has_avx2() is true.

#include <cstdint>

namespace vorlinde::curve::backend::avx2 {

enum class FieldProbeOp : int {
  kAdd,         // a + b
  kSub,         // a - b
  kNeg,         // -a
  kMul,         // a b
  kSquare,      // a^2
  kMul2,        // 2 a b
  kSquare2,     // 2 a^2
  kWideSum,     // 2 a b + b^2, both before their carry
  kWideDiff,    // a b - 2 a^2, both before their carry
  kWideFromNarrow,  // b - 2 a b, the product before its carry
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

constexpr int kProbeLanes = 4;
constexpr int kProbeLimbs = 10;

struct FieldProbeResult {
  std::uint64_t limbs[kProbeLanes * kProbeLimbs];  // lane j at 10 j: the result as computed
  std::uint8_t bytes[kProbeLanes * 32];            // lane j at 32 j: its canonical encoding, computed in lanes
  std::uint8_t flag[kProbeLanes];                  // 0/1 for the operations that give a mask
};

void field_probe(FieldProbeOp op, const std::uint64_t (*a)[kProbeLimbs], const std::uint64_t (*b)[kProbeLimbs],
                 unsigned k, FieldProbeResult* out);

}  // namespace vorlinde::curve::backend::avx2
