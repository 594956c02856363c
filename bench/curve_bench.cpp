// edwards25519 primitives, ours beside libsodium's where it has the same
// public operation. libsodium's point operations take and return encodings,
// so the "Encoded" variants of ours include the same decode/encode work.
// After the run a table of median ns/op and ours/libsodium ratios is printed.

#include <benchmark/benchmark.h>
#include <sodium.h>

#include <array>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "curve/edwards.hpp"

namespace {

using namespace vorlinde::curve;
using Bytes = std::array<std::uint8_t, 32>;

Bytes random_point_bytes() {
  Bytes p;
  crypto_core_ed25519_random(p.data());
  return p;
}

Scalar random_scalar() {
  Bytes s;
  crypto_core_ed25519_scalar_random(s.data());
  return Scalar::from_bits(s);
}

FieldElement51 random_fe() {
  Bytes b;
  randombytes_buf(b.data(), b.size());
  return FieldElement51::from_bytes(b);
}

// ---- field ----

void BM_FieldMul(benchmark::State& state) {
  FieldElement51 a = random_fe();
  const FieldElement51 b = random_fe();
  for (auto _ : state) {
    a = a * b;
    benchmark::DoNotOptimize(a);
  }
}
BENCHMARK(BM_FieldMul);

void BM_FieldSquare(benchmark::State& state) {
  FieldElement51 a = random_fe();
  for (auto _ : state) {
    a = a.square();
    benchmark::DoNotOptimize(a);
  }
}
BENCHMARK(BM_FieldSquare);

void BM_FieldInvert(benchmark::State& state) {
  FieldElement51 a = random_fe();
  for (auto _ : state) {
    a = a.invert();
    benchmark::DoNotOptimize(a);
  }
}
BENCHMARK(BM_FieldInvert);

void BM_FieldSqrtRatio(benchmark::State& state) {
  const FieldElement51 u = random_fe(), v = random_fe();
  for (auto _ : state) benchmark::DoNotOptimize(FieldElement51::sqrt_ratio_i(u, v));
}
BENCHMARK(BM_FieldSqrtRatio);

// ---- encodings ----

void BM_Compress(benchmark::State& state) {
  const EdwardsPoint p = *CompressedEdwardsY{random_point_bytes()}.decompress() * random_scalar();
  for (auto _ : state) benchmark::DoNotOptimize(p.compress());
}
BENCHMARK(BM_Compress);

void BM_Decompress(benchmark::State& state) {
  const CompressedEdwardsY c{random_point_bytes()};
  for (auto _ : state) benchmark::DoNotOptimize(c.decompress());
}
BENCHMARK(BM_Decompress);

// ---- point addition (encoded in and out, as libsodium's) ----

void BM_AddEncoded(benchmark::State& state) {
  const CompressedEdwardsY a{random_point_bytes()}, b{random_point_bytes()};
  for (auto _ : state) benchmark::DoNotOptimize((*a.decompress() + *b.decompress()).compress());
}
BENCHMARK(BM_AddEncoded);

void BM_Sodium_AddEncoded(benchmark::State& state) {
  const Bytes a = random_point_bytes(), b = random_point_bytes();
  Bytes r;
  for (auto _ : state) {
    crypto_core_ed25519_add(r.data(), a.data(), b.data());
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK(BM_Sodium_AddEncoded);

// ---- fixed base ----

void BM_FixedBase(benchmark::State& state) {
  const Scalar k = random_scalar();
  for (auto _ : state) benchmark::DoNotOptimize(ED25519_BASEPOINT_TABLE.mul(k));
}
BENCHMARK(BM_FixedBase);

void BM_FixedBaseEncoded(benchmark::State& state) {
  const Scalar k = random_scalar();
  for (auto _ : state) benchmark::DoNotOptimize(ED25519_BASEPOINT_TABLE.mul(k).compress());
}
BENCHMARK(BM_FixedBaseEncoded);

void BM_Sodium_FixedBaseEncoded(benchmark::State& state) {
  const Scalar k = random_scalar();
  Bytes r;
  for (auto _ : state) {
    crypto_scalarmult_ed25519_base_noclamp(r.data(), k.to_bytes().data());
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK(BM_Sodium_FixedBaseEncoded);

void BM_FixedBaseRuntimeTable(benchmark::State& state) {
  const EdwardsBasepointTable table =
      EdwardsBasepointTable::create(*CompressedEdwardsY{random_point_bytes()}.decompress());
  const Scalar k = random_scalar();
  for (auto _ : state) benchmark::DoNotOptimize(table.mul(k));
}
BENCHMARK(BM_FixedBaseRuntimeTable);

void BM_TableCreate(benchmark::State& state) {
  const EdwardsPoint p = *CompressedEdwardsY{random_point_bytes()}.decompress();
  for (auto _ : state) benchmark::DoNotOptimize(EdwardsBasepointTable::create(p));
}
BENCHMARK(BM_TableCreate);

// ---- variable base ----

void BM_VariableBase(benchmark::State& state) {
  const EdwardsPoint p = *CompressedEdwardsY{random_point_bytes()}.decompress();
  const Scalar k = random_scalar();
  for (auto _ : state) benchmark::DoNotOptimize(p * k);
}
BENCHMARK(BM_VariableBase);

void BM_VariableBaseEncoded(benchmark::State& state) {
  const CompressedEdwardsY p{random_point_bytes()};
  const Scalar k = random_scalar();
  for (auto _ : state) benchmark::DoNotOptimize((*p.decompress() * k).compress());
}
BENCHMARK(BM_VariableBaseEncoded);

void BM_Sodium_VariableBaseEncoded(benchmark::State& state) {
  const Bytes p = random_point_bytes();
  const Scalar k = random_scalar();
  Bytes r;
  for (auto _ : state) {
    if (crypto_scalarmult_ed25519_noclamp(r.data(), k.to_bytes().data(), p.data()) != 0) state.SkipWithError("refused");
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK(BM_Sodium_VariableBaseEncoded);

// Collects the median (or single-run) real time of each benchmark for the
// summary table.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type == Run::RT_Iteration || median) {
        const double ns = run.GetAdjustedRealTime();
        if (median || !ns_.count(run.run_name.function_name)) ns_[run.run_name.function_name] = ns;
      }
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\n%-26s %12s %14s %12s\n", "operation", "ours ns/op", "libsodium ns", "ours/sodium");
    for (const auto& [name, ns] : ns_) {
      if (name.rfind("BM_Sodium_", 0) == 0) continue;
      const std::string op = name.substr(3);
      const auto other = ns_.find("BM_Sodium_" + op);
      if (other == ns_.end()) {
        std::printf("%-26s %12.1f %14s %12s\n", op.c_str(), ns, "-", "-");
      } else {
        std::printf("%-26s %12.1f %14.1f %12.2f\n", op.c_str(), ns, other->second, ns / other->second);
      }
    }
  }

 private:
  std::map<std::string, double> ns_;
};

}  // namespace

int main(int argc, char** argv) {
  if (sodium_init() < 0) return 1;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
