#include "src/data_rows.hpp"

#include <string>
#include <unordered_set>

#include "runtime/cancellation.hpp"

namespace vorlinde {

std::vector<DataRow> distinct_rows(Rows rows) {
  std::vector<DataRow> kept;
  kept.reserve(rows.size());
  std::unordered_set<std::string> seen;
  seen.reserve(rows.size());
  std::string key;
  runtime::CancellationTicker ticker(4096);
  for (Row& row : rows) {
    ticker.tick();
    key.clear();
    for (const std::string& s : row) key += s;
    if (seen.insert(key).second) kept.emplace_back(std::move(row));
  }
  return kept;
}

}  // namespace vorlinde
