// Every backend this processor runs, through its batch entries, against the
// portable single-point code (the oracle: EdwardsPoint, EdwardsBasepointTable
// and the maps of curve/elligator.hpp, which never go through a backend).
// Batches of every length 0..17 cover full vectors and ragged tails; small-order
// points, unreduced scalars and bad encodings are placed in every position.

#include <gtest/gtest.h>
#include <sodium.h>

#include <string>
#include <vector>

#include "curve/backend.hpp"
#include "curve/backend/serial/scalar_mul/scalar_mul.hpp"
#include "tests/cpp/curve/support.hpp"

namespace vorlinde::curve {
namespace {

using testing::hex;
using testing::random_bytes;

constexpr std::size_t kMaxBatch = 17;

// A point of order 8: l Q for random points Q of the full group until 4 (l Q)
// is not the identity. Q comes from libsodium's random bytes.
EdwardsPoint order_eight_point() {
  const Scalar l = Scalar::from_bits(hex<32>("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010"));
  for (;;) {
    const auto q = CompressedEdwardsY{random_bytes<32>()}.decompress();
    if (!q) continue;
    const EdwardsPoint t = *q * l;
    if (!(t.mul_by_pow_2(2) == EdwardsPoint::identity())) return t;
  }
}

class BackendTest : public ::testing::TestWithParam<const Backend*> {
 protected:
  static void SetUpTestSuite() {
    ASSERT_GE(sodium_init(), 0);
    const EdwardsPoint t = order_eight_point();
    torsion_.assign(1, EdwardsPoint::identity());
    for (int k = 1; k < 8; ++k) torsion_.push_back(torsion_.back() + t);
  }

  const Backend& backend() const { return *GetParam(); }

  // s G + T, T of order dividing 8: the whole group.
  static EdwardsPoint random_point() {
    const Scalar s = Scalar::from_bytes_mod_order_wide(random_bytes<64>());
    return ED25519_BASEPOINT_TABLE * s + torsion_[randombytes_uniform(8)];
  }

  // n random points with the small-order point torsion_[(n + shift) % 8] at
  // position shift % n, so that over the lengths every small-order point
  // visits every lane.
  static std::vector<EdwardsPoint> points(std::size_t n, std::size_t shift) {
    std::vector<EdwardsPoint> out(n);
    for (EdwardsPoint& p : out) p = random_point();
    if (n != 0) out[shift % n] = torsion_[(n + shift) % 8];
    return out;
  }

  // Random scalars of both kinds, and the edge values: 0, 1, l - 1, l and
  // 2^255 - 1 (unreduced, as secret keys are read).
  static std::vector<Scalar> scalars(std::size_t n, std::size_t shift) {
    static const Scalar edges[] = {
        Scalar{},
        Scalar::from_bits(hex<32>("0100000000000000000000000000000000000000000000000000000000000000")),
        Scalar::from_bits(hex<32>("ecd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010")),
        Scalar::from_bits(hex<32>("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010")),
        Scalar::from_bits(hex<32>("ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f")),
    };
    std::vector<Scalar> out(n);
    for (std::size_t i = 0; i < n; ++i) {
      out[i] = i % 2 == 0 ? Scalar::from_bits(random_bytes<32>()) : Scalar::from_bytes_mod_order_wide(random_bytes<64>());
    }
    if (n != 0) out[shift % n] = edges[shift % 5];
    return out;
  }

  static std::vector<EdwardsPoint> torsion_;
};

std::vector<EdwardsPoint> BackendTest::torsion_;

std::string backend_name(const ::testing::TestParamInfo<const Backend*>& info) {
  std::string name = info.param->name;
  for (char& c : name) {
    if (c == '-') c = '_';
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(EveryRunnableBackend, BackendTest, ::testing::ValuesIn(available_backends()), backend_name);

TEST_P(BackendTest, VariableBaseMatchesThePortableSinglePointCode) {
  for (std::size_t n = 0; n <= kMaxBatch; ++n) {
    for (std::size_t shift = 0; shift < 2; ++shift) {
      const std::vector<EdwardsPoint> in = points(n, shift + n);
      const std::vector<Scalar> ks = scalars(n, shift + n);
      std::vector<EdwardsPoint> many(n), same(n);
      backend().mul_many(in, ks, many);
      const Scalar k = ks.empty() ? Scalar{} : ks[0];
      backend().mul_same_scalar(in, k, same);
      for (std::size_t i = 0; i < n; ++i) {
        EXPECT_EQ(many[i].compress(), backend::serial::variable_base(in[i], ks[i]).compress()) << n << " " << i;
        EXPECT_EQ(same[i].compress(), backend::serial::variable_base(in[i], k).compress()) << n << " " << i;
      }
    }
  }
}

TEST_P(BackendTest, FixedBaseMatchesThePortableSinglePointCode) {
  const EdwardsBasepointTable run_time = EdwardsBasepointTable::create(random_point());
  for (const EdwardsBasepointTable* table : {&ED25519_BASEPOINT_TABLE, &run_time}) {
    for (std::size_t n = 0; n <= kMaxBatch; ++n) {
      const std::vector<Scalar> ks = scalars(n, n);
      std::vector<EdwardsPoint> out(n);
      backend().fixed_base_many(*table, ks, out);
      for (std::size_t i = 0; i < n; ++i) {
        EXPECT_EQ(out[i].compress(), backend::serial::fixed_base(*table, ks[i]).compress()) << n << " " << i;
      }
    }
  }
}

// The oracle for the subgroup is libsodium's point check, which accepts
// exactly the points of order l (it refuses the identity, which 8 T gives for
// every small-order T, so that one is compared by its encoding).
TEST_P(BackendTest, CofactorMultiplicationLeavesTheSubgroupPartInPlaceOrNot) {
  const CompressedEdwardsY identity = EdwardsPoint::identity().compress();
  for (std::size_t n = 0; n <= kMaxBatch; ++n) {
    const std::vector<EdwardsPoint> in = points(n, n);
    std::vector<EdwardsPoint> out(n), in_place = in;
    backend().mul_by_cofactor_many(in, out);
    backend().mul_by_cofactor_many(in_place, in_place);
    for (std::size_t i = 0; i < n; ++i) {
      const CompressedEdwardsY want = in[i].dbl().dbl().dbl().compress();
      EXPECT_EQ(out[i].compress(), want) << n << " " << i;
      EXPECT_EQ(in_place[i].compress(), want) << n << " " << i;
      EXPECT_TRUE(want == identity || crypto_core_ed25519_is_valid_point(want.bytes.data()) == 1) << n << " " << i;
    }
  }
  for (const EdwardsPoint& t : torsion_) {
    std::vector<EdwardsPoint> one{t};
    backend().mul_by_cofactor_many(one, one);
    EXPECT_EQ(one[0].compress(), identity);
  }
}

TEST_P(BackendTest, CompressionSharesOneInversionAndGivesTheSingleEncodings) {
  for (std::size_t n = 0; n <= kMaxBatch; ++n) {
    // Products, so that Z is not 1, small-order points among them.
    std::vector<EdwardsPoint> in = points(n, n);
    for (EdwardsPoint& p : in) p = p.dbl();
    std::vector<CompressedEdwardsY> out(n);
    backend().compress_many(in, out);
    for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(out[i], in[i].compress()) << n << " " << i;
  }
}

TEST_P(BackendTest, DecompressionFlagsExactlyTheBadEncodings) {
  // y = 2 is no point; y = p + 1 is a non-canonical encoding of the identity;
  // 2^255 - 1 has y = 2^255 - 1 >= p, 0 is the point with y = 0 (x^2 = -1).
  const CompressedEdwardsY bad{hex<32>("0200000000000000000000000000000000000000000000000000000000000000")};
  const CompressedEdwardsY edges[] = {
      {hex<32>("eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f")},
      {hex<32>("ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff")},
      {hex<32>("0000000000000000000000000000000000000000000000000000000000000000")},
      {hex<32>("0100000000000000000000000000000000000000000000000000000000000080")},
  };
  for (std::size_t n = 0; n <= kMaxBatch; ++n) {
    for (std::size_t bad_at = 0; bad_at < std::max<std::size_t>(n, 1); ++bad_at) {
      std::vector<CompressedEdwardsY> in(n);
      const std::vector<EdwardsPoint> ps = points(n, bad_at);
      for (std::size_t i = 0; i < n; ++i) in[i] = ps[i].compress();
      if (n > 1) in[(bad_at + 1) % n] = edges[bad_at % 4];
      if (n > 0) in[bad_at] = bad;
      std::vector<EdwardsPoint> out(n);
      std::vector<Choice> valid(n);
      backend().decompress_many(in, out, valid);
      for (std::size_t i = 0; i < n; ++i) {
        const auto want = in[i].decompress();
        ASSERT_EQ(valid[i].declassify(), want.has_value()) << n << " " << i;
        if (want) EXPECT_EQ(out[i].compress(), want->compress()) << n << " " << i;
      }
    }
  }
}

TEST_P(BackendTest, UniformBytesToPointMatchesTheSingleMap) {
  const Representative edges[] = {
      hex<32>("0000000000000000000000000000000000000000000000000000000000000000"),
      hex<32>("edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"),  // p
      hex<32>("edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff"),  // p, top bit set
      hex<32>("ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff"),
  };
  for (std::size_t n = 0; n <= kMaxBatch; ++n) {
    std::vector<Representative> in(n);
    for (std::size_t i = 0; i < n; ++i) in[i] = random_bytes<32>();
    if (n != 0) in[n / 2] = edges[n % 4];
    std::vector<EdwardsPoint> out(n);
    std::vector<Choice> on_curve(n);
    backend().uniform_bytes_to_point_many(in, out, on_curve);
    for (std::size_t i = 0; i < n; ++i) {
      const MappedPoint want = uniform_bytes_to_point(in[i]);
      EXPECT_TRUE(on_curve[i].declassify()) << n << " " << i;
      EXPECT_EQ(out[i].compress(), want.point.compress()) << n << " " << i;
    }
  }
}

TEST_P(BackendTest, PointToUniformBytesMatchesTheSingleMapOnBothBranches) {
  for (std::size_t n = 0; n <= kMaxBatch; ++n) {
    // Every small-order point, among them the identity and (0, -1) that have
    // no representative, passes through position n % 8 over the lengths.
    std::vector<EdwardsPoint> in = points(n, n);
    for (EdwardsPoint& p : in) p = p.dbl() + p;  // Z != 1
    std::vector<Choice> branches(n);
    for (std::size_t i = 0; i < n; ++i) branches[i] = Choice::from_bit(static_cast<std::uint8_t>((i + n) & 1));
    std::vector<Representative> out(n);
    std::vector<Choice> valid(n);
    backend().point_to_uniform_bytes_many(in, branches, out, valid);
    for (std::size_t i = 0; i < n; ++i) {
      const auto want = point_to_uniform_bytes(in[i], branches[i]);
      ASSERT_EQ(valid[i].declassify(), want.has_value()) << n << " " << i;
      if (want) EXPECT_EQ(out[i], *want) << n << " " << i;
    }
  }
}

}  // namespace
}  // namespace vorlinde::curve
