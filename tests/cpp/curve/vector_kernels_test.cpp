// The vector kernels (AVX-512 IFMA, AVX2) against the portable code, bit for
// bit, through their kernel tables (curve/backend/vector/kernel_table.hpp): the portable points,
// tables and Elligator maps are the oracle, and results are compared by their
// compressed encodings. Every count 0..17 covers full chunks and ragged tails
// of both lane widths; outputs beyond n must stay untouched, output limbs
// below 2^52.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "curve/backend.hpp"
#include "curve/backend/vector/kernel_table.hpp"
#include "curve/edwards.hpp"
#include "src/point_conversion.hpp"
#include "tests/cpp/curve/support.hpp"

namespace vorlinde::curve {
namespace {

using testing::random_bytes;
using Bytes = std::array<std::uint8_t, 32>;
using Limbs = FieldElement::Limbs;

constexpr std::uint64_t kLimbBound = std::uint64_t{1} << 52;
constexpr std::size_t kMaxCount = 18;

// One vector backend: its kernel table, the batch entries over it, and
// whether this processor runs it.
struct VectorBackend {
  const char* name;
  const backend::vector::KernelTable* kernels;
  const Backend* entries;
  bool (*usable)();
};

const VectorBackend kVectorBackends[] = {
    {"ifma", &backend::ifma::kKernels, &IFMA_BACKEND, [] { return features_of(this_processor_facts()).ifma; }},
    {"avx2", &backend::avx2::kKernels, &AVX2_BACKEND, [] { return features_of(this_processor_facts()).avx2; }},
    {"ifma_vpmullq", &backend::ifma::kKernelsVpmullq, &IFMA_VPMULLQ_BACKEND,
     [] { return features_of(this_processor_facts()).ifma_vpmullq; }},
};

class VectorKernelTest : public testing::SodiumTest, public ::testing::WithParamInterface<VectorBackend> {
 protected:
  void SetUp() override {
    if (!GetParam().usable()) GTEST_SKIP() << "this processor (or OS) lacks " << GetParam().name << "; kernels not run";
  }
  static const backend::vector::KernelTable& kernels() { return *GetParam().kernels; }
};

INSTANTIATE_TEST_SUITE_P(EveryVectorBackend, VectorKernelTest, ::testing::ValuesIn(kVectorBackends),
                         [](const auto& info) { return std::string(info.param.name); });

using PointLimbs = backend::vector::PointLimbs;
using NielsLimbs = backend::vector::NielsLimbs;

template <class PointLimbs>
PointLimbs to_limbs(const EdwardsPoint& p) {
  PointLimbs l;
  for (int i = 0; i < 5; ++i) {
    l.X[i] = p.X.limbs()[i], l.Y[i] = p.Y.limbs()[i], l.Z[i] = p.Z.limbs()[i], l.T[i] = p.T.limbs()[i];
  }
  return l;
}

template <class PointLimbs>
EdwardsPoint from_limbs(const PointLimbs& l) {
  for (int i = 0; i < 5; ++i) {
    EXPECT_LT(l.X[i], kLimbBound);
    EXPECT_LT(l.Y[i], kLimbBound);
    EXPECT_LT(l.Z[i], kLimbBound);
    EXPECT_LT(l.T[i], kLimbBound);
  }
  auto f = [](const std::uint64_t* v) { return FieldElement(Limbs{v[0], v[1], v[2], v[3], v[4]}); };
  return {f(l.X), f(l.Y), f(l.Z), f(l.T)};
}

Bytes encode(const EdwardsPoint& p) { return p.compress().bytes; }

// A point of the full group (mixed order, its torsion part uniform) in a
// non-normalised representation (Z != 1).
EdwardsPoint random_point() {
  for (;;) {
    const auto p = CompressedEdwardsY{random_bytes<32>()}.decompress();
    if (p) return *p + ED25519_BASEPOINT_POINT;
  }
}

// The eight points of order dividing 8: j T for T of order 8, found as l P of
// random points P until 4 (l P) is not the identity.
std::vector<EdwardsPoint> torsion_points() {
  const Bytes l_bytes = testing::hex<32>("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010");
  const Scalar l = Scalar::from_bits(l_bytes);
  EdwardsPoint t;
  do {
    t = random_point() * l;
  } while (t.mul_by_pow_2(2) == EdwardsPoint::identity());
  std::vector<EdwardsPoint> out{EdwardsPoint::identity()};
  for (int j = 1; j < 8; ++j) out.push_back(out.back() + t);
  return out;
}

// Reduced scalars from libsodium and unreduced ones (any value below 2^255).
Scalar random_scalar(bool unreduced) {
  Bytes s = random_bytes<32>();
  if (unreduced) {
    s[31] = static_cast<std::uint8_t>(s[31] | 0x40) & 0x7f;  // k >= 2^254 > l
  } else {
    crypto_core_ed25519_scalar_random(s.data());
  }
  return Scalar::from_bits(s);
}


TEST_P(VectorKernelTest, VariableBasePerPointAndSharedDigits) {
  for (std::size_t n = 0; n < kMaxCount; ++n) {
    SCOPED_TRACE(n);
    const auto torsion = torsion_points();
    std::vector<EdwardsPoint> points;
    std::vector<Scalar> scalars;
    for (std::size_t i = 0; i < n; ++i) {
      // Lanes alternate between mixed-order points and pure torsion points.
      points.push_back(i % 3 == 1 ? torsion[i % 8] : random_point());
      scalars.push_back(random_scalar(i % 2 == 0));
    }
    std::vector<PointLimbs> in, out(n + 1);
    for (const auto& p : points) in.push_back(to_limbs<PointLimbs>(p));
    std::vector<std::int8_t> digits;
    for (const auto& k : scalars) {
      const auto d = k.as_radix_16();
      digits.insert(digits.end(), d.begin(), d.end());
    }
    const PointLimbs sentinel = to_limbs<PointLimbs>(ED25519_BASEPOINT_POINT);
    out[n] = sentinel;
    kernels().variable_base(in.data(), digits.data(), 64, n, out.data());
    for (std::size_t i = 0; i < n; ++i)
      ASSERT_EQ(encode(from_limbs(out[i])), encode(points[i] * scalars[i])) << "point " << i << " of " << n;
    ASSERT_EQ(encode(from_limbs(out[n])), encode(ED25519_BASEPOINT_POINT)) << "wrote beyond n";

    const Scalar shared = random_scalar(true);
    const auto d = shared.as_radix_16();
    kernels().variable_base(in.data(), d.data(), 0, n, out.data());
    for (std::size_t i = 0; i < n; ++i)
      ASSERT_EQ(encode(from_limbs(out[i])), encode(points[i] * shared)) << "shared, point " << i << " of " << n;
  }
}

// The kernel's lane table for the base point of `table`, from the comb
// multiples of the portable code (64-byte aligned, as fixed_base requires).
std::shared_ptr<void> lane_table(const backend::vector::KernelTable& k, const EdwardsBasepointTable& table) {
  const int w = k.fixed_window_bits;
  const auto multiples = affine_niels_multiples(table.basepoint(), 1 << (w - 1), w, k.fixed_digits);
  constexpr std::align_val_t kAlign{64};
  std::shared_ptr<void> lanes(::operator new(k.fixed_table_bytes, kAlign),
                              [](void* p) { ::operator delete(p, kAlign); });
  k.fixed_table_fill(reinterpret_cast<const NielsLimbs*>(multiples.data()), lanes.get());
  return lanes;
}

// The digits a kernel table's comb reads: radix 16 or radix 32.
std::vector<std::int8_t> comb_digits(const backend::vector::KernelTable& k, const Scalar& s) {
  if (k.fixed_window_bits == 6) {
    const auto d = s.as_radix_2w<6>();
    return {d.begin(), d.end()};
  }
  if (k.fixed_window_bits == 5) {
    const auto d = s.as_radix_2w<5>();
    return {d.begin(), d.end()};
  }
  const auto d = s.as_radix_16();
  return {d.begin(), d.end()};
}

// The portable radix-16 comb over an EdwardsBasepointTable is the oracle.
// Edge scalars go first, in the first lanes: 0, 1, 2^255 - 1 (the last
// radix-32 digit 1), and 16 + 15 (32 + .. + 32^50) (every radix-32 digit
// -16 but the last, 1).
TEST_P(VectorKernelTest, FixedBaseWithBasepointAndRuntimeTables) {
  Bytes max{}, minus_sixteens{};
  max.fill(0xff);
  max[31] = 0x7f;
  for (int bit = 4; bit < 255; ++bit) {
    if (bit < 5 || bit % 5 != 4) minus_sixteens[bit / 8] |= static_cast<std::uint8_t>(1 << (bit % 8));
  }
  const Scalar edges[] = {Scalar{}, Scalar::from_bits(testing::hex<32>(
                                        "0100000000000000000000000000000000000000000000000000000000000000")),
                          Scalar::from_bits(max), Scalar::from_bits(minus_sixteens)};
  static const EdwardsBasepointTable runtime_table = EdwardsBasepointTable::create(random_point());
  for (const EdwardsBasepointTable* table : {&ED25519_BASEPOINT_TABLE, &runtime_table}) {
    const auto lanes = lane_table(kernels(), *table);
    for (std::size_t n = 0; n < kMaxCount; ++n) {
      SCOPED_TRACE(n);
      std::vector<Scalar> scalars;
      std::vector<std::int8_t> digits;
      for (std::size_t i = 0; i < n; ++i) {
        scalars.push_back(i < std::size(edges) ? edges[i] : random_scalar(i % 2 == 1));
        const auto d = comb_digits(kernels(), scalars.back());
        digits.insert(digits.end(), d.begin(), d.end());
      }
      std::vector<PointLimbs> out(n + 1);
      out[n] = to_limbs<PointLimbs>(ED25519_BASEPOINT_POINT);
      kernels().fixed_base(lanes.get(), digits.data(), n, out.data());
      for (std::size_t i = 0; i < n; ++i)
        ASSERT_EQ(encode(from_limbs(out[i])), encode(table->mul(scalars[i]))) << "point " << i << " of " << n;
      ASSERT_EQ(encode(from_limbs(out[n])), encode(ED25519_BASEPOINT_POINT)) << "wrote beyond n";
    }
  }
}

TEST_P(VectorKernelTest, DecompressWithOneBadEncodingPerPosition) {
  for (std::size_t n = 0; n < kMaxCount; ++n) {
    SCOPED_TRACE(n);
    std::vector<Bytes> encodings;
    for (std::size_t i = 0; i < n; ++i) encodings.push_back(encode(random_point()));
    // Every lane position once holds an encoding that is not a point (y = 2),
    // the others valid ones, some with y >= p or x = 0 with the sign bit set.
    Bytes bad{};
    bad[0] = 2;
    Bytes high_y = testing::hex<32>("eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f");  // y = p + 1
    Bytes negative_zero_x = testing::hex<32>("0100000000000000000000000000000000000000000000000000000000000080");
    for (std::size_t position = 0; position < std::min<std::size_t>(n, 9); ++position) {
      std::vector<Bytes> in = encodings;
      in[position] = bad;
      if (n > 2) in[(position + 1) % n] = high_y;
      if (n > 3) in[(position + 2) % n] = negative_zero_x;
      std::vector<PointLimbs> out(n);
      std::vector<std::uint8_t> valid(n, 7);
      kernels().decompress(in[0].data(), n, out.data(), valid.data());
      for (std::size_t i = 0; i < n; ++i) {
        const auto expected = CompressedEdwardsY{in[i]}.decompress();
        ASSERT_EQ(valid[i], expected.has_value() ? 1 : 0) << "encoding " << i;
        const EdwardsPoint got = from_limbs(out[i]);
        if (expected) {
          ASSERT_EQ(encode(got), encode(*expected)) << "encoding " << i;
          ASSERT_EQ(got.Z.to_bytes(), FieldElement::one().to_bytes());
          ASSERT_EQ((got.X * got.Y).to_bytes(), got.T.to_bytes());
        } else {
          ASSERT_EQ(encode(got), encode(EdwardsPoint::identity()));
        }
      }
    }
  }
}

TEST_P(VectorKernelTest, ElligatorMapsBothWays) {
  for (std::size_t n = 0; n < kMaxCount; ++n) {
    SCOPED_TRACE(n);
    std::vector<Bytes> in;
    const Bytes p_bytes = testing::hex<32>("edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f");
    for (std::size_t i = 0; i < n; ++i) {
      Bytes b = random_bytes<32>();
      if (i % 5 == 1) b = Bytes{};                    // r = 0
      if (i % 5 == 2) b = p_bytes;                    // r = p, read as 0
      if (i % 5 == 3) b[31] = 0xff;                   // r >= p with the sign bit
      in.push_back(b);
    }
    std::vector<PointLimbs> points(n);
    std::vector<std::uint8_t> on_curve(n, 7);
    kernels().uniform_bytes_to_point(in.empty() ? nullptr : in[0].data(), n, points.data(), on_curve.data());
    for (std::size_t i = 0; i < n; ++i) {
      ASSERT_EQ(on_curve[i], 1) << "input " << i;
      ASSERT_EQ(encode(from_limbs(points[i])), encode(uniform_bytes_to_point(in[i]).point)) << "input " << i;
    }

    // The inverse map on the forward images (each has a representative on some
    // branch), on random points, the identity, (0, -1) and the torsion points.
    const auto torsion = torsion_points();
    std::vector<EdwardsPoint> sources;
    for (std::size_t i = 0; i < n; ++i) {
      if (i % 4 == 0) sources.push_back(from_limbs(points[i]));
      else if (i % 4 == 1) sources.push_back(random_point());
      else sources.push_back(torsion[i % 8]);
    }
    std::vector<PointLimbs> limbs;
    for (const auto& p : sources) limbs.push_back(to_limbs<PointLimbs>(p));
    for (std::uint8_t first_branch : {0, 1}) {
      std::vector<std::uint8_t> branch(n), valid(n, 7);
      for (std::size_t i = 0; i < n; ++i) branch[i] = static_cast<std::uint8_t>((first_branch + i / 2) & 1);
      std::vector<std::uint8_t> out(32 * n);
      kernels().point_to_uniform_bytes(limbs.data(), branch.data(), n, out.data(), valid.data());
      for (std::size_t i = 0; i < n; ++i) {
        const auto expected = point_to_uniform_bytes(sources[i], Choice::from_bit(branch[i]));
        ASSERT_EQ(valid[i], expected.has_value() ? 1 : 0) << "point " << i;
        if (expected) {
          ASSERT_TRUE(std::equal(expected->begin(), expected->end(), out.begin() + 32 * i)) << "point " << i;
        }
      }
    }
  }
}

TEST_P(VectorKernelTest, CompressMatchesPortableEncodings) {
  for (std::size_t n = 0; n < kMaxCount; ++n) {
    SCOPED_TRACE(n);
    std::vector<EdwardsPoint> points;
    const auto torsion = torsion_points();
    for (std::size_t i = 0; i < n; ++i) points.push_back(i % 4 == 3 ? torsion[i % 8] : random_point());
    std::vector<PointLimbs> in;
    for (const auto& p : points) in.push_back(to_limbs<PointLimbs>(p));
    std::vector<std::uint8_t> out(32 * n + 1, 0xa5);
    kernels().compress(in.data(), n, out.data());
    for (std::size_t i = 0; i < n; ++i)
      ASSERT_TRUE(std::equal(out.begin() + 32 * i, out.begin() + 32 * i + 32, encode(points[i]).begin())) << i;
    ASSERT_EQ(out[32 * n], 0xa5) << "wrote beyond n";
  }
}


TEST_P(VectorKernelTest, CompressAcrossInversionBlocksAndWithZeroZ) {
  // More points than one inversion covers, and one lane with Z = 0 (not a
  // point): it must encode as the portable code does (1/0 = 0) and must not
  // disturb the batch it shares an inversion with.
  const std::size_t n = 300;
  std::vector<EdwardsPoint> points;
  for (std::size_t i = 0; i < n; ++i) points.push_back(random_point());
  points[77].Z = FieldElement::zero();
  std::vector<PointLimbs> in;
  for (const auto& p : points) in.push_back(to_limbs<PointLimbs>(p));
  std::vector<std::uint8_t> out(32 * n);
  kernels().compress(in.data(), n, out.data());
  for (std::size_t i = 0; i < n; ++i)
    ASSERT_TRUE(std::equal(out.begin() + 32 * i, out.begin() + 32 * i + 32, encode(points[i]).begin())) << i;
}

// The batch entries hand the portable types to the table of their own width.
TEST_P(VectorKernelTest, BatchEntriesHaveTheirTablesWidth) { EXPECT_EQ(GetParam().entries->lanes, kernels().lanes); }

}  // namespace
}  // namespace vorlinde::curve
