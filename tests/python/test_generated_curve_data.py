"""The committed base-point table and curve constants are exactly what
tools/gen_curve_tables.py computes from plain integers (independently of the
C++ that uses them)."""

import pathlib
import re
import subprocess
import sys

import pytest

SCRIPT = pathlib.Path(__file__).resolve().parents[2] / "tools" / "gen_curve_tables.py"

pytestmark = pytest.mark.skipif(not SCRIPT.is_file(), reason="no tools/ folder beside the tests")


def run(*args):
    return subprocess.run([sys.executable, str(SCRIPT), *args], capture_output=True, text=True)


def test_committed_files_are_generated():
    result = run("--check")
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("changed", ["table", "constants", "lane-constants"])
def test_check_reports_one_changed_limb(tmp_path, changed):
    """--check must not pass vacuously: one limb off by one is a difference."""
    paths = {name: tmp_path / (name + ".txt") for name in ("table", "constants", "lane-constants")}
    arguments = [argument for name, path in paths.items() for argument in ("--" + name, str(path))]
    assert run(*arguments).returncode == 0
    assert run("--check", *arguments).returncode == 0

    target = paths[changed]
    text = target.read_text()
    limbs = list(re.finditer(r"0x[0-9a-f]{13}", text))
    victim = limbs[len(limbs) // 2]  # somewhere in the middle, not the first line
    flipped = "0x%013x" % (int(victim.group(), 16) ^ 1)
    target.write_text(text[: victim.start()] + flipped + text[victim.end() :])

    result = run("--check", *arguments)
    assert result.returncode == 1
    removed = [line for line in result.stdout.splitlines() if line.startswith("-") and flipped in line]
    assert len(removed) == 1, result.stdout
