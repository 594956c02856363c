// The AVX-512 IFMA kernels on batches of n points (n = 64, 256), reported per
// point ("per_point" counter, seconds) beside the one-point portable and
// libsodium figures of curve_bench.cpp (BM_VariableBase, BM_FixedBase, ...).
// Skipped, with a message, where the processor lacks IFMA.

#include <benchmark/benchmark.h>
#include <sodium.h>

#include <array>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

#include "curve/backend.hpp"
#include "curve/backend/vector/kernel_table.hpp"
#include "curve/edwards.hpp"

namespace {

using namespace vorlinde::curve;
namespace ifma = backend::ifma;
namespace vector = backend::vector;

bool usable(benchmark::State& state) {
  if (features_of(this_processor_facts()).ifma) return true;
  state.SkipWithError("no AVX-512 IFMA on this processor");
  return false;
}

void per_point(benchmark::State& state, std::size_t n) {
  state.counters["per_point"] =
      benchmark::Counter(static_cast<double>(n),
                         benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

vector::PointLimbs to_limbs(const EdwardsPoint& p) {
  vector::PointLimbs l;
  for (int i = 0; i < 5; ++i) {
    l.X[i] = p.X.limbs()[i], l.Y[i] = p.Y.limbs()[i], l.Z[i] = p.Z.limbs()[i], l.T[i] = p.T.limbs()[i];
  }
  return l;
}

std::array<std::uint8_t, 32> random_point_bytes() {
  std::array<std::uint8_t, 32> p;
  crypto_core_ed25519_random(p.data());
  return p;
}

std::vector<vector::PointLimbs> random_points(std::size_t n) {
  std::vector<vector::PointLimbs> out;
  for (std::size_t i = 0; i < n; ++i)
    out.push_back(to_limbs(*CompressedEdwardsY{random_point_bytes()}.decompress() + ED25519_BASEPOINT_POINT));
  return out;
}

std::vector<std::int8_t> random_digits(std::size_t n) {
  std::vector<std::int8_t> out;
  for (std::size_t i = 0; i < n; ++i) {
    std::array<std::uint8_t, 32> s;
    crypto_core_ed25519_scalar_random(s.data());
    const auto d = Scalar::from_bits(s).as_radix_16();
    out.insert(out.end(), d.begin(), d.end());
  }
  return out;
}

void BM_IfmaFieldMul(benchmark::State& state) {
  if (!usable(state)) return;
  std::uint64_t a[8][5], b[8][5];
  for (int j = 0; j < 8; ++j)
    for (int i = 0; i < 5; ++i) a[j][i] = b[j][i] = (std::uint64_t{1} << 51) - 1 - 77 * j - i;
  vector::FieldProbeResult r;
  // Through the test probe, so this includes gathering and encoding; pow2k(64)
  // below is the figure for the squaring chain itself.
  for (auto _ : state) {
    ifma::kKernels.field_probe(vector::FieldProbeOp::kMul, a[0], b[0], 0, &r);
    benchmark::DoNotOptimize(r);
  }
  per_point(state, 8);
}
BENCHMARK(BM_IfmaFieldMul);

void BM_IfmaFieldSquare64(benchmark::State& state) {
  if (!usable(state)) return;
  std::uint64_t a[8][5];
  for (int j = 0; j < 8; ++j)
    for (int i = 0; i < 5; ++i) a[j][i] = (std::uint64_t{1} << 51) - 1 - 77 * j - i;
  vector::FieldProbeResult r;
  for (auto _ : state) {
    ifma::kKernels.field_probe(vector::FieldProbeOp::kPow2k, a[0], a[0], 64, &r);
    benchmark::DoNotOptimize(r);
  }
  per_point(state, 8 * 64);  // per lane and squaring
}
BENCHMARK(BM_IfmaFieldSquare64);

void BM_IfmaVariableBase(benchmark::State& state) {
  if (!usable(state)) return;
  const std::size_t n = state.range(0);
  const auto points = random_points(n);
  const auto digits = random_digits(n);
  std::vector<vector::PointLimbs> out(n);
  for (auto _ : state) {
    ifma::kKernels.variable_base(points.data(), digits.data(), 64, n, out.data());
    benchmark::DoNotOptimize(out.data());
  }
  per_point(state, n);
}
BENCHMARK(BM_IfmaVariableBase)->Arg(64)->Arg(256);

void BM_IfmaFixedBase(benchmark::State& state) {
  if (!usable(state)) return;
  const std::size_t n = state.range(0);
  const vector::KernelTable& k = ifma::kKernels;
  const auto multiples = affine_niels_multiples(ED25519_BASEPOINT_POINT, 1 << (k.fixed_window_bits - 1),
                                                k.fixed_window_bits, k.fixed_digits);
  constexpr std::align_val_t kAlign{64};
  std::unique_ptr<void, void (*)(void*)> lanes(::operator new(k.fixed_table_bytes, kAlign),
                                               [](void* p) { ::operator delete(p, kAlign); });
  k.fixed_table_fill(reinterpret_cast<const vector::NielsLimbs*>(multiples.data()), lanes.get());
  std::vector<std::int8_t> digits;
  for (std::size_t i = 0; i < n; ++i) {
    std::array<std::uint8_t, 32> s;
    crypto_core_ed25519_scalar_random(s.data());
    const auto d = Scalar::from_bits(s).as_radix_2w<6>();
    digits.insert(digits.end(), d.begin(), d.end());
  }
  std::vector<vector::PointLimbs> out(n);
  for (auto _ : state) {
    k.fixed_base(lanes.get(), digits.data(), n, out.data());
    benchmark::DoNotOptimize(out.data());
  }
  per_point(state, n);
}
BENCHMARK(BM_IfmaFixedBase)->Arg(64)->Arg(256);

void BM_IfmaCompress(benchmark::State& state) {
  if (!usable(state)) return;
  const std::size_t n = state.range(0);
  const auto points = random_points(n);
  std::vector<std::uint8_t> out(32 * n);
  for (auto _ : state) {
    ifma::kKernels.compress(points.data(), n, out.data());
    benchmark::DoNotOptimize(out.data());
  }
  per_point(state, n);
}
BENCHMARK(BM_IfmaCompress)->Arg(64)->Arg(256);

void BM_IfmaDecompress(benchmark::State& state) {
  if (!usable(state)) return;
  const std::size_t n = state.range(0);
  std::vector<std::uint8_t> in;
  for (std::size_t i = 0; i < n; ++i) {
    const auto b = random_point_bytes();
    in.insert(in.end(), b.begin(), b.end());
  }
  std::vector<vector::PointLimbs> out(n);
  std::vector<std::uint8_t> valid(n);
  for (auto _ : state) {
    ifma::kKernels.decompress(in.data(), n, out.data(), valid.data());
    benchmark::DoNotOptimize(out.data());
  }
  per_point(state, n);
}
BENCHMARK(BM_IfmaDecompress)->Arg(64)->Arg(256);

void BM_IfmaUniformBytesToPoint(benchmark::State& state) {
  if (!usable(state)) return;
  const std::size_t n = state.range(0);
  std::vector<std::uint8_t> in(32 * n);
  randombytes_buf(in.data(), in.size());
  std::vector<vector::PointLimbs> out(n);
  std::vector<std::uint8_t> ok(n);
  for (auto _ : state) {
    ifma::kKernels.uniform_bytes_to_point(in.data(), n, out.data(), ok.data());
    benchmark::DoNotOptimize(out.data());
  }
  per_point(state, n);
}
BENCHMARK(BM_IfmaUniformBytesToPoint)->Arg(64)->Arg(256);

void BM_IfmaPointToUniformBytes(benchmark::State& state) {
  if (!usable(state)) return;
  const std::size_t n = state.range(0);
  const auto points = random_points(n);
  std::vector<std::uint8_t> branch(n), out(32 * n), valid(n);
  randombytes_buf(branch.data(), n);
  for (auto& b : branch) b &= 1;
  for (auto _ : state) {
    ifma::kKernels.point_to_uniform_bytes(points.data(), branch.data(), n, out.data(), valid.data());
    benchmark::DoNotOptimize(out.data());
  }
  per_point(state, n);
}
BENCHMARK(BM_IfmaPointToUniformBytes)->Arg(64)->Arg(256);

}  // namespace
