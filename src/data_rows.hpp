#pragma once
// The row key of both banks' stores and of the operator's queries. A row is
// seen by the store only through its key byte string: the UTF-8 bytes of its
// strings, in order, with nothing between them, so ["ab", "c"], ["a", "bc"]
// and ["abc"] are one key, and so are [] and [""].

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "okvs/hashable.hpp"
#include "runtime/cancellation.hpp"
#include "src/operations.hpp"

namespace vorlinde {

class DataRow {
 public:
  explicit DataRow(Row strings) : strings_(std::move(strings)) {}

  // Appends the key byte string (okvs::Hashable).
  void write_key_bytes(okvs::KeyBuffer& out) const {
    for (const std::string& s : strings_) out.insert(out.end(), s.begin(), s.end());
  }

  const Row& strings() const { return strings_; }

 private:
  Row strings_;
};

static_assert(okvs::Hashable<DataRow>);

// One DataRow per distinct key byte string, the first row that has it, in
// input order. The store can hold a key only once; dropping the later rows
// keeps every dropped row decoding to the kept row's value. Rows with pairwise
// different key byte strings all come back, in their order.
//
// Rows are told apart by a 64-bit hash of their key byte strings, sorted with
// the row numbers; only rows with equal hashes are compared byte by byte. No
// copy of the rows' bytes is kept (16 bytes a row besides the rows).
std::vector<DataRow> distinct_rows(Rows rows);

// Whether two rows have the same key byte string, without building either.
bool same_key_bytes(const Row& a, const Row& b);

// distinct_rows with the given hash of a row's key byte string (any function
// works; a poor one only costs comparisons).
template <class Hash>
std::vector<DataRow> distinct_rows_by(Rows rows, Hash&& hash) {
  std::vector<std::pair<std::uint64_t, std::size_t>> order(rows.size());
  runtime::CancellationTicker ticker(4096);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    ticker.tick();
    order[i] = {hash(rows[i]), i};
  }
  std::sort(order.begin(), order.end());
  // Within a run of equal hashes the rows are in input order, so the first
  // of every key byte string is the one kept.
  std::vector<bool> dropped(rows.size());
  for (std::size_t lo = 0, hi = 0; lo < order.size(); lo = hi) {
    ticker.tick();
    for (hi = lo + 1; hi < order.size() && order[hi].first == order[lo].first; ++hi) {
      for (std::size_t k = lo; k < hi; ++k) {
        if (!dropped[order[k].second] && same_key_bytes(rows[order[k].second], rows[order[hi].second])) {
          dropped[order[hi].second] = true;
          break;
        }
      }
    }
  }
  order = {};
  std::vector<DataRow> kept;
  kept.reserve(rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (!dropped[i]) kept.emplace_back(std::move(rows[i]));
  }
  return kept;
}

}  // namespace vorlinde
