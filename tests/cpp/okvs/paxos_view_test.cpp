// The store read in place against the store it was written from: the encoded
// store (its own decode, and the values its keys were encoded with) is the
// oracle, and the saved stores of the earlier encoder with their values.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "okvs/schemes/paxos.hpp"
#include "okvs_test_types.hpp"
#include "saved_stores.hpp"
#include "tests/cpp/failure_message.hpp"

namespace vorlinde::okvs {
namespace {

using testing::ByteKey;
using testing::Value64;
using vorlinde::test_support::failure_message;

constexpr const char* kDivisorZero = "attempt to calculate the remainder with a divisor of zero";

// A store's byte form with `stray` bytes in front of its dense part (a length
// that leaves a partial last sparse value), placed `offset` bytes into its
// buffer so that the values do not start on the buffer's alignment.
struct PlacedBytes {
  std::vector<std::uint8_t> buffer;
  std::size_t offset = 0;
  std::size_t length = 0;

  std::span<const std::uint8_t> span() const { return std::span(buffer).subspan(offset, length); }
};

PlacedBytes placed(const std::vector<std::uint8_t>& written, std::size_t dense_bytes, std::size_t stray,
                   std::size_t offset) {
  PlacedBytes out;
  out.offset = offset;
  out.buffer.assign(offset, 0x5a);
  out.buffer.insert(out.buffer.end(), written.begin(), written.end() - static_cast<std::ptrdiff_t>(dense_bytes));
  out.buffer.insert(out.buffer.end(), stray, 0xee);
  out.buffer.insert(out.buffer.end(), written.end() - static_cast<std::ptrdiff_t>(dense_bytes), written.end());
  out.length = out.buffer.size() - offset;
  out.buffer.insert(out.buffer.end(), 7, 0xa5);  // bytes past the span are not the store's
  return out;
}

// Every key looked up in the view, one at a time and in one batch, equals
// the encoded store's lookup; the store's own keys equal their values.
template <class V>
void expect_view_decodes_like(const Paxos<V>& store, const std::vector<std::pair<ByteKey, V>>& pairs,
                              const PaxosView<V>& view) {
  std::vector<ByteKey> keys;
  for (const auto& pair : pairs) keys.push_back(pair.first);
  for (int i = 0; i < 40; ++i) keys.push_back(ByteKey{"absent/" + std::to_string(i)});
  ASSERT_EQ(view.sparse().size(), store.sparse.size());
  if (store.sparse.empty()) {
    EXPECT_EQ(failure_message([&] { view.decode(keys.back()); }), kDivisorZero);
    std::vector<V> out(1);
    EXPECT_EQ(failure_message([&] { view.decode_many(std::span<const ByteKey>(keys).last(1), std::span<V>(out)); }),
              kDivisorZero);
    return;
  }
  std::vector<V> many(keys.size());
  view.decode_many(keys, std::span<V>(many));
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const V expected = store.decode(keys[i]);
    ASSERT_EQ(view.decode(keys[i]), expected) << keys[i].bytes;
    ASSERT_EQ(many[i], expected) << keys[i].bytes;
    if (i < pairs.size()) {
      ASSERT_EQ(expected, pairs[i].second) << keys[i].bytes;
    }
  }
}

template <class V>
std::vector<std::pair<ByteKey, V>> random_pairs(std::size_t n, const std::string& tag) {
  std::vector<std::pair<ByteKey, V>> pairs;
  for (std::size_t i = 0; i < n; ++i) pairs.emplace_back(ByteKey{tag + "/" + std::to_string(i)}, random_value<V>());
  return pairs;
}

template <class V>
class OkvsPaxosView : public ::testing::Test {};
using ValueTypes = ::testing::Types<Value64, std::uint64_t>;
TYPED_TEST_SUITE(OkvsPaxosView, ValueTypes);

// Random stores of several sizes, each read with every length of stray bytes
// a partial value can have and at offsets across a cache line.
TYPED_TEST(OkvsPaxosView, DecodesLikeTheEncodedStore) {
  using V = TypeParam;
  constexpr std::size_t kValue = BitsTraits<V>::byte_length;
  for (const std::size_t n : {0, 1, 2, 17, 300, 5000}) {
    const auto pairs = random_pairs<V>(n, "view" + std::to_string(n));
    const auto store = Paxos<V>::template encode<ByteKey>(pairs);
    const auto written = store.to_bytes();
    for (std::size_t stray = 0; stray < kValue; stray += (n < 300 ? 1 : 7)) {
      for (const std::size_t offset : {0, 1, 8, 56}) {
        const PlacedBytes bytes = placed(written, kDenseSlots * kValue, stray, offset);
        const PaxosView<V> view(bytes.span());
        SCOPED_TRACE("n " + std::to_string(n) + ", stray " + std::to_string(stray) + ", offset " +
                     std::to_string(offset));
        EXPECT_EQ(view.seeds().a, store.seed_a);
        EXPECT_EQ(view.seeds().b, store.seed_b);
        EXPECT_EQ(view.seeds().c, store.seed_c);
        ASSERT_NO_FATAL_FAILURE(expect_view_decodes_like(store, pairs, view));
      }
    }
  }
}

TEST(OkvsPaxosViewSaved, SavedStoresDecodeToTheirValues) {
  for (const char* name : {"store-n0.bin", "store-n1.bin", "store-n9.bin", "store-n1000.bin"}) {
    const auto saved = testing::read_saved_store(std::string(VORLINDE_OKVS_TEST_DATA) + "/" + name);
    const PaxosView<Value64> view(saved.store_bytes);
    ASSERT_EQ(view.sparse().size(), sparse_size(saved.pairs.size())) << name;
    std::vector<ByteKey> keys;
    for (const auto& pair : saved.pairs) keys.push_back(pair.first);
    std::vector<Value64> out(keys.size());
    view.decode_many(keys, std::span<Value64>(out));
    for (std::size_t i = 0; i < keys.size(); ++i) {
      ASSERT_EQ(out[i], saved.pairs[i].second) << name << " " << i;
      ASSERT_EQ(view.decode(keys[i]), saved.pairs[i].second) << name << " " << i;
    }
  }
}

}  // namespace
}  // namespace vorlinde::okvs
