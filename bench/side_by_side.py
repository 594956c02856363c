#!/usr/bin/env python3
"""Two builds of the module timed side by side, in one sitting.

Each build is named by an interpreter that imports it (for example the
virtual environments of two checkouts). Rounds alternate between the builds,
each in a fresh process pinned to one processor with the pool at one thread,
so that drift in the machine's load falls on both alike. Prints, per case, the
median time per transaction of each build and their ratio.

    python bench/side_by_side.py --before OLD/bin/python --after NEW/bin/python \
        [--cases build_okvs,initiate_queries,transaction] [-n 20000] [--rounds 9] [--cpu 1]

Cases: build_okvs (a bank's store of n rows: the time per row),
initiate_queries (the operator's lookups and records, half of the
lookups missing), transaction (initiate_queries, randomize twice, combine,
decrypt twice and finish: one whole transaction of the protocol).
"""

import argparse
import json
import os
import statistics
import subprocess

_SETUP = """
import time, vorlinde
(A, a), (B, b), (X, x) = vorlinde.key_gen(), vorlinde.key_gen(), vorlinde.key_gen()
senders = [[f"DE{i:020d}", f"sender {i}"] for i in range(n)]
receivers = [[f"FR{i:020d}", f"receiver {i}"] for i in range(n)]
sender_store = vorlinde.build_okvs(A, senders[::2])
receiver_store = vorlinde.build_okvs(B, receivers[1::2] + receivers[: n // 4])
"""

_CASES = {
    "build_okvs": "vorlinde.build_okvs(A, senders)",
    "initiate_queries": "vorlinde.initiate_queries(senders, receivers, sender_store, receiver_store, X)",
    "transaction": """
records = vorlinde.initiate_queries(senders, receivers, sender_store, receiver_store, X)
alpha, beta, gamma, delta = vorlinde.combine(vorlinde.randomize(records), vorlinde.randomize(records))
vorlinde.finish(vorlinde.decrypt(alpha, a), vorlinde.decrypt(beta, b), gamma, delta, x)
""",
}


def _program(case, n, repeat):
    return (f"n = {n}\n" + _SETUP + "\nimport json\ntimes = []\nfor _ in range(" + str(repeat) + "):\n"
            "    start = time.perf_counter()\n" + "".join(f"    {line}\n" for line in _CASES[case].strip().splitlines())
            + "    times.append(time.perf_counter() - start)\nprint(json.dumps(min(times) / n))\n")


def _time(python, case, n, cpu):
    env = dict(os.environ, RAYON_NUM_THREADS="1")
    out = subprocess.run(["taskset", "-c", str(cpu), python, "-c", _program(case, n, 2)], env=env, check=True,
                         capture_output=True, text=True).stdout
    return json.loads(out)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--before", required=True, help="interpreter that imports the first build")
    ap.add_argument("--after", required=True, help="interpreter that imports the second build")
    ap.add_argument("--cases", default="build_okvs,initiate_queries,transaction")
    ap.add_argument("-n", type=int, default=20000, help="transactions per call")
    ap.add_argument("--rounds", type=int, default=9)
    ap.add_argument("--cpu", type=int, default=1, help="processor to pin to")
    args = ap.parse_args()
    cases = args.cases.split(",")
    times = {(c, w): [] for c in cases for w in ("before", "after")}
    for r in range(args.rounds):
        for case in cases:
            order = ("before", "after") if r % 2 == 0 else ("after", "before")
            for which in order:
                times[case, which].append(_time(getattr(args, which), case, args.n, args.cpu))
    print(f"{'case':<18} {'before µs':>10} {'after µs':>10} {'after/before':>13}  (median of {args.rounds} rounds,"
          f" n = {args.n}, one thread, cpu {args.cpu})")
    for case in cases:
        before, after = statistics.median(times[case, "before"]), statistics.median(times[case, "after"])
        print(f"{case:<18} {before * 1e6:>10.2f} {after * 1e6:>10.2f} {after / before:>13.4f}")


if __name__ == "__main__":
    main()
