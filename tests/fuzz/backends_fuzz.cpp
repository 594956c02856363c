// Every batch entry of every backend this processor runs, against the
// portable single-point code, on the same inputs: up to 19 elements (ragged
// against 4 and 8 lanes), scalars across their whole declared domain (any
// Scalar: below 2^255, reduced or not; the edges 0, 1, l - 1, l, l + 1,
// 2^255 - 1 and inputs with bit 255 set among them), points with small-order
// components or of small order only, in extended coordinates with Z != 1, and
// encodings that are canonical, non-canonical (y >= p, x = 0 with the sign
// bit set) or no point at all. Every output point must encode to the bytes
// the portable code gives, every flag and representative must be equal.

#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "curve/backend.hpp"
#include "curve/edwards.hpp"
#include "curve/elligator.hpp"
#include "tests/fuzz/fuzz_support.hpp"

namespace curve = vorlinde::curve;
using vorlinde::fuzz::require;
using Bytes = std::array<std::uint8_t, 32>;

namespace {

constexpr std::size_t kMaxElements = 19;

Bytes bytes_of(std::uint64_t low, std::uint8_t top = 0) {
  Bytes b{};
  for (int i = 0; i < 8; ++i) b[i] = static_cast<std::uint8_t>(low >> (8 * i));
  b[31] = top;
  return b;
}

// l = 2^252 + 27742317777372353535851937790883648493, little-endian.
constexpr Bytes kL = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7, 0xa2, 0xde, 0xf9, 0xde, 0x14,
                      0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0x10};

Bytes l_plus(int delta) {
  Bytes b = kL;
  b[0] = static_cast<std::uint8_t>(b[0] + delta);  // l's low byte 0xed: no carry for |delta| <= 2
  return b;
}

// A point T of order 8, found once as l P of points P decoded from small y
// until 4 (l P) is not the identity.
const curve::EdwardsPoint& order_8_point() {
  static const curve::EdwardsPoint t = [] {
    const curve::Scalar l = curve::Scalar::from_bits(kL);
    for (std::uint64_t y = 2;; ++y) {
      const auto p = curve::CompressedEdwardsY{bytes_of(y)}.decompress();
      if (!p) continue;
      const curve::EdwardsPoint candidate = *p * l;
      if (!(candidate.mul_by_pow_2(2).compress() == curve::EdwardsPoint::identity().compress())) return candidate;
    }
  }();
  return t;
}

curve::Scalar make_scalar(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<int>(0, 9)) {
    case 0: return curve::Scalar::from_bits(bytes_of(0));
    case 1: return curve::Scalar::from_bits(bytes_of(1));
    case 2: return curve::Scalar::from_bits(l_plus(-1));
    case 3: return curve::Scalar::from_bits(kL);
    case 4: return curve::Scalar::from_bits(l_plus(1));
    case 5: {  // 2^255 - 1 minus a little: every digit at its extreme
      Bytes b;
      b.fill(0xff);
      b[0] = static_cast<std::uint8_t>(0xff - in.ConsumeIntegral<std::uint8_t>() % 16);
      return curve::Scalar::from_bits(b);
    }
    case 6: {  // reduced
      Bytes b{};
      const auto raw = in.ConsumeBytes<std::uint8_t>(32);
      std::copy(raw.begin(), raw.end(), b.begin());
      return curve::Scalar::from_bytes_mod_order(b);
    }
    default: {  // any 32 bytes, bit 255 too (from_bits clears it)
      Bytes b{};
      const auto raw = in.ConsumeBytes<std::uint8_t>(32);
      std::copy(raw.begin(), raw.end(), b.begin());
      return curve::Scalar::from_bits(b);
    }
  }
}

// A valid point: s B + j T, j T alone, a decoded encoding plus B + j T, or
// s (B + j T), each
// with Z != 1 from the additions or a multiplication (j T sometimes as it is).
curve::EdwardsPoint make_point(FuzzedDataProvider& in) {
  const curve::EdwardsPoint& t = order_8_point();
  const int j = in.ConsumeIntegralInRange<int>(0, 7);
  curve::EdwardsPoint torsion = curve::EdwardsPoint::identity();
  for (int i = 0; i < j; ++i) torsion = torsion + t;
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: return torsion;
    case 1: return curve::ED25519_BASEPOINT_TABLE.mul(make_scalar(in)) + torsion;
    case 2: {
      Bytes b{};
      const auto raw = in.ConsumeBytes<std::uint8_t>(32);
      std::copy(raw.begin(), raw.end(), b.begin());
      const auto p = curve::CompressedEdwardsY{b}.decompress();
      return (p ? *p : curve::EdwardsPoint::identity()) + curve::ED25519_BASEPOINT_POINT + torsion;
    }
    default: return (curve::ED25519_BASEPOINT_POINT + torsion) * make_scalar(in);
  }
}

// An encoding: canonical, y >= p (y + p for y < 19), x = 0 with the sign bit,
// or raw bytes (often no point).
curve::CompressedEdwardsY make_encoding(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: return make_point(in).compress();
    case 1: {  // p + y = 2^255 - 19 + y
      Bytes b;
      b.fill(0xff);
      b[31] = static_cast<std::uint8_t>(0x7f | (in.ConsumeBool() ? 0x80 : 0));
      b[0] = static_cast<std::uint8_t>(0xed + in.ConsumeIntegralInRange<int>(0, 18));
      return {b};
    }
    case 2: {  // y = 1 or y = -1 = p - 1 (x = 0), with the sign bit set
      if (in.ConsumeBool()) return {bytes_of(1, 0x80)};
      Bytes b;
      b.fill(0xff);
      b[0] = 0xec;
      return {b};
    }
    default: {
      Bytes b{};
      const auto raw = in.ConsumeBytes<std::uint8_t>(32);
      std::copy(raw.begin(), raw.end(), b.begin());
      return {b};
    }
  }
}

void require_same_points(const std::vector<curve::EdwardsPoint>& got, const std::vector<curve::EdwardsPoint>& want,
                         const char* backend, const char* entry) {
  for (std::size_t i = 0; i < want.size(); ++i) {
    require(got[i].compress() == want[i].compress(),
            std::string(backend) + " " + entry + ": element " + std::to_string(i) + " of " +
                std::to_string(want.size()) + " differs from the portable code");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, kMaxElements);
  std::vector<curve::EdwardsPoint> points;
  std::vector<curve::Scalar> scalars;
  std::vector<curve::CompressedEdwardsY> encodings;
  std::vector<curve::Representative> representatives;
  std::vector<curve::Choice> branches;
  for (std::size_t i = 0; i < n; ++i) {
    points.push_back(make_point(in));
    scalars.push_back(make_scalar(in));
    encodings.push_back(make_encoding(in));
    curve::Representative r{};
    const auto raw = in.ConsumeBytes<std::uint8_t>(32);
    std::copy(raw.begin(), raw.end(), r.begin());
    representatives.push_back(r);
    branches.push_back(curve::Choice::from_bit(in.ConsumeBool() ? 1 : 0));
  }
  const curve::Scalar shared = make_scalar(in);
  // A run-time table for a point of mixed order, now and then (it costs 256
  // additions and an inversion).
  std::optional<curve::EdwardsBasepointTable> own_table;
  if (n > 0 && in.ConsumeIntegralInRange<int>(0, 7) == 0) own_table = curve::EdwardsBasepointTable::create(points[0]);

  // The portable single-point results.
  std::vector<curve::EdwardsPoint> same(n), many(n), fixed(n), own(n), cofactor(n), decoded(n), mapped(n);
  std::vector<curve::CompressedEdwardsY> compressed(n);
  std::vector<std::uint8_t> decodes(n), on_curve(n), has_representative(n);
  std::vector<curve::Representative> representative(n);
  for (std::size_t i = 0; i < n; ++i) {
    same[i] = points[i] * shared;
    many[i] = points[i] * scalars[i];
    fixed[i] = curve::ED25519_BASEPOINT_TABLE.mul(scalars[i]);
    if (own_table) own[i] = own_table->mul(scalars[i]);
    cofactor[i] = points[i].mul_by_cofactor();
    compressed[i] = points[i].compress();
    const auto d = encodings[i].decompress();
    decodes[i] = d.has_value();
    if (d) decoded[i] = *d;
    const curve::MappedPoint m = curve::uniform_bytes_to_point(representatives[i]);
    mapped[i] = m.point;
    on_curve[i] = m.on_curve.value;
    const auto r = curve::point_to_uniform_bytes(points[i], branches[i]);
    has_representative[i] = r.has_value();
    if (r) representative[i] = *r;
  }

  for (const curve::Backend* b : curve::available_backends()) {
    std::vector<curve::EdwardsPoint> out(n);
    b->mul_same_scalar(points, shared, out);
    require_same_points(out, same, b->name, "mul_same_scalar");
    b->mul_many(points, scalars, out);
    require_same_points(out, many, b->name, "mul_many");
    b->fixed_base_many(curve::ED25519_BASEPOINT_TABLE, scalars, out);
    require_same_points(out, fixed, b->name, "fixed_base_many");
    if (own_table) {
      b->fixed_base_many(*own_table, scalars, out);
      require_same_points(out, own, b->name, "fixed_base_many (run-time table)");
    }
    b->mul_by_cofactor_many(points, out);
    require_same_points(out, cofactor, b->name, "mul_by_cofactor_many");

    std::vector<curve::CompressedEdwardsY> encoded(n);
    b->compress_many(points, encoded);
    for (std::size_t i = 0; i < n; ++i) require(encoded[i] == compressed[i], std::string(b->name) + " compress_many");

    std::vector<curve::Choice> flags(n);
    b->decompress_many(encodings, out, flags);
    for (std::size_t i = 0; i < n; ++i) {
      require(flags[i].value == decodes[i], std::string(b->name) + " decompress_many: validity");
      if (decodes[i]) require(out[i].compress() == decoded[i].compress(), std::string(b->name) + " decompress_many");
    }

    b->uniform_bytes_to_point_many(representatives, out, flags);
    require_same_points(out, mapped, b->name, "uniform_bytes_to_point_many");
    for (std::size_t i = 0; i < n; ++i) require(flags[i].value == on_curve[i], std::string(b->name) + " on_curve");

    std::vector<curve::Representative> reps(n);
    b->point_to_uniform_bytes_many(points, branches, reps, flags);
    for (std::size_t i = 0; i < n; ++i) {
      require(flags[i].value == has_representative[i], std::string(b->name) + " point_to_uniform_bytes_many: validity");
      if (has_representative[i]) {
        require(reps[i] == representative[i], std::string(b->name) + " point_to_uniform_bytes_many");
      }
    }
  }
  return 0;
}
