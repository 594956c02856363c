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

  // out[i] = records[i].randomize() and out[i] = selves[i].sum(others[i]),
  // in batches (`out` may be the input span). Failure: as the single forms
  // for the record that fails; when several records fail, one of them is
  // reported.
  static void randomize_many(std::span<const WideCiphertext> records, std::span<WideCiphertext> out);
  static void sum_many(std::span<const WideCiphertext> selves, std::span<const WideCiphertext> others,
                       std::span<WideCiphertext> out);

  // Records of consecutive point quadruples (alpha, beta, gamma, delta),
  // compressed with one shared inversion: points.size() = 4 out.size().
  static void from_points(std::span<const curve::EdwardsPoint> points, std::span<WideCiphertext> out);

  bool operator==(const WideCiphertext&) const = default;
};

}  // namespace vorlinde
