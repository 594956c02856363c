"""The report of a run, or of one party's steps: one self-contained HTML page
drawn from the steps' records (records.py), with its charts as inline SVG
written here, its style inline, no script and nothing fetched (its content
security policy forbids both), printable on A4 portrait.

It shows the run id and the keys' fingerprints, a table of the steps, a
timeline of the steps per party, the memory curve sampled through the steps,
rows per second and peak memory per step, and the bytes handed over per
direction. Only a page with the operator's steps shows the match rate and the
unmatched count: a bank's page shows what the bank knows.

Every string on the page that comes from a record (step names, roles, the run
id, fingerprints, file paths, column names) is HTML-escaped where it is put
in; colours are in the stylesheet alone, each at least 4.5:1 against every
background the stylesheet sets, and each party's bars also have a pattern and
every bar a label, so no meaning rests on colour.
"""

import html
import os
import time

from .errors import StepError
from .files import ROLES, Outputs, role_name
from .homes import check_layout, check_outputs, key_role
from .progress import human_bytes, human_count, human_seconds
from .records import OPERATOR, by_run, read

PAGE_FILE = "report.html"
# The number of A4 portrait pages a run's page prints on (checked by the
# browser test).
PRINTED_PAGES = 2

STYLE = """\
body { margin: 24px auto; max-width: 720px; padding: 0 16px; color: #1b1b1b; background: #ffffff;
       font: 14px/1.4 "DejaVu Sans", "Liberation Sans", Arial, sans-serif; }
h1 { font-size: 22px; margin: 0 0 4px; }
h2 { font-size: 16px; margin: 16px 0 6px; border-bottom: 1px solid #6e6e6e; }
p { margin: 4px 0; }
.sub, .note, dt { color: #4d4d4d; font-size: 12px; }
code { font-family: "DejaVu Sans Mono", "Liberation Mono", monospace; font-size: 12px; overflow-wrap: anywhere; }
table { border-collapse: collapse; width: 100%; font-size: 12px; }
th, td { text-align: left; padding: 1px 6px; border-bottom: 1px solid #6e6e6e; vertical-align: top; }
.n { text-align: right; white-space: nowrap; }
dl { display: grid; grid-template-columns: repeat(3, 1fr); gap: 4px 16px; margin: 0; }
dl div { margin: 0; }
dd { margin: 0; font-size: 17px; font-weight: bold; }
.legend { font-size: 12px; margin: 2px 0; }
.legend span { margin-right: 14px; white-space: nowrap; }
.legend svg { vertical-align: middle; margin-right: 4px; }
svg.chart { display: block; background: #f3f5f8; max-width: 100%; height: auto; margin: 4px 0; }
svg text { fill: #1b1b1b; font-size: 11px; font-family: "DejaVu Sans", "Liberation Sans", Arial, sans-serif; }
svg text.muted { fill: #4d4d4d; }
.axis { stroke: #6e6e6e; stroke-width: 1; }
.bar-sender, .ink-sender { fill: #1d5aa6; }
.bar-sender { stroke: #1d5aa6; }
.bar-receiver { stroke: #9c4206; }
.ink-receiver { fill: #9c4206; }
.bar-operator { stroke: #276b2b; }
.ink-operator { fill: #276b2b; }
.bar-other { stroke: #595959; }
.ink-other { fill: #595959; }
.line-sender, .line-receiver, .line-operator, .line-other { fill: none; stroke-width: 2; }
.line-sender { stroke: #1d5aa6; }
.line-receiver { stroke: #9c4206; stroke-dasharray: 7 3; }
.line-operator { stroke: #276b2b; stroke-dasharray: 2 2; }
.line-other { stroke: #595959; stroke-dasharray: 9 2 2 2; }
@page { size: A4 portrait; margin: 12mm; }
@media print {
  body { margin: 0; max-width: none; padding: 0; font-size: 11px; }
  h1 { font-size: 18px; }
  h2 { font-size: 13px; margin-top: 10px; }
  section { break-inside: avoid; }
}
"""

# Each role's style, and the pattern of its bars (solid, vertical stripes,
# checks, horizontal stripes), so that parties differ by more than colour.
STYLE_OF = {"sender-bank": "sender", "receiver-bank": "receiver", "operator": "operator"}
PATTERNS = {
    "sender": '<rect width="4" height="4" class="ink-sender"/>',
    "receiver": '<rect width="3" height="5" class="ink-receiver"/>',
    "operator": '<rect width="2" height="2" class="ink-operator"/><rect x="2" y="2" width="2" height="2" '
                'class="ink-operator"/>',
    "other": '<rect width="5" height="3" class="ink-other"/>',
}
PATTERN_SIZE = {"sender": (4, 4), "receiver": (5, 5), "operator": (4, 4), "other": (5, 5)}
WIDTH = 700


def _e(value):
    return html.escape(str(value), quote=True)


def _style(role):
    return STYLE_OF.get(role, "other")


def _party(role):
    return role_name(role) if role in ROLES else str(role)


def _duration(seconds):
    return f"{seconds * 1000:.0f} ms" if seconds < 1 else human_seconds(seconds)


def _rate(record):
    """Rows per second of a step, or None when it has no rows to show."""
    rows, seconds = record.get("rows"), record["seconds"]
    if rows is None or seconds <= 0:
        return None
    return rows / seconds


def _clock(t):
    return time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(t))


def _nice_step(span, most=7):
    """A tick interval (seconds or bytes) giving at most `most` ticks over `span`."""
    unit = 1e-3
    while True:
        for factor in (1, 2, 5):
            if span / (unit * factor) <= most:
                return unit * factor
        unit *= 10


def _time_tick(seconds, step):
    if step < 1:
        return f"{seconds:.1f} s"
    if seconds < 60 or step < 60:
        return f"{seconds:.0f} s"
    if seconds < 3600 or step < 3600:
        return f"{seconds / 60:g} min"
    return f"{seconds / 3600:g} h"


def _defs(prefix):
    """The fill patterns of one SVG, with ids of its own."""
    items = []
    for name, content in PATTERNS.items():
        w, h = PATTERN_SIZE[name]
        items.append(f'<pattern id="{prefix}-{name}" width="{w}" height="{h}" patternUnits="userSpaceOnUse">'
                     f'{content}</pattern>')
    return f"<defs>{''.join(items)}</defs>"


def _bar(prefix, style, x, y, w, h):
    return (f'<rect class="bar-{style}" fill="url(#{prefix}-{style})" x="{x:.0f}" y="{y:.0f}" '
            f'width="{max(w, 3):.0f}" height="{h:.0f}"/>')


def _svg(prefix, width, height, label, body):
    return (f'<svg class="chart" xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
            f'viewBox="0 0 {width} {height}" role="img" aria-label="{_e(label)}">{_defs(prefix)}{body}</svg>')


def _text(x, y, content, anchor="start", muted=False):
    cls = ' class="muted"' if muted else ""
    return f'<text x="{x:.0f}" y="{y:.0f}" text-anchor="{anchor}"{cls}>{_e(content)}</text>'


def _legend(roles):
    items = []
    for role in roles:
        style = _style(role)
        prefix = f"legend-{style}"
        items.append(f'<span><svg width="22" height="12" viewBox="0 0 22 12">{_defs(prefix)}'
                     f'{_bar(prefix, style, 0, 0, 22, 12)}</svg>{_e(_party(role))}</span>')
    return f'<p class="legend">{"".join(items)}</p>'


def _roles(steps):
    present = {s["party"] for s in steps}
    return [r for r in ROLES if r in present] + sorted(present - set(ROLES))


# Charts ---------------------------------------------------------------------------


def _timeline(steps, numbers):
    roles = _roles(steps)
    left, right, lane, top, axis = 130, 16, 34, 6, 26
    plot = WIDTH - left - right
    start = min(s["started"] for s in steps)
    span = max(max(s["ended"] for s in steps) - start, 1e-3)
    height = top + lane * len(roles) + axis
    parts = []
    for i, role in enumerate(roles):
        y = top + i * lane
        parts.append(_text(8, y + 24, _party(role)))
        label_end = -1.0
        for s in (s for s in steps if s["party"] == role):
            x = left + (s["started"] - start) / span * plot
            w = (s["ended"] - s["started"]) / span * plot
            parts.append(_bar("timeline", _style(role), x, y + 14, w, 14))
            label = str(numbers[id(s)])
            at = max(x, label_end + 3)
            parts.append(_text(at, y + 11, label))
            label_end = at + 7 * len(label)
    base = top + lane * len(roles)
    parts.append(f'<line class="axis" x1="{left}" y1="{base}" x2="{WIDTH - right}" y2="{base}"/>')
    step = _nice_step(span)
    tick = 0.0
    while tick <= span + 1e-9:
        x = left + tick / span * plot
        parts.append(f'<line class="axis" x1="{x:.1f}" y1="{base}" x2="{x:.1f}" y2="{base + 4}"/>')
        parts.append(_text(x, base + 16, _time_tick(tick, step), "middle", muted=True))
        tick += step
    parts.append(_text(8, base + 16, "time from start", muted=True))
    return _svg("timeline", WIDTH, height, "timeline of the steps per party", "".join(parts))


def _memory_curve(steps, numbers):
    """The sampled resident memory of the steps laid end to end (the time
    between steps left out), a line per step in its party's style."""
    sampled = [s for s in steps if s.get("memory", {}).get("samples")]
    if not sampled:
        return '<p class="note">No memory curve: the steps ran where memory cannot be sampled.</p>'
    left, right, top, plot_height, axis = 70, 16, 18, 110, 24
    plot = WIDTH - left - right
    lengths = [max(s["ended"] - s["started"], max(t for t, _ in s["memory"]["samples"]), 1e-3) for s in sampled]
    total = sum(lengths)
    highest = max(b for s in sampled for _, b in s["memory"]["samples"])
    step = _nice_step(highest, 4) if highest else 1
    ceiling = max(step * -(-highest // step), 1)
    height = top + plot_height + axis
    base = top + plot_height
    parts = []
    value = 0
    while value <= ceiling + 1e-9:
        y = base - value / ceiling * plot_height
        parts.append(f'<line class="axis" x1="{left - 4}" y1="{y:.1f}" x2="{left}" y2="{y:.1f}"/>')
        parts.append(_text(left - 6, y + 4, human_bytes(value), "end", muted=True))
        value += step
    parts.append(f'<line class="axis" x1="{left}" y1="{top}" x2="{left}" y2="{base}"/>')
    parts.append(f'<line class="axis" x1="{left}" y1="{base}" x2="{WIDTH - right}" y2="{base}"/>')
    offset = 0.0
    label_end = -1.0
    for s, length in zip(sampled, lengths):
        x0 = left + offset / total * plot
        points = " ".join(f"{x0 + min(t, length) / total * plot:.1f},{base - b / ceiling * plot_height:.1f}"
                          for t, b in s["memory"]["samples"])
        if len(s["memory"]["samples"]) == 1:
            points += " " + points
        parts.append(f'<line class="axis" x1="{x0:.1f}" y1="{top}" x2="{x0:.1f}" y2="{base}"/>')
        label = str(numbers[id(s)])
        at = max(x0 + 2, label_end + 3)
        parts.append(_text(at, top - 5, label))
        label_end = at + 7 * len(label)
        parts.append(f'<polyline class="line-{_style(s["party"])}" points="{points}"/>')
        offset += length
    parts.append(_text(left, base + 16, "the steps end to end, numbered as in the table; the time between them "
                                        "left out", muted=True))
    return _svg("memory", WIDTH, height, "resident memory sampled through the steps", "".join(parts))


def _per_step(steps, numbers):
    """Rows per second and peak memory, a horizontal bar each per step,
    labelled with the step's number and name and the value."""
    columns = [("rows per second", _rate, lambda v: f"{human_count(int(v))} rows/s", "no rows"),
               ("peak memory", lambda s: s.get("peak_memory_bytes"), human_bytes, "not known")]
    left, row, top, width = 172, 18, 22, 256
    height = top + row * len(steps) + 6
    parts = []
    for i, s in enumerate(steps):
        name = f"{numbers[id(s)]}. {s['step']}"
        parts.append(_text(8, top + i * row + 12, name if len(name) <= 27 else name[:26] + "\u2026"))
    for c, (title, value_of, shown, empty) in enumerate(columns):
        x0 = left + c * (width + 6)
        values = [value_of(s) for s in steps]
        most = max((v for v in values if v is not None), default=0)
        plot = width - 84
        parts.append(_text(x0, 14, title))
        for i, (s, v) in enumerate(zip(steps, values)):
            y = top + i * row
            if v is None:
                parts.append(_text(x0, y + 12, empty, muted=True))
                continue
            w = v / most * plot if most else 0
            parts.append(_bar("steps", _style(s["party"]), x0, y + 3, w, 11))
            parts.append(_text(x0 + max(w, 3) + 4, y + 12, shown(v)))
    return _svg("steps", WIDTH, height, "rows per second and peak memory per step", "".join(parts))


def _directions(steps, own=None):
    """{(sender, recipient): bytes}: what the steps wrote into the handover,
    by direction; for one party's page (`own`) also what it read."""
    totals = {}
    for s in steps:
        for entry in s.get("written", ()):
            for to in entry.get("to", ()):
                key = (s["party"], to)
                totals[key] = totals.get(key, 0) + entry["bytes"]
        if own is not None:
            for entry in s.get("read", ()):
                key = (entry.get("from", "unknown"), own)
                totals[key] = totals.get(key, 0) + entry["bytes"]
    order = {r: i for i, r in enumerate(ROLES)}
    return dict(sorted(totals.items(), key=lambda kv: (order.get(kv[0][0], 9), order.get(kv[0][1], 9), kv[0])))


def _direction_bars(directions):
    if not directions:
        return '<p class="note">Nothing was handed over.</p>'
    left, row, top = 200, 20, 6
    most = max(directions.values())
    plot = WIDTH - left - 98
    height = top + row * len(directions) + 6
    parts = []
    for i, ((sender, recipient), size) in enumerate(directions.items()):
        y = top + i * row
        parts.append(_text(8, y + 13, f"{_party(sender)} \u2192 {_party(recipient)}"))
        w = size / most * plot if most else 0
        parts.append(_bar("handover", _style(sender), left, y + 3, w, 13))
        parts.append(_text(left + max(w, 3) + 4, y + 13, human_bytes(size)))
    return _svg("handover", WIDTH, height, "bytes handed over per direction", "".join(parts))


# The page ---------------------------------------------------------------------------


def _figures(steps, operator, answer):
    """The figures at the top: what the page's parties know."""
    items = []
    query = next((s for s in steps if s["party"] == OPERATOR and s.get("what") == "query"), None)
    finish = next((s for s in steps if s["party"] == OPERATOR and "matched" in s.get("figures", {})), None)
    notes = []
    if query is not None:
        items.append(("transactions", human_count(query["rows"] or 0)))
    elif not operator:
        queried = next((s for s in steps if s.get("what") == "randomize"), None)
        if queried is not None:
            items.append(("queries received", human_count(queried["rows"] or 0)))
    if operator and finish is not None:
        figures = finish["figures"]
        count = figures["matched"] + figures.get("unmatched", 0)
        if count:
            items.append(("match rate", f"{100 * figures['matched'] / count:.1f} %"))
            items.append(("matched", human_count(figures["matched"])))
            items.append(("unmatched", human_count(figures.get("unmatched", 0))))
        else:
            items.append(("match rate", "none"))
            notes.append("No transactions: the run matched nothing, so there is no match rate.")
        if figures.get("empty_sides"):
            notes.append(f"{human_count(figures['empty_sides'])} transactions had an empty sender or receiver "
                         "side and count as unmatched.")
    busy = sum(s["seconds"] for s in steps)
    items.append(("time in the steps", _duration(busy)))
    handed = sum(e["bytes"] for s in steps for e in s.get("written", ()) if e.get("to"))
    items.append(("handed over", human_bytes(handed)))
    items.append(("highest peak memory", human_bytes(max(s.get("peak_memory_bytes", 0) for s in steps))))
    if answer:
        notes.append(answer)
    cells = "".join(f"<div><dt>{_e(name)}</dt><dd>{_e(value)}</dd></div>" for name, value in items)
    return f"<dl>{cells}</dl>" + "".join(f'<p class="note">{_e(n)}</p>' for n in notes)


def _keys_table(steps):
    keys = {}
    for s in steps:
        keys.update(s.get("keys", {}))
    if not keys:
        return '<p class="note">No key fingerprints recorded.</p>'
    order = {r: i for i, r in enumerate(ROLES)}
    rows = "".join(f"<tr><td>{_e(_party(role))}</td><td><code>{_e(fp)}</code></td></tr>"
                   for role, fp in sorted(keys.items(), key=lambda kv: (order.get(kv[0], 9), kv[0])))
    return f"<table><tr><th>key of</th><th>fingerprint</th></tr>{rows}</table>"


def _steps_table(steps, numbers, start):
    head = ('<tr><th class="n">#</th><th>step</th><th class="n">started</th><th class="n">time</th>'
            '<th class="n">rows</th><th class="n">rows/s</th><th class="n">peak memory</th>'
            '<th class="n">handed over</th></tr>')
    rows = []
    for s in steps:
        rate = _rate(s)
        rows_shown = "\u2013" if s.get("rows") is None else human_count(s["rows"])
        rate_shown = "\u2013" if rate is None else human_count(int(rate))
        peak = human_bytes(s.get("peak_memory_bytes", 0))
        if s.get("peak_of") == "process":
            peak += "*"
        handed = sum(e["bytes"] for e in s.get("written", ()) if e.get("to"))
        cells = [str(numbers[id(s)]), s["step"], "+" + _duration(s["started"] - start), _duration(s["seconds"]),
                 rows_shown, rate_shown, peak, human_bytes(handed) if handed else "\u2013"]
        rows.append("<tr>" + "".join(f"<td>{_e(c)}</td>" if i == 1 else f'<td class="n">{_e(c)}</td>'
                                     for i, c in enumerate(cells)) + "</tr>")
    notes = []
    if any(s.get("peak_of") == "process" for s in steps):
        notes.append("* the peak of the step's process since it started (this system cannot reset it per step)")
    for s in steps:
        said = []
        if s.get("input"):
            said.append(f"input {s['input']}")
        for name, columns in s.get("columns", {}).items():
            said.append(f"{name} {', '.join(columns)}")
        if said:
            notes.append(f"{numbers[id(s)]}. {s['step']}: " + "; ".join(said))
    return f"<table>{head}{''.join(rows)}</table>" + "".join(f'<p class="note">{_e(n)}</p>' for n in notes)


def _files_table(steps, numbers, own=None):
    rows = []
    for s in steps:
        for entry in s.get("written", ()):
            if entry.get("to"):
                way = f"{_party(s['party'])} \u2192 {', '.join(_party(t) for t in entry['to'])}"
                rows.append((numbers[id(s)], entry["file"], way, entry["bytes"]))
        if own is not None:
            for entry in s.get("read", ()):
                way = f"{_party(entry.get('from', 'unknown'))} \u2192 {_party(own)}"
                rows.append((numbers[id(s)], entry["file"], way, entry["bytes"]))
    if not rows:
        return ""
    body = "".join(f'<tr><td class="n">{_e(n)}</td><td><code>{_e(path)}</code></td><td>{_e(way)}</td>'
                   f'<td class="n">{_e(human_bytes(size))}</td></tr>' for n, path, way, size in rows)
    return (f'<table><tr><th class="n">#</th><th>file</th><th>from \u2192 to</th><th class="n">size</th></tr>'
            f"{body}</table>")


def page(records, title, *, operator, own=None, answer=None):
    """The HTML page of `records` (one run's, any parties'): `operator` shows
    the operator's match figures, `own` is the party whose page it is (None
    for a whole run: what each step wrote, once), `answer` a line about the
    results checked against a known answer."""
    if not records:
        raise StepError("no steps to report")
    steps = sorted(records, key=lambda s: s["started"])
    numbers = {id(s): i for i, s in enumerate(steps, 1)}
    start = steps[0]["started"]
    runs = sorted({s["run"] for s in steps if s.get("run")})
    run = ", ".join(runs) if runs else "none yet"
    sub = (f"run <code>{_e(run)}</code> \u00b7 started {_e(_clock(start))} \u00b7 {len(steps)} steps \u00b7 "
           f"page written {_e(_clock(time.time()))}")
    roles = _roles(steps)
    body = f"""<header><h1>{_e(title)}</h1><p class="sub">{sub}</p></header>
<section><h2>Figures</h2>{_figures(steps, operator, answer)}</section>
<section><h2>Run id and keys</h2><p>run id <code>{_e(run)}</code></p>{_keys_table(steps)}</section>
<section><h2>Steps</h2>{_steps_table(steps, numbers, start)}</section>
<section><h2>Timeline</h2>{_legend(roles)}{_timeline(steps, numbers)}</section>
<section><h2>Memory</h2><p class="note">Resident memory of the process running each step, sampled every
{_e(_sampling(steps))}; peak memory is the step's high-water mark.</p>{_memory_curve(steps, numbers)}</section>
<section><h2>Rows per second and peak memory per step</h2>{_per_step(steps, numbers)}</section>
<section><h2>Bytes handed over per direction</h2>{_direction_bars(_directions(steps, own))}
{_files_table(steps, numbers, own)}</section>
"""
    policy = "default-src 'none'; style-src 'unsafe-inline'"
    return f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta http-equiv="Content-Security-Policy" content="{policy}">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>{_e(title)}</title>
<style>
{STYLE}</style></head>
<body>
{body}</body></html>
"""


def _sampling(steps):
    everies = [s["memory"]["every"] for s in steps if s.get("memory", {}).get("samples")]
    if not everies:
        return "\u2013"
    low, high = min(everies), max(everies)
    return f"{low:g} s" if low == high else f"{low:g} to {high:g} s (longer steps less often)"


def run_page(records, answer=None):
    """The page of a whole run on one machine (`run`): all three parties."""
    return page(records, "vorlinde-match: report of a matching run", operator=True, answer=answer)


def party_page(records, role):
    """The page of one party's own steps; the operator's alone shows the
    match figures."""
    mine = [r for r in records if r["party"] == role]
    if not mine:
        raise StepError(f"no steps of the {_party(role)} to report")
    return page(mine, f"vorlinde-match: the {_party(role)}'s steps", operator=role == OPERATOR, own=role)


def write(path, text):
    """Writes the page to `path` (replacing it at the end, as every output)."""
    with Outputs() as out, out.text(path) as f:
        f.write(text)


def party_report(home, output, reporter, run=None, force=False):
    """Writes the page of the party of `home` for its run `run` (default:
    its last) from HOME/steps.jsonl to `output` (default HOME/report.html);
    returns the page's path."""
    if not os.path.isdir(home):
        raise StepError(f"--home {home} is not a folder; give the party's folder")
    role = key_role(home)
    if role is None or role not in ROLES:
        raise StepError(f"{home} holds no party's keys; give the folder of a party (made by `vorlinde-match keys`)")
    default = os.path.join(home, PAGE_FILE)
    output = output or default
    check_layout(home, role, outputs=[("--output", output)])
    check_outputs([("--output", output)], force=force, own=[default], home=home)
    start = time.perf_counter()
    groups = by_run(read(home))
    if not groups:
        raise StepError(f"{home} holds no step records yet: run this party's steps first")
    if run is None:
        chosen = groups[-1][1]
    else:
        chosen = next((records for r, records in groups if r == run), None)
        if chosen is None:
            known = ", ".join(r for r, _ in groups if r) or "none"
            raise StepError(f"--run {run}: {home} has no steps of that run (its runs: {known})")
    write(output, party_page(chosen, role))
    reporter.finished(f"{_party(role)} report", None, time.perf_counter() - start,
                      {output: os.path.getsize(output)})
    return output

