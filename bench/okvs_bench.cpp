// Store encoding and decoding on one thread, with the system's own key and
// value types (row keys of two fields, 64-byte ciphertexts). Rates are keys per
// second. Encode/previous is the encoder as it was before its stages were split
// out (tests/cpp/okvs/previous_encoder.hpp), run on the same keys for the
// before-and-after figures. Every encode line also reports peak_B/key: the
// most memory the encoder held above what the pairs take, per key (resident
// set high-water mark over an untimed first run, with freed memory returned
// to the system before it).
//
// Encode/stages times the stages of one attempt separately (milliseconds per
// stage, as counters); attempts that fail are redone with fresh seeds.

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "okvs/schemes/paxos.hpp"
#include "runtime/rng.hpp"
#include "src/ciphertexts.hpp"
#include "src/data_rows.hpp"
#include "tests/cpp/okvs/previous_encoder.hpp"

namespace {

using namespace vorlinde;
using Store = okvs::Paxos<Ciphertext>;
// On a table, as the encoder of an owned store reads its pairs.
using Pairs = okvs::Table<std::pair<DataRow, Ciphertext>>;

// Row keys shaped like the matching columns: an account number and a name.
const Pairs& pairs_of(std::size_t n) {
  static std::size_t made = 0;
  static Pairs pairs;
  if (made != n) {
    pairs = {};
    pairs.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
      pairs.emplace_back(DataRow(Row{"GB29NWBK" + std::to_string(60161331926819ULL + i), "Jane Doe"}),
                         Ciphertext::random());
    }
    made = n;
  }
  return pairs;
}

// Resident-set high-water mark and current size, in bytes.
std::uint64_t status_kib(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::string prefix = std::string(field) + ":";
  while (std::getline(status, line)) {
    if (line.rfind(prefix, 0) == 0) return std::stoull(line.substr(prefix.size()));
  }
  return 0;
}

void reset_peak() { std::ofstream("/proc/self/clear_refs") << "5"; }

template <class Encode>
void run_encode(benchmark::State& state, Encode&& encode) {
  const Pairs& pairs = pairs_of(static_cast<std::size_t>(state.range(0)));
  const std::span<const std::pair<DataRow, Ciphertext>> view(pairs);
  // One untimed run first, which also measures the peak: the first use of
  // fresh memory costs far more on these virtual machines than any later
  // one, so the timed runs reuse what it freed.
  malloc_trim(0);  // what earlier runs freed goes back, so that reuse cannot hide a peak
  reset_peak();
  const std::uint64_t before = status_kib("VmRSS");
  benchmark::DoNotOptimize(encode(view).dense.data());
  const std::uint64_t high = status_kib("VmHWM");
  const double peak = high > before ? 1024.0 * static_cast<double>(high - before) : 0.0;
  for (auto _ : state) {
    Store store = encode(view);
    benchmark::DoNotOptimize(store.dense.data());
  }
  state.counters["keys/s"] =
      benchmark::Counter(static_cast<double>(pairs.size()), benchmark::Counter::kIsIterationInvariantRate);
  state.counters["peak_B/key"] = peak / static_cast<double>(std::max<std::size_t>(pairs.size(), 1));
}

void BM_OkvsEncode(benchmark::State& state) {
  run_encode(state, [](auto pairs) { return Store::encode<DataRow>(pairs); });
}

void BM_OkvsEncodePrevious(benchmark::State& state) {
  run_encode(state, [](auto pairs) { return okvs::testing::previous_encode<Ciphertext, DataRow>(pairs); });
}

void BM_OkvsEncodeStages(benchmark::State& state) {
  using Index = std::uint32_t;
  const Pairs& pairs = pairs_of(static_cast<std::size_t>(state.range(0)));
  const std::span<const std::pair<DataRow, Ciphertext>> view(pairs);
  const std::uint64_t m = okvs::sparse_size(pairs.size());
  const okvs::PairKeys<DataRow, Ciphertext> keys{view};
  Store::PairValues<DataRow> values{view};
  const auto value_at = [&](std::size_t e) -> const Ciphertext& { return pairs[e].second; };
  benchmark::DoNotOptimize(Store::encode<DataRow>(view).dense.data());  // untimed, as in run_encode
  double place = 0, tally = 0, peel = 0, core = 0, fill = 0;
  using Clock = std::chrono::steady_clock;
  const auto ms = [](Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
  };
  for (auto _ : state) {
    for (;;) {
      runtime::CancellationTicker ticker(okvs::kPollEvery);
      const okvs::Seeds seeds{runtime::next_u64(), runtime::next_u64(), runtime::next_u64()};
      okvs::HashPlacement hash;
      const auto t0 = Clock::now();
      auto edges = okvs::place_keys<Index>(keys, seeds, m, hash, ticker);
      const auto t1 = Clock::now();
      auto tallies = okvs::tally_edges<Index>(edges, m, ticker);
      const auto t2 = Clock::now();
      auto order = okvs::peel<Index>(tallies, edges, ticker);
      tallies = {};
      const auto t3 = Clock::now();
      const auto core_list = okvs::core_edges<Index>(order, pairs.size());
      auto solved = okvs::solve_core<Ciphertext, Index>(core_list, edges, value_at, m);
      const auto t4 = Clock::now();
      if (solved.failure != okvs::AttemptFailure::none) continue;
      edges = {};
      okvs::SlotVector<Ciphertext> sparse(m), dense(okvs::kDenseSlots);
      okvs::back_fill<Ciphertext, Index>(order, values, std::move(solved.values), m, std::span<Ciphertext>(sparse),
                                         std::span<Ciphertext>(dense), ticker);
      benchmark::DoNotOptimize(sparse.data());
      const auto t5 = Clock::now();
      place += ms(t0, t1);
      tally += ms(t1, t2);
      peel += ms(t2, t3);
      core += ms(t3, t4);
      fill += ms(t4, t5);
      break;
    }
  }
  const double runs = static_cast<double>(state.iterations());
  state.counters["place_ms"] = place / runs;
  state.counters["tally_ms"] = tally / runs;
  state.counters["peel_ms"] = peel / runs;
  state.counters["core_ms"] = core / runs;
  state.counters["backfill_ms"] = fill / runs;
}

std::vector<DataRow> keys_of(const Pairs& pairs) {
  std::vector<DataRow> keys;
  keys.reserve(pairs.size());
  for (const auto& pair : pairs) keys.push_back(pair.first);
  return keys;
}

void BM_OkvsDecode(benchmark::State& state) {
  const Pairs& pairs = pairs_of(static_cast<std::size_t>(state.range(0)));
  const Store store = Store::encode<DataRow>(std::span<const std::pair<DataRow, Ciphertext>>(pairs));
  for (auto _ : state) {
    for (const auto& pair : pairs) {
      Ciphertext v = store.decode(pair.first);
      benchmark::DoNotOptimize(v);
    }
  }
  state.counters["keys/s"] =
      benchmark::Counter(static_cast<double>(pairs.size()), benchmark::Counter::kIsIterationInvariantRate);
}

// In chunks of 64 keys, as initiate_queries hands them over.
void BM_OkvsDecodeMany(benchmark::State& state) {
  const Pairs& pairs = pairs_of(static_cast<std::size_t>(state.range(0)));
  const Store store = Store::encode<DataRow>(std::span<const std::pair<DataRow, Ciphertext>>(pairs));
  const std::vector<DataRow> keys = keys_of(pairs);
  std::vector<Ciphertext> out(64);
  for (auto _ : state) {
    for (std::size_t begin = 0; begin < keys.size(); begin += 64) {
      const std::size_t count = std::min<std::size_t>(64, keys.size() - begin);
      store.decode_many(std::span<const DataRow>(keys.data() + begin, count), std::span<Ciphertext>(out.data(), count));
      benchmark::DoNotOptimize(out.data());
    }
  }
  state.counters["keys/s"] =
      benchmark::Counter(static_cast<double>(pairs.size()), benchmark::Counter::kIsIterationInvariantRate);
}

// Medians of five runs.
void sizes(benchmark::internal::Benchmark* b) {
  b->Unit(benchmark::kMillisecond)->Arg(10'000)->Arg(100'000)->Arg(1'000'000)->MinTime(0.3);
  b->Repetitions(5)->ReportAggregatesOnly(true);
}

BENCHMARK(BM_OkvsEncodePrevious)->Apply(sizes);
BENCHMARK(BM_OkvsEncode)->Apply(sizes);
BENCHMARK(BM_OkvsEncodeStages)->Apply(sizes);
BENCHMARK(BM_OkvsDecode)->Apply(sizes);
BENCHMARK(BM_OkvsDecodeMany)->Apply(sizes);
// Ten million keys, once each (about a minute with the pairs made).
BENCHMARK(BM_OkvsEncode)->Name("BM_OkvsLarge/encode")->Arg(10'000'000)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_OkvsEncodePrevious)
    ->Name("BM_OkvsLarge/previous")
    ->Arg(10'000'000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);
BENCHMARK(BM_OkvsEncodeStages)->Name("BM_OkvsLarge/stages")->Arg(10'000'000)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_OkvsDecode)->Name("BM_OkvsLarge/decode")->Arg(10'000'000)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_OkvsDecodeMany)->Name("BM_OkvsLarge/decode_many")->Arg(10'000'000)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
