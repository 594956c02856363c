#include "src/wide_ciphertexts.hpp"

#include <algorithm>
#include <cstring>

#include "curve/scalar.hpp"
#include "runtime/failure.hpp"

namespace vorlinde {

namespace {

constexpr std::size_t kField = 32;

curve::EdwardsPoint unwrap_point(const curve::CompressedEdwardsY& encoding) {
  const auto point = encoding.decompress();
  if (!point) throw runtime::Failure("called `Option::unwrap()` on a `None` value");
  return *point;
}

}  // namespace

std::string range_end_message(std::size_t end, std::size_t length) {
  return "range end index " + std::to_string(end) + " out of range for slice of length " + std::to_string(length);
}

WideCiphertext WideCiphertext::from_bytes(std::span<const std::uint8_t> chunk) {
  if (chunk.size() < kSize) {
    // The first field end beyond the chunk: ceil((L + 1) / 32) * 32.
    throw runtime::Failure(range_end_message((chunk.size() / kField + 1) * kField, chunk.size()));
  }
  WideCiphertext w;
  std::memcpy(w.alpha.bytes.data(), chunk.data(), kField);
  std::memcpy(w.beta.bytes.data(), chunk.data() + kField, kField);
  std::memcpy(w.gamma.bytes.data(), chunk.data() + 2 * kField, kField);
  std::memcpy(w.delta.bytes.data(), chunk.data() + 3 * kField, kField);
  return w;
}

std::array<std::uint8_t, WideCiphertext::kSize> WideCiphertext::to_bytes() const {
  std::array<std::uint8_t, kSize> out;
  auto at = out.begin();
  for (const curve::CompressedEdwardsY* field : {&alpha, &beta, &gamma, &delta}) {
    at = std::copy(field->bytes.begin(), field->bytes.end(), at);
  }
  return out;
}

WideCiphertext WideCiphertext::randomize() const {
  const curve::Scalar t = curve::Scalar::random();
  WideCiphertext out;
  out.alpha = (unwrap_point(alpha) * t).compress();
  out.beta = (unwrap_point(beta) * t).compress();
  out.gamma = (unwrap_point(gamma) * t).compress();
  out.delta = (unwrap_point(delta) * t).compress();
  return out;
}

WideCiphertext WideCiphertext::sum(const WideCiphertext& other) const {
  auto add = [](const curve::CompressedEdwardsY& a, const curve::CompressedEdwardsY& b) {
    const curve::EdwardsPoint pa = unwrap_point(a);
    return (pa + unwrap_point(b)).compress();
  };
  return {add(alpha, other.alpha), add(beta, other.beta), add(gamma, other.gamma), add(delta, other.delta)};
}

}  // namespace vorlinde
