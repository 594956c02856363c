// Wiping seen from outside: an object's storage is all zeros once it has been
// destroyed (Wiped, Scalar, KeyPair), and the generator keeps no copy of bytes
// it has handed out. Objects live in caller-owned storage so that their bytes
// can be read after their destructor ran.

#include "runtime/wipe.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "curve/scalar.hpp"
#include "runtime/chacha_rng.hpp"
#include "runtime/rng.hpp"
#include "src/operations.hpp"

namespace vorlinde::runtime {
namespace {

template <class T>
struct Storage {
  alignas(T) std::uint8_t bytes[sizeof(T)];
  // The asm stands for an outside reader: the bytes are read as they are in
  // memory, not as the compiler believes a dead object's bytes to be.
  bool all_zero() const {
    asm volatile("" : : "r"(bytes) : "memory");
    return std::all_of(std::begin(bytes), std::end(bytes), [](std::uint8_t b) { return b == 0; });
  }
};

std::array<std::uint8_t, 32> random_bytes() {
  std::array<std::uint8_t, 32> out;
  fill_random(out);
  out[31] &= 0x7f;
  return out;
}

TEST(Wipe, DestroyedSecretsLeaveOnlyZeros) {
  const auto secret = random_bytes();
  {
    Storage<Wiped<std::array<std::uint8_t, 32>>> s;
    auto* w = new (s.bytes) Wiped<std::array<std::uint8_t, 32>>(secret);
    ASSERT_EQ(w->get(), secret);
    std::destroy_at(w);
    EXPECT_TRUE(s.all_zero());
  }
  {
    Storage<curve::Scalar> s;
    auto* k = new (s.bytes) curve::Scalar(curve::Scalar::from_bits(secret));
    ASSERT_EQ(k->to_bytes(), secret);
    std::destroy_at(k);
    EXPECT_TRUE(s.all_zero());
  }
  {
    Storage<KeyPair> s;
    auto* pair = new (s.bytes) KeyPair{{}, secret};
    std::destroy_at(pair);
    EXPECT_TRUE(s.all_zero());
  }
}

// An empty buffer's data() may be null; wiping it must be a no-op (the
// sanitizer stage reports a null pointer handed to memset).
TEST(Wipe, EmptyBufferIsANoOp) {
  std::vector<std::uint8_t> empty;
  wipe(empty.data(), empty.size());
  EXPECT_TRUE(empty.empty());
}

TEST(Wipe, ValueBuiltInPlaceFromACall) {
  const auto secret = random_bytes();
  const Wiped<std::array<std::uint8_t, 32>> w([&] { return secret; });
  EXPECT_EQ(w.get(), secret);
}

TEST(Wipe, GeneratorKeepsNoCopyOfWhatItHandedOut) {
  Storage<ChaChaRng> s;
  auto* rng = new (s.bytes) ChaChaRng();
  // Small requests are served from the generator's buffer.
  for (int round = 0; round < 8; ++round) {
    std::array<std::uint8_t, 64> out;
    rng->fill(out);
    const std::uint8_t* const begin = std::begin(s.bytes);
    const std::uint8_t* const end = std::end(s.bytes);
    EXPECT_EQ(std::search(begin, end, out.begin(), out.begin() + 16), end) << round;
  }
  std::destroy_at(rng);
}

}  // namespace
}  // namespace vorlinde::runtime
