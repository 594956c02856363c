#pragma once
// Reads a saved store with its keys and values (data/README.md).

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "okvs_test_types.hpp"
#include "runtime/failure.hpp"

namespace vorlinde::okvs::testing {

struct SavedStore {
  std::vector<std::pair<ByteKey, Value64>> pairs;
  std::vector<std::uint8_t> store_bytes;
};

inline SavedStore read_saved_store(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw runtime::Failure("cannot open " + path);
  const std::vector<std::uint8_t> data{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  std::size_t at = 0;
  const auto take = [&](std::size_t count) {
    if (data.size() - at < count) throw runtime::Failure(path + " is truncated");
    const std::uint8_t* p = data.data() + at;
    at += count;
    return p;
  };
  const auto read_le = [&](std::size_t bytes) {
    const std::uint8_t* p = take(bytes);
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < bytes; ++i) v |= static_cast<std::uint64_t>(p[i]) << (8 * i);
    return v;
  };
  SavedStore saved;
  const std::uint64_t n = read_le(8);
  for (std::uint64_t i = 0; i < n; ++i) {
    const std::size_t length = read_le(4);
    const std::uint8_t* key = take(length);
    const std::uint8_t* value = take(64);
    saved.pairs.push_back({ByteKey{std::string(key, key + length)}, Value64::from_bytes(std::span(value, 64))});
  }
  const std::size_t length = read_le(8);
  const std::uint8_t* bytes = take(length);
  saved.store_bytes.assign(bytes, bytes + length);
  if (at != data.size()) throw runtime::Failure(path + " has bytes after its store");
  return saved;
}

}  // namespace vorlinde::okvs::testing
