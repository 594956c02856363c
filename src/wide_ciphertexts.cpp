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
  // Fields are decoded in record order, so an invalid one fails before any
  // later field is looked at.
  const curve::EdwardsPoint a = unwrap_point(alpha) * t;
  const curve::EdwardsPoint b = unwrap_point(beta) * t;
  const curve::EdwardsPoint g = unwrap_point(gamma) * t;
  const curve::EdwardsPoint d = unwrap_point(delta) * t;
  return from_points({a, b, g, d});
}

WideCiphertext WideCiphertext::sum(const WideCiphertext& other) const {
  // Within a field, self's point is decoded before other's.
  auto add = [](const curve::CompressedEdwardsY& a, const curve::CompressedEdwardsY& b) {
    const curve::EdwardsPoint pa = unwrap_point(a);
    return pa + unwrap_point(b);
  };
  const curve::EdwardsPoint a = add(alpha, other.alpha);
  const curve::EdwardsPoint b = add(beta, other.beta);
  const curve::EdwardsPoint g = add(gamma, other.gamma);
  const curve::EdwardsPoint d = add(delta, other.delta);
  return from_points({a, b, g, d});
}

WideCiphertext WideCiphertext::from_points(const std::array<curve::EdwardsPoint, 4>& points) {
  const std::array<curve::CompressedEdwardsY, 4> fields = curve::EdwardsPoint::compress_all(points);
  return {fields[0], fields[1], fields[2], fields[3]};
}

}  // namespace vorlinde
