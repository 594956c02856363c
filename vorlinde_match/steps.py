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

Every per-transaction step works in chunks; the booleans of a run do not
depend on the chunk sizes, on where the chunks run or on partitioning.
"""

import csv
import io
import math
import os
import shutil
import tempfile
import time

import vorlinde

from . import partitions as parting
from .errors import OperationFailed, StepError
from .execution import Local
from .files import (BANKS, POINT_SIZE, RECORD_SIZE, IdReader, Outputs, StreamReader, check_from, check_run,
                    read_header, read_key, read_payload, role_name, write_failure, write_keys)
from .stages import pause
from .tables import Table

OPERATOR = "operator"

# Records per call of the streaming steps: about half a second per call on two
# cores, so that Ctrl-C and a scheduler's heartbeats get through between
# calls, while the per-call cost stays far below one per cent.
STREAM_CHUNK = 32768
# The query step parses both stores on every call; its chunks start at this
# size and then grow until parsing is at most about 1/30 of each call.
QUERY_FIRST_CHUNK = 8192
QUERY_MAX_CHUNK = 1 << 20
PARSE_SHARE = 30
BUILD_READ_CHUNK = 1 << 16


def _call(function, *args):
    pause("module call")
    try:
        return function(*args)
    except Exception:
        raise
    except BaseException as error:
        if type(error).__name__ == "PanicException":
            raise OperationFailed(f"{function.__name__} failed: {error}") from None
        raise


def handover_path(handover, name):
    return os.path.join(handover, name)


# Keys -------------------------------------------------------------------------

def make_keys(role, home, reporter):
    start = time.perf_counter()
    public_key, secret_key = vorlinde.key_gen()
    write_keys(home, role, public_key, secret_key)
    reporter.finished(f"{role_name(role)} keys", None, time.perf_counter() - start,
                      {os.path.join(home, "secret.key"): 32, os.path.join(home, "public.key"): 32})


# Bank: build ------------------------------------------------------------------

def build_task(public_key, rows):
    return _call(vorlinde.build_okvs, public_key, rows)


def _read_rows(table, reporter, desc):
    rows = []
    bar = reporter.bar(table.estimated_rows(), desc)
    try:
        for (chunk,) in table.chunks(BUILD_READ_CHUNK):
            rows.extend(chunk)
            bar.update(len(chunk))
    finally:
        bar.close()
    return rows


def bank_build(home, handover, accounts, columns, reporter, partitions=1, executor=None):
    """Builds the bank's store from the key columns of `accounts` into
    handover/<role>.store; with partitions > 1, one padded store per
    partition of the rows (see partitions.py)."""
    executor = executor or Local()
    role, public_key = read_key(home, BANKS, secret=False)
    out_path = handover_path(handover, f"{role}.store")
    start = time.perf_counter()
    with Table(accounts, [columns]) as table:
        if partitions == 1:
            rows = _read_rows(table, reporter, f"{role_name(role)}: reading {os.path.basename(accounts)}")
            if not rows:
                raise StepError(f"{accounts} has no rows; a bank's store needs at least one account")
            reporter.say(f"{role_name(role)}: building the store of {len(rows):,} rows in this process")
            stores = [build_task(public_key, rows)]
            count = len(rows)
            del rows
            layout = {}
        else:
            stores, count, layout = _build_partitioned(table, role, public_key, partitions, home, executor, reporter)
    meta = {"kind": "store", "role": role, "columns": len(columns), "partitions": partitions,
            "parts": [len(s) for s in stores], **layout}
    with Outputs() as out:
        with out.stream(out_path, meta) as writer:
            for store in stores:
                writer.write(store)
    reporter.finished(f"{role_name(role)} build", count, time.perf_counter() - start,
                      {out_path: sum(len(s) for s in stores)}, **({"partitions": partitions} if partitions > 1 else {}))


def _build_partitioned(table, role, public_key, partitions, home, executor, reporter):
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
        bar = reporter.bar(table.estimated_rows(), f"{role_name(role)}: partitioning rows")
        try:
            for (chunk,) in table.chunks(BUILD_READ_CHUNK):
                for row in chunk:
                    writers[parting.partition_of(parting.key_of(row), seed, partitions)].writerow(row)
                count += len(chunk)
                bar.update(len(chunk))
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
            raise StepError(f"{table.path} has no rows; a bank's store needs at least one account")

        def distinct_rows(p):
            seen = {}
            with open(paths[p], newline="", encoding="utf-8") as f:
                for row in csv.reader(f):
                    seen.setdefault(parting.key_of(row), row)
            return list(seen.values())

        sizes = [len(distinct_rows(p)) for p in range(partitions)]
        distinct = sum(sizes)
        size = parting.padded_size(distinct, partitions)
        if max(sizes) > size:
            raise StepError(f"a partition of {table.path} holds {max(sizes):,} distinct keys, more than the {size:,} "
                            "every partition is padded to (this happens about once in a billion builds); "
                            "run the build again, which draws a new partition seed")
        reporter.say(f"{role_name(role)}: {distinct:,} distinct keys in {partitions} partitions, each padded to "
                     f"{size:,} keys; building on {executor.description}")
        shared = (executor.share(public_key),)
        jobs = ((distinct_rows(p) + parting.dummy_rows(size - sizes[p]),) for p in range(partitions))
        stores = []
        bar = reporter.bar(partitions, f"{role_name(role)}: building partition stores")
        try:
            for store in executor.map(build_task, jobs, shared):
                stores.append(store)
                bar.update(1)
        finally:
            bar.close()
        return stores, count, {"partition_seed": seed.hex(), "keys_per_partition": size}
    finally:
        shutil.rmtree(spill, ignore_errors=True)


# Operator: query --------------------------------------------------------------

def _read_store(handover, role):
    path = handover_path(handover, f"{role}.store")
    meta = read_header(path, "store")
    check_from(path, meta, role)
    parts = meta.get("parts")
    partitions = meta.get("partitions")
    if not isinstance(parts, list) or partitions != len(parts) or sum(parts) != meta["bytes"] or partitions < 1:
        raise StepError(f"{path} has an inconsistent partition table; ask the {role_name(role)} for its store again")
    try:
        seed = bytes.fromhex(str(meta.get("partition_seed", ""))) if partitions > 1 else b""
    except ValueError:
        seed = b""
    if partitions > 1 and len(seed) != parting.SEED_BYTES:
        raise StepError(f"{path} has no valid partition seed; ask the {role_name(role)} for its store again")
    payload = read_payload(path, meta)
    stores, at = [], 0
    for length in parts:
        stores.append(payload[at:at + length])
        at += length
    del payload
    return path, stores, (partitions, seed), meta.get("columns")


def query_task(sender_stores, receiver_stores, layouts, public_key, sender_rows, receiver_rows):
    """The records of one chunk of queries, in query order, and the seconds
    the chunk took where it ran."""
    start = time.perf_counter()
    if len(sender_stores) == 1 and len(receiver_stores) == 1:
        records = _call(vorlinde.initiate_queries, sender_rows, receiver_rows, sender_stores[0],
                        receiver_stores[0], public_key)
    else:
        pieces = [b""] * len(sender_rows)
        for (sp, rp), positions in parting.group_queries(sender_rows, receiver_rows, *layouts).items():
            group = _call(vorlinde.initiate_queries, [sender_rows[i] for i in positions],
                          [receiver_rows[i] for i in positions], sender_stores[sp], receiver_stores[rp], public_key)
            for j, i in enumerate(positions):
                pieces[i] = group[j * RECORD_SIZE:(j + 1) * RECORD_SIZE]
        records = b"".join(pieces)
    return records, time.perf_counter() - start


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


def operator_query(home, handover, transactions, sender_columns, receiver_columns, id_column, reporter,
                   chunk_rows=None, executor=None):
    executor = executor or Local()
    _, public_key = read_key(home, [OPERATOR], secret=False)
    sender_path, sender_stores, sender_layout, sender_width = _read_store(handover, "sender-bank")
    receiver_path, receiver_stores, receiver_layout, receiver_width = _read_store(handover, "receiver-bank")
    layouts = (sender_layout, receiver_layout)
    for path, width, columns, option in ((sender_path, sender_width, sender_columns, "--sender-columns"),
                                         (receiver_path, receiver_width, receiver_columns, "--receiver-columns")):
        if width != len(columns):
            # Not an error: keys are the columns' values joined, so a bank's
            # full name may stand for the operator's first and last names.
            reporter.warn(f"{path} was built from {width} key columns, {option} names {len(columns)}; "
                          "keys are the values joined, so check that they correspond")
    run = os.urandom(8).hex()
    out_path = handover_path(handover, "operator.queries")
    ids_path = os.path.join(home, "transactions.ids")
    start = time.perf_counter()
    with Table(transactions, [sender_columns, receiver_columns, [id_column]]) as table:
        groups = len(sender_stores) * len(receiver_stores)
        parse = 0.0
        if not chunk_rows:
            # The time of a one-row call is the time to parse the stores; the
            # first call of a process also starts the module's pool and faults
            # its memory in, so the second is the one that counts.
            probe = [["\x00 parse probe"]]
            parse = min(query_task(sender_stores[:1], receiver_stores[:1], layouts, public_key, probe, probe)[1]
                        for _ in range(2))
        sizes = _QueryChunks(chunk_rows, parse, groups)
        shared = (executor.share(sender_stores), executor.share(receiver_stores), layouts, public_key)
        del sender_stores, receiver_stores
        counted, calls = [0], [0]

        def jobs(out_ids):
            for sender_rows, receiver_rows, ids in table.chunks(sizes):
                ids_writer.writerows(ids)
                out_ids.write(ids_buffer.getvalue().encode("utf-8"))
                ids_buffer.seek(0)
                ids_buffer.truncate()
                counted[0] += len(ids)
                yield sender_rows, receiver_rows

        ids_buffer = io.StringIO()
        ids_writer = csv.writer(ids_buffer, lineterminator="\n")
        meta = {"role": OPERATOR, "run": run}
        bar = reporter.bar(table.estimated_rows(), "operator: querying the stores")
        with Outputs() as out:
            # The table's real path stays in the home, so that no later output
            # of this party replaces it.
            with out.stream(ids_path, {"kind": "transaction-ids", "column": id_column, **meta,
                                       "transactions": os.path.realpath(transactions)}) as id_file, \
                    out.stream(out_path, {"kind": "records", **meta}) as records_file:
                try:
                    for records, seconds in executor.map(query_task, jobs(id_file), shared):
                        calls[0] += 1
                        rows = len(records) // RECORD_SIZE
                        records_file.write(records)
                        sizes.measured(rows, seconds)
                        bar.update(rows)
                finally:
                    bar.close()
                count = counted[0]
                id_file.meta["count"] = records_file.meta["count"] = count
                if records_file.bytes != count * RECORD_SIZE:
                    raise StepError("internal error: the records do not line up with the transactions")
    seconds = time.perf_counter() - start
    extra = {"run": run}
    if parse:
        extra["store_parsing"] = f"about {100 * parse * groups * calls[0] / seconds:.1f} % of the step"
    reporter.finished("operator query", count, seconds, {out_path: count * RECORD_SIZE}, **extra)


# Banks: randomize, decrypt; operator: combine, finish ---------------------------

def _open_stream(path, kind, sender, item_size, run=None, count=None, to=None):
    meta = read_header(path, kind)
    check_from(path, meta, sender)
    if run is not None:
        check_run(path, meta, run)
    if to is not None and meta.get("to") != to:
        raise StepError(f"{path} is meant for the {role_name(str(meta.get('to')))}, not the {role_name(to)}; "
                        f"use operator.for-{to}")
    reader = StreamReader(path, meta, item_size)
    if reader.count != meta.get("count"):
        raise StepError(f"{path} holds {reader.count:,} items where its header says {meta.get('count')}")
    if count is not None and reader.count != count:
        reader.close()
        raise StepError(f"{path} holds {reader.count:,} items, but this run has {count:,} transactions; "
                        "it belongs to another run or was cut short")
    return reader


def _run_stream(executor, task, readers, shared, chunk, writers, split, bar):
    """Feeds the readers' chunks to `task` and writes its results."""
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


def bank_randomize(home, handover, reporter, chunk=STREAM_CHUNK, executor=None):
    executor = executor or Local()
    role, _ = read_key(home, BANKS, secret=False)
    in_path = handover_path(handover, "operator.queries")
    out_path = handover_path(handover, f"{role}.randomized")
    start = time.perf_counter()
    with _open_stream(in_path, "records", OPERATOR, RECORD_SIZE) as reader, Outputs() as out:
        meta = {"kind": "records", "role": role, "run": reader.meta["run"], "count": reader.count}
        with out.stream(out_path, meta) as writer:
            bar = reporter.bar(reader.count, f"{role_name(role)}: re-randomizing")
            try:
                _run_stream(executor, randomize_task, [reader], (), chunk, [_Writer(writer, RECORD_SIZE)],
                            lambda r: (r,), bar)
            finally:
                bar.close()
    reporter.finished(f"{role_name(role)} randomize", reader.count, time.perf_counter() - start,
                      {out_path: reader.count * RECORD_SIZE})


def _operator_run(home):
    path = os.path.join(home, "transactions.ids")
    meta = read_header(path, "transaction-ids")
    return path, meta


def combine_task(sender_records, receiver_records):
    return _call(vorlinde.combine, sender_records, receiver_records)


def operator_combine(home, handover, reporter, chunk=STREAM_CHUNK, executor=None):
    executor = executor or Local()
    read_key(home, [OPERATOR], secret=False)
    _, ids = _operator_run(home)
    run, count = ids["run"], ids["count"]
    readers = [_open_stream(handover_path(handover, f"{bank}.randomized"), "records", bank, RECORD_SIZE, run, count)
               for bank in BANKS]
    paths = [handover_path(handover, "operator.for-sender-bank"), handover_path(handover, "operator.for-receiver-bank"),
             os.path.join(home, "gamma.points"), os.path.join(home, "delta.points")]
    metas = [{"to": "sender-bank"}, {"to": "receiver-bank"}, {"to": OPERATOR, "part": "gamma"},
             {"to": OPERATOR, "part": "delta"}]
    start = time.perf_counter()
    try:
        with Outputs() as out:
            streams = [out.stream(p, {"kind": "points", "role": OPERATOR, "run": run, "count": count, **m})
                       for p, m in zip(paths, metas)]
            bar = reporter.bar(count, "operator: combining")
            try:
                _run_stream(executor, combine_task, readers, (), chunk, [_Writer(s, POINT_SIZE) for s in streams],
                            lambda r: r, bar)
            finally:
                bar.close()
                for s in streams:
                    s.close()
    finally:
        for r in readers:
            r.close()
    reporter.finished("operator combine", count, time.perf_counter() - start,
                      {p: count * POINT_SIZE for p in paths})


def decrypt_task(secret_key, points):
    return _call(vorlinde.decrypt, points, secret_key)


def bank_decrypt(home, handover, reporter, chunk=STREAM_CHUNK, executor=None):
    executor = executor or Local()
    role, secret_key = read_key(home, BANKS, secret=True)
    in_path = handover_path(handover, f"operator.for-{role}")
    out_path = handover_path(handover, f"{role}.decrypted")
    start = time.perf_counter()
    with _open_stream(in_path, "points", OPERATOR, POINT_SIZE, to=role) as reader, Outputs() as out:
        meta = {"kind": "points", "role": role, "run": reader.meta["run"], "count": reader.count}
        with out.stream(out_path, meta) as writer:
            bar = reporter.bar(reader.count, f"{role_name(role)}: decrypting")
            try:
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


def operator_finish(home, handover, output, reporter, summary=None, chunk=STREAM_CHUNK, executor=None):
    executor = executor or Local()
    _, secret_key = read_key(home, [OPERATOR], secret=True)
    ids_path, ids = _operator_run(home)
    run, count = ids["run"], ids["count"]
    readers = [_open_stream(handover_path(handover, f"{bank}.decrypted"), "points", bank, POINT_SIZE, run, count)
               for bank in BANKS]
    for part in ("gamma", "delta"):
        readers.append(_open_stream(os.path.join(home, f"{part}.points"), "points", OPERATOR, POINT_SIZE, run, count))
    id_reader = IdReader(ids_path, ids)
    matched = 0
    start = time.perf_counter()
    try:
        with Outputs() as out:
            with out.text(output) as results:
                writer = csv.writer(results, lineterminator="\n")
                writer.writerow([ids.get("column", "id"), "matched"])
                bar = reporter.bar(count, "operator: finishing")
                try:
                    def jobs():
                        yield from zip(*(r.chunks(chunk) for r in readers))

                    for flags in executor.map(finish_task, jobs(), (executor.share(secret_key),)):
                        writer.writerows([tid, "true" if flag else "false"]
                                         for tid, flag in zip(id_reader.take(len(flags)), flags))
                        matched += sum(flags)
                        bar.update(len(flags))
                finally:
                    bar.close()
                for r in readers:
                    r.verify()
                id_reader.finish()
            figures = {"run": run, "transactions": count, "matched": matched, "unmatched": count - matched,
                       "results": output}
            if summary:
                import json

                with out.text(summary) as f:
                    json.dump(figures, f, indent=2)
                    f.write("\n")
    finally:
        for r in readers:
            r.close()
        id_reader.close()
    outputs = {output: os.path.getsize(output)}
    if summary:
        outputs[summary] = os.path.getsize(summary)
    reporter.finished("operator finish", count, time.perf_counter() - start, outputs, matched=matched,
                      unmatched=count - matched)
    return matched

