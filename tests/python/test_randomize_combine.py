"""randomize and combine on record streams, checked against the pure-Python
edwards25519 oracle."""

import os

import pytest

import vorlinde
from conftest import downcast_message, panic_message
from edwards25519 import G, IDENTITY, L, P, add, compress, decompress, mul

UNWRAP = "called `Option::unwrap()` on a `None` value"
IDENTITY_BYTES = compress(IDENTITY)
NOT_A_POINT = bytes([2]) + bytes(31)  # y = 2 has no x
IDENTITY_RECORD = IDENTITY_BYTES * 4


def scalar():
    return int.from_bytes(os.urandom(64), "little") % L


def point_bytes():
    """The canonical encoding of a random point of the whole group (any order)."""
    while True:
        point = decompress(os.urandom(32))
        if point is not None:
            return compress(point)


def random_stream(records):
    return b"".join(point_bytes() for _ in range(4 * records))


def fields(record):
    return [record[32 * k : 32 * k + 32] for k in range(4)]


def columns(stream):
    """The four component streams of a record stream, as combine lays them out."""
    records = [stream[i : i + 128] for i in range(0, len(stream), 128)]
    return tuple(b"".join(fields(r)[k] for r in records) for k in range(4))


class Keys:
    """Secret keys a, b (banks) and x (operator), and records that satisfy
    delta = a alpha + b beta + x gamma, built the way add_and_randomize does:
    alpha = s A1, beta = s B1, gamma = s G, delta = s (A2 + B2 + X) with
    A2 = a A1, B2 = b B1, X = x G."""

    def __init__(self):
        self.a, self.b, self.x = scalar(), scalar(), scalar()

    def record(self):
        s, k1, k2 = scalar(), scalar(), scalar()
        alpha, beta, gamma = mul(s * k1 % L, G), mul(s * k2 % L, G), mul(s, G)
        delta = mul((self.a * k1 + self.b * k2 + self.x) * s % L, G)
        return b"".join(compress(p) for p in (alpha, beta, gamma, delta))

    def holds(self, alpha, beta, gamma, delta):
        alpha, beta, gamma, delta = (decompress(f) for f in (alpha, beta, gamma, delta))
        return add(add(mul(self.a, alpha), mul(self.b, beta)), mul(self.x, gamma)) == delta


def test_empty_inputs():
    assert vorlinde.randomize(b"") == b""
    for other in (b"", random_stream(3), b"short", NOT_A_POINT * 4):
        assert vorlinde.combine(b"", other) == (b"",) * 4
        assert vorlinde.combine(other, b"") == (b"",) * 4


@pytest.mark.parametrize(
    "call",
    [
        lambda stream: vorlinde.randomize(stream),
        lambda stream: vorlinde.combine(stream, random_stream(2)),
        lambda stream: vorlinde.combine(random_stream(2), stream),
    ],
)
@pytest.mark.parametrize("length, end", [(130, 32), (200, 96), (128 + 64, 96), (255, 128)])
def test_short_trailing_record(call, length, end):
    # bytes(32) is a valid field (y = 0), so only the short record can fail.
    stream = bytes(length)
    assert panic_message(lambda: call(stream)) == (
        f"range end index {end} out of range for slice of length {length - 128}"
    )


def test_combine_ignores_the_longer_streams_tail_even_when_invalid():
    shorter = random_stream(3)
    longer = random_stream(3)
    tail = NOT_A_POINT * 4 + bytes(72)  # an invalid record and a short one
    expected = vorlinde.combine(shorter, longer)
    assert [len(c) for c in expected] == [96] * 4
    assert vorlinde.combine(shorter, longer + tail) == expected
    assert vorlinde.combine(longer + tail, shorter) == expected


def test_combine_slots_are_point_sums_and_symmetric():
    sender, receiver = random_stream(5), random_stream(5)
    result = vorlinde.combine(sender, receiver)
    assert isinstance(result, tuple) and all(type(c) is bytes for c in result)
    for k, (s_col, r_col) in enumerate(zip(columns(sender), columns(receiver))):
        for i in range(5):
            s, r = decompress(s_col[32 * i : 32 * i + 32]), decompress(r_col[32 * i : 32 * i + 32])
            assert result[k][32 * i : 32 * i + 32] == compress(add(s, r)), (k, i)
    assert vorlinde.combine(receiver, sender) == result


def test_identity_records():
    assert vorlinde.randomize(IDENTITY_RECORD * 3) == IDENTITY_RECORD * 3
    stream = random_stream(4)
    assert vorlinde.combine(stream, IDENTITY_RECORD * 4) == columns(stream)
    # The identity written as y = p + 1 decodes fine and comes out canonical.
    high_identity = (P + 1).to_bytes(32, "little") * 4
    assert vorlinde.combine(high_identity, high_identity) == (IDENTITY_BYTES,) * 4


def test_randomize_multiplies_each_record_by_one_fresh_scalar():
    q = mul(scalar(), G)
    k1, k2 = scalar(), scalar()
    record = compress(q) + compress(mul(k1, q)) + IDENTITY_BYTES + compress(mul(k2, q))
    first = vorlinde.randomize(record * 2)
    assert len(first) == 256
    for out in (first[:128], first[128:]):
        alpha, beta, gamma, delta = (decompress(f) for f in fields(out))
        assert alpha != q
        assert beta == mul(k1, alpha)
        assert gamma == IDENTITY
        assert delta == mul(k2, alpha)
    assert first[:128] != first[128:]
    assert vorlinde.randomize(record * 2) != first


def test_relation_survives_randomize_and_combine():
    keys = Keys()
    sender = b"".join(keys.record() for _ in range(3))
    receiver = b"".join(keys.record() for _ in range(3))
    assert all(keys.holds(*fields(sender[i : i + 128])) for i in range(0, 384, 128))

    randomized = vorlinde.randomize(sender)
    assert all(keys.holds(*fields(randomized[i : i + 128])) for i in range(0, 384, 128))
    outputs = vorlinde.combine(randomized, vorlinde.randomize(receiver))
    for i in range(3):
        assert keys.holds(*(column[32 * i : 32 * i + 32] for column in outputs))
    # Records under other keys break it.
    mixed = vorlinde.combine(sender, Keys().record() * 3)
    assert not keys.holds(*(column[:32] for column in mixed))


@pytest.mark.parametrize("field", range(4))
def test_invalid_point_fails_in_any_field(field):
    good = random_stream(2)
    bad = bytearray(good)
    bad[128 + 32 * field : 128 + 32 * field + 32] = NOT_A_POINT
    bad = bytes(bad)
    assert panic_message(lambda: vorlinde.randomize(bad)) == UNWRAP
    assert panic_message(lambda: vorlinde.combine(bad, good)) == UNWRAP
    assert panic_message(lambda: vorlinde.combine(good, bad)) == UNWRAP


class Blob(bytes):
    pass


def test_argument_types():
    stream = random_stream(2)
    assert vorlinde.combine(Blob(stream), stream) == vorlinde.combine(stream, Blob(stream))
    assert vorlinde.randomize(Blob(IDENTITY_RECORD)) == IDENTITY_RECORD
    sentence = "The sender_ciphertexts object should be of type `bytes`."
    assert panic_message(lambda: vorlinde.combine("x", bytearray())) == downcast_message(sentence, "x")
    sentence = "The ciphertexts object should be of type `bytes`."
    assert panic_message(lambda: vorlinde.randomize(bytearray(128))) == downcast_message(sentence, bytearray(128))
