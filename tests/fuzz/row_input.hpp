#pragma once
// Row data drawn from a fuzz input for the row targets: strings of raw bytes
// or of UTF-8 with code points from every plane, empty strings, empty rows, and
// rows that are an earlier row's key byte string cut at other places (so that
// they concatenate to the same bytes).

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <vector>

#include "src/operations.hpp"

namespace vorlinde::fuzz {

// The key byte string of a row: its strings joined with nothing between them.
inline std::string joined(const Row& row) {
  std::string out;
  for (const std::string& s : row) out += s;
  return out;
}

inline void append_utf8(std::string& out, std::uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xc0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3f));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xe0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (c & 0x3f));
  } else {
    out += static_cast<char>(0xf0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3f));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (c & 0x3f));
  }
}

inline std::string make_string(FuzzedDataProvider& input, std::size_t max_length) {
  if (input.ConsumeBool()) return input.ConsumeRandomLengthString(max_length);
  // Code points, surrogates excluded (a Python str holds none that UTF-8 can carry).
  std::string out;
  const std::size_t n = input.ConsumeIntegralInRange<std::size_t>(0, max_length);
  for (std::size_t i = 0; i < n && input.remaining_bytes() > 0; ++i) {
    std::uint32_t c = input.ConsumeIntegralInRange<std::uint32_t>(0, 0x10ffff);
    if (c >= 0xd800 && c < 0xe000) c -= 0x800;
    append_utf8(out, c);
  }
  return out;
}

// `count` at most max_rows rows of at most max_strings strings.
inline Rows make_rows(FuzzedDataProvider& input, std::size_t max_rows, std::size_t max_strings,
                      std::size_t max_length, const Rows& earlier = {}) {
  Rows rows;
  const std::size_t count = input.ConsumeIntegralInRange<std::size_t>(0, max_rows);
  for (std::size_t i = 0; i < count && input.remaining_bytes() > 0; ++i) {
    const Rows* pool = nullptr;
    if (input.ConsumeIntegralInRange(0, 2) == 0) pool = !earlier.empty() && input.ConsumeBool() ? &earlier : &rows;
    if (pool && !pool->empty()) {
      // An existing key cut anew: same key byte string, other strings.
      const std::string key = joined((*pool)[input.ConsumeIntegralInRange<std::size_t>(0, pool->size() - 1)]);
      Row row;
      std::size_t at = 0;
      const std::size_t pieces = input.ConsumeIntegralInRange<std::size_t>(0, max_strings);
      for (std::size_t p = 0; p + 1 < pieces; ++p) {
        const std::size_t end = input.ConsumeIntegralInRange<std::size_t>(at, key.size());
        row.push_back(key.substr(at, end - at));
        at = end;
      }
      if (pieces > 0 || at < key.size()) row.push_back(key.substr(at));
      rows.push_back(std::move(row));
      continue;
    }
    Row row(input.ConsumeIntegralInRange<std::size_t>(0, max_strings));
    for (std::string& s : row) s = make_string(input, max_length);
    rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace vorlinde::fuzz
