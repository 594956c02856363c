"""The vorlinde-match command, run as its users run it: whole matchings on a
generated set whose answer is known by construction (examples/make_sample.py
decides per transaction whether both sides are real accounts), one party's
step at a time, interrupted, and with the bad inputs users make."""

import csv
import importlib.util
import os
import platform
import shutil
import signal
import stat
import subprocess
import sys
import sysconfig
import time

import pytest
from known_answer import answer, parquet_copies, results
from command_scan import scan

EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples")
ROLES = ("sender-bank", "receiver-bank", "operator")

_spec = importlib.util.spec_from_file_location("make_sample", os.path.join(EXAMPLES, "make_sample.py"))
make_sample = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(make_sample)

# Pure Python driving subprocesses (and Dask's worker processes): the module
# calls it makes are the ones the rest of the suite runs under the sanitizers.
# On PyPy PyNaCl is built from source (docs/pipeline.md); without it the
# command cannot run there.
no_nacl = platform.python_implementation() == "PyPy" and importlib.util.find_spec("nacl") is None
pytestmark = [pytest.mark.unsanitized,
              pytest.mark.skipif(no_nacl, reason="vorlinde-match needs PyNaCl, not installed for this PyPy")]

has_dask = importlib.util.find_spec("distributed") is not None
has_pyarrow = importlib.util.find_spec("pyarrow") is not None


def command(*args, timeout=300):
    return subprocess.run([sys.executable, "-m", "vorlinde_match", *map(str, args)], capture_output=True, text=True,
                          timeout=timeout)


def leftovers(folder):
    """Temporary files a step left behind."""
    return [os.path.join(d, n) for d, _, names in os.walk(folder) for n in names if ".partial-" in n]


@pytest.fixture(scope="module")
def data(tmp_path_factory):
    folder = tmp_path_factory.mktemp("data")
    make_sample.write_set(str(folder), 700, 11)
    return folder


MODES = {
    "one call per step": ["--chunk-rows", "1000000"],
    "chunked": ["--chunk-rows", "37"],
    "partitioned": ["--partitions", "3", "--chunk-rows", "101"],
    "dask": pytest.param(["--dask-local", "2", "--chunk-rows", "150"],
                         marks=pytest.mark.skipif(not has_dask, reason="Dask is not installed")),
    "dask, partitioned": pytest.param(["--dask-local", "2", "--partitions", "2"],
                                      marks=pytest.mark.skipif(not has_dask, reason="Dask is not installed")),
}


@pytest.mark.parametrize("options", list(MODES.values()), ids=list(MODES))
def test_a_whole_run_gives_the_known_answer_in_every_mode(data, tmp_path, options):
    done = command("run", "--data", data, "--work", tmp_path, "--quiet", *options)
    assert done.returncode == 0, done.stderr
    # Checked here against the generator's answer, not only by the command.
    assert results(tmp_path / "operator" / "matches.csv") == answer(data)
    assert not leftovers(tmp_path)


def test_banks_that_list_an_account_twice_match_alike_plain_and_partitioned(data, tmp_path):
    """Accounts listed twice, and accounts whose key columns join to the key
    of another row ("ab", "c" against "a", "bc"), change no result, and the
    partitions, padded to the distinct keys, keep one size. The plain run is
    the oracle, and both agree with the generator's answer."""
    from vorlinde_match import files

    (tmp_path / "data").mkdir()
    for name in ("transactions.csv", "expected_matches.csv"):
        shutil.copy(data / name, tmp_path / "data" / name)
    for name in ("sender_bank.csv", "receiver_bank.csv"):
        with open(data / name, newline="", encoding="utf-8") as f:
            header, *rows = list(csv.reader(f))
        iban, holder = header.index("iban"), header.index("name")
        split = []
        for row in rows[100:160]:
            row = list(row)
            row[iban], row[holder] = row[iban] + row[holder][:2], row[holder][2:]
            split.append(row)
        with open(tmp_path / "data" / name, "w", newline="", encoding="utf-8") as f:
            csv.writer(f, lineterminator="\n").writerows([header] + rows + rows[:80] + split + rows[:5])
    got = {}
    for partitions in (1, 3):
        work = tmp_path / f"work-{partitions}"
        done = command("run", "--data", tmp_path / "data", "--work", work, "--quiet", "--partitions", partitions)
        assert done.returncode == 0, done.stderr
        got[partitions] = results(work / "operator" / "matches.csv")
        for bank in ("sender-bank", "receiver-bank"):
            parts = files.read_header(str(work / "handover" / f"{bank}.store"), "store", sealed=True)["parts"]
            assert len(parts) == partitions and len(set(parts)) == 1
    assert got[3] == got[1] == answer(data)


def test_a_different_answer_fails_the_run_and_names_the_transaction(data, tmp_path):
    shutil.copytree(data, tmp_path / "data")
    rows = answer(data)
    tid, flag = rows[3]
    rows[3] = (tid, "false" if flag == "true" else "true")
    with open(tmp_path / "data" / "expected_matches.csv", "w", newline="", encoding="utf-8") as f:
        csv.writer(f, lineterminator="\n").writerows([("id", "match")] + rows)
    done = command("run", "--data", tmp_path / "data", "--work", tmp_path / "work", "--quiet")
    assert done.returncode == 1
    assert f"1 of {len(rows)} results differ" in done.stderr and tid in done.stderr


@pytest.mark.parametrize("reader", ["csv", "arrow"])
def test_ids_that_need_quoting_come_back_as_they_were(data, tmp_path, monkeypatch, reader):
    """Ids with a carriage return (which the csv module of some versions
    writes bare with "\n" lines), a comma, a quote and a line break go
    through the query's ids file and finish's results unchanged: the run
    checks them against the answer, and so does the csv reader here."""
    if reader == "arrow" and not has_pyarrow:
        pytest.skip("pyarrow is not installed")
    monkeypatch.setenv("VORLINDE_MATCH_CSV_READER", reader)
    odd = {0: "a\rb", 1: "c,d", 2: 'say "hi"', 3: "two\nlines", 4: "end\r"}
    (tmp_path / "data").mkdir()
    for name in ("sender_bank.csv", "receiver_bank.csv"):
        shutil.copy(data / name, tmp_path / "data" / name)
    for name in ("transactions.csv", "expected_matches.csv"):
        with open(data / name, newline="", encoding="utf-8") as f:
            rows = list(csv.reader(f))
        for i, tid in odd.items():
            rows[1 + i][0] = tid
        # "\r\n" lines, so that the csv module quotes a value holding "\r".
        with open(tmp_path / "data" / name, "w", newline="", encoding="utf-8") as f:
            csv.writer(f, lineterminator="\r\n").writerows(rows)
    done = command("run", "--data", tmp_path / "data", "--work", tmp_path / "work", "--quiet", "--chunk-rows", "3")
    assert done.returncode == 0, done.stderr
    got = results(tmp_path / "work" / "operator" / "matches.csv")
    assert got == answer(tmp_path / "data") and [tid for tid, _ in got[:5]] == list(odd.values())


def test_the_library_run_gives_memory_back_after_every_step(data, tmp_path, monkeypatch):
    import io

    from vorlinde_match import run_all, whole_run
    from vorlinde_match.progress import Reporter

    reporter = Reporter(stream=io.StringIO())
    after = []
    monkeypatch.setattr(whole_run, "release_memory", lambda: after.append(reporter.records[-1]["step"]))
    run_all(str(data / "sender_bank.csv"), str(data / "receiver_bank.csv"), str(data / "transactions.csv"),
            reporter, work=str(tmp_path / "work"), partitions=2)
    # The run's steps in the order docs/pipeline.md gives them.
    assert after == ["sender bank build", "receiver bank build", "operator query", "sender bank randomize",
                     "receiver bank randomize", "operator combine", "sender bank decrypt", "receiver bank decrypt",
                     "operator finish"]


def test_the_library_run_lists_its_differences_and_removes_its_temporary_work_folder(data, tmp_path):
    import io

    from vorlinde_match import run_all
    from vorlinde_match.progress import Reporter

    rows = answer(data)
    flipped = {tid for tid, _ in rows[:12]}
    with open(tmp_path / "answer.csv", "w", newline="", encoding="utf-8") as f:
        csv.writer(f, lineterminator="\n").writerows(
            [("id", "match")] + [(tid, {"true": "false", "false": "true"}[m] if tid in flipped else m)
                                 for tid, m in rows])
    said = io.StringIO()
    run = run_all(str(data / "sender_bank.csv"), str(data / "receiver_bank.csv"), str(data / "transactions.csv"),
                  Reporter(stream=said), expected=str(tmp_path / "answer.csv"), output=str(tmp_path / "out.csv"),
                  chunk_rows=97)
    # The generator's answer, not the flipped one, is what the results hold.
    assert run.results == str(tmp_path / "out.csv") and results(run.results) == rows
    assert {tid for tid, _, _ in run.differences} == flipped and run.total == len(rows)
    line = run.disagreement()
    assert line.startswith(f"12 of {len(rows)} results differ") and line.count("(expected") == 10
    assert line.endswith(", ...")
    work = said.getvalue().split("work folder: ", 1)[1].split(" ", 1)[0]
    assert work and not os.path.exists(work)


@pytest.mark.skipif(not has_pyarrow, reason="pyarrow is not installed")
def test_parquet_tables_give_the_same_answer(data, tmp_path):
    names = parquet_copies(data, tmp_path)
    done = command("run", "--sender-bank", names["sender_bank"], "--receiver-bank", names["receiver_bank"],
                   "--transactions", names["transactions"], "--work", tmp_path / "work", "--quiet",
                   "--chunk-rows", "64")
    assert done.returncode == 0, done.stderr
    assert results(tmp_path / "work" / "operator" / "matches.csv") == answer(data)


class Parties:
    """Three parties' folders and a handover folder, driven step by step."""

    def __init__(self, root, data):
        self.root, self.data = root, data
        self.home = {role: root / role for role in ROLES}
        self.handover = root / "handover"
        self.handover.mkdir()

    def step(self, *args):
        return command(*args, "--handover", self.handover)

    def keys(self):
        """Each party's keys, then each pins the others' identities, as
        docs/pipeline.md tells the parties to."""
        for role in ROLES:
            done = command("keys", "--role", role, "--home", self.home[role], "--quiet")
            assert done.returncode == 0, done.stderr
        for role in ROLES:
            for other in ROLES:
                if other != role:
                    done = command("trust", "--home", self.home[role], "--role", other, "--key",
                                   self.home[other] / "identity.json", "--quiet")
                    assert done.returncode == 0, done.stderr

    def build(self, bank, accounts=None, columns="iban,name"):
        csv_name = "sender_bank.csv" if bank == "sender-bank" else "receiver_bank.csv"
        return self.step("bank", "build", "--home", self.home[bank], "--accounts", accounts or self.data / csv_name,
                         "--columns", columns, "--quiet")

    def query(self, transactions=None, sender_columns="sender_iban,sender_name"):
        return self.step("operator", "query", "--home", self.home["operator"], "--transactions",
                         transactions or self.data / "transactions.csv", "--sender-columns", sender_columns,
                         "--receiver-columns", "receiver_iban,receiver_name", "--quiet")

    def rest(self):
        """Every step after the query, in order; returns the finish step's result."""
        for args in (("bank", "randomize", "--home", self.home["sender-bank"]),
                     ("bank", "randomize", "--home", self.home["receiver-bank"]),
                     ("operator", "combine", "--home", self.home["operator"]),
                     ("bank", "decrypt", "--home", self.home["sender-bank"]),
                     ("bank", "decrypt", "--home", self.home["receiver-bank"])):
            done = self.step(*args, "--quiet")
            assert done.returncode == 0, done.stderr
        return self.step("operator", "finish", "--home", self.home["operator"], "--json")


@pytest.fixture
def parties(tmp_path, data):
    p = Parties(tmp_path, data)
    p.keys()
    yield p
    # No secret key and no account row outside its owner's folder.
    banks = ("sender-bank", "receiver-bank")
    assert scan(tmp_path, {bank: data / f"{bank.replace('-', '_')}.csv" for bank in banks}) == []


def test_each_party_runs_its_own_steps(parties, data):
    for bank in ("sender-bank", "receiver-bank"):
        assert parties.build(bank).returncode == 0
    assert parties.query().returncode == 0
    done = parties.rest()
    assert done.returncode == 0, done.stderr
    import json

    summary = json.loads(done.stdout)
    truth = answer(data)
    assert summary["rows"] == len(truth) and summary["matched"] == sum(flag == "true" for _, flag in truth)
    assert results(parties.home["operator"] / "matches.csv") == truth
    # Secret keys stay private to their owner and never reach the handover.
    for role in ROLES:
        assert stat.S_IMODE(os.stat(parties.home[role] / "secret.key").st_mode) == 0o600
    assert not any("secret" in name for name in os.listdir(parties.handover))
    assert not leftovers(parties.root)


def one_line_error(done, *fragments):
    assert done.returncode == 1, done.stdout + done.stderr
    lines = done.stderr.strip().splitlines()
    assert len(lines) == 1, done.stderr
    for fragment in fragments:
        assert str(fragment) in lines[0], lines[0]
    return lines[0]


def test_bad_inputs_give_one_line_that_names_the_file(parties, data, tmp_path):
    accounts = data / "sender_bank.csv"
    one_line_error(parties.build("sender-bank", columns="iban,nmae"), accounts, "'nmae'", "iban, name, opened")
    one_line_error(parties.build("sender-bank", accounts=tmp_path / "nowhere.csv"), "nowhere.csv", "no such file")
    one_line_error(parties.build("sender-bank", accounts=tmp_path), tmp_path, "is a folder")
    ragged = tmp_path / "ragged.csv"
    ragged.write_text("iban,name\nDE1,Ada\nDE2\n", encoding="utf-8")
    one_line_error(parties.build("sender-bank", accounts=ragged), ragged, "line 3: 1 field where")
    assert os.listdir(parties.handover) == []

    # A bank step with the operator's folder, and the other way round.
    one_line_error(parties.step("bank", "build", "--home", parties.home["operator"], "--accounts", accounts,
                                "--columns", "iban,name"), "belongs to the operator")
    assert parties.build("sender-bank").returncode == 0
    assert parties.build("receiver-bank").returncode == 0
    one_line_error(parties.step("operator", "query", "--home", parties.home["sender-bank"], "--transactions",
                                data / "transactions.csv", "--sender-columns", "sender_iban",
                                "--receiver-columns", "receiver_iban"), "belongs to the sender bank")
    one_line_error(parties.query(sender_columns="sender_iban,sendr_name"), "transactions.csv", "'sendr_name'")

    # A store from the wrong bank, then one cut short.
    stores = {bank: parties.handover / f"{bank}.store" for bank in ("sender-bank", "receiver-bank")}
    kept = stores["sender-bank"].read_bytes()
    shutil.copy(stores["receiver-bank"], stores["sender-bank"])
    one_line_error(parties.query(), stores["sender-bank"], "comes from the receiver bank")
    stores["sender-bank"].write_bytes(kept[:-100])
    one_line_error(parties.query(), stores["sender-bank"], "cut short")
    altered = bytearray(kept)
    altered[-1] ^= 1
    stores["sender-bank"].write_bytes(bytes(altered))
    one_line_error(parties.query(), stores["sender-bank"], "does not authenticate")
    assert not (parties.handover / "operator.queries").exists()
    stores["sender-bank"].write_bytes(kept)
    fewer = parties.query(sender_columns="sender_iban")  # allowed, but said
    assert fewer.returncode == 0 and "warning: " in fewer.stderr and "--sender-columns names 1" in fewer.stderr
    assert parties.query().returncode == 0

    # Secret keys: readable by others, then of the wrong length.
    secret = parties.home["sender-bank"] / "secret.key"
    assert command("bank", "randomize", "--home", parties.home["sender-bank"], "--handover",
                   parties.handover).returncode == 0
    assert command("bank", "randomize", "--home", parties.home["receiver-bank"], "--handover",
                   parties.handover).returncode == 0
    assert command("operator", "combine", "--home", parties.home["operator"], "--handover",
                   parties.handover).returncode == 0
    decrypt = ("bank", "decrypt", "--home", parties.home["sender-bank"])
    os.chmod(secret, 0o644)
    one_line_error(parties.step(*decrypt), secret, "chmod 600")
    os.chmod(secret, 0o600)
    original = secret.read_bytes()
    with open(secret, "r+b") as f:  # one byte short, header and all consistent
        f.truncate(len(original) - 1)
    one_line_error(parties.step(*decrypt), secret, "cut short")
    secret.write_bytes(original)
    assert not (parties.handover / "sender-bank.decrypted").exists()
    assert not leftovers(parties.root)
    assert parties.step(*decrypt).returncode == 0


def test_a_key_of_the_wrong_length_is_refused(parties):
    # Written through the package's own file format, as a damaged tool would.
    from vorlinde_match.files import Outputs

    home = parties.root / "short"
    home.mkdir(mode=0o700)
    with Outputs() as out:
        out.whole(str(home / "secret.key"), {"kind": "secret-key", "role": "sender-bank"}, bytes(31), mode=0o600)
        out.whole(str(home / "public.key"), {"kind": "public-key", "role": "sender-bank"}, bytes(31))
    done = parties.step("bank", "decrypt", "--home", home)
    one_line_error(done, home / "secret.key", "31 bytes")


def test_stale_files_of_another_run_are_refused(parties, data):
    for bank in ("sender-bank", "receiver-bank"):
        assert parties.build(bank).returncode == 0
    assert parties.query().returncode == 0
    assert parties.step("bank", "randomize", "--home", parties.home["sender-bank"]).returncode == 0
    assert parties.step("bank", "randomize", "--home", parties.home["receiver-bank"]).returncode == 0
    stale = (parties.handover / "sender-bank.randomized").read_bytes()
    assert parties.query().returncode == 0  # a new run: new queries
    assert parties.step("bank", "randomize", "--home", parties.home["receiver-bank"]).returncode == 0
    (parties.handover / "sender-bank.randomized").write_bytes(stale)
    one_line_error(parties.step("operator", "combine", "--home", parties.home["operator"]),
                   "sender-bank.randomized", "another matching run")


def test_a_bank_cannot_decrypt_the_other_banks_points(parties):
    for bank in ("sender-bank", "receiver-bank"):
        assert parties.build(bank).returncode == 0
    assert parties.query().returncode == 0
    for bank in ("sender-bank", "receiver-bank"):
        assert parties.step("bank", "randomize", "--home", parties.home[bank]).returncode == 0
    assert parties.step("operator", "combine", "--home", parties.home["operator"]).returncode == 0
    shutil.copy(parties.handover / "operator.for-receiver-bank", parties.handover / "operator.for-sender-bank")
    one_line_error(parties.step("bank", "decrypt", "--home", parties.home["sender-bank"]),
                   "sealed for the receiver bank, not for the sender bank")


@pytest.mark.skipif(not has_dask, reason="Dask is not installed")
def test_a_query_on_dask_reading_a_pipe_gives_the_known_answer(parties, data):
    """A pipe can be read only by the step's own process: it sends the rows
    to the workers."""
    for bank in ("sender-bank", "receiver-bank"):
        assert parties.build(bank).returncode == 0
    done = subprocess.run([sys.executable, "-m", "vorlinde_match", "operator", "query", "--home",
                           str(parties.home["operator"]), "--transactions", "-", "--sender-columns",
                           "sender_iban,sender_name", "--receiver-columns", "receiver_iban,receiver_name",
                           "--handover", str(parties.handover), "--dask-local", "2", "--chunk-rows", "90"],
                          input=(data / "transactions.csv").read_bytes(), capture_output=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert b"read their own slices" not in done.stdout + done.stderr
    assert parties.rest().returncode == 0
    assert results(parties.home["operator"] / "matches.csv") == answer(data)


def test_dask_without_the_extra_says_how_to_get_it(parties, data, tmp_path):
    if has_dask:
        pytest.skip("Dask is installed here")
    done = parties.step("bank", "build", "--home", parties.home["sender-bank"], "--accounts",
                        data / "sender_bank.csv", "--columns", "iban,name", "--dask-local", "2")
    one_line_error(done, "pip install 'vorlinde[dask]'")


def _busiest(count, chunk, workers):
    """Items on the busiest worker when `count` items go out in tasks of
    `chunk` (the last one shorter), each task to the least-loaded worker,
    as a scheduler deals equal tasks to equal workers."""
    loads = [0] * workers
    for start in range(0, count, chunk):
        loads[loads.index(min(loads))] += min(chunk, count - start)
    return max(loads)


# Hand-worked: 100,000 = 4 x 25,000; 1,000,000 = 32 x 31,250; 101 items on
# two workers in one round: 51 + 50; one worker: the same rounds, equal.
@pytest.mark.parametrize("count,chunk,workers,expected", [
    (100_000, 32_768, 2, 25_000), (1_000_000, 32_768, 2, 31_250), (101, 100, 2, 51), (10, 32_768, 2, 5),
    (100_000, 32_768, 1, 25_000), (65_536, 32_768, 2, 32_768), (0, 100, 2, 1)])
def test_stream_chunks_on_a_cluster_come_in_equal_rounds(count, chunk, workers, expected):
    from vorlinde_match.execution import balanced_chunk

    assert balanced_chunk(count, chunk, workers) == expected


def test_no_worker_carries_more_than_one_item_per_round_above_its_share():
    from vorlinde_match.execution import balanced_chunk

    for count in (1, 7, 999, 32_769, 100_000, 250_001):
        for chunk in (1, 3, 1000, 32_768):
            for workers in (1, 2, 3, 8):
                size = balanced_chunk(count, chunk, workers)
                rounds = -(-count // (chunk * workers))  # no fewer rounds can hold every item
                assert size <= chunk and -(-count // (size * workers)) == rounds
                assert _busiest(count, size, workers) - -(-count // workers) < rounds, (count, chunk, workers)


@pytest.mark.skipif(not has_dask, reason="Dask is not installed")
def test_dask_workers_share_the_processors_out():
    from vorlinde_match.execution import Dask

    processors = len(os.sched_getaffinity(0))
    executor = Dask(local_workers=2)
    try:
        sizes = executor.client.run(lambda: os.environ.get("RAYON_NUM_THREADS"))
    finally:
        executor.close()
    # Two worker processes on this machine: each gets half of its processors.
    assert sorted(sizes.values()) == [str(max(1, processors // 2))] * 2


@pytest.mark.skipif(not has_dask or shutil.which("openssl") is None, reason="needs Dask and openssl")
def test_a_whole_run_on_a_scheduler_reached_over_tls(data, tmp_path):
    """A scheduler and a worker started as an operator would, with a
    self-signed certificate, reached through --dask tls://."""
    cert, key = tmp_path / "cert.pem", tmp_path / "key.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                    "-days", "1", "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1"],
                   check=True, capture_output=True)
    tls = ["--tls-ca-file", cert, "--tls-cert", cert, "--tls-key", key]
    dask = os.path.join(sysconfig.get_path("scripts"), "dask")
    address_file = tmp_path / "scheduler.json"
    started = []
    try:
        started.append(subprocess.Popen([dask, "scheduler", "--protocol", "tls", "--host", "127.0.0.1", "--port", "0",
                                         "--no-dashboard", "--scheduler-file", address_file, *tls],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        for _ in range(600):
            if address_file.exists() and address_file.stat().st_size:
                break
            time.sleep(0.1)
        import json

        address = json.loads(address_file.read_text())["address"]
        assert address.startswith("tls://")
        started.append(subprocess.Popen([dask, "worker", "--nthreads", "1", "--no-dashboard", *tls, address],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        done = command("run", "--data", data, "--work", tmp_path / "work", "--quiet", "--chunk-rows", "200",
                       "--dask", address, "--dask-tls-ca", cert, "--dask-tls-cert", cert, "--dask-tls-key", key)
        assert done.returncode == 0, done.stderr
        assert results(tmp_path / "work" / "operator" / "matches.csv") == answer(data)
        # Without the certificates the scheduler cannot be reached.
        refused = command("bank", "randomize", "--home", tmp_path / "work" / "sender-bank", "--handover",
                          tmp_path / "work" / "handover", "--dask", address, timeout=120)
        one_line_error(refused, "no TLS certificates")
    finally:
        for process in reversed(started):
            process.terminate()
            process.wait(timeout=30)


def test_an_unencrypted_remote_scheduler_is_refused(parties, data):
    if not has_dask:
        pytest.skip("Dask is not installed")
    done = parties.step("bank", "decrypt", "--home", parties.home["sender-bank"], "--dask", "tcp://192.0.2.1:8786")
    one_line_error(done, "tls://")


@pytest.mark.parametrize("stop", [signal.SIGINT, signal.SIGTERM], ids=["Ctrl-C", "SIGTERM"])
def test_a_stopped_step_stops_promptly_leaving_nothing_and_can_run_again(parties, stop):
    for bank in ("sender-bank", "receiver-bank"):
        assert parties.build(bank).returncode == 0
    assert parties.query().returncode == 0
    # A queries file long enough for several seconds of randomize: the run's
    # own records, repeated, signed and sealed as the operator would.
    from vorlinde_match.files import Outputs, read_handed_over, read_payload
    from vorlinde_match.parties import Trust

    queries = parties.handover / "operator.queries"
    operator, bank = Trust(str(parties.home["operator"]), "operator"), Trust(str(parties.home["sender-bank"]),
                                                                            "sender-bank")
    meta, file_key = read_handed_over(str(queries), "records", "operator", bank, "")
    records = read_payload(str(queries), meta, file_key)
    repeat = max(1, 400_000 * 128 // len(records))
    meta["count"] *= repeat
    made = ("bytes", "blake2b", "signer", "recipients")
    with Outputs() as out:
        with out.sealed(str(queries), {k: v for k, v in meta.items() if k not in made}, operator.me,
                        [operator.pinned(b) for b in ("sender-bank", "receiver-bank")]) as w:
            for _ in range(repeat):
                w.write(records)
    args = [sys.executable, "-m", "vorlinde_match", "bank", "randomize", "--home", parties.home["sender-bank"],
            "--handover", parties.handover, "--quiet"]
    process = subprocess.Popen(list(map(str, args)), stderr=subprocess.PIPE, text=True)
    time.sleep(1.5)
    sent = time.monotonic()
    process.send_signal(stop)
    _, stderr = process.communicate(timeout=30)
    stopped = time.monotonic() - sent
    assert process.returncode == 128 + stop, stderr
    assert "wrote nothing" in stderr
    assert stopped < 1.5, f"stopped {stopped:.2f} s after the signal"
    assert not (parties.handover / "sender-bank.randomized").exists()
    assert not leftovers(parties.root)
    done = subprocess.run(list(map(str, args)), capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert os.path.getsize(parties.handover / "sender-bank.randomized") == os.path.getsize(queries)


def test_a_partition_past_its_padded_size_fails_the_build_and_leaves_nothing(parties, data, monkeypatch):
    # Every key falling into one partition: far more than the padded size.
    from vorlinde_match import partitions, records, steps
    from vorlinde_match.errors import StepError
    from vorlinde_match.progress import Reporter

    monkeypatch.setattr(partitions, "partition_of", lambda key, seed, count: 0)
    with pytest.raises(StepError, match="padded to"):
        steps.bank_build(str(parties.home["sender-bank"]), str(parties.handover), str(data / "sender_bank.csv"),
                         ["iban", "name"], Reporter(quiet=True), partitions=4)
    assert os.listdir(parties.handover) == []
    # The home keeps its keys, identity, pins, its lock file and the record of
    # its keys step, and no spilled rows; the failed build recorded nothing.
    assert sorted(os.listdir(parties.home["sender-bank"])) == [".lock", "identity.json", "parties.json", "public.key",
                                                               "sealing.key", "secret.key", "signing.key",
                                                               "steps.jsonl"]
    assert [r["what"] for r in records.read(str(parties.home["sender-bank"]))] == ["keys"]


def test_the_readme_commands_match_the_sample_set(tmp_path):
    """The commands README.md shows each party, run as written on the sample
    files."""
    with open(os.path.join(EXAMPLES, "..", "README.md"), encoding="utf-8") as f:
        readme = f.read()
    section = readme[readme.index("## Matching real files"):]
    script = section[section.index("```sh\n") + 6:section.index("```", section.index("```sh\n") + 6)]
    assert script.count("vorlinde-match ") == 16
    sample = os.path.join(EXAMPLES, "sample")
    for name in ("sender_bank.csv", "receiver_bank.csv", "transactions.csv"):
        shutil.copy(os.path.join(sample, name), tmp_path)
    env = dict(os.environ, PATH=sysconfig.get_path("scripts") + os.pathsep + os.environ["PATH"])
    done = subprocess.run(["bash", "-euo", "pipefail", "-c", script], cwd=tmp_path, env=env, capture_output=True,
                          text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert results(tmp_path / "operator" / "matches.csv") == answer(sample)


def test_the_command_is_installed_with_the_module():
    script = os.path.join(sysconfig.get_path("scripts"), "vorlinde-match")
    done = subprocess.run([script, "--help"], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0 and "operator" in done.stdout


def test_every_module_of_the_package_is_installed():
    """meson.build lists the package's files one by one: a module added to the
    source tree and not to that list is missing from every installation."""
    import vorlinde_match

    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "vorlinde_match")
    installed = os.path.dirname(vorlinde_match.__file__)
    if os.path.realpath(installed) == os.path.realpath(source):
        pytest.skip("the package is imported from the source tree, not from an installation")
    want = {n for n in os.listdir(source) if n.endswith(".py")}
    assert want <= set(os.listdir(installed)), sorted(want - set(os.listdir(installed)))
