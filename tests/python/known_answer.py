"""The known answer of a generated set (examples/make_sample.py writes
expected_matches.csv beside the tables) and the results the command wrote,
both as [(id, "true" or "false")], for the tests that run vorlinde-match."""

import csv
import os


def answer(folder):
    with open(os.path.join(folder, "expected_matches.csv"), newline="", encoding="utf-8") as f:
        return [(row["id"], row["match"]) for row in csv.DictReader(f)]


def results(path):
    with open(path, newline="", encoding="utf-8") as f:
        return [(row["id"], row["matched"]) for row in csv.DictReader(f)]
