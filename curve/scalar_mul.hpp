#pragma once
// Scalar-multiplication backends. The point and encoding code calls
// `scalar_mul_backend()` and never names a backend; the choice is made once,
// on first use, from what the processor offers. Each backend implements both
// routines for every scalar below 2^255, reduced or not, in constant time.

#include <span>
#include <string_view>

#include "curve/edwards.hpp"

namespace vorlinde::curve {

struct ScalarMulBackend {
  const char* name;
  EdwardsPoint (*variable_base)(const EdwardsPoint& P, const Scalar& k);
  EdwardsPoint (*fixed_base)(const EdwardsBasepointTable& table, const Scalar& k);
};

// The portable 5 x 51-bit backend, available everywhere.
extern const ScalarMulBackend SERIAL_SCALAR_MUL;

const ScalarMulBackend& scalar_mul_backend();

// Every backend this build contains and this processor can run, the portable
// one first.
std::span<const ScalarMulBackend* const> scalar_mul_backends();

// For checks that must exercise one particular backend: makes the backend
// called `name` the one scalar_mul_backend() returns. Returns false, changing
// nothing, when no entry of scalar_mul_backends() has that name or when the
// choice has already been made (scalar_mul_backend() was called, or a backend
// was forced before).
bool force_scalar_mul_backend(std::string_view name);

}  // namespace vorlinde::curve
