// Stand-ins for the operations whose core is not built yet. Each performs its
// byte-string type checks in the order the real operation does, so that the
// module surface behaves as it will, then fails.

#include "runtime/failure.hpp"
#include "src/operations.hpp"

namespace vorlinde {

using runtime::Failure;

KeyPair key_gen() { throw Failure("key_gen is not available yet"); }

Bytes build_okvs(const BytesArg& public_key, Rows) {
  public_key.get(kPublicKeySentence);
  throw Failure("build_okvs is not available yet");
}

Bytes initiate_queries(Rows, Rows, const BytesArg& sender_okvs, const BytesArg& receiver_okvs,
                       const BytesArg& swift_pk) {
  sender_okvs.get(kSenderOkvsSentence);
  receiver_okvs.get(kReceiverOkvsSentence);
  swift_pk.get(kPublicKeySentence);
  throw Failure("initiate_queries is not available yet");
}

Bytes randomize(const BytesArg& ciphertexts) {
  ciphertexts.get(kCiphertextsSentence);
  throw Failure("randomize is not available yet");
}

std::array<Bytes, 4> combine(const BytesArg& sender_ciphertexts, const BytesArg& receiver_ciphertexts) {
  sender_ciphertexts.get(kSenderCiphertextsSentence);
  receiver_ciphertexts.get(kReceiverCiphertextsSentence);
  throw Failure("combine is not available yet");
}

Bytes decrypt(const BytesArg& points, const BytesArg& bank_secret_key) {
  bank_secret_key.get(kBankSecretKeySentence);
  points.get(kPointsSentence);
  throw Failure("decrypt is not available yet");
}

std::vector<bool> finish(const BytesArg& sender_points, const BytesArg& receiver_points,
                         const BytesArg& gamma_points, const BytesArg& delta_points,
                         const BytesArg& swift_secret_key) {
  swift_secret_key.get(kSwiftSecretKeySentence);
  for (const BytesArg* stream : {&sender_points, &receiver_points, &gamma_points, &delta_points}) {
    stream->get(kPointsSentence);
  }
  throw Failure("finish is not available yet");
}

}  // namespace vorlinde
