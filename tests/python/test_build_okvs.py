"""build_okvs: store sizes, rows that share a key byte string, and the keys it
refuses. Whether stored rows decode to genuine encryptions is checked through
whole matching runs (test_matching_run.py) and from C++."""

import pytest

import vorlinde
from conftest import downcast_message, panic_message
from edwards25519 import P


# The byte form: three 8-byte seeds, ceil(2.4 n) sparse and 32 dense values of
# 64 bytes each.
def store_length(n):
    return 24 + 64 * (-(-12 * n // 5) + 32)


CANNOT_ENCRYPT = "The public key cannot encrypt: it is the identity or the point of order two."
IDENTITY = bytes([1]) + bytes(31)
ORDER_TWO = (P - 1).to_bytes(32, "little")  # (0, -1)
ORDER_FOUR = bytes(32)  # y = 0: (sqrt(-1), 0)
PUBLIC_KEY_SENTENCE = "The public key object should be of type `bytes`."


@pytest.mark.parametrize("n, length", [(0, 2072), (1, 2264), (1000, 155672)])
def test_store_length(n, length):
    pk, _ = vorlinde.key_gen()
    assert length == store_length(n)
    rows = [[f"row {i}", "x"] for i in range(n)]
    first = vorlinde.build_okvs(pk, rows)
    assert type(first) is bytes and len(first) == length
    # Fresh seeds, filler and encryptions every call.
    assert vorlinde.build_okvs(pk, rows) != first


@pytest.mark.parametrize(
    "rows, distinct",
    [
        ([["ab", "c"], ["a", "bc"], ["abc"]], 1),
        ([[], [""], ["", ""]], 1),
        ([["q"], ["q"], ["r"], ["q"]], 2),
        ([["日", "本"], ["日本"], ["日本", ""]], 1),
        # No Unicode normalisation: the composed and decomposed forms differ.
        ([["é"], ["e\u0301"]], 2),
        ([["É"], ["é"]], 2),
    ],
)
def test_rows_sharing_a_key_byte_string_take_one_slot(rows, distinct):
    pk, _ = vorlinde.key_gen()
    assert len(vorlinde.build_okvs(pk, rows)) == store_length(distinct)


@pytest.mark.parametrize(
    "key, rows, message",
    [
        (b"\x02" + bytes(31), [["a"]], "The public key was not a valid curve point."),
        (bytes(31), [["a"]], "source slice length (31) does not match destination slice length (32)"),
        (bytes(33), [], "source slice length (33) does not match destination slice length (32)"),
        (IDENTITY, [["a"]], CANNOT_ENCRYPT),
        (ORDER_TWO, [["a"], ["b"]], CANNOT_ENCRYPT),
        (bytearray(IDENTITY), [], downcast_message(PUBLIC_KEY_SENTENCE, bytearray(IDENTITY))),
    ],
)
def test_refused_keys(key, rows, message):
    assert panic_message(lambda: vorlinde.build_okvs(key, rows)) == message


@pytest.mark.parametrize("key", [IDENTITY, ORDER_TWO])
def test_unusable_key_with_nothing_to_encrypt_gives_the_empty_store(key):
    assert len(vorlinde.build_okvs(key, [])) == 2072


def test_key_of_order_four_still_encrypts():
    assert len(vorlinde.build_okvs(ORDER_FOUR, [["a"], ["b"], ["c"]])) == store_length(3)
