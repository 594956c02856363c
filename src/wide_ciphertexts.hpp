#pragma once
// The operator's four-point record: alpha, beta, gamma, delta as RFC 8032
// compressed points, 128 bytes in that order. For records built from genuine
// encryptions under a G, b G and the operator's key x G,
//   delta = a alpha + b beta + x gamma,
// and randomize and sum keep that relation.

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "curve/edwards.hpp"

namespace vorlinde {

// "range end index {end} out of range for slice of length {length}"
std::string range_end_message(std::size_t end, std::size_t length);

class WideCiphertext {
 public:
  static constexpr std::size_t kSize = 128;

  curve::CompressedEdwardsY alpha{}, beta{}, gamma{}, delta{};

  // Copies the four fields of the first 128 bytes; checks nothing about them.
  // Failure: a chunk of L < 128 bytes throws the range message naming the
  // first field end (32, 64, 96, 128) beyond L.
  static WideCiphertext from_bytes(std::span<const std::uint8_t> chunk);
  std::array<std::uint8_t, kSize> to_bytes() const;

  // All four points times one fresh random scalar t.
  // Failure: a field that is not a point encoding throws
  // "called `Option::unwrap()` on a `None` value" (fields checked in order).
  WideCiphertext randomize() const;

  // Field-by-field point sums, canonically re-encoded.
  // Failure: as randomize, self's field examined before other's.
  WideCiphertext sum(const WideCiphertext& other) const;

  // The record of four points (alpha, beta, gamma, delta), compressed with one
  // shared inversion.
  static WideCiphertext from_points(const std::array<curve::EdwardsPoint, 4>& points);

  bool operator==(const WideCiphertext&) const = default;
};

}  // namespace vorlinde
