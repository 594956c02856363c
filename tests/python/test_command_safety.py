"""The vorlinde-match command as a careless or hostile party would use it:
secrets and account rows stay in their owner's folder, no file is lost, and
every way a step can end (an error, a refused input, Ctrl-C, SIGTERM,
SIGKILL, a full disk, a dying Dask worker) ends in one line, a documented
exit status, and nothing left behind.

Each test runs the command as a subprocess on a small generated set (the
answer known by construction in examples/make_sample.py), with its own
$TMPDIR; after each, a scan (command_scan.py) finds no secret key and no
account value outside its owner's folder."""

import csv
import importlib.util
import os
import platform
import random
import shutil
import signal
import socket
import subprocess
import sys
import sysconfig
import time

import pytest
from known_answer import answer, results
from command_scan import scan

pytestmark = [pytest.mark.unsanitized,
              pytest.mark.skipif(platform.python_implementation() == "PyPy",
                                 reason="the command's own behaviour, tested once on CPython")]

EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples")
ROLES = ("sender-bank", "receiver-bank", "operator")
BANKS = ("sender-bank", "receiver-bank")
# The group order of edwards25519 (RFC 8032, section 5.1): secret keys are
# scalars modulo L.
L = 2**252 + 27742317777372353535851937790883648493

_spec = importlib.util.spec_from_file_location("make_sample", os.path.join(EXAMPLES, "make_sample.py"))
make_sample = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(make_sample)

has_dask = importlib.util.find_spec("distributed") is not None
needs_dask = pytest.mark.skipif(not has_dask, reason="Dask is not installed")


@pytest.fixture(scope="module")
def data(tmp_path_factory):
    folder = tmp_path_factory.mktemp("data")
    make_sample.write_set(str(folder), 150, 21)
    return folder


class Scene:
    """Three parties' folders and a handover folder under one test folder,
    the command run with the test's own $TMPDIR."""

    def __init__(self, root, data):
        self.root, self.data = root, data
        self.home = {role: root / role for role in ROLES}
        self.handover = root / "handover"
        self.tmp = root / "tmp"
        self.tmp.mkdir()
        self.env = dict(os.environ, TMPDIR=str(self.tmp))
        for name in ("VORLINDE_MATCH_TEST_PAUSE", "VORLINDE_MATCH_DEBUG"):
            self.env.pop(name, None)

    def environment(self, **extra):
        return dict(self.env, **{k: str(v) for k, v in extra.items()})

    def command(self, *args, env=None, timeout=300):
        return subprocess.run([sys.executable, "-m", "vorlinde_match", *map(str, args)], capture_output=True,
                              text=True, timeout=timeout, env=env or self.env)

    def start(self, *args, env=None):
        return subprocess.Popen([sys.executable, "-m", "vorlinde_match", *map(str, args)], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, env=env or self.env)

    def keys(self):
        """Each party's keys, then each pins the others' identities."""
        for role in ROLES:
            ok(self.command("keys", "--role", role, "--home", self.home[role], "--quiet"))
        for role in ROLES:
            for other in ROLES:
                if other != role:
                    ok(self.command("trust", "--home", self.home[role], "--role", other, "--key",
                                    self.home[other] / "identity.json", "--quiet"))

    def steps(self, partitions=(1, 1)):
        """Every step of a matching, in order, as command arguments; the
        banks' stores of `partitions` (sender's, receiver's) partitions."""
        h = ("--handover", self.handover, "--quiet", "--chunk-rows", 40)
        build = [("bank", "build", "--home", self.home[b], "--accounts", self.data / f"{b.replace('-', '_')}.csv",
                  "--columns", "iban,name", "--partitions", p, *h[:3]) for b, p in zip(BANKS, partitions)]
        return [*build,
                ("operator", "query", "--home", self.home["operator"], "--transactions",
                 self.data / "transactions.csv", "--sender-columns", "sender_iban,sender_name",
                 "--receiver-columns", "receiver_iban,receiver_name", *h),
                *[("bank", "randomize", "--home", self.home[b], *h) for b in BANKS],
                ("operator", "combine", "--home", self.home["operator"], *h),
                *[("bank", "decrypt", "--home", self.home[b], *h) for b in BANKS],
                ("operator", "finish", "--home", self.home["operator"], *h)]

    def all_steps(self, upto=None):
        for args in self.steps()[:upto]:
            ok(self.command(*args))

    def finish(self, *extra):
        return self.command("operator", "finish", "--home", self.home["operator"], "--handover", self.handover,
                            "--quiet", *extra)

    def leftovers(self):
        """Partial files and spilled rows anywhere under the test folder."""
        return [os.path.join(d, n) for d, dirs, names in os.walk(self.root) for n in names + dirs
                if ".partial-" in n or n.startswith(".partitions-")]


@pytest.fixture
def scene(tmp_path, data):
    s = Scene(tmp_path, data)
    yield s
    # After every test: nothing secret and no account row outside its home.
    found = scan(tmp_path, {bank: data / f"{bank.replace('-', '_')}.csv" for bank in BANKS},
                 exempt=[tmp_path / "data" / name for name in os.listdir(data)])
    assert found == [], found


@pytest.fixture
def keyed(scene):
    scene.keys()
    return scene


def ok(done):
    assert done.returncode == 0, done.stderr
    return done


def one_line(done, status, *fragments):
    """The single line a failing command printed, checked for `fragments`."""
    assert done.returncode == status, (done.returncode, done.stderr)
    lines = done.stderr.strip().splitlines()
    assert len(lines) == 1, done.stderr
    assert "Traceback" not in done.stderr
    for fragment in fragments:
        assert str(fragment) in lines[0], lines[0]
    return lines[0]


def wait_for_marker(process, stage, count=1, timeout=120):
    """Reads the stopped step's stderr up to its `count`-th pause at `stage`;
    the pid that paused (a Dask worker's, for a task), or None when the step
    ended first."""
    deadline = time.monotonic() + timeout
    seen = 0
    while time.monotonic() < deadline:
        line = process.stderr.readline()
        if not line:
            return None
        if line.startswith(f"vorlinde-match-test: {stage} pid "):
            seen += 1
            if seen == count:
                return int(line.rsplit(" ", 1)[1])
    raise AssertionError(f"no pause at {stage} within {timeout} s")


def _marked(mark):
    """The pids of the processes whose environment holds `mark`."""
    found = []
    for pid in os.listdir("/proc"):
        try:
            with open(f"/proc/{pid}/environ", "rb") as f:
                if mark in f.read().split(b"\0"):
                    found.append(int(pid))
        except (OSError, ValueError):  # gone, or not a process
            pass
    return found


# 1. Dask addresses ---------------------------------------------------------------


class TestDaskAddresses:
    # The rule: a loopback host over any scheme, or tls:// / wss:// with
    # certificates; schemes compared without case.
    CASES = [
        ("ws://192.0.2.1:8786", False, False),
        ("WS://192.0.2.1:8786", False, False),
        ("ucx://10.0.0.1:13337", False, False),
        ("inproc://10.0.0.2/1/2", False, False),
        ("tcp://0.0.0.0:8786", False, False),
        ("192.0.2.5:8786", False, False),
        ("tcp://:8786", False, False),
        ("tls://192.0.2.1:8786", False, False),
        ("wss://192.0.2.1:8786", False, False),
        ("tls://192.0.2.1:8786", True, True),
        ("TLS://192.0.2.1:8786", True, True),
        ("wss://192.0.2.1:8786", True, True),
        ("ws://192.0.2.1:8786", True, False),
        ("tcp://127.0.0.1:8786", False, True),
        ("WS://127.0.0.2:8786", False, True),
        ("ucx://[::1]:8786", False, True),
        ("127.0.0.1:8786", False, True),
    ]

    @pytest.mark.parametrize("address,certificates,accepted", CASES)
    def test_only_encrypted_or_loopback_addresses_carry_secrets(self, address, certificates, accepted):
        from vorlinde_match.errors import StepError
        from vorlinde_match.execution import checked_address

        if accepted:
            assert checked_address(address, certificates).split("://")[0] == \
                (address.split("://")[0].lower() if "://" in address else "tcp")
        else:
            with pytest.raises(StepError, match="tls:// or wss:// with certificates"):
                checked_address(address, certificates)

    @pytest.mark.parametrize("resolved,accepted", [(["127.0.0.1", "::1"], True), (["127.0.0.1", "192.0.2.9"], False),
                                                   ([], False)])
    def test_a_name_counts_as_loopback_only_if_all_its_addresses_are(self, monkeypatch, resolved, accepted):
        from vorlinde_match import execution
        from vorlinde_match.errors import StepError

        def resolve(host, port, *rest):
            if not resolved:
                raise socket.gaierror("no such name")
            return [(socket.AF_INET6 if ":" in a else socket.AF_INET, 1, 6, "", (a, 0)) for a in resolved]

        monkeypatch.setattr(execution.socket, "getaddrinfo", resolve)
        if accepted:
            assert execution.checked_address("ws://localhost:8786", False) == "ws://localhost:8786"
        else:
            with pytest.raises(StepError):
                execution.checked_address("ws://localhost:8786", False)

    @needs_dask
    def test_dasks_own_tls_configuration_counts_as_certificates(self):
        import dask

        from vorlinde_match.execution import checked_address

        with dask.config.set({"distributed.comm.tls.ca-file": "ca.pem", "distributed.comm.tls.client.cert": "c.pem"}):
            assert checked_address("wss://192.0.2.1:8786", False) == "wss://192.0.2.1:8786"

    @needs_dask
    @pytest.mark.parametrize("address", ["ws://192.0.2.1:8786", "WS://192.0.2.1:8786", "ucx://192.0.2.1:8786"])
    def test_a_bank_never_sends_its_secret_key_in_clear(self, keyed, address):
        keyed.all_steps(upto=6)
        done = keyed.command("bank", "decrypt", "--home", keyed.home["sender-bank"], "--handover", keyed.handover,
                             "--dask", address)
        one_line(done, 1, f"--dask {address}", "tls:// or wss://")
        assert not (keyed.handover / "sender-bank.decrypted").exists()

    @needs_dask
    def test_a_scheduler_without_workers_ends_the_step_after_a_bounded_wait(self, keyed, tmp_path):
        keyed.all_steps(upto=3)
        dask = os.path.join(sysconfig.get_path("scripts"), "dask")
        address_file = tmp_path / "scheduler.json"
        scheduler = subprocess.Popen([dask, "scheduler", "--host", "127.0.0.1", "--port", "0", "--no-dashboard",
                                      "--scheduler-file", address_file], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL, env=keyed.env)
        try:
            for _ in range(300):
                if address_file.exists() and address_file.stat().st_size:
                    break
                time.sleep(0.1)
            import json

            address = json.loads(address_file.read_text())["address"]
            start = time.monotonic()
            done = keyed.command("bank", "randomize", "--home", keyed.home["sender-bank"], "--handover",
                                 keyed.handover, "--dask", address,
                                 env=keyed.environment(VORLINDE_MATCH_DASK_WAIT=2), timeout=120)
            one_line(done, 1, "has no workers (waited 2 s)", "start its workers")
            assert time.monotonic() - start < 60
        finally:
            scheduler.terminate()
            scheduler.wait(timeout=30)
        address_file.unlink(missing_ok=True)

    @needs_dask
    def test_a_worker_that_dies_ends_the_step_with_one_line(self, keyed):
        keyed.all_steps(upto=3)
        env = keyed.environment(VORLINDE_MATCH_TEST_PAUSE="module call", VORLINDE_MATCH_TEST_PAUSE_SECONDS=30,
                                DASK_DISTRIBUTED__SCHEDULER__ALLOWED_FAILURES=0)
        process = keyed.start("bank", "randomize", "--home", keyed.home["sender-bank"], "--handover",
                              keyed.handover, "--dask-local", 1, "--quiet", env=env)
        worker = wait_for_marker(process, "module call")
        assert worker is not None and worker != process.pid
        os.kill(worker, signal.SIGKILL)
        _, stderr = process.communicate(timeout=120)
        lines = [line for line in stderr.strip().splitlines() if not line.startswith("vorlinde-match-test:")]
        assert process.returncode == 1 and len(lines) == 1, stderr
        assert "died while running this step's tasks" in lines[0] and "Traceback" not in stderr
        assert not (keyed.handover / "sender-bank.randomized").exists() and not keyed.leftovers()


    @needs_dask
    def test_a_worker_that_dies_reading_its_slice_of_the_transactions_ends_the_query_with_one_line(self, keyed):
        keyed.all_steps(upto=2)
        query = keyed.steps()[2]
        env = keyed.environment(VORLINDE_MATCH_TEST_PAUSE="reading", VORLINDE_MATCH_TEST_PAUSE_SECONDS=5,
                                DASK_DISTRIBUTED__SCHEDULER__ALLOWED_FAILURES=0)
        process = keyed.start(*query, "--dask-local", 1, env=env)
        # The step's own process reads the stores; the transactions' rows are
        # read where the tasks run.
        worker = process.pid
        while worker == process.pid:
            worker = wait_for_marker(process, "reading")
        assert worker is not None
        os.kill(worker, signal.SIGKILL)
        _, stderr = process.communicate(timeout=120)
        lines = [line for line in stderr.strip().splitlines() if not line.startswith("vorlinde-match-test:")]
        assert process.returncode == 1 and len(lines) == 1, stderr
        assert "died while running this step's tasks" in lines[0] and "Traceback" not in stderr
        assert not (keyed.handover / "operator.queries").exists()
        assert not (keyed.home["operator"] / "transactions.ids").exists() and not keyed.leftovers()

    @needs_dask
    @pytest.mark.skipif(not os.path.isdir("/proc/self"), reason="finds processes by their environment in /proc")
    @pytest.mark.parametrize("end", ["done", "refused input", "Ctrl-C in a task", "SIGTERM in a task",
                                     "SIGKILL in a task"])
    def test_a_step_on_a_local_cluster_leaves_no_process_behind(self, keyed, end):
        """Every process the step starts (its workers, and whatever starts
        them) carries the step's environment; once the step has exited, no
        process may carry it. A step stopped while a task runs shows that
        the workers are found while they live."""
        keyed.all_steps(upto=3)
        token = os.urandom(8).hex()
        mark = f"VORLINDE_MATCH_TEST_MARK={token}".encode()
        pause = {"VORLINDE_MATCH_TEST_PAUSE": "module call", "VORLINDE_MATCH_TEST_PAUSE_SECONDS": 30}
        env = keyed.environment(VORLINDE_MATCH_TEST_MARK=token, **(pause if "task" in end else {}))
        randomize = ["bank", "randomize", "--home", keyed.home["sender-bank"], "--handover", keyed.handover,
                     "--dask-local", 2, "--quiet"]
        if end == "refused input":  # the cluster is up before the step reads what it refuses
            randomize[5] = keyed.root / "elsewhere"
        process = keyed.start(*randomize, env=env)
        if "task" in end:
            worker = wait_for_marker(process, "module call")
            assert worker not in (None, process.pid)
            assert {process.pid, worker} <= set(_marked(mark))
            process.send_signal({"Ctrl-C in a task": signal.SIGINT, "SIGTERM in a task": signal.SIGTERM,
                                 "SIGKILL in a task": signal.SIGKILL}[end])
        # Looked for once the step has exited, not once its stderr ends: a
        # process left behind may keep the pipe open. The helpers that
        # multiprocessing starts (the fork server, the resource tracker), and
        # the workers of a killed step, end by themselves within moments when
        # the step's end of their pipes closes (here, on two busy processors:
        # the helpers at once, the workers of a killed step within about a
        # second); a worker left running stays.
        process.wait(timeout=120)
        deadline = time.monotonic() + (10 if end == "SIGKILL in a task" else 5)
        while (left := _marked(mark)) and time.monotonic() < deadline:
            time.sleep(0.05)
        _, stderr = process.communicate(timeout=120)
        assert process.returncode == {"done": 0, "refused input": 1, "Ctrl-C in a task": 130,
                                      "SIGTERM in a task": 143, "SIGKILL in a task": -signal.SIGKILL}[end], stderr
        assert left == []


# 2. Folders that overlap, and private homes ------------------------------------------


class TestFolders:
    @pytest.mark.parametrize("home,handover,fragment", [
        ("handover", "handover", "overlap; keep this party's folder apart"),
        ("handover/receiver", "handover", "overlap; keep this party's folder apart"),
        ("receiver", "receiver/handover", "overlap; keep this party's folder apart"),
        ("receiver", "sender", "the sender bank's folder"),
        ("receiver", "sender/handover", "the sender bank's folder"),
        ("receiver", "link-to-receiver", "overlap; keep this party's folder apart"),
        ("receiver", "link-to-sender/inside", "the sender bank's folder"),
    ], ids=["home is the handover", "home inside the handover", "handover inside the home",
            "handover is another home", "handover inside another home", "symlink to its own home",
            "symlink into another home"])
    def test_a_home_and_the_handover_never_overlap(self, scene, home, handover, fragment):
        root = scene.root
        ok(scene.command("keys", "--role", "sender-bank", "--home", root / "sender"))
        ok(scene.command("keys", "--role", "receiver-bank", "--home", root / home))
        os.symlink(root / "receiver", root / "link-to-receiver")
        os.symlink(root / "sender", root / "link-to-sender")
        before = sorted(os.listdir(root / home))
        done = scene.command("bank", "build", "--home", root / home, "--handover", root / handover, "--accounts",
                             scene.data / "receiver_bank.csv", "--columns", "iban,name")
        one_line(done, 1, fragment)
        assert sorted(os.listdir(root / home)) == before
        assert not any(n.endswith(".store") for _, _, names in os.walk(root) for n in names)

    def test_another_partys_home_inside_the_handover_is_refused(self, keyed):
        ok(keyed.command("keys", "--role", "operator", "--home", keyed.handover / "operator"))
        done = keyed.command("bank", "build", "--home", keyed.home["sender-bank"], "--handover", keyed.handover,
                             "--accounts", keyed.data / "sender_bank.csv", "--columns", "iban,name")
        one_line(done, 1, f"--handover {keyed.handover} overlaps", "the operator's folder")

    def test_a_home_inside_another_partys_home_is_refused_when_making_keys(self, keyed):
        done = keyed.command("keys", "--role", "receiver-bank", "--home", keyed.home["operator"] / "receiver")
        one_line(done, 1, "overlaps", "the operator's folder")
        assert not (keyed.home["operator"] / "receiver").exists()

    @pytest.mark.parametrize("mode", [0o777, 0o750, 0o705, 0o720])
    def test_a_home_others_can_use_is_refused_with_the_chmod_to_run(self, keyed, mode):
        home = keyed.home["sender-bank"]
        os.chmod(home, mode)
        done = keyed.command("bank", "build", "--home", home, "--handover", keyed.handover, "--accounts",
                             keyed.data / "sender_bank.csv", "--columns", "iban,name")
        one_line(done, 1, f"(mode {mode:04o})", f"run `chmod 700 {home}`")
        os.chmod(home, 0o700)

    def test_keys_makes_owner_only_homes_and_refuses_an_open_one(self, scene):
        ok(scene.command("keys", "--role", "operator", "--home", scene.root / "a" / "operator"))
        assert os.stat(scene.root / "a" / "operator").st_mode & 0o777 == 0o700
        (scene.root / "open").mkdir(mode=0o755)
        os.chmod(scene.root / "open", 0o755)
        one_line(scene.command("keys", "--role", "operator", "--home", scene.root / "open"), 1, "chmod 700")
        assert os.listdir(scene.root / "open") == []


# 3. Output files the user names ------------------------------------------------


class TestOutputs:
    @pytest.mark.parametrize("target,force,fragment", [
        ("operator/secret.key", True, "is a file this party keeps in"),
        ("operator/public.key", False, "is a file this party keeps in"),
        ("operator/transactions.ids", True, "is a file this party keeps in"),
        ("operator/gamma.points", False, "is a file this party keeps in"),
        ("link-to-key.csv", True, "is a file this party keeps in"),
        ("handover/results.csv", False, "is inside the handover folder"),
        ("sender-bank/results.csv", False, "the sender bank's folder"),
        ("data/transactions.csv", True, "is an input of this run"),
        ("existing.csv", False, "exists already; give --force"),
        ("operator", False, "is a folder"),
    ])
    def test_finish_never_replaces_what_it_must_not(self, keyed, target, force, fragment):
        # The operator's transactions, copied here so that --output can name them.
        (keyed.root / "data").mkdir()
        for name in os.listdir(keyed.data):
            shutil.copy(keyed.data / name, keyed.root / "data" / name)
        query = keyed.steps()[2]
        for step in [*keyed.steps()[:2], (*query[:5], keyed.root / "data" / "transactions.csv", *query[6:]),
                     *keyed.steps()[3:8]]:
            ok(keyed.command(*step))
        (keyed.root / "existing.csv").write_text("kept\n")
        os.symlink(keyed.home["operator"] / "secret.key", keyed.root / "link-to-key.csv")
        path = keyed.root / target
        before = path.read_bytes() if path.is_file() else None
        done = keyed.finish("--output", path, *(["--force"] if force else []))
        one_line(done, 1, fragment)
        if before is not None:
            assert path.read_bytes() == before
        assert not (keyed.home["operator"] / "matches.csv").exists()

    def test_output_and_summary_must_differ(self, keyed):
        keyed.all_steps(upto=8)
        same = keyed.root / "same.json"
        one_line(keyed.finish("--output", same, "--summary", same, "--force"), 1,
                 "--output and --summary name the same file")
        link = keyed.root / "link.json"
        os.symlink(same, link)
        one_line(keyed.finish("--output", same, "--summary", link), 1, "name the same file")
        assert not same.exists()

    def test_a_rerun_replaces_its_own_outputs_and_force_replaces_a_named_file(self, keyed, data):
        keyed.all_steps()
        ok(keyed.finish())  # its own HOME/matches.csv, replaced as on every run
        existing = keyed.root / "existing.csv"
        existing.write_text("kept\n")
        ok(keyed.finish("--output", existing, "--force"))
        assert results(existing) == answer(data)
        assert results(keyed.home["operator"] / "matches.csv") == answer(data)

    @pytest.mark.parametrize("target,force,fragment", [
        ("data/transactions.csv", True, "is an input of this run"),
        ("data/expected_matches.csv", True, "is an input of this run"),
        ("work/operator/matches.csv", True, "is inside --work"),
        ("existing.csv", False, "exists already; give --force"),
        ("nowhere/results.csv", False, "does not exist; make it first"),
    ])
    def test_run_never_replaces_an_input_or_a_file_of_the_run(self, scene, target, force, fragment):
        (scene.root / "data").mkdir()
        for name in os.listdir(scene.data):
            shutil.copy(scene.data / name, scene.root / "data" / name)
        (scene.root / "existing.csv").write_text("kept\n")
        path = scene.root / target
        before = path.read_bytes() if path.exists() else None
        done = scene.command("run", "--data", scene.root / "data", "--work", scene.root / "work", "--output", path,
                             *(["--force"] if force else []))
        one_line(done, 1, fragment)
        assert not (scene.root / "work").exists()
        if before is not None:
            assert path.read_bytes() == before


# 4. Spilled rows and partial files -------------------------------------------------


class TestLeftovers:
    def test_the_next_step_removes_what_a_killed_step_left_and_nothing_of_others(self, keyed):
        home, handover = keyed.home["sender-bank"], keyed.handover
        handover.mkdir()
        spill = home / ".partitions-k1ll3d"
        spill.mkdir()
        shutil.copy(keyed.data / "sender_bank.csv", spill / "0.csv")
        own = [home / ".secret.key.partial-0001", handover / ".sender-bank.store.partial-0002"]
        others = [handover / ".operator.queries.partial-0003", handover / ".receiver-bank.store.partial-0004"]
        for path in own + others:
            path.write_bytes(b"partial")
        done = ok(keyed.command(*keyed.steps()[0]))
        assert not spill.exists() and not any(p.exists() for p in own)
        assert all(p.exists() for p in others)  # another party's step may be writing them
        said = [line for line in done.stderr.splitlines() if "spilled rows" in line]
        assert len(said) == 1 and str(spill) in said[0]
        for path in others:
            path.unlink()

    @pytest.mark.parametrize("stop,status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)],
                             ids=["Ctrl-C", "SIGTERM"])
    def test_a_stopped_partitioned_build_removes_its_spill(self, keyed, stop, status):
        env = keyed.environment(VORLINDE_MATCH_TEST_PAUSE="module call", VORLINDE_MATCH_TEST_PAUSE_SECONDS=30)
        process = keyed.start(*keyed.steps(partitions=(3, 1))[0], env=env)
        assert wait_for_marker(process, "module call") == process.pid
        assert any(n.startswith(".partitions-") for n in os.listdir(keyed.home["sender-bank"]))
        process.send_signal(stop)
        _, stderr = process.communicate(timeout=60)
        assert process.returncode == status, stderr
        assert "wrote nothing" in stderr.strip().splitlines()[-1]
        assert not keyed.leftovers()

    def test_a_failed_partitioned_build_removes_its_spill(self, keyed, tmp_path):
        bad = tmp_path / "bad.csv"
        rows = (keyed.data / "sender_bank.csv").read_text(encoding="utf-8").splitlines()
        bad.write_text("\n".join(rows[:60] + ["DE00,only two fields"] + rows[60:]) + "\n", encoding="utf-8")
        done = keyed.command("bank", "build", "--home", keyed.home["sender-bank"], "--handover", keyed.handover,
                             "--accounts", bad, "--columns", "iban,name", "--partitions", 2)
        one_line(done, 1, "bad.csv, line 61: 2 fields where the header has 3")
        assert not keyed.leftovers()
        bad.unlink()


# 5. One step at a time per home ---------------------------------------------------


class TestLock:
    def test_a_second_step_in_a_home_is_refused_naming_the_first(self, keyed):
        keyed.all_steps(upto=2)
        env = keyed.environment(VORLINDE_MATCH_TEST_PAUSE="reading", VORLINDE_MATCH_TEST_PAUSE_SECONDS=30)
        first = keyed.start(*keyed.steps()[2], env=env)
        try:
            assert wait_for_marker(first, "reading") == first.pid
            done = keyed.command(*keyed.steps()[2])
            one_line(done, 1, f"{keyed.home['operator']}: another step is running in this folder "
                              f"(operator query, pid {first.pid}); wait for it to finish")
            # Another party's step goes on meanwhile.
            one_line(keyed.command(*keyed.steps()[3]), 1, "operator.queries: no such file")
        finally:
            first.send_signal(signal.SIGKILL)
            first.wait(timeout=30)
        # The kernel released the lock of the killed step.
        ok(keyed.command(*keyed.steps()[2]))
        assert not keyed.leftovers()


# 6. Keys that cannot be keys, and a known answer that cannot be read -------------------


def _key_file(home, role, kind, payload):
    from vorlinde_match.files import Outputs

    with Outputs() as out:
        out.whole(str(home / f"{kind}.key"), {"kind": f"{kind}-key", "role": role}, payload,
                  mode=0o600 if kind == "secret" else 0o644)


class TestKeys:
    @pytest.mark.parametrize("scalar", [0, 1 << 255, L, 2 * L, 7 * L, L | (1 << 255)],
                             ids=["zero", "only bit 255", "L", "2L", "7L", "L and bit 255"])
    def test_a_secret_key_that_is_zero_as_a_scalar_is_refused(self, keyed, scalar):
        keyed.all_steps(upto=6)
        home = keyed.home["sender-bank"]
        (home / "secret.key").unlink()
        _key_file(home, "sender-bank", "secret", scalar.to_bytes(32, "little"))
        done = keyed.command("bank", "decrypt", "--home", home, "--handover", keyed.handover)
        one_line(done, 1, home / "secret.key", "is not a valid key", "make new ones with `vorlinde-match keys`")
        assert not (keyed.handover / "sender-bank.decrypted").exists()

    def test_an_all_zero_public_key_is_refused(self, keyed):
        home = keyed.home["receiver-bank"]
        (home / "public.key").unlink()
        _key_file(home, "receiver-bank", "public", bytes(32))
        one_line(keyed.command(*keyed.steps()[1]), 1, home / "public.key", "all zeros")

    @pytest.mark.parametrize("content,fragment", [
        (None, "no such file"),
        ("folder", "is not a regular file"),
        ("fifo", "is not a regular file"),
        ("ident,matched\nT1,true\n", "does not start with the header id,match"),
        (b"\xff\xfe\x00id", "is not a UTF-8 CSV file"),
        ("", "does not start with the header id,match"),
    ], ids=["missing", "folder", "FIFO", "wrong header", "not UTF-8", "empty"])
    def test_run_checks_the_known_answer_before_any_work(self, scene, content, fragment):
        expected = scene.root / "answer.csv"
        if content == "folder":
            expected.mkdir()
        elif content == "fifo":
            os.mkfifo(expected)
        elif isinstance(content, bytes):
            expected.write_bytes(content)
        elif content is not None:
            expected.write_text(content)
        done = scene.command("run", "--data", scene.data, "--work", scene.root / "work", "--expected", expected,
                             timeout=60)
        one_line(done, 1, f"--expected {expected}", fragment)
        assert not (scene.root / "work").exists()

    def test_a_short_row_in_the_answer_is_one_line(self, scene):
        expected = scene.root / "answer.csv"
        expected.write_text("id,match\nT000001,true\nT000002\n")
        done = scene.command("run", "--data", scene.data, "--work", scene.root / "work", "--expected", expected)
        one_line(done, 1, "line 3: 1 field where id,match needs 2")
        assert not (scene.root / "work").exists()


# 7. The end of a step ----------------------------------------------------------------


class TestCommit:
    @pytest.mark.parametrize("stop,status,word", [(signal.SIGTERM, 143, "terminated"),
                                                  (signal.SIGINT, 130, "interrupted")], ids=["SIGTERM", "Ctrl-C"])
    def test_a_signal_during_the_renames_waits_for_the_last_and_the_message_names_them(self, keyed, stop, status,
                                                                                      word):
        keyed.all_steps(upto=5)
        env = keyed.environment(VORLINDE_MATCH_TEST_PAUSE="renaming", VORLINDE_MATCH_TEST_PAUSE_SECONDS=0.5)
        process = keyed.start(*keyed.steps()[5], env=env)
        assert wait_for_marker(process, "renaming") == process.pid
        process.send_signal(stop)
        _, stderr = process.communicate(timeout=60)
        assert process.returncode == status, stderr
        line = stderr.strip().splitlines()[-1]
        outputs = [keyed.handover / "operator.for-sender-bank", keyed.handover / "operator.for-receiver-bank",
                   keyed.home["operator"] / "gamma.points", keyed.home["operator"] / "delta.points"]
        assert line.startswith(f"vorlinde-match: {word} after these files were complete: ")
        assert all(str(p) in line for p in outputs) and all(p.exists() for p in outputs)
        assert not keyed.leftovers()
        # The outputs are whole: the run goes on to the known answer.
        for step in keyed.steps()[6:]:
            ok(keyed.command(*step))
        assert results(keyed.home["operator"] / "matches.csv") == answer(keyed.data)

    def test_a_signal_before_the_renames_leaves_nothing(self, keyed):
        keyed.all_steps(upto=5)
        env = keyed.environment(VORLINDE_MATCH_TEST_PAUSE="writing", VORLINDE_MATCH_TEST_PAUSE_SECONDS=30)
        process = keyed.start(*keyed.steps()[5], env=env)
        assert wait_for_marker(process, "writing") == process.pid
        process.send_signal(signal.SIGTERM)
        _, stderr = process.communicate(timeout=60)
        assert process.returncode == 143
        assert stderr.strip().splitlines()[-1] == "vorlinde-match: terminated; the step wrote nothing and can be " \
                                                  "run again"
        assert not (keyed.handover / "operator.for-sender-bank").exists() and not keyed.leftovers()


# 8. No traceback ---------------------------------------------------------------------


def _can_mount_tmpfs():
    if shutil.which("unshare") is None:
        return False
    done = subprocess.run(["unshare", "-rm", "sh", "-c", "mount -t tmpfs -o size=64k none /mnt"],
                          capture_output=True)
    return done.returncode == 0


class TestNoTraceback:
    @pytest.mark.skipif(not _can_mount_tmpfs(), reason="needs unshare and a user namespace to mount a small tmpfs")
    @pytest.mark.parametrize("where", ["handover", "output", "spill"])
    def test_a_full_disk_is_one_line_and_leaves_nothing(self, keyed, where):
        keyed.all_steps(upto=8 if where == "output" else 0)
        full = keyed.root / "full"
        full.mkdir(mode=0o700)
        keys = ""
        if where == "spill":
            # The bank's home itself on the small disk, its keys copied in.
            shutil.copytree(keyed.home["sender-bank"], keyed.root / "keys")
            args = ["bank", "build", "--home", full, "--handover", keyed.handover, "--accounts",
                    keyed.data / "sender_bank.csv", "--columns", "iban,name", "--partitions", 3, "--quiet"]
            kept_files = ("secret.key", "public.key", "signing.key", "sealing.key", "parties.json")
            keys = f'cp {" ".join(f"{keyed.root}/keys/{n}" for n in kept_files)} "{full}/" && '
            written = full / ".partitions-"
        elif where == "handover":
            args = [*keyed.steps()[0][:-3], "--handover", full, "--quiet"]
            written = full / "sender-bank.store"
        else:
            args = ["operator", "finish", "--home", keyed.home["operator"], "--handover", keyed.handover,
                    "--output", full / "matches.csv"]
            written = full / "matches.csv"
        # A small tmpfs, filled up, on the folder in a private mount namespace;
        # what is left in it is listed from inside.
        listing = keyed.root / "listing"
        # Room for the keys and pins copied in (4 KiB pages each); the filler
        # takes the rest.
        script = (f'mount -t tmpfs -o size=64k,mode=700 none "{full}" && {keys}'
                  f'head -c 1M /dev/zero > "{full}/filler" 2>/dev/null; '
                  f'"$@"; status=$?; ls -A "{full}" > "{listing}"; exit $status')
        done = subprocess.run(["unshare", "-rm", "sh", "-c", script, "sh", sys.executable, "-m", "vorlinde_match",
                               *map(str, args)], capture_output=True, text=True, timeout=120, env=keyed.env)
        one_line(done, 1, f"cannot write {written}", ": no space left on its disk; free some space and run the step "
                          "again")
        shutil.rmtree(keyed.root / "keys", ignore_errors=True)
        kept = sorted(["filler", ".lock", *kept_files]) if where == "spill" else ["filler"]
        assert sorted(listing.read_text().split()) == sorted(kept) and not keyed.leftovers()

    def test_keys_with_a_file_for_home(self, scene):
        file = scene.root / "file"
        file.write_text("a file\n")
        one_line(scene.command("keys", "--role", "operator", "--home", file), 1,
                 f"--home {file} is a file, not a folder")
        one_line(scene.command("bank", "randomize", "--home", file, "--handover", scene.handover), 1,
                 f"--home {file} is not a folder")

    def test_a_fifo_planted_in_the_handover_is_refused_not_waited_for(self, keyed):
        steps = keyed.steps()
        for args in steps[:2]:
            ok(keyed.command(*args))
        store = keyed.handover / "receiver-bank.store"
        store.unlink()
        os.mkfifo(store)
        one_line(keyed.command(*steps[2], timeout=60), 1,
                 f"{store} is a named pipe, not a file this step can read; remove it and ask the receiver bank")
        store.unlink()

    def test_run_with_a_file_for_its_work_folder(self, scene):
        work = scene.root / "work"
        work.write_text("a file\n")
        one_line(scene.command("run", "--data", scene.data, "--work", work), 1,
                 f"cannot make the handover folder {work}/handover")

    def test_an_unexpected_fault_is_one_line_asking_for_a_report(self, scene, monkeypatch, capsys):
        from vorlinde_match import cli, steps

        def broken(*args):
            raise RuntimeError("planted")

        monkeypatch.setattr(steps, "make_keys", broken)
        assert cli.main(["keys", "--role", "operator", "--home", str(scene.root / "o")]) == 1
        line = capsys.readouterr().err.strip()
        assert line == ("vorlinde-match: RuntimeError in `vorlinde-match keys`: this is a bug; please report it "
                        "(run again with VORLINDE_MATCH_DEBUG=1 for the details)")
        monkeypatch.setenv("VORLINDE_MATCH_DEBUG", "1")
        with pytest.raises(RuntimeError, match="planted"):
            cli.main(["keys", "--role", "operator", "--home", str(scene.root / "o2")])


# 9. Exit statuses ----------------------------------------------------------------------


class TestExitStatuses:
    def test_success_refusal_and_usage(self, keyed):
        assert ok(keyed.command(*keyed.steps()[0])).returncode == 0
        one_line(keyed.command(*keyed.steps()[2][:-5], "--handover", keyed.root / "elsewhere"), 1, "no such file")
        done = keyed.command("bank", "build", "--home", keyed.home["sender-bank"], "--no-such-option")
        assert done.returncode == 2 and "usage:" in done.stderr

    def test_results_that_differ_from_the_answer(self, scene):
        rows = answer(scene.data)
        flipped = [(tid, {"true": "false", "false": "true"}[m] if i == 0 else m) for i, (tid, m) in enumerate(rows)]
        with open(scene.root / "answer.csv", "w", newline="", encoding="utf-8") as f:
            csv.writer(f, lineterminator="\n").writerows([("id", "match")] + flipped)
        done = scene.command("run", "--data", scene.data, "--work", scene.root / "work", "--quiet", "--expected",
                             scene.root / "answer.csv")
        one_line(done, 1, f"1 of {len(rows)} results differ", rows[0][0])

    @pytest.mark.parametrize("stop,status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)], ids=["Ctrl-C", "SIGTERM"])
    def test_interrupted(self, keyed, stop, status):
        env = keyed.environment(VORLINDE_MATCH_TEST_PAUSE="reading", VORLINDE_MATCH_TEST_PAUSE_SECONDS=30)
        process = keyed.start(*keyed.steps()[0], env=env)
        assert wait_for_marker(process, "reading") == process.pid
        process.send_signal(stop)
        _, stderr = process.communicate(timeout=60)
        assert process.returncode == status
        word = "interrupted" if stop == signal.SIGINT else "terminated"
        assert stderr.strip().splitlines()[-1] == f"vorlinde-match: {word}; the step wrote nothing and can be run again"


# 10. SIGKILL at every stage of every step ---------------------------------------------

# How many times each step reaches a stage, where it is not at least twice
# (40-row chunks of 150 rows): the renames are one per output, a build reads
# its accounts in one block, and an unpartitioned one calls the module and
# writes its store once (a partitioned one once per partition).
REACHED = {("build", "renaming"): 1, ("randomize", "renaming"): 1, ("decrypt", "renaming"): 1,
           ("combine", "renaming"): 4, ("build", "reading"): 1, ("build 1", "module call"): 1,
           ("build 1", "writing"): 1}
SEED = int(os.environ.get("VORLINDE_MATCH_TEST_SEED", random.randrange(1 << 32)))


class TestKills:
    @pytest.mark.parametrize("stage", ["reading", "module call", "writing", "renaming"])
    def test_a_step_killed_at_any_point_runs_again_to_the_known_answer(self, keyed, stage):
        pick = random.Random(f"{SEED} {stage}")
        env = keyed.environment(VORLINDE_MATCH_TEST_PAUSE=stage, VORLINDE_MATCH_TEST_PAUSE_SECONDS=0.3)
        for args in keyed.steps(partitions=(2, 1)):
            kind = f"build {args[args.index('--partitions') + 1]}" if args[1] == "build" else args[1]
            count = pick.randint(1, REACHED.get((kind, stage), REACHED.get((args[1], stage), 2)))
            process = keyed.start(*args, env=env)
            pid = wait_for_marker(process, stage, count)
            where = f"seed {SEED}: {' '.join(args[:2])} at its {stage} #{count}"
            assert pid == process.pid, where
            process.kill()
            process.wait(timeout=30)
            process.stderr.close()
            process.stdout.close()
            again = keyed.command(*args)
            assert again.returncode == 0, f"{where}: {again.stderr}"
        assert results(keyed.home["operator"] / "matches.csv") == answer(keyed.data), f"seed {SEED}"
        assert not keyed.leftovers(), f"seed {SEED}"
