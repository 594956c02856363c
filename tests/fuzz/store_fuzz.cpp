// Store bytes into parsing and lookup. The input is taken as a serialised store
// of Ciphertext values (every length is tried, so most inputs of 2072 bytes or
// more parse); up to four keys taken from the input are then decoded.
//
// Checked: parsing fails exactly when the length is too short, with the
// message that names the bound; a parsed store writes back the input minus the
// ignored bytes; every decoded value, one at a time and in a batch, equals the
// XOR of the slots that a plain reading of the byte format selects with
// libxxhash directly. One input in
// eight also runs initiate_queries on the store with those keys: every 64 bytes
// read from a store are two points, whatever the bytes, so the queries fail
// only on a key that is no point or on a store with no sparse slots, and
// otherwise give one record of four canonical points per query.

#include <fuzzer/FuzzedDataProvider.h>
#include <xxhash.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "okvs/schemes/paxos.hpp"
#include "runtime/failure.hpp"
#include "src/ciphertexts.hpp"
#include "src/data_rows.hpp"
#include "src/operations.hpp"
#include "tests/fuzz/fuzz_support.hpp"
#include "tests/fuzz/sodium_oracle.hpp"

using vorlinde::fuzz::finding;
using vorlinde::fuzz::require;

namespace {

using Store = vorlinde::okvs::Paxos<vorlinde::Ciphertext>;
constexpr std::size_t kValue = 64;
constexpr std::size_t kSeeds = 24;
constexpr std::size_t kDense = 32 * kValue;

std::uint64_t le64(const std::uint8_t* p) {
  std::uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v |= std::uint64_t{p[i]} << (8 * i);
  return v;
}

// The expected failure of parsing L bytes, or "" when they parse.
std::string parse_failure(std::size_t length) {
  for (std::size_t end = 8; end <= kSeeds; end += 8) {
    if (length < end) return vorlinde::fuzz::range_end(end, length);
  }
  if (length < kSeeds + kDense) {
    return "slice index starts at 24 but ends at " +
           std::to_string(static_cast<long long>(length) - static_cast<long long>(kDense));
  }
  return "";
}

// value(k) = sparse[a] ^ sparse[b] ^ XOR of dense[j] over set bits j < 32 of
// the third hash, read straight from the bytes.
std::array<std::uint8_t, kValue> reference_decode(std::span<const std::uint8_t> store, const std::string& key) {
  const std::size_t dense_at = store.size() - kDense;
  const std::size_t m = (dense_at - kSeeds) / kValue;
  std::uint64_t h[3];
  for (int i = 0; i < 3; ++i) h[i] = XXH3_64bits_withSeed(key.data(), key.size(), le64(store.data() + 8 * i));
  std::array<std::uint8_t, kValue> out{};
  auto xor_in = [&](std::size_t offset) {
    for (std::size_t i = 0; i < kValue; ++i) out[i] ^= store[offset + i];
  };
  xor_in(kSeeds + (h[0] % m) * kValue);
  xor_in(kSeeds + (h[1] % m) * kValue);
  for (std::size_t j = 0; j < 32; ++j) {
    if ((h[2] >> j) & 1) xor_in(dense_at + j * kValue);
  }
  return out;
}

void check_queries(const std::vector<std::uint8_t>& store, std::size_t m,
                   const std::vector<std::pair<std::string, std::size_t>>& keys,
                   const vorlinde::fuzz::sodium::Point& swift_key) {
  namespace sodium = vorlinde::fuzz::sodium;
  vorlinde::Rows sender, receiver;
  for (const auto& [key, cut] : keys) {
    sender.push_back({key});
    receiver.push_back({key.substr(cut), key.substr(0, cut)});
  }
  std::string expected;
  if (!sodium::canonical(swift_key)) {
    expected = "The public key was not a valid curve point.";
  } else if (m == 0 && !keys.empty()) {
    expected = "attempt to calculate the remainder with a divisor of zero";
  }
  const vorlinde::fuzz::SpanArg store_arg(store), key_arg(swift_key);
  vorlinde::Bytes records;
  try {
    records = vorlinde::initiate_queries(sender, receiver, store_arg, store_arg, key_arg);
  } catch (const vorlinde::runtime::Failure& f) {
    require(f.what() == expected, std::string("initiate_queries failed: ") + f.what());
    return;
  }
  require(expected.empty(), "initiate_queries succeeded; expected \"" + expected + "\"");
  require(records.size() == 128 * keys.size(), "initiate_queries: wrong output length");
  for (std::size_t at = 0; at < records.size(); at += 32) {
    const sodium::Point p = sodium::to_point(std::span(records).subspan(at, 32));
    require(sodium::canonical(p) == p, "initiate_queries: a field is not a canonical point");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  // Keys come first from the provider, the store is what is left.
  const int key_count = input.ConsumeIntegralInRange(0, 4);
  const bool query = input.ConsumeIntegralInRange(0, 7) == 0;
  const auto swift_key = vorlinde::fuzz::sodium::to_point(input.ConsumeBytes<std::uint8_t>(32));
  std::vector<std::pair<std::string, std::size_t>> keys;  // key, where the row splits it
  for (int i = 0; i < key_count; ++i) {
    std::string key = input.ConsumeRandomLengthString(64);
    const std::size_t cut = input.ConsumeIntegralInRange<std::size_t>(0, key.size());
    keys.emplace_back(std::move(key), cut);
  }
  const std::vector<std::uint8_t> bytes = input.ConsumeRemainingBytes<std::uint8_t>();

  const std::string expected_failure = parse_failure(bytes.size());
  Store store;
  try {
    store = Store::from_bytes(bytes);
  } catch (const vorlinde::runtime::Failure& f) {
    require(f.what() == expected_failure, "from_bytes of " + std::to_string(bytes.size()) +
                                              " bytes failed with \"" + f.what() + "\", expected \"" +
                                              expected_failure + "\"");
    return 0;
  }
  require(expected_failure.empty(), "from_bytes accepted " + std::to_string(bytes.size()) + " bytes");

  // The written form: seeds and whole sparse values, then the dense part; the
  // bytes of a partial last sparse value are dropped.
  const std::size_t m = (bytes.size() - kSeeds - kDense) / kValue;
  require(store.sparse.size() == m && store.dense.size() == 32, "slot counts do not follow from the length");
  std::vector<std::uint8_t> expected(bytes.begin(), bytes.begin() + kSeeds + m * kValue);
  expected.insert(expected.end(), bytes.end() - kDense, bytes.end());
  require(store.to_bytes() == expected, "to_bytes does not give back the parsed bytes");

  for (const auto& [key, cut] : keys) {
    // A row split anywhere has the same key byte string as the whole key.
    const vorlinde::DataRow row({key.substr(0, cut), key.substr(cut)});
    try {
      const auto value = store.decode(row).to_bytes();
      require(m > 0, "decode with no sparse slots succeeded");
      require(value == reference_decode(bytes, key), "decoded value differs from the byte-format reading");
    } catch (const vorlinde::runtime::Failure& f) {
      require(m == 0 && std::string(f.what()) == "attempt to calculate the remainder with a divisor of zero",
              std::string("decode failed: ") + f.what());
    }
  }
  // The same keys in one batch.
  std::vector<vorlinde::DataRow> rows;
  for (const auto& [key, cut] : keys) rows.emplace_back(vorlinde::Row{key.substr(cut), key.substr(0, cut)});
  std::vector<vorlinde::Ciphertext> values(rows.size());
  try {
    store.decode_many(rows, std::span<vorlinde::Ciphertext>(values));
    require(m > 0 || rows.empty(), "decode_many with no sparse slots succeeded");
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const std::string whole = keys[i].first.substr(keys[i].second) + keys[i].first.substr(0, keys[i].second);
      require(values[i].to_bytes() == reference_decode(bytes, whole), "decode_many differs from the byte-format reading");
    }
  } catch (const vorlinde::runtime::Failure& f) {
    require(m == 0 && std::string(f.what()) == "attempt to calculate the remainder with a divisor of zero",
            std::string("decode_many failed: ") + f.what());
  }
  if (query) check_queries(bytes, m, keys, swift_key);
  return 0;
}
