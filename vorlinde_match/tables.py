"""Reading the parties' tables (CSV, or Parquet when pyarrow is installed) and
taking the key columns out of them.

An input is read once, front to back, so that a pipe gives the same rows as
a file: progress comes from the bytes read out of a regular file's size (or
Parquet's row count), never from a first pass. A CSV file is read by
pyarrow's CSV reader when pyarrow is installed (arrow_csv.py), with the csv
module's reader as its fallback and its definition: both give the same rows
and the same messages. Only regular files are opened
by name; a pipe is read only when the user named it as one (`-`, /dev/stdin,
or a /dev/fd path such as a shell's `<(...)`), so that a FIFO planted where a
file belongs cannot block a step."""

import codecs
import csv
import io
import itertools
import operator
import os
import re
import stat

from . import arrow_csv
from .errors import StepError
from .stages import pause

STDIN = "-"
READ_BUFFER = 1 << 16
PARQUET_MAGIC = b"PAR1"
# Paths that name a descriptor this process already holds: a pipe behind one
# was set up by the user's own shell, not found lying in a folder.
_DESCRIPTOR_PATH = re.compile(r"/dev/stdin|/dev/fd/[0-9]+|/proc/self/fd/[0-9]+")
_LINE_BREAK = re.compile(r"\r\n|\r|\n")
# "csv" makes every CSV table be read by the csv module, "arrow" by pyarrow
# (refused when it is missing); by default pyarrow reads files large enough
# to be worth loading it, when it is installed.
READER_VARIABLE = "VORLINDE_MATCH_CSV_READER"


def _columnar(size):
    """pyarrow, when it is to read a CSV file of `size` bytes; None for the
    csv module."""
    wanted = os.environ.get(READER_VARIABLE, "")
    if wanted == "csv" or (not wanted and size < arrow_csv.WORTH_IT):
        return None
    if wanted not in ("", "arrow"):
        raise StepError(f"{READER_VARIABLE}={wanted!r}: give csv or arrow, or leave it unset")
    pa = arrow_csv.library()
    if pa is None and wanted == "arrow":
        raise StepError(f"{READER_VARIABLE}=arrow needs pyarrow: pip install pyarrow")
    return pa


def split_columns(text, option):
    columns = [c.strip() for c in text.split(",")]
    if not text.strip() or any(not c for c in columns):
        raise StepError(f"{option} {text!r}: give the column names separated by commas, e.g. {option} iban,name")
    return columns


def _line_of_bad_utf8(path):
    """The line of the first byte of `path` that is not UTF-8, or None when it
    cannot be read a second time (a pipe)."""
    if path == STDIN or not os.path.isfile(path):
        return None
    decoder = codecs.getincrementaldecoder("utf-8")()
    line = 1
    with open(path, "rb") as f:
        while True:
            block = f.read(READ_BUFFER)
            try:
                decoder.decode(block, final=not block)
            except UnicodeDecodeError as error:
                # error.object is the decoder's few pending bytes (no line
                # break among them) followed by this block.
                return line + error.object.count(b"\n", 0, error.start)
            if not block:
                return None
            line += block.count(b"\n")


def input_name(path):
    """How messages name an input."""
    return "standard input (-)" if path == STDIN else path


def _is_parquet(path):
    return path.lower().endswith((".parquet", ".pq"))


def _kind(mode):
    for test, name in ((stat.S_ISDIR, "a folder"), (stat.S_ISFIFO, "a named pipe (FIFO)"),
                       (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"),
                       (stat.S_ISSOCK, "a socket")):
        if test(mode):
            return name
    return "not a regular file"


def _named_stream(path):
    """Whether `path` names standard input or a descriptor already open."""
    return path == STDIN or bool(_DESCRIPTOR_PATH.fullmatch(path))


def _acceptable(path, mode):
    """A regular file always; a pipe or socket only when named as one."""
    if stat.S_ISREG(mode):
        return True
    return _named_stream(path) and (stat.S_ISFIFO(mode) or stat.S_ISSOCK(mode))


def _refuse(path, mode):
    if path == STDIN:
        if stat.S_ISCHR(mode) and os.isatty(0):
            raise StepError("standard input (-) is a terminal: pipe the table in (... | vorlinde-match ... -) "
                            "or name its file")
        raise StepError(f"standard input (-) is {_kind(mode)}, not a pipe or a file: pipe the table in or name "
                        "its file")
    raise StepError(f"{path} is {_kind(mode)}, not a regular file; name the table's file, or pipe it in with - "
                    "(standard input)")


def check_input(path):
    """Refuses an input that is missing, or not a regular file and not an
    explicit pipe, without opening it (opening a FIFO can block, opening a
    device can act on it). Returns its os.stat_result."""
    try:
        st = os.fstat(0) if path == STDIN else os.stat(path)
    except FileNotFoundError:
        raise StepError(f"{path}: no such file") from None
    except OSError as error:
        raise StepError(f"cannot read {input_name(path)}: {error.strerror}") from None
    if not _acceptable(path, st.st_mode):
        _refuse(path, st.st_mode)
    return st


def open_input(path):
    """The input as a buffered binary file, after `check_input`. A name is
    opened without waiting (O_NONBLOCK) and checked again on the open
    descriptor, so a file swapped for a FIFO after the check is refused too."""
    check_input(path)
    if path == STDIN:
        fd = os.dup(0)  # standard input's own flags are shared with the shell: left alone
    else:
        try:
            fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_NOCTTY", 0) | getattr(os, "O_CLOEXEC", 0))
        except OSError as error:
            raise StepError(f"cannot read {path}: {error.strerror}") from None
        mode = os.fstat(fd).st_mode
        if not _acceptable(path, mode):
            os.close(fd)
            _refuse(path, mode)
        os.set_blocking(fd, True)
    return io.BufferedReader(io.FileIO(fd, "rb", closefd=True), READ_BUFFER)


def refuse_shared_pipes(paths):
    """Refuses inputs of one step that would read the same pipe: it can be
    read only once, so the later one would find it drained."""
    seen = set()
    for path in paths:
        if path is None or not _named_stream(path):
            continue
        stream = "stdin" if path in (STDIN, "/dev/stdin", "/dev/fd/0", "/proc/self/fd/0") else path
        if stream in seen:
            if stream == "stdin":
                raise StepError("only one input can be standard input (-, /dev/stdin); name the others' files")
            raise StepError(f"{path} is named for two inputs, but a pipe can be read only once; name a file for "
                            "one of them")
        seen.add(stream)


def _picker(columns):
    """A function taking the given columns out of a block of rows, at C
    speed: tuples of the columns (one-element tuples for one column)."""
    if len(columns) == 1:
        pick = operator.itemgetter(columns[0])
        return lambda block: list(zip(map(pick, block)))
    pick = operator.itemgetter(*columns)
    return lambda block: list(map(pick, block))


def first_empty(rows, width):
    """The index of the first row whose `width` columns are all empty, or
    None (a C-speed scan: rows are tuples, or an arrow_csv.Packed, which
    knows)."""
    if isinstance(rows, arrow_csv.Packed):
        return rows.first_empty
    try:
        return rows.index(("",) * width)
    except ValueError:
        return None


def _physical_lines(row):
    """The lines a parsed CSV row took in its file: one, plus the line breaks
    inside its quoted fields (a blank line is an empty row of one line)."""
    return 1 + sum(len(_LINE_BREAK.findall(field)) for field in row)


# Parquet column types ----------------------------------------------------------

def _text_type(pa, t):
    """Whether a Parquet column of type `t` holds text as it was written."""
    if pa.types.is_dictionary(t):
        t = t.value_type
    is_view = getattr(pa.types, "is_string_view", lambda _: False)
    return pa.types.is_string(t) or pa.types.is_large_string(t) or is_view(t) or pa.types.is_null(t)


def _integer_type(pa, t):
    if pa.types.is_dictionary(t):
        t = t.value_type
    return pa.types.is_integer(t)


def _non_text_message(path, name, t, pa, integers_as_text):
    head = f"{path}: column {name} is {t}, not text"
    if _integer_type(pa, t):
        return (f"{head}; store it as text (string) in the file, keeping any leading zeros, or pass "
                "--integers-as-text to read its integers as decimal text (leading zeros are not restored)")
    if integers_as_text:
        head += " (--integers-as-text converts only integer columns)"
    base = t.value_type if pa.types.is_dictionary(t) else t
    if pa.types.is_floating(base):
        why = "a floating-point value has no single text form (100001 reads 100001.0)"
    elif pa.types.is_decimal(base):
        why = "a decimal number loses its leading zeros"
    elif (pa.types.is_binary(base) or pa.types.is_large_binary(base) or pa.types.is_fixed_size_binary(base)
          or getattr(pa.types, "is_binary_view", lambda _: False)(base)):
        why = "bytes are not text until decoded"
    else:
        why = "its values have no text form that the other parties would write the same way"
    return f"{head}: {why}; store it as text (UTF-8 string) in the file, written as the other parties write it"


class Table:
    """A table read once, in chunks of rows, each row the tuple of the named
    columns' values (as str). Text columns are read as they are; a Parquet
    column of another type is refused, except integers when
    `integers_as_text` asks for them as decimal text."""

    def __init__(self, path, column_groups, integers_as_text=False, source=None, row_groups=None):
        """`column_groups` lists groups of column names; every chunk holds,
        per group, the rows of those columns. `source`: a binary file object
        holding CSV text to read in place of opening `path` (a slice of it,
        headed by its header; `path` still names it in messages).
        `row_groups`: of a Parquet file, read only these."""
        self.path = path
        self._row_groups = row_groups
        self.name = input_name(path)
        self.groups = column_groups
        self.integers_as_text = integers_as_text
        self._file = open_input(path) if source is None else source
        try:
            if source is not None:
                self._regular, self._size, self.parquet = False, None, False
            else:
                st = os.fstat(self._file.fileno())
                self._regular, self._size = stat.S_ISREG(st.st_mode), st.st_size
                if _named_stream(path):  # no file name to go by
                    self.parquet = self._file.peek(len(PARQUET_MAGIC))[:len(PARQUET_MAGIC)] == PARQUET_MAGIC
                else:
                    self.parquet = _is_parquet(path)
            self.csv_reader = None  # "arrow" or "csv" for a CSV table
            self._rows_read = 0  # rows yielded so far
            self._chunk_start = 0  # rows yielded before the current chunk
            if self.parquet:
                self._open_parquet()
            else:
                self._open_csv()
        except BaseException:
            self.close()
            raise

    def _refuse_missing_or_repeated(self, header):
        wanted = [name for group in self.groups for name in group]
        for name in wanted:
            if name not in header:
                shown = ", ".join(header) if len(header) <= 20 else ", ".join(header[:20]) + ", ..."
                raise StepError(f"{self.name} has no column {name!r} (its columns: {shown}); "
                                "name the key columns on the command line")
        # Only a column the step reads makes a repeat ambiguous; other repeated
        # names are the file's own business.
        for name in dict.fromkeys(wanted):
            places = [i + 1 for i, h in enumerate(header) if h == name]
            if len(places) > 1:
                raise StepError(f"{self.name}: column {name!r} appears {len(places)} times in the header (columns "
                                f"{', '.join(map(str, places))}); rename the others so that it names one column")

    # CSV

    def _open_csv(self):
        self.csv_reader = "csv"
        # A pipe is read once, so the csv module reads it, counting lines
        # for the messages as it goes.
        pa = _columnar(self._size) if self._regular else None
        found = arrow_csv.header(self._file) if pa is not None else None
        if found is not None:
            header, offset = found
            self._refuse_missing_or_repeated(header)
            self.width = len(header)
            self._index = [[header.index(name) for name in group] for group in self.groups]
            self._file.seek(offset)
            self._pa, self.csv_reader = pa, "arrow"
            self._block = None
            return
        if pa is not None:
            self._file.seek(0)
        self._open_csv_module()

    def _open_csv_module(self):
        self._text = io.TextIOWrapper(self._file, encoding="utf-8-sig", newline="")
        self._reader = csv.reader(self._text)
        try:
            header = next(self._reader)
        except StopIteration:
            raise StepError(f"{self.name} is empty: a CSV file needs a header line naming its columns") from None
        except UnicodeDecodeError:
            raise StepError(f"{self.name} is not UTF-8 text; save it as UTF-8 CSV") from None
        except csv.Error as error:
            raise StepError(f"{self.name}, line {self._reader.line_num}: {error}") from None
        except OSError as error:
            raise StepError(f"cannot read {self.name}: {error.strerror}") from None
        self._refuse_missing_or_repeated(header)
        self.width = len(header)
        self._index = [[header.index(name) for name in group] for group in self.groups]
        self._block = None  # (line before the block, its rows as read, kept row positions or None)

    # Progress

    @property
    def from_file(self):
        """Whether the table is a regular file, which another process can
        open by its name (standard input redirected from a file is not)."""
        return self._regular and not _named_stream(self.path)

    @property
    def progress_unit(self):
        """"bytes" for a CSV file (out of its size), else "rows"."""
        return "bytes" if self._regular and not self.parquet else "rows"

    @property
    def progress_total(self):
        """The end of `progress`, or None when unknown (a CSV from a pipe)."""
        if self.parquet:
            return self._pq.metadata.num_rows
        return self._size if self._regular else None

    @property
    def progress(self):
        """How far reading has come, in `progress_unit`."""
        if self.progress_unit == "bytes":
            return self._file.raw.tell()
        return self._rows_read

    def bar(self, reporter, desc):
        """A progress bar over reading this table; `moved_to(table.progress)`
        advances it."""
        return _TableBar(reporter.bar(self.progress_total, desc, unit=self.progress_unit))

    # Rows

    def chunks(self, rows_per_chunk, packed=()):
        """Yields one list per column group, of up to `rows_per_chunk` rows
        (a number, or a function giving the size of the next chunk). A group
        whose index is in `packed` may come as an arrow_csv.Packed instead of
        a list when pyarrow reads it (see `first_empty` for both)."""
        size = rows_per_chunk if callable(rows_per_chunk) else (lambda: rows_per_chunk)
        if self.parquet:
            yield from self._parquet_chunks(size)
        elif self.csv_reader == "arrow":
            yield from self._arrow_chunks(size, packed)
        else:
            yield from self._csv_chunks(size)

    def _csv_chunks(self, size):
        # Rows are taken a block at a time and their columns picked out with
        # itemgetter: a Python loop per row would cost more than the module's
        # own work on them.
        pickers = [_picker(columns) for columns in self._index]
        while True:
            line = self._reader.line_num
            block = self._read_block(size())
            if not block:
                return
            kept = None
            if min(map(len, block)) != self.width or max(map(len, block)) != self.width:
                kept = self._check_widths(block, line)
            self._block = (line, block, kept)
            rows = block if kept is None else [block[i] for i in kept]
            if rows:
                pause("reading")
                yield self._counted([pick(rows) for pick in pickers])

    def _read_block(self, rows):
        """Up to `rows` rows from the csv module's reader."""
        try:
            return list(itertools.islice(self._reader, rows))
        except UnicodeDecodeError:
            # Text is decoded ahead of the rows, so the reader's count stops
            # short of the fault: find its line in the file.
            bad = _line_of_bad_utf8(self.path)
            where = f"line {bad:,}" if bad else f"after line {self._reader.line_num:,}"
            raise StepError(f"{self.name}, {where}: not UTF-8 text; save it as UTF-8 CSV") from None
        except csv.Error as error:
            raise StepError(f"{self.name}, line {self._reader.line_num}: {error}") from None
        except OSError as error:
            raise StepError(f"cannot read {self.name}: {error.strerror}") from None

    def _arrow_chunks(self, size, packed):
        pa = self._pa
        pending, have = [], 0  # record batches read and not yet handed out, and their rows
        limit = size()
        try:
            for batch in arrow_csv.Body(pa, self._file, self.width):
                pending.append(batch)
                have += batch.num_rows
                while have >= limit:
                    chunk = pa.Table.from_batches(pending)
                    pending, have = chunk.slice(limit).to_batches(), have - limit
                    pause("reading")
                    yield self._counted(arrow_csv.rows(pa, chunk.slice(0, limit).to_batches(), self._index, packed))
                    limit = size()
        except arrow_csv.Unsure:
            # The csv module reads on from the first row not handed out, and
            # names the fault if there is one.
            self._skip_with_csv_module(self._rows_read)
            yield from self._csv_chunks(size)
            return
        if have:
            pause("reading")
            yield self._counted(arrow_csv.rows(pa, pending, self._index, packed))

    def _skip_with_csv_module(self, count):
        """Reopens the table with the csv module's reader, past its header
        and `count` rows (blank lines not counted)."""
        self._file.seek(0)
        self._open_csv_module()
        self.csv_reader = "csv"
        left = count
        while left:
            block = self._read_block(min(left, READ_BUFFER))
            left -= len(block) - block.count([])
            if not block:
                break

    def _line_of_row(self, index):
        """The line on which data row `index` (from 0, blank lines not
        counted) starts, as the csv module counts lines: the file read again
        from its start, and left where it was."""
        at = self._file.tell()
        self._file.seek(0)
        text = io.TextIOWrapper(self._file, encoding="utf-8-sig", newline="")
        try:
            reader = csv.reader(text)
            next(reader)
            for row in reader:
                if row and index == 0:
                    return reader.line_num - _physical_lines(row) + 1
                index -= bool(row)
            raise ValueError(f"{self.name} has fewer rows than were read")
        finally:
            text.detach()
            self._file.seek(at)

    def _counted(self, chunk):
        self._chunk_start = self._rows_read
        self._rows_read += len(chunk[0])
        return chunk

    def _check_widths(self, block, lines_before):
        """The positions of the block's rows that are not blank lines; a row
        of another width fails, named by the file line it starts on (the
        block starts after line `lines_before`)."""
        kept = []
        line = lines_before + 1
        for i, row in enumerate(block):
            if row and len(row) != self.width:
                raise StepError(f"{self.name}, line {line:,}: {len(row)} field{'s' * (len(row) != 1)} where the "
                                f"header has {self.width}")
            if row:
                kept.append(i)
            line += _physical_lines(row)
        return kept

    def where(self, i):
        """Where row `i` of the last chunk is in the file: "line N" of a CSV
        (physical lines, a quoted line break counting as one) or "row N" of
        Parquet's data rows."""
        if self.parquet:
            return f"row {self._chunk_start + i + 1:,}"
        if self._block is None:  # read by pyarrow, which counts no lines
            return f"line {self._line_of_row(self._chunk_start + i):,}"
        line, block, kept = self._block
        position = i if kept is None else kept[i]
        return f"line {line + 1 + sum(map(_physical_lines, block[:position])):,}"

    # Parquet

    def _open_parquet(self):
        try:
            import pyarrow as pa
            import pyarrow.parquet as pq
        except ImportError:
            raise StepError(f"reading {self.name} needs pyarrow: pip install pyarrow (or give a CSV file)") from None
        try:
            # Parquet keeps its index at the end: a pipe is read whole first.
            source = self._file if self._regular else pa.BufferReader(self._file.read())
            self._pq = pq.ParquetFile(source)
        except OSError as error:
            if error.strerror:
                raise StepError(f"cannot read {self.name}: {error.strerror}") from None
            raise StepError(f"cannot read {self.name} as Parquet: {error}") from None
        except Exception as error:  # pyarrow raises its own types for damaged files
            raise StepError(f"cannot read {self.name} as Parquet: {error}") from None
        schema = self._pq.schema_arrow
        self._refuse_missing_or_repeated(schema.names)
        self._convert = set()
        for name in dict.fromkeys(name for group in self.groups for name in group):
            t = schema.field(name).type
            if _text_type(pa, t):
                continue
            if self.integers_as_text and _integer_type(pa, t):
                self._convert.add(name)
                continue
            raise StepError(_non_text_message(self.name, name, t, pa, self.integers_as_text))

    def _column(self, batch, name):
        values = batch.column(name).to_pylist()
        if name in self._convert:
            return ["" if v is None else str(v) for v in values]  # str of an int: plain decimal
        return ["" if v is None else v for v in values]

    def _parquet_chunks(self, size):
        names = list(dict.fromkeys(name for group in self.groups for name in group))
        pending = [[] for _ in self.groups]
        limit = size()
        try:
            for batch in self._pq.iter_batches(batch_size=min(limit, 1 << 16), columns=names,
                                               row_groups=self._row_groups):
                values = {name: self._column(batch, name) for name in names}
                for rows, group in zip(pending, self.groups):
                    rows.extend(zip(*(values[name] for name in group)))
                while len(pending[0]) >= limit:
                    chunk = [rows[:limit] for rows in pending]
                    pending = [rows[limit:] for rows in pending]
                    pause("reading")
                    yield self._counted(chunk)
                    limit = size()
        except StepError:
            raise
        except Exception as error:  # a damaged row group
            raise StepError(f"cannot read {self.name} as Parquet: {error}") from None
        if pending[0]:
            pause("reading")
            yield self._counted(pending)

    def close(self):
        # Closing the text layer closes the file under it.
        getattr(self, "_text", self._file).close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class _TableBar:
    def __init__(self, bar):
        self._bar, self._at = bar, 0

    def moved_to(self, position):
        if position > self._at:
            self._bar.update(position - self._at)
            self._at = position

    def close(self):
        self._bar.close()
