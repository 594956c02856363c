#pragma once
// The value capability of the store: a value is a fixed-length bit string that
// can be drawn at random, XORed, and written to and read from its byte form.
//
// Class types provide it through members:
//   static V random();                                   fresh, from the thread's CSPRNG
//   static void random_many(std::span<V>);               optional: random() for each
//                                                        element, drawn as one stream
//   std::array<std::uint8_t, N> to_bytes() const;        the fixed-length byte form
//   static V from_bytes(std::span<const std::uint8_t>);  its inverse
//   V operator^(const V&, const V&); V& operator^=(V&, const V&);
// The 64-bit word provides it through the specialisation below (8 bytes,
// little-endian). XOR must be associative, commutative and self-inverse.

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <tuple>
#include <utility>

#include "okvs/bounds.hpp"
#include "runtime/failure.hpp"
#include "runtime/rng.hpp"

namespace vorlinde::okvs {

template <class V>
struct BitsTraits {};

template <class V>
concept MemberBits = requires(const V& v, std::span<const std::uint8_t> bytes) {
  { V::random() } -> std::same_as<V>;
  { V::from_bytes(bytes) } -> std::same_as<V>;
  std::tuple_size<decltype(v.to_bytes())>::value;
};

template <MemberBits V>
struct BitsTraits<V> {
  using ByteForm = decltype(std::declval<const V&>().to_bytes());
  static constexpr std::size_t byte_length = std::tuple_size_v<ByteForm>;
  static V random() { return V::random(); }
  static ByteForm to_bytes(const V& v) { return v.to_bytes(); }
  static V from_bytes(std::span<const std::uint8_t> bytes) { return V::from_bytes(bytes); }
};

template <>
struct BitsTraits<std::uint64_t> {
  using ByteForm = std::array<std::uint8_t, 8>;
  static constexpr std::size_t byte_length = 8;
  static std::uint64_t random() { return runtime::next_u64(); }
  static ByteForm to_bytes(std::uint64_t v) {
    ByteForm out;
    for (std::size_t i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(v >> (8 * i));
    return out;
  }
  // Failure: any length other than 8.
  static std::uint64_t from_bytes(std::span<const std::uint8_t> bytes) {
    if (bytes.size() != 8) {
      throw runtime::Failure("a 64-bit word needs exactly 8 bytes, got " + std::to_string(bytes.size()));
    }
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < 8; ++i) v |= static_cast<std::uint64_t>(bytes[i]) << (8 * i);
    return v;
  }
};

// Values are default-constructible so that slot tables can be laid out once
// and filled out of order.
template <class V>
concept Bits = std::copyable<V> && std::default_initializable<V> &&
               requires(V a, const V b, std::span<const std::uint8_t> bytes) {
                 { BitsTraits<V>::byte_length } -> std::convertible_to<std::size_t>;
                 { BitsTraits<V>::random() } -> std::same_as<V>;
                 { BitsTraits<V>::from_bytes(bytes) } -> std::same_as<V>;
                 { std::span<const std::uint8_t>(BitsTraits<V>::to_bytes(b)) };
                 { b ^ b } -> std::convertible_to<V>;
                 { a ^= b };
               };

template <Bits V>
V random_value() {
  return BitsTraits<V>::random();
}

// out[i] = random_value() for every i; one draw from the generator for all of
// them when the type can take its random bytes in bulk.
template <Bits V>
void random_values(std::span<V> out) {
  if constexpr (requires { V::random_many(out); }) {
    V::random_many(out);
  } else {
    for (V& v : out) v = random_value<V>();
  }
}

// Fresh random values handed out one at a time and drawn a batch at a time,
// for loops that need them at scattered places. Values drawn and not handed
// out are dropped (they are filler, nothing secret).
template <Bits V>
class RandomValueStream {
 public:
  V next() {
    if (pos_ == kBatch) {
      random_values<V>(batch_);
      pos_ = 0;
    }
    return std::move(batch_[pos_++]);
  }

 private:
  static constexpr std::size_t kBatch = 64;
  std::array<V, kBatch> batch_{};
  std::size_t pos_ = kBatch;
};

// Bit i of a list of words: word i / 64, bit i % 64, least significant first.
// Failure: index out of bounds when word i / 64 does not exist.
inline bool bit_at_is_set(std::span<const std::uint64_t> words, std::uint64_t i) {
  check_index(words.size(), i / 64);
  return ((words[i / 64] >> (i % 64)) & 1) != 0;
}

}  // namespace vorlinde::okvs
