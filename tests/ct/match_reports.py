#!/usr/bin/env python3
"""Matches the reports of one constant-time check run against the expected list.

    match_reports.py TOOL REPORTS EXPECTED LABEL

TOOL is "valgrind" (REPORTS is memcheck's --xml-file) or "msan" (REPORTS is the
program's standard error). EXPECTED is tests/ct/expected_reports.ini. Exits 1
when a report matches no entry, or when an entry that applies to TOOL matched
no report (the list has gone stale); 0 otherwise.

A report is reduced to its stack of function names, innermost first, inline
frames included. Names are compared without parameters, template arguments,
return types or anonymous namespaces; because memcheck names inlined frames
unqualified ("zero" for vorlinde::Ciphertext::zero), a frame matches a pattern
when either's components are a trailing part of the other's.
"""

import configparser
import re
import sys
import xml.etree.ElementTree as ET

OPEN = "(<{["
CLOSE = ")>}]"
OPERATOR_CHARS = set("=!<>+-*/%^&|~[]")
MAX_FRAMES = 8


def strip_name(name):
    """The qualified function name alone: 'unsigned long a::b<int>::f(int) const' -> ['a', 'b', 'f']."""
    out = []
    depth = 0
    i = 0
    while i < len(name):
        if depth == 0 and name.startswith("operator", i) and (i == 0 or name[i - 1] in ": "):
            j = i + len("operator")
            if name.startswith("()", j):
                j += 2
            else:
                while j < len(name) and name[j] in OPERATOR_CHARS:
                    j += 1
            out.append(name[i:j])
            i = j
            continue
        c = name[i]
        if c in OPEN:
            if depth == 0 and c == "{":
                out.append("{lambda}")
            depth += 1
        elif c in CLOSE:
            depth = max(0, depth - 1)
        elif depth == 0:
            out.append(c)
        i += 1
    words = [w for w in "".join(out).split() if w not in ("const", "volatile", "&", "&&")]
    if not words:
        return []
    return [part for part in words[-1].split("::") if part]


def same_function(frame, pattern):
    shorter, longer = sorted((frame, pattern), key=len)
    return bool(shorter) and longer[len(longer) - len(shorter):] == shorter


def matches(frames, patterns):
    """The first pattern names the innermost frame; the others follow outwards, in order, gaps allowed."""
    if not frames or not same_function(frames[0][0], patterns[0]):
        return False
    at = 1
    for pattern in patterns[1:]:
        while at < len(frames) and not same_function(frames[at][0], pattern):
            at += 1
        if at == len(frames):
            return False
        at += 1
    return True


def valgrind_reports(path):
    reports = []
    for error in ET.parse(path).getroot().iter("error"):
        kind = error.findtext("kind") or "?"
        if kind.startswith("Leak_"):
            continue
        frames = []
        for frame in error.find("stack").iter("frame"):
            fn = frame.findtext("fn") or frame.findtext("obj") or "???"
            where = f"{frame.findtext('file') or '?'}:{frame.findtext('line') or '?'}"
            frames.append((strip_name(fn), fn, where))
        reports.append((f"{kind}: {error.findtext('what') or ''}", frames))
    return reports


MSAN_FRAME = re.compile(r"^\s*#\d+ 0x[0-9a-f]+ in (.*?)(?: (\S+:\d+(?::\d+)?|\(\S+\)))?$")


def msan_reports(path):
    reports = []
    current = None
    with open(path, errors="replace") as f:
        for line in f:
            if "WARNING: MemorySanitizer:" in line:
                current = (line.split("WARNING: ", 1)[1].strip(), [])
                reports.append(current)
            elif current is not None:
                m = MSAN_FRAME.match(line)
                if m:
                    fn = m.group(1)
                    current[1].append((strip_name(fn), fn, m.group(2) or "?"))
                elif line.strip() == "" or line.startswith("SUMMARY"):
                    current = None
    return reports


def load_expected(path):
    parser = configparser.ConfigParser(interpolation=None)
    with open(path) as f:
        parser.read_file(f)
    entries = []
    for name in parser.sections():
        section = parser[name]
        patterns = [strip_name(line) for line in section["frames"].split("\n") if line.strip()]
        runs = section.get("runs", "valgrind msan").split()
        entries.append((name, patterns, runs))
    return entries


def main():
    tool, reports_path, expected_path, label = sys.argv[1:5]
    reports = valgrind_reports(reports_path) if tool == "valgrind" else msan_reports(reports_path)
    entries = load_expected(expected_path)

    # One copy of each distinct stack (the tools report a repeated error once
    # or every time, depending on the tool).
    distinct = {}
    for what, frames in reports:
        key = (what, tuple((tuple(f[0]), f[2]) for f in frames))
        distinct.setdefault(key, (what, frames, 0))
        distinct[key] = (what, frames, distinct[key][2] + 1)

    hits = {name: 0 for name, _, _ in entries}
    unexpected = []
    for what, frames, count in distinct.values():
        for name, patterns, _ in entries:
            if matches(frames, patterns):
                hits[name] += count
                break
        else:
            unexpected.append((what, frames, count))

    stale = [name for name, _, runs in entries if tool in runs and hits[name] == 0]
    seen = ", ".join(f"[{name}] x{n}" for name, n in hits.items() if n) or "none expected"
    print(f"{label}: {len(reports)} reports, {len(distinct)} distinct stacks; expected: {seen}")
    # Unexpected reports grouped by the place that reported, one stack shown.
    places = {}
    for what, frames, count in unexpected:
        top = frames[0] if frames else ([], "???", "?")
        place = places.setdefault((what, top[1], top[2]), [frames, 0, 0])
        place[1] += count
        place[2] += 1
    for (what, fn, where), (frames, count, paths) in places.items():
        print(f"{label}: UNEXPECTED {what}\n    at {fn}  {where}\n"
              f"    {count} reports over {paths} call paths; one of them:")
        for _, frame_fn, frame_where in frames[:MAX_FRAMES]:
            print(f"      {frame_fn}  {frame_where}")
    for name in stale:
        print(f"{label}: STALE expected entry [{name}]: no such report any more; "
              f"remove it or its '{tool}' from runs in {expected_path}")
    return 1 if unexpected or stale else 0


if __name__ == "__main__":
    sys.exit(main())
