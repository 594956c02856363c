// The one place where a scalar-multiplication backend is chosen: once, on the
// first call of scalar_mul_backend(), unless a check forced one before.

#include <array>
#include <atomic>

#include "curve/scalar_mul.hpp"

namespace vorlinde::curve {
namespace {

constexpr std::array<const ScalarMulBackend*, 1> kBackends{&SERIAL_SCALAR_MUL};

// Null until the first choice, forced or automatic; never changes after it.
std::atomic<const ScalarMulBackend*> g_choice{nullptr};

const ScalarMulBackend* choose() {
  // The last entry is the fastest this processor runs.
  const ScalarMulBackend* expected = nullptr;
  g_choice.compare_exchange_strong(expected, kBackends.back());
  return g_choice.load();
}

}  // namespace

std::span<const ScalarMulBackend* const> scalar_mul_backends() { return kBackends; }

const ScalarMulBackend& scalar_mul_backend() {
  static const ScalarMulBackend* const chosen = choose();
  return *chosen;
}

bool force_scalar_mul_backend(std::string_view name) {
  for (const ScalarMulBackend* backend : kBackends) {
    if (name != backend->name) continue;
    const ScalarMulBackend* expected = nullptr;
    return g_choice.compare_exchange_strong(expected, backend);
  }
  return false;
}

}  // namespace vorlinde::curve
