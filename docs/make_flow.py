#!/usr/bin/env python3
"""Draws docs/flow.svg: the parties of a matching run, the function each one
calls at each step and what crosses between them, with its size.

    python docs/make_flow.py            writes docs/flow.svg
    python docs/make_flow.py --check    exits 1 if docs/flow.svg is not what
                                        this script draws

Plain Python, no third-party package; the output depends on nothing but this
file, so the committed picture can be checked against it.
"""

import os
import sys
from xml.sax.saxutils import escape

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "flow.svg")

WIDTH = 960
LANES = {"sender": 170, "operator": 480, "receiver": 790}  # x of each lane's centre
TITLES = {"sender": "Sender bank", "operator": "Operator", "receiver": "Receiver bank"}
BOX_W, BOX_H = 250, 44
TOP = 70  # y of the first step
STEP = 108  # vertical distance between steps

# Each step: the calls made in it (lane, function call, note under it), then
# the messages that follow it (from lane, to lane, label).
STEPS = [
    (
        [("sender", "key_gen()", "keeps A = a·G and a"),
         ("operator", "key_gen()", "keeps X = x·G and x"),
         ("receiver", "key_gen()", "keeps B = b·G and b")],
        [],
    ),
    (
        [("sender", "build_okvs(A, rows)", "one row per account"),
         ("receiver", "build_okvs(B, rows)", "one row per account")],
        [("sender", "operator", "store of n rows: 2072 + 64·⌈2.4·n⌉ B"),
         ("receiver", "operator", "store of n rows: 2072 + 64·⌈2.4·n⌉ B")],
    ),
    (
        [("operator", "initiate_queries(...)", "sender rows, receiver rows, both stores, X")],
        [("operator", "sender", "records: 128 B per transaction"),
         ("operator", "receiver", "records: 128 B per transaction")],
    ),
    (
        [("sender", "randomize(records)", "fresh scalar per record"),
         ("receiver", "randomize(records)", "fresh scalar per record")],
        [("sender", "operator", "records: 128 B per transaction"),
         ("receiver", "operator", "records: 128 B per transaction")],
    ),
    (
        [("operator", "combine(sender's, receiver's)", "keeps gamma and delta")],
        [("operator", "sender", "alpha: 32 B per transaction"),
         ("operator", "receiver", "beta: 32 B per transaction")],
    ),
    (
        [("sender", "decrypt(alpha, a)", ""),
         ("receiver", "decrypt(beta, b)", "")],
        [("sender", "operator", "points: 32 B per transaction"),
         ("receiver", "operator", "points: 32 B per transaction")],
    ),
    (
        [("operator", "finish(..., gamma, delta, x)", "one bool per transaction")],
        [],
    ),
]

STYLE = """
  text { font-family: DejaVu Sans, Arial, sans-serif; font-size: 13px; fill: #1a1a1a; }
  .title { font-size: 16px; font-weight: bold; }
  .call { font-family: DejaVu Sans Mono, monospace; font-size: 13px; }
  .note { font-size: 11px; fill: #555555; }
  .label { font-size: 12px; }
  .lane { stroke: #b0b0b0; stroke-width: 1; stroke-dasharray: 4 4; }
  .box { fill: #eef3fb; stroke: #3a6ea5; stroke-width: 1.2; }
  .arrow { stroke: #3a6ea5; stroke-width: 1.5; fill: none; marker-end: url(#head); }
"""


def text(x, y, content, cls=None, anchor="middle"):
    attr = f' class="{cls}"' if cls else ""
    return f'<text x="{x}" y="{y}" text-anchor="{anchor}"{attr}>{escape(content)}</text>'


def draw():
    height = TOP + STEP * (len(STEPS) - 1) + BOX_H + 30
    out = [
        '<?xml version="1.0" encoding="UTF-8"?>',
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{WIDTH}" height="{height}" '
        f'viewBox="0 0 {WIDTH} {height}">',
        f"<style>{STYLE}</style>",
        '<defs><marker id="head" viewBox="0 0 10 10" refX="10" refY="5" markerWidth="8" markerHeight="8" '
        'orient="auto-start-reverse"><path d="M 0 0 L 10 5 L 0 10 z" fill="#3a6ea5"/></marker></defs>',
        f'<rect x="0" y="0" width="{WIDTH}" height="{height}" fill="#ffffff"/>',
    ]
    for lane, x in LANES.items():
        out.append(text(x, 30, TITLES[lane], "title"))
        out.append(f'<line class="lane" x1="{x}" y1="42" x2="{x}" y2="{height - 10}"/>')
    for i, (calls, messages) in enumerate(STEPS):
        y = TOP + STEP * i
        for lane, call, note in calls:
            x = LANES[lane]
            out.append(f'<rect class="box" x="{x - BOX_W // 2}" y="{y}" width="{BOX_W}" height="{BOX_H}" rx="6"/>')
            out.append(text(x, y + (19 if note else 27), call, "call"))
            if note:
                out.append(text(x, y + 36, note, "note"))
        # Messages run below the boxes; the two messages of a step lie on
        # opposite sides of the operator's lane, so they never overlap.
        for src, dst, label in messages:
            xs, xd = LANES[src], LANES[dst]
            direction = 1 if xd > xs else -1
            x1 = xs + direction * (BOX_W // 2 - 40)
            x2 = xd - direction * (BOX_W // 2 - 40)
            ya = y + BOX_H + 30
            out.append(f'<line class="arrow" x1="{x1}" y1="{ya}" x2="{x2}" y2="{ya}"/>')
            out.append(text((x1 + x2) // 2, ya - 6, label, "label"))
    out.append("</svg>")
    return "\n".join(out) + "\n"


def main(argv):
    svg = draw()
    if argv[1:] == ["--check"]:
        with open(OUT, encoding="utf-8") as f:
            if f.read() != svg:
                print(f"{OUT} is not what {argv[0]} draws; run it to redraw", file=sys.stderr)
                return 1
        return 0
    if argv[1:]:
        print(__doc__, file=sys.stderr)
        return 2
    with open(OUT, "w", encoding="utf-8") as f:
        f.write(svg)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
