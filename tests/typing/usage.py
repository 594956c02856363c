"""A complete matching run written against the stub with annotations: mypy
--strict must accept it, and run as a script it must find exactly the
transactions whose two rows the banks hold (known by construction)."""

from collections.abc import Sequence
from typing import assert_type

import vorlinde

Rows = Sequence[Sequence[str]]


class Party:
    def __init__(self) -> None:
        keys = vorlinde.key_gen()
        assert_type(keys, tuple[bytes, bytes])
        self.public_key, self.secret_key = keys


def bank_store(bank: Party, rows: Rows) -> bytes:
    return assert_type(vorlinde.build_okvs(bank.public_key, rows), bytes)


def match(
    sender_rows: Rows, receiver_rows: Rows, sender_side: Rows, receiver_side: Rows
) -> list[bool]:
    sender, receiver, operator = Party(), Party(), Party()
    sender_okvs = bank_store(sender, sender_rows)
    receiver_okvs = bank_store(receiver, receiver_rows)
    records: bytes = vorlinde.initiate_queries(
        sender_data=sender_side,
        receiver_data=receiver_side,
        sender_okvs=sender_okvs,
        receiver_okvs=receiver_okvs,
        swift_pk=operator.public_key,
    )
    # Each bank re-randomises its copy of the records; the operator sums them.
    streams = vorlinde.combine(vorlinde.randomize(records), vorlinde.randomize(ciphertexts=records))
    assert_type(streams, tuple[bytes, bytes, bytes, bytes])
    alpha, beta, gamma, delta = streams
    sender_points = vorlinde.decrypt(alpha, sender.secret_key)
    receiver_points = vorlinde.decrypt(points=beta, bank_secret_key=receiver.secret_key)
    matches = vorlinde.finish(sender_points, receiver_points, gamma, delta, operator.secret_key)
    return assert_type(matches, list[bool])


def main() -> None:
    sender_rows = [["DE01", "Anna"], ["DE02", "Jörg"]]
    # Tuples are sequences too, at either level.
    receiver_rows: tuple[tuple[str, ...], ...] = (("FR01", "Zoë"), ("FR02", "Siân"))
    sender_side = [["DE01", "Anna"], ["DE01", "Anna"], ["DE09", "Nobody"], ["DE02", "Jörg"]]
    receiver_side = [["FR02", "Siân"], ["FR09", "Nobody"], ["FR01", "Zoë"], ["FR01", "Zoë"]]
    found = match(sender_rows, receiver_rows, sender_side, receiver_side)
    assert found == [True, False, False, True], found
    print("usage: matching run found", found)


if __name__ == "__main__":
    main()
