"""The matching-run driver in examples/, run as a user would, at small size."""

import csv
import os
import shutil
import subprocess
import sys

import pytest

EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples")
DRIVER = os.path.join(EXAMPLES, "matching_run.py")
SAMPLE = os.path.join(EXAMPLES, "sample")


def drive(*args):
    return subprocess.run([sys.executable, DRIVER, *args], capture_output=True, text=True, timeout=300)


def printed_matches(stdout):
    line = next(line for line in stdout.splitlines() if line.startswith("matched:"))
    return line.split()[1:]


def expected_matches(folder):
    with open(os.path.join(folder, "expected_matches.csv"), newline="", encoding="utf-8") as f:
        return [row["id"] for row in csv.DictReader(f) if row["match"] == "true"]


def test_sample_run_prints_the_known_matches(tmp_path):
    done = drive("--work", str(tmp_path))
    assert done.returncode == 0, done.stdout + done.stderr
    assert printed_matches(done.stdout) == expected_matches(SAMPLE)
    # What crossed between the parties, and nothing secret among it.
    handed = sorted(os.listdir(tmp_path / "handover"))
    assert "sender_bank_to_operator.okvs" in handed and "operator_to_banks.records" in handed
    assert not any("secret" in name for name in handed)


def test_generated_run_agrees_with_its_answer(tmp_path):
    done = drive("--rows", "60", "--seed", "3", "--work", str(tmp_path))
    assert done.returncode == 0, done.stdout + done.stderr
    assert printed_matches(done.stdout) == expected_matches(tmp_path / "input")


@pytest.mark.parametrize("flip", ["T000001", "T000004"])
def test_a_wrong_answer_file_fails_the_run(tmp_path, flip):
    data = tmp_path / "data"
    shutil.copytree(SAMPLE, data)
    answer = data / "expected_matches.csv"
    lines = answer.read_text(encoding="utf-8").splitlines()
    lines = [line.replace(",true", ",FLIP").replace(",false", ",true").replace(",FLIP", ",false")
             if line.startswith(flip + ",") else line for line in lines]
    answer.write_text("\n".join(lines) + "\n", encoding="utf-8")
    done = drive("--data", str(data), "--work", str(tmp_path / "work"))
    assert done.returncode == 1
    assert "MISMATCH" in done.stdout and flip in done.stdout
