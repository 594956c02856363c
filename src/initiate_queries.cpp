// initiate_queries: the operator looks each query's sender row up in the
// sender bank's store and its receiver row in the receiver bank's store, and
// binds the two values and its own key into one re-randomised record.

#include <algorithm>
#include <cstring>
#include <span>
#include <utility>
#include <vector>

#include "curve/edwards.hpp"
#include "okvs/schemes/paxos.hpp"
#include "runtime/pool.hpp"
#include "runtime/stack_scrub.hpp"
#include "src/ciphertexts.hpp"
#include "src/data_rows.hpp"
#include "src/keys.hpp"
#include "src/operations.hpp"
#include "src/result_buffer.hpp"
#include "src/wide_ciphertexts.hpp"

namespace vorlinde {

Bytes initiate_queries(Rows sender_data, Rows receiver_data, const BytesArg& sender_okvs,
                       const BytesArg& receiver_okvs, const BytesArg& swift_pk) {
  const runtime::ScrubStackOnExit scrub;
  // Read in place: the arguments' bytes are immutable and held by the call
  // frame, with the interpreter lock held, until this returns, so a store of
  // a gigabyte costs no copy per call. Parsed in this order so that the first
  // bad argument decides the message.
  using Store = okvs::PaxosView<Ciphertext>;
  const Store sender_store(sender_okvs.get(kSenderOkvsSentence));
  const Store receiver_store(receiver_okvs.get(kReceiverOkvsSentence));
  const curve::EdwardsPoint swift_key = read_public_key(swift_pk, kPublicKeySentence);

  const std::size_t count = std::min(sender_data.size(), receiver_data.size());
  constexpr std::size_t kRecord = WideCiphertext::kSize;
  // Query i owns bytes [128 i, 128 i + 128) and rows i of both lists, which
  // its worker moves into the row keys.
  Bytes out = result_bytes(count * kRecord);
  if (count == 0) return out;
  // 64 queries per task: eight lanes' batches, well under a millisecond.
  constexpr std::size_t kQueriesPerTask = 64;
  runtime::parallel_for(
      count,
      [&](std::size_t begin, std::size_t end) {
        const std::size_t n = end - begin;
        std::vector<DataRow> sender_keys, receiver_keys;
        sender_keys.reserve(n);
        receiver_keys.reserve(n);
        for (std::size_t i = begin; i < end; ++i) {
          sender_keys.emplace_back(std::move(sender_data[i]));
          receiver_keys.emplace_back(std::move(receiver_data[i]));
        }
        std::vector<Ciphertext> senders(n), receivers(n);
        sender_store.decode_many(sender_keys, std::span<Ciphertext>(senders));
        receiver_store.decode_many(receiver_keys, std::span<Ciphertext>(receivers));
        std::vector<WideCiphertext> records(n);
        Ciphertext::add_and_randomize_many(senders, receivers, swift_key, records);
        for (std::size_t i = 0; i < n; ++i) {
          const auto record = records[i].to_bytes();
          std::memcpy(out.data() + (begin + i) * kRecord, record.data(), kRecord);
        }
      },
      kQueriesPerTask);
  return out;
}

}  // namespace vorlinde
