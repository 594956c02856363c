// Built into the extension only when libstdc++ is linked into it statically.
// Debian's libstdc++.a was built against glibc 2.36, so its std::random_device
// refers to arc4random, which glibc gained in 2.36; the reference comes along
// with the string code that std::runtime_error needs, not from any use here.
// Defining the function in the module binds that reference here, so the module
// loads on glibc 2.34 (what its own threads and pthread calls require). It
// draws from the generators' source and, like glibc's, cannot fail: it aborts.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "runtime/chacha_rng.hpp"

extern "C" std::uint32_t arc4random() noexcept {
  std::array<std::uint8_t, 4> bytes;
  if (vorlinde::runtime::os_random(bytes) != 0) std::abort();
  std::uint32_t value;
  std::memcpy(&value, bytes.data(), sizeof value);
  return value;
}
