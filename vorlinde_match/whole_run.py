"""A whole matching on one machine, to try it out: every step of every party
in order, each party with its own folder under one work folder, and the
results checked against a known answer when there is one."""

import csv
import os
import shutil
import tempfile
import time

from . import parties, steps
from .errors import StepError
from .execution import Local
from .files import BANKS, ROLES
from .progress import human_seconds

# The files of a sample set's folder (examples/sample, examples/make_sample.py).
SAMPLE_FILES = {"sender": "sender_bank.csv", "receiver": "receiver_bank.csv", "transactions": "transactions.csv",
                "expected": "expected_matches.csv"}
SHOWN_DIFFERENCES = 10


def sample_inputs(folder):
    """The inputs of the sample set in `folder`, by the keys of SAMPLE_FILES;
    "expected" is None when the folder holds no answer."""
    inputs = {name: os.path.join(folder, file) for name, file in SAMPLE_FILES.items()}
    if not os.path.exists(inputs["expected"]):
        inputs["expected"] = None
    return inputs


class WholeRun:
    """What `run_all` did: where the results are (`results`, None when they
    went with a temporary work folder), how long it took, and the
    differences [(id, expected, got)] from the answer out of `total` ids."""

    def __init__(self, results, seconds, expected=None, differences=(), total=0):
        self.results, self.seconds = results, seconds
        self.expected, self.differences, self.total = expected, list(differences), total

    @property
    def agrees(self):
        return not self.differences

    def disagreement(self):
        """One line naming the first differences, or None when the results
        agree with the answer (or there was none)."""
        if not self.differences:
            return None
        shown = ", ".join(f"{tid} (expected {want}, got {got})"
                          for tid, want, got in self.differences[:SHOWN_DIFFERENCES])
        more = ", ..." if len(self.differences) > SHOWN_DIFFERENCES else ""
        return f"{len(self.differences):,} of {self.total:,} results differ from {self.expected}: {shown}{more}"


def run_all(sender_bank, receiver_bank, transactions, reporter, *, expected=None, work=None,
            columns=("iban", "name"), sender_columns=("sender_iban", "sender_name"),
            receiver_columns=("receiver_iban", "receiver_name"), id_column="id", partitions=1, chunk_rows=None,
            executor=None, output=None, integers_as_text=False):
    """Every step of every party, in order, on this machine; returns a
    `WholeRun`. The parties' folders and the handover go into `work` (a new
    temporary folder, removed at the end, when None); `output` also gets a
    copy of the results CSV. `chunk_rows` None sizes the chunks per step;
    `integers_as_text` reads integer Parquet columns as decimal text. The
    executor stays open (its caller closes it). Raises StepError (and
    OperationFailed) like the steps."""
    executor = executor or Local()
    scratch = None
    if work is None:
        scratch = tempfile.TemporaryDirectory(prefix="vorlinde-run-")
        work = scratch.name
    try:
        homes = {role: os.path.join(work, role) for role in ROLES}
        handover = os.path.join(work, "handover")
        try:
            os.makedirs(handover, exist_ok=True)
        except OSError as error:
            raise StepError(f"cannot make the handover folder {handover}: {error.strerror}") from None
        results = os.path.join(homes["operator"], "matches.csv")
        chunk = chunk_rows or steps.STREAM_CHUNK
        start = time.perf_counter()
        reporter.say(f"work folder: {work}" + (" (removed at the end; keep it with --work DIR)" if scratch else ""))
        reporter.say(f"per-chunk work runs on {executor.description}")
        for role in ROLES:
            if not os.path.exists(os.path.join(homes[role], "secret.key")):
                steps.make_keys(role, homes[role], reporter)
            elif not parties.has_identity(homes[role]):
                steps.add_identity(homes[role], reporter)
        # All three folders are this run's: each pins the others' identities.
        identities = {role: parties.load_secrets(homes[role], role).identity for role in ROLES}
        for role in ROLES:
            for other in ROLES:
                if other != role:
                    parties.pin(homes[role], role, identities[other], replace=True)
        for bank, accounts in zip(BANKS, (sender_bank, receiver_bank)):
            steps.bank_build(homes[bank], handover, accounts, list(columns), reporter, partitions, executor,
                             integers_as_text)
        steps.operator_query(homes["operator"], handover, transactions, list(sender_columns),
                             list(receiver_columns), id_column, reporter, chunk_rows, executor, integers_as_text)
        for bank in BANKS:
            steps.bank_randomize(homes[bank], handover, reporter, chunk, executor)
        steps.operator_combine(homes["operator"], handover, reporter, chunk, executor)
        for bank in BANKS:
            steps.bank_decrypt(homes[bank], handover, reporter, chunk, executor)
        steps.operator_finish(homes["operator"], handover, results, reporter,
                              os.path.join(homes["operator"], "summary.json"), chunk, executor)
        run = WholeRun(results, time.perf_counter() - start, expected)
        if expected:
            run.differences, run.total = compare(results, expected)
            if run.agrees:
                reporter.say(f"all {run.total:,} results agree with {expected}")
        shown = results
        if output:
            shutil.copyfile(results, output)
            run.results = shown = output
        elif scratch:
            run.results = None
            shown += " (removed with the work folder: keep the results with --output FILE or --work DIR)"
        reporter.say(f"whole run: {human_seconds(run.seconds)}; results in {shown}")
        return run
    finally:
        if scratch is not None:
            scratch.cleanup()


def compare(results, expected):
    """The differences [(id, expected, got)] between a results CSV and an
    answer CSV (id, match), by transaction id, and the number of ids."""
    with open(expected, newline="", encoding="utf-8") as f:
        rows = list(csv.reader(f))[1:]
    answer = {row[0]: row[1].strip().lower() == "true" for row in rows if row}
    with open(results, newline="", encoding="utf-8") as f:
        got = {row[0]: row[1] == "true" for row in list(csv.reader(f))[1:] if row}
    ids = sorted(set(answer) | set(got))
    shown = {True: "true", False: "false", None: "nothing"}
    return [(i, shown[answer.get(i)], shown[got.get(i)]) for i in ids if answer.get(i) != got.get(i)], len(ids)
