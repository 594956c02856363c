"""Slices of a CSV table that Dask workers read for themselves: wherever the
cuts fall, the slices hold the rows a local step reads from the whole file
(Table reading the file front to back is the oracle), and a whole run on
workers gives the generator's known answer."""

import csv
import importlib.util
import io
import os
import random
import shutil
import subprocess
import sys
import sysconfig
import time

import pytest
from known_answer import answer, parquet_copies, results

from vorlinde_match import slices
from vorlinde_match.errors import StepError
from vorlinde_match.tables import Table

EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples")
_spec = importlib.util.spec_from_file_location("make_sample", os.path.join(EXAMPLES, "make_sample.py"))
make_sample = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(make_sample)

has_dask = importlib.util.find_spec("distributed") is not None
needs_dask = pytest.mark.skipif(not has_dask, reason="Dask is not installed")
GROUPS = [["a"], ["b"]]


def _written(rows, terminator, quoting, bom):
    text = io.StringIO()
    csv.writer(text, lineterminator=terminator, quoting=quoting).writerows([["a", "b"], *rows])
    return (b"\xef\xbb\xbf" if bom else b"") + text.getvalue().encode("utf-8")


_rng = random.Random(5)
_VALUES = ["x", "y,z", 'q"u', "l\nm", "c\r\nd", "", "Zoë", "end\n"]
_ROWS = [[_rng.choice(_VALUES), str(i)] for i in range(40)]

# Each case's bytes; what a local read makes of them is the expected rows.
CASES = {
    "quoted line breaks everywhere": _written([[f"l{i}\nm", f"\n{i}"] for i in range(30)], "\n",
                                              csv.QUOTE_MINIMAL, False),
    "mixed values, LF": _written(_ROWS, "\n", csv.QUOTE_MINIMAL, False),
    "mixed values, CRLF, BOM": _written(_ROWS, "\r\n", csv.QUOTE_MINIMAL, True),
    "every value quoted, CRLF": _written(_ROWS, "\r\n", csv.QUOTE_ALL, False),
    "no line break at the end": _written(_ROWS, "\n", csv.QUOTE_MINIMAL, False).rstrip(b"\n"),
    "blank lines": b"a,b\n\n1,2\n\n\n3,4\n5,6\n\n",
    # A quote inside an unquoted value is a literal quote to the reader, so
    # counting quotes no longer finds record starts after it.
    "quote inside an unquoted value": b'a,b\n1,2\n3,4\n5"x,"y\nz"\n6,7\n8,"9\n10"\n11,12\n13,14\n',
    "quote after a closing quote": b'a,b\n1,2\n"p"q,"r\ns"\n3,4\n5,6\n7,8\n',
    "header with a quoted line break": b'"a","b\nc",b\n1,2,3\n"4\n5",6,7\n8,9,10\n',
    "header only": b"a,b\n",
}


def _local(path, groups=GROUPS):
    with Table(str(path), groups) as table:
        rows = [[] for _ in groups]
        for chunk in table.chunks(1 << 20):
            for into, part in zip(rows, chunk):
                into.extend(part)
    return rows


def _sliced(path, rows_per_slice, groups=GROUPS):
    pieces = list(slices.csv_slices(str(path), lambda: rows_per_slice))
    rows = [[] for _ in groups]
    for piece in pieces:
        for into, part in zip(rows, piece.read(groups)):
            into.extend(part)
    return rows, pieces


@pytest.mark.parametrize("block", [1, 2, 7, 1 << 22], ids=lambda b: f"block {b}")
@pytest.mark.parametrize("case", list(CASES), ids=list(CASES))
def test_slices_hold_the_rows_of_the_whole_file(case, block, tmp_path, monkeypatch):
    monkeypatch.setattr(slices, "SCAN_BLOCK", block)
    path = tmp_path / "t.csv"
    path.write_bytes(CASES[case])
    groups = GROUPS
    expected = _local(path, groups)
    for per_slice in (1, 3):
        got, pieces = _sliced(path, per_slice, groups)
        assert got == expected
        # The slices tile the file after its header, in order.
        assert [p.start for p in pieces[1:]] == [p.end for p in pieces[:-1]]
        assert not pieces or pieces[-1].end == len(CASES[case])
    if case == "quoted line breaks everywhere":
        assert len(_sliced(path, 1, groups)[1]) == 30  # a cut after every record, none inside one


def test_the_cuts_stop_at_a_quote_inside_an_unquoted_value(tmp_path):
    path = tmp_path / "t.csv"
    text = CASES["quote inside an unquoted value"]
    path.write_bytes(text)
    _, pieces = _sliced(path, 1)
    # Cuts before the record holding the quote only: the rest is one slice.
    assert len(pieces) >= 2 and pieces[-1].start <= text.index(b'5"x') and pieces[-1].end == len(text)


def test_a_worker_refuses_bytes_other_than_the_clients(tmp_path):
    path = tmp_path / "t.csv"
    path.write_bytes(CASES["mixed values, LF"])
    pieces = list(slices.csv_slices(str(path), lambda: 5))
    stat = path.stat()
    data = bytearray(path.read_bytes())
    data[pieces[1].start] ^= 1
    path.write_bytes(bytes(data))
    os.utime(path, ns=(stat.st_atime_ns, stat.st_mtime_ns))  # same size and time: only the digest tells
    with pytest.raises(StepError, match="is not the file this step began to read"):
        pieces[1].read(GROUPS)
    assert pieces[0].read(GROUPS)[1][0] == ("0",)  # its own bytes are unchanged
    os.utime(path, ns=(stat.st_atime_ns, stat.st_mtime_ns + 1))
    with pytest.raises(StepError, match="is not the file this step began to read"):
        pieces[0].read(GROUPS)
    path.unlink()
    with pytest.raises(StepError, match="is not the file this step began to read"):
        pieces[0].read(GROUPS)


# Whole runs on Dask workers -------------------------------------------------------

def command(*args, timeout=300, **popen):
    return subprocess.run([sys.executable, "-m", "vorlinde_match", *map(str, args)], capture_output=True, text=True,
                          timeout=timeout, **popen)


@pytest.fixture(scope="module")
def data(tmp_path_factory):
    folder = tmp_path_factory.mktemp("data")
    make_sample.write_set(str(folder), 300, 17)
    return folder


def _rewritten(data, folder, terminator, bom, note):
    """The set with its transactions written anew: every value quoted, a line
    break inside each currency value, and `note` appended to each amount."""
    shutil.copytree(data, folder)
    with open(data / "transactions.csv", newline="", encoding="utf-8") as f:
        rows = list(csv.reader(f))
    currency = rows[0].index("currency")
    amount = rows[0].index("amount")
    for row in rows[1:]:
        row[currency] = f"{row[currency]}\nsee note"
        row[amount] += note
    text = io.StringIO()
    csv.writer(text, lineterminator=terminator, quoting=csv.QUOTE_ALL).writerows(rows)
    body = text.getvalue().encode("utf-8")
    if note:  # the note as a bare quote after the amount's closing quote
        body = body.replace(f'{note}"'.encode(), b'"' + note.encode())
    (folder / "transactions.csv").write_bytes((b"\xef\xbb\xbf" if bom else b"") + body)
    return folder


@needs_dask
@pytest.mark.parametrize("terminator,bom,note", [("\n", False, ""), ("\r\n", True, ""), ("\n", False, "in")],
                         ids=["quoted line breaks", "CRLF and BOM", "text after closing quotes"])
def test_a_run_on_workers_reading_their_slices_gives_the_known_answer(data, tmp_path, terminator, bom, note):
    folder = _rewritten(data, tmp_path / "data", terminator, bom, note)
    done = command("run", "--data", folder, "--work", tmp_path / "work", "--dask-local", "2", "--chunk-rows", "41")
    assert done.returncode == 0, done.stderr
    assert "read their own slices" in done.stdout + done.stderr
    assert results(tmp_path / "work" / "operator" / "matches.csv") == answer(data)


@needs_dask
def test_a_fault_in_a_workers_slice_is_told_as_the_local_step_tells_it(data, tmp_path):
    folder = _rewritten(data, tmp_path / "data", "\n", False, "")
    text = (folder / "transactions.csv").read_bytes()
    at = len(text) * 3 // 4
    at = text.index(b'\n"', at) + 1
    (folder / "transactions.csv").write_bytes(text[:at] + b'"only","three","fields"\n' + text[at:])
    local = command("run", "--data", folder, "--work", tmp_path / "local", "--quiet")
    done = command("run", "--data", folder, "--work", tmp_path / "work", "--quiet", "--dask-local", "2",
                   "--chunk-rows", "37")
    assert local.returncode == done.returncode == 1
    assert "3 fields where the header has 7" in local.stderr
    assert done.stderr == local.stderr.replace(str(tmp_path / "local"), str(tmp_path / "work"))


def _start_cluster(tmp_path, hidden=None):
    """A scheduler and two worker processes; with `hidden`, the workers run
    where that folder is an empty one (their own mount namespace)."""
    dask = os.path.join(sysconfig.get_path("scripts"), "dask")
    address_file = tmp_path / "scheduler.json"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    started = [subprocess.Popen([dask, "scheduler", "--host", "127.0.0.1", "--port", "0", "--no-dashboard",
                                 "--scheduler-file", address_file], env=env, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)]
    for _ in range(300):
        if address_file.exists() and address_file.stat().st_size:
            break
        time.sleep(0.1)
    import json

    address = json.loads(address_file.read_text())["address"]
    worker = [dask, "worker", "--nworkers", "2", "--nthreads", "1", "--no-dashboard", address]
    if hidden is not None:
        worker = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                  f'mount -t tmpfs none "{hidden}" && exec "$@"', "sh", *worker]
    started.append(subprocess.Popen(worker, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
    return address, started


def _can_hide_folders():
    if shutil.which("unshare") is None:
        return False
    probe = subprocess.run(["unshare", "--mount", "--propagation", "private", "sh", "-c",
                            "mount -t tmpfs none /mnt"], capture_output=True)
    return probe.returncode == 0


@needs_dask
@pytest.mark.skipif(not _can_hide_folders(), reason="needs unshare and mount (a mount namespace)")
def test_workers_that_cannot_see_the_file_get_their_rows_from_the_client(data, tmp_path):
    folder = _rewritten(data, tmp_path / "data", "\r\n", True, "")
    address, started = _start_cluster(tmp_path, hidden=folder)
    try:
        done = command("run", "--data", folder, "--work", tmp_path / "work", "--dask", address, "--chunk-rows", "50",
                       timeout=600)
    finally:
        for process in started:
            process.terminate()
        for process in started:
            process.wait(timeout=60)
    assert done.returncode == 0, done.stderr
    assert "read their own slices" not in done.stdout + done.stderr
    assert results(tmp_path / "work" / "operator" / "matches.csv") == answer(data)


has_pyarrow = importlib.util.find_spec("pyarrow") is not None


@pytest.mark.skipif(not has_pyarrow, reason="pyarrow is not installed")
@pytest.mark.parametrize("per_slice", [1, 150, 10_000])
def test_row_group_slices_hold_the_rows_of_the_whole_file(tmp_path, per_slice):
    import pyarrow as pa
    import pyarrow.parquet as pq

    path = tmp_path / "t.parquet"
    values = [f"v{i}\n" if i % 7 else None for i in range(1000)]
    pq.write_table(pa.table({"a": values, "b": [str(i) for i in range(1000)]}), path, row_group_size=128)
    assert pq.ParquetFile(path).metadata.num_row_groups == 8
    pieces = list(slices.parquet_slices(str(path), lambda: per_slice))
    assert len(pieces) == {1: 8, 150: 4, 10_000: 1}[per_slice]
    got = [[], []]
    for piece in pieces:
        for into, part in zip(got, piece.read(GROUPS)):
            into.extend(part)
    # The oracle: the same columns read with pyarrow alone.
    assert got == [[("" if v is None else v,) for v in values], [(str(i),) for i in range(1000)]]
    assert pieces[-1].progress == 1000
    pq.write_table(pa.table({"a": values[::-1], "b": [str(i) for i in range(1000)]}), path, row_group_size=128)
    with pytest.raises(StepError, match="is not the file this step began to read"):
        pieces[0].read(GROUPS)


@needs_dask
@pytest.mark.skipif(not has_pyarrow, reason="pyarrow is not installed")
def test_a_run_on_workers_reading_parquet_row_groups_gives_the_known_answer(data, tmp_path):
    names = parquet_copies(data, tmp_path, row_group_size=37)
    done = command("run", "--sender-bank", names["sender_bank"], "--receiver-bank", names["receiver_bank"],
                   "--transactions", names["transactions"], "--work", tmp_path / "work", "--dask-local", "2",
                   "--chunk-rows", "64")
    assert done.returncode == 0, done.stderr
    assert "read their own slices" in done.stdout + done.stderr
    assert results(tmp_path / "work" / "operator" / "matches.csv") == answer(data)
