"""Reading the parties' tables (CSV, or Parquet when pyarrow is installed) and
taking the key columns out of them."""

import csv
import itertools
import operator
import os

from .errors import StepError
from .stages import pause

CSV_BLOCK = 1 << 20


def split_columns(text, option):
    columns = [c.strip() for c in text.split(",")]
    if not text.strip() or any(not c for c in columns):
        raise StepError(f"{option} {text!r}: give the column names separated by commas, e.g. {option} iban,name")
    return columns


def _is_parquet(path):
    return path.lower().endswith((".parquet", ".pq"))


def _picker(columns):
    """A function taking the given columns out of a block of rows, at C
    speed: tuples of the columns (one-element tuples for one column)."""
    if len(columns) == 1:
        pick = operator.itemgetter(columns[0])
        return lambda block: list(zip(map(pick, block)))
    pick = operator.itemgetter(*columns)
    return lambda block: list(map(pick, block))


class Table:
    """A table file read in chunks of rows, each row the list of the named
    columns' values (as str)."""

    def __init__(self, path, column_groups):
        """`column_groups` lists groups of column names; every chunk holds,
        per group, the rows of those columns."""
        self.path = path
        self.groups = column_groups
        if not os.path.exists(path):
            raise StepError(f"{path}: no such file")
        if not os.access(path, os.R_OK) or os.path.isdir(path):
            raise StepError(f"cannot read {path}: not a readable file")
        self.parquet = _is_parquet(path)
        if self.parquet:
            self._open_parquet()
        else:
            self._open_csv()

    def _missing(self, header):
        for group in self.groups:
            for name in group:
                if name not in header:
                    shown = ", ".join(header) if len(header) <= 20 else ", ".join(header[:20]) + ", ..."
                    raise StepError(f"{self.path} has no column {name!r} (its columns: {shown}); "
                                    "name the key columns on the command line")

    def _open_csv(self):
        try:
            self._file = open(self.path, newline="", encoding="utf-8-sig")
            self._reader = csv.reader(self._file)
            header = next(self._reader)
        except StopIteration:
            raise StepError(f"{self.path} is empty: a CSV file needs a header line naming its columns") from None
        except UnicodeDecodeError:
            raise StepError(f"{self.path} is not UTF-8 text; save it as UTF-8 CSV") from None
        except OSError as error:
            raise StepError(f"cannot read {self.path}: {error.strerror}") from None
        self._missing(header)
        self.width = len(header)
        self._index = [[header.index(name) for name in group] for group in self.groups]

    def _open_parquet(self):
        try:
            import pyarrow.parquet as pq
        except ImportError:
            raise StepError(f"reading {self.path} needs pyarrow: pip install pyarrow (or give a CSV file)") from None
        try:
            self._pq = pq.ParquetFile(self.path)
        except Exception as error:  # pyarrow raises its own types for damaged files
            raise StepError(f"cannot read {self.path} as Parquet: {error}") from None
        self._missing(self._pq.schema_arrow.names)

    def estimated_rows(self):
        """The number of data rows, for progress only (a CSV's line count)."""
        if self.parquet:
            return self._pq.metadata.num_rows
        lines = 0
        with open(self.path, "rb") as f:
            while block := f.read(CSV_BLOCK):
                lines += block.count(b"\n")
        return max(0, lines - 1)

    def chunks(self, rows_per_chunk):
        """Yields one list per column group, of up to `rows_per_chunk` rows
        (a number, or a function giving the size of the next chunk)."""
        size = rows_per_chunk if callable(rows_per_chunk) else (lambda: rows_per_chunk)
        if self.parquet:
            yield from self._parquet_chunks(size)
            return
        # Rows are taken a block at a time and their columns picked out with
        # itemgetter: a Python loop per row would cost more than the module's
        # own work on them.
        pickers = [_picker(columns) for columns in self._index]
        rows_before = 0
        while True:
            try:
                block = list(itertools.islice(self._reader, size()))
            except UnicodeDecodeError:
                raise StepError(f"{self.path}, after line {self._reader.line_num}: not UTF-8 text; "
                                "save it as UTF-8 CSV") from None
            except csv.Error as error:
                raise StepError(f"{self.path}, line {self._reader.line_num}: {error}") from None
            if not block:
                return
            read = len(block)
            if min(map(len, block)) != self.width or max(map(len, block)) != self.width:
                block = self._check_widths(block, rows_before)
            rows_before += read
            if block:
                pause("reading")
                yield [pick(block) for pick in pickers]

    def _check_widths(self, block, rows_before):
        """The block without blank lines; a row of another width fails."""
        kept = []
        for number, row in enumerate(block, rows_before + 1):
            if not row:
                continue
            if len(row) != self.width:
                raise StepError(f"{self.path}, row {number} after the header: {len(row)} fields where the header "
                                f"has {self.width}")
            kept.append(row)
        return kept

    def _parquet_chunks(self, size):
        names = sorted({name for group in self.groups for name in group})
        pending = [[] for _ in self.groups]
        limit = size()
        for batch in self._pq.iter_batches(batch_size=min(limit, 1 << 16), columns=names):
            values = {name: ["" if v is None else str(v) for v in batch.column(name).to_pylist()] for name in names}
            for rows, group in zip(pending, self.groups):
                rows.extend(zip(*(values[name] for name in group)))
            while len(pending[0]) >= limit:
                pause("reading")
                yield [rows[:limit] for rows in pending]
                pending = [rows[limit:] for rows in pending]
                limit = size()
        if pending[0]:
            pause("reading")
            yield pending

    def all_rows(self):
        """Every row of the first column group."""
        rows = []
        for chunk in self.chunks(1 << 16):
            rows.extend(chunk[0])
        return rows

    def close(self):
        if not self.parquet:
            self._file.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
