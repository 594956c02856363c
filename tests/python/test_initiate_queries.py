"""initiate_queries: record counts, the order in which the two stores and the
operator's key are checked, and lookups in a store without sparse values."""

import pytest

import vorlinde
from conftest import downcast_message, panic_message

SENDER_SENTENCE = "The sender_okvs object should be of type `bytes`."
RECEIVER_SENTENCE = "The receiver_okvs object should be of type `bytes`."
PUBLIC_KEY_SENTENCE = "The public key object should be of type `bytes`."
NOT_A_POINT = b"\x02" + bytes(31)


@pytest.fixture(scope="module")
def setup():
    (spk, _), (rpk, _), (xpk, _) = vorlinde.key_gen(), vorlinde.key_gen(), vorlinde.key_gen()
    sender_okvs = vorlinde.build_okvs(spk, [["s0"], ["s1"], ["s2"]])
    receiver_okvs = vorlinde.build_okvs(rpk, [["r0"], ["r1"]])
    return sender_okvs, receiver_okvs, xpk


@pytest.mark.parametrize(
    "senders, receivers, records",
    [(5, 3, 3), (3, 5, 3), (0, 4, 0), (4, 0, 0), (0, 0, 0), (1, 1, 1)],
)
def test_shorter_row_list_decides_the_count(setup, senders, receivers, records):
    sender_okvs, receiver_okvs, xpk = setup
    sender_rows = [[f"s{i}"] for i in range(senders)]
    receiver_rows = [[f"r{i}", "tail"] for i in range(receivers)]
    out = vorlinde.initiate_queries(sender_rows, receiver_rows, sender_okvs, receiver_okvs, xpk)
    assert type(out) is bytes and len(out) == 128 * records


def test_same_query_twice_gives_different_records(setup):
    sender_okvs, receiver_okvs, xpk = setup
    out = vorlinde.initiate_queries([["s0"]] * 2, [["r0"]] * 2, sender_okvs, receiver_okvs, xpk)
    assert out[:128] != out[128:]


# The store's parser names the sparse range it cannot cut: [24, L - 2048).
@pytest.mark.parametrize(
    "args, message",
    [
        (("S", None, None), downcast_message(SENDER_SENTENCE, "S")),
        ((b"x" * 2071, None, None), "slice index starts at 24 but ends at 23"),
        ((bytes(20), None, None), "range end index 24 out of range for slice of length 20"),
        ((None, None, None), downcast_message(SENDER_SENTENCE, None)),
        (("good", None, None), downcast_message(RECEIVER_SENTENCE, None)),
        (("good", bytes(100), None), "slice index starts at 24 but ends at -1948"),
        (("good", "good", None), downcast_message(PUBLIC_KEY_SENTENCE, None)),
        (("good", "good", bytes(31)), "source slice length (31) does not match destination slice length (32)"),
        (("good", "good", NOT_A_POINT), "The public key was not a valid curve point."),
    ],
)
def test_check_order(setup, args, message):
    sender_okvs, receiver_okvs, _ = setup
    sender, receiver, key = args
    sender = sender_okvs if sender == "good" else sender
    receiver = receiver_okvs if receiver == "good" else receiver
    # Rows are irrelevant to these checks: they come before any lookup.
    call = lambda: vorlinde.initiate_queries([["s0"]], [["r0"]], sender, receiver, key)  # noqa: E731
    assert panic_message(call) == message


def test_store_without_sparse_values(setup):
    _, receiver_okvs, xpk = setup
    empty = vorlinde.build_okvs(vorlinde.key_gen()[0], [])
    assert len(empty) == 2072
    # Nothing is looked up without queries.
    assert vorlinde.initiate_queries([], [["r0"]], empty, receiver_okvs, xpk) == b""
    assert panic_message(lambda: vorlinde.initiate_queries([["s0"]], [["r0"]], empty, receiver_okvs, xpk)) == (
        "attempt to calculate the remainder with a divisor of zero"
    )
