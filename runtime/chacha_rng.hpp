#pragma once
// The generator behind fill_random / next_u32 / next_u64, as a type so that its
// key source can be swapped and its keyings counted. One instance lives in each
// thread; nothing here is shared between threads except the fork generation.

#include <cstddef>
#include <cstdint>
#include <span>

#include "runtime/chacha.hpp"

namespace vorlinde::runtime {

// Fills `out` entirely with key material. Returns 0, or an errno value when the
// source failed (then `out` is unspecified).
using KeySource = int (*)(std::span<std::uint8_t> out);

// The operating system's random source: getrandom(2), or /dev/urandom where the
// kernel has no such system call (ENOSYS).
int os_random(std::span<std::uint8_t> out);

// Counts forks seen by this process: pthread_atfork handlers increment it in
// the parent and in the child, so a generator that keyed at another value must
// rekey before its next output (otherwise parent and child would repeat it).
std::uint64_t fork_generation() noexcept;

// ChaCha12 keystream under a 32-byte key from `source`, zero nonce, block
// counter from 0. A fresh key is drawn on first use, after every
// `reseed_bytes` bytes of keystream, and on the first use after a fork.
//
// Failure: the first keying throws Failure("could not initialize thread_rng: "
// + OS error text); a later one throws Failure("could not reseed thread_rng: "
// + OS error text). Either way no output is produced from a stale key, and the
// next call tries the source again.
class ChaChaRng {
 public:
  static constexpr unsigned rounds = 12;
  static constexpr std::size_t reseed_bytes = 65536;

  explicit ChaChaRng(KeySource source = os_random) noexcept;
  ~ChaChaRng();
  ChaChaRng(const ChaChaRng&) = delete;
  ChaChaRng& operator=(const ChaChaRng&) = delete;

  void fill(std::span<std::uint8_t> out);
  // The next keystream word (little-endian); next_u64 is two words, low first.
  std::uint32_t next_u32();
  std::uint64_t next_u64();

  // How many keys this generator has drawn so far.
  std::uint64_t keyings() const noexcept { return keyings_; }

 private:
  static constexpr std::size_t buffer_bytes = 4 * chacha_block_bytes;
  static_assert(reseed_bytes % buffer_bytes == 0);

  // Rekeys if never keyed or a fork happened since the last keying.
  void check_key();
  // Refills the (empty) buffer, rekeying first when the key is used up.
  void refill();
  void rekey();

  KeySource source_;
  ChaChaState state_{};
  std::size_t produced_ = 0;  // keystream bytes generated under the current key
  std::size_t pos_ = buffer_bytes;  // next unread byte of buffer_
  std::uint64_t generation_ = 0;
  std::uint64_t keyings_ = 0;
  alignas(64) std::uint8_t buffer_[buffer_bytes]{};
};

}  // namespace vorlinde::runtime
