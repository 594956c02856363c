#pragma once
// Memory exhaustion that says what could not be allocated. It is a
// std::bad_alloc, so every handler of allocation failure still sees it; the
// module surface raises it as MemoryError carrying what(). The message is
// formatted into the object itself: building it must not allocate.

#include <cstddef>
#include <new>

namespace vorlinde::runtime {

class OutOfMemory : public std::bad_alloc {
 public:
  // "could not allocate {bytes} bytes for {purpose}"
  OutOfMemory(std::size_t bytes, const char* purpose) noexcept;
  // "could not allocate a {kind} of {count} {unit} for {purpose}"
  OutOfMemory(const char* kind, std::size_t count, const char* unit, const char* purpose) noexcept;

  const char* what() const noexcept override { return message_; }

 private:
  char message_[160];
};

// Runs make(); memory exhaustion inside it becomes OutOfMemory(bytes, purpose).
template <class Make>
auto allocating(std::size_t bytes, const char* purpose, Make make) -> decltype(make()) {
  try {
    return make();
  } catch (const std::bad_alloc&) {
    throw OutOfMemory(bytes, purpose);
  }
}

}  // namespace vorlinde::runtime
