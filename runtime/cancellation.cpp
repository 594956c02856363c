#include "runtime/cancellation.hpp"

#include <atomic>

#include "runtime/pool.hpp"

namespace vorlinde::runtime {

namespace {

std::atomic<CancellationHook> g_hook{nullptr};

}  // namespace

void set_cancellation_hook(CancellationHook hook) noexcept { g_hook.store(hook, std::memory_order_release); }

bool cancellation_hook_installed() noexcept { return g_hook.load(std::memory_order_relaxed) != nullptr; }

void poll_cancellation() {
  const CancellationHook hook = g_hook.load(std::memory_order_acquire);
  if (hook != nullptr && !on_pool_worker()) hook();
}

}  // namespace vorlinde::runtime
