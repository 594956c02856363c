"""key_gen, decrypt and finish against the pure-Python edwards25519 oracle."""

import os

import pytest

import vorlinde
from conftest import panic_message
from edwards25519 import G, L, P, add, compress, decompress, mul, neg, secret_scalar

UNWRAP = "called `Option::unwrap()` on a `None` value"
IDENTITY_BYTES = bytes([1]) + bytes(31)
NOT_A_POINT = bytes([2]) + bytes(31)  # y = 2 has no x
# The identity written as y = p + 1, and with the sign bit set on x = 0.
IDENTITY_NON_CANONICAL = [(P + 1).to_bytes(32, "little"), bytes([1]) + bytes(30) + bytes([0x80])]

# Points of small order: the identity, (0, -1) of order 2, and one of order 8.
ORDER_2 = compress((0, P - 1))
ORDER_8 = bytes.fromhex("c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a")


def slice_message(n):
    return f"source slice length ({n}) does not match destination slice length (32)"


def random_point():
    return mul(int.from_bytes(os.urandom(32), "little") % L, G)


def test_key_gen_pairs():
    pairs = [vorlinde.key_gen() for _ in range(8)]
    assert len({pair for pair in pairs}) == len(pairs)
    for public_key, secret_key in pairs:
        assert type(public_key) is bytes and type(secret_key) is bytes
        assert len(public_key) == len(secret_key) == 32
        assert secret_key[31] <= 0x10
        s = int.from_bytes(secret_key, "little")
        assert 0 < s < L
        assert decompress(public_key) is not None
        assert compress(mul(s, G)) == public_key


def test_decrypt_of_the_base_point_gives_the_public_key():
    public_key, secret_key = vorlinde.key_gen()
    assert vorlinde.decrypt(compress(G), secret_key) == public_key


@pytest.mark.parametrize(
    "key",
    [
        bytes(32),  # the all-zero key is accepted
        (1).to_bytes(32, "little"),
        (L + 5).to_bytes(32, "little"),  # above l: used as the integer it is
        bytes([0xFF]) * 32,  # top bit set: read as 2^255 - 1
        os.urandom(32),
    ],
    ids=["zero", "one", "above-l", "all-ones", "random"],
)
def test_decrypt_matches_the_oracle(key):
    points = [compress(random_point()) for _ in range(5)] + [IDENTITY_BYTES, ORDER_2, ORDER_8]
    k = secret_scalar(key)
    expected = b"".join(compress(mul(k, decompress(point))) for point in points)
    assert vorlinde.decrypt(b"".join(points), key) == expected


def test_decrypt_ignores_the_top_bit_of_the_key():
    key = bytearray(os.urandom(32))
    key[31] &= 0x7F
    points = b"".join(compress(random_point()) for _ in range(4))
    cleared = vorlinde.decrypt(points, bytes(key))
    key[31] |= 0x80
    assert vorlinde.decrypt(points, bytes(key)) == cleared


def test_decrypt_of_the_identity_is_the_canonical_identity():
    key = os.urandom(32)
    stream = IDENTITY_BYTES + b"".join(IDENTITY_NON_CANONICAL)
    assert vorlinde.decrypt(stream, key) == IDENTITY_BYTES * 3


def test_decrypt_accepts_non_canonical_encodings():
    # y + p still fits in 255 bits for y < 19; those that lie on the curve, with
    # either sign, come back canonical.
    encodings = [
        (y + P | sign << 255).to_bytes(32, "little")
        for y in range(19)
        for sign in (0, 1)
        if decompress((y + P).to_bytes(32, "little")) is not None
    ]
    assert len(encodings) >= 4
    key = os.urandom(32)
    k = secret_scalar(key)
    expected = b"".join(compress(mul(k, decompress(encoding))) for encoding in encodings)
    assert vorlinde.decrypt(b"".join(encodings), key) == expected


def test_decrypt_many_records_keeps_their_order():
    # Enough records to be spread over the worker pool.
    scalars = [int.from_bytes(os.urandom(8), "little") for _ in range(300)]
    key = (3).to_bytes(32, "little")
    points, expected = [], []
    for s in scalars:
        point = mul(s, G)
        points.append(compress(point))
        expected.append(compress(add(add(point, point), point)))
    assert vorlinde.decrypt(b"".join(points), key) == b"".join(expected)


def test_decrypt_empty_stream():
    assert vorlinde.decrypt(b"", os.urandom(32)) == b""


@pytest.mark.parametrize(
    "points, key, message",
    [
        (b"", bytes(31), slice_message(31)),
        (b"", bytes(33), slice_message(33)),
        (b"", b"", slice_message(0)),
        # The key is checked before the points' type.
        (bytearray(), bytes(33), slice_message(33)),
        (bytes(40), bytes(32), slice_message(8)),
        (IDENTITY_BYTES + bytes(1), bytes(32), slice_message(1)),
        (NOT_A_POINT, bytes(32), UNWRAP),
        (IDENTITY_BYTES * 200 + NOT_A_POINT + IDENTITY_BYTES * 50, bytes(32), UNWRAP),
    ],
    ids=["key-31", "key-33", "key-empty", "key-before-points", "trailing-8", "trailing-1", "invalid",
         "invalid-among-many"],
)
def test_decrypt_failures(points, key, message):
    assert panic_message(lambda: vorlinde.decrypt(points, key)) == message


# ---------------------------------------------------------------------------
# finish


def matching_row(k):
    """Encodings (S, R, G, D) with D = S + R + k G."""
    s, r, g = random_point(), random_point(), random_point()
    return compress(s), compress(r), compress(g), compress(add(add(s, r), mul(k, g)))


def streams(rows):
    return [b"".join(row[column] for row in rows) for column in range(4)]


def test_finish_decides_each_row():
    key = os.urandom(32)
    k = secret_scalar(key)
    rows = [list(matching_row(k)) for _ in range(6)]
    other = compress(random_point())
    rows[1][0] = other  # sender replaced
    rows[2][1] = other  # receiver replaced
    rows[4][3] = other  # delta replaced
    assert vorlinde.finish(*streams(rows), key) == [True, False, False, True, False, True]


def test_finish_ignores_the_top_bit_of_the_key():
    key = bytearray(os.urandom(32))
    key[31] &= 0x7F
    rows = [matching_row(secret_scalar(key)) for _ in range(2)]
    key[31] |= 0x80
    assert vorlinde.finish(*streams(rows), bytes(key)) == [True, True]


@pytest.mark.parametrize("delta", [IDENTITY_BYTES, *IDENTITY_NON_CANONICAL])
def test_finish_compares_points_not_bytes(delta):
    # S + R + k G is the identity when R = -S and G is the identity.
    s = random_point()
    row = (compress(s), compress(neg(s)), IDENTITY_BYTES, delta)
    assert vorlinde.finish(*streams([row]), os.urandom(32)) == [True]


def test_finish_reads_only_the_shortest_streams_rows():
    key = os.urandom(32)
    k = secret_scalar(key)
    rows = [matching_row(k) for _ in range(2)]
    sender, receiver, gamma, delta = streams(rows)
    # Whatever the extra records hold, they are never read.
    assert vorlinde.finish(sender + NOT_A_POINT, receiver + bytes(5), gamma + NOT_A_POINT, delta, key) == [True, True]
    assert vorlinde.finish(sender, receiver + NOT_A_POINT, gamma + bytes(3), delta + NOT_A_POINT, key) == [True, True]


@pytest.mark.parametrize("empty", range(4))
def test_finish_with_an_empty_stream_is_empty(empty):
    args = [IDENTITY_BYTES * 2] * 4
    args[empty] = b""
    assert vorlinde.finish(*args, bytes(32)) == []


@pytest.mark.parametrize(
    "sender, receiver, gamma, delta, key, message",
    [
        (b"", b"", b"", b"", bytes(31), slice_message(31)),
        (None, None, None, None, bytes(33), slice_message(33)),
        # Row 0's gamma is invalid and row 1's sender short: row order decides.
        (
            IDENTITY_BYTES * 2 + bytes(8),
            IDENTITY_BYTES * 3,
            IDENTITY_BYTES + NOT_A_POINT + IDENTITY_BYTES,
            IDENTITY_BYTES * 3,
            bytes(32),
            UNWRAP,
        ),
        # Within a row: sender, receiver, gamma, delta.
        (
            IDENTITY_BYTES + NOT_A_POINT,
            IDENTITY_BYTES + bytes(8),
            IDENTITY_BYTES * 2,
            IDENTITY_BYTES * 2,
            bytes(32),
            UNWRAP,
        ),
        (
            IDENTITY_BYTES * 2,
            IDENTITY_BYTES * 2,
            IDENTITY_BYTES + bytes(8),
            IDENTITY_BYTES + NOT_A_POINT,
            bytes(32),
            slice_message(8),
        ),
    ],
    ids=["key-31", "key-before-streams", "row-order", "sender-first", "gamma-before-delta"],
)
def test_finish_failures(sender, receiver, gamma, delta, key, message):
    assert panic_message(lambda: vorlinde.finish(sender, receiver, gamma, delta, key)) == message
