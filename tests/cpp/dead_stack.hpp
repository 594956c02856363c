#pragma once
// Reading the dead stack: the bytes just below the caller's stack pointer,
// where the frames of functions that have returned still lie. A test paints
// them with a pattern, runs an operation from the same caller, and copies them
// out: whatever the operation left behind (and did not scrub) is in the copy.
//
// paint_dead_stack and copy_dead_stack must be called from one function with no
// call in between other than the operation, so that both see the same stack
// pointer. They read and write below it, so they are never inlined and carry no
// address-sanitizer checks.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace vorlinde::test_support {

// False under valgrind, which refuses accesses this far below the stack pointer
// of the main thread, and under AddressSanitizer when it moves locals into
// fake frames (detect_stack_use_after_return); the tests that read dead stacks
// skip themselves there.
bool dead_stack_readable();

// Depth of the region painted and copied, well beyond the scrubbed depth, so a
// scrub too shallow leaves residue inside it.
inline constexpr std::size_t kDeadStackBytes = 128 * 1024;
inline constexpr std::uint8_t kStackPaint = 0xa5;

// Writes kStackPaint over the kDeadStackBytes below the caller's frame.
void paint_dead_stack();

// Copies the kDeadStackBytes below the caller's frame into `out`, which the
// caller allocated beforehand (allocating here would itself write the stack).
// out[0] is the lowest address.
void copy_dead_stack(std::uint8_t* out);

// How far below the top of the region the deepest byte that is not paint lies
// (0 when nothing was touched).
std::size_t touched_depth(std::span<const std::uint8_t> region);

// Runs fn(worker) once on each of the pool's worker threads, on the same stack
// depth as a parallel_for body, each thread exactly once: every call waits until
// all workers have entered one. Returns false when the workers could not all be
// gathered (fewer threads than the pool reports, or a timeout).
bool on_each_worker(const std::function<void(std::size_t worker)>& fn);

}  // namespace vorlinde::test_support
