#include "src/point_conversion.hpp"

#include "runtime/failure.hpp"
#include "runtime/rng.hpp"

namespace vorlinde {

std::optional<Representative> point_to_uniform_bytes(const curve::EdwardsPoint& point) {
  const curve::Choice branch = curve::Choice::from_bit(static_cast<std::uint8_t>(runtime::next_u32() >> 31));
  return curve::point_to_uniform_bytes(point, branch);
}

curve::EdwardsPoint uniform_bytes_to_point(std::span<const std::uint8_t, 32> bytes) {
  const curve::MappedPoint mapped = curve::uniform_bytes_to_point(bytes);
  if (!mapped.on_curve.declassify()) throw runtime::Failure(kInvalidElligatorPointMessage);
  return mapped.point;
}

}  // namespace vorlinde
