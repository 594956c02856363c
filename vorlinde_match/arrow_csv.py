"""Reading the body of a CSV table with pyarrow's streaming CSV reader: every
column as text, quoted line breaks kept, in blocks.

The csv module's reader (tables.py) defines what a table holds; this reader
is only its faster equal. Whatever it cannot vouch for gives up with
`Unsure` before any row of the block in question is handed out, and the
caller reads on with the csv module from the first row not yet handed out,
which then says what is wrong and where. Giving up happens on:

- anything pyarrow refuses (a row of another width, text that is not UTF-8,
  a row longer than a block): the csv module names the line;
- a field longer than the csv module's field size limit, which that reader
  refuses and pyarrow does not.

Blank lines are skipped by both. The reader starts at a record boundary of
a binary file (after the header, or where a slice of the table starts) and
stops at `end`, so a table can be read in slices cut at record boundaries.
"""

import codecs
import contextlib
import csv
import functools
import gc
import io

# Bytes per block: about ten thousand rows. pyarrow's streaming reader reads
# up to 32 blocks ahead on a thread of its own (a depth it does not let us
# set), so the block size bounds what reading holds: 32 MiB here, reached at
# any table of more than that, where 4 MiB blocks held up to 128 MiB and so
# grew with the table up to 128 MiB.
BLOCK_SIZE = 1 << 20
# Loading pyarrow takes about 0.4 s, which it wins back from about this many
# bytes of CSV on (it reads them about four times faster than the csv module).
WORTH_IT = 16 << 20


class Unsure(Exception):
    """This reader cannot vouch for the next block; read on with the csv module."""


def library():
    """pyarrow with its csv module, and the kernels this reader calls, or None
    when it is missing (it has no PyPy build)."""
    try:
        import pyarrow
        import pyarrow.csv
        _kernels()
    except ImportError:
        return None
    return pyarrow


@functools.lru_cache(maxsize=None)
def _kernels():
    """(call_function, IndexOptions): pyarrow's entry point to its compute
    kernels, taken from the extension that holds it. pyarrow.compute, which
    re-exports it, also wraps and documents every kernel as it is imported:
    about 50 ms of processor time in every step that reads a table, nearly
    as much as importing pyarrow itself."""
    try:
        from pyarrow._compute import IndexOptions, call_function
    except ImportError:  # a pyarrow that keeps them elsewhere
        from pyarrow.compute import IndexOptions, call_function
    return call_function, IndexOptions


def _call(name, *args):
    return _kernels()[0](name, list(args))


def header(file, limit=1 << 20):
    """The header of the CSV table in the seekable binary `file` (read from
    its start; where it is left is undefined), as the csv module reads it (a
    leading byte order mark dropped), and the byte offset where the rows
    start; None when the header is not whole and UTF-8 within the first
    `limit` bytes, or names no column (the csv module's reader then says
    what is wrong)."""
    file.seek(0)
    data = file.read(limit)
    start = 3 if data.startswith(codecs.BOM_UTF8) else 0
    # Bytes that are not UTF-8 become lone surrogates, one per byte, so that
    # the header's length in bytes can be told; not final: a character cut by
    # the limit is left undecoded.
    text = codecs.getincrementaldecoder("utf-8")("surrogateescape").decode(data[start:], final=len(data) < limit)
    lines = io.StringIO(text, newline="")
    taken = [0]

    def counted():
        for line in lines:
            taken[0] += len(line)
            yield line

    try:
        names = next(csv.reader(counted()))
    except (StopIteration, csv.Error):
        return None
    # Unless the file ended, the header must end before the text read does:
    # a "\r" read last may be the first half of a "\r\n".
    if not names or (taken[0] >= len(text) and len(data) == limit):
        return None
    try:
        return names, start + len(text[:taken[0]].encode("utf-8"))
    except UnicodeEncodeError:  # not UTF-8
        return None


class _Upto(io.RawIOBase):
    """The bytes of a binary file from where it stands up to offset `end`."""

    def __init__(self, file, end):
        self._file, self._left = file, max(0, end - file.tell())

    def readable(self):
        return True

    def readinto(self, buffer):
        data = self._file.read(min(len(buffer), self._left))
        buffer[:len(data)] = data
        self._left -= len(data)
        return len(data)


class Body:
    """The rows of a CSV table's body, read from the binary `file` where it
    stands (a record boundary) up to `end` (None: its end), `width` columns
    each, as pyarrow record batches whose columns are named by position."""

    def __init__(self, pa, file, width, end=None, block_size=None):
        self._pa = pa
        block_size = block_size or BLOCK_SIZE
        names = [str(i) for i in range(width)]
        source = file if end is None else io.BufferedReader(_Upto(file, end), block_size)
        self._limit = csv.field_size_limit()
        try:
            self._reader = pa.csv.open_csv(
                source,
                read_options=pa.csv.ReadOptions(column_names=names, block_size=block_size, use_threads=False),
                parse_options=pa.csv.ParseOptions(newlines_in_values=True, ignore_empty_lines=True),
                convert_options=pa.csv.ConvertOptions(column_types={n: pa.string() for n in names},
                                                      strings_can_be_null=False, quoted_strings_can_be_null=False,
                                                      check_utf8=True))
        except (pa.ArrowException, OSError) as error:  # the first block is parsed on opening
            raise Unsure(str(error)) from None

    def __iter__(self):
        pa = self._pa
        while True:
            try:
                batch = self._reader.read_next_batch()
            except StopIteration:
                return
            except (pa.ArrowException, OSError) as error:
                raise Unsure(str(error)) from None
            if batch.num_rows and any(_call("max", _call("binary_length", c)).as_py() > self._limit
                                      for c in batch.columns):
                raise Unsure("a field is longer than the csv module's limit")
            yield batch


@contextlib.contextmanager
def collector_paused():
    """No cyclic garbage collection while the rows' tuples are made: a
    million tuples would set off collections that walk every one of them
    again, costing more than making them (tuples of str form no cycles)."""
    was = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if was:
            gc.enable()


class Packed:
    """One column group's rows of a block, packed: each row's key (its values
    run together, as a store keys a row) joined by NUL into one UTF-8 bytes
    object (`keys`), made by pyarrow without a Python object per value; `len`
    is the number of rows and `first_empty` the first row whose key is empty
    (all its columns empty), or None. A group of one column packs its values."""

    SEPARATOR = b"\0"

    def __init__(self, keys, rows, first_empty):
        self.keys, self._rows, self.first_empty = keys, rows, first_empty

    def __len__(self):
        return self._rows


def _packed(pa, table, group):
    """The group's rows of `table` as a `Packed`, or None when a value holds a
    NUL (which packing cannot tell from the separator)."""
    count = table.num_rows
    columns = [table.column(i).combine_chunks() for i in group]
    keys = columns[0] if len(columns) == 1 else _call("binary_join_element_wise", *columns, pa.scalar(""))
    ends = pa.array([0, count], pa.int32())
    # The keys' bytes as they are (a view, no copy), joined by the separator.
    joined = _call("binary_join", pa.ListArray.from_arrays(ends, keys.view(pa.binary())),
                   pa.scalar(Packed.SEPARATOR))[0].as_py()
    if joined.count(Packed.SEPARATOR) != count - 1:
        return None
    call_function, IndexOptions = _kernels()
    empty = _call("equal", keys, pa.scalar(""))
    first = call_function("index", [empty], IndexOptions(value=pa.scalar(True))).as_py()
    return Packed(joined, count, None if first < 0 else first)


def rows(pa, batches, groups, packed=()):
    """Per group of column positions, the rows of `batches` as tuples of str
    (one-element tuples for one column): one conversion per column, the
    tuples made by zip, so no Python code runs per row. The groups whose
    index is in `packed` come as a `Packed` where they can."""
    table = pa.Table.from_batches(batches)
    out = [_packed(pa, table, group) if g in packed else None for g, group in enumerate(groups)]
    with collector_paused():
        columns = {i: table.column(i).to_pylist() for g, group in enumerate(groups) if out[g] is None for i in group}
        return [list(zip(*(columns[i] for i in group))) if out[g] is None else out[g]
                for g, group in enumerate(groups)]
