"""build_okvs: store sizes, rows that share a key byte string, and the keys it
refuses. Whether stored rows decode to genuine encryptions is checked through
whole matching runs (test_matching_run.py) and from C++."""

import random
import sys

import pytest

import vorlinde
from conftest import IS_PYPY, downcast_message, panic_message
from edwards25519 import P
from test_membership import Store, representative_y


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


def _awkward_rows():
    """Rows that only the concatenation of their strings tells apart: empty
    strings, one to four UTF-8 bytes a character, one to forty columns, and
    rows repeating an earlier row's key byte string split elsewhere."""
    rng = random.Random(2025)
    alphabet = ["a", "Z", "7", " ", ",", "é", "ß", "日", "本", "𝄞", "😀", "\u0301", "\x00"]
    rows = [[], [""], ["", "", ""], ["ab", "c"], ["a", "bc"], ["日本", "", "𝄞"], ["x" * 300, "y"]]
    for _ in range(400):
        columns = rng.choice([1, 2, 3, 7, 40])
        rows.append(["".join(rng.choices(alphabet, k=rng.randrange(0, 6))) for _ in range(columns)])
    for row in rng.sample(rows, 40):
        whole = "".join(row)
        cut = rng.randrange(0, len(whole) + 1)
        rows.append([whole[:cut], "", whole[cut:]])
    return rows


def test_every_row_decrypts_at_the_slots_of_its_plain_concatenation():
    # The oracle reads the store from its documented byte form and places keys
    # with the system's libxxhash on "".join(row).encode() (test_membership),
    # not with the module's key bytes; each looked-up value must encrypt the
    # identity under the bank's key: the y of sk * c1 is the y of c2 (the
    # representatives lose the sign of x, which only flips the top bit).
    pk, sk = vorlinde.key_gen()
    rows = _awkward_rows()
    store = Store(vorlinde.build_okvs(pk, rows))
    assert store.m == -(-12 * len({"".join(row) for row in rows}) // 5)
    values = [store.lookup(row) for row in rows]
    products = vorlinde.decrypt(b"".join(representative_y(v[:32]) for v in values), sk)
    for i, (row, value) in enumerate(zip(rows, values)):
        expected, got = representative_y(value[32:]), products[32 * i : 32 * i + 32]
        assert (got[:31], got[31] & 0x7F) == (expected[:31], expected[31] & 0x7F), row


@pytest.mark.skipif(IS_PYPY, reason="PyPy's sys.getsizeof does not measure objects")
def test_the_caller_s_strings_do_not_grow():
    # CPython counts a cached UTF-8 copy of a non-ASCII str in its size; the
    # bank's rows stay with the caller for the whole run, so building leaves
    # none behind.
    rows = [["".join(("Siân Müller", str(i))), "".join(("日本", str(i))), f"ascii {i}"] for i in range(100)]
    sizes = [sys.getsizeof(s) for row in rows for s in row]
    vorlinde.build_okvs(vorlinde.key_gen()[0], rows)
    assert [sys.getsizeof(s) for row in rows for s in row] == sizes
