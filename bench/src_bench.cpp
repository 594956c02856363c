// Ciphertext::zero and the representative maps, and the parts of a
// build_okvs row (BM_BuildOkvsRow/*: one task's batch of 64 values and each
// step of it alone, per item; a row costs about 4 first-test candidates, 2
// second-test ones and its share of the encoder, BM_OkvsEncode). Each map's line also carries
// the literal composition (tests/cpp/src/point_conversion_oracle.hpp) timed
// after the loop, as literal_ns and fast/literal; zero's line carries the mean
// number of attempts per value.

#include <benchmark/benchmark.h>
#include <sodium.h>

#include <array>
#include <chrono>
#include <span>
#include <string>
#include <vector>

#include "curve/backend.hpp"
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

// The steps of Ciphertext::zero_many on the active backend, each on a batch
// of 64 as a build_okvs task runs them; time per item.
constexpr std::size_t kRowBatch = 64;
struct RowInputs {
  curve::EdwardsBasepointTable public_key =
      curve::EdwardsBasepointTable::create(curve::ED25519_BASEPOINT_TABLE * random_scalar());
  std::vector<Scalar> scalars = std::vector<Scalar>(kRowBatch, random_scalar());
  std::vector<EdwardsPoint> points = representable_points();
  std::vector<curve::Choice> branches = std::vector<curve::Choice>(kRowBatch, curve::Choice::from_bit(1));
  std::vector<curve::Choice> valid = std::vector<curve::Choice>(kRowBatch);
  std::vector<Representative> reps = std::vector<Representative>(kRowBatch);
  std::vector<Ciphertext> values = std::vector<Ciphertext>(kRowBatch);
};
RowInputs& row() {
  static RowInputs inputs;
  return inputs;
}

void register_build_okvs_row() {
  const std::pair<const char*, void (*)()> steps[] = {
      {"values", [] { Ciphertext::zero_many(row().public_key, row().values); }},
      {"scalars", [] { for (Scalar& k : row().scalars) k = Scalar::random(); }},
      {"fixed_base_G",
       [] {
         curve::fixed_base_many(curve::ED25519_BASEPOINT_TABLE, row().scalars,
                                std::span(row().points).first(kRowBatch));
       }},
      {"fixed_base_public_key",
       [] { curve::fixed_base_many(row().public_key, row().scalars, std::span(row().points).first(kRowBatch)); }},
      {"representatives", [] {
         const auto p = std::span<const EdwardsPoint>(row().points).first(kRowBatch);
         curve::point_to_uniform_bytes_many(p, row().branches, row().reps, row().valid);
       }},
  };
  for (const auto& [name, step] : steps) {
    benchmark::RegisterBenchmark((std::string("BM_BuildOkvsRow/") + name).c_str(), [step](benchmark::State& state) {
      step();  // inputs made and lane tables built outside the timing
      const std::uint64_t before = Ciphertext::zero_attempts_on_this_thread();
      for (auto _ : state) step();
      const double items = static_cast<double>(state.iterations()) * kRowBatch;
      state.counters["per_item"] = benchmark::Counter(items, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
      const auto attempts = Ciphertext::zero_attempts_on_this_thread() - before;
      if (attempts != 0) state.counters["G tries/value"] = static_cast<double>(attempts) / items;
    });
  }
}
const int registered = (register_build_okvs_row(), 0);

// What a new public key costs build_okvs before its first batch: the table,
// and on a vector backend the lane table built on its first use.
void BM_BuildOkvsNewKey(benchmark::State& state) {
  for (auto _ : state) {
    const auto table = curve::EdwardsBasepointTable::create(curve::ED25519_BASEPOINT_TABLE * random_scalar());
    curve::fixed_base_many(table, std::span(row().scalars).first(8), std::span(row().points).first(8));
  }
}
BENCHMARK(BM_BuildOkvsNewKey)->Unit(benchmark::kMicrosecond);

}  // namespace
