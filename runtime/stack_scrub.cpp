#include "runtime/stack_scrub.hpp"

#include "runtime/wipe.hpp"

namespace vorlinde::runtime {

__attribute__((noinline)) void scrub_stack() noexcept {
  // The array is this frame; the frame sits directly below the caller's.
  unsigned char area[kScrubbedStackBytes];
  wipe(area, sizeof area);
}

}  // namespace vorlinde::runtime
