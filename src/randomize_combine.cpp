// randomize and combine: the operator's record streams, re-randomised record by
// record, and two row-aligned streams summed and split into the four point
// streams alpha, beta, gamma, delta.

#include <algorithm>
#include <cstring>
#include <span>
#include <vector>

#include "runtime/pool.hpp"
#include "runtime/stack_scrub.hpp"
#include "src/operations.hpp"
#include "src/record_stream.hpp"
#include "src/result_buffer.hpp"
#include "src/wide_ciphertexts.hpp"

namespace vorlinde {

namespace {

constexpr std::size_t kRecord = WideCiphertext::kSize;
constexpr std::size_t kPoint = 32;

// Records per pool task: batches of eight points fill the vector lanes, and a
// task stays well under a millisecond so cancellation is prompt.
constexpr std::size_t kBatchGrain = 64;

using CompressedField = curve::CompressedEdwardsY WideCiphertext::*;
using CiphertextStream = RecordStream<kRecord>;

}  // namespace

Bytes randomize(const BytesArg& ciphertexts) {
  const runtime::ScrubStackOnExit scrub;
  const CiphertextStream stream(ciphertexts.get(kCiphertextsSentence));
  const std::size_t count = stream.count();
  // Record i owns bytes [128 i, 128 i + 128) of the result, so the layout is
  // that of a sequential loop however the pool splits the work.
  Bytes out = result_bytes(count * kRecord);
  if (count == 0) return out;
  runtime::parallel_for(
      count,
      [&](std::size_t begin, std::size_t end) {
        std::vector<WideCiphertext> records(end - begin);
        for (std::size_t i = begin; i < end; ++i) records[i - begin] = WideCiphertext::from_bytes(stream.record(i));
        WideCiphertext::randomize_many(records, records);
        for (std::size_t i = begin; i < end; ++i) {
          const auto record = records[i - begin].to_bytes();
          std::memcpy(out.data() + i * kRecord, record.data(), kRecord);
        }
      },
      kBatchGrain);
  return out;
}

std::array<Bytes, 4> combine(const BytesArg& sender_ciphertexts, const BytesArg& receiver_ciphertexts) {
  const CiphertextStream sender(sender_ciphertexts.get(kSenderCiphertextsSentence));
  const CiphertextStream receiver(receiver_ciphertexts.get(kReceiverCiphertextsSentence));
  // Records of the longer stream beyond the shorter one's count are never read.
  const std::size_t pair_count = std::min(sender.count(), receiver.count());

  std::array<Bytes, 4> columns;
  for (Bytes& column : columns) column = result_bytes(pair_count * kPoint);
  if (pair_count == 0) return columns;

  std::vector<WideCiphertext> sums = runtime::allocating(
      pair_count * sizeof(WideCiphertext), "the sums of the records", [&] { return std::vector<WideCiphertext>(pair_count); });
  runtime::parallel_for(
      pair_count,
      [&](std::size_t begin, std::size_t end) {
        std::vector<WideCiphertext> senders(end - begin), receivers(end - begin);
        for (std::size_t i = begin; i < end; ++i) {
          senders[i - begin] = WideCiphertext::from_bytes(sender.record(i));
          receivers[i - begin] = WideCiphertext::from_bytes(receiver.record(i));
        }
        WideCiphertext::sum_many(senders, receivers, std::span(sums).subspan(begin, end - begin));
      },
      kBatchGrain);

  // One pass per component, each finished before the next starts.
  constexpr CompressedField kFields[4] = {&WideCiphertext::alpha, &WideCiphertext::beta, &WideCiphertext::gamma,
                                          &WideCiphertext::delta};
  // A copy is a few nanoseconds, so ranges are thousands of items long.
  constexpr std::size_t kCopyGrain = 4096;
  for (std::size_t k = 0; k < 4; ++k) {
    runtime::parallel_for(
        pair_count,
        [&](std::size_t begin, std::size_t end) {
          for (std::size_t i = begin; i < end; ++i) {
            std::memcpy(columns[k].data() + i * kPoint, (sums[i].*kFields[k]).bytes.data(), kPoint);
          }
        },
        kCopyGrain);
  }
  return columns;
}

}  // namespace vorlinde
