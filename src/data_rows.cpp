#include "src/data_rows.hpp"

#include <string>
#include <unordered_set>

namespace vorlinde {

std::vector<DataRow> distinct_rows(Rows rows) {
  std::vector<DataRow> kept;
  kept.reserve(rows.size());
  std::unordered_set<std::string> seen;
  seen.reserve(rows.size());
  std::string key;
  for (Row& row : rows) {
    key.clear();
    for (const std::string& s : row) key += s;
    if (seen.insert(key).second) kept.emplace_back(std::move(row));
  }
  return kept;
}

}  // namespace vorlinde
