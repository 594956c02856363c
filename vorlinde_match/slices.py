"""Slices of a party's CSV table that a Dask worker reads for itself, so that
the client does not read, pickle and send every chunk of rows.

The client makes one pass over the file's bytes to find where records start:
a line break ends a record exactly when an even number of quote characters
comes before it. That holds while every quote is where RFC 4180 puts one,
which the pass checks quote by quote: a quote with an even count before it
opens a field, so it follows a comma, a line break, another quote or the
header's start; one with an odd count before it closes a field or doubles a
quote, so a comma, a line break, another quote or the end of the file
follows it. At the first quote that breaks this (a quote inside an unquoted
value, which the reader takes literally) the count no longer tells, and the
rest of the file becomes one slice. The pass costs a C-speed search per
block and a few steps per quote: a file whose values need no quotes costs
only the search.

A slice is the header's bytes plus the bytes [start, end) of the file,
parsed by the same Table as a local step, and its BLAKE2b digest as the
client read it: a worker that reads other bytes (another file at the same
path, or one changed since) refuses to go on. A worker that cannot see the
file at all is found before the step starts (`visible`), and the step then
reads on the client.
"""

import hashlib
import io
import os

from .errors import RowsError, StepError
from .tables import Table

SCAN_BLOCK = 1 << 22
BOM = b"\xef\xbb\xbf"
# Bytes that may stand beside a quote on its outer side (see above).
FIELD_EDGE = frozenset(b'",\r\n')


class RowGroups:
    """A slice of a Parquet file: its row groups `indices`, the digest of the
    file's footer (its schema, row groups and their places) and the file's
    size and modification time; `progress`: the rows up to its end."""

    __slots__ = ("path", "indices", "digest", "identity", "progress")

    def __init__(self, path, indices, digest, identity, progress):
        self.path, self.indices, self.digest, self.identity, self.progress = (path, indices, digest, identity,
                                                                              progress)

    def read(self, groups, integers_as_text=False):
        """The rows of these row groups, per column group, as Table reads them."""
        if identity(self.path) != self.identity or _footer_digest(self.path) != self.digest:
            raise _changed(self)
        return _rows(Table(self.path, groups, integers_as_text, row_groups=self.indices), groups)


def _footer_digest(path):
    """BLAKE2b of a Parquet file's footer (its metadata and length), or None."""
    try:
        with open(path, "rb") as f:
            f.seek(-8, os.SEEK_END)
            tail = f.read(8)
            length = int.from_bytes(tail[:4], "little")
            f.seek(-8 - length, os.SEEK_END)
            return hashlib.blake2b(f.read(length) + tail, digest_size=32).digest()
    except (OSError, ValueError):
        return None


def parquet_slices(path, rows):
    """Groups the row groups of the Parquet file `path` into slices of at
    least `rows()` rows each (called per slice), short of the last."""
    import pyarrow.parquet as pq

    mark, digest = identity(path), _footer_digest(path)
    try:
        metadata = pq.read_metadata(path)
    except Exception as error:  # pyarrow raises its own types for damaged files
        raise StepError(f"cannot read {path} as Parquet: {error}") from None
    indices, counted, done = [], 0, 0
    for i in range(metadata.num_row_groups):
        if not indices:
            wanted = rows()
        indices.append(i)
        counted += metadata.row_group(i).num_rows
        if counted >= wanted:
            done += counted
            yield RowGroups(path, indices, digest, mark, done)
            indices, counted = [], 0
    if indices:
        yield RowGroups(path, indices, digest, mark, done + counted)


class Slice:
    """What a task needs to read its rows: the file, the header's bytes, the
    byte range and the digest the client saw, and the file's size and
    modification time (a first, cheap check)."""

    __slots__ = ("path", "header", "start", "end", "digest", "identity")

    def __init__(self, path, header, start, end, digest, identity):
        self.path, self.header, self.start, self.end = path, header, start, end
        self.digest, self.identity = digest, identity

    @property
    def progress(self):
        return self.end

    def read(self, groups, integers_as_text=False):
        """The rows of the slice, per column group, as Table reads them.
        Raises StepError when the bytes are not the client's, RowsError for
        a fault in the rows."""
        if identity(self.path) != self.identity:
            raise _changed(self)
        try:
            with open(self.path, "rb") as f:
                f.seek(self.start)
                data = f.read(self.end - self.start)
        except OSError:
            raise _changed(self) from None
        if hashlib.blake2b(data, digest_size=32).digest() != self.digest:
            raise _changed(self)
        return _rows(Table(self.path, groups, integers_as_text, source=io.BytesIO(self.header + data)), groups)


def identity(path):
    """(size, modification time in ns) of `path`, or None when it cannot be
    seen from here."""
    try:
        st = os.stat(path)
    except OSError:
        return None
    return st.st_size, st.st_mtime_ns


def visible(executor, path):
    """Whether every worker of `executor` sees the file that this process
    sees at `path` (same size and modification time)."""
    mine = identity(path)
    return mine is not None and all(theirs == mine for theirs in executor.everywhere(identity, path))


def csv_slices(path, rows):
    """Cuts the CSV file `path` into slices of about `rows()` records each
    (called per slice; records are counted by bytes per line so far),
    lazily, in one pass front to back. Raises StepError when the file cannot
    be read."""
    try:
        fd = os.open(path, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
    except OSError as error:
        raise StepError(f"cannot read {path}: {error.strerror}") from None
    try:
        seen = os.fstat(fd)
        size, mark = seen.st_size, (seen.st_size, seen.st_mtime_ns)
        first = len(BOM) if os.pread(fd, len(BOM), 0) == BOM else 0
        header = start = target = None
        digest = hashlib.blake2b(digest_size=32)
        scanned = lines = 0  # bytes and line breaks so far, for the bytes of a slice
        at, inside, previous, broken = first, False, None, False
        while at < size:
            data = os.pread(fd, SCAN_BLOCK + 1, at)
            block = data[:SCAN_BLOCK]
            if not block:
                break
            following = data[SCAN_BLOCK] if len(data) > SCAN_BLOCK else None
            scanned, lines = scanned + len(block), lines + block.count(b"\n")
            taken = 0  # the block's bytes before `taken` are in a digest already
            p = 0
            while not broken and p < len(block):
                q = block.find(b'"', p)
                stop = len(block) if q < 0 else q
                while not inside:  # the record ends in [p, stop)
                    if header is None:
                        i = block.find(b"\n", p, stop)
                        if i < 0:
                            break
                        header = os.pread(fd, at + i + 1, 0)
                        start = at + i + 1
                        taken = p = i + 1
                        continue
                    if target is None:
                        target = start + max(1, round(rows() * scanned / max(1, lines)))
                    t = max(p, target - at)
                    if t >= stop:
                        break
                    i = block.find(b"\n", t, stop)
                    if i < 0:
                        break
                    end = at + i + 1
                    digest.update(block[taken:i + 1])
                    yield Slice(path, header, start, end, digest.digest(), mark)
                    digest = hashlib.blake2b(digest_size=32)
                    start, taken, p, target = end, i + 1, i + 1, None
                if q < 0:
                    break
                if inside:
                    after = block[q + 1] if q + 1 < len(block) else following
                    placed = after is None or after in FIELD_EDGE
                else:
                    before = block[q - 1] if q > 0 else previous
                    placed = before is None or at + q == first or before in FIELD_EDGE
                broken = not placed
                inside = not inside
                p = q + 1
            if header is not None:
                digest.update(block[taken:])
            previous, at = block[-1], at + len(block)
        if header is None:  # no line break outside quotes: the file is one slice
            yield Slice(path, b"", 0, size, _digest_of(fd, size), mark)
        elif start < size:
            yield Slice(path, header, start, size, digest.digest(), mark)
    finally:
        os.close(fd)


def _digest_of(fd, size):
    digest = hashlib.blake2b(digest_size=32)
    for at in range(0, size, SCAN_BLOCK):
        digest.update(os.pread(fd, SCAN_BLOCK, at))
    return digest.digest()


def _changed(piece):
    return StepError(f"{piece.path} is not the file this step began to read, where a Dask worker reads it (it "
                     "changed, or the worker sees another file at that path); run the step again on the same file")


def _rows(table, groups):
    """Every row of `table`, per column group."""
    rows = [[] for _ in groups]
    try:
        with table:
            for chunk in table.chunks(1 << 20):
                for into, part in zip(rows, chunk):
                    into.extend(part)
    except StepError as error:  # its line is counted from the slice's start
        raise RowsError(str(error)) from None
    return rows
