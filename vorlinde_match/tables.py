"""Reading the parties' tables (CSV, or Parquet when pyarrow is installed) and
taking the key columns out of them."""

import csv
import os

from .files import StepError

CSV_BLOCK = 1 << 20


def split_columns(text, option):
    columns = [c.strip() for c in text.split(",")]
    if not text.strip() or any(not c for c in columns):
        raise StepError(f"{option} {text!r}: give the column names separated by commas, e.g. {option} iban,name")
    return columns


def _is_parquet(path):
    return path.lower().endswith((".parquet", ".pq"))


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
        index = self._index
        groups = [[] for _ in index]
        limit = size()
        try:
            for row in self._reader:
                if len(row) != self.width:
                    if not row:
                        continue
                    raise StepError(f"{self.path}, line {self._reader.line_num}: {len(row)} fields where the header "
                                    f"has {self.width}")
                for rows, columns in zip(groups, index):
                    rows.append([row[i] for i in columns])
                if len(groups[0]) >= limit:
                    yield groups
                    groups = [[] for _ in index]
                    limit = size()
        except UnicodeDecodeError:
            raise StepError(f"{self.path}, after line {self._reader.line_num}: not UTF-8 text; "
                            "save it as UTF-8 CSV") from None
        except csv.Error as error:
            raise StepError(f"{self.path}, line {self._reader.line_num}: {error}") from None
        if groups[0]:
            yield groups

    def _parquet_chunks(self, size):
        names = sorted({name for group in self.groups for name in group})
        pending = [[] for _ in self.groups]
        limit = size()
        for batch in self._pq.iter_batches(batch_size=min(limit, 1 << 16), columns=names):
            values = {name: ["" if v is None else str(v) for v in batch.column(name).to_pylist()] for name in names}
            for rows, group in zip(pending, self.groups):
                rows.extend(list(row) for row in zip(*(values[name] for name in group)))
            while len(pending[0]) >= limit:
                yield [rows[:limit] for rows in pending]
                pending = [rows[limit:] for rows in pending]
                limit = size()
        if pending[0]:
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
