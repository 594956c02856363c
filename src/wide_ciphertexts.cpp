#include "src/wide_ciphertexts.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "curve/backend.hpp"

#include "curve/scalar.hpp"
#include "runtime/failure.hpp"

namespace vorlinde {

namespace {

constexpr std::size_t kField = 32;

// Decodes every encoding; the first one (in span order) that is not a point
// throws. Validity is public: it decides only whether the call fails.
void decompress_all(std::span<const curve::CompressedEdwardsY> encodings, std::span<curve::EdwardsPoint> points) {
  std::vector<curve::Choice> valid(encodings.size());
  curve::decompress_many(encodings, points, valid);
  for (const curve::Choice v : valid) {
    if (!v.declassify()) throw runtime::Failure("called `Option::unwrap()` on a `None` value");
  }
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
  WideCiphertext out;
  randomize_many({this, 1}, {&out, 1});
  return out;
}

WideCiphertext WideCiphertext::sum(const WideCiphertext& other) const {
  WideCiphertext out;
  sum_many({this, 1}, {&other, 1}, {&out, 1});
  return out;
}

void WideCiphertext::randomize_many(std::span<const WideCiphertext> records, std::span<WideCiphertext> out) {
  const std::size_t n = records.size();
  std::vector<curve::CompressedEdwardsY> fields(4 * n);
  for (std::size_t i = 0; i < n; ++i) {
    const WideCiphertext& r = records[i];
    fields[4 * i] = r.alpha;
    fields[4 * i + 1] = r.beta;
    fields[4 * i + 2] = r.gamma;
    fields[4 * i + 3] = r.delta;
  }
  std::vector<curve::EdwardsPoint> points(4 * n);
  decompress_all(fields, points);

  // One scalar per record, the same for its four points.
  std::vector<curve::Scalar> scalars(4 * n);
  for (std::size_t i = 0; i < n; ++i) {
    const curve::Scalar t = curve::Scalar::random();
    for (std::size_t f = 0; f < 4; ++f) scalars[4 * i + f] = t;
  }
  std::vector<curve::EdwardsPoint> products(4 * n);
  curve::mul_many(points, scalars, products);
  from_points(products, out);
}

void WideCiphertext::sum_many(std::span<const WideCiphertext> selves, std::span<const WideCiphertext> others,
                              std::span<WideCiphertext> out) {
  const std::size_t n = selves.size();
  // Per record, field by field, self's encoding before other's: the order in
  // which a record's encodings are examined.
  std::vector<curve::CompressedEdwardsY> fields(8 * n);
  for (std::size_t i = 0; i < n; ++i) {
    const WideCiphertext* pair[2] = {&selves[i], &others[i]};
    for (std::size_t side = 0; side < 2; ++side) {
      fields[8 * i + side] = pair[side]->alpha;
      fields[8 * i + 2 + side] = pair[side]->beta;
      fields[8 * i + 4 + side] = pair[side]->gamma;
      fields[8 * i + 6 + side] = pair[side]->delta;
    }
  }
  std::vector<curve::EdwardsPoint> points(8 * n);
  decompress_all(fields, points);
  std::vector<curve::EdwardsPoint> sums(4 * n);
  for (std::size_t j = 0; j < 4 * n; ++j) sums[j] = points[2 * j] + points[2 * j + 1];
  from_points(sums, out);
}

void WideCiphertext::from_points(std::span<const curve::EdwardsPoint> points, std::span<WideCiphertext> out) {
  std::vector<curve::CompressedEdwardsY> fields(points.size());
  curve::compress_many(points, fields);
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = {fields[4 * i], fields[4 * i + 1], fields[4 * i + 2], fields[4 * i + 3]};
  }
}

}  // namespace vorlinde
