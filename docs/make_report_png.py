"""Draws docs/report.png, the picture of a run's page in README.md: a whole
run on a generated set of 20,000 transactions (examples/make_sample.py),
its page photographed by headless Chromium, then reduced to its 256 most
frequent colours (the rest, anti-aliased text, to the nearest of them) so
that the file stays small.

    .venv/cpython/bin/python docs/make_report_png.py

Needs the module installed in that interpreter, and chromium.
"""

import collections
import importlib.util
import os
import struct
import subprocess
import sys
import tempfile
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "python"))
import png_reader  # noqa: E402

WINDOW = (760, 1860)


def palette_png(path, width, height, rows, colours=256):
    """Writes `rows` (RGB bytes) as an 8-bit palette PNG."""
    counts = collections.Counter(row[i:i + 3] for row in rows for i in range(0, len(row), 3))
    palette = [c for c, _ in counts.most_common(colours)]
    index = {c: i for i, c in enumerate(palette)}
    for c in counts:
        if c not in index:
            index[c] = min(range(len(palette)), key=lambda i: sum((a - b) ** 2 for a, b in zip(c, palette[i])))
    raw = b"".join(b"\0" + bytes(index[row[i:i + 3]] for i in range(0, len(row), 3)) for row in rows)

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    with open(path, "wb") as f:
        f.write(png_reader.SIGNATURE + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 3, 0, 0, 0))
                + chunk(b"PLTE", b"".join(palette)) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main():
    loader = importlib.util.spec_from_file_location("make_sample", os.path.join(ROOT, "examples", "make_sample.py"))
    make_sample = importlib.util.module_from_spec(loader)
    loader.loader.exec_module(make_sample)
    with tempfile.TemporaryDirectory(prefix="report-png-") as folder:
        make_sample.write_set(os.path.join(folder, "data"), 20000, 7)
        subprocess.run([sys.executable, "-m", "vorlinde_match", "run", "--data", "data", "--work", "work", "--quiet"],
                       cwd=folder, check=True, timeout=600)
        shot = os.path.join(folder, "shot.png")
        subprocess.run(["chromium", "--headless", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                        "--hide-scrollbars", f"--user-data-dir={folder}/profile",
                        f"--window-size={WINDOW[0]},{WINDOW[1]}", f"--screenshot={shot}",
                        f"file://{folder}/work/report.html"],
                       check=True, timeout=600, capture_output=True)
        width, height, rows = png_reader.decode(shot)
    out = os.path.join(ROOT, "docs", "report.png")
    palette_png(out, width, height, rows)
    print(f"{out}: {os.path.getsize(out):,} bytes")


if __name__ == "__main__":
    main()
