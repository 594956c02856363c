#pragma once
// Per-thread cryptographically secure generator: ChaCha with 12 rounds, keyed
// from the operating system on first use in a thread, rekeyed after every
// 65,536 bytes of output and in both parent and child after fork().
//
// Failure: the first keying of a thread's generator throws
//   Failure("could not initialize thread_rng: " + <OS error text>).

#include <cstddef>
#include <cstdint>
#include <span>

namespace vorlinde::runtime {

// Fills `out` from the calling thread's generator.
void fill_random(std::span<std::uint8_t> out);

// The next 32-bit / 64-bit output of the calling thread's generator.
std::uint32_t next_u32();
std::uint64_t next_u64();

}  // namespace vorlinde::runtime
