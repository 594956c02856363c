"""A Python module for the cryptographic operations necessary to do feature
extraction (element matching in two datasets).

A matching run between a sender bank, a receiver bank and the operator:
every party calls `key_gen`; each bank calls `build_okvs` on its rows; the
operator calls `initiate_queries` with its transactions' sender-side and
receiver-side rows and both stores; the records are re-randomised with
`randomize` and summed with `combine`; the sender bank calls `decrypt` on the
alpha stream and the receiver bank on the beta stream; the operator calls
`finish` and gets one bool per transaction.

Byte-string parameters take `bytes` (or a subclass); `bytearray`,
`memoryview` and `str` are refused at run time. Row data is a sequence of
rows, each row a sequence of `str`.

Failures: binding and row-data errors are `TypeError` and `ValueError`;
every failure inside an operation raises `PanicException`, whose qualified
name is "pyo3_runtime.PanicException". It derives from `BaseException`, not
`Exception`, so `except Exception:` does not catch it. It is not an
attribute of this module: catch `BaseException` and look at the type.
"""

from collections.abc import Sequence

__all__ = ["key_gen", "build_okvs", "initiate_queries", "randomize", "combine", "decrypt", "finish"]

def key_gen() -> tuple[bytes, bytes]:
    """Generates a key pair for this party, returning a tuple with
    (public_key: bytes, secret_key: bytes).

    Both are 32 bytes: the public key a compressed edwards25519 point, the
    secret key a scalar.
    """

def build_okvs(public_key: bytes, strings_in_each_row: Sequence[Sequence[str]]) -> bytes:
    """Builds an OKVS for one party. Takes the public key of this party and
    the data from the database, which is a list of rows. Each row is a list
    of the relevant columns as a String.

    A row's key is the concatenation of its strings' UTF-8 encodings. Lists
    and tuples work at either level. A bare `str` is refused where a row or
    the row list is expected, though it is a `Sequence[str]` to a type
    checker: it raises `ValueError("Can't extract `str` to `Vec`")`.
    Returns the serialised store, to hand to the operator.
    """

def initiate_queries(
    sender_data: Sequence[Sequence[str]],
    receiver_data: Sequence[Sequence[str]],
    sender_okvs: bytes,
    receiver_okvs: bytes,
    swift_pk: bytes,
) -> bytes:
    """Looks up transaction i's sender row `sender_data[i]` in the sender
    bank's store and its receiver row `receiver_data[i]` in the receiver
    bank's, and folds the two values and the operator's public key `swift_pk`
    into one re-randomised 128-byte record.

    Rows are given as for `build_okvs` (a bare `str` is refused with
    `ValueError`); the longer of the two row lists is cut to the shorter.
    Returns the records, concatenated in transaction order.
    """

def randomize(ciphertexts: bytes) -> bytes:
    """Multiplies every 128-byte record of `ciphertexts` by a fresh random
    scalar. Returns the records in the same order; the matching relation of
    each record is kept.
    """

def combine(sender_ciphertexts: bytes, receiver_ciphertexts: bytes) -> tuple[bytes, bytes, bytes, bytes]:
    """Adds two row-aligned streams of 128-byte records and splits the sums
    into four streams of 32-byte points: (alpha, beta, gamma, delta).

    The sender bank decrypts alpha, the receiver bank beta; gamma and delta
    go to the operator's `finish`.
    """

def decrypt(points: bytes, bank_secret_key: bytes) -> bytes:
    """Multiplies every 32-byte point of `points` by the bank's 32-byte
    secret key. Returns the points in the same order.
    """

def finish(
    sender_points: bytes,
    receiver_points: bytes,
    gamma_points: bytes,
    delta_points: bytes,
    swift_secret_key: bytes,
) -> list[bool]:
    """Checks, per transaction, whether both of its lookups hit rows the
    banks stored: the decrypted alpha and beta streams, the gamma and delta
    streams of `combine`, and the operator's 32-byte secret key. Returns one
    bool per transaction, in order (as many as the shortest stream has
    points).
    """
