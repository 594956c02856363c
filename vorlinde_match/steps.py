"""The steps of a matching run, one function per party and step.

Each step reads only its party's own folder (`home`: its keys and what it
keeps between steps), its own input table and the files handed to it in the
handover folder, and writes what it hands on into the handover folder. The
names there are fixed:

    sender-bank.store, receiver-bank.store          bank build -> operator
    operator.queries                                operator query -> both banks
    sender-bank.randomized, receiver-bank.randomized  bank randomize -> operator
    operator.for-sender-bank, operator.for-receiver-bank  operator combine -> that bank
    sender-bank.decrypted, receiver-bank.decrypted  bank decrypt -> operator

Every handed-over file is signed by its writer and sealed for its reader(s)
(files.read_handed_over, files.SealedWriter; the identities in parties.py):
this party's own client opens what it reads and seals what it writes, and
hands its Dask cluster plaintext chunks over the cluster's TLS, as before.

Every per-transaction step works in chunks; the booleans of a run do not
depend on the chunk sizes, on where the chunks run or on partitioning.
"""

import collections
import contextlib
import csv
import functools
import io
import itertools
import math
import os
import secrets
import shutil
import tempfile
import time

import vorlinde

from . import arrow_csv, files, parties
from . import partitions as parting
from . import slices
from .errors import OperationFailed, RowsError, StepError
from .execution import Local
from .files import (BANKS, MAX_PARTITIONS, POINT_SIZE, PUBLIC_KEY_FILE, RECORD_SIZE, IdReader, Outputs, StreamReader,
                    again, check_from, check_key, check_made_from, check_run, key_fingerprint, read_handed_over,
                    read_header, read_key, read_key_pair, role_name, write_failure, write_keys)
from .handover import exists, locate
from .progress import human_count, human_seconds, shown_after
from .records import recorded
from .stages import pause
from .tables import Table, check_input, first_empty

OPERATOR = "operator"
ROLES = (*BANKS, OPERATOR)

# Records per call of the streaming steps: about half a second per call on two
# cores, so that Ctrl-C and a scheduler's heartbeats get through between
# calls, while the per-call cost stays far below one per cent.
STREAM_CHUNK = 32768
# Every call of the query step has a fixed cost (both stores' headers read,
# the pool's tasks started), measured by a one-row call; its chunks start at
# this size and then grow until that cost is at most about 1/30 of each call.
QUERY_FIRST_CHUNK = 8192
QUERY_MAX_CHUNK = 1 << 20
PARSE_SHARE = 30
BUILD_READ_CHUNK = 1 << 16
# A store's encoding is estimated from a build of this many rows, timed here,
# when the store has at least ESTIMATED_FROM times as many (a smaller one
# takes about a second): the calibration costs at most a few per cent.
CALIBRATION_ROWS = 16384
ESTIMATED_FROM = 4
# Bytes of a store sealed and written, or read and opened, at a time (for
# progress).
STORE_BLOCK = 1 << 24


def _call(function, *args):
    pause("module call")
    try:
        return function(*args)
    except Exception:
        raise
    except BaseException as error:
        if type(error).__name__ == "PanicException":
            raise OperationFailed(function.__name__, str(error)) from None
        raise


@contextlib.contextmanager
def _reading(paths, hint, readers=()):
    """Reports a failure inside the module as one of `paths` (the files its
    input came from) that it could not read, with `hint`; a file that does
    not match its digest is reported as such instead."""
    try:
        yield
    except OperationFailed as failure:
        for reader in readers:
            if not reader.intact():
                raise StepError(f"{reader.path} does not match its digest: it was altered or damaged; "
                                f"{hint}") from None
        raise failure.about(paths, hint) from None


def handover_path(handover, name):
    return locate(handover, name)


# Keys -------------------------------------------------------------------------

@recorded(None, "keys")
def make_keys(role, home, reporter):
    """The party's key pair for the module and, unless `home` has one, its
    identity (signing and sealing key pairs). New module keys in a folder
    keep its identity, so that the other parties' pins stay valid."""
    start = time.perf_counter()
    kept = os.path.isdir(home) and parties.has_identity(home)
    if kept:
        parties.load_secrets(home, role)  # the identity is this role's, and whole
    public_key, secret_key = vorlinde.key_gen()
    write_keys(home, role, public_key, secret_key)
    me = parties.load_secrets(home, role) if kept else parties.make_identity(home, role)
    _show_identity(home, me.identity, reporter)
    reporter.finished(f"{role_name(role)} keys", None, time.perf_counter() - start,
                      {os.path.join(home, "secret.key"): 32, os.path.join(home, "public.key"): 32},
                      identity=os.path.join(home, parties.IDENTITY_FILE), fingerprint=me.identity.shown())


def home_role(home):
    """The role of the party whose folder is `home`, from its public key."""
    return read_key(home, ROLES, secret=False)[0]


def _show_identity(home, identity, reporter):
    reporter.say(f"{role_name(identity.role)}: identity {os.path.join(home, parties.IDENTITY_FILE)}, fingerprint "
                 f"{identity.shown()}; hand the file to the other parties and compare the fingerprint with them "
                 f"out of band; pin theirs with {parties.trust_command(home, 'ROLE')}")


def add_identity(home, reporter):
    """Makes the identity of a party whose folder has keys from before
    handed-over files were signed."""
    start = time.perf_counter()
    role = home_role(home)
    me = parties.make_identity(home, role)
    _show_identity(home, me.identity, reporter)
    reporter.finished(f"{role_name(role)} identity", None, time.perf_counter() - start,
                      {os.path.join(home, parties.IDENTITY_FILE): os.path.getsize(
                          os.path.join(home, parties.IDENTITY_FILE))}, fingerprint=me.identity.shown())


def show_identity(home, reporter, export=None):
    """Shows the party's identity; `export`: also writes it to that file
    (which must not exist)."""
    role = home_role(home)
    me = parties.load_secrets(home, role)
    outputs = {}
    if export:
        if os.path.lexists(export):
            raise StepError(f"{export} exists already; name a new file to export the identity to")
        with Outputs() as out, out.text(export) as f:
            f.write(parties.identity_text(me.identity))
        outputs[export] = os.path.getsize(export)
    _show_identity(home, me.identity, reporter)
    reporter.finished(f"{role_name(role)} identity", None, 0.0, outputs, fingerprint=me.identity.shown())


def trust(home, role, key_file, reporter, replace=False):
    """Pins the identity in `key_file` (an identity.json) for `role` in the
    party file of `home`."""
    start = time.perf_counter()
    own = home_role(home)
    identity = parties.read_identity_file(key_file)
    if identity.role != role:
        raise StepError(f"{key_file} is the identity of the {role_name(identity.role)}, not of the "
                        f"{role_name(role)}; give --role {identity.role}, or the {role_name(role)}'s identity file")
    old = parties.pin(home, own, identity, replace)
    path = os.path.join(home, parties.PARTIES_FILE)
    if old is not None:
        reporter.say(f"{path}: the {role_name(role)}'s identity replaced: was {old.shown()}, now {identity.shown()}")
    else:
        reporter.say(f"{path}: the {role_name(role)} is pinned to {identity.shown()}; check that this is the "
                     f"fingerprint the {role_name(role)} showed you")
    extra = {"fingerprint": identity.shown()}
    if old is not None:
        extra["replaced"] = old.shown()
    reporter.finished(f"{role_name(own)} trust {role}", None, time.perf_counter() - start,
                      {path: os.path.getsize(path)}, **extra)


# Bank: build ------------------------------------------------------------------

def build_task(public_key, rows):
    return _call(vorlinde.build_okvs, public_key, rows)


def packed_build_task(public_key, rows):
    """A store built from a KeyRows: the module's walk unpacks the rows into
    as many tuples, which form no cycles for the collector to walk."""
    with arrow_csv.collector_paused():
        return build_task(public_key, rows)


def _refuse_empty_keys(table, chunk, columns):
    """An account whose key columns are all empty has no key to match on (and
    the empty key would match every transaction side that is empty too)."""
    i = first_empty(chunk, len(columns))
    if i is not None:
        which = f"key column {columns[0]} is" if len(columns) == 1 else f"key columns {', '.join(columns)} are all"
        raise StepError(f"{table.name}, {table.where(i)}: the {which} empty; every account needs a key: "
                        "fill it in or remove the row")


class KeyRows:
    """A bank's rows as the module needs them, packed while it is not
    running. A store keeps of a row only its key, the row's values run
    together, so each row is held as its key alone, and each chunk's keys are
    joined by NUL into one UTF-8 bytes object (about 40 bytes a row against
    some 250 as row lists of str). The module walks it once with the
    iterator protocol and gets each row as a one-column row of its key; each
    chunk is unpacked as the walk reaches it and let go as soon as its rows
    are handed over, so that while the store is encoded the command holds
    none of the rows (the module has its own copy). A chunk in which a value
    holds a NUL or is not valid UTF-8 text (or not text at all) is kept as it
    came, and the module refuses it as it would without packing."""

    SEPARATOR = "\0"

    def __init__(self):
        self._chunks = collections.deque()  # bytes (packed keys), or a list of rows as they came
        self._count = 0

    def add(self, chunk):
        """Adds a chunk of rows: a list of rows of str, or an arrow_csv.Packed."""
        if not chunk:
            return
        if isinstance(chunk, arrow_csv.Packed):
            self._chunks.append(chunk.keys)
            self._count += len(chunk)
            return
        packed = None
        with contextlib.suppress(TypeError, UnicodeEncodeError):
            joined = self.SEPARATOR.join(map("".join, chunk))
            if joined.count(self.SEPARATOR) == len(chunk) - 1:
                packed = joined.encode("utf-8")
        self._chunks.append(packed if packed is not None else list(chunk))
        self._count += len(chunk)

    def __len__(self):
        return self._count

    def __getitem__(self, index):
        # The module only iterates; indexing exists because a sequence is
        # what it accepts, and serves the chunks not yet handed over.
        if index < 0:
            index += self._count
        for chunk in self._chunks:
            size = len(chunk) if isinstance(chunk, list) else chunk.count(b"\0") + 1
            if 0 <= index < size:
                return self.unpacked(chunk)[index]
            index -= size
        raise IndexError("row index out of range")

    @classmethod
    def unpacked(cls, chunk):
        """The rows of a chunk as held here: one-column rows of the keys, or
        the rows as they came."""
        if isinstance(chunk, list):
            return chunk
        return list(zip(chunk.decode("utf-8").split(cls.SEPARATOR)))

    def head(self, count):
        """The first `count` rows, as a list (the rows stay in place)."""
        rows = []
        for chunk in self._chunks:
            if len(rows) >= count:
                break
            rows.extend(self.unpacked(chunk)[:count - len(rows)])
        return rows

    def __iter__(self):
        # chain hands the rows out in C: Python runs once per chunk, not once
        # per row.
        return itertools.chain.from_iterable(self._unpacking())

    def _unpacking(self):
        while self._chunks:
            rows = self.unpacked(self._chunks.popleft())
            self._count -= len(rows)
            yield rows
            del rows  # walked: let go before the next chunk is unpacked


def _read_rows(table, columns, reporter, desc):
    rows = KeyRows()
    bar = table.bar(reporter, desc)
    try:
        for (chunk,) in table.chunks(BUILD_READ_CHUNK, packed=(0,)):
            _refuse_empty_keys(table, chunk, columns)
            rows.add(chunk)
            bar.moved_to(table.progress)
    finally:
        bar.close()
    return rows


def _encoding_estimate(reporter, public_key, sample, count):
    """(seconds, basis) of encoding a store of `count` rows, from a store of
    the `sample` rows built and timed here, or (None, None) when nothing
    will be shown or the store is too small to need it."""
    if not reporter.shows_progress or not sample:
        return None, None
    if count < ESTIMATED_FROM * CALIBRATION_ROWS and shown_after() > 0:
        return None, None
    start = time.perf_counter()
    build_task(public_key, sample)
    rate = len(sample) / max(time.perf_counter() - start, 1e-6)
    return count / rate, f"{human_count(int(rate))} rows/s, measured here on {human_count(len(sample))} rows"


@contextlib.contextmanager
def _encoding(reporter, who, count, estimate, basis, partitions=None):
    """Shows the encoding of `count` rows (in `partitions` stores) while it
    runs, and then its time against the estimate; a store too small to
    have an estimate shows nothing."""
    what = f"{who}: encoding the store of {human_count(count)} rows" + (
        f" in {partitions} partitions" if partitions else "")
    if estimate is None:
        yield _NOT_SHOWN
        return
    with reporter.waiting(what, estimate, basis, total=partitions) as shown:
        start = time.perf_counter()
        yield shown
        seconds = time.perf_counter() - start
    reporter.say(f"{who}: store encoded in {human_seconds(seconds)} "
                 f"(estimated {human_seconds(estimate)})")


class _NotShown:
    def done(self, count):
        pass


_NOT_SHOWN = _NotShown()


def _write_stores(writer, stores, reporter, who):
    """Seals and writes the stores, a block at a time, with progress."""
    bar = reporter.bar(sum(len(s) for s in stores), f"{who}: sealing and writing the store", unit="bytes")
    try:
        for store in stores:
            for at in range(0, len(store), STORE_BLOCK):
                block = store[at:at + STORE_BLOCK]
                writer.write(block)
                bar.update(len(block))
    finally:
        bar.close()


def _shown_name(table):
    return "standard input" if table.name != table.path else os.path.basename(table.path)


@recorded("bank", "build")
def bank_build(home, handover, accounts, columns, reporter, partitions=1, executor=None, integers_as_text=False):
    """Builds the bank's store from the key columns of `accounts` (a file, or
    "-" for standard input) into handover/<role>.store; with partitions > 1,
    one padded store per partition of the rows (see partitions.py).
    `integers_as_text` reads integer Parquet columns as decimal text."""
    executor = executor or Local()
    check_input(accounts)
    role, public_key = read_key(home, BANKS, secret=False)
    known = parties.Trust(home, role)
    operator = known.pinned(OPERATOR)
    if partitions > MAX_PARTITIONS:
        raise StepError(f"--partitions {partitions}: a store has at most {MAX_PARTITIONS:,} partitions")
    out_path = handover_path(handover, f"{role}.store")
    start = time.perf_counter()
    with Table(accounts, [columns], integers_as_text) as table:
        if partitions == 1:
            rows = _read_rows(table, columns, reporter, f"{role_name(role)}: reading {_shown_name(table)}")
            if not rows:
                raise StepError(f"{table.name} has no rows; a bank's store needs at least one account")
            count = len(rows)  # the module's walk empties `rows`
            estimate, basis = _encoding_estimate(reporter, public_key, rows.head(CALIBRATION_ROWS), count)
            reporter.say(f"{role_name(role)}: building the store of {count:,} rows in this process")
            # The module's walk unpacks the rows into as many tuples.
            with _encoding(reporter, role_name(role), count, estimate, basis), arrow_csv.collector_paused():
                stores = [build_task(public_key, rows)]
            del rows
            layout = {}
        else:
            stores, count, layout = _build_partitioned(table, columns, role, public_key, partitions, home, executor,
                                                       reporter)
    meta = {"kind": "store", "role": role, "columns": len(columns), "partitions": partitions,
            "parts": [len(s) for s in stores], "keys": {role: key_fingerprint(public_key)}, **layout}
    with Outputs() as out:
        with out.sealed(out_path, meta, known.me, [operator]) as writer:
            _write_stores(writer, stores, reporter, role_name(role))
    reporter.finished(f"{role_name(role)} build", count, time.perf_counter() - start,
                      {out_path: sum(len(s) for s in stores)}, **({"partitions": partitions} if partitions > 1 else {}))


def _build_partitioned(table, columns, role, public_key, partitions, home, executor, reporter):
    """Spills the rows into one file per partition in the bank's own folder
    (removed afterwards), counts each partition's distinct keys, then builds
    the padded stores one partition at a time (on the executor)."""
    seed = parting.new_seed()
    spill = tempfile.mkdtemp(prefix=".partitions-", dir=home)
    try:
        paths = [os.path.join(spill, f"{p}.csv") for p in range(partitions)]
        files = [open(path, "w", newline="", encoding="utf-8") for path in paths]
        writers = [csv.writer(f) for f in files]
        count = 0
        bar = table.bar(reporter, f"{role_name(role)}: partitioning rows")
        try:
            for (chunk,) in table.chunks(BUILD_READ_CHUNK):
                _refuse_empty_keys(table, chunk, columns)
                for row in chunk:
                    writers[parting.partition_of(parting.key_of(row), seed, partitions)].writerow(row)
                count += len(chunk)
                bar.moved_to(table.progress)
            for f in files:
                f.close()
        except OSError as error:
            raise write_failure(spill, error) from None
        finally:
            bar.close()
            for f in files:
                try:
                    f.close()
                except OSError:
                    pass
        if count == 0:
            raise StepError(f"{table.name} has no rows; a bank's store needs at least one account")

        def spilled(p):
            """Partition p's rows, a chunk at a time."""
            with open(paths[p], newline="", encoding="utf-8") as f:
                reader = csv.reader(f)
                while chunk := list(itertools.islice(reader, BUILD_READ_CHUNK)):
                    yield chunk

        def distinct_count(p):
            keys = set()
            for chunk in spilled(p):
                keys.update(map(parting.key_of, chunk))
            return len(keys)

        def packed_rows(p):
            """Partition p's rows packed as the plain build packs them, then
            its dummy rows. A key listed twice is stored once by the module,
            as in the plain build, so the store holds the padded size."""
            rows = KeyRows()
            for chunk in spilled(p):
                rows.add(chunk)
            rows.add(parting.dummy_rows(size - sizes[p]))
            return rows

        sizes = []
        bar = reporter.bar(partitions, f"{role_name(role)}: counting each partition's distinct keys",
                           unit="partitions")
        try:
            for p in range(partitions):
                sizes.append(distinct_count(p))
                bar.update(1)
        finally:
            bar.close()
        distinct = sum(sizes)
        size = parting.padded_size(distinct, partitions)
        if max(sizes) > size:
            raise StepError(f"a partition of {table.name} holds {max(sizes):,} distinct keys, more than the {size:,} "
                            "every partition is padded to (this happens about once in a billion builds); "
                            "run the build again, which draws a new partition seed")
        reporter.say(f"{role_name(role)}: {distinct:,} distinct keys in {partitions} partitions, each padded to "
                     f"{size:,} keys; building on {executor.description}")
        # Dummy rows time the encoding as well as real ones: its cost is per
        # row, whatever the row holds.
        estimate, basis = _encoding_estimate(reporter, public_key, parting.dummy_rows(min(CALIBRATION_ROWS, size)),
                                             partitions * size)
        shared = (executor.share(public_key),)
        jobs = ((packed_rows(p),) for p in range(partitions))
        stores = []
        with _encoding(reporter, role_name(role), partitions * size, estimate, basis, partitions) as shown:
            for store in executor.map(packed_build_task, jobs, shared):
                stores.append(store)
                shown.done(len(stores))
        return stores, count, {"partition_seed": seed.hex(), "keys_per_partition": size}
    finally:
        shutil.rmtree(spill, ignore_errors=True)


# Operator: query --------------------------------------------------------------

def _csv_text(rows):
    """`rows` as the csv module writes them, one line each (the ids file's
    lines and the results' rows), except that a value holding a carriage
    return is quoted: with "\n" as the line terminator some versions of the
    csv module write it bare, and a reader then sees a line break in it."""
    rows = rows if isinstance(rows, list) else list(rows)
    text = io.StringIO()
    csv.writer(text, lineterminator="\n").writerows(rows)
    written = text.getvalue()
    return "".join(map(_csv_line, rows)) if "\r" in written else written


def _csv_field(value, alone):
    if any(c in value for c in '",\r\n') or (alone and value == ""):
        return '"' + value.replace('"', '""') + '"'
    return value


def _csv_line(row):
    """One row as the csv module writes strings, with a carriage return
    always quoted."""
    return ",".join(_csv_field(str(v), len(row) == 1) for v in row) + "\n"


def _read_store(handover, role, known, reporter):
    path = handover_path(handover, f"{role}.store")
    hint = again("bank build", role)
    meta, file_key = read_handed_over(path, "store", role, known, hint)
    partitions = meta["partitions"]
    seed = bytes.fromhex(meta["partition_seed"]) if partitions > 1 else b""
    # The header's sizes were checked against the file before this read: the
    # partitions are consecutive parts of a payload of the file's length.
    # Each is opened into a BytesIO sized at once to the part's length (one
    # byte written at its end), whose bytes CPython hands over without a
    # copy, each opened chunk written into it as it comes: reading holds the
    # stores and one chunk, and copies each byte once. Grown chunk by chunk
    # instead, the buffer is reallocated, and a reallocation that moves it
    # holds the part twice for a moment; a join of the chunks always would.
    stores = []
    bar = reporter.bar(sum(meta["parts"]), f"operator: opening {os.path.basename(path)}", unit="bytes")
    try:
        with StreamReader(path, meta, 1, file_key, hint) as reader:
            for length in meta["parts"]:
                part = io.BytesIO()
                if length:
                    part.seek(length - 1)
                    part.write(b"\0")
                    part.seek(0)
                while length:
                    got = 0
                    for piece in reader.pieces(min(length, STORE_BLOCK)):
                        part.write(piece)
                        got += len(piece)
                    if not got:  # cut short: the digest check below says so
                        break
                    length -= got
                    bar.update(got)
                stores.append(part.getvalue())
                del part
            reader.verify()
    finally:
        bar.close()
    return path, meta, stores, (partitions, seed)


def query_task(sender_stores, receiver_stores, layouts, public_key, sender_rows, receiver_rows):
    """The records of one chunk of queries, in query order, the seconds the
    chunk took where it ran and the number of module calls (one per store
    pair looked up)."""
    start = time.perf_counter()
    if len(sender_stores) == 1 and len(receiver_stores) == 1:
        records = _call(vorlinde.initiate_queries, sender_rows, receiver_rows, sender_stores[0],
                        receiver_stores[0], public_key)
        calls = 1
    else:
        groups = parting.group_queries(sender_rows, receiver_rows, *layouts)
        calls = len(groups)
        # Each group's records go straight to their places: the chunk's
        # records are held once, not also as one bytes object per record.
        records = bytearray(len(sender_rows) * RECORD_SIZE)
        for (sp, rp), positions in groups.items():
            group = memoryview(_call(vorlinde.initiate_queries, [sender_rows[i] for i in positions],
                                     [receiver_rows[i] for i in positions], sender_stores[sp], receiver_stores[rp],
                                     public_key))
            for j, i in enumerate(positions):
                records[i * RECORD_SIZE:(i + 1) * RECORD_SIZE] = group[j * RECORD_SIZE:(j + 1) * RECORD_SIZE]
    return records, time.perf_counter() - start, calls


def query_chunk_task(sender_stores, receiver_stores, layouts, public_key, reading, source):
    """One chunk of the query step where it runs: its rows (`source`: the
    three column groups' rows, or a slices.Slice of the table to read them
    from; `reading`: the groups and integers_as_text), transactions with an
    empty side given an unmatchable key, the lookups, and the ids as the
    lines of the id file. Returns (records, seconds of the module's calls,
    calls, id lines, empty sides, rows)."""
    groups, integers_as_text = reading
    if isinstance(source, (slices.Slice, slices.RowGroups)):
        source = source.read(groups, integers_as_text)
    sender_rows, receiver_rows, ids = source
    empty_at = set()
    _unmatchable(sender_rows, len(groups[0]), empty_at)
    _unmatchable(receiver_rows, len(groups[1]), empty_at)
    records, seconds, calls = query_task(sender_stores, receiver_stores, layouts, public_key, sender_rows,
                                         receiver_rows)
    return records, seconds, calls, _id_lines(ids), len(empty_at), len(ids)


def _id_lines(ids):
    """The ids as the UTF-8 lines of the ids file, one CSV row each; packed
    ids that are all plain in CSV are their own lines."""
    if isinstance(ids, arrow_csv.Packed):
        joined = ids.keys
        if ids.first_empty is None and not any(c in joined for c in (*files.QUOTED_IN_CSV, b"\n")):
            return joined.replace(arrow_csv.Packed.SEPARATOR, b"\n") + b"\n"
        ids = KeyRows.unpacked(ids.keys)
    return _csv_text(ids).encode("utf-8")


def _local_error(path, groups, integers_as_text):
    """The StepError a local read of the table `path` ends in, or None: what
    a worker found wrong in its slice, told as the local step tells it."""
    try:
        with Table(path, groups, integers_as_text) as table:
            for _ in table.chunks(BUILD_READ_CHUNK):
                pass
    except StepError as error:
        return error
    return None


class _QueryChunks:
    """Chunk sizes for the query step: fixed when the user gave one;
    otherwise grown from the measured time per row until parsing the stores
    (measured once, with a one-row call) is about 1/PARSE_SHARE of a call."""

    def __init__(self, fixed, parse_seconds, groups):
        self.fixed = fixed
        self.parse = parse_seconds * groups
        self.size = fixed or QUERY_FIRST_CHUNK

    def __call__(self):
        return self.size

    def measured(self, rows, seconds):
        if self.fixed or rows < 256:
            return
        per_row = max(seconds - self.parse, 1e-9) / rows
        wanted = math.ceil(PARSE_SHARE * self.parse / per_row)
        self.size = max(QUERY_FIRST_CHUNK, min(QUERY_MAX_CHUNK, wanted))


def _unmatchable(rows, width, empty_at):
    """Gives every row of `rows` whose `width` columns are all empty a fresh
    random key in their place, adding its position to `empty_at`. An empty
    side names no account; looked up as the empty key it would match another
    empty side. 64 random hex digits are in no bank's store (a bank's dummy
    rows have 32), and their lookup is a miss like any other to the banks."""
    empty = ("",) * width
    if empty not in rows:
        return
    for i, row in enumerate(rows):
        if row == empty:
            rows[i] = (secrets.token_hex(32),) + empty[1:]
            empty_at.add(i)


def _collector_paused_here(executor):
    """The cyclic collector paused while the chunks are worked in this
    process: each chunk's rows are two tuples a transaction, which the
    collector would walk at least once between their reading and their call
    (about 0.1 s a million transactions) and which form no cycles; they are
    let go before the next chunk is read. On Dask the client makes its own
    objects meanwhile, and the collector runs."""
    return arrow_csv.collector_paused() if isinstance(executor, Local) else contextlib.nullcontext()


@recorded("operator", "query")
def operator_query(home, handover, transactions, sender_columns, receiver_columns, id_column, reporter,
                   chunk_rows=None, executor=None, integers_as_text=False):
    """Looks every transaction of `transactions` (a file, or "-" for standard
    input) up in both stores. A transaction whose sender or receiver columns
    are all empty is looked up under a random key, so it ends unmatched; the
    summary counts them as `empty_sides`."""
    executor = executor or Local()
    check_input(transactions)
    _, public_key = read_key(home, [OPERATOR], secret=False)
    known = parties.Trust(home, OPERATOR)
    banks = [known.pinned(bank) for bank in BANKS]
    sender_path, sender_meta, sender_stores, sender_layout = _read_store(handover, "sender-bank", known, reporter)
    receiver_path, receiver_meta, receiver_stores, receiver_layout = _read_store(handover, "receiver-bank", known,
                                                                                 reporter)
    layouts = (sender_layout, receiver_layout)
    # What the queries are made from: both stores and the three parties' keys.
    chain = {"made_from": {f"{bank}.store": m["blake2b"] for bank, m in zip(BANKS, (sender_meta, receiver_meta))},
             "keys": {OPERATOR: key_fingerprint(public_key), **sender_meta["keys"], **receiver_meta["keys"]}}
    for path, width, columns, option in ((sender_path, sender_meta["columns"], sender_columns, "--sender-columns"),
                                         (receiver_path, receiver_meta["columns"], receiver_columns,
                                          "--receiver-columns")):
        if width != len(columns):
            # Not an error: keys are the columns' values joined, so a bank's
            # full name may stand for the operator's first and last names.
            reporter.warn(f"{path} was built from {width} key columns, {option} names {len(columns)}; "
                          "keys are the values joined, so check that they correspond")
    run = os.urandom(8).hex()
    out_path = handover_path(handover, "operator.queries")
    ids_path = os.path.join(home, "transactions.ids")
    start = time.perf_counter()
    with Table(transactions, [sender_columns, receiver_columns, [id_column]], integers_as_text) as table:
        groups = len(sender_stores) * len(receiver_stores)
        parse = 0.0
        unreadable = functools.partial(_reading, [sender_path, receiver_path],
                                       "ask the banks to run `vorlinde-match bank build` again")
        if not chunk_rows:
            # The time of a one-row call is the time to parse the stores; the
            # first call of a process also starts the module's pool and faults
            # its memory in, so the second is the one that counts.
            probe = [["\x00 parse probe"]]
            with unreadable():
                parse = min(query_task(sender_stores[:1], receiver_stores[:1], layouts, public_key, probe, probe)[1]
                            for _ in range(2))
        sizes = _QueryChunks(chunk_rows, parse, groups)
        # Partitioned stores go to a worker only when a task there needs one.
        everywhere = groups == 1
        shared = (executor.share(sender_stores, everywhere), executor.share(receiver_stores, everywhere), layouts,
                  public_key, (table.groups, integers_as_text))
        del sender_stores, receiver_stores
        counted, calls, busy, empty_sides = [0], [0], [0.0], [0]
        read_to = collections.deque()  # how far the table was read at the end of each chunk in flight
        # Workers read their own slices of a file they all see; a pipe, or a
        # file some worker cannot see, is read here and sent in chunks.
        worker_reads = (executor.remote and table.from_file
                        and slices.visible(executor, os.path.abspath(transactions)))
        if worker_reads:
            reporter.say(f"operator: the workers of {executor.description} read their own slices of {table.name}")

        def jobs():
            if worker_reads:
                cut = slices.parquet_slices if table.parquet else slices.csv_slices
                for piece in cut(os.path.abspath(transactions), sizes):
                    read_to.append(piece.progress)
                    yield (piece,)
                return
            for chunk in table.chunks(sizes, packed=(2,)):
                read_to.append(table.progress)
                yield (chunk,)
                del chunk  # not held while the next one is read

        meta = {"role": OPERATOR, "run": run, **chain}
        bar = table.bar(reporter, "operator: querying the stores")
        with Outputs() as out:
            # The table's real path stays in the home, so that no later output
            # of this party replaces it.
            with out.stream(ids_path, {"kind": "transaction-ids", "column": id_column, **meta,
                                       "transactions": os.path.realpath(transactions)}) as id_file:
                with out.sealed(out_path, {"kind": "records", **meta}, known.me, banks) as records_file:
                    try:
                        with unreadable(), _collector_paused_here(executor):
                            for records, seconds, made, lines, empties, rows in executor.map(query_chunk_task,
                                                                                              jobs(), shared):
                                calls[0] += made
                                busy[0] += seconds
                                counted[0] += rows
                                empty_sides[0] += empties
                                id_file.write(lines)
                                records_file.write(records)
                                del records, lines  # written: not held while the next chunk is worked
                                sizes.measured(rows, seconds)
                                bar.moved_to(read_to.popleft())
                    except RowsError as error:
                        raise _local_error(transactions, table.groups, integers_as_text) or StepError(
                            str(error)) from None
                    finally:
                        bar.close()
                    count = counted[0]
                    id_file.meta["count"] = records_file.meta["count"] = count
                    id_file.meta["empty_sides"] = empty_sides[0]
                    if records_file.bytes != count * RECORD_SIZE:
                        raise StepError("internal error: the records do not line up with the transactions")
                # The operator keeps which queries file its ids go with.
                id_file.meta["made_from"] = {**chain["made_from"], "operator.queries": records_file.meta["blake2b"]}
    seconds = time.perf_counter() - start
    extra = {"run": run, "empty_sides": empty_sides[0]}
    if empty_sides[0]:
        reporter.warn(f"{table.name}: {empty_sides[0]:,} transactions have all their sender or all their receiver "
                      "columns empty; they are reported unmatched")
    if parse and busy[0] > 0:
        # Parsing's share of the time the calls took where they ran (summed
        # over workers, so that parallel calls do not count against the
        # step's wall time); a one-row probe also holds a call's fixed cost,
        # hence the bound.
        share = min(100.0, 100 * parse * calls[0] / busy[0])
        extra["store_parsing"] = f"about {share:.1f} % of the module's time"
    reporter.finished("operator query", count, seconds, {out_path: count * RECORD_SIZE}, **extra)


# Banks: randomize, decrypt; operator: combine, finish ---------------------------

def _open_stream(path, kind, sender, item_size, hint, run=None, count=None, to=None, known=None):
    """A reader of the stream `path`, after checking who wrote it, for whom,
    its run and its length; `hint` says what to do about a bad one. With
    `known` (parties.Trust) the file is a handed-over one: its signature is
    checked and it is opened with this party's sealing key; without, it is
    one the party keeps in its own folder."""
    file_key = None
    if known is not None:
        meta, file_key = read_handed_over(path, kind, sender, known, hint)
    else:
        meta = read_header(path, kind, hint)
        check_from(path, meta, sender)
    if run is not None:
        check_run(path, meta, run, hint)
    if to is not None and meta["to"] != to:
        raise StepError(f"{path} is meant for the {role_name(meta['to'])}, not the {role_name(to)}; "
                        f"use operator.for-{to}")
    if count is not None and meta["count"] != count:
        raise StepError(f"{path} holds {meta['count']:,} items, but this run has {count:,} transactions; "
                        f"it belongs to another run or was cut short: {hint}")
    return StreamReader(path, meta, item_size, file_key, hint)


def _check_keys(path, meta, kept_path, kept, hint):
    """Checks that `path` records the parties' keys that the operator's own
    `kept_path` (the run's transaction ids) records."""
    if meta["keys"] != kept["keys"]:
        raise StepError(f"{path} records other keys of the parties than {kept_path}; {hint}")


def _run_stream(executor, task, readers, shared, chunk, writers, split, bar):
    """Feeds the readers' chunks to `task` and writes its results."""
    chunk = executor.balanced(readers[0].count, chunk)

    def jobs():
        yield from zip(*(r.chunks(chunk) for r in readers))

    for result in executor.map(task, jobs(), shared):
        outputs = split(result)
        for writer, data in zip(writers, outputs):
            writer.write(data)
        bar.update(len(outputs[0]) // writers[0].item_size)
    for r in readers:
        r.verify()


class _Writer:
    """A stream writer that knows its item size (for progress)."""

    def __init__(self, stream, item_size):
        self.stream, self.item_size = stream, item_size

    def write(self, data):
        self.stream.write(data)


def randomize_task(records):
    return _call(vorlinde.randomize, records)


@recorded("bank", "randomize")
def bank_randomize(home, handover, reporter, chunk=STREAM_CHUNK, executor=None):
    executor = executor or Local()
    role, public_key = read_key(home, BANKS, secret=False)
    known = parties.Trust(home, role)
    in_path = handover_path(handover, "operator.queries")
    out_path = handover_path(handover, f"{role}.randomized")
    store_path = handover_path(handover, f"{role}.store")
    hint = again("operator query", OPERATOR)
    start = time.perf_counter()
    with _open_stream(in_path, "records", OPERATOR, RECORD_SIZE, hint, known=known) as reader, Outputs() as out:
        check_key(in_path, reader.meta, role, public_key, os.path.join(home, PUBLIC_KEY_FILE),
                  f"{again('bank build')}, then {hint}")
        if exists(store_path):  # this bank's store, if its handover still holds it
            store, _ = read_handed_over(store_path, "store", role, known, again("bank build"), open_it=False)
            check_made_from(in_path, reader.meta, store_path, store["blake2b"], hint)
        meta = {"kind": "records", "role": role, "run": reader.meta["run"], "count": reader.count,
                "made_from": {"operator.queries": reader.meta["blake2b"]}, "keys": reader.meta["keys"]}
        with out.sealed(out_path, meta, known.me, [known.pinned(OPERATOR)]) as writer:
            bar = reporter.bar(reader.count, f"{role_name(role)}: re-randomizing")
            try:
                with _reading([in_path], hint, [reader]):
                    _run_stream(executor, randomize_task, [reader], (), chunk, [_Writer(writer, RECORD_SIZE)],
                                lambda r: (r,), bar)
            finally:
                bar.close()
    reporter.finished(f"{role_name(role)} randomize", reader.count, time.perf_counter() - start,
                      {out_path: reader.count * RECORD_SIZE})


def _operator_run(home, public_key):
    """The operator's transaction ids of this run (path, header), checked to
    be made with the operator's `public_key`."""
    path = os.path.join(home, "transactions.ids")
    meta = read_header(path, "transaction-ids", again("operator query"))
    check_key(path, meta, OPERATOR, public_key, os.path.join(home, PUBLIC_KEY_FILE), again("operator query"))
    return path, meta


def combine_task(sender_records, receiver_records):
    return _call(vorlinde.combine, sender_records, receiver_records)


@recorded("operator", "combine")
def operator_combine(home, handover, reporter, chunk=STREAM_CHUNK, executor=None):
    executor = executor or Local()
    _, public_key = read_key(home, [OPERATOR], secret=False)
    known = parties.Trust(home, OPERATOR)
    ids_path, ids = _operator_run(home, public_key)
    run, count = ids["run"], ids["count"]
    queries_path = handover_path(handover, "operator.queries")
    in_paths = [handover_path(handover, f"{bank}.randomized") for bank in BANKS]
    readers = []
    paths = [handover_path(handover, "operator.for-sender-bank"), handover_path(handover, "operator.for-receiver-bank"),
             os.path.join(home, "gamma.points"), os.path.join(home, "delta.points")]
    metas = [{"to": "sender-bank"}, {"to": "receiver-bank"}, {"to": OPERATOR, "part": "gamma"},
             {"to": OPERATOR, "part": "delta"}]
    start = time.perf_counter()
    try:
        for bank, path in zip(BANKS, in_paths):
            hint = again("bank randomize", bank)
            readers.append(_open_stream(path, "records", bank, RECORD_SIZE, hint, run, count, known=known))
            check_made_from(path, readers[-1].meta, queries_path, ids["made_from"].get("operator.queries"), hint)
            _check_keys(path, readers[-1].meta, ids_path, ids, hint)
        chain = {"made_from": {os.path.basename(p): r.meta["blake2b"] for p, r in zip(in_paths, readers)},
                 "keys": ids["keys"]}
        with Outputs() as out:
            # The banks' columns are sealed for them; gamma and delta stay here.
            streams = [out.sealed(p, {"kind": "points", "role": OPERATOR, "run": run, "count": count, **chain, **m},
                                  known.me, [known.pinned(m["to"])]) if m["to"] != OPERATOR else
                       out.stream(p, {"kind": "points", "role": OPERATOR, "run": run, "count": count, **chain, **m})
                       for p, m in zip(paths, metas)]
            bar = reporter.bar(count, "operator: combining")
            try:
                with _reading(in_paths, "ask the banks to run `vorlinde-match bank randomize` again", readers):
                    _run_stream(executor, combine_task, readers, (), chunk, [_Writer(s, POINT_SIZE) for s in streams],
                                lambda r: r, bar)
            finally:
                bar.close()
                # The banks' files first: the operator's own two keep their
                # digests, to check the banks' decrypted points against.
                for s in streams[:2]:
                    s.close()
                handed = {os.path.basename(s.path): s.meta["blake2b"] for s in streams[:2]}
                for s in streams[2:]:
                    s.meta["handed_over"] = handed
                    s.close()
    finally:
        for r in readers:
            r.close()
    reporter.finished("operator combine", count, time.perf_counter() - start,
                      {p: count * POINT_SIZE for p in paths})


def decrypt_task(secret_key, points):
    return _call(vorlinde.decrypt, points, secret_key)


@recorded("bank", "decrypt")
def bank_decrypt(home, handover, reporter, chunk=STREAM_CHUNK, executor=None):
    executor = executor or Local()
    role, public_key, secret_key = read_key_pair(home, BANKS)
    known = parties.Trust(home, role)
    in_path = handover_path(handover, f"operator.for-{role}")
    out_path = handover_path(handover, f"{role}.decrypted")
    randomized_path = handover_path(handover, f"{role}.randomized")
    hint = again("operator combine", OPERATOR)
    start = time.perf_counter()
    with _open_stream(in_path, "points", OPERATOR, POINT_SIZE, hint, to=role, known=known) as reader, \
            Outputs() as out:
        check_key(in_path, reader.meta, role, public_key, os.path.join(home, PUBLIC_KEY_FILE),
                  f"{again('bank build')}, and the steps after it")
        if exists(randomized_path):  # this bank's own, if its handover still holds it
            randomized, _ = read_handed_over(randomized_path, "records", role, known, again("bank randomize"),
                                             open_it=False)
            check_made_from(in_path, reader.meta, randomized_path, randomized["blake2b"], hint)
        meta = {"kind": "points", "role": role, "run": reader.meta["run"], "count": reader.count, "to": OPERATOR,
                "made_from": {f"operator.for-{role}": reader.meta["blake2b"]}, "keys": reader.meta["keys"]}
        with out.sealed(out_path, meta, known.me, [known.pinned(OPERATOR)]) as writer:
            bar = reporter.bar(reader.count, f"{role_name(role)}: decrypting")
            try:
                with _reading([in_path], hint, [reader]):
                    _run_stream(executor, decrypt_task, [reader], (executor.share(secret_key),), chunk,
                                [_Writer(writer, POINT_SIZE)], lambda r: (r,), bar)
            finally:
                bar.close()
    reporter.finished(f"{role_name(role)} decrypt", reader.count, time.perf_counter() - start,
                      {out_path: reader.count * POINT_SIZE})


def finish_task(secret_key, sender_points, receiver_points, gamma, delta):
    """One byte per transaction, 1 for a match: Dask serialises a list item by
    item, which for a chunk of booleans costs more than the chunk's work."""
    return bytes(_call(vorlinde.finish, sender_points, receiver_points, gamma, delta, secret_key))


_WORDS = ("false", "true").__getitem__
_ENDINGS = (b",false\n", b",true\n").__getitem__


def result_rows(id_reader, flags):
    """The results' CSV rows (id, matched) of the next len(flags) queries, as
    their UTF-8 bytes. The joins, the csv writer, the words and zip run in C,
    with no Python step per transaction; an id that is plain in CSV is its
    own first field, so its row is its line's bytes and the ending, joined
    as they are read, with no text made of them."""
    plain = id_reader.plain(len(flags))
    if plain is not None:
        return b"".join(itertools.chain.from_iterable(zip(plain, map(_ENDINGS, flags))))
    return _csv_text(zip(id_reader.take(len(flags)), map(_WORDS, flags))).encode("utf-8")


@recorded("operator", "finish")
def operator_finish(home, handover, output, reporter, summary=None, chunk=STREAM_CHUNK, executor=None):
    executor = executor or Local()
    _, public_key, secret_key = read_key_pair(home, [OPERATOR])
    known = parties.Trust(home, OPERATOR)
    ids_path, ids = _operator_run(home, public_key)
    run, count = ids["run"], ids["count"]
    empty_sides = ids.get("empty_sides", 0)
    kept = [_open_stream(os.path.join(home, f"{part}.points"), "points", OPERATOR, POINT_SIZE,
                         again("operator combine"), run, count) for part in ("gamma", "delta")]
    readers = []
    id_reader = None
    matched = 0
    start = time.perf_counter()
    try:
        handed = kept[0].meta.get("handed_over")
        if handed is None or kept[1].meta.get("handed_over") != handed:
            raise StepError(f"{kept[0].path} and {kept[1].path} do not record the same files handed to the banks; "
                            f"{again('operator combine')}")
        for bank in BANKS:
            path = handover_path(handover, f"{bank}.decrypted")
            hint = again("bank decrypt", bank)
            readers.append(_open_stream(path, "points", bank, POINT_SIZE, hint, run, count, known=known))
            given = handover_path(handover, f"operator.for-{bank}")
            check_made_from(path, readers[-1].meta, given, handed.get(os.path.basename(given)), hint)
            _check_keys(path, readers[-1].meta, ids_path, ids, hint)
        readers += kept
        id_reader = IdReader(ids_path, ids)
        with Outputs() as out:
            with out.utf8(output) as results:
                results.write(_csv_text([(ids.get("column", "id"), "matched")]).encode("utf-8"))
                bar = reporter.bar(count, "operator: finishing")
                chunk = executor.balanced(count, chunk)
                try:
                    def jobs():
                        yield from zip(*(r.chunks(chunk) for r in readers))

                    with _reading([r.path for r in readers],
                                  "ask the banks to run `vorlinde-match bank decrypt` again", readers):
                        for flags in executor.map(finish_task, jobs(), (executor.share(secret_key),)):
                            results.write(result_rows(id_reader, flags))
                            matched += sum(flags)
                            bar.update(len(flags))
                finally:
                    bar.close()
                for r in readers:
                    r.verify()
                id_reader.finish()
            figures = {"run": run, "transactions": count, "matched": matched, "unmatched": count - matched,
                       "empty_sides": empty_sides, "results": output}
            if summary:
                import json

                with out.text(summary) as f:
                    json.dump(figures, f, indent=2)
                    f.write("\n")
    finally:
        for r in readers + [k for k in kept if k not in readers]:
            r.close()
        if id_reader is not None:
            id_reader.close()
    outputs = {output: os.path.getsize(output)}
    if summary:
        outputs[summary] = os.path.getsize(summary)
    reporter.finished("operator finish", count, time.perf_counter() - start, outputs, matched=matched,
                      unmatched=count - matched, empty_sides=empty_sides)
    return matched

