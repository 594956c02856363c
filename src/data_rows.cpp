#include "src/data_rows.hpp"

#include <string>

namespace vorlinde {

namespace {

// A row seen as a key, for hashing it through the wiped key buffer.
struct RowKey {
  const Row& row;
  void write_key_bytes(okvs::KeyBuffer& out) const {
    for (const std::string& s : row) out.insert(out.end(), s.begin(), s.end());
  }
};

}  // namespace

bool same_key_bytes(const Row& a, const Row& b) {
  // Walks both concatenations at once, a piece of each at a time.
  std::size_t i = 0, j = 0, at_a = 0, at_b = 0;
  for (;;) {
    while (i < a.size() && at_a == a[i].size()) ++i, at_a = 0;
    while (j < b.size() && at_b == b[j].size()) ++j, at_b = 0;
    if (i == a.size() || j == b.size()) return i == a.size() && j == b.size();
    const std::size_t take = std::min(a[i].size() - at_a, b[j].size() - at_b);
    if (a[i].compare(at_a, take, b[j], at_b, take) != 0) return false;
    at_a += take;
    at_b += take;
  }
}

std::vector<DataRow> distinct_rows(Rows rows) {
  return distinct_rows_by(std::move(rows), [](const Row& row) {
    const okvs::KeyBytes bytes(RowKey{row});
    return okvs::xxh3_64(bytes.span(), 0);
  });
}

RowKeys::RowKeys(const Rows& rows) {
  reserve_rows(rows.size());
  for (const Row& row : rows) {
    for (const std::string& s : row) {
      append(std::span(reinterpret_cast<const std::uint8_t*>(s.data()), s.size()));
    }
    end_row();
  }
}

void RowKeys::keep_distinct() {
  keep_distinct_by([](std::span<const std::uint8_t> bytes) { return okvs::xxh3_64(bytes, 0); });
}

}  // namespace vorlinde
