"""The operator's ids, written by the query step and read back by the finish
step: the ids file's lines and the results' rows must be, byte for byte,
what the csv module writes for the same ids, whichever path each chunk
takes (plain ids are joined without the csv module)."""

import csv
import importlib.util
import io
import random

import pytest

from vorlinde_match import arrow_csv, files, steps
from vorlinde_match.errors import StepError
from vorlinde_match.tables import Table

RUN_META = {"kind": "transaction-ids", "role": "operator", "run": "0" * 16, "made_from": {},
            "keys": {role: "0" * files.FINGERPRINT_HEX for role in files.ROLES}, "column": "id"}
PLAIN = [f"TX{i:07d}" for i in range(5000)]


def _with(position, odd):
    ids = list(PLAIN)
    ids[position] = odd
    return ids


ID_TABLES = {
    "plain": PLAIN,
    "unicode": [f"Zahlung-ü-{i}-€" for i in range(3000)],  # beyond ASCII, still plain in CSV
    "comma-first": _with(0, "a,b"),  # the very first id needs quotes
    "quote-middle": _with(2500, 'say "hi"'),
    "newline-last": _with(4999, "two\nlines"),
    "empty": _with(1234, ""),  # written quoted when alone on its row
    "spaces": _with(4000, " spaces around "),  # plain: the csv module leaves spaces alone
    "one": ["x"],
}
CHUNKS = [1, 7, 1000, 1 << 20]
has_pyarrow = importlib.util.find_spec("pyarrow") is not None


def csv_text(rows):
    """The oracle: rows as the csv module writes them, all at once."""
    text = io.StringIO()
    csv.writer(text, lineterminator="\n").writerows(rows)
    return text.getvalue()


def ids_file(tmp_path, payload, count):
    path = str(tmp_path / "transactions.ids")
    with files.Outputs() as out:
        with out.stream(path, {**RUN_META, "count": count}) as writer:
            writer.write(payload)
    return path, files.read_header(path, "transaction-ids")


def result_bytes(path, meta, flags, chunk):
    reader = files.IdReader(path, meta)
    try:
        out = b"".join(steps.result_rows(reader, flags[at:at + chunk]) for at in range(0, len(flags), chunk))
        reader.finish()
    finally:
        reader.close()
    return out


@pytest.mark.parametrize("chunk", CHUNKS)
@pytest.mark.parametrize("name", list(ID_TABLES))
def test_results_rows_equal_the_csv_modules(tmp_path, name, chunk):
    ids = ID_TABLES[name]
    flags = bytes(random.Random(len(ids)).getrandbits(1) for _ in ids)
    path, meta = ids_file(tmp_path, csv_text((i,) for i in ids).encode("utf-8"), len(ids))
    want = csv_text(zip(ids, ("true" if f else "false" for f in flags))).encode("utf-8")
    assert result_bytes(path, meta, flags, chunk) == want


@pytest.mark.skipif(not has_pyarrow, reason="pyarrow is not installed")
@pytest.mark.parametrize("chunk", CHUNKS)
@pytest.mark.parametrize("name", list(ID_TABLES))
def test_id_lines_equal_the_csv_modules(tmp_path, monkeypatch, name, chunk):
    ids = ID_TABLES[name]
    table = tmp_path / "transactions.csv"
    with open(table, "w", encoding="utf-8", newline="") as f:  # Path.write_text has no newline before 3.10
        f.write(csv_text([("id", "other"), *((i, "o") for i in ids)]))
    monkeypatch.setenv("VORLINDE_MATCH_CSV_READER", "arrow")
    kinds, lines = set(), b""
    with Table(str(table), [["id"]]) as t:
        for (group,) in t.chunks(chunk, packed=(0,)):
            kinds.add(type(group))
            lines += steps._id_lines(group)
    assert arrow_csv.Packed in kinds  # the packed path was taken
    assert lines == csv_text((i,) for i in ids).encode("utf-8")


@pytest.mark.parametrize("ids,queries,says", [
    (PLAIN, len(PLAIN) + 1, "fewer transaction ids than queries"),
    (PLAIN, len(PLAIN) - 1, "more transaction ids than queries"),
    (_with(10, "a,b"), len(PLAIN) - 1, "more transaction ids than queries"),
], ids=["fewer", "more", "more-after-quoted"])
def test_a_count_that_differs_from_the_queries_is_refused(tmp_path, ids, queries, says):
    path, meta = ids_file(tmp_path, csv_text((i,) for i in ids).encode("utf-8"), len(ids))
    with pytest.raises(StepError, match=says):
        result_bytes(path, meta, bytes(queries), 1000)


def test_a_blank_line_is_a_row_that_is_not_an_id(tmp_path):
    path, meta = ids_file(tmp_path, b"a\n\nb\n", 3)
    with pytest.raises(StepError, match="fewer transaction ids than queries"):
        result_bytes(path, meta, bytes(3), 3)


@pytest.mark.parametrize("chunk", [1, 7, 1 << 20])
def test_an_id_with_a_carriage_return_is_quoted_and_reads_back(tmp_path, chunk):
    """Some versions of the csv module write a bare carriage return when the
    line terminator is "\\n", which its own reader then takes for a line
    break: the ids file said one id more than there were queries. The csv
    reader is the oracle here: every id and word must come back."""
    ids = _with(2500, "a\rb")
    ids[0], ids[-1] = "\r", "end\r"
    flags = bytes(random.Random(3).getrandbits(1) for _ in ids)
    lines = steps._csv_text([(i,) for i in ids])
    assert [row[0] for row in csv.reader(io.StringIO(lines, newline=""))] == ids
    path, meta = ids_file(tmp_path, lines.encode("utf-8"), len(ids))
    text = result_bytes(path, meta, flags, chunk).decode("utf-8")
    words = ["true" if f else "false" for f in flags]
    assert list(csv.reader(io.StringIO(text, newline=""))) == [list(pair) for pair in zip(ids, words)]
    # Rows without a carriage return are still the csv module's bytes.
    assert text.split("\n")[1] + "\n" == csv_text([(ids[1], words[1])])
