#pragma once
// The row key of both banks' stores and of the operator's queries. A row is
// seen by the store only through its key byte string: the UTF-8 bytes of its
// strings, in order, with nothing between them, so ["ab", "c"], ["a", "bc"]
// and ["abc"] are one key, and so are [] and [""].

#include <utility>
#include <vector>

#include "okvs/hashable.hpp"
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
std::vector<DataRow> distinct_rows(Rows rows);

}  // namespace vorlinde
