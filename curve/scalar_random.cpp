#include "curve/scalar.hpp"
#include "runtime/rng.hpp"

namespace vorlinde::curve {

Scalar Scalar::random() {
  std::array<std::uint8_t, 64> wide;
  runtime::fill_random(wide);
  return from_bytes_mod_order_wide(wide);
}

}  // namespace vorlinde::curve
