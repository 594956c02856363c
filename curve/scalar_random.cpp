#include "curve/scalar.hpp"
#include "runtime/rng.hpp"
#include "runtime/wipe.hpp"

namespace vorlinde::curve {

Scalar Scalar::random() {
  runtime::Wiped<std::array<std::uint8_t, 64>> wide;
  runtime::fill_random(wide.get());
  return from_bytes_mod_order_wide(wide.get());
}

}  // namespace vorlinde::curve
