"""The example driver in examples/, run as a user would, at small size: it
hands the sample set (or a generated one) to `vorlinde-match run`."""

import importlib.util
import os
import platform
import subprocess
import sys

import pytest

# On PyPy PyNaCl is built from source (docs/pipeline.md); without it the
# command the driver runs cannot run there.
pytestmark = pytest.mark.skipif(platform.python_implementation() == "PyPy" and importlib.util.find_spec("nacl") is None,
                                reason="vorlinde-match needs PyNaCl, not installed for this PyPy")

EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples")
DRIVER = os.path.join(EXAMPLES, "matching_run.py")


def drive(*args):
    return subprocess.run([sys.executable, DRIVER, *map(str, args)], capture_output=True, text=True, timeout=300)


def test_the_sample_run_agrees_with_its_answer_and_keeps_nothing_secret_in_the_handover(tmp_path):
    done = drive("--work", tmp_path)
    assert done.returncode == 0, done.stderr
    assert "all 40 results agree" in done.stderr
    handed = sorted(os.listdir(tmp_path / "handover"))
    assert "sender-bank.store" in handed and "operator.queries" in handed
    assert not any("secret" in name for name in handed)


def test_a_generated_run_agrees_with_its_answer(tmp_path):
    done = drive("--rows", 60, "--seed", 3, "--work", tmp_path, "--chunk-rows", 7)
    assert done.returncode == 0, done.stderr
    assert "all 60 results agree" in done.stderr
