#!/usr/bin/env python3
"""Writes the seed inputs of store_fuzz: stores of a few sizes (with and without
a partial trailing sparse value) and keys to look up, laid out the way the
target's FuzzedDataProvider reads them.

Layout: the operator's 32-byte public key; the keys, each ended by a backslash
and one other byte; the store bytes; one byte per key for the place where the
key is cut into two strings (last key first); the byte that turns the queries
on (a multiple of 8) or off; last, the key count. Store bytes are
deterministic pseudo-random bytes: any bytes of the right length parse.

Usage: make_store_seeds.py OUTPUT_DIR
"""
import random
import sys
from pathlib import Path

SEEDS, VALUE, DENSE = 24, 64, 32 * 64


# The base point (RFC 8032, section 5.1), and bytes that encode no point.
BASE_POINT = bytes.fromhex("58" + "66" * 31)
NO_POINT = bytes.fromhex("02" + "00" * 31)


def seed(rng, sparse, extra, keys, query, swift_key=BASE_POINT):
    store = bytes(rng.getrandbits(8) for _ in range(SEEDS + sparse * VALUE + extra + DENSE))
    head = swift_key + b"".join(k.replace(b"\\", b"\\\\") + b"\\x" for k in keys)
    cuts = bytes(rng.randrange(len(k) + 1) for k in reversed(keys))
    return head + store + cuts + bytes([0 if query else 1, len(keys)])


def main():
    out = Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    rng = random.Random(20261209)
    cases = {
        "empty-store": (0, 0, [b"a"], True),
        "one-slot": (1, 0, [b"", b"row"], False),
        "five-slots": (5, 0, [b"alice", b"bob\xc3\xa9", b"carol"], True),
        "partial-value": (3, 17, [b"x" * 40, b"\\"], False),
        "twelve-slots": (12, 63, [b"k1", b"k2", b"k3", b"k4"], False),
    }
    for name, (sparse, extra, keys, query) in cases.items():
        (out / name).write_bytes(seed(rng, sparse, extra, keys, query))
    (out / "key-not-a-point").write_bytes(seed(rng, 2, 0, [b"q"], True, NO_POINT))


if __name__ == "__main__":
    main()
