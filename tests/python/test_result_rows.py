"""The finish step's results rows: ids read back from the operator's ids file
and joined with their flags must give, byte for byte, what the csv module
writes for the same (id, word) rows, whichever path each chunk takes."""

import csv
import io
import random

import pytest

from vorlinde_match import files, steps
from vorlinde_match.errors import StepError

RUN_META = {"kind": "transaction-ids", "role": "operator", "run": "0" * 16, "made_from": {},
            "keys": {role: "0" * files.FINGERPRINT_HEX for role in files.ROLES},
            "column": "id"}


def ids_file(tmp_path, ids):
    """An ids file as the query step writes one: one CSV row per id."""
    path = str(tmp_path / "transactions.ids")
    with files.Outputs() as out:
        with out.stream(path, {**RUN_META, "count": len(ids)}) as writer:
            writer.write(steps._csv_text((i,) for i in ids).encode("utf-8"))
    return path, files.read_header(path, "transaction-ids")


def oracle(ids, flags):
    """The rows as the csv module writes them, all at once."""
    text = io.StringIO()
    csv.writer(text, lineterminator="\n").writerows(zip(ids, ("true" if f else "false" for f in flags)))
    return text.getvalue()


def joined(path, meta, flags, chunk):
    reader = files.IdReader(path, meta)
    try:
        out = "".join(steps.result_rows(reader, flags[at:at + chunk]) for at in range(0, len(flags), chunk))
        reader.finish()
    finally:
        reader.close()
    return out


PLAIN = [f"TX{i:07d}" for i in range(5000)]


def _with(position, odd):
    ids = list(PLAIN)
    ids[position] = odd
    return ids


@pytest.mark.parametrize("ids", [
    PLAIN,
    [f"Zahlung-ü-{i}-€" for i in range(3000)],  # text beyond ASCII, plain in CSV
    _with(0, "a,b"),  # the very first id needs quotes
    _with(2500, 'say "hi"'),  # a quote in the middle of the file
    _with(4999, "two\nlines"),  # a line break in the last id
    _with(1234, ""),  # an empty id is written quoted
    _with(4000, " spaces around "),  # plain: the csv module leaves spaces alone
    ["x"],
], ids=["plain", "unicode", "comma-first", "quote-middle", "newline-last", "empty", "spaces", "one"])
@pytest.mark.parametrize("chunk", [1, 7, 1000, 1 << 20])
def test_rows_equal_the_csv_modules_for_every_chunking(tmp_path, ids, chunk):
    flags = bytes(random.Random(len(ids)).getrandbits(1) for _ in ids)
    path, meta = ids_file(tmp_path, ids)
    assert joined(path, meta, flags, chunk) == oracle(ids, flags)


@pytest.mark.parametrize("ids,queries,says", [
    (PLAIN, len(PLAIN) + 1, "fewer transaction ids than queries"),
    (PLAIN, len(PLAIN) - 1, "more transaction ids than queries"),
    (_with(10, "a,b"), len(PLAIN) - 1, "more transaction ids than queries"),
], ids=["fewer", "more", "more-after-quoted"])
def test_a_count_that_differs_from_the_queries_is_refused(tmp_path, ids, queries, says):
    path, meta = ids_file(tmp_path, ids)
    with pytest.raises(StepError, match=says):
        joined(path, meta, bytes(queries), 1000)


def test_a_blank_line_counts_as_a_row_that_is_not_an_id(tmp_path):
    path = str(tmp_path / "transactions.ids")
    with files.Outputs() as out:
        with out.stream(path, {**RUN_META, "count": 3}) as writer:
            writer.write(b"a\n\nb\n")
    with pytest.raises(StepError, match="fewer transaction ids than queries"):
        joined(path, files.read_header(path, "transaction-ids"), bytes(3), 3)
