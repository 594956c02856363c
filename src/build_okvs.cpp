// build_okvs: a bank's rows as a store mapping each row key to a fresh
// encryption of the identity under the bank's public key.

#include <algorithm>
#include <span>
#include <utility>
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

}  // namespace

Bytes build_okvs(const BytesArg& public_key, Rows strings_in_each_row) {
  const runtime::ScrubStackOnExit scrub;
  const curve::EdwardsPoint pk = read_public_key(public_key, kPublicKeySentence);
  std::vector<DataRow> rows = distinct_rows(std::move(strings_in_each_row));
  if (!rows.empty() && cannot_encrypt(pk)) {
    throw runtime::Failure("The public key cannot encrypt: it is the identity or the point of order two.");
  }
  const curve::EdwardsBasepointTable table = curve::EdwardsBasepointTable::create(pk);

  // Pair i is written only by the worker that encrypts row i, so the list is
  // in row order however the pool splits the rows. The encoder reads the
  // values at random, so the list is a table (on huge pages when large).
  okvs::Table<std::pair<DataRow, Ciphertext>> pairs;
  pairs.reserve(rows.size());
  for (DataRow& row : rows) pairs.emplace_back(std::move(row), Ciphertext{});
  rows = {};
  if (!pairs.empty()) {
    // 64 rows per task: about eight batches of candidates, under a millisecond.
    constexpr std::size_t kRowsPerTask = 64;
    runtime::parallel_for(
        pairs.size(),
        [&](std::size_t begin, std::size_t end) {
          std::vector<Ciphertext> values(end - begin);
          Ciphertext::zero_many(table, values);
          for (std::size_t i = begin; i < end; ++i) pairs[i].second = values[i - begin];
        },
        kRowsPerTask);
  }
  using Store = okvs::Paxos<Ciphertext>;
  const Store store = Store::encode<DataRow>(std::span<const std::pair<DataRow, Ciphertext>>(pairs));
  pairs = {};  // everything of them is in the store now; freed before its bytes are made
  const std::size_t size = okvs::kSeedBytes + (store.sparse.size() + store.dense.size()) * Store::kValueBytes;
  return runtime::allocating(size, "the result", [&] { return store.to_bytes(); });
}

}  // namespace vorlinde
