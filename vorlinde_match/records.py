"""What each finished step leaves in its party's home for the reports
(report.py): one JSON object per line in HOME/steps.jsonl, appended after the
step has put its outputs in place. A step that fails or is stopped appends
nothing.

A record holds what the party itself knows of its step: its name and party,
its wall-clock start and end, its rows and time, the handed-over files it
wrote and read with their sizes and their sender and recipients, its peak
memory and a curve of its resident memory, the run id and the keys'
fingerprints from the headers of the files it wrote, its input table's path
and key columns, and for the operator's finish the match counts. Never a key,
a row or a value of a row.

The memory curve is sampled in the process that runs the step (the command's
own process; with Dask, the workers' memory is not in it): a thread reads
VmRSS from /proc/self/status every SAMPLE_EVERY seconds, and when MAX_SAMPLES
are taken it keeps every other one and doubles its interval, so a step of any
length keeps at most MAX_SAMPLES samples spread over all of it. Where there is
no /proc, a record has no curve.
"""

import array
import functools
import inspect
import json
import math
import os
import threading
import time

from .errors import StepError
from .files import BANKS, ROLES, key_fingerprint, read_header, read_key, write_failure
from .handover import HandoverFile, Remote, exists, locate
from .homes import key_role

OPERATOR = "operator"
RECORDS_FILE = "steps.jsonl"
VERSION = 1
SAMPLE_EVERY = 0.2
MAX_SAMPLES = 200
# The handed-over files each step reads, by (command, step) as homes.py's
# HANDOVER_OUTPUTS; {role} is the bank's.
HANDOVER_INPUTS = {
    ("bank", "build"): (),
    ("bank", "randomize"): ("operator.queries",),
    ("bank", "decrypt"): ("operator.for-{role}",),
    ("operator", "query"): ("sender-bank.store", "receiver-bank.store"),
    ("operator", "combine"): ("sender-bank.randomized", "receiver-bank.randomized"),
    ("operator", "finish"): ("sender-bank.decrypted", "receiver-bank.decrypted"),
}
# The header kind of each handed-over file, by the end of its name.
_KINDS = {".store": "store", ".queries": "records", ".randomized": "records", ".decrypted": "points"}
# The step arguments that name its input table and key columns.
_INPUT_ARGUMENTS = ("accounts", "transactions")
_COLUMN_ARGUMENTS = {"columns": "key columns", "sender_columns": "sender columns",
                     "receiver_columns": "receiver columns", "id_column": "id column"}
# The figures of a step's summary that a record keeps (the operator's finish
# alone has the match counts).
_FIGURES = ("matched", "unmatched", "empty_sides", "partitions")


def route(name):
    """(sender, recipients) of the handed-over file called `name`, or None
    for any other file."""
    if name == "operator.queries":
        return OPERATOR, list(BANKS)
    for bank in BANKS:
        if name in (f"{bank}.store", f"{bank}.randomized", f"{bank}.decrypted"):
            return bank, [OPERATOR]
        if name == f"operator.for-{bank}":
            return OPERATOR, [bank]
    return None


def _status_bytes(field, pid="self"):
    """A `field` of /proc/PID/status in bytes, or None where there is none.
    Read with os.read, not a file object: the sampler calls this while a
    step runs, and some of the objects a file object makes stay in the
    interpreter's free lists after it is closed, each keeping one of its
    arenas resident (see MemorySampler)."""
    try:
        fd = os.open(f"/proc/{pid}/status", os.O_RDONLY)
        try:
            status = os.read(fd, 1 << 16)  # about 1.5 KB
        finally:
            os.close(fd)
        at = status.index(b"\n" + field.encode("ascii")) + 1
        return int(status[at + len(field):status.index(b"kB", at)]) * 1024
    except (OSError, ValueError):
        pass
    return None


def _reset_peak():
    """Sets this process's peak resident memory (VmHWM) to its current
    resident memory, so that a step's summary gives the step's own peak also
    when one process runs several steps (`run`); False where that is not
    possible, and the peak is then the process's since it started."""
    try:
        with open("/proc/self/clear_refs", "w", encoding="ascii") as f:
            f.write("5")
        return True
    except OSError:
        return False


def _descendants(pid):
    """The process ids of `pid`'s children, their children, and so on (from
    /proc/PID/task/*/children; those that ended meanwhile are left out)."""
    found, waiting = [], [pid]
    while waiting:
        parent = waiting.pop()
        try:
            tasks = os.listdir(f"/proc/{parent}/task")
        except OSError:
            continue
        for task in tasks:
            try:
                with open(f"/proc/{parent}/task/{task}/children", encoding="ascii") as f:
                    children = [int(c) for c in f.read().split()]
            except (OSError, ValueError):
                continue
            found.extend(children)
            waiting.extend(children)
    return found


def tree_resident(pid):
    """The resident memory of process `pid` and all its descendants, summed
    (pages shared between them count once per process), or None when `pid`
    has ended."""
    own = _status_bytes("VmRSS:", pid)
    if own is None:
        return None
    return own + sum(_status_bytes("VmRSS:", child) or 0 for child in _descendants(pid))


class MemorySampler:
    """The resident memory of this process while a step runs: `samples`
    [(seconds since the start, bytes)], at most MAX_SAMPLES of them. With
    `pid`, that of process `pid` and its descendants instead (a benchmark
    watching a command it started).

    The samples live in arrays allocated once, not as a Python object each:
    an object made while a step holds many others (a build's rows) sits in
    one of the interpreter's 1 MiB arenas, which goes back to the system
    only when all of it is free, so the curve's objects, kept in the step's
    record, would keep up to one arena each resident through every later
    step."""

    def __init__(self, every=SAMPLE_EVERY, most=MAX_SAMPLES, pid=None):
        self.most = max(2, most)
        self.pid = pid
        self._every, self._thinned = every, 0
        self._times = array.array("d", bytes(8 * self.most))
        self._sizes = array.array("q", bytes(8 * (self.most + 1)))  # the peak last
        self._taken = 0
        self._stop = threading.Event()
        self._thread = None
        self._start = time.monotonic()

    @property
    def every(self):
        """Seconds between samples: doubled each time the curve is thinned."""
        return self._every * 2 ** self._thinned

    @property
    def peak(self):
        return self._sizes[self.most]

    @property
    def samples(self):
        return list(zip(self._times[:self._taken], self._sizes[:self._taken]))

    def start(self):
        self._start = time.monotonic()
        if self._sample() is None:
            return self  # no /proc here
        thread = threading.Thread(target=self._run, name="vorlinde-memory", daemon=True)
        try:
            thread.start()
        except RuntimeError:  # no room for another thread: the step runs without its curve
            return self
        self._thread = thread
        return self

    def _run(self):
        while not self._stop.wait(self.every):
            self._sample()

    def _sample(self):
        rss = _status_bytes("VmRSS:") if self.pid is None else tree_resident(self.pid)
        if rss is None:
            return None
        if rss > self._sizes[self.most]:
            self._sizes[self.most] = rss
        if self._taken >= self.most:
            # Every other sample kept, in place.
            self._taken = (self._taken + 1) // 2
            for i in range(1, self._taken):
                self._times[i], self._sizes[i] = self._times[2 * i], self._sizes[2 * i]
            self._thinned += 1
        self._times[self._taken] = round(time.monotonic() - self._start, 3)
        self._sizes[self._taken] = rss
        self._taken += 1
        return rss

    def stop(self):
        self._stop.set()
        if self._thread is not None:
            self._thread.join()
            self._thread = None
            self._sample()


def _header(path):
    """The header of the handed-over (signed) file `path` (by its name's
    kind), which this step has just written, or {} when it cannot be read."""
    kind = next((k for end, k in _KINDS.items() if path.endswith(end)), "points")
    try:
        return read_header(path, kind, sealed=True)
    except StepError:
        return {}


def _size(path, fallback):
    if isinstance(path, HandoverFile):
        return fallback  # the bytes written, as the step counted them
    try:
        return os.path.getsize(path)
    except OSError:
        return fallback


class _Recording:
    """One step's record, from its start to its summary."""

    def __init__(self, command, step, arguments):
        self.command, self.step = command, step
        self.home, self.reporter = arguments["home"], arguments["reporter"]
        self.handover = arguments.get("handover")
        self.arguments = arguments
        self.summaries = len(getattr(self.reporter, "summaries", ()))
        self.peak_of = "step" if _reset_peak() else "process"
        self.started = time.time()
        self.memory = MemorySampler().start()

    def stop(self):
        self.memory.stop()
        self.ended = time.time()

    def record(self):
        """The record of the finished step, or None when it gave no summary."""
        summaries = getattr(self.reporter, "summaries", None)
        if summaries is None or len(summaries) <= self.summaries:
            return None
        summary = summaries[-1]
        role = self.arguments.get("role") or _home_role(self.home)
        record = {"version": VERSION, "step": summary["step"], "what": self.step, "party": role,
                  "started": round(self.started, 3),
                  "ended": round(self.ended, 3), "seconds": summary["seconds"], "rows": summary["rows"],
                  "peak_memory_bytes": summary["peak_memory_bytes"], "peak_of": self.peak_of,
                  "memory": {"every": self.memory.every, "samples": self.memory.samples}}
        written, headers = [], []
        for path, size in summary["outputs"].items():
            entry = {"file": path, "bytes": _size(path, size)}
            way = route(os.path.basename(path)) if self._handed_over(path) else None
            if way is not None:
                entry["to"] = way[1]
                headers.append(_header(path))
            written.append(entry)
        record["written"] = written
        read = []
        for name in HANDOVER_INPUTS.get((self.command, self.step), ()):
            name = name.format(role=role)
            path = locate(self.handover, name)
            if exists(path):
                read.append({"file": path, "bytes": _size(path, 0), "from": route(name)[0]})
        record["read"] = read
        if (self.command, self.step) == (OPERATOR, "finish"):
            headers.append(_operator_ids(self.home))
        if self.step == "keys":
            record["keys"] = _own_key(self.home)
        for header in headers:
            if "keys" in header and "keys" not in record:
                record["keys"] = dict(header["keys"])
            if "run" in header and "run" not in record:
                record["run"] = header["run"]
        table = next((self.arguments[a] for a in _INPUT_ARGUMENTS if self.arguments.get(a)), None)
        if table is not None:
            record["input"] = str(table)
        columns = {shown: [c] if isinstance(c, str) else list(c) for name, shown in _COLUMN_ARGUMENTS.items()
                   if (c := self.arguments.get(name))}
        if columns:
            record["columns"] = columns
        figures = {name: summary[name] for name in _FIGURES if isinstance(summary.get(name), int)}
        if figures:
            record["figures"] = figures
        return record

    def _handed_over(self, path):
        if self.handover is None:
            return False
        if isinstance(self.handover, Remote):
            return isinstance(path, HandoverFile)
        return os.path.realpath(os.path.dirname(os.path.abspath(path))) == os.path.realpath(self.handover)


def _home_role(home):
    return key_role(home) or "unknown"


def _operator_ids(home):
    try:
        return read_header(os.path.join(home, "transactions.ids"), "transaction-ids")
    except StepError:
        return {}


def _own_key(home):
    try:
        role, public_key = read_key(home, ROLES, secret=False)
    except StepError:
        return {}
    return {role: key_fingerprint(public_key)}


def append(home, record):
    """Appends `record` to HOME/steps.jsonl, in one write."""
    path = os.path.join(home, RECORDS_FILE)
    line = (json.dumps(record, separators=(",", ":"), ensure_ascii=True) + "\n").encode("ascii")
    try:
        fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o600)
        try:
            os.write(fd, line)
        finally:
            os.close(fd)
    except OSError as error:
        raise write_failure(path, error) from None


def recorded(command, step):
    """Makes the step function of `command` (bank, operator; None for keys)
    and `step` (its arguments include `home` and `reporter`) record
    itself in its home when it finishes: appended to HOME/steps.jsonl and to
    the reporter's `records`. A record that cannot be written is a warning,
    not a failure of the step, whose outputs are in place by then."""
    def wrap(function):
        signature = inspect.signature(function)

        @functools.wraps(function)
        def run_and_record(*args, **kwargs):
            bound = signature.bind(*args, **kwargs)
            bound.apply_defaults()
            recording = _Recording(command, step, bound.arguments)
            try:
                result = function(*args, **kwargs)
            finally:
                recording.stop()
            record = recording.record()
            if record is not None:
                reporter = recording.reporter
                if isinstance(getattr(reporter, "records", None), list):
                    reporter.records.append(record)
                try:
                    append(recording.home, record)
                except StepError as error:
                    reporter.warn(f"{error}; the reports will not show this step")
            return result
        return run_and_record
    return wrap


# Reading -------------------------------------------------------------------------


def _number(value):
    return isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value) and value >= 0


def _count(value):
    return isinstance(value, int) and not isinstance(value, bool) and value >= 0


def _text(value):
    return isinstance(value, str)


def _texts(value):
    return isinstance(value, list) and all(_text(v) for v in value)


def _files(direction):
    def test(value):
        return isinstance(value, list) and all(
            isinstance(e, dict) and _text(e.get("file")) and _count(e.get("bytes"))
            and (direction not in e or (_texts(e[direction]) if direction == "to" else _text(e[direction])))
            for e in value)
    return test


def _memory(value):
    return (isinstance(value, dict) and _number(value.get("every")) and isinstance(value.get("samples"), list)
            and all(isinstance(s, list) and len(s) == 2 and _number(s[0]) and _count(s[1])
                    for s in value["samples"]))


def _table_of(test):
    return lambda value: isinstance(value, dict) and all(_text(k) and test(v) for k, v in value.items())


# field -> (test, what it must be); the first six are required.
FIELDS = {
    "version": (lambda v: v == VERSION, f"{VERSION}"),
    "step": (_text, "text"),
    "party": (_text, "text"),
    "started": (_number, "a time"),
    "ended": (_number, "a time"),
    "seconds": (_number, "a number of seconds"),
    "what": (_text, "text"),
    "rows": (lambda v: v is None or _count(v), "a count"),
    "run": (_text, "text"),
    "peak_memory_bytes": (_count, "a count"),
    "peak_of": (_text, "text"),
    "memory": (_memory, "a memory curve"),
    "written": (_files("to"), "a list of files"),
    "read": (_files("from"), "a list of files"),
    "keys": (_table_of(_text), "an object of fingerprints"),
    "input": (_text, "text"),
    "columns": (_table_of(_texts), "an object of column lists"),
    "figures": (_table_of(_count), "an object of counts"),
}
REQUIRED = tuple(FIELDS)[:6]


def read(home):
    """The records of HOME/steps.jsonl, oldest first; a last line without
    its newline (a step appending right now) is left out."""
    path = os.path.join(home, RECORDS_FILE)
    try:
        with open(path, "rb") as f:
            data = f.read()
    except FileNotFoundError:
        raise StepError(f"{home} holds no step records ({RECORDS_FILE}): run this party's steps first") from None
    except OSError as error:
        raise StepError(f"cannot read {path}: {error.strerror}") from None
    lines = data.split(b"\n")[:-1]  # the part after the last newline is unfinished
    records = []
    for number, line in enumerate(lines, 1):
        if not line.strip():
            continue
        records.append(_checked(path, number, line))
    return records


def _checked(path, number, line):
    def refuse(problem):
        raise StepError(f"{path}, line {number}: {problem}; the file was altered or damaged: remove that line")

    try:
        record = json.loads(line.decode("utf-8"))
    except (UnicodeDecodeError, ValueError, RecursionError):
        refuse("not a JSON object")
    if not isinstance(record, dict):
        refuse("not a JSON object")
    if record.get("version") != VERSION and _count(record.get("version")):
        raise StepError(f"{path}, line {number}: a record of another vorlinde-match version "
                        f"({record['version']}); write the report with that version")
    for name in REQUIRED:
        if name not in record:
            refuse(f"field {name!r} is missing")
    for name, (test, what) in FIELDS.items():
        if name in record and not test(record[name]):
            refuse(f"field {name!r} is not {what}")
    return record


def by_run(records):
    """[(run id, records)] in order: the records of each run, with the ones
    that have no run id (keys, a bank's build) joined to the run of the next
    record that has one; the last entry's run is None when the newest records
    have none yet."""
    groups, waiting = [], []
    for record in records:
        run = record.get("run")
        if run is None:
            waiting.append(record)
        elif groups and groups[-1][0] == run:
            groups[-1][1].extend(waiting + [record])
            waiting = []
        else:
            groups.append((run, waiting + [record]))
            waiting = []
    if waiting:
        groups.append((None, waiting))
    return groups
