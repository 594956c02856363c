// The one place where a backend is chosen: once, on the first call of
// active_backend(), unless a check forced one before.

#include "curve/backend.hpp"

#if defined(__x86_64__)
#include "curve/backend/ifma/kernel.hpp"
#endif

#include <array>
#include <atomic>
#include <vector>

namespace vorlinde::curve {
namespace {

// Every backend this build contains, the portable one first and the fastest
// last, with whether this processor runs it.
struct Candidate {
  const Backend* backend;
  bool (*runs_here)();
};

constexpr Candidate kCandidates[] = {
    {&SERIAL_BACKEND, [] { return true; }},
#if defined(__x86_64__)
    {&IFMA_BACKEND, &backend::ifma::cpu_has_ifma},
#endif
};

const std::vector<const Backend*>& runnable() {
  static const std::vector<const Backend*> list = [] {
    std::vector<const Backend*> out;
    for (const Candidate& c : kCandidates) {
      if (c.runs_here()) out.push_back(c.backend);
    }
    return out;
  }();
  return list;
}

// Null until the first choice, forced or automatic; never changes after it.
std::atomic<const Backend*> g_choice{nullptr};

// Set only by ScopedBackendForTesting.
std::atomic<const Backend*> g_override{nullptr};

const Backend* choose() {
  const Backend* expected = nullptr;
  g_choice.compare_exchange_strong(expected, runnable().back());
  return g_choice.load();
}

}  // namespace

std::span<const Backend* const> available_backends() { return runnable(); }

const Backend& active_backend() {
  static const Backend* const chosen = choose();
  if (const Backend* forced = g_override.load(std::memory_order_relaxed)) [[unlikely]] return *forced;
  return *chosen;
}

ScopedBackendForTesting::ScopedBackendForTesting(const Backend& backend)
    : previous_(g_override.exchange(&backend)) {}

ScopedBackendForTesting::~ScopedBackendForTesting() { g_override.store(previous_); }

bool force_backend(std::string_view name) {
  for (const Backend* backend : runnable()) {
    if (name != backend->name) continue;
    const Backend* expected = nullptr;
    return g_choice.compare_exchange_strong(expected, backend);
  }
  return false;
}

}  // namespace vorlinde::curve
