// The portable backend: every batch entry loops over the single-point code,
// except compression, which shares one inversion across the span.

#include <vector>

#include "curve/backend.hpp"
#include "curve/backend/serial/scalar_mul/scalar_mul.hpp"

namespace vorlinde::curve::backend::serial {
namespace {

void mul_same_scalar(std::span<const EdwardsPoint> points, const Scalar& k, std::span<EdwardsPoint> out) {
  for (std::size_t i = 0; i < points.size(); ++i) out[i] = variable_base(points[i], k);
}

void mul_many(std::span<const EdwardsPoint> points, std::span<const Scalar> scalars, std::span<EdwardsPoint> out) {
  for (std::size_t i = 0; i < points.size(); ++i) out[i] = variable_base(points[i], scalars[i]);
}

void fixed_base_many(const EdwardsBasepointTable& table, std::span<const Scalar> scalars,
                     std::span<EdwardsPoint> out) {
  for (std::size_t i = 0; i < scalars.size(); ++i) out[i] = fixed_base(table, scalars[i]);
}

void mul_by_cofactor_many(std::span<const EdwardsPoint> points, std::span<EdwardsPoint> out) {
  for (std::size_t i = 0; i < points.size(); ++i) out[i] = points[i].mul_by_cofactor();
}

// Montgomery's trick: with q_i = Z_0 ... Z_i, 1/Z_i = q_(i-1) / q_i. Every
// point has Z != 0, so the product is invertible.
void compress_many(std::span<const EdwardsPoint> points, std::span<CompressedEdwardsY> out) {
  const std::size_t n = points.size();
  if (n == 0) return;
  std::vector<FieldElement> prefix(n);
  prefix[0] = points[0].Z;
  for (std::size_t i = 1; i < n; ++i) prefix[i] = prefix[i - 1] * points[i].Z;
  FieldElement inverse = invert(prefix[n - 1]);  // 1 / (Z_0 ... Z_i) for the current i
  for (std::size_t i = n - 1; i > 0; --i) {
    const FieldElement recip = inverse * prefix[i - 1];
    inverse = inverse * points[i].Z;
    out[i] = EdwardsPoint::encode_affine(points[i].X * recip, points[i].Y * recip);
  }
  out[0] = EdwardsPoint::encode_affine(points[0].X * inverse, points[0].Y * inverse);
}

void decompress_many(std::span<const CompressedEdwardsY> in, std::span<EdwardsPoint> out, std::span<Choice> valid) {
  for (std::size_t i = 0; i < in.size(); ++i) {
    const DecompressedPoint d = in[i].decompress_masked();
    out[i] = d.point;
    valid[i] = d.valid;
  }
}

void uniform_bytes_to_point_many(std::span<const Representative> in, std::span<EdwardsPoint> out,
                                 std::span<Choice> on_curve) {
  for (std::size_t i = 0; i < in.size(); ++i) {
    const MappedPoint m = uniform_bytes_to_point(in[i]);
    out[i] = m.point;
    on_curve[i] = m.on_curve;
  }
}

void point_to_uniform_bytes_many(std::span<const EdwardsPoint> points, std::span<const Choice> branches,
                                 std::span<Representative> out, std::span<Choice> valid) {
  for (std::size_t i = 0; i < points.size(); ++i) {
    const RepresentativeResult r = point_to_uniform_bytes_masked(points[i], branches[i]);
    out[i] = r.bytes;
    valid[i] = r.valid;
  }
}

}  // namespace
}  // namespace vorlinde::curve::backend::serial

namespace vorlinde::curve {

const Backend SERIAL_BACKEND{
    "serial-u64",
    1,
    &backend::serial::mul_same_scalar,
    &backend::serial::mul_many,
    &backend::serial::fixed_base_many,
    &backend::serial::mul_by_cofactor_many,
    &backend::serial::compress_many,
    &backend::serial::decompress_many,
    &backend::serial::uniform_bytes_to_point_many,
    &backend::serial::point_to_uniform_bytes_many,
};

}  // namespace vorlinde::curve
