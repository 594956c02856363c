"""The known answer of a generated set (examples/make_sample.py writes
expected_matches.csv beside the tables) and the results the command wrote,
both as [(id, "true" or "false")], for the tests that run vorlinde-match;
and the set's tables as Parquet files."""

import csv
import os


def answer(folder):
    with open(os.path.join(folder, "expected_matches.csv"), newline="", encoding="utf-8") as f:
        return [(row["id"], row["match"]) for row in csv.DictReader(f)]


def results(path):
    with open(path, newline="", encoding="utf-8") as f:
        return [(row["id"], row["matched"]) for row in csv.DictReader(f)]


def parquet_copies(folder, to, row_group_size=None):
    """The set's three tables written as Parquet files in `to` (amounts kept
    as text), by name: {"sender_bank": path, ...}. Needs pyarrow."""
    import pyarrow.csv
    import pyarrow.parquet

    names = {}
    for name in ("sender_bank", "receiver_bank", "transactions"):
        table = pyarrow.csv.read_csv(os.path.join(folder, f"{name}.csv"),
                                     convert_options=pyarrow.csv.ConvertOptions(column_types={"amount": "string"}))
        names[name] = os.path.join(to, f"{name}.parquet")
        pyarrow.parquet.write_table(table, names[name], row_group_size=row_group_size)
    return names
