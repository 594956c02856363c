"""A whole matching on one machine, to try it out: every step of every party
in order, each party with its own folder under one work folder, and the
results checked against a known answer when there is one."""

import contextlib
import csv
import functools
import gc
import itertools
import os
import platform
import stat
import tempfile
import time

from . import homes, parties, report, steps
from .errors import StepError
from .execution import Local
from .files import BANKS, ROLES, Outputs
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
        self.report = None  # the path of the run's page, when one was written
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
            executor=None, output=None, force=False, integers_as_text=False, report_page=None):
    """Every step of every party, in order, on this machine; returns a
    `WholeRun`. The parties' folders and the handover go into `work` (a new
    temporary folder, removed at the end, when None); `output` also gets a
    copy of the results CSV, replacing an existing file only when `force`.
    `chunk_rows` None sizes the chunks per step; `integers_as_text` reads
    integer Parquet columns as decimal text. The executor stays open (its
    caller closes it). The run's page (report.py) goes to `report_page`, or
    else to WORK/report.html when `work` is given, or else beside `output`
    (OUTPUT's name with .report.html for its extension); a run with neither
    writes none. Raises StepError (and OperationFailed) like the steps,
    before any work when `expected`, `output` or `report_page` cannot be
    used; a run that fails writes no page."""
    executor = executor or Local()
    if expected:
        check_expected(expected)
    named = [("--output", output)] if output else []
    page = report_page
    if page:
        named.append(("--report", page))
    elif work:
        page = os.path.join(work, report.PAGE_FILE)
    elif output:
        page = os.path.splitext(output)[0] + ".report.html"
        named.append(("the run's page", page))
    if named:
        homes.check_outputs(named, force=force, inputs=[sender_bank, receiver_bank, transactions, expected],
                            apart_from=("--work", work) if work else None)
    records = getattr(reporter, "records", None)
    first = len(records) if records is not None else 0
    scratch = None
    if work is None:
        scratch = tempfile.TemporaryDirectory(prefix="vorlinde-run-")
        work = scratch.name
    try:
        folders = {role: os.path.join(work, role) for role in ROLES}
        handover = os.path.join(work, "handover")
        try:
            os.makedirs(handover, exist_ok=True)
        except OSError as error:
            raise StepError(f"cannot make the handover folder {handover}: {error.strerror}") from None
        reporter.say(f"work folder: {work}" + (" (removed at the end; keep it with --work DIR)" if scratch else ""))
        reporter.say(f"per-chunk work runs on {executor.description}")
        for role in ROLES:
            if not os.path.exists(os.path.join(folders[role], "secret.key")):
                homes.make_home(folders[role])
                steps.make_keys(role, folders[role], reporter)
            elif not parties.has_identity(folders[role]):
                steps.add_identity(folders[role], reporter)
        # All three folders are this run's: each pins the others' identities.
        identities = {role: parties.load_secrets(folders[role], role).identity for role in ROLES}
        for role in ROLES:
            for other in ROLES:
                if other != role:
                    parties.pin(folders[role], role, identities[other], replace=True)
        with contextlib.ExitStack() as held:
            # The three homes are known here: each private, apart from the
            # handover and from the others, and held for the whole run.
            for role in ROLES:
                homes.check_private(folders[role])
                homes.check_layout(folders[role], role, handover)
                held.enter_context(homes.locked(folders[role], "run"))
                names = [n.format(role=role) for (party, _), ns in homes.HANDOVER_OUTPUTS.items()
                         if (party == "bank") == (role in BANKS) for n in ns]
                homes.clear_leftovers(folders[role], reporter, handover, names)
            run = _steps(folders, handover, sender_bank, receiver_bank, transactions, reporter, columns,
                         sender_columns, receiver_columns, id_column, partitions, chunk_rows, executor,
                         integers_as_text)
        if expected:
            run.expected = expected
            reporter.say(f"checking the results against {expected}")
            run.differences, run.total = compare(run.results, expected)
            if run.agrees:
                reporter.say(f"all {run.total:,} results agree with {expected}")
        shown = run.results
        if output:
            with Outputs() as out, out.text(output) as copy, open(run.results, encoding="utf-8", newline="") as f:
                while block := f.read(1 << 20):
                    copy.write(block)
            run.results = shown = output
        elif scratch:
            run.results = None
            shown += (" (removed with the work folder: keep the results and a report of the run with --output FILE "
                      "or --work DIR)")
        if page and records is not None:
            report.write(page, report.run_page(records[first:], _answer_line(run)))
            run.report = page
            reporter.say(f"report of the run: {page}")
        reporter.say(f"whole run: {human_seconds(run.seconds)}; results in {shown}")
        return run
    finally:
        if scratch is not None:
            scratch.cleanup()


def _steps(folders, handover, sender_bank, receiver_bank, transactions, reporter, columns, sender_columns,
           receiver_columns, id_column, partitions, chunk_rows, executor, integers_as_text):
    """Every step of the run in order, in the parties' `folders`."""
    results = os.path.join(folders["operator"], "matches.csv")
    chunk = chunk_rows or steps.STREAM_CHUNK
    chained = [functools.partial(steps.bank_build, folders[bank], handover, accounts, list(columns), reporter,
                                 partitions, executor, integers_as_text)
               for bank, accounts in zip(BANKS, (sender_bank, receiver_bank))]
    chained.append(functools.partial(steps.operator_query, folders["operator"], handover, transactions,
                                     list(sender_columns), list(receiver_columns), id_column, reporter, chunk_rows,
                                     executor, integers_as_text))
    chained += [functools.partial(steps.bank_randomize, folders[bank], handover, reporter, chunk, executor)
                for bank in BANKS]
    chained.append(functools.partial(steps.operator_combine, folders["operator"], handover, reporter, chunk,
                                     executor))
    chained += [functools.partial(steps.bank_decrypt, folders[bank], handover, reporter, chunk, executor)
                for bank in BANKS]
    chained.append(functools.partial(steps.operator_finish, folders["operator"], handover, results, reporter,
                                     os.path.join(folders["operator"], "summary.json"), chunk, executor))
    start = time.perf_counter()
    for step in chained:
        step()
        # Each step starts from what the previous ones still hold: without
        # this, the memory freed by a build or the query stays with the
        # allocator and counts in every later step's peak.
        release_memory()
    return WholeRun(results, time.perf_counter() - start)


@functools.lru_cache(maxsize=None)
def _malloc_trim():
    """glibc's malloc_trim, or None where the interpreter is not CPython or
    its C library has no such call (PyPy's collector keeps its own memory)."""
    if platform.python_implementation() != "CPython":
        return None
    try:
        import ctypes
        trim = ctypes.CDLL(None).malloc_trim
    except (ImportError, OSError, AttributeError):
        return None
    trim.argtypes, trim.restype = [ctypes.c_size_t], ctypes.c_int
    return trim


def release_memory():
    """Collects garbage and returns the allocator's free pages to the system
    (malloc_trim(0): every arena, no padding kept) where that can be done."""
    gc.collect()
    trim = _malloc_trim()
    if trim is not None:
        trim(0)


def _answer_line(run):
    """The page's line about the results checked against a known answer."""
    if not run.expected:
        return None
    if run.agrees:
        return f"All {run.total:,} results agree with {run.expected}."
    return f"{len(run.differences):,} of {run.total:,} results differ from {run.expected}."


def check_expected(path):
    """Refuses a known answer that cannot be read as a CSV with the columns
    id and match, before the run does any work (the file is small: one
    line per transaction)."""
    try:
        mode = os.stat(path).st_mode
    except FileNotFoundError:
        raise StepError(f"--expected {path}: no such file") from None
    except OSError as error:
        raise StepError(f"--expected {path}: {error.strerror}") from None
    if not stat.S_ISREG(mode):
        raise StepError(f"--expected {path} is not a regular file; give the answer as a CSV file (id, match)")
    try:
        with open(path, newline="", encoding="utf-8-sig") as f:
            rows = csv.reader(f)
            header = next(rows, None)
            for number, row in enumerate(rows, 2):
                if row and len(row) < 2:
                    raise StepError(f"--expected {path}, line {number}: {len(row)} field where id,match needs 2")
    except OSError as error:
        raise StepError(f"cannot read --expected {path}: {error.strerror}") from None
    except (UnicodeDecodeError, csv.Error):
        raise StepError(f"--expected {path} is not a UTF-8 CSV file; give the answer as a CSV file (id, match)") \
            from None
    if not header or [c.strip() for c in header[:2]] != ["id", "match"]:
        raise StepError(f"--expected {path} does not start with the header id,match; give the answer as a CSV "
                        "file (id, match)")


def compare(results, expected):
    """The differences [(id, expected, got)] between a results CSV and an
    answer CSV (id, match), by transaction id, and the number of ids. When
    both list the same ids in the same order (a run's results are in the
    transactions' order, as is an answer made with the transactions), the
    two are walked side by side, holding only the differences; otherwise
    both are read whole and matched by id."""
    try:
        with open(expected, newline="", encoding="utf-8-sig") as a, open(results, newline="", encoding="utf-8") as r:
            differences, total = _compare_in_order(csv.reader(a), csv.reader(r))
    except (OSError, UnicodeDecodeError, csv.Error) as error:
        raise StepError(f"cannot read --expected {expected}: {getattr(error, 'strerror', None) or error}") from None
    if total is not None:
        return differences, total
    try:
        with open(expected, newline="", encoding="utf-8-sig") as f:
            answer = {row[0]: row[1].strip().lower() == "true" for row in itertools.islice(csv.reader(f), 1, None)
                      if row}
    except (OSError, UnicodeDecodeError, csv.Error) as error:
        raise StepError(f"cannot read --expected {expected}: {getattr(error, 'strerror', None) or error}") from None
    with open(results, newline="", encoding="utf-8") as f:
        got = {row[0]: row[1] == "true" for row in itertools.islice(csv.reader(f), 1, None) if row}
    ids = sorted(set(answer) | set(got))
    shown = {True: "true", False: "false", None: "nothing"}
    return [(i, shown[answer.get(i)], shown[got.get(i)]) for i in ids if answer.get(i) != got.get(i)], len(ids)


def _compare_in_order(answer_rows, result_rows):
    """(differences sorted by id, count) when the two readers list the same
    ids in the same order, else (None, None)."""
    next(answer_rows, None)
    next(result_rows, None)
    answer_rows = (row for row in answer_rows if row)
    result_rows = (row for row in result_rows if row)
    differences, total = [], 0
    for want, got in itertools.zip_longest(answer_rows, result_rows):
        if want is None or got is None or want[0] != got[0]:
            return None, None
        total += 1
        expected, matched = want[1].strip().lower() == "true", got[1] == "true"
        if expected != matched:
            differences.append((want[0], "true" if expected else "false", "true" if matched else "false"))
    return sorted(differences), total
