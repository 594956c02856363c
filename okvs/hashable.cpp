#include "okvs/hashable.hpp"

#include <xxhash.h>

#include "runtime/failure.hpp"

namespace vorlinde::okvs {

KeyBuffer& thread_key_buffer() noexcept {
  thread_local KeyBuffer buffer;
  return buffer;
}

void KeyBytes::release() noexcept {
  runtime::wipe(buffer_.data(), buffer_.size());
  buffer_.clear();
  // Freeing goes through the wiping allocator.
  if (buffer_.capacity() > kKeyBufferKeepBytes) KeyBuffer().swap(buffer_);
}

std::uint64_t xxh3_64(std::span<const std::uint8_t> bytes, std::uint64_t seed) noexcept {
  return XXH3_64bits_withSeed(bytes.data(), bytes.size(), seed);
}

std::uint64_t reduce_to_index(std::uint64_t hash, std::uint64_t range) {
  if (range == 0) [[unlikely]] {
    throw runtime::Failure("attempt to calculate the remainder with a divisor of zero");
  }
  return hash % range;
}

}  // namespace vorlinde::okvs
