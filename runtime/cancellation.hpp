#pragma once
// Cancellation of a long operation from its calling thread. The core knows
// nothing of the host: the host installs a hook, and the core calls it on the
// thread that started the operation, at points where no pool lock is held and
// no per-thread scratch (a thread's key buffer) is in use, so whatever the
// hook runs may start operations of its own. The hook returns to let the
// operation go on, or throws to cancel it; the exception then propagates out
// of the operation unchanged, after every worker has stopped.
//
// Worker threads never call the hook.

#include <cstdint>

namespace vorlinde::runtime {

using CancellationHook = void (*)();

// Installs the hook (nullptr removes it). Meant to be called once, before any
// operation runs.
void set_cancellation_hook(CancellationHook hook) noexcept;

bool cancellation_hook_installed() noexcept;

// Calls the hook, if one is installed and this is not a pool worker.
// Throws whatever the hook throws.
void poll_cancellation();

// For sequential loops: tick() once per item; every `interval` items it
// polls. Pick the interval so that it spans a few milliseconds of work.
class CancellationTicker {
 public:
  explicit CancellationTicker(std::uint32_t interval) : interval_(interval), left_(interval) {}
  void tick() {
    if (--left_ == 0) [[unlikely]] {
      left_ = interval_;
      poll_cancellation();
    }
  }

 private:
  std::uint32_t interval_;
  std::uint32_t left_;
};

}  // namespace vorlinde::runtime
