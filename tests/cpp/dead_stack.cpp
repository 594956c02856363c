#include "tests/cpp/dead_stack.hpp"

#include <atomic>
#include <chrono>
#include <thread>

#include "runtime/pool.hpp"

#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#endif

#if defined(__SANITIZE_ADDRESS__)
#define VORLINDE_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VORLINDE_TEST_ASAN 1
#endif
#endif
#ifdef VORLINDE_TEST_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace vorlinde::test_support {

namespace {

// Left below the frame address for the function's own spills and red zone.
constexpr std::size_t kOwnFrame = 64;

}  // namespace

bool dead_stack_readable() {
#ifdef VORLINDE_TEST_ASAN
  // With detect_stack_use_after_return, AddressSanitizer keeps locals in fake
  // frames on its own heap, so the stack below the pointer never sees them.
  if (__asan_get_current_fake_stack() != nullptr) return false;
#endif
#ifdef RUNNING_ON_VALGRIND
  return RUNNING_ON_VALGRIND == 0;
#else
  return true;
#endif
}

#if defined(__clang__)
#define VORLINDE_RAW_STACK_ACCESS __attribute__((noinline, no_sanitize("address", "hwaddress", "memory")))
#else
#define VORLINDE_RAW_STACK_ACCESS __attribute__((noinline, no_sanitize("address")))
#endif

VORLINDE_RAW_STACK_ACCESS void paint_dead_stack() {
  volatile std::uint8_t* const top =
      static_cast<volatile std::uint8_t*>(__builtin_frame_address(0)) - kOwnFrame;
  for (std::size_t i = 1; i <= kDeadStackBytes; ++i) top[-static_cast<std::ptrdiff_t>(i)] = kStackPaint;
}

VORLINDE_RAW_STACK_ACCESS void copy_dead_stack(std::uint8_t* out) {
  const volatile std::uint8_t* const bottom =
      static_cast<volatile std::uint8_t*>(__builtin_frame_address(0)) - kOwnFrame - kDeadStackBytes;
  for (std::size_t i = 0; i < kDeadStackBytes; ++i) out[i] = bottom[i];
}

std::size_t touched_depth(std::span<const std::uint8_t> region) {
  for (std::size_t i = 0; i < region.size(); ++i) {
    if (region[i] != kStackPaint) return region.size() - i;
  }
  return 0;
}

bool on_each_worker(const std::function<void(std::size_t)>& fn) {
  const std::size_t workers = runtime::pool_size();
  // Many more items than workers, so that however the pool hands out ranges
  // every worker gets one; a thread runs fn on its first item only, then holds
  // on until all workers have run it, so no thread can take every item.
  static std::atomic<std::uint64_t> calls{0};
  const std::uint64_t call = ++calls;
  thread_local std::uint64_t done_in_call = 0;
  std::atomic<std::size_t> arrived{0};
  std::atomic<bool> complete{true};
  runtime::parallel_for(64 * workers, [&](std::size_t, std::size_t) {
    if (done_in_call == call) return;
    done_in_call = call;
    const std::size_t index = arrived.fetch_add(1);
    if (index >= workers) {
      complete = false;  // more threads than the pool reports
      return;
    }
    fn(index);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (arrived.load() < workers) {
      if (std::chrono::steady_clock::now() > deadline) {
        complete = false;
        break;
      }
      std::this_thread::yield();
    }
  });
  return complete && arrived.load() == workers;
}

}  // namespace vorlinde::test_support
