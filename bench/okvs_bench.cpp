// Store encoding and decoding with 64-byte values, one thread. Rates are keys
// per second; the three sizes show whether encoding stays linear in n.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "okvs/schemes/paxos.hpp"
#include "runtime/rng.hpp"

namespace {

using vorlinde::okvs::KeyBuffer;

struct BenchKey {
  std::string bytes;
  void write_key_bytes(KeyBuffer& out) const { out.insert(out.end(), bytes.begin(), bytes.end()); }
};

struct BenchValue {
  std::array<std::uint8_t, 64> b{};
  static BenchValue random() {
    BenchValue v;
    vorlinde::runtime::fill_random(v.b);
    return v;
  }
  std::array<std::uint8_t, 64> to_bytes() const { return b; }
  static BenchValue from_bytes(std::span<const std::uint8_t> bytes) {
    BenchValue v;
    std::copy_n(bytes.begin(), 64, v.b.begin());
    return v;
  }
  BenchValue& operator^=(const BenchValue& o) {
    for (std::size_t i = 0; i < 64; ++i) b[i] ^= o.b[i];
    return *this;
  }
  friend BenchValue operator^(BenchValue x, const BenchValue& y) { return x ^= y; }
};

using Store = vorlinde::okvs::Paxos<BenchValue>;
using Pairs = std::vector<std::pair<BenchKey, BenchValue>>;

// Keys shaped like row keys: a few short fields joined.
Pairs make_pairs(std::size_t n) {
  Pairs pairs;
  pairs.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    pairs.emplace_back(BenchKey{"GB29NWBK6016133192" + std::to_string(i) + "Jane Doe"}, BenchValue::random());
  }
  return pairs;
}

void BM_OkvsEncode(benchmark::State& state) {
  const Pairs pairs = make_pairs(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    Store store = Store::encode<BenchKey>(pairs);
    benchmark::DoNotOptimize(store.dense.data());
  }
  state.counters["keys/s"] =
      benchmark::Counter(static_cast<double>(pairs.size()), benchmark::Counter::kIsIterationInvariantRate);
}

void BM_OkvsDecode(benchmark::State& state) {
  const Pairs pairs = make_pairs(static_cast<std::size_t>(state.range(0)));
  const Store store = Store::encode<BenchKey>(pairs);
  for (auto _ : state) {
    for (const auto& pair : pairs) {
      BenchValue v = store.decode(pair.first);
      benchmark::DoNotOptimize(v);
    }
  }
  state.counters["keys/s"] =
      benchmark::Counter(static_cast<double>(pairs.size()), benchmark::Counter::kIsIterationInvariantRate);
}

BENCHMARK(BM_OkvsEncode)->Arg(10'000)->Arg(100'000)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(BM_OkvsEncode)->Arg(1'000'000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_OkvsDecode)->Arg(10'000)->Arg(100'000)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(BM_OkvsDecode)->Arg(1'000'000)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
