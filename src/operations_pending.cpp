// Stand-ins for the operations whose core is not built yet. Each performs its
// byte-string type checks in the order the real operation does, so that the
// module surface behaves as it will, then fails.

#include "runtime/failure.hpp"
#include "src/operations.hpp"

namespace vorlinde {

using runtime::Failure;

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

}  // namespace vorlinde
