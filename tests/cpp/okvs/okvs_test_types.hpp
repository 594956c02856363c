#pragma once
// Key and value types for the store's tests: byte-string keys and a 64-byte
// value with the same byte form as the system's real value.

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "okvs/hashable.hpp"
#include "runtime/failure.hpp"
#include "runtime/rng.hpp"

namespace vorlinde::okvs::testing {

struct ByteKey {
  std::string bytes;
  void write_key_bytes(KeyBuffer& out) const { out.insert(out.end(), bytes.begin(), bytes.end()); }
};

// A key made of several pieces joined with nothing between them, as a row key is.
struct PieceKey {
  std::vector<std::string> pieces;
  void write_key_bytes(KeyBuffer& out) const {
    for (const auto& p : pieces) out.insert(out.end(), p.begin(), p.end());
  }
};

struct Value64 {
  std::array<std::uint8_t, 64> b{};

  static Value64 random() {
    Value64 v;
    runtime::fill_random(v.b);
    return v;
  }
  std::array<std::uint8_t, 64> to_bytes() const { return b; }
  static Value64 from_bytes(std::span<const std::uint8_t> bytes) {
    if (bytes.size() != 64) throw runtime::Failure("Value64 needs 64 bytes");
    Value64 v;
    std::copy(bytes.begin(), bytes.end(), v.b.begin());
    return v;
  }
  Value64& operator^=(const Value64& o) {
    for (std::size_t i = 0; i < 64; ++i) b[i] ^= o.b[i];
    return *this;
  }
  friend Value64 operator^(Value64 x, const Value64& y) { return x ^= y; }
  friend bool operator==(const Value64&, const Value64&) = default;
};

}  // namespace vorlinde::okvs::testing
