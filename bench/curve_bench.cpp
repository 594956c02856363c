// edwards25519 primitives, ours beside libsodium's. BM_X is compared with
// BM_Sodium_X. libsodium's public point functions take and return encodings
// (and its variable-base one also checks subgroup membership), so the
// "Encoded" variants of ours include the same decode/encode work; the bare
// routines are compared with libsodium's internal ones.
// After the run a table of ns/op and ours/libsodium ratios is printed, as
// median and minimum when run with --benchmark_repetitions=N.

#include <benchmark/benchmark.h>
#include <sodium.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <array>
#include <cstdio>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "curve/backend.hpp"
#include "curve/edwards.hpp"

// libsodium's internal edwards25519 layer (ref10 with 5 x 51-bit limbs on
// x86-64), global symbols of the static library. Its field multiplication and
// squaring are inline-only: ge25519_p1p1_to_p3 (exactly four multiplications)
// stands in for multiplication and inversion (254 squarings, 11
// multiplications) for squaring.
extern "C" {
typedef std::uint64_t fe25519[5];
typedef struct {
  fe25519 X, Y, Z, T;
} ge25519_p3;
typedef ge25519_p3 ge25519_p1p1;  // same layout: (X:Z), (Y:T)
void ge25519_p1p1_to_p3(ge25519_p3* r, const ge25519_p1p1* p);
void fe25519_invert(fe25519 out, const fe25519 z);
int ge25519_frombytes(ge25519_p3* h, const unsigned char* s);
void ge25519_p3_tobytes(unsigned char* s, const ge25519_p3* h);
void ge25519_scalarmult(ge25519_p3* h, const unsigned char* a, const ge25519_p3* p);
void ge25519_scalarmult_base(ge25519_p3* h, const unsigned char* a);
}

namespace {

using namespace vorlinde::curve;

// With repetitions, the minimum is reported beside the median: on a shared
// machine it is the figure least disturbed by other processes.
double min_of(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }
#define CURVE_BENCHMARK(fn) BENCHMARK(fn)->ComputeStatistics("min", min_of)
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

FieldElement random_fe() {
  Bytes b;
  randombytes_buf(b.data(), b.size());
  return FieldElement::from_bytes(b);
}

// ---- field ----

void BM_FieldMul(benchmark::State& state) {
  FieldElement a = random_fe();
  const FieldElement b = random_fe();
  for (auto _ : state) {
    a = a * b;
    benchmark::DoNotOptimize(a);
  }
}
CURVE_BENCHMARK(BM_FieldMul);

// Four independent multiplications, as libsodium's completed-to-extended
// conversion; behind a call like libsodium's.
[[gnu::noinline]] void completed_to_extended(EdwardsPoint* r, const CompletedPoint* p) { *r = p->to_extended(); }

void BM_FieldMul4(benchmark::State& state) {
  CompletedPoint p{random_fe(), random_fe(), random_fe(), random_fe()};
  EdwardsPoint r;
  for (auto _ : state) {
    completed_to_extended(&r, &p);
    p = {r.X, r.Y, r.Z, r.T};
  }
  benchmark::DoNotOptimize(r);
}
CURVE_BENCHMARK(BM_FieldMul4);

void BM_Sodium_FieldMul4(benchmark::State& state) {
  ge25519_p1p1 p;
  const FieldElement init[4] = {random_fe(), random_fe(), random_fe(), random_fe()};
  for (int i = 0; i < 5; ++i) {
    p.X[i] = init[0].limbs()[i];
    p.Y[i] = init[1].limbs()[i];
    p.Z[i] = init[2].limbs()[i];
    p.T[i] = init[3].limbs()[i];
  }
  ge25519_p3 r;
  for (auto _ : state) {
    ge25519_p1p1_to_p3(&r, &p);
    p = r;
  }
  benchmark::DoNotOptimize(r);
}
CURVE_BENCHMARK(BM_Sodium_FieldMul4);

void BM_FieldSquare(benchmark::State& state) {
  FieldElement a = random_fe();
  for (auto _ : state) {
    a = a.square();
    benchmark::DoNotOptimize(a);
  }
}
CURVE_BENCHMARK(BM_FieldSquare);

void BM_FieldInvert(benchmark::State& state) {
  FieldElement a = random_fe();
  for (auto _ : state) {
    a = invert(a);
    benchmark::DoNotOptimize(a);
  }
}
CURVE_BENCHMARK(BM_FieldInvert);

void BM_Sodium_FieldInvert(benchmark::State& state) {
  const FieldElement a = random_fe();
  fe25519 x;
  for (int i = 0; i < 5; ++i) x[i] = a.limbs()[i];
  for (auto _ : state) {
    fe25519_invert(x, x);
    benchmark::DoNotOptimize(x);
  }
}
CURVE_BENCHMARK(BM_Sodium_FieldInvert);

void BM_FieldSqrtRatio(benchmark::State& state) {
  const FieldElement u = random_fe(), v = random_fe();
  for (auto _ : state) benchmark::DoNotOptimize(sqrt_ratio_i(u, v));
}
CURVE_BENCHMARK(BM_FieldSqrtRatio);

// ---- encodings ----

void BM_Compress(benchmark::State& state) {
  const EdwardsPoint p = *CompressedEdwardsY{random_point_bytes()}.decompress() * random_scalar();
  for (auto _ : state) benchmark::DoNotOptimize(p.compress());
}
CURVE_BENCHMARK(BM_Compress);

void BM_Sodium_Compress(benchmark::State& state) {
  const Bytes b = random_point_bytes();
  Bytes scalar;
  crypto_core_ed25519_scalar_random(scalar.data());
  ge25519_p3 p, q;
  ge25519_frombytes(&p, b.data());
  ge25519_scalarmult(&q, scalar.data(), &p);  // Z != 1
  Bytes r;
  for (auto _ : state) {
    ge25519_p3_tobytes(r.data(), &q);
    benchmark::DoNotOptimize(r);
  }
}
CURVE_BENCHMARK(BM_Sodium_Compress);

void BM_Decompress(benchmark::State& state) {
  const CompressedEdwardsY c{random_point_bytes()};
  for (auto _ : state) benchmark::DoNotOptimize(c.decompress());
}
CURVE_BENCHMARK(BM_Decompress);

void BM_Sodium_Decompress(benchmark::State& state) {
  const Bytes b = random_point_bytes();
  ge25519_p3 p;
  for (auto _ : state) {
    benchmark::DoNotOptimize(ge25519_frombytes(&p, b.data()));
    benchmark::DoNotOptimize(p);
  }
}
CURVE_BENCHMARK(BM_Sodium_Decompress);

// ---- point addition (encoded in and out, as libsodium's) ----

void BM_AddEncoded(benchmark::State& state) {
  const CompressedEdwardsY a{random_point_bytes()}, b{random_point_bytes()};
  for (auto _ : state) benchmark::DoNotOptimize((*a.decompress() + *b.decompress()).compress());
}
CURVE_BENCHMARK(BM_AddEncoded);

void BM_Sodium_AddEncoded(benchmark::State& state) {
  const Bytes a = random_point_bytes(), b = random_point_bytes();
  Bytes r;
  for (auto _ : state) {
    crypto_core_ed25519_add(r.data(), a.data(), b.data());
    benchmark::DoNotOptimize(r);
  }
}
CURVE_BENCHMARK(BM_Sodium_AddEncoded);

// ---- fixed base ----

void BM_FixedBase(benchmark::State& state) {
  const Scalar k = random_scalar();
  for (auto _ : state) benchmark::DoNotOptimize(ED25519_BASEPOINT_TABLE.mul(k));
}
CURVE_BENCHMARK(BM_FixedBase);

void BM_Sodium_FixedBase(benchmark::State& state) {
  const Scalar k = random_scalar();
  ge25519_p3 r;
  for (auto _ : state) {
    ge25519_scalarmult_base(&r, k.to_bytes().data());
    benchmark::DoNotOptimize(r);
  }
}
CURVE_BENCHMARK(BM_Sodium_FixedBase);

void BM_FixedBaseEncoded(benchmark::State& state) {
  const Scalar k = random_scalar();
  for (auto _ : state) benchmark::DoNotOptimize(ED25519_BASEPOINT_TABLE.mul(k).compress());
}
CURVE_BENCHMARK(BM_FixedBaseEncoded);

void BM_Sodium_FixedBaseEncoded(benchmark::State& state) {
  const Scalar k = random_scalar();
  Bytes r;
  for (auto _ : state) {
    crypto_scalarmult_ed25519_base_noclamp(r.data(), k.to_bytes().data());
    benchmark::DoNotOptimize(r);
  }
}
CURVE_BENCHMARK(BM_Sodium_FixedBaseEncoded);

void BM_FixedBaseRuntimeTable(benchmark::State& state) {
  const EdwardsBasepointTable table =
      EdwardsBasepointTable::create(*CompressedEdwardsY{random_point_bytes()}.decompress());
  const Scalar k = random_scalar();
  for (auto _ : state) benchmark::DoNotOptimize(table.mul(k));
}
CURVE_BENCHMARK(BM_FixedBaseRuntimeTable);

void BM_TableCreate(benchmark::State& state) {
  const EdwardsPoint p = *CompressedEdwardsY{random_point_bytes()}.decompress();
  for (auto _ : state) benchmark::DoNotOptimize(EdwardsBasepointTable::create(p));
}
CURVE_BENCHMARK(BM_TableCreate);

// ---- variable base ----

void BM_VariableBase(benchmark::State& state) {
  const EdwardsPoint p = *CompressedEdwardsY{random_point_bytes()}.decompress();
  const Scalar k = random_scalar();
  for (auto _ : state) benchmark::DoNotOptimize(p * k);
}
CURVE_BENCHMARK(BM_VariableBase);

void BM_Sodium_VariableBase(benchmark::State& state) {
  const Bytes b = random_point_bytes();
  ge25519_p3 p, r;
  ge25519_frombytes(&p, b.data());
  const Scalar k = random_scalar();
  for (auto _ : state) {
    ge25519_scalarmult(&r, k.to_bytes().data(), &p);
    benchmark::DoNotOptimize(r);
  }
}
CURVE_BENCHMARK(BM_Sodium_VariableBase);

void BM_VariableBaseEncoded(benchmark::State& state) {
  const CompressedEdwardsY p{random_point_bytes()};
  const Scalar k = random_scalar();
  for (auto _ : state) benchmark::DoNotOptimize((*p.decompress() * k).compress());
}
CURVE_BENCHMARK(BM_VariableBaseEncoded);

void BM_Sodium_VariableBaseEncoded(benchmark::State& state) {
  const Bytes p = random_point_bytes();
  const Scalar k = random_scalar();
  Bytes r;
  for (auto _ : state) {
    if (crypto_scalarmult_ed25519_noclamp(r.data(), k.to_bytes().data(), p.data()) != 0) state.SkipWithError("refused");
    benchmark::DoNotOptimize(r);
  }
}
CURVE_BENCHMARK(BM_Sodium_VariableBaseEncoded);

// ---- batches, per backend ----
// Each backend this processor runs, called directly (never through the
// active choice), on batches of kBatchSize; the time reported is per point.
// BM_<Op>Batch/<backend> pairs with BM_Sodium_<Op> in the summary.

constexpr std::size_t kBatchSize = 64;

template <class Body>
void per_point(benchmark::State& state, Body&& body) {
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    body();
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    state.SetIterationTime(elapsed.count() / kBatchSize);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kBatchSize));
}

struct BatchInputs {
  std::vector<EdwardsPoint> points;
  std::vector<CompressedEdwardsY> encodings;
  std::vector<Scalar> scalars;
  std::vector<Representative> representatives;
  std::vector<Choice> branches;
  BatchInputs() {
    for (std::size_t i = 0; i < kBatchSize; ++i) {
      const Bytes b = random_point_bytes();
      encodings.push_back(CompressedEdwardsY{b});
      points.push_back(*CompressedEdwardsY{b}.decompress() + EdwardsPoint::identity());
      scalars.push_back(random_scalar());
      Representative r;
      randombytes_buf(r.data(), r.size());
      representatives.push_back(r);
      branches.push_back(Choice::from_bit(static_cast<std::uint8_t>(i & 1)));
    }
  }
};

void register_batch_benchmarks() {
  static const BatchInputs in;
  static const EdwardsBasepointTable run_time_table = EdwardsBasepointTable::create(in.points[0]);
  for (const Backend* b : available_backends()) {
    const std::string suffix = std::string("Batch/") + b->name;
    auto reg = [&](const std::string& op, auto body) {
      benchmark::RegisterBenchmark(("BM_" + op + suffix).c_str(), [b, body](benchmark::State& state) {
        per_point(state, [&] { body(*b); });
      })
          ->UseManualTime()
          // The manual time is per point, a 64th of the real time: without
          // this a run would take 64 times the usual minimum.
          ->MinTime(0.5 / kBatchSize)
          ->ComputeStatistics("min", min_of);
    };
    reg("VariableBase", [](const Backend& be) {
      std::vector<EdwardsPoint> out(kBatchSize);
      be.mul_same_scalar(in.points, in.scalars[0], out);
      benchmark::DoNotOptimize(out.data());
    });
    reg("VariableBaseMany", [](const Backend& be) {
      std::vector<EdwardsPoint> out(kBatchSize);
      be.mul_many(in.points, in.scalars, out);
      benchmark::DoNotOptimize(out.data());
    });
    reg("FixedBase", [](const Backend& be) {
      std::vector<EdwardsPoint> out(kBatchSize);
      be.fixed_base_many(ED25519_BASEPOINT_TABLE, in.scalars, out);
      benchmark::DoNotOptimize(out.data());
    });
    reg("FixedBaseRuntimeTable", [](const Backend& be) {
      std::vector<EdwardsPoint> out(kBatchSize);
      be.fixed_base_many(run_time_table, in.scalars, out);
      benchmark::DoNotOptimize(out.data());
    });
    reg("MulByCofactor", [](const Backend& be) {
      std::vector<EdwardsPoint> out(kBatchSize);
      be.mul_by_cofactor_many(in.points, out);
      benchmark::DoNotOptimize(out.data());
    });
    reg("Compress", [](const Backend& be) {
      std::vector<CompressedEdwardsY> out(kBatchSize);
      be.compress_many(in.points, out);
      benchmark::DoNotOptimize(out.data());
    });
    reg("Decompress", [](const Backend& be) {
      std::vector<EdwardsPoint> out(kBatchSize);
      std::vector<Choice> valid(kBatchSize);
      be.decompress_many(in.encodings, out, valid);
      benchmark::DoNotOptimize(out.data());
    });
    reg("UniformBytesToPoint", [](const Backend& be) {
      std::vector<EdwardsPoint> out(kBatchSize);
      std::vector<Choice> ok(kBatchSize);
      be.uniform_bytes_to_point_many(in.representatives, out, ok);
      benchmark::DoNotOptimize(out.data());
    });
    reg("PointToUniformBytes", [](const Backend& be) {
      std::vector<Representative> out(kBatchSize);
      std::vector<Choice> valid(kBatchSize);
      be.point_to_uniform_bytes_many(in.points, in.branches, out, valid);
      benchmark::DoNotOptimize(out.data());
    });
  }
}

std::string cpu_model() {
  std::ifstream info("/proc/cpuinfo");
  std::string line;
  while (std::getline(info, line)) {
    if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
  }
  return "unknown";
}

// Collects the median (or single-run) real time of each benchmark for the
// summary table.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      // The full name keeps the arguments apart (BM_OkvsEncode/10000 and /100000).
      std::string name = run.run_name.str();
      for (const char* suffix : {"/manual_time", "/min_time:"}) {
        if (const auto at = name.find(suffix); at != std::string::npos) name.erase(at);
      }
      // Benchmarks report in their own time unit; the table is in ns.
      const double ns = run.GetAdjustedRealTime() * 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
      if (run.run_type == Run::RT_Iteration) {
        single_[name] = ns;  // stands for median and minimum when there are no repetitions
        // Processor time of the whole iteration, least over the repetitions:
        // other processes on a shared machine inflate it less than real time.
        const double cpu = run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
        const auto [slot, fresh] = cpu_min_.emplace(name, cpu);
        if (!fresh) slot->second = std::min(slot->second, cpu);
      } else if (run.aggregate_name == "median") {
        median_[name] = ns;
      } else if (run.aggregate_name == "min") {
        min_[name] = ns;
      }
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    for (const auto& [name, ns] : single_) {
      if (!median_.count(name)) {
        median_[name] = ns;
        min_[name] = ns;
      }
    }
    auto cell = [](const std::map<std::string, double>& column, const std::string& name) {
      const auto found = column.find(name);
      if (found == column.end()) return std::string("-");
      char text[32];
      std::snprintf(text, sizeof text, "%.1f", found->second);
      return std::string(text);
    };
    std::printf("\n%-34s %11s %11s %9s %11s %11s %9s\n", "operation (ns)", "ours med", "sodium med", "ratio",
                "ours min", "sodium min", "ratio");
    for (const auto& [name, ns] : median_) {
      if (name.rfind("BM_Sodium_", 0) == 0) continue;
      const std::string op = name.rfind("BM_", 0) == 0 ? name.substr(3) : name;
      // A batch of one backend pairs with the single-point libsodium routine.
      const std::string sodium = "BM_Sodium_" + op.substr(0, op.find("Batch/"));
      std::printf("%-42s %11.1f %11s", op.c_str(), ns, cell(median_, sodium).c_str());
      const bool paired = median_.count(sodium) != 0;
      if (paired) {
        std::printf(" %9.2f", ns / median_[sodium]);
      } else {
        std::printf(" %9s", "-");
      }
      std::printf(" %11s %11s", cell(min_, name).c_str(), cell(min_, sodium).c_str());
      if (paired && min_.count(name) && min_.count(sodium)) {
        std::printf(" %9.2f\n", min_[name] / min_[sodium]);
      } else {
        std::printf(" %9s\n", "-");
      }
    }
    print_backend_speedups();
  }

 private:
  // Batch entries of each backend against the portable one's: portable time
  // over backend time, by the least real time per point and by the least
  // processor time per batch (the steadier figure on a shared machine).
  void print_backend_speedups() {
    const std::string_view serial = SERIAL_BACKEND.name;
    bool header = false;
    for (const auto& [name, ns] : min_) {
      const auto at = name.find("Batch/");
      if (at == std::string::npos || std::string_view(name).substr(at + 6) == serial) continue;
      std::string base(name, 0, at + 6);
      base.append(serial);
      const auto portable = min_.find(base);
      if (portable == min_.end()) continue;
      if (!header) {
        std::printf("\n%-42s %11s %11s %9s %9s\n", "batch entry, per point (ns, min)", "backend", "portable",
                    "speedup", "cpu");
        header = true;
      }
      std::printf("%-42s %11.1f %11.1f %9.2f", name.c_str() + 3, ns, portable->second, portable->second / ns);
      if (cpu_min_.count(name) && cpu_min_.count(base)) {
        std::printf(" %9.2f\n", cpu_min_[base] / cpu_min_[name]);
      } else {
        std::printf(" %9s\n", "-");
      }
    }
  }




  std::map<std::string, double> single_;
  std::map<std::string, double> median_;
  std::map<std::string, double> min_;
  std::map<std::string, double> cpu_min_;
};

}  // namespace

int main(int argc, char** argv) {
  if (sodium_init() < 0) return 1;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::AddCustomContext("processor", cpu_model());
  benchmark::AddCustomContext("active backend", active_backend().name);
  std::string backends;
  for (const Backend* b : available_backends()) backends += std::string(backends.empty() ? "" : ", ") + b->name;
  benchmark::AddCustomContext("runnable backends", backends);
  register_batch_benchmarks();
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
