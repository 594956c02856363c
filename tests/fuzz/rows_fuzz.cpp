// Row data into row keys and the store, with 64-bit values so that no curve
// work is done. Up to 256 rows; see row_input.hpp for their shapes.
//
// Checked: distinct_rows keeps exactly the first row of every key byte string,
// in input order, unchanged, and RowKeys::keep_distinct (what build_okvs
// uses) keeps exactly those rows' key byte strings; the store encoded from the kept rows decodes
// every input row (kept or not) to the value of the kept row with its key byte
// string, before and after a trip through its byte form, whose length follows
// m = ceil(2.4 n); with no rows every lookup fails as a zero divisor; encoding
// rows that repeat a key fails with the "not distinct" message.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <algorithm>
#include <map>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "okvs/schemes/paxos.hpp"
#include "runtime/failure.hpp"
#include "src/data_rows.hpp"
#include "tests/fuzz/fuzz_support.hpp"
#include "tests/fuzz/row_input.hpp"

using vorlinde::fuzz::joined;
using vorlinde::fuzz::require;

namespace {

using Store = vorlinde::okvs::Paxos<std::uint64_t>;

void check_decodes(const Store& store, const vorlinde::Rows& rows, const std::map<std::string, std::uint64_t>& value,
                   const char* when) {
  for (const vorlinde::Row& row : rows) {
    const std::string key = joined(row);
    try {
      const std::uint64_t got = store.decode(vorlinde::DataRow(row));
      require(!value.empty() && got == value.at(key), std::string("a row decodes to a wrong value ") + when);
    } catch (const vorlinde::runtime::Failure& f) {
      require(value.empty() && std::string(f.what()) == "attempt to calculate the remainder with a divisor of zero",
              std::string("decode failed ") + when + ": " + f.what());
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const bool try_duplicates = input.ConsumeIntegralInRange(0, 7) == 0;
  const vorlinde::Rows rows = vorlinde::fuzz::make_rows(input, 256, 5, 40);

  // First row of each key byte string, in order, by a plain map.
  std::map<std::string, std::uint64_t> value;
  std::vector<std::size_t> first;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (value.emplace(joined(rows[i]), 0x9e3779b97f4a7c15u * (i + 1)).second) first.push_back(i);
  }

  const std::vector<vorlinde::DataRow> kept = vorlinde::distinct_rows(rows);
  require(kept.size() == first.size(), "distinct_rows kept a wrong number of rows");
  std::vector<std::pair<vorlinde::DataRow, std::uint64_t>> pairs;
  for (std::size_t i = 0; i < kept.size(); ++i) {
    require(kept[i].strings() == rows[first[i]], "distinct_rows did not keep the first row of a key");
    pairs.emplace_back(kept[i], value.at(joined(rows[first[i]])));
  }
  vorlinde::RowKeys keys(rows);
  keys.keep_distinct();
  require(keys.size() == first.size(), "RowKeys kept a wrong number of rows");
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const std::string key = joined(rows[first[i]]);
    require(std::ranges::equal(keys.key(i), std::span(reinterpret_cast<const std::uint8_t*>(key.data()), key.size())),
            "RowKeys did not keep the first row's key bytes");
  }

  const Store store = Store::encode(pairs);
  // m = ceil(2.4 n) = (12 n + 4) div 5 for every n here.
  const std::size_t m = (12 * pairs.size() + 4) / 5;
  const auto bytes = store.to_bytes();
  require(store.sparse.size() == m && bytes.size() == 24 + 8 * (m + 32), "store size does not follow from n");
  check_decodes(store, rows, value, "after encoding");
  const Store parsed = Store::from_bytes(bytes);
  require(parsed == store, "from_bytes(to_bytes()) is not the store");
  check_decodes(parsed, rows, value, "after parsing");

  // Every attempt fails on a repeated key; keep the 1000 attempts small.
  if (try_duplicates && rows.size() <= 8 && kept.size() < rows.size()) {
    std::vector<std::pair<vorlinde::DataRow, std::uint64_t>> all;
    for (const vorlinde::Row& row : rows) all.emplace_back(vorlinde::DataRow(row), 1);
    try {
      Store::encode(all);
      vorlinde::fuzz::finding("encoding a repeated key succeeded");
    } catch (const vorlinde::runtime::Failure& f) {
      require(std::string(f.what()) == "could not encode the store: 1000 attempts failed; the keys are not distinct",
              std::string("encoding a repeated key: ") + f.what());
    }
  }
  return 0;
}
