#pragma once
// Wiping secrets from memory. A plain memset of an object that is about to die
// is a dead store the optimiser may delete; the empty asm below takes the
// buffer's address and clobbers memory, so the compiler must assume the zeros
// are read and keep them. Inline, so that wiping a 32-byte scalar costs two
// vector stores rather than a call.
//
// Only the object itself is wiped. Copies the compiler made (spills, by-value
// temporaries) live in dead stack frames; scrub_stack (runtime/stack_scrub.hpp)
// clears those.

#include <cstddef>
#include <concepts>
#include <cstring>
#include <new>
#include <type_traits>

namespace vorlinde::runtime {

// `data` may be null when `size` is 0 (an empty buffer's data()), which
// memset itself does not allow.
inline void wipe(void* data, std::size_t size) noexcept {
  if (size == 0) return;
  std::memset(data, 0, size);
  asm volatile("" : : "r"(data) : "memory");
}

// Overwrites an object's bytes with zeros; the object must have no resources
// of its own (it is left in its all-zero state).
template <class T>
  requires std::is_trivially_copyable_v<T>
inline void wipe(T& object) noexcept {
  wipe(&object, sizeof object);
}

// A value that is wiped when it goes out of scope, on every path (return or
// exception). For secret byte strings and digit arrays; use get() to fill and
// read it in place.
template <class T>
  requires std::is_trivially_copyable_v<T>
class Wiped {
 public:
  Wiped() noexcept : value_{} {}
  explicit Wiped(const T& value) noexcept : value_(value) {}
  // Holds what make() returns, built in place (no temporary copy is left
  // behind): Wiped<Digits> d([&] { return k.as_radix_16(); }).
  template <std::invocable F>
    requires std::same_as<std::invoke_result_t<F>, T>
  explicit Wiped(F make) : value_(make()) {}
  Wiped(const Wiped&) = delete;
  Wiped& operator=(const Wiped&) = delete;
  ~Wiped() { wipe(value_); }

  T& get() noexcept { return value_; }
  const T& get() const noexcept { return value_; }

 private:
  T value_;
};

// An allocator that wipes every block it frees, so a container holding secrets
// (or private row bytes) leaves no copy behind when it grows, shrinks or dies.
template <class T>
  requires std::is_trivially_copyable_v<T>
struct WipingAllocator {
  using value_type = T;

  WipingAllocator() noexcept = default;
  template <class U>
  WipingAllocator(const WipingAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) { return static_cast<T*>(::operator new(n * sizeof(T))); }
  void deallocate(T* p, std::size_t n) noexcept {
    wipe(p, n * sizeof(T));
    ::operator delete(p);
  }

  template <class U>
  bool operator==(const WipingAllocator<U>&) const noexcept {
    return true;
  }
};

}  // namespace vorlinde::runtime
