"""What a person waiting on a step sees, and what it costs: the store's
encoding shown by a helper process (and the helper gone however the step
ends), nothing with --quiet or --json, the build's packed rows, the run's
comparison with a known answer, the memory sampler watching another process,
and the streaming sample generator."""

import csv
import hashlib
import importlib.util
import json
import os
import platform
import signal
import subprocess
import sys
import uuid

import pytest

import vorlinde

EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples")
_spec = importlib.util.spec_from_file_location("make_sample", os.path.join(EXAMPLES, "make_sample.py"))
make_sample = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(make_sample)

no_nacl = platform.python_implementation() == "PyPy" and importlib.util.find_spec("nacl") is None
needs_command = pytest.mark.skipif(no_nacl, reason="vorlinde-match needs PyNaCl, not installed for this PyPy")
pytestmark = pytest.mark.unsanitized
TAG = "VORLINDE_MATCH_TEST_HELPER_TAG"


@pytest.fixture(scope="module")
def data(tmp_path_factory):
    folder = tmp_path_factory.mktemp("data")
    make_sample.write_set(str(folder), 400, 31)
    return folder


def bank_rows(folder, name):
    with open(os.path.join(folder, name), newline="", encoding="utf-8") as f:
        return sum(1 for _ in csv.DictReader(f))


def tagged(tag):
    """(pid, is the helper) of every live process whose environment holds `tag`."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/environ", "rb") as f:
                if f"{TAG}={tag}".encode() not in f.read().split(b"\0"):
                    continue
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                found.append((int(entry), b"--waiting" in f.read().split(b"\0")))
        except OSError:  # ended meanwhile, or a zombie
            continue
    return found


def run_env(tag, **extra):
    return dict(os.environ, VORLINDE_MATCH_PROGRESS_AFTER="0", **{TAG: tag}, **extra)


def run_command(data, work, *options, env):
    return subprocess.run([sys.executable, "-m", "vorlinde_match", "run", "--data", str(data), "--work", str(work),
                           *options], capture_output=True, text=True, timeout=300, env=env)


# The lines are the step's; the counts come from the generated tables.
@needs_command
@pytest.mark.parametrize("partitions", [1, 3])
def test_a_build_shows_its_encoding_with_an_estimate_and_leaves_no_helper(data, tmp_path, partitions):
    tag = uuid.uuid4().hex
    done = run_command(data, tmp_path, "--partitions", str(partitions), env=run_env(tag))
    assert done.returncode == 0, done.stderr
    for bank, file in (("sender bank", "sender_bank.csv"), ("receiver bank", "receiver_bank.csv")):
        lines = [line for line in done.stderr.splitlines() if line.startswith(f"{bank}: encoding the store of ")]
        assert lines, done.stderr
        assert all("elapsed" in line and "(an estimate from " in line and " rows/s, measured here on " in line
                   for line in lines)
        if partitions == 1:
            assert lines[0].startswith(f"{bank}: encoding the store of {bank_rows(data, file):,} rows:")
        else:
            assert f" rows in {partitions} partitions: " in lines[0]
            assert f"{partitions} of {partitions} done" in lines[-1]
        assert f"{bank}: store encoded in " in done.stderr
    assert tagged(tag) == []


@needs_command
def test_a_short_build_shows_no_estimate_by_default(data, tmp_path):
    env = dict(os.environ)
    env.pop("VORLINDE_MATCH_PROGRESS_AFTER", None)
    done = run_command(data, tmp_path, env=env)
    assert done.returncode == 0, done.stderr
    assert "encoding the store" not in done.stderr and "sender bank build: " in done.stderr


@needs_command
@pytest.mark.parametrize("option", ["--quiet", "--json"])
def test_quiet_and_json_show_nothing_even_for_a_long_build(data, tmp_path, option):
    tag = uuid.uuid4().hex
    done = run_command(data, tmp_path, option, "--partitions", "2", env=run_env(tag))
    assert done.returncode == 0 and done.stderr == ""
    assert tagged(tag) == []


# Runs the command as a child of a process that adopts orphans (a Linux
# subreaper), stops it in its sender bank's store encoding (the second module
# call: the first times a small store for the estimate) and tells what became
# of the helper: "reaped" by the step, or "orphaned" (adopted here) with its
# exit status once it ended by itself.
WATCH = r"""
import ctypes, json, os, signal, subprocess, sys, time

ctypes.CDLL(None).prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER
command, how, work = json.loads(sys.argv[1]), sys.argv[2], sys.argv[3]
process = subprocess.Popen(command, stderr=subprocess.PIPE, text=True)
calls, said = 0, []
while calls < 2:
    line = process.stderr.readline()
    if not line:
        sys.exit("the step ended before its encoding: " + "".join(said))
    said.append(line)
    calls += line.startswith("vorlinde-match-test: module call pid ")

def helpers_of(pid):
    found = []
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/children") as f:
            for child in f.read().split():
                with open(f"/proc/{child}/cmdline", "rb") as c:
                    if b"--waiting" in c.read().split(b"\0"):
                        found.append(int(child))
    return found

# The children lists are read while processes come and go: look again
# before concluding there is no helper.
deadline = time.monotonic() + 2
while not (helpers := helpers_of(process.pid)) and time.monotonic() < deadline:
    time.sleep(0.05)
if how == "failure":
    os.rename(os.path.join(work, "handover"), os.path.join(work, "handover.away"))
    with open(os.path.join(work, "handover"), "w") as f:
        f.write("not a folder")
else:
    process.send_signal(getattr(signal, how))
_, stderr = process.communicate(timeout=60)
fate = []
for helper in helpers:
    deadline = time.monotonic() + 10
    while True:
        try:
            pid, status = os.waitpid(helper, os.WNOHANG)
        except ChildProcessError:
            fate.append("reaped")
            break
        if pid:
            fate.append(f"orphaned, exit {os.waitstatus_to_exitcode(status)}")
            break
        if time.monotonic() > deadline:
            os.kill(helper, signal.SIGKILL)
            fate.append("orphaned, still running")
            break
        time.sleep(0.05)
print(json.dumps({"status": process.returncode, "stderr": stderr, "helpers": fate}))
"""


@needs_command
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="watches processes through Linux's /proc and prctl")
@pytest.mark.parametrize("how, status, fate", [
    ("SIGINT", 128 + signal.SIGINT, "reaped"),  # Ctrl-C
    ("SIGTERM", 128 + signal.SIGTERM, "reaped"),
    ("failure", 1, "reaped"),
    # Killed, the step cannot stop its helper: the helper ends on its own
    # when its pipe closes.
    ("SIGKILL", -signal.SIGKILL, "orphaned, exit 0"),
])
def test_the_helper_ends_with_the_step_however_it_ends(data, tmp_path, how, status, fate):
    env = run_env(uuid.uuid4().hex, VORLINDE_MATCH_TEST_PAUSE="module call", VORLINDE_MATCH_TEST_PAUSE_SECONDS="3")
    command = [sys.executable, "-m", "vorlinde_match", "run", "--data", str(data), "--work", str(tmp_path)]
    done = subprocess.run([sys.executable, "-c", WATCH, json.dumps(command), how, str(tmp_path)], capture_output=True,
                          text=True, timeout=120, env=env)
    assert done.returncode == 0, done.stderr
    seen = json.loads(done.stdout)
    assert seen["status"] == status, seen["stderr"]
    assert seen["helpers"] == [fate], seen  # one helper, started for the encoding
    if how == "failure":
        assert "sender-bank.store" in seen["stderr"].splitlines()[-1]


# Packed rows ------------------------------------------------------------------

ROWS_CASES = {
    "plain": [[("DE89370400440532013000", "Anna Schmidt"), ("FR7630006000011234567890189", "Zoë Dubois")]],
    "non-ASCII and empty values": [[("NL1", "田中 Siân"), ("", "Ó Briain"), ("BE2", "")]],
    "a NUL in a value": [[("DE1", "a\0b"), ("DE2", "c")], [("FR3", "d")]],
    "a lone surrogate": [[("DE1", "\udc80"), ("DE2", "x")], [("FR3", "y")]],
    "one column": [[("DE1",), ("DE2",)], [("FR3",)]],
    "many chunks": [[(f"DE{i}", f"n{i}ö")] * (i % 3 + 1) for i in range(50)],
}


@pytest.mark.parametrize("chunks", list(ROWS_CASES.values()), ids=list(ROWS_CASES))
def test_packed_rows_give_the_module_exactly_the_keys_read(chunks):
    """A store keeps of a row only its key, the values run together (the
    module's row key, test_build_okvs.py): packed rows may come back as
    one-column rows of their keys, and must come back in order, each with
    the key the row read has."""
    from vorlinde_match.steps import KeyRows

    rows = KeyRows()
    for chunk in chunks:
        rows.add(chunk)
    keys = ["".join(row) for chunk in chunks for row in chunk]  # the keys as read
    assert len(rows) == len(keys)
    assert ["".join(row) for row in rows.head(3)] == keys[:3]
    assert ["".join(rows[i]) for i in range(-1, len(keys) - 1)] == keys[-1:] + keys[:-1]
    walked = list(rows)
    assert all(isinstance(value, str) for row in walked for value in row)
    assert ["".join(row) for row in walked] == keys
    assert len(rows) == 0  # walked once: every chunk let go


def test_rows_that_packing_cannot_hold_reach_the_module_as_they_came():
    """A NUL is the separator and a lone surrogate is no UTF-8: such a chunk
    is handed over as read, so the module refuses the surrogate (with the
    same message as unpacked rows) and stores the NUL as a byte of the key."""
    from vorlinde_match.steps import KeyRows

    public_key, _ = vorlinde.key_gen()
    for chunk in ([("DE1", "a\0b"), ("DE2", "c")], [("DE1", "\udc80"), ("DE2", "x")]):
        rows = KeyRows()
        rows.add(chunk)
        assert list(rows) == chunk
    rows = KeyRows()
    rows.add([("DE1", "\udc80")])
    with pytest.raises(BaseException) as packed:
        vorlinde.build_okvs(public_key, rows)
    with pytest.raises(BaseException) as plain:
        vorlinde.build_okvs(public_key, [("DE1", "\udc80")])
    assert (type(packed.value), str(packed.value)) == (type(plain.value), str(plain.value))


def test_the_module_builds_the_same_size_of_store_from_packed_rows():
    from vorlinde_match.steps import KeyRows

    public_key, _ = vorlinde.key_gen()
    chunks = [[(f"DE{i:04d}", "Jörg Müller") for i in range(k, k + 250)] for k in range(0, 1000, 250)]
    rows = KeyRows()
    for chunk in chunks:
        rows.add(chunk)
    # The byte form (test_build_okvs.py): three 8-byte seeds, ceil(2.4 n)
    # sparse and 32 dense values of 64 bytes, for n distinct rows.
    assert len(vorlinde.build_okvs(public_key, rows)) == 24 + 64 * (-(-12 * 1000 // 5) + 32)


# Comparing with a known answer ------------------------------------------------

def _plain_differences(answer, got):
    """An independent reading: dictionaries by id, as a person would."""
    want = dict(answer)
    have = dict(got)
    ids = sorted(set(want) | set(have))
    return [(i, want.get(i, "nothing"), have.get(i, "nothing")) for i in ids if want.get(i) != have.get(i)], len(ids)


COMPARE_CASES = {
    "same order, agreeing": ([("T1", "true"), ("T2", "false")], [("T1", "true"), ("T2", "false")]),
    "same order, two differ": ([("T2", "true"), ("T1", "false"), ("T3", "false")],
                               [("T2", "false"), ("T1", "true"), ("T3", "false")]),
    "another order": ([("T1", "true"), ("T2", "false"), ("T3", "true")],
                      [("T2", "false"), ("T1", "true"), ("T3", "false")]),
    "a result missing": ([("T1", "true"), ("T2", "false")], [("T1", "true")]),
    "an id not in the answer": ([("T1", "true")], [("T1", "true"), ("T9", "false")]),
}


@pytest.mark.parametrize("answer, got", list(COMPARE_CASES.values()), ids=list(COMPARE_CASES))
def test_the_run_compares_its_results_with_the_answer_by_id(tmp_path, answer, got):
    from vorlinde_match.whole_run import compare

    for name, header, rows in (("answer.csv", ("id", "match"), answer), ("results.csv", ("id", "matched"), got)):
        with open(tmp_path / name, "w", newline="", encoding="utf-8") as f:
            csv.writer(f, lineterminator="\n").writerows([header] + rows)
    assert compare(str(tmp_path / "results.csv"), str(tmp_path / "answer.csv")) == _plain_differences(answer, got)


# The memory of another process tree ---------------------------------------------

@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="no /proc here")
def test_the_sampler_sees_the_memory_of_a_grandchild():
    from vorlinde_match.records import MemorySampler

    size = 200_000_000
    grandchild = f"import time; block = b'x' * {size}; time.sleep(1.5)"
    child = subprocess.Popen([sys.executable, "-c", f"import subprocess, sys; subprocess.run([sys.executable, '-c', "
                                                    f"{grandchild!r}])"])
    sampler = MemorySampler(every=0.05, most=1000, pid=child.pid).start()
    child.wait()
    sampler.stop()
    # Two interpreters, one holding the block.
    assert size < sampler.peak < size + 200_000_000


# The sample generator ---------------------------------------------------------

# sha256 of the four files (sender bank, receiver bank, transactions, answer,
# in that order) that make_sample.py wrote when it built every row in memory,
# before it streamed: the same seed and size must give the same files.
IN_MEMORY_DIGESTS = [
    (40, 7, None, "f21499d2153e42463663c9c2f04e4b2045210c68d7f7270d039e6452e981639b"),
    (1000, 23, None, "2b52319aa4161ec2a49a0b6c27deee71f5300738046e6c6c60a33ee0bfd6900f"),
    (3000, 5, 17, "d4ef516bcfbc9e74f1ab6efa91e99aaae61cc237a6ff685069955d6be32d1cd1"),
]


@pytest.mark.parametrize("rows, seed, bank_rows, digest", IN_MEMORY_DIGESTS)
def test_the_streaming_generator_writes_what_the_in_memory_one_did(tmp_path, rows, seed, bank_rows, digest):
    make_sample.write_set(str(tmp_path), rows, seed, bank_rows)
    h = hashlib.sha256()
    for name in ("sender_bank.csv", "receiver_bank.csv", "transactions.csv", "expected_matches.csv"):
        h.update((tmp_path / name).read_bytes())
    assert h.hexdigest() == digest
