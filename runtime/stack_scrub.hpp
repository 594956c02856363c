#pragma once
// Clearing the dead stack below the caller. Wiping named objects (runtime/wipe.hpp)
// does not reach what the compiler copied on its own: spilled registers, by-value
// temporaries and the frames of returned callees (scalar limbs, digit arrays,
// points multiplied by a secret). Those lie below the stack pointer once the
// secret-handling code has returned, so one pass over that region clears them.
//
// Called at the end of every secret-handling operation on the calling thread
// (success and failure alike) and by each pool worker after it has run a job's
// chunks.

#include <cstddef>

namespace vorlinde::runtime {

// Depth cleared below the caller's frame. Measured by painting the dead stack
// with a pattern, running each operation and finding the deepest byte it
// changed (g++ 12 -O2). The portable backend's paths reach at most 6.2 KiB
// below the frame that scrubs (initiate_queries' chunk on a worker 6.2 KiB,
// randomize 6.0, finish on the calling thread 5.4, decrypt on a worker 4.4,
// key_gen 2.6); built with clang 14 and AddressSanitizer (larger frames) 12.3
// KiB. The IFMA backend keeps eight points per register set and their
// tables on the stack: its batch entries reach 24 KiB below their caller
// (variable base, with 1P..8P for eight lanes; fixed base 10 KiB, its
// public 35 KiB table is kept off the stack for this reason). 64 KiB is 2.6
// times that, room for larger frames under the sanitizers and for later
// code; clearing it costs about two microseconds per call and per worker job.
// (build_okvs goes 34 KiB deep on the calling thread, 40 KiB under ASan, but
// that far only to encode the store, whose contents are public.)
inline constexpr std::size_t kScrubbedStackBytes = 64 * 1024;

// Zeroes kScrubbedStackBytes of stack just below the caller's frame, then the
// vector registers (caller-saved, so free to clobber), which would otherwise
// carry a secret's last copy into whatever saves them next. Never inlined, so
// that the region starts below the caller whatever it keeps.
void scrub_stack() noexcept;

// Scrubs when the scope ends, whether by return or by exception.
class ScrubStackOnExit {
 public:
  ScrubStackOnExit() = default;
  ScrubStackOnExit(const ScrubStackOnExit&) = delete;
  ScrubStackOnExit& operator=(const ScrubStackOnExit&) = delete;
  ~ScrubStackOnExit() { scrub_stack(); }
};

}  // namespace vorlinde::runtime
