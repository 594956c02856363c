// The AVX2 backend's batch entries: the portable types handed to the kernels
// (kernel.hpp) in place, digits computed here and wiped here. Built for the
// baseline instruction set; only the kernels are built for AVX2.

#include <cstddef>
#include <type_traits>
#include <vector>

#include "curve/backend.hpp"
#include "curve/backend/avx2/kernel.hpp"
#include "runtime/wipe.hpp"

namespace vorlinde::curve::backend::avx2 {
namespace {

// The kernels read and write the portable types in place: an EdwardsPoint is
// X, Y, Z, T of five 64-bit limbs each, and a fixed-base table is 32 x 8
// affine Niels entries of three such elements, all contiguous.
static_assert(std::is_standard_layout_v<EdwardsPoint> && sizeof(EdwardsPoint) == sizeof(PointLimbs));
static_assert(std::is_standard_layout_v<AffineNielsPoint> && sizeof(AffineNielsPoint) == sizeof(NielsLimbs));
static_assert(sizeof(EdwardsBasepointTable) == 256 * sizeof(NielsLimbs));
static_assert(sizeof(CompressedEdwardsY) == 32 && sizeof(Representative) == 32);
static_assert(sizeof(Choice) == 1);

const PointLimbs* limbs(std::span<const EdwardsPoint> points) {
  return reinterpret_cast<const PointLimbs*>(points.data());
}
PointLimbs* limbs(std::span<EdwardsPoint> points) { return reinterpret_cast<PointLimbs*>(points.data()); }

// Signed radix-16 digits of each scalar, 64 per scalar, wiped when dropped.
using Digits = std::vector<std::int8_t, runtime::WipingAllocator<std::int8_t>>;

Digits digits_of(std::span<const Scalar> scalars) {
  Digits digits(64 * scalars.size());
  for (std::size_t i = 0; i < scalars.size(); ++i) {
    const runtime::Wiped<std::array<std::int8_t, 64>> d([&] { return scalars[i].as_radix_16(); });
    std::copy(d.get().begin(), d.get().end(), digits.begin() + static_cast<std::ptrdiff_t>(64 * i));
  }
  return digits;
}

// Flags come back as bytes 0 or 1; Choice is one such byte.
void to_choices(const std::vector<std::uint8_t>& flags, std::span<Choice> out) {
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = Choice::from_bit(flags[i]);
}

void mul_same_scalar(std::span<const EdwardsPoint> points, const Scalar& k, std::span<EdwardsPoint> out) {
  if (points.empty()) return;
  const Digits digits = digits_of({&k, 1});
  variable_base(limbs(points), digits.data(), 0, points.size(), limbs(out));
}

void mul_many(std::span<const EdwardsPoint> points, std::span<const Scalar> scalars, std::span<EdwardsPoint> out) {
  if (points.empty()) return;
  const Digits digits = digits_of(scalars);
  variable_base(limbs(points), digits.data(), 64, points.size(), limbs(out));
}

void fixed_base_many(const EdwardsBasepointTable& table, std::span<const Scalar> scalars,
                     std::span<EdwardsPoint> out) {
  if (scalars.empty()) return;
  const Digits digits = digits_of(scalars);
  fixed_base(reinterpret_cast<const NielsLimbs*>(&table.tables[0].entries[0]), digits.data(), scalars.size(),
             limbs(out));
}

void compress_many(std::span<const EdwardsPoint> points, std::span<CompressedEdwardsY> out) {
  if (points.empty()) return;
  compress(limbs(points), points.size(), out.front().bytes.data());
}

void decompress_many(std::span<const CompressedEdwardsY> in, std::span<EdwardsPoint> out, std::span<Choice> valid) {
  if (in.empty()) return;
  std::vector<std::uint8_t> flags(in.size());
  decompress(in.front().bytes.data(), in.size(), limbs(out), flags.data());
  to_choices(flags, valid);
}

void uniform_bytes_to_point_many(std::span<const Representative> in, std::span<EdwardsPoint> out,
                                 std::span<Choice> on_curve) {
  if (in.empty()) return;
  std::vector<std::uint8_t> flags(in.size());
  uniform_bytes_to_point(in.front().data(), in.size(), limbs(out), flags.data());
  to_choices(flags, on_curve);
}

void point_to_uniform_bytes_many(std::span<const EdwardsPoint> points, std::span<const Choice> branches,
                                 std::span<Representative> out, std::span<Choice> valid) {
  if (points.empty()) return;
  std::vector<std::uint8_t> bits(points.size()), flags(points.size());
  for (std::size_t i = 0; i < bits.size(); ++i) bits[i] = branches[i].value;
  point_to_uniform_bytes(limbs(points), bits.data(), points.size(), out.front().data(), flags.data());
  to_choices(flags, valid);
  runtime::wipe(bits.data(), bits.size());
}

}  // namespace
}  // namespace vorlinde::curve::backend::avx2

namespace vorlinde::curve {

const Backend AVX2_BACKEND{
    "avx2",
    backend::avx2::kLanes,
    &backend::avx2::mul_same_scalar,
    &backend::avx2::mul_many,
    &backend::avx2::fixed_base_many,
    &backend::avx2::compress_many,
    &backend::avx2::decompress_many,
    &backend::avx2::uniform_bytes_to_point_many,
    &backend::avx2::point_to_uniform_bytes_many,
};

}  // namespace vorlinde::curve
