// The one place where a backend is chosen: once, on the first call of
// active_backend(), unless a check forced one before.

#include "curve/backend.hpp"

#include <array>
#include <atomic>
#include <vector>

namespace vorlinde::curve {
namespace {

// Every backend this build contains, the portable one first and the fastest
// last, with whether a processor with given features runs it.
struct Candidate {
  const Backend* backend;
  bool (*runs_on)(const ProcessorFeatures&);
};

constexpr Candidate kCandidates[] = {
    {&SERIAL_BACKEND, [](const ProcessorFeatures&) { return true; }},
#if defined(__x86_64__)
    {&AVX2_BACKEND, [](const ProcessorFeatures& f) { return f.avx2; }},
    {&IFMA_BACKEND, [](const ProcessorFeatures& f) { return f.ifma; }},
    {&IFMA_VPMULLQ_BACKEND, [](const ProcessorFeatures& f) { return f.ifma_vpmullq; }},
#endif
};

const std::vector<const Backend*>& runnable() {
  static const std::vector<const Backend*> list = backends_for(features_of(this_processor_facts()));
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

std::vector<const Backend*> backends_for(const ProcessorFeatures& features) {
  std::vector<const Backend*> out;
  for (const Candidate& c : kCandidates) {
    if (c.runs_on(features)) out.push_back(c.backend);
  }
  return out;
}

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
