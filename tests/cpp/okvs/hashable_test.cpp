#include "okvs/hashable.hpp"

#include <gtest/gtest.h>
#include <xxhash.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <thread>
#include <string>
#include <vector>

#include "okvs_test_types.hpp"
#include "runtime/failure.hpp"

namespace vorlinde::okvs {
namespace {

using testing::ByteKey;
using testing::PieceKey;

// Input of length n: byte i = i * 7 mod 256.
ByteKey pattern(std::size_t n) {
  ByteKey k;
  for (std::size_t i = 0; i < n; ++i) k.bytes.push_back(static_cast<char>((i * 7) % 256));
  return k;
}

struct Xxh3Vector {
  std::size_t length;
  std::uint64_t seed0;
  std::uint64_t seed_all_ones;
};

// Obtained with Debian's python3-xxhash 3.2.0 (xxHash 0.8.1), independent of
// this code:
//   /usr/bin/python3 -c "import xxhash; d = bytes(i*7 % 256 for i in range(n));
//     print(hex(xxhash.xxh3_64_intdigest(d, seed=0)),
//           hex(xxhash.xxh3_64_intdigest(d, seed=2**64-1)))"
// The seed-0 column agrees with `xxhsum -H3`. The lengths are the boundaries
// of XXH3's length classes (0, 1-3, 4-8, 9-16, 17-128, 129-240, >240) and of
// its 1024-byte blocks.
const Xxh3Vector kXxh3Vectors[] = {
    {0, 0x2d06800538d394c2ULL, 0x4c093276ae47a555ULL},    {3, 0xc3489259e968ad9eULL, 0x46f6629436d76babULL},
    {4, 0xd3d60c1519014e89ULL, 0xd51f2f63606b0479ULL},    {8, 0xb88dee77f6bf6980ULL, 0x2083ae8a42ed204bULL},
    {9, 0x03688dcad730d826ULL, 0x2c82058c86e289bfULL},    {16, 0x9da23836adf2be1eULL, 0x069d1d54ecdd285eULL},
    {17, 0xf34c3c9cf5a112d1ULL, 0x32fe57e2850e34d5ULL},   {128, 0x65f3c2c00fa93185ULL, 0xa841bc13e0fa9a03ULL},
    {129, 0x28065c6ec25f5b25ULL, 0xe6ad3c717c69dea4ULL},  {240, 0x4917a75c0ef8eed7ULL, 0xc1015dbb659a25eeULL},
    {241, 0x541b19226f0052e8ULL, 0x1c741dca08945dbeULL},  {1024, 0xdc5acf0b043c445bULL, 0x428a2d3487fa15d2ULL},
    {1025, 0xe1d9cd946277ae26ULL, 0x9d8d0a31d7ab7b66ULL},
};

class OkvsXxh3Vectors : public ::testing::TestWithParam<Xxh3Vector> {};

TEST_P(OkvsXxh3Vectors, MatchesIndependentXxh3) {
  const auto& v = GetParam();
  const ByteKey key = pattern(v.length);
  EXPECT_EQ(hash_to_bytes(key, 0), v.seed0);
  EXPECT_EQ(hash_to_bytes(key, std::numeric_limits<std::uint64_t>::max()), v.seed_all_ones);
  // The index is the plain remainder of the same word.
  EXPECT_EQ(hash_to_index(key, 0, 1000003), v.seed0 % 1000003);
  EXPECT_EQ(hash_to_index(key, std::numeric_limits<std::uint64_t>::max(), 3), v.seed_all_ones % 3);
}

INSTANTIATE_TEST_SUITE_P(LengthClasses, OkvsXxh3Vectors, ::testing::ValuesIn(kXxh3Vectors),
                         [](const auto& info) { return "len" + std::to_string(info.param.length); });

TEST(OkvsHashable, KeysWithEqualByteStringsHashEqually) {
  const PieceKey ab_c{{"ab", "c"}};
  const PieceKey a_bc{{"a", "bc"}};
  const ByteKey abc{"abc"};
  const PieceKey empty_row{{}};
  const PieceKey empty_strings{{"", ""}};
  for (std::uint64_t seed : {0ULL, 1ULL, 0x0123456789abcdefULL}) {
    EXPECT_EQ(hash_to_bytes(ab_c, seed), hash_to_bytes(abc, seed));
    EXPECT_EQ(hash_to_bytes(a_bc, seed), hash_to_bytes(abc, seed));
    EXPECT_EQ(hash_to_bytes(empty_row, seed), hash_to_bytes(empty_strings, seed));
  }
  EXPECT_EQ(hash_to_bytes(empty_row, 0), kXxh3Vectors[0].seed0);
  // Non-ASCII text contributes its UTF-8 bytes.
  EXPECT_EQ(hash_to_bytes(PieceKey{{"\xc3\xa9t\xc3\xa9"}}, 7), hash_to_bytes(ByteKey{"\xc3\xa9t\xc3\xa9"}, 7));
  EXPECT_NE(hash_to_bytes(ByteKey{"ab"}, 0), hash_to_bytes(ByteKey{"ba"}, 0));
}

TEST(OkvsHashable, IndexReduction) {
  for (std::size_t n : {0, 5, 300}) {
    EXPECT_EQ(hash_to_index(pattern(n), 99, 1), 0u);
  }
  try {
    hash_to_index(ByteKey{"x"}, 0, 0);
    FAIL() << "range 0 must fail";
  } catch (const runtime::Failure& e) {
    EXPECT_STREQ(e.what(), "attempt to calculate the remainder with a divisor of zero");
  }
}

// The thread's key buffer: a long key is hashed like any other (against
// libxxhash called directly on the bytes), the buffer then shrinks back under
// the kept size, and the bytes a key left in it are wiped.
TEST(OkvsHashable, KeyBufferShrinksAfterALongKeyAndKeepsNoBytes) {
  const ByteKey long_key = pattern(3 * kKeyBufferKeepBytes + 5);
  const std::uint64_t expected = XXH3_64bits_withSeed(long_key.bytes.data(), long_key.bytes.size(), 17);
  std::thread([&] {
    EXPECT_EQ(hash_to_bytes(long_key, 17), expected);
    EXPECT_LE(thread_key_buffer().capacity(), kKeyBufferKeepBytes);

    const ByteKey key{"a private row, some account number 0123456789"};
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    {
      const KeyBytes bytes(key);
      ASSERT_TRUE(std::equal(bytes.span().begin(), bytes.span().end(), key.bytes.begin(), key.bytes.end()));
      data = bytes.span().data();
      size = bytes.span().size();
    }
    // A short key keeps the buffer's storage (no allocation per key), so the
    // bytes can still be read there: all zero.
    ASSERT_GE(thread_key_buffer().capacity(), size);
    ASSERT_EQ(thread_key_buffer().data(), data);
    EXPECT_TRUE(std::all_of(data, data + size, [](std::uint8_t b) { return b == 0; }));
  }).join();
}

}  // namespace
}  // namespace vorlinde::okvs
