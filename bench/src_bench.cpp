// Ciphertext::zero and the representative maps. Each map's line also carries
// the literal composition (tests/cpp/src/point_conversion_oracle.hpp) timed
// after the loop, as literal_ns and fast/literal; zero's line carries the mean
// number of attempts per value.

#include <benchmark/benchmark.h>
#include <sodium.h>

#include <array>
#include <chrono>
#include <vector>

#include "curve/edwards.hpp"
#include "src/ciphertexts.hpp"
#include "src/point_conversion.hpp"
#include "tests/cpp/src/point_conversion_oracle.hpp"

namespace {

using namespace vorlinde;
using curve::EdwardsPoint;
using curve::Scalar;

constexpr std::size_t kInputs = 256;

Scalar random_scalar() {
  std::array<std::uint8_t, 64> wide;
  randombytes_buf(wide.data(), wide.size());
  return Scalar::from_bytes_mod_order_wide(wide);
}

std::vector<Representative> random_strings() {
  std::vector<Representative> out(kInputs);
  for (Representative& r : out) randombytes_buf(r.data(), r.size());
  return out;
}

// Points that have a representative, so both versions do the whole work.
std::vector<EdwardsPoint> representable_points() {
  std::vector<EdwardsPoint> out;
  while (out.size() < kInputs) {
    const EdwardsPoint p = curve::ED25519_BASEPOINT_TABLE * random_scalar();
    if (point_to_uniform_bytes(p, curve::Choice::from_bit(0))) out.push_back(p);
  }
  return out;
}

// ns per call of f over the inputs, outside the benchmark loop.
template <class Inputs, class F>
double time_per_call(const Inputs& inputs, F&& f) {
  constexpr int kRounds = 8;
  const auto start = std::chrono::steady_clock::now();
  for (int round = 0; round < kRounds; ++round) {
    for (const auto& input : inputs) benchmark::DoNotOptimize(f(input));
  }
  const std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - start;
  return elapsed.count() / (kRounds * inputs.size());
}

template <class Inputs, class F, class G>
void compare_with_literal(benchmark::State& state, const Inputs& inputs, F&& fast, G&& literal) {
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(fast(inputs[i]));
    i = (i + 1) % inputs.size();
  }
  const double fast_ns = time_per_call(inputs, fast);
  const double literal_ns = time_per_call(inputs, literal);
  state.counters["literal_ns"] = literal_ns;
  state.counters["fast/literal"] = fast_ns / literal_ns;
}

void BM_UniformBytesToPoint(benchmark::State& state) {
  const auto inputs = random_strings();
  compare_with_literal(
      state, inputs, [](const Representative& r) { return uniform_bytes_to_point(r); },
      [](const Representative& r) { return oracle::uniform_bytes_to_point(r); });
}
BENCHMARK(BM_UniformBytesToPoint);

void BM_PointToUniformBytes(benchmark::State& state) {
  const auto inputs = representable_points();
  const curve::Choice branch = curve::Choice::from_bit(1);
  compare_with_literal(
      state, inputs, [&](const EdwardsPoint& p) { return point_to_uniform_bytes(p, branch); },
      [&](const EdwardsPoint& p) { return oracle::point_to_uniform_bytes(p, branch); });
}
BENCHMARK(BM_PointToUniformBytes);

void BM_CiphertextZero(benchmark::State& state) {
  const auto table = curve::EdwardsBasepointTable::create(curve::ED25519_BASEPOINT_TABLE * random_scalar());
  const std::uint64_t before = Ciphertext::zero_attempts_on_this_thread();
  for (auto _ : state) benchmark::DoNotOptimize(Ciphertext::zero(table));
  state.counters["values/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["attempts/value"] =
      static_cast<double>(Ciphertext::zero_attempts_on_this_thread() - before) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_CiphertextZero);

}  // namespace
