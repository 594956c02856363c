"""Every path through a call releases what it took: argument reference counts
and the process's resident memory stay flat over many calls."""

import gc
import os
import sys

import pytest

import vorlinde
from conftest import IS_PYPY

pytestmark = [
    pytest.mark.skipif(IS_PYPY, reason="PyPy has no reference counts to observe"),
    # A sanitizer's allocator quarantines freed memory and Python's block count
    # reads zero under PYTHONMALLOC=malloc, so neither measure means anything there.
    pytest.mark.unsanitized,
]


class Blob(bytes):
    pass


class ReprRaises:
    def __repr__(self):
        raise LookupError("no repr")


class FailingRows(list):
    def __iter__(self):
        yield ["a", "b"]
        cause = ValueError("root")
        raise TypeError("boom") from cause


# Big enough that a native copy left behind on any path shows in resident memory.
ROWS = [["alpha", "beta"], ("gamma",), ["délta", "\U0001f600"]] + [[f"row {i}", "x" * 40] for i in range(300)]
KEY = bytes(range(32))
POINTS = bytes([1] + [0] * 31) * 16
ROW_POINTS = POINTS[:64]


def cases():
    """(label, call, objects whose reference counts must not move)."""
    blob = Blob(KEY)
    bad = bytearray(b"xy")
    odd = ReprRaises()
    failing = FailingRows()
    surrogate_rows = [["ok", "\ud800"]]
    rows = ROWS
    row_items = [row for row in rows] + [item for row in rows for item in row]
    return [
        ("key_gen", lambda: vorlinde.key_gen(), []),
        ("key_gen extra argument", lambda: vorlinde.key_gen(KEY), [KEY]),
        ("build_okvs", lambda: vorlinde.build_okvs(KEY, rows), [KEY, rows, *row_items]),
        ("build_okvs keywords", lambda: vorlinde.build_okvs(strings_in_each_row=rows, public_key=blob), [blob, rows]),
        ("build_okvs bad key", lambda: vorlinde.build_okvs(bad, rows), [bad, rows, *row_items]),
        ("build_okvs missing", lambda: vorlinde.build_okvs(KEY), [KEY]),
        ("build_okvs twice", lambda: vorlinde.build_okvs(KEY, rows, public_key=KEY), [KEY, rows]),
        ("build_okvs str rows", lambda: vorlinde.build_okvs(KEY, "abc"), [KEY]),
        ("build_okvs iteration error", lambda: vorlinde.build_okvs(KEY, failing), [KEY, failing]),
        ("build_okvs surrogate", lambda: vorlinde.build_okvs(KEY, surrogate_rows), [KEY, surrogate_rows]),
        ("build_okvs repr raises", lambda: vorlinde.build_okvs(odd, rows), [odd, rows]),
        (
            "initiate_queries",
            lambda: vorlinde.initiate_queries(rows, rows, KEY, blob, bad),
            [rows, KEY, blob, bad, *row_items],
        ),
        ("randomize", lambda: vorlinde.randomize(POINTS * 4), []),
        ("randomize bad", lambda: vorlinde.randomize(bad), [bad]),
        ("combine", lambda: vorlinde.combine(b"", blob), [blob]),
        ("combine bad", lambda: vorlinde.combine(blob, bad), [blob, bad]),
        ("decrypt", lambda: vorlinde.decrypt(POINTS, KEY), [POINTS, KEY]),
        ("decrypt bad", lambda: vorlinde.decrypt(bad, blob), [bad, blob]),
        ("finish", lambda: vorlinde.finish(ROW_POINTS, ROW_POINTS, ROW_POINTS, ROW_POINTS, KEY), [ROW_POINTS, KEY]),
        ("finish bad", lambda: vorlinde.finish(ROW_POINTS, blob, POINTS, bad, KEY), [ROW_POINTS, blob, bad, KEY]),
        ("finish unknown keyword", lambda: vorlinde.finish(POINTS, bogus=KEY), [POINTS, KEY]),
    ]


def call_quietly(call):
    try:
        call()
    except BaseException:  # noqa: B036 - PanicException derives from BaseException
        pass


@pytest.mark.parametrize("label, call, objects", cases(), ids=[case[0] for case in cases()])
def test_argument_reference_counts_are_stable(label, call, objects):
    for _ in range(10):
        call_quietly(call)
    gc.collect()
    before = [sys.getrefcount(obj) for obj in objects]
    blocks = sys.getallocatedblocks()
    for _ in range(1_000):
        call_quietly(call)
    gc.collect()
    assert [sys.getrefcount(obj) for obj in objects] == before
    # Any Python object left behind per call (a result, an exception, a
    # message) would add at least a thousand blocks.
    assert sys.getallocatedblocks() - blocks < 100


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_resident_memory_does_not_grow():
    calls = [case[1] for case in cases()]
    for _ in range(200):
        for call in calls:
            call_quietly(call)
    gc.collect()
    before = resident_bytes()
    for _ in range(1_000):
        for call in calls:
            call_quietly(call)
    gc.collect()
    # A thousand calls of each kind; leaving behind a row-data copy, a result
    # buffer or a message per call would add several megabytes.
    assert resident_bytes() - before < 2 * 1024 * 1024
