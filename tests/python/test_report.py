"""The pages of a run and of a party's steps (vorlinde_match/report.py) and
the records they are drawn from (vorlinde_match/records.py): what they show
and to whom, that nothing taken from a record can become markup, that their
colours are legible, and, in Debian's Chromium, that a run's page prints
its figures on the pages it claims and draws its charts.

The expected figures come from outside the page: the results CSV, the
generator's answer (examples/make_sample.py), the handover files' own sizes
and headers, and BLAKE2b of the public keys' bytes (docs/pipeline.md)."""

import csv
import hashlib
import html.parser
import importlib.util
import json
import os
import platform
import random
import re
import shutil
import signal
import struct
import subprocess
import sys
import time
import zlib

import png_reader
import pytest
from command_scan import scan

pytestmark = [pytest.mark.unsanitized,
              pytest.mark.skipif(platform.python_implementation() == "PyPy",
                                 reason="the command's own pages, tested once on CPython")]

from vorlinde_match import records as records_module  # noqa: E402
from vorlinde_match.errors import StepError  # noqa: E402
from vorlinde_match import report  # noqa: E402

EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples")
ROLES = ("sender-bank", "receiver-bank", "operator")
BANKS = ("sender-bank", "receiver-bank")

_spec = importlib.util.spec_from_file_location("make_sample", os.path.join(EXAMPLES, "make_sample.py"))
make_sample = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(make_sample)


def command(*args, timeout=300, **kwargs):
    return subprocess.run([sys.executable, "-m", "vorlinde_match", *map(str, args)], capture_output=True, text=True,
                          timeout=timeout, **kwargs)


def one_line(done, fragment):
    assert done.returncode == 1, done.stderr
    lines = done.stderr.strip().splitlines()
    assert len(lines) == 1 and fragment in lines[0] and "Traceback" not in done.stderr, done.stderr


# Records made by hand: a run's nine steps, with times and sizes chosen here.

def _record(party, what, started, seconds, rows, **fields):
    name = f"{party.replace('-', ' ')} {what}"
    record = {"version": 1, "step": name, "what": what, "party": party, "started": 1_800_000_000 + started,
              "ended": 1_800_000_000 + started + seconds, "seconds": seconds, "rows": rows,
              "peak_memory_bytes": 40_000_000 + 1_000_000 * int(started), "peak_of": "step",
              "memory": {"every": 0.2, "samples": [[0.0, 30_000_000], [seconds, 39_000_000]]},
              "written": [], "read": [], "keys": {r: f"{i:032x}" for i, r in enumerate(ROLES)}}
    if what != "build":
        record["run"] = "0123456789abcdef"
    record.update(fields)
    return record


def made_records(transactions=1000, matched=400):
    handed = "/work/handover/"
    rows = []
    for i, bank in enumerate(BANKS):
        rows.append(_record(bank, "build", i, 1.0, 800, written=[{"file": f"{handed}{bank}.store", "bytes": 90_000,
                                                                  "to": ["operator"]}],
                            input=f"/data/{bank}.csv", columns={"key columns": ["iban", "name"]}))
    rows.append(_record("operator", "query", 2, 2.0, transactions,
                        written=[{"file": handed + "operator.queries", "bytes": 128 * transactions + 4096,
                                  "to": list(BANKS)}],
                        read=[{"file": f"{handed}{b}.store", "bytes": 90_000, "from": b} for b in BANKS],
                        input="/data/transactions.csv",
                        columns={"sender columns": ["sender_iban"], "receiver columns": ["receiver_iban"]}))
    for i, bank in enumerate(BANKS):
        rows.append(_record(bank, "randomize", 4 + i, 1.0, transactions,
                            written=[{"file": f"{handed}{bank}.randomized", "bytes": 128 * transactions + 4096,
                                      "to": ["operator"]}],
                            read=[{"file": handed + "operator.queries", "bytes": 128 * transactions + 4096,
                                   "from": "operator"}]))
    rows.append(_record("operator", "combine", 6, 1.0, transactions,
                        written=[{"file": f"{handed}operator.for-{b}", "bytes": 32 * transactions + 4096, "to": [b]}
                                 for b in BANKS]))
    for i, bank in enumerate(BANKS):
        rows.append(_record(bank, "decrypt", 7 + i, 0.5, transactions,
                            written=[{"file": f"{handed}{bank}.decrypted", "bytes": 32 * transactions + 4096,
                                      "to": ["operator"]}]))
    rows.append(_record("operator", "finish", 9, 0.5, transactions,
                        figures={"matched": matched, "unmatched": transactions - matched, "empty_sides": 0}))
    return rows


class Markup(html.parser.HTMLParser):
    """The elements, attributes and text (outside the stylesheet) of a page
    as a browser parses them."""

    def __init__(self, page):
        super().__init__(convert_charrefs=True)
        self.tags, self.attributes, self._text = set(), [], []
        self._style = False
        self.feed(page)
        self.close()
        self.text = "".join(self._text)

    def handle_starttag(self, tag, attrs):
        self.tags.add(tag)
        self.attributes.extend((tag, name, value) for name, value in attrs)
        self._style = tag == "style"

    def handle_endtag(self, tag):
        self._style = False

    def handle_data(self, data):
        if not self._style:
            self._text.append(data)


# The elements a page is made of; anything else came from its data.
ELEMENTS = {"html", "head", "meta", "title", "style", "body", "header", "h1", "h2", "p", "code", "section", "dl",
            "div", "dt", "dd", "table", "tr", "th", "td", "span", "svg", "defs", "pattern", "rect", "text", "line",
            "polyline"}
PAYLOADS = ["<script>alert(1)</script>", '"><img src=x onerror=alert(1)>', "R&D <b>bold</b> & 'quoted'"]


def _plant(records, where, payload):
    """Puts `payload` into the field `where` of the records (or of the
    page's arguments); returns (records, role of the party page, answer)."""
    role, answer = "sender-bank", None
    for r in records:
        if where == "step name":
            r["step"] = payload + r["step"]
        elif where == "role":
            if r["party"] == "sender-bank":
                r["party"] = payload
            role = payload
        elif where == "run id" and "run" in r:
            r["run"] = payload
        elif where == "fingerprint":
            r["keys"]["sender-bank"] = payload
        elif where == "role of a key":
            r["keys"][payload] = "00" * 16
        elif where == "file written" and r["written"]:
            r["written"][0]["file"] = "/tmp/" + payload
        elif where == "file read" and r["read"]:
            r["read"][0]["file"] = "/tmp/" + payload
        elif where == "recipient" and r["written"]:
            r["written"][0]["to"] = [payload]
        elif where == "sender of a file read" and r["read"]:
            r["read"][0]["from"] = payload
        elif where == "input table":
            r["input"] = payload
        elif where == "column name" and "columns" in r:
            r["columns"] = {k: [payload] for k in r["columns"]}
        elif where == "name of a column list" and "columns" in r:
            r["columns"] = {payload: next(iter(r["columns"].values()))}
    if where == "known answer path":
        answer = f"All 1,000 results agree with {payload}."
    return records, role, answer


PLACES = ["step name", "role", "run id", "fingerprint", "role of a key", "file written", "file read", "recipient",
          "sender of a file read", "input table", "column name", "name of a column list", "known answer path"]


@pytest.mark.parametrize("payload", PAYLOADS, ids=["script", "attribute breakout", "ampersands"])
@pytest.mark.parametrize("where", PLACES)
def test_markup_in_any_string_stays_text(where, payload):
    records, role, answer = _plant(made_records(), where, payload)
    pages = [report.run_page(records, answer)]
    if where != "known answer path":
        pages.append(report.party_page(records, role))
    shown = 0
    for page in pages:
        parsed = Markup(page)
        assert parsed.tags <= ELEMENTS, parsed.tags - ELEMENTS
        assert not [a for a in parsed.attributes if a[1].startswith("on")]
        shown += payload in parsed.text
        # Raw text would hold an unescaped & or <: every one in the source is
        # an entity or the page's own markup.
        assert payload not in page
    assert shown, f"the {where} is not on the page, so its escaping was not tested"


def _relative_luminance(hex_colour):
    """WCAG 2.x relative luminance of an sRGB colour #rrggbb or #rgb."""
    h = hex_colour.lstrip("#")
    if len(h) == 3:
        h = "".join(c * 2 for c in h)
    channels = []
    for i in (0, 2, 4):
        c = int(h[i:i + 2], 16) / 255
        channels.append(c / 12.92 if c <= 0.03928 else ((c + 0.055) / 1.055) ** 2.4)
    return 0.2126 * channels[0] + 0.7152 * channels[1] + 0.0722 * channels[2]


def contrast(a, b):
    high, low = sorted((_relative_luminance(a), _relative_luminance(b)), reverse=True)
    return (high + 0.05) / (low + 0.05)


def test_the_contrast_formula_gives_the_known_ratios():
    # WCAG 2.x: black on white is 21:1; #767676 on white is the lightest grey
    # that passes 4.5:1 (4.54:1), #777777 fails it (4.48:1).
    assert contrast("#000", "#fff") == pytest.approx(21.0)
    assert contrast("#767676", "#ffffff") == pytest.approx(4.54, abs=0.01)
    assert contrast("#777777", "#ffffff") == pytest.approx(4.48, abs=0.01)


def stylesheet(page):
    return re.search(r"<style>(.*?)</style>", page, re.S).group(1)


def colours(css):
    """(foregrounds, backgrounds): the colours the stylesheet gives text,
    lines, fills and borders, and those it gives backgrounds."""
    fore, back = set(), set()
    for prop, value in re.findall(r"([a-z-]+)\s*:\s*([^;{}]+)", css):
        found = re.findall(r"#[0-9a-fA-F]{6}\b|#[0-9a-fA-F]{3}\b", value)
        if prop in ("background", "background-color"):
            back.update(found)
        elif prop in ("color", "fill", "stroke") or prop.startswith("border"):
            fore.update(found)
        else:
            assert not found, f"a colour in {prop}: {value}"
        assert not re.search(r"\b(rgb|hsl)a?\(", value), value
    return fore, back


def test_every_colour_has_a_contrast_of_4_5_to_1_on_every_background():
    page = report.run_page(made_records())
    fore, back = colours(stylesheet(page))
    assert len(fore) >= 6 and len(back) >= 2  # text, greys, three parties; the page and the charts
    low = [(f, b, round(contrast(f, b), 2)) for f in fore for b in back if contrast(f, b) < 4.5]
    assert not low


def test_colours_are_set_by_the_stylesheet_alone():
    page = report.run_page(made_records())
    parsed = Markup(page.replace(stylesheet(page), ""))
    for tag, name, value in parsed.attributes:
        assert name not in ("style", "color", "bgcolor"), (tag, name, value)
        if name in ("fill", "stroke"):
            assert re.fullmatch(r"url\(#[a-z-]+\)", value), (tag, name, value)


def test_the_parties_differ_by_pattern_and_line_as_well_as_by_colour():
    page = report.run_page(made_records())
    shapes = {}
    for party, content in re.findall(r'<pattern id="timeline-(\w+)"[^>]*>(.*?)</pattern>', page):
        shapes[party] = re.sub(r' class="[^"]*"', "", content)
    assert {"sender", "receiver", "operator"} <= set(shapes)
    assert len({shapes["sender"], shapes["receiver"], shapes["operator"]}) == 3
    css = stylesheet(page)
    dashes = {p: re.search(rf"\.line-{p} \{{[^}}]*\}}", css).group(0) for p in ("sender", "receiver", "operator")}
    assert len({re.search(r"stroke-dasharray: ([^;]+)|$", d).group(1) for d in dashes.values()}) == 3
    # Each lane and each bar of the per-step charts is named in text.
    text = Markup(page).text
    for r in made_records():
        assert r["step"] in text and r["party"].replace("-", " ") in text


def test_only_the_operators_pages_show_the_match_figures():
    records = made_records(transactions=1000, matched=437)
    for page, shows in [(report.run_page(records), True), (report.party_page(records, "operator"), True),
                        (report.party_page(records, "sender-bank"), False),
                        (report.party_page(records, "receiver-bank"), False)]:
        text = Markup(page).text
        assert ("43.7 %" in text and "563" in text and "match rate" in text) == shows
        assert ("unmatched" in text) == shows
    # A party's page holds its own steps alone, even drawn from all of them.
    for role in ROLES:
        text = Markup(report.party_page(records, role)).text
        assert {r["step"] for r in records if r["step"] in text} == {r["step"] for r in records if r["party"] == role}


def test_a_run_of_no_transactions_says_there_is_no_match_rate():
    page = report.run_page(made_records(transactions=0, matched=0))
    assert "<dt>match rate</dt><dd>none</dd>" in page
    assert "No transactions" in Markup(page).text and "%" not in Markup(page).text


@pytest.mark.parametrize("records, rows", [
    ([], []),
    ([{"run": None}, {"run": "a"}, {"run": "a"}], [("a", 3)]),
    ([{"run": "a"}, {"run": None}, {"run": "b"}, {"run": None}], [("a", 1), ("b", 2), (None, 1)]),
    ([{"run": "a"}, {"run": "b"}, {"run": "a"}], [("a", 1), ("b", 1), ("a", 1)]),
    ([{"run": "a"}, {"run": None}, {"run": "a"}], [("a", 3)]),
], ids=["none", "keys then a run", "a build before each run, one waiting", "runs in turn", "a build within a run"])
def test_steps_without_a_run_join_the_run_that_follows(records, rows):
    records = [{k: v for k, v in r.items() if v is not None} for r in records]
    assert [(run, len(group)) for run, group in records_module.by_run(records)] == rows


def test_the_memory_curve_keeps_its_bound_and_spans_the_step():
    sampler = records_module.MemorySampler(every=0.002, most=8).start()
    start = time.monotonic()
    while time.monotonic() - start < 0.3:
        time.sleep(0.01)
    sampler.stop()
    times = [t for t, _ in sampler.samples]
    assert 4 <= len(times) <= 8
    assert times == sorted(times) and times[0] < 0.05 and times[-1] >= 0.29
    assert sampler.every > 0.002  # thinned: every other sample dropped, the interval doubled
    assert all(rss > 1 << 20 for _, rss in sampler.samples)


# A real run, through the command -------------------------------------------------------


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    """A whole run of a generated set with --work, and each party's page."""
    root = tmp_path_factory.mktemp("report-run")
    data = root / "data"
    make_sample.write_set(str(data), 1200, 26)
    work = root / "work"
    done = command("run", "--data", data, "--work", work, "--quiet")
    assert done.returncode == 0, done.stderr
    pages = root / "pages"
    pages.mkdir()
    for role in ROLES:
        done = command("report", "--home", work / role, "--output", pages / f"{role}.html", "--quiet")
        assert done.returncode == 0, done.stderr
    return root, data, work, pages


def _header(path):
    """The JSON header of a vorlinde-match file, read as docs/pipeline.md
    describes it: magic, seven digits of length, a space, the object."""
    with open(path, "rb") as f:
        head = f.read(4096)
    assert head.startswith(b"vorlinde-match/")
    return json.JSONDecoder().raw_decode(head[25:].decode("ascii"))[0]


def _fingerprint(home):
    with open(os.path.join(home, "public.key"), "rb") as f:
        return hashlib.blake2b(f.read()[-32:], digest_size=32).hexdigest()[:32]


def figures(data, work):
    """What the page must show, from the run's own files."""
    with open(work / "operator" / "matches.csv", newline="", encoding="utf-8") as f:
        flags = [row["matched"] for row in csv.DictReader(f)]
    with open(data / "expected_matches.csv", newline="", encoding="utf-8") as f:
        assert flags == [row["match"] for row in csv.DictReader(f)]
    matched = flags.count("true")
    return {"run": _header(work / "handover" / "operator.queries")["run"],
            "transactions": f"{len(flags):,}", "matched": f"{matched:,}", "unmatched": f"{len(flags) - matched:,}",
            "rate": f"{100 * matched / len(flags):.1f} %",
            "keys": {role: _fingerprint(work / role) for role in ROLES}}


def test_each_home_records_what_its_steps_handed_over(run):
    _, data, work, _ = run
    sizes = {n: os.path.getsize(work / "handover" / n) for n in os.listdir(work / "handover")}
    with open(data / "sender_bank.csv", newline="", encoding="utf-8") as f:
        accounts = sum(1 for _ in csv.DictReader(f))
    want = figures(data, work)
    written = {}
    for role in ROLES:
        for r in records_module.read(str(work / role)):
            assert r["party"] == role and r["ended"] >= r["started"]
            assert r.get("run", want["run"]) == want["run"]
            assert set(r["keys"]) <= set(ROLES) and all(want["keys"][k] == v for k, v in r["keys"].items())
            assert 0 < len(r["memory"]["samples"]) <= records_module.MAX_SAMPLES
            assert "figures" not in r or role == "operator" or "matched" not in r["figures"]
            for entry in r["written"]:
                if "to" in entry:
                    written[os.path.basename(entry["file"])] = (role, entry["to"], entry["bytes"])
            if r["what"] == "build":
                assert r["rows"] == accounts
    # Every handed-over file, by its writer, its recipients and its size.
    assert {n: b for n, (_, _, b) in written.items()} == sizes
    assert written["operator.queries"][:2] == ("operator", list(BANKS))
    assert written["operator.for-receiver-bank"][:2] == ("operator", ["receiver-bank"])
    assert written["sender-bank.decrypted"][:2] == ("sender-bank", ["operator"])


def test_the_pages_hold_no_secret_and_no_account(run):
    root, data, work, pages = run
    assert (work / "report.html").exists()
    found = scan(root, {"sender-bank": data / "sender_bank.csv", "receiver-bank": data / "receiver_bank.csv"},
                 exempt=[data / n for n in os.listdir(data)])
    assert found == []


def test_a_banks_page_shows_its_own_steps_and_no_match_figures(run):
    root, data, work, pages = run
    want = figures(data, work)
    for role in ROLES:
        text = Markup((pages / f"{role}.html").read_text(encoding="utf-8")).text
        assert want["run"] in text and all(fp in text for fp in want["keys"].values())
        assert ("match rate" in text) == (role == "operator")
        other = [r for r in ROLES if r != role]
        assert not any(f"{o.replace('-', ' ')} build" in text for o in other)


@pytest.mark.parametrize("args, fragment", [
    (["--home", "{root}/nowhere"], "is not a folder"),
    (["--home", "{root}/data"], "holds no party's keys"),
    (["--home", "{work}/sender-bank", "--run", "feedfeedfeedfeed"], "has no steps of that run"),
    (["--home", "{work}/sender-bank", "--output", "{root}/pages/operator.html"], "exists already; give --force"),
    (["--home", "{work}/sender-bank", "--output", "{work}/operator/mine.html"], "the operator's folder"),
    (["--home", "{work}/sender-bank", "--output", "{work}/sender-bank/steps.jsonl"], "a file this party keeps"),
], ids=["no folder", "no keys", "unknown run", "existing page", "into another home", "over the records"])
def test_the_report_command_refuses_in_one_line(run, args, fragment):
    root, _, work, _ = run
    before = {p: os.path.getmtime(p) for p in (root / "pages").iterdir()}
    done = command("report", *[a.format(root=root, work=work) for a in args])
    one_line(done, fragment)
    assert {p: os.path.getmtime(p) for p in (root / "pages").iterdir()} == before


def test_a_run_puts_its_page_beside_what_the_user_keeps(run, tmp_path):
    _, data, _, _ = run
    # A temporary work folder and --output: the page goes beside the results.
    done = command("run", "--data", data, "--output", tmp_path / "out.csv", "--quiet", "--chunk-rows", "500")
    assert done.returncode == 0, done.stderr
    assert "<svg" in (tmp_path / "out.report.html").read_text(encoding="utf-8")
    # ... and is never replaced without --force, refused before any work.
    done = command("run", "--data", data, "--output", tmp_path / "again.csv", "--report", tmp_path / "out.report.html")
    one_line(done, "out.report.html exists already; give --force")
    assert not (tmp_path / "again.csv").exists()
    # A temporary work folder alone keeps nothing, not even a page.
    scratch = tmp_path / "scratch"
    scratch.mkdir()
    done = command("run", "--data", data, "--json", cwd=scratch, env=dict(os.environ, TMPDIR=str(scratch)))
    assert done.returncode == 0, done.stderr
    assert os.listdir(scratch) == []


def test_a_damaged_record_is_named_by_its_line(tmp_path):
    home = tmp_path / "home"
    home.mkdir()
    good = json.dumps(made_records()[0], separators=(",", ":"))
    (home / "steps.jsonl").write_text(good + "\n" + good.replace('"rows":800', '"rows":"800"') + "\n" + '{"half')
    with pytest.raises(StepError, match=r"steps.jsonl, line 2: field 'rows' is not a count"):
        records_module.read(str(home))
    (home / "steps.jsonl").write_text(good + "\n" + '{"half')  # a record being appended
    assert len(records_module.read(str(home))) == 1


def test_a_failed_run_writes_no_page_and_records_only_finished_steps(tmp_path):
    data = tmp_path / "data"
    make_sample.write_set(str(data), 40, 3)
    with open(data / "receiver_bank.csv", "a", encoding="utf-8") as f:
        f.write(",,2020-01\n")  # an account without a key fails the receiver bank's build
    done = command("run", "--data", data, "--work", tmp_path / "work", "--report", tmp_path / "page.html", "--quiet")
    one_line(done, "every account needs a key")
    assert not (tmp_path / "page.html").exists() and not (tmp_path / "work" / "report.html").exists()
    kept = {role: [r["what"] for r in records_module.read(str(tmp_path / "work" / role))] for role in ROLES}
    assert kept == {"sender-bank": ["keys", "build"], "receiver-bank": ["keys"], "operator": ["keys"]}


# In Chromium -----------------------------------------------------------------------------

CHROMIUM = shutil.which("chromium")
PDFTOTEXT, PDFINFO = shutil.which("pdftotext"), shutil.which("pdfinfo")
needs_browser = pytest.mark.skipif(not (CHROMIUM and PDFTOTEXT and PDFINFO),
                                   reason="needs chromium and poppler-utils (scripts/install-deps installs them)")
SCREEN = (800, 2400)


def _chromium(profile, *args, timeout=240):
    """Runs headless Chromium once (as root it needs --no-sandbox), in a
    process group of its own that is killed whole if it hangs."""
    process = subprocess.Popen(
        [CHROMIUM, "--headless", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu", "--no-first-run",
         "--no-default-browser-check", "--disable-extensions", "--disable-background-networking",
         "--disable-component-update", "--disable-sync", f"--user-data-dir={profile}", *args],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)
    try:
        _, err = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.communicate()
        raise
    assert process.returncode == 0, err.decode(errors="replace")[-2000:]


@pytest.fixture(scope="module")
def rendered(run, tmp_path_factory):
    """The run's page printed to PDF and photographed, once per session."""
    _, _, work, _ = run
    out = tmp_path_factory.mktemp("chromium")
    page = f"file://{work / 'report.html'}"
    _chromium(out / "profile", "--no-pdf-header-footer", f"--print-to-pdf={out / 'page.pdf'}", page)
    _chromium(out / "profile", "--hide-scrollbars", f"--window-size={SCREEN[0]},{SCREEN[1]}",
              f"--screenshot={out / 'page.png'}", page)
    return out / "page.pdf", out / "page.png"


@needs_browser
def test_the_printed_page_holds_the_runs_figures_on_its_pages(run, rendered):
    _, data, work, _ = run
    pdf, _ = rendered
    info = subprocess.run([PDFINFO, pdf], capture_output=True, text=True, timeout=60, check=True).stdout
    pages = int(re.search(r"^Pages:\s+(\d+)", info, re.M).group(1))
    assert 1 <= pages <= report.PRINTED_PAGES
    assert "(A4)" in re.search(r"^Page size:.*$", info, re.M).group(0)
    text = subprocess.run([PDFTOTEXT, "-layout", pdf, "-"], capture_output=True, text=True, timeout=60,
                          check=True).stdout
    want = figures(data, work)
    for name in ("run", "transactions", "matched", "unmatched", "rate"):
        assert want[name] in text, name
    for fingerprint in want["keys"].values():
        assert fingerprint in text
    for step in ("sender bank build", "operator query", "receiver bank randomize", "operator combine",
                 "sender bank decrypt", "operator finish"):
        assert step in text


@pytest.mark.parametrize("channels", [3, 4], ids=["RGB", "RGBA"])
def test_the_png_reader_undoes_every_filter(tmp_path, channels):
    # Rows filtered by the definitions of the PNG standard (ISO 15948,
    # section 9), row y with filter y % 5, so that each follows each other.
    rng = random.Random(channels)
    width, height = 7, 11
    # Few values, some the mean of two others: the Paeth predictor meets ties.
    pixels = [bytes(rng.choice((0, 50, 100, 150, 200, 255)) for _ in range(width * channels)) for _ in range(height)]

    def predictor(kind, a, b, c):
        p = a + b - c
        closest = min((abs(p - a), 0, a), (abs(p - b), 1, b), (abs(p - c), 2, c))[2]
        return [0, a, b, (a + b) // 2, closest][kind]

    raw, above = b"", bytes(width * channels)
    for y, row in enumerate(pixels):
        kind = y % 5
        raw += bytes([kind]) + bytes(
            (row[x] - predictor(kind, row[x - channels] if x >= channels else 0, above[x],
                                above[x - channels] if x >= channels else 0)) & 255 for x in range(len(row)))
        above = row

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    path = tmp_path / "t.png"
    header = struct.pack(">IIBBBBB", width, height, 8, 2 if channels == 3 else 6, 0, 0, 0)
    path.write_bytes(png_reader.SIGNATURE + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw))
                     + chunk(b"IEND", b""))
    rgb = [bytes(v for i, v in enumerate(row) if i % channels < 3) for row in pixels]
    assert png_reader.decode(path) == (width, height, rgb)


def _rgb(hex_colour):
    return bytes.fromhex(hex_colour.lstrip("#"))


def _pixels(row):
    return [row[i:i + 3] for i in range(0, len(row), 3)]


@needs_browser
def test_the_charts_are_drawn_in_the_screenshot(run, rendered):
    _, _, work, _ = run
    _, picture = rendered
    css = stylesheet((work / "report.html").read_text(encoding="utf-8"))
    panel = _rgb(re.search(r"svg\.chart \{[^}]*background: (#[0-9a-f]{6})", css).group(1))
    party = {p: _rgb(re.search(rf"\.ink-{p} \{{ fill: (#[0-9a-f]{{6}})", css).group(1))
             for p in ("sender", "receiver", "operator")}
    width, height, rows = png_reader.decode(picture)
    assert (width, height) == SCREEN
    # The charts are the bands of rows where their panel colour shows.
    bands, inside = [], False
    for y, row in enumerate(rows):
        on = _pixels(row).count(panel) >= 100
        if on and not inside:
            bands.append([y, y])
        if on:
            bands[-1][1] = y
        inside = on or (inside and y - bands[-1][1] < 4)
    bands = [b for b in bands if b[1] - b[0] >= 40]
    names = ["timeline", "memory curve", "rows per second and peak memory", "bytes per direction"]
    assert len(bands) == len(names), bands
    assert bands[-1][1] < height - 20  # the whole page is in the picture
    for name, (top, bottom) in zip(names, bands):
        counts = {}
        for row in rows[top:bottom + 1]:
            for pixel in _pixels(row):
                counts[pixel] = counts.get(pixel, 0) + 1
        ink = sum(n for pixel, n in counts.items() if pixel not in (panel, b"\xff\xff\xff"))
        assert ink >= 1000, name
        if name != "memory curve":  # a curve is anti-aliased: its pixels are blends
            for p, colour in party.items():
                assert counts.get(colour, 0) >= 30, (name, p)
