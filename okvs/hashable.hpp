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

namespace vorlinde::okvs {

using KeyBuffer = std::vector<std::uint8_t>;

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

// The key's byte string, written into a buffer owned by the calling thread and
// reused across calls, so hashing a key allocates only when a key is longer
// than every key this thread has hashed before. The span is valid until the
// next call on the same thread.
template <Hashable K>
std::span<const std::uint8_t> key_bytes(const K& key) {
  thread_local KeyBuffer buffer;
  buffer.clear();
  key.write_key_bytes(buffer);
  return buffer;
}

// The key's hash word; bit i (i < 32) is (word >> i) & 1.
template <Hashable K>
std::uint64_t hash_to_bytes(const K& key, std::uint64_t seed) {
  return xxh3_64(key_bytes(key), seed);
}

// The key's hash reduced below `range`. Failure: range 0, as reduce_to_index.
template <Hashable K>
std::uint64_t hash_to_index(const K& key, std::uint64_t seed, std::uint64_t range) {
  return reduce_to_index(xxh3_64(key_bytes(key), seed), range);
}

}  // namespace vorlinde::okvs
