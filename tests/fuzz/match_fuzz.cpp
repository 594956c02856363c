// A whole matching run on at most four rows per party: three key pairs, both
// banks' stores, the operator's queries, each bank's randomize, combine, both
// decrypts and finish, as the parties call them. Query rows are new rows or
// bank rows (of either bank) cut at other places.
//
// Checked: query i matches exactly when its sender row's key byte string is
// one of the sender bank's and its receiver row's one of the receiver bank's;
// a bank with no rows gives an empty store, and any query on it fails with the
// zero-divisor message; nothing else fails.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "runtime/failure.hpp"
#include "src/operations.hpp"
#include "tests/fuzz/fuzz_support.hpp"
#include "tests/fuzz/row_input.hpp"

using vorlinde::fuzz::joined;
using vorlinde::fuzz::require;
using vorlinde::fuzz::SpanArg;

namespace {

constexpr std::size_t kMaxRows = 4;

std::set<std::string> keys_of(const vorlinde::Rows& rows) {
  std::set<std::string> keys;
  for (const vorlinde::Row& row : rows) keys.insert(joined(row));
  return keys;
}

SpanArg arg(const std::array<std::uint8_t, 32>& bytes) { return SpanArg(bytes); }
SpanArg arg(const vorlinde::Bytes& bytes) { return SpanArg(bytes); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const vorlinde::Rows sender_bank = vorlinde::fuzz::make_rows(input, kMaxRows, 3, 8);
  const vorlinde::Rows receiver_bank = vorlinde::fuzz::make_rows(input, kMaxRows, 3, 8);
  vorlinde::Rows both = sender_bank;
  both.insert(both.end(), receiver_bank.begin(), receiver_bank.end());
  const vorlinde::Rows sender_queries = vorlinde::fuzz::make_rows(input, kMaxRows, 3, 8, both);
  const vorlinde::Rows receiver_queries = vorlinde::fuzz::make_rows(input, kMaxRows, 3, 8, both);
  const std::size_t queries = std::min(sender_queries.size(), receiver_queries.size());

  const vorlinde::KeyPair sender = vorlinde::key_gen();
  const vorlinde::KeyPair receiver = vorlinde::key_gen();
  const vorlinde::KeyPair swift = vorlinde::key_gen();
  const vorlinde::Bytes sender_okvs = vorlinde::build_okvs(arg(sender.public_key), sender_bank);
  const vorlinde::Bytes receiver_okvs = vorlinde::build_okvs(arg(receiver.public_key), receiver_bank);

  vorlinde::Bytes records;
  try {
    records = vorlinde::initiate_queries(sender_queries, receiver_queries, arg(sender_okvs), arg(receiver_okvs),
                                         arg(swift.public_key));
  } catch (const vorlinde::runtime::Failure& f) {
    require(queries > 0 && (sender_bank.empty() || receiver_bank.empty()) &&
                std::string(f.what()) == "attempt to calculate the remainder with a divisor of zero",
            std::string("initiate_queries failed: ") + f.what());
    return 0;
  }
  require(queries == 0 || (!sender_bank.empty() && !receiver_bank.empty()),
          "initiate_queries looked a row up in an empty store");
  require(records.size() == 128 * queries, "initiate_queries: wrong output length");

  const vorlinde::Bytes sender_records = vorlinde::randomize(arg(records));
  const vorlinde::Bytes receiver_records = vorlinde::randomize(arg(records));
  const auto [alpha, beta, gamma, delta] = vorlinde::combine(arg(sender_records), arg(receiver_records));
  const vorlinde::Bytes sender_points = vorlinde::decrypt(arg(alpha), arg(sender.secret_key));
  const vorlinde::Bytes receiver_points = vorlinde::decrypt(arg(beta), arg(receiver.secret_key));
  const std::vector<bool> matches = vorlinde::finish(arg(sender_points), arg(receiver_points), arg(gamma),
                                                     arg(delta), arg(swift.secret_key));

  const std::set<std::string> sender_keys = keys_of(sender_bank), receiver_keys = keys_of(receiver_bank);
  require(matches.size() == queries, "finish: wrong number of answers");
  for (std::size_t i = 0; i < queries; ++i) {
    const bool truth =
        sender_keys.count(joined(sender_queries[i])) == 1 && receiver_keys.count(joined(receiver_queries[i])) == 1;
    require(matches[i] == truth, "query " + std::to_string(i) + " should " + (truth ? "" : "not ") + "match");
  }
  return 0;
}
