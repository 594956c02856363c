"""Splitting a bank's rows into partitions that the operator can find again.

The convention, which both sides must follow exactly:

- A row's key is the UTF-8 encoding of its key columns' values joined with
  nothing between them (the same key the store holds).
- The bank picks a 16-byte partition seed for the run and writes it, with the
  number of partitions P, into its store's header.
- Row key k belongs to partition int.from_bytes(BLAKE2b(k, digest_size=8,
  key=seed), "little") mod P. The operator computes the same for each
  transaction's sender (or receiver) key with that bank's seed and P.
- Every partition is padded with dummy rows to the same number of distinct
  keys, S = ceil(n / P) + ceil(6 * sqrt(n / P)), where n is the bank's number
  of distinct keys. A dummy row is one column holding 32 random hex digits
  (128 bits), so it matches a real query with negligible probability. All P
  stores then have one size, which reveals n but nothing of how the keys fall.
- A partition with more than S distinct keys (about six standard deviations
  above the mean) fails the build; building again with a fresh seed succeeds.
"""

import hashlib
import math
import secrets

SEED_BYTES = 16


def key_of(row):
    return "".join(row).encode("utf-8")


def partition_of(key, seed, partitions):
    digest = hashlib.blake2b(key, digest_size=8, key=seed).digest()
    return int.from_bytes(digest, "little") % partitions


def padded_size(n, partitions):
    share = n / partitions
    return math.ceil(share) + math.ceil(6 * math.sqrt(share))


def dummy_rows(count):
    return [[secrets.token_hex(16)] for _ in range(count)]


def group_queries(sender_rows, receiver_rows, sender_layout, receiver_layout):
    """Groups query positions by (sender partition, receiver partition); a
    layout is (partitions, seed) of one bank's store."""
    groups = {}
    sp, ss = sender_layout
    rp, rs = receiver_layout
    for i, (s, r) in enumerate(zip(sender_rows, receiver_rows)):
        pair = (partition_of(key_of(s), ss, sp) if sp > 1 else 0, partition_of(key_of(r), rs, rp) if rp > 1 else 0)
        groups.setdefault(pair, []).append(i)
    return groups


def new_seed():
    return secrets.token_bytes(SEED_BYTES)
