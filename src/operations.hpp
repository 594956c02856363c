#pragma once
// The seven operations of the module, free of any Python type. The module
// surface binds and converts the arguments, then calls one of these; every
// failure is a runtime::Failure carrying the caller-visible message, except
// memory exhaustion: runtime::OutOfMemory ("could not allocate {n} bytes for
// the result" for a result buffer) or another std::bad_alloc.
//
// Byte-string arguments arrive unchecked: each operation asks a BytesArg for its
// contents at the point of its order of work where the type test belongs, so
// the first failing check decides the message. get() is only ever called on the
// calling thread; the returned span stays valid for the whole call.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "runtime/wipe.hpp"

namespace vorlinde {

using Bytes = std::vector<std::uint8_t>;
using Row = std::vector<std::string>;  // a row's strings, UTF-8
using Rows = std::vector<Row>;

class BytesArg {
 public:
  virtual ~BytesArg() = default;
  // The argument's bytes, read in place. Throws runtime::Failure with
  // "{sentence}: PyDowncastError { from: {repr}, to: \"PyBytes\" }" when the
  // argument is not a byte string.
  virtual std::span<const std::uint8_t> get(const char* sentence) const = 0;
};

// Where an operation writes a result whose size it learns midway: the buffer
// of the object that will be handed to the caller, so that the result is
// written once. The object lives as long as the ResultBuffer and is only
// handed out after the operation returns, so a failing operation gives back
// nothing. allocate is called at most once.
// Failure: runtime::OutOfMemory "could not allocate {size} bytes for the result".
class ResultBuffer {
 public:
  virtual ~ResultBuffer() = default;
  virtual std::span<std::uint8_t> allocate(std::size_t size) = 0;
};

class RowKeys;  // src/data_rows.hpp

// The type-check sentences, one per parameter.
inline constexpr const char* kPublicKeySentence = "The public key object should be of type `bytes`.";
inline constexpr const char* kSenderOkvsSentence = "The sender_okvs object should be of type `bytes`.";
inline constexpr const char* kReceiverOkvsSentence = "The receiver_okvs object should be of type `bytes`.";
inline constexpr const char* kCiphertextsSentence = "The ciphertexts object should be of type `bytes`.";
inline constexpr const char* kSenderCiphertextsSentence =
    "The sender_ciphertexts object should be of type `bytes`.";
inline constexpr const char* kReceiverCiphertextsSentence =
    "The receiver_ciphertexts object should be of type `bytes`.";
inline constexpr const char* kBankSecretKeySentence = "The bank_secret_key object should be of type `bytes`.";
inline constexpr const char* kPointsSentence = "The points object should be of type `bytes`.";
inline constexpr const char* kSwiftSecretKeySentence = "The swift_secret_key object should be of type `bytes`.";

// The secret half is wiped when the pair dies, once the caller has copied it
// into its result.
struct KeyPair {
  std::array<std::uint8_t, 32> public_key;
  std::array<std::uint8_t, 32> secret_key;
  ~KeyPair() { runtime::wipe(secret_key); }
};

// Every operation that touches a secret (a key, a random scalar) scrubs the
// calling thread's dead stack before it returns or throws; pool workers do the
// same after each job.
KeyPair key_gen();
void build_okvs(const BytesArg& public_key, RowKeys strings_in_each_row, ResultBuffer& result);
Bytes build_okvs(const BytesArg& public_key, const Rows& strings_in_each_row);
Bytes initiate_queries(Rows sender_data, Rows receiver_data, const BytesArg& sender_okvs,
                       const BytesArg& receiver_okvs, const BytesArg& swift_pk);
Bytes randomize(const BytesArg& ciphertexts);
std::array<Bytes, 4> combine(const BytesArg& sender_ciphertexts, const BytesArg& receiver_ciphertexts);
Bytes decrypt(const BytesArg& points, const BytesArg& bank_secret_key);
std::vector<bool> finish(const BytesArg& sender_points, const BytesArg& receiver_points,
                         const BytesArg& gamma_points, const BytesArg& delta_points,
                         const BytesArg& swift_secret_key);

}  // namespace vorlinde
