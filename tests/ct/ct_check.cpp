// The constant-time check: runs every path that handles a secret with the
// secrets marked for the checking tool (valgrind memcheck or MemorySanitizer,
// see runtime/classify.hpp), so that a branch or a memory index computed from
// a secret is reported. scripts/test-ct runs it and matches the reports against
// tests/ct/expected_reports.ini.
//
//   ct_check <backend>   forces that scalar-multiplication backend first
//   ct_check --list      names the backends this build and processor (or the
//                        processor valgrind emulates) can run, one a line
//
// Secret: every byte the thread generators hand out (classified inside the
// core), the secret keys given to the key reader, decrypt and finish, and the
// bytes given to the scalar constructors below. Results are declassified
// before this program looks at them, as a caller receiving them would. The
// checks on results only make sure that each path really ran to its end on
// meaningful data; correctness is the unit tests' business.
//
// Exit status: 0 when every path ran and every result check held, 1 when a
// result check failed, 2 for a bad command line or a backend that could not be
// forced.

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "curve/edwards.hpp"
#include "curve/scalar.hpp"
#include "curve/backend.hpp"
#include "runtime/classify.hpp"
#include "runtime/rng.hpp"
#include "src/ciphertexts.hpp"
#include "src/keys.hpp"
#include "src/operations.hpp"
#include "src/point_conversion.hpp"
#include "src/wide_ciphertexts.hpp"

namespace vorlinde {
namespace {

using curve::CompressedEdwardsY;
using curve::EdwardsBasepointTable;
using curve::EdwardsPoint;
using curve::Scalar;
using Key = std::array<std::uint8_t, 32>;

class BytesOver final : public BytesArg {
 public:
  explicit BytesOver(Bytes bytes) : bytes_(std::move(bytes)) {}
  std::span<const std::uint8_t> get(const char*) const override { return bytes_; }

 private:
  Bytes bytes_;
};

template <class T>
T secret(T value) {
  runtime::classify(&value, sizeof value);
  return value;
}

template <class T>
T published(T value) {
  runtime::declassify(&value, sizeof value);
  return value;
}

Bytes published(Bytes value) {
  runtime::declassify(value.data(), value.size());
  return value;
}

int failures = 0;

void check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "ct_check: result check failed: %s\n", what);
  ++failures;
}

// Public points; the scalars that make them are public too.
EdwardsPoint public_point(std::uint8_t seed) {
  Key bytes{};
  bytes[0] = seed;
  bytes[17] = static_cast<std::uint8_t>(seed * 29 + 3);
  return curve::ED25519_BASEPOINT_POINT * Scalar::from_bytes_mod_order(bytes);
}

CompressedEdwardsY encode(const EdwardsPoint& p) { return published(p.compress()); }

Bytes concat(std::initializer_list<std::span<const std::uint8_t>> parts) {
  Bytes out;
  for (auto part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// A secret key's bytes with bits 254 and 255 forced to `top`: 0xc0 gives an
// unreduced scalar above the group order (from_bits clears bit 255 only).
Key secret_key_bytes(std::uint8_t top) {
  Key key;
  runtime::fill_random(key);
  key[31] = static_cast<std::uint8_t>((key[31] & 0x3f) | top);
  return secret(key);
}

// Variable base, fixed base with the constant table and with a run-time table,
// for one secret scalar; the three must agree. Returns k P for the caller.
CompressedEdwardsY multiply_all_ways(const Scalar& k, const EdwardsPoint& P, const EdwardsBasepointTable& table_p,
                                     const char* what) {
  const CompressedEdwardsY var_g = encode(curve::ED25519_BASEPOINT_POINT * k);
  const CompressedEdwardsY fix_g = encode(curve::ED25519_BASEPOINT_TABLE * k);
  const CompressedEdwardsY var_p = encode(P * k);
  const CompressedEdwardsY fix_p = encode(table_p * k);
  check(var_g == fix_g && var_p == fix_p, what);
  return var_p;
}

void scalar_multiplication(const EdwardsPoint& P, const EdwardsBasepointTable& table_p) {
  // Unreduced keys (bit 254 set: above the order; and a low one), the wide
  // reduction of 64 secret bytes, and the random scalar.
  multiply_all_ways(Scalar::from_bits(secret_key_bytes(0xc0)), P, table_p, "unreduced scalar, bit 254 set");
  multiply_all_ways(Scalar::from_bits(secret_key_bytes(0x00)), P, table_p, "unreduced scalar, bit 254 clear");
  std::array<std::uint8_t, 64> wide;
  runtime::fill_random(wide);
  multiply_all_ways(Scalar::from_bytes_mod_order_wide(secret(wide)), P, table_p, "wide reduction");
  multiply_all_ways(Scalar::random(), P, table_p, "random scalar");
}

// The key reader and decrypt, with a key above the group order and bit 255
// set (ignored): decrypt's results must equal the reader's scalar times each
// point.
void key_reader_and_decrypt(const EdwardsPoint& P, const EdwardsBasepointTable& table_p) {
  const Key key = secret_key_bytes(0xc0);
  const BytesOver key_arg(Bytes(key.begin(), key.end()));
  const Scalar k = read_secret_key(key_arg, kBankSecretKeySentence);
  const CompressedEdwardsY kp = multiply_all_ways(k, P, table_p, "key reader");

  const EdwardsPoint Q = public_point(5);
  const CompressedEdwardsY kq = encode(Q * k);
  const Bytes points = concat({P.compress().bytes, Q.compress().bytes});
  const Bytes out = published(decrypt(BytesOver(points), key_arg));
  check(out == concat({kp.bytes, kq.bytes}), "decrypt");
}

struct Party {
  EdwardsPoint public_point;
  EdwardsBasepointTable table;
  Key secret_key;  // classified
};

// key_gen's results are handed to Python, so public; the secret key becomes a
// secret again where this program passes it back in.
Party key_gen_party() {
  const KeyPair pair = published(key_gen());
  const auto point = CompressedEdwardsY{pair.public_key}.decompress();
  check(point.has_value(), "key_gen public key decodes");
  const EdwardsPoint pk = point.value_or(EdwardsPoint::identity());
  check(encode(curve::ED25519_BASEPOINT_POINT * Scalar::from_bits(pair.secret_key)).bytes == pair.public_key,
        "key_gen public key is secret key times G");
  return {pk, EdwardsBasepointTable::create(pk), secret(pair.secret_key)};
}

Bytes column(const Bytes& records, std::size_t field) {
  Bytes out;
  for (std::size_t at = 0; at < records.size(); at += WideCiphertext::kSize) {
    const auto begin = records.begin() + static_cast<std::ptrdiff_t>(at + 32 * field);
    out.insert(out.end(), begin, begin + 32);
  }
  return out;
}

// One matching run of two records: the first from genuine encryptions under
// both banks' keys, the second with random filler for the receiver's value.
// finish must say true, then false.
void protocol_run() {
  Party sender = key_gen_party();
  const Party receiver = key_gen_party();
  const Party swift = key_gen_party();
  sender.secret_key[31] |= 0x80;  // bit 255 is ignored by the key reader

  const Ciphertext a1 = published(Ciphertext::zero(sender.table));
  const Ciphertext a2 = published(Ciphertext::zero(sender.table));
  const Ciphertext b1 = published(Ciphertext::zero(receiver.table));
  const Ciphertext filler = published(Ciphertext::random());
  check((uniform_bytes_to_point(a1.c1) * Scalar::from_bits(published(sender.secret_key)))
            .ct_eq(uniform_bytes_to_point(a1.c2))
            .declassify(),
        "zero encrypts the identity");

  const WideCiphertext r1 = published(a1.add_and_randomize(b1, swift.public_point));
  const WideCiphertext r2 = published(a2.add_and_randomize(filler, swift.public_point));
  const Bytes records = published(randomize(BytesOver(concat({r1.to_bytes(), r2.to_bytes()}))));

  const Bytes alpha = published(decrypt(BytesOver(column(records, 0)), BytesOver(Bytes(sender.secret_key.begin(), sender.secret_key.end()))));
  const Bytes beta = published(decrypt(BytesOver(column(records, 1)), BytesOver(Bytes(receiver.secret_key.begin(), receiver.secret_key.end()))));
  const std::vector<bool> matches =
      finish(BytesOver(alpha), BytesOver(beta), BytesOver(column(records, 2)), BytesOver(column(records, 3)),
             BytesOver(Bytes(swift.secret_key.begin(), swift.secret_key.end())));
  // vector<bool> packs bits; copy them out before declassifying.
  Bytes flags(matches.begin(), matches.end());
  flags = published(std::move(flags));
  check(flags == Bytes{1, 0}, "finish: genuine record matches, filler does not");
}

}  // namespace
}  // namespace vorlinde

int main(int argc, char** argv) {
  using namespace vorlinde;
  if (argc != 2) {
    std::fprintf(stderr, "usage: ct_check <backend> | --list\n");
    return 2;
  }
  const std::string_view wanted = argv[1];
  if (wanted == "--list") {
    for (const curve::Backend* b : curve::available_backends()) std::printf("%s\n", b->name);
    return 0;
  }
  if (!curve::force_backend(wanted)) {
    std::fprintf(stderr, "ct_check: cannot force backend '%s'; this build and processor offer:", argv[1]);
    for (const curve::Backend* b : curve::available_backends()) std::fprintf(stderr, " %s", b->name);
    std::fprintf(stderr, "\n");
    return 2;
  }
  if (wanted != curve::active_backend().name) {
    std::fprintf(stderr, "ct_check: asked for %s, running %s\n", argv[1], curve::active_backend().name);
    return 2;
  }

  const curve::EdwardsPoint P = public_point(1);
  const curve::EdwardsBasepointTable table_p = curve::EdwardsBasepointTable::create(P);
  scalar_multiplication(P, table_p);
  key_reader_and_decrypt(P, table_p);
  protocol_run();

  if (failures != 0) return 1;
  std::printf("ct_check: backend %s: all paths ran\n", curve::active_backend().name);
  return 0;
}
