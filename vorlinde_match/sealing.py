"""Signing and sealing the files the parties hand each other, with libsodium
(through PyNaCl): nothing here is a cipher mode, MAC or framing of our own.

A party's identity is two key pairs: Ed25519 for signing, X25519 for
sealing. A handed-over file's body is one libsodium secretstream
(XChaCha20-Poly1305) under a fresh 32-byte file key: the 24-byte stream
header, then the plaintext in chunks of CHUNK bytes, each pushed with its
16-byte Poly1305 tag and a tag byte; the last chunk (possibly short or empty)
carries TAG_FINAL, every other one TAG_MESSAGE. The chunk boundaries follow
from the plaintext's length alone, so a reader needs no lengths in the
stream. The file key is sealed (crypto_box_seal) to each recipient's X25519
key. The writer signs the header, which holds the sealed file keys and the
BLAKE2b-256 digest of the whole sealed body, with Ed25519 (files.py lays the
header out). A reader checks the signature before it opens anything, the
secretstream checks every chunk, its order and the end, and the digest
checks the body as stored.

PyNaCl is imported when first needed, so that the module `vorlinde` and
`vorlinde-match --help` work without it; a missing PyNaCl is one line
naming the pip command.
"""

import hashlib

from .errors import StepError

CHUNK = 1 << 16  # plaintext bytes per secretstream chunk, except the last
STREAM_HEADER = 24  # crypto_secretstream_xchacha20poly1305_HEADERBYTES
CHUNK_OVERHEAD = 17  # crypto_secretstream_xchacha20poly1305_ABYTES: tag byte and MAC
KEY_BYTES = 32
SEALED_KEY_BYTES = 80  # crypto_box_SEALBYTES (48) + a 32-byte file key
SIGNATURE_BYTES = 64
IDENTITY_FINGERPRINT_HEX = 32  # 128 bits
_IDENTITY_DOMAIN = b"vorlinde-match identity 1\0"
INSTALL = "pip install 'vorlinde[match]' (or pip install pynacl)"

_nacl = None


def library():
    """PyNaCl's modules (bindings, signing, public, exceptions), imported once."""
    global _nacl
    if _nacl is None:
        try:
            import nacl.bindings
            import nacl.exceptions
            import nacl.public
            import nacl.signing
        except ImportError:
            raise StepError(f"vorlinde-match signs and seals the files it hands over with PyNaCl, which is not "
                            f"installed: {INSTALL}") from None
        _nacl = nacl
    return _nacl


def sealed_size(plain):
    """The length of a sealed body holding `plain` bytes: stream header, the
    plaintext, and each chunk's overhead (one chunk at least)."""
    chunks = max(1, -(-plain // CHUNK))
    return STREAM_HEADER + plain + CHUNK_OVERHEAD * chunks


# Identities --------------------------------------------------------------------

def fingerprint(role, signing_key, sealing_key):
    """An identity's fingerprint: the first 128 bits of BLAKE2b-256 over a
    domain string, the role, a zero byte and both public keys, in hex."""
    data = _IDENTITY_DOMAIN + role.encode("ascii") + b"\0" + signing_key + sealing_key
    return hashlib.blake2b(data, digest_size=32).hexdigest()[:IDENTITY_FINGERPRINT_HEX]


def grouped(fingerprint_hex):
    """A fingerprint as people compare it: groups of four hex digits."""
    return " ".join(fingerprint_hex[i:i + 4] for i in range(0, len(fingerprint_hex), 4))


class Identity:
    """A party's public identity: its role and public keys."""

    def __init__(self, role, signing_key, sealing_key):
        self.role, self.signing_key, self.sealing_key = role, bytes(signing_key), bytes(sealing_key)
        self.fingerprint = fingerprint(role, self.signing_key, self.sealing_key)

    def __eq__(self, other):
        return isinstance(other, Identity) and (self.role, self.signing_key, self.sealing_key) == \
            (other.role, other.signing_key, other.sealing_key)

    def __hash__(self):
        return hash(self.fingerprint)

    def shown(self):
        return grouped(self.fingerprint)


def new_secrets():
    """Fresh secret halves: (Ed25519 seed, X25519 secret key), 32 bytes each."""
    nacl = library()
    return bytes(nacl.signing.SigningKey.generate()), bytes(nacl.public.PrivateKey.generate())


class Secrets:
    """A party's own identity with its secret halves (held by PyNaCl's key
    objects, which keep them in their own bytes)."""

    def __init__(self, role, signing_seed, sealing_secret):
        nacl = library()
        self._signing = nacl.signing.SigningKey(bytes(signing_seed))
        self._sealing = nacl.public.PrivateKey(bytes(sealing_secret))
        self.identity = Identity(role, bytes(self._signing.verify_key), bytes(self._sealing.public_key))

    def sign(self, message):
        return self._signing.sign(message).signature

    def unseal(self, sealed):
        """The file key sealed to this identity, or None when it does not open."""
        nacl = library()
        try:
            return nacl.public.SealedBox(self._sealing).decrypt(sealed)
        except nacl.exceptions.CryptoError:
            return None


def verify(identity, message, signature):
    """Whether `signature` is `identity`'s Ed25519 signature of `message`."""
    nacl = library()
    try:
        nacl.signing.VerifyKey(identity.signing_key).verify(message, signature)
        return True
    except (nacl.exceptions.BadSignatureError, nacl.exceptions.ValueError, nacl.exceptions.TypeError):
        return False


def seal_key(identity, file_key):
    nacl = library()
    return nacl.public.SealedBox(nacl.public.PublicKey(identity.sealing_key)).encrypt(bytes(file_key))


# The body ------------------------------------------------------------------------

class Sealer:
    """Encrypts a body in CHUNK-byte chunks as it is written: `write` takes
    plaintext and hands the ciphertext to `out` (a function), `finish` pushes
    the last chunk. `file_key` is the fresh key, for sealing to recipients."""

    def __init__(self, out):
        nacl = library()
        self._b = nacl.bindings
        self._out = out
        self.file_key = bytearray(self._b.crypto_secretstream_xchacha20poly1305_keygen())
        self._state = self._b.crypto_secretstream_xchacha20poly1305_state()
        out(self._b.crypto_secretstream_xchacha20poly1305_init_push(self._state, bytes(self.file_key)))
        self._pending = bytearray()
        self.plain = 0

    def _push(self, chunk, tag):
        self._out(self._b.crypto_secretstream_xchacha20poly1305_push(self._state, bytes(chunk), None, tag))

    def write(self, data):
        # A full chunk is held back until more follows: the last chunk, full
        # or not, is the one that carries TAG_FINAL.
        view = memoryview(data)
        self.plain += len(view)
        if self._pending:
            need = CHUNK - len(self._pending)
            self._pending += view[:need]
            view = view[need:]
            if not view:
                return
            self._push(self._pending, self._b.crypto_secretstream_xchacha20poly1305_TAG_MESSAGE)
            self._pending = bytearray()
        while len(view) > CHUNK:
            self._push(view[:CHUNK], self._b.crypto_secretstream_xchacha20poly1305_TAG_MESSAGE)
            view = view[CHUNK:]
        self._pending = bytearray(view)

    def finish(self):
        self._push(self._pending, self._b.crypto_secretstream_xchacha20poly1305_TAG_FINAL)
        self._pending = bytearray()
        self.wipe()

    def wipe(self):
        self.file_key[:] = bytes(len(self.file_key))


class Opener:
    """Decrypts a sealed body chunk by chunk. `chunk_lengths(body)` gives the
    lengths in which to hand it the stored chunks; `open` returns a chunk's
    plaintext, or raises ValueError naming what is wrong."""

    def __init__(self, file_key, stream_header):
        nacl = library()
        self._b = nacl.bindings
        self._errors = (nacl.exceptions.CryptoError, nacl.exceptions.ValueError)
        self._state = self._b.crypto_secretstream_xchacha20poly1305_state()
        try:
            self._b.crypto_secretstream_xchacha20poly1305_init_pull(self._state, bytes(stream_header),
                                                                     bytes(file_key))
        except self._errors:
            raise ValueError("its stream header is damaged") from None
        self.opened = 0
        self.ended = False

    def open(self, chunk, last):
        if self.ended:
            raise ValueError("it goes on after its final chunk")
        try:
            plain, tag = self._b.crypto_secretstream_xchacha20poly1305_pull(self._state, bytes(chunk), None)
        except self._errors:
            raise ValueError(f"chunk {self.opened + 1:,} of its body does not authenticate (altered, "
                             "out of order or from another file)") from None
        self.opened += 1
        final = tag == self._b.crypto_secretstream_xchacha20poly1305_TAG_FINAL
        if final and not last:
            raise ValueError(f"its body goes on after its final chunk {self.opened:,}")
        if last and not final:
            raise ValueError(f"its body ends after chunk {self.opened:,}, which is not its final chunk "
                             "(cut short)")
        self.ended = final
        return plain


def chunk_lengths(body):
    """The stored lengths of the chunks of a sealed body of `body` bytes, in
    order (after the stream header); None when no plaintext length gives a
    body of that size."""
    rest = body - STREAM_HEADER
    if rest < CHUNK_OVERHEAD:
        return None
    full, tail = divmod(rest, CHUNK + CHUNK_OVERHEAD)
    if tail == 0:
        return [CHUNK + CHUNK_OVERHEAD] * full
    if tail < CHUNK_OVERHEAD:
        return None
    return [CHUNK + CHUNK_OVERHEAD] * full + [tail]
