#include "src/keys.hpp"

#include <algorithm>
#include <array>
#include <cstdint>

#include "runtime/failure.hpp"

namespace vorlinde {

namespace {

std::array<std::uint8_t, 32> read_32(const BytesArg& argument, const char* sentence) {
  const std::span<const std::uint8_t> bytes = argument.get(sentence);
  if (bytes.size() != 32) throw runtime::Failure(slice_length_message(bytes.size()));
  std::array<std::uint8_t, 32> out;
  std::copy(bytes.begin(), bytes.end(), out.begin());
  return out;
}

}  // namespace

std::string slice_length_message(std::size_t length) {
  return "source slice length (" + std::to_string(length) + ") does not match destination slice length (32)";
}

curve::EdwardsPoint read_public_key(const BytesArg& argument, const char* sentence) {
  const auto point = curve::CompressedEdwardsY{read_32(argument, sentence)}.decompress();
  if (!point) throw runtime::Failure("The public key was not a valid curve point.");
  return *point;
}

curve::Scalar read_secret_key(const BytesArg& argument, const char* sentence) {
  return curve::Scalar::from_bits(read_32(argument, sentence));
}

}  // namespace vorlinde
