"""How vorlinde-match reads its tables, run as users run it: inputs given as
pipes (`-`, a shell's `<(...)`) read whole and once, inputs that are not
files refused before they can block a step, Parquet columns read only as the
text they hold, headers that make a key column ambiguous refused, and rows
whose key is empty kept from matching anything."""

import csv
import gc
import importlib.util
import json
import os
import platform
import shutil
import subprocess
import sys

import pytest
from known_answer import answer, results

EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples")
ROLES = ("sender-bank", "receiver-bank", "operator")

_spec = importlib.util.spec_from_file_location("make_sample", os.path.join(EXAMPLES, "make_sample.py"))
make_sample = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(make_sample)

# Subprocesses of the command on small data: run once, on CPython (a test
# that starts one is skipped on PyPy). The tables read in this process are
# read on PyPy too, where pyarrow is missing and the csv module reads.
pytestmark = [pytest.mark.unsanitized]
PYPY = platform.python_implementation() == "PyPy"

has_pyarrow = importlib.util.find_spec("pyarrow") is not None
needs_bash = pytest.mark.skipif(shutil.which("bash") is None, reason="needs bash for process substitution")
# Every command here ends in well under a second; a step that blocks on a
# FIFO or reads a device forever fails the test instead of hanging the suite.
TIMEOUT = 60
QUERY_COLUMNS = ("--sender-columns", "sender_iban,sender_name", "--receiver-columns", "receiver_iban,receiver_name")


# Both readers of CSV tables, forced for the tests (by default the csv
# module reads small files): the csv module's is the fallback and defines
# what a table holds, pyarrow's must give the same rows, messages, line
# numbers and progress.
READERS = [pytest.param("arrow", marks=pytest.mark.skipif(not has_pyarrow, reason="pyarrow is not installed")),
           "csv"]


@pytest.fixture(params=READERS)
def reader(request, monkeypatch):
    monkeypatch.setenv("VORLINDE_MATCH_CSV_READER", request.param)
    return request.param


def command(*args, **options):
    if PYPY:
        pytest.skip("the command is tested on CPython")
    return subprocess.run([sys.executable, "-m", "vorlinde_match", *map(str, args)], capture_output=True, text=True,
                          timeout=TIMEOUT, **options)


def in_bash(script, *args):
    """`script` run by bash with $1... = args, for process substitution."""
    if PYPY:
        pytest.skip("the command is tested on CPython")
    return subprocess.run(["bash", "-c", script, "bash", sys.executable, *map(str, args)], capture_output=True,
                          text=True, timeout=TIMEOUT)


def one_line_error(done, message):
    assert done.returncode == 1, done.stdout + done.stderr
    assert done.stderr.strip().splitlines() == [f"vorlinde-match: {message}"]


@pytest.fixture(scope="module")
def data(tmp_path_factory):
    folder = tmp_path_factory.mktemp("data")
    make_sample.write_set(str(folder), 400, 21)
    # Every table is larger than a reader's first buffer (8 kB), so a step
    # that reads a pipe twice loses rows instead of finding them buffered.
    tables = ("sender_bank.csv", "receiver_bank.csv", "transactions.csv")
    assert min(os.path.getsize(folder / name) for name in tables) > 1 << 13
    return folder


@pytest.fixture
def homes(tmp_path):
    """Three parties' keys, each pinning the others' identities, and an empty
    handover folder."""
    for role in ROLES:
        done = command("keys", "--role", role, "--home", tmp_path / role, "--quiet")
        assert done.returncode == 0, done.stderr
    for role in ROLES:
        for other in ROLES:
            if other != role:
                done = command("trust", "--home", tmp_path / role, "--role", other, "--key",
                               tmp_path / other / "identity.json", "--quiet")
                assert done.returncode == 0, done.stderr
    (tmp_path / "handover").mkdir()
    return tmp_path


def build(homes, bank, accounts, columns="iban,name", *more, **options):
    return command("bank", "build", "--home", homes / bank, "--handover", homes / "handover", "--accounts", accounts,
                   "--columns", columns, "--quiet", *more, **options)


# Pipes ---------------------------------------------------------------------------

# Each way of piping in; the generator's answer (expected_matches.csv) is the
# oracle. A second pass over a pipe finds it drained: 0 rows, or a few.
PIPED_RUNS = {
    "process substitution": ('"$1" -m vorlinde_match run --sender-bank <(cat "$2") --receiver-bank <(cat "$3") '
                             '--transactions <(cat "$4") --work "$5" --quiet --chunk-rows 37'),
    "process substitution, partitioned": ('"$1" -m vorlinde_match run --sender-bank <(cat "$2") --receiver-bank '
                                          '<(cat "$3") --transactions <(cat "$4") --work "$5" --quiet --partitions 2'),
    "standard input": ('cat "$4" | "$1" -m vorlinde_match run --sender-bank "$2" --receiver-bank "$3" '
                       '--transactions - --work "$5" --quiet --chunk-rows 50'),
    "/dev/stdin and /proc/self/fd": ('"$1" -m vorlinde_match run --sender-bank "$2" --receiver-bank '
                                     '/proc/self/fd/3 --transactions /dev/stdin --work "$5" --quiet 3< <(cat "$3") '
                                     '< <(cat "$4")'),
}


@needs_bash
@pytest.mark.parametrize("script", list(PIPED_RUNS.values()), ids=list(PIPED_RUNS))
def test_piped_inputs_give_the_whole_answer(data, tmp_path, script):
    done = in_bash(script, data / "sender_bank.csv", data / "receiver_bank.csv", data / "transactions.csv",
                   tmp_path / "work")
    assert done.returncode == 0, done.stderr
    assert results(tmp_path / "work" / "operator" / "matches.csv") == answer(data)


def test_a_pipe_passed_by_descriptor_is_read_whole(data, homes):
    """A bank build reading /dev/fd/N of a pipe this test fills, with more
    than a pipe's buffer of rows, so a reader that stops early is caught."""
    rows = [{"iban": f"DE{i:020d}", "name": f"Holder {i}", "opened": "2020-01"} for i in range(6000)]
    text = "iban,name,opened\n" + "".join(f"{r['iban']},{r['name']},{r['opened']}\n" for r in rows)
    assert len(text) > 1 << 17
    read_end, write_end = os.pipe()
    try:
        process = subprocess.Popen([sys.executable, "-m", "vorlinde_match", "bank", "build", "--home",
                                    homes / "sender-bank", "--handover", homes / "handover", "--accounts",
                                    f"/dev/fd/{read_end}", "--columns", "iban,name", "--json"],
                                   pass_fds=(read_end,), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        os.close(read_end)
        read_end = None
        with os.fdopen(write_end, "w", encoding="utf-8") as f:
            write_end = None
            f.write(text)
        stdout, stderr = process.communicate(timeout=TIMEOUT)
    finally:
        for fd in (read_end, write_end):
            if fd is not None:
                os.close(fd)
    assert process.returncode == 0, stderr
    assert json.loads(stdout)["rows"] == len(rows)


# Inputs that are not files -------------------------------------------------------

def _fifo(tmp_path):
    os.mkfifo(tmp_path / "planted.csv")
    return tmp_path / "planted.csv"


def _fifo_behind_a_link(tmp_path):
    os.mkfifo(tmp_path / "fifo")
    os.symlink(tmp_path / "fifo", tmp_path / "accounts.csv")
    return tmp_path / "accounts.csv"


NOT_FILES = {
    # (the input, given the test's folder; the message after "{input} is ")
    "a FIFO in a folder": (_fifo, "a named pipe (FIFO)"),
    "a link to a FIFO": (_fifo_behind_a_link, "a named pipe (FIFO)"),
    "a folder": (lambda tmp_path: tmp_path, "a folder"),
    "/dev/zero": (lambda tmp_path: "/dev/zero", "a character device"),
}


@pytest.mark.parametrize("make, kind", list(NOT_FILES.values()), ids=list(NOT_FILES))
def test_inputs_that_are_not_files_are_refused_before_opening(homes, make, kind):
    path = make(homes)
    message = (f"{path} is {kind}, not a regular file; name the table's file, or pipe it in with - "
               "(standard input)")
    one_line_error(build(homes, "sender-bank", path), message)
    one_line_error(command("operator", "query", "--home", homes / "operator", "--handover", homes / "handover",
                           "--transactions", path, *QUERY_COLUMNS), message)
    assert os.listdir(homes / "handover") == []


def test_standard_input_must_be_a_pipe_or_a_file(data, homes):
    with open(os.devnull, "rb") as null:
        one_line_error(build(homes, "sender-bank", "-", stdin=null),
                       "standard input (-) is a character device, not a pipe or a file: pipe the table in or "
                       "name its file")
    for second in ("-", "/dev/stdin"):
        one_line_error(command("run", "--sender-bank", "-", "--receiver-bank", second, "--transactions",
                               data / "transactions.csv"),
                       "only one input can be standard input (-, /dev/stdin); name the others' files")
    one_line_error(command("run", "--sender-bank", "/dev/fd/7", "--receiver-bank", data / "receiver_bank.csv",
                           "--transactions", "/dev/fd/7"),
                   "/dev/fd/7 is named for two inputs, but a pipe can be read only once; name a file for one of them")


# Headers and keys -------------------------------------------------------------------

def test_a_repeated_name_of_a_key_column_is_refused(homes, tmp_path, reader):
    accounts = tmp_path / "repeated.csv"
    accounts.write_text("iban,name,name\nDE01,Ada,Ada Lovelace\n", encoding="utf-8")
    one_line_error(build(homes, "sender-bank", accounts),
                   f"{accounts}: column 'name' appears 2 times in the header (columns 2, 3); rename the others so "
                   "that it names one column")
    # A repeat among the columns the step does not read is left alone.
    assert build(homes, "sender-bank", accounts, "iban").returncode == 0
    transactions = tmp_path / "transactions.csv"
    transactions.write_text("id,sender_iban,sender_name,receiver_iban,receiver_name,id\nT1,DE01,Ada,FR01,Bo,T2\n",
                            encoding="utf-8")
    assert build(homes, "receiver-bank", accounts, "iban").returncode == 0
    one_line_error(command("operator", "query", "--home", homes / "operator", "--handover", homes / "handover",
                           "--transactions", transactions, "--sender-columns", "sender_iban", "--receiver-columns",
                           "receiver_iban"),
                   f"{transactions}: column 'id' appears 2 times in the header (columns 1, 6); rename the others so "
                   "that it names one column")


@pytest.mark.parametrize("partitions", ["1", "2"])
def test_an_account_with_an_empty_key_is_refused_with_its_line(homes, tmp_path, partitions, reader):
    # Quoted line breaks (\n, \r\n and a lone \r) and a blank line before the
    # empty row: its line number is counted here from the text as written.
    text = ('iban,name,opened\r\nDE01,Ada,"2020\n-01"\r\nDE02,"Bo\r\nBrown",2021\r\n\r\n'
            'DE03,Cy,"x\ry"\r\n,,EMPTY\r\nDE04,Di,2022\r\n')
    accounts = tmp_path / "accounts.csv"
    accounts.write_bytes(text.encode("utf-8"))
    line = text[:text.index(",,EMPTY")].replace("\r\n", "\n").replace("\r", "\n").count("\n") + 1
    assert line == 9
    one_line_error(build(homes, "sender-bank", accounts, "iban,name", "--partitions", partitions),
                   f"{accounts}, line {line}: the key columns iban, name are all empty; every account needs a key: "
                   "fill it in or remove the row")
    one_line_error(build(homes, "sender-bank", accounts, "iban", "--partitions", partitions),
                   f"{accounts}, line {line}: the key column iban is empty; every account needs a key: fill it in "
                   "or remove the row")
    assert os.listdir(homes / "handover") == []
    # One column empty is a key like any other (the other column's value).
    assert build(homes, "sender-bank", accounts, "name,opened", "--partitions", partitions).returncode == 0


@pytest.mark.parametrize("rows_per_chunk", [1, 2, 3, 100])
def test_the_line_of_a_row_is_right_in_any_chunk(tmp_path, rows_per_chunk, reader):
    """Chunks start at the reader's line count; rows inside a chunk are
    counted by their quoted line breaks. Both must agree with the text."""
    from vorlinde_match.tables import Table, first_empty

    text = 'a,b\r\n1,"x\ny"\r\n\r\n2,"p\rq\r\nr"\n3,4\n,\n5,"\n"\n,\n'
    path = tmp_path / "t.csv"
    path.write_bytes(text.encode("utf-8"))
    normal = text.replace("\r\n", "\n").replace("\r", "\n")
    # The empty rows ",\n" start at these lines (counted in the text).
    wanted = [normal[:i].count("\n") + 1 for i in range(len(normal)) if normal.startswith("\n,\n", i - 1)]
    assert wanted == [9, 12]
    found = []
    with Table(str(path), [["a", "b"]]) as table:
        assert table.csv_reader == reader
        for (chunk,) in table.chunks(rows_per_chunk):
            at = 0
            while (i := first_empty(chunk[at:], 2)) is not None:
                found.append(table.where(at + i))
                at += i + 1
    assert found == [f"line {n}" for n in wanted]


# Banks that let the empty key into their store (an older or careless build),
# to show that the operator never looks an empty side up as that key.
LAX_BUILD = ("import sys\nfrom vorlinde_match import cli, steps\nsteps._refuse_empty_keys = lambda *args: None\n"
             "sys.exit(cli.main(sys.argv[1:]))\n")


@pytest.mark.parametrize("partitions", ["1", "2"])
def test_a_transaction_with_an_empty_side_is_unmatched_and_counted(homes, tmp_path, partitions, reader):
    banks = {"sender-bank": [("DE01", "Ada"), ("DE02", "Bo"), ("", "Zed"), ("", "")],
             "receiver-bank": [("FR01", "Cy"), ("FR02", "Di"), ("", "")]}
    # (id, sender, receiver, matched): matched when both sides are accounts
    # of their bank and neither side is all empty, by construction.
    transactions = [("T1", ("DE01", "Ada"), ("FR01", "Cy"), "true"),
                    ("T2", ("", ""), ("FR01", "Cy"), "false"),
                    ("T3", ("DE02", "Bo"), ("", ""), "false"),
                    ("T4", ("", ""), ("", ""), "false"),
                    ("T5", ("", ""), ("", ""), "false"),
                    ("T6", ("DE01", "Ada"), ("FR09", "Xi"), "false"),
                    ("T7", ("", "Zed"), ("FR02", "Di"), "true"),
                    ("T8", ("DE02", "Bo"), ("FR02", "Di"), "true")]
    empty_sides = 4
    for bank, rows in banks.items():
        path = tmp_path / f"{bank}.csv"
        path.write_text("iban,name\n" + "".join(f"{i},{n}\n" for i, n in rows), encoding="utf-8")
        done = subprocess.run([sys.executable, "-c", LAX_BUILD, "bank", "build", "--home", homes / bank, "--handover",
                               homes / "handover", "--accounts", path, "--columns", "iban,name", "--partitions",
                               partitions, "--quiet"], capture_output=True, text=True, timeout=TIMEOUT)
        assert done.returncode == 0, done.stderr
    path = tmp_path / "transactions.csv"
    path.write_text("id,sender_iban,sender_name,receiver_iban,receiver_name\n" +
                    "".join(f"{t},{s[0]},{s[1]},{r[0]},{r[1]}\n" for t, s, r, _ in transactions), encoding="utf-8")
    step = ("--handover", homes / "handover")
    query = command("operator", "query", "--home", homes / "operator", *step, "--transactions", path,
                    *QUERY_COLUMNS, "--json", "--chunk-rows", "3")
    assert query.returncode == 0, query.stderr
    assert json.loads(query.stdout)["empty_sides"] == empty_sides
    assert query.stderr == (f"warning: {path}: {empty_sides} transactions have all their sender or all their "
                            "receiver columns empty; they are reported unmatched\n")
    for args in (("bank", "randomize", "--home", homes / "sender-bank"),
                 ("bank", "randomize", "--home", homes / "receiver-bank"),
                 ("operator", "combine", "--home", homes / "operator"),
                 ("bank", "decrypt", "--home", homes / "sender-bank"),
                 ("bank", "decrypt", "--home", homes / "receiver-bank")):
        done = command(*args, *step, "--quiet")
        assert done.returncode == 0, done.stderr
    finish = command("operator", "finish", "--home", homes / "operator", *step)
    assert finish.returncode == 0, finish.stderr
    assert f"  empty sides: {empty_sides}\n" in finish.stderr
    assert results(homes / "operator" / "matches.csv") == [(t, m) for t, _, _, m in transactions]
    with open(homes / "operator" / "summary.json", encoding="utf-8") as f:
        assert json.load(f)["empty_sides"] == empty_sides


# Parquet columns ---------------------------------------------------------------------

def _parquet_cases():
    if not has_pyarrow:
        return {}
    import decimal

    import pyarrow as pa

    # (the IBAN column as stored, the message after "column iban is ")
    return {
        "float64": (pa.array([100001.0, 100002.0], pa.float64()),
                    "double, not text{}: a floating-point value has no single text form (100001 reads 100001.0); "
                    "store it as text (UTF-8 string) in the file, written as the other parties write it"),
        "decimal": (pa.array([decimal.Decimal("100001"), decimal.Decimal("100002")], pa.decimal128(20, 0)),
                    "decimal128(20, 0), not text{}: a decimal number loses its leading zeros; store it as text "
                    "(UTF-8 string) in the file, written as the other parties write it"),
        "binary": (pa.array([b"100001", b"100002"], pa.binary()),
                   "binary, not text{}: bytes are not text until decoded; store it as text (UTF-8 string) in the "
                   "file, written as the other parties write it"),
        "timestamp": (pa.array([1, 2], pa.timestamp("us")),
                      "timestamp[us], not text{}: its values have no text form that the other parties would write "
                      "the same way; store it as text (UTF-8 string) in the file, written as the other parties "
                      "write it"),
    }


PARQUET_REFUSED = _parquet_cases()
needs_pyarrow = pytest.mark.skipif(not has_pyarrow, reason="pyarrow is not installed")


def _parquet(path, **columns):
    import pyarrow as pa
    import pyarrow.parquet as pq

    pq.write_table(pa.table(columns), path)
    return path


@needs_pyarrow
@pytest.mark.parametrize("column, message", list(PARQUET_REFUSED.values()), ids=list(PARQUET_REFUSED))
def test_a_parquet_column_that_is_not_text_is_refused(homes, tmp_path, column, message):
    accounts = _parquet(tmp_path / "accounts.parquet", iban=column, name=["Ada", "Bo"])
    one_line_error(build(homes, "sender-bank", accounts), f"{accounts}: column iban is {message.format('')}")
    # The conversion option converts integers only, and says so.
    one_line_error(build(homes, "sender-bank", accounts, "iban,name", "--integers-as-text"),
                   f"{accounts}: column iban is "
                   f"{message.format(' (--integers-as-text converts only integer columns)')}")
    assert os.listdir(homes / "handover") == []


@needs_pyarrow
def test_integer_parquet_columns_are_read_as_decimal_text_only_when_asked(homes, tmp_path):
    import pyarrow as pa

    numbers = pa.array([100001, 7, 18446744073709551615], pa.uint64())
    accounts = _parquet(tmp_path / "accounts.parquet", iban=numbers, name=pa.array(["Ada", "Bo", "Cy"]))
    one_line_error(build(homes, "sender-bank", accounts),
                   f"{accounts}: column iban is uint64, not text; store it as text (string) in the file, keeping "
                   "any leading zeros, or pass --integers-as-text to read its integers as decimal text (leading "
                   "zeros are not restored)")
    assert build(homes, "sender-bank", accounts, "iban,name", "--integers-as-text").returncode == 0
    # Text columns in every encoding Arrow has: large, dictionary-encoded.
    receiver = _parquet(tmp_path / "receiver.parquet", iban=pa.array(["FR01", "FR02"], pa.large_string()),
                        name=pa.array(["Di", "Ed"]).dictionary_encode())
    assert build(homes, "receiver-bank", receiver).returncode == 0
    # The operator's side as text, written as plain decimal by hand: the
    # conversion must give exactly these strings ("100001", not "100001.0").
    transactions = _parquet(tmp_path / "transactions.parquet", id=pa.array([11, 12, 13, 14], pa.int32()),
                            sender_iban=["100001", "18446744073709551615", "0007", "7"],
                            sender_name=["Ada", "Cy", "Bo", "Bo"], receiver_iban=["FR01", "FR02", "FR01", "FR02"],
                            receiver_name=["Di", "Ed", "Di", "Ed"])
    step = ("--handover", homes / "handover")
    one_line_error(command("operator", "query", "--home", homes / "operator", *step, "--transactions",
                           transactions, *QUERY_COLUMNS),
                   f"{transactions}: column id is int32, not text; store it as text (string) in the file, keeping "
                   "any leading zeros, or pass --integers-as-text to read its integers as decimal text (leading "
                   "zeros are not restored)")
    query = command("operator", "query", "--home", homes / "operator", *step, "--transactions", transactions,
                    *QUERY_COLUMNS, "--integers-as-text", "--quiet")
    assert query.returncode == 0, query.stderr
    for args in (("bank", "randomize", "--home", homes / "sender-bank"),
                 ("bank", "randomize", "--home", homes / "receiver-bank"),
                 ("operator", "combine", "--home", homes / "operator"),
                 ("bank", "decrypt", "--home", homes / "sender-bank"),
                 ("bank", "decrypt", "--home", homes / "receiver-bank"),
                 ("operator", "finish", "--home", homes / "operator")):
        done = command(*args, *step, "--quiet")
        assert done.returncode == 0, done.stderr
    assert results(homes / "operator" / "matches.csv") == [("11", "true"), ("12", "true"), ("13", "false"),
                                                           ("14", "true")]


@needs_pyarrow
def test_parquet_through_a_pipe_and_its_repeated_names(data, homes, tmp_path):
    import pyarrow as pa

    accounts = _parquet(tmp_path / "accounts.parquet", iban=pa.array(["DE01", None, "DE03"]), name=["Ada", "", "Cy"])
    with open(accounts, "rb") as f:
        one_line_error(build(homes, "sender-bank", "-", stdin=f),
                       "standard input (-), row 2: the key columns iban, name are all empty; every account needs a "
                       "key: fill it in or remove the row")
    import pyarrow.parquet as pq

    repeated = tmp_path / "repeated.parquet"
    pq.write_table(pa.table([pa.array(["DE01"]), pa.array(["Ada"]), pa.array(["A."])], names=["iban", "name", "name"]),
                   repeated)
    one_line_error(build(homes, "sender-bank", repeated),
                   f"{repeated}: column 'name' appears 2 times in the header (columns 2, 3); rename the others so "
                   "that it names one column")


# Progress -------------------------------------------------------------------------------

def test_progress_is_bytes_of_a_file_and_rows_of_a_pipe(data, reader):
    from vorlinde_match.tables import Table

    path = str(data / "sender_bank.csv")
    with Table(path, [["iban", "name"]]) as table:
        assert table.csv_reader == reader
        assert (table.progress_unit, table.progress_total) == ("bytes", os.path.getsize(path))
        rows = sum(len(chunk) for (chunk,) in table.chunks(50))
        assert table.progress == os.path.getsize(path)
    read_end, write_end = os.pipe()
    with open(path, "rb") as f:
        content = f.read()
    assert len(content) < 1 << 16  # fits the pipe's buffer: written before reading
    os.write(write_end, content)
    os.close(write_end)
    try:
        with Table(f"/dev/fd/{read_end}", [["iban", "name"]]) as table:
            assert table.csv_reader == "csv"  # a pipe cannot be read again to name a line
            assert (table.progress_unit, table.progress_total) == ("rows", None)
            piped = sum(len(chunk) for (chunk,) in table.chunks(50))
            assert table.progress == piped == rows == len(content.splitlines()) - 1
    finally:
        os.close(read_end)


# Both readers on the same files -----------------------------------------------------

def _rows(count, start=0):
    """`count` data rows of columns a, b, c whose values carry their number."""
    return "".join(f"A{i},B{i},C{i}\n" for i in range(start, start + count))


# Files that both readers must read alike: each tricky for one of them. The
# faults sit past many of pyarrow's (shrunk) blocks, so that pyarrow has
# handed rows out before it gives up, and far (over 8 kB) from any other
# fault. (name, the file's bytes)
BODY = _rows(400)
SAME_INPUTS = {
    "byte order mark, CRLF, quoted line breaks": ("\ufeffa,b,c\r\n" + BODY.replace("\n", "\r\n")
                                                  + 'x,"1\r\n2",y\r\n"p\rq","",\n').encode(),
    "NUL in a value": ("a,b,c\n" + BODY + "x,\x00y,z\n").encode(),
    "the header again, blank lines": ("a,b,c\n" + BODY + "a,b,c\n\n\r\n" + BODY + "\n").encode(),
    "line breaks: lone CR": ("a,b,c\r" + BODY.replace("\n", "\r")).encode(),
    "a header with a quoted line break": ('"a",b,c,"d\né"\n' + BODY.replace("\n", ",D\n")).encode(),
    "stray quotes, text after a closing quote": ("a,b,c\n" + BODY + 'x,ab"c,"q"r\n').encode(),
    "end of file inside quotes": ("a,b,c\n" + BODY + 'x,y,"open\n').encode(),
    "no line break at the end": ("a,b,c\n" + BODY + "x,y,z").encode(),
    "empty keys": ("a,b,c\n" + BODY + ",,E1\n" + BODY + '"","","E\n2"\n' + BODY + ',,"E\r\n3"\n').encode(),
    "invalid UTF-8 late": ("a,b,c\n" + BODY + BODY).encode() + b"x,\xff,z\n" + BODY.encode(),
    "invalid UTF-8 in the header": b"a,\xc3(,c\n" + BODY.encode(),
    "a ragged row late": ("a,b,c\n" + BODY + BODY + "x,y\n" + BODY).encode(),
    "a ragged row of one blank-looking field": ("a,b,c\n" + BODY + " \n" + BODY).encode(),
    "a field over the csv module's limit": ("a,b,c\n" + BODY + BODY + "x," + "y" * 1001 + ",z\n").encode(),
    "a long field within the limit": ("a,b,c\n" + BODY + "x," + "y" * 1000 + ",z\n" + BODY).encode(),
    "header only": b"a,b,c\r\n",
    "empty": b"",
    "a blank first line": b"\na,b,c\n" + BODY.encode(),
    "no column c": ("a,b,x\n" + BODY).encode(),
}
# The files whose header pyarrow's reader leaves to the csv module.
HEADER_LEFT_TO_CSV = {"invalid UTF-8 in the header", "empty", "a blank first line", "no column c"}


def _read_table(path, chunk, packed=False):
    """What a step sees of a table: the chunks' rows, where each chunk's
    first all-empty key is, the progress at the end, or the message. With
    `packed`, the rows' keys as a bank's build hands them to the module."""
    from vorlinde_match.errors import StepError
    from vorlinde_match.steps import KeyRows
    from vorlinde_match.tables import Table, first_empty

    def handed_over(group):
        rows = KeyRows()
        rows.add(group)
        return ["".join(row) for row in rows]

    seen = {"rows": [], "empty keys at": []}
    try:
        with Table(str(path), [["b", "a"], ["c"]]) as table:
            seen["reader"] = table.csv_reader
            for keys, cs in table.chunks(chunk, packed=(0, 1) if packed else ()):
                seen["rows"] += zip(handed_over(keys), handed_over(cs)) if packed else zip(keys, cs)
                if (i := first_empty(keys, 2)) is not None:
                    seen["empty keys at"].append(table.where(i))
            seen["progress"] = table.progress
    except StepError as error:
        seen["message"] = str(error)
    return seen


@pytest.mark.skipif(not has_pyarrow, reason="pyarrow is not installed")
@pytest.mark.parametrize("packed", [False, True], ids=["rows", "packed"])
@pytest.mark.parametrize("chunk", [7, 1000])
@pytest.mark.parametrize("name", list(SAME_INPUTS))
def test_both_readers_read_a_file_alike(tmp_path, monkeypatch, name, chunk, packed):
    """The csv module's reader is the oracle. pyarrow's blocks are made
    small, so that its blocks and the chunks fall differently. Packed, the
    rows' keys are packed by pyarrow and unpacked as the module walks them."""
    from vorlinde_match import arrow_csv

    content = SAME_INPUTS[name]
    path = tmp_path / "table.csv"
    path.write_bytes(content)
    monkeypatch.setattr(arrow_csv, "BLOCK_SIZE", 1 << 12)
    # A field limit that a row within one block can pass.
    limit = csv.field_size_limit(1000)
    try:
        monkeypatch.setenv("VORLINDE_MATCH_CSV_READER", "csv")
        expected = _read_table(path, chunk)
        monkeypatch.setenv("VORLINDE_MATCH_CSV_READER", "arrow")
        got = _read_table(path, chunk, packed)
    finally:
        csv.field_size_limit(limit)
    if packed:  # a store keeps a row's values run together
        expected["rows"] = [("".join(keys), "".join(cs)) for keys, cs in expected["rows"]]
    assert gc.isenabled()
    assert expected.pop("reader", "csv") == "csv"
    # pyarrow reads every file whose header it can vouch for; the others
    # fail as they are opened.
    assert got.pop("reader", None) == (None if name in HEADER_LEFT_TO_CSV else "arrow")
    assert got == expected
    assert expected["rows"] or "message" in expected or content == b"a,b,c\r\n"


def test_the_fallback_is_chosen_without_pyarrow(tmp_path):
    """As on PyPy, which has no pyarrow: a process that cannot import it
    reads with the csv module, and refuses to be forced to pyarrow."""
    path = tmp_path / "table.csv"
    path.write_bytes(b"a,b,c\n" + _rows(3).encode())
    script = ("import sys\nsys.modules['pyarrow'] = None\nfrom vorlinde_match.tables import Table\n"
              "from vorlinde_match.errors import StepError\n"
              f"with Table({str(path)!r}, [['a']]) as t:\n"
              "    print(t.csv_reader, sum(len(c) for (c,) in t.chunks(2)))\n"
              "import os\nos.environ['VORLINDE_MATCH_CSV_READER'] = 'arrow'\n"
              f"try:\n    Table({str(path)!r}, [['a']])\nexcept StepError as e:\n    print(e)\n")
    env = {k: v for k, v in os.environ.items() if k != "VORLINDE_MATCH_CSV_READER"}
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=TIMEOUT, env=env)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["csv 3", "VORLINDE_MATCH_CSV_READER=arrow needs pyarrow: pip install pyarrow"]
