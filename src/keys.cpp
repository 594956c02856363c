#include "src/keys.hpp"

#include <algorithm>
#include <array>
#include <cstdint>

#include "runtime/failure.hpp"
#include "runtime/wipe.hpp"

namespace vorlinde {

namespace {

using Key32 = std::array<std::uint8_t, 32>;

// Copies the argument's 32 bytes into `out`, which the caller owns (and wipes
// when it holds a secret key).
void read_32(const BytesArg& argument, const char* sentence, Key32& out) {
  const std::span<const std::uint8_t> bytes = argument.get(sentence);
  if (bytes.size() != 32) throw runtime::Failure(slice_length_message(bytes.size()));
  std::copy(bytes.begin(), bytes.end(), out.begin());
}

}  // namespace

std::string slice_length_message(std::size_t length) {
  return "source slice length (" + std::to_string(length) + ") does not match destination slice length (32)";
}

curve::EdwardsPoint read_public_key(const BytesArg& argument, const char* sentence) {
  curve::CompressedEdwardsY encoding;
  read_32(argument, sentence, encoding.bytes);
  const auto point = encoding.decompress();
  if (!point) throw runtime::Failure("The public key was not a valid curve point.");
  return *point;
}

curve::Scalar read_secret_key(const BytesArg& argument, const char* sentence) {
  runtime::Wiped<Key32> bytes;
  read_32(argument, sentence, bytes.get());
  return curve::Scalar::from_bits(bytes.get());
}

}  // namespace vorlinde
