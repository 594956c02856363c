// build_okvs: a bank's rows as a store mapping each row key to a fresh
// encryption of the identity under the bank's public key.

#include <algorithm>
#include <span>
#include <type_traits>
#include <vector>

#include "curve/edwards.hpp"
#include "okvs/schemes/paxos.hpp"
#include "runtime/failure.hpp"
#include "runtime/out_of_memory.hpp"
#include "runtime/pool.hpp"
#include "runtime/stack_scrub.hpp"
#include "src/ciphertexts.hpp"
#include "src/data_rows.hpp"
#include "src/keys.hpp"
#include "src/operations.hpp"
#include "src/point_conversion.hpp"
#include "src/result_buffer.hpp"

namespace vorlinde {

namespace {

// Every multiple r PK of the identity or of (0, -1) is one of those two
// points, and both map to u = 0, which has no uniform representative, so
// Ciphertext::zero would draw scalars forever. They are the only points with
// u = 0 (u = (1 + y) / (1 - y) with 1/0 read as 0). Keys of order 4 or 8
// reach a representable multiple for most r and are accepted.
bool cannot_encrypt(const curve::EdwardsPoint& public_key) {
  const MontgomeryPoint u = to_montgomery(public_key);
  return std::all_of(u.bytes.begin(), u.bytes.end(), [](std::uint8_t b) { return b == 0; });
}

// Fresh encryptions of the identity under the table's key, handed out in the
// order the encoder reads them and made a block at a time across the pool.
// Which row gets which value does not matter: every value is an independent
// draw of Ciphertext::zero, and the encoder reads each row's value at most
// once an attempt, so no table of a value per row is ever held.
class FreshZeros {
 public:
  FreshZeros(const curve::EdwardsBasepointTable& table, std::size_t rows) : table_(table), rows_(rows) {}

  std::size_t size() const { return rows_; }

  Ciphertext operator[](std::size_t) {
    if (next_ == block_.size()) refill();
    ++handed_;
    return block_[next_++];
  }

  friend void prefetch_value_at(const FreshZeros&, std::size_t) {}

 private:
  // 4,096 values (256 KiB) a block: 64 pool tasks of 64 rows, each about
  // eight batches of candidates, under a millisecond.
  static constexpr std::size_t kBlock = 4096;
  static constexpr std::size_t kRowsPerTask = 64;

  // A block holds no more than the rows still to be served (a failed attempt
  // takes a few more), so the last one makes no values that go unused.
  void refill() {
    const std::size_t wanted = rows_ > handed_ ? rows_ - handed_ : 1;
    block_.resize(std::min(kBlock, wanted));
    runtime::parallel_for(
        block_.size(),
        [&](std::size_t begin, std::size_t end) {
          Ciphertext::zero_many(table_, std::span<Ciphertext>(block_).subspan(begin, end - begin));
        },
        kRowsPerTask);
    next_ = 0;
  }

  const curve::EdwardsBasepointTable& table_;
  std::size_t rows_;
  std::vector<Ciphertext> block_;
  std::size_t next_ = 0;
  std::size_t handed_ = 0;
};

}  // namespace

// The store's slots are written straight into the result's bytes: a
// Ciphertext's memory is its byte form (c1 then c2, no padding, alignment 1),
// so the value region of the byte form is an array of them.
static_assert(sizeof(Ciphertext) == Ciphertext::kSize && alignof(Ciphertext) == 1 &&
              std::is_trivially_copyable_v<Ciphertext> && std::is_standard_layout_v<Ciphertext>);

void build_okvs(const BytesArg& public_key, RowKeys rows, ResultBuffer& result) {
  const runtime::ScrubStackOnExit scrub;
  const curve::EdwardsPoint pk = read_public_key(public_key, kPublicKeySentence);
  rows.keep_distinct();
  if (!rows.empty() && cannot_encrypt(pk)) {
    throw runtime::Failure("The public key cannot encrypt: it is the identity or the point of order two.");
  }
  const curve::EdwardsBasepointTable table = curve::EdwardsBasepointTable::create(pk);

  using Store = okvs::Paxos<Ciphertext>;
  std::span<std::uint8_t> bytes;
  const okvs::Seeds seeds = Store::encode_into(rows, FreshZeros(table, rows.size()), [&](std::uint64_t m) {
    bytes = result.allocate(Store::byte_size(rows.size()));
    Ciphertext* const slots = reinterpret_cast<Ciphertext*>(bytes.data() + okvs::kSeedBytes);
    return Store::Slots{std::span<Ciphertext>(slots, m), std::span<Ciphertext>(slots + m, okvs::kDenseSlots)};
  });
  Store::write_seeds(seeds, bytes.first<okvs::kSeedBytes>());
}

Bytes build_okvs(const BytesArg& public_key, const Rows& strings_in_each_row) {
  BytesResult result;
  build_okvs(public_key, RowKeys(strings_in_each_row), result);
  return result.take();
}

}  // namespace vorlinde
