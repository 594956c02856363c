#pragma once
// Key capability and the seeded hashes that place a key in the store.
//
// A key is seen only through its key byte string: two keys with equal byte
// strings are one key under every seed. The hash is XXH3-64 with a 64-bit seed
// (libxxhash's XXH3_64bits_withSeed), and slot indices are the plain 64-bit
// remainder of that hash; any other reduction places keys elsewhere, so stores
// encoded that way would decode wrongly here.

#include <concepts>
#include <cstdint>
#include <span>
#include <vector>

#include "runtime/wipe.hpp"

namespace vorlinde::okvs {

// Key byte strings are the banks' private row data: storage they leave is
// wiped when freed.
using KeyBuffer = std::vector<std::uint8_t, runtime::WipingAllocator<std::uint8_t>>;

// A key appends its key byte string to `out` (which the caller has cleared).
template <class K>
concept Hashable = requires(const K& key, KeyBuffer& out) {
  { key.write_key_bytes(out) } -> std::same_as<void>;
};

// XXH3-64 of `bytes` with `seed`.
std::uint64_t xxh3_64(std::span<const std::uint8_t> bytes, std::uint64_t seed) noexcept;

// hash mod range. Failure: range 0 throws
// "attempt to calculate the remainder with a divisor of zero".
std::uint64_t reduce_to_index(std::uint64_t hash, std::uint64_t range);

// Capacity the calling thread's key buffer keeps between keys. A longer key
// grows it only while that key's bytes are in use.
inline constexpr std::size_t kKeyBufferKeepBytes = 64 * 1024;

// The calling thread's key buffer (wiped, with its storage, when the thread ends).
KeyBuffer& thread_key_buffer() noexcept;

// The key's byte string, written into the calling thread's buffer and valid
// while this object lives, so hashing a key allocates only when it is longer
// than the buffer. On destruction the bytes are wiped, and a buffer grown past
// kKeyBufferKeepBytes is freed: one huge row neither pins its size nor leaves
// its bytes for the thread's lifetime. One at a time per thread.
class KeyBytes {
 public:
  template <Hashable K>
  explicit KeyBytes(const K& key) : buffer_(thread_key_buffer()) {
    buffer_.clear();
    key.write_key_bytes(buffer_);
  }
  KeyBytes(const KeyBytes&) = delete;
  KeyBytes& operator=(const KeyBytes&) = delete;
  ~KeyBytes() { release(); }

  std::span<const std::uint8_t> span() const noexcept { return buffer_; }

 private:
  void release() noexcept;

  KeyBuffer& buffer_;
};

// The key's hash word; bit i (i < 32) is (word >> i) & 1.
template <Hashable K>
std::uint64_t hash_to_bytes(const K& key, std::uint64_t seed) {
  const KeyBytes bytes(key);
  return xxh3_64(bytes.span(), seed);
}

// The key's hash reduced below `range`. Failure: range 0, as reduce_to_index.
template <Hashable K>
std::uint64_t hash_to_index(const K& key, std::uint64_t seed, std::uint64_t range) {
  const KeyBytes bytes(key);
  return reduce_to_index(xxh3_64(bytes.span(), seed), range);
}

}  // namespace vorlinde::okvs
