#!/usr/bin/env python3
"""Per-function throughput of the vorlinde module.

Every measurement runs in a fresh interpreter, once with RAYON_NUM_THREADS=1 and
once with the default pool (one thread per available processor), so the pool
size is read anew each time. Prints one table: items per second for each
function and size, and the speed-up of all cores over one thread.

    python bench/throughput.py [--sizes 100000] [--repeat 3] [--only decrypt,finish]
    python bench/throughput.py --run 100000

--run N times instead a whole matching run of N generated transactions
(examples/matching_run.py, in this process, with the pool as the environment
sets it), step by step.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys

# Each case: name -> (unit, setup source, timed statement). The setup runs
# once per process with `n` bound; the statement is timed `repeat` times and
# the median kept. Inputs are made with the module itself, outside the timing.
CASES = {}


def case(name, unit, setup, stmt):
    CASES[name] = (unit, setup, stmt)


_POINTS = """
import vorlinde
pool = [vorlinde.key_gen()[0] for _ in range(1024)]
points = b"".join(pool[i % 1024] for i in range(n))
pk, sk = vorlinde.key_gen()
"""

case("key_gen", "pairs", "import vorlinde", "[vorlinde.key_gen() for _ in range(n)]")

# n bank rows shaped like the driver's (IBAN, holder name), all distinct.
_ROWS = """
import vorlinde
rows = [[f"DE{i:020d}", f"holder {i}"] for i in range(n)]
pk, sk = vorlinde.key_gen()
"""

case("build_okvs", "rows", _ROWS, "vorlinde.build_okvs(pk, rows)")

# Both banks hold the n rows; every query hits in both stores (a miss costs
# the same: the lookup does not depend on the key being stored).
_QUERIES = _ROWS + """
sender_okvs = vorlinde.build_okvs(pk, rows)
receiver_okvs = vorlinde.build_okvs(vorlinde.key_gen()[0], rows)
"""

case("initiate_queries", "queries", _QUERIES,
     "vorlinde.initiate_queries(rows, rows, sender_okvs, receiver_okvs, pk)")
case("decrypt", "points", _POINTS, "vorlinde.decrypt(points, sk)")
case("finish", "rows", _POINTS, "vorlinde.finish(points, points, points, points, sk)")

# Records of four valid points (public keys), n of them in each stream.
_RECORDS = _POINTS + """
records = b"".join(pool[(4 * i + k) % 1024] for i in range(n) for k in range(4))
"""

case("randomize", "records", _RECORDS, "vorlinde.randomize(records)")
case("combine", "records", _RECORDS, "vorlinde.combine(records, records)")


_RUNNER = r"""
import json, sys, time
n = int(sys.argv[1]); repeat = int(sys.argv[2])
setup, stmt = sys.stdin.read().split("\0")
env = {"n": n}
exec(setup, env)
code = compile(stmt, "<stmt>", "eval")
times = []
for _ in range(repeat):
    t0 = time.perf_counter(); eval(code, env); times.append(time.perf_counter() - t0)
print(json.dumps(times))
"""


def measure(name, n, repeat, threads):
    unit, setup, stmt = CASES[name]
    env = dict(os.environ)
    env.pop("RAYON_RS_NUM_CPUS", None)
    if threads is None:
        env.pop("RAYON_NUM_THREADS", None)
    else:
        env["RAYON_NUM_THREADS"] = str(threads)
    out = subprocess.run(
        [sys.executable, "-c", _RUNNER, str(n), str(repeat)],
        input=setup + "\0" + stmt, capture_output=True, text=True, env=env, check=True,
    )
    return statistics.median(json.loads(out.stdout))


def time_run(rows):
    """A whole matching run of `rows` generated transactions, step by step."""
    import tempfile

    examples = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples")
    sys.path.insert(0, examples)
    import make_sample
    import matching_run

    with tempfile.TemporaryDirectory(prefix="matching-run-bench-") as work:
        data = os.path.join(work, "input")
        make_sample.write_set(data, rows, 1)
        timings, matches = matching_run.run(data, os.path.join(work, "run"))
        total = sum(t[2] for t in timings)
        expected = [(r["id"], r["match"] == "true") for r in matching_run.read_csv(
            os.path.join(data, "expected_matches.csv"))]
        verdict = "as expected" if matches == expected else "DIFFERENT FROM THE KNOWN ANSWER"
        print(f"{'whole run':<33}{total:>9.3f} s for {rows} transactions, "
              f"{sum(m for _, m in matches)} matches, {verdict}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sizes", default="100000", help="comma-separated item counts")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--only", default="", help="comma-separated case names")
    ap.add_argument("--run", type=int, metavar="N", help="time a whole matching run of N transactions instead")
    args = ap.parse_args()
    if args.run:
        time_run(args.run)
        return
    names = [c for c in args.only.split(",") if c] or list(CASES)
    sizes = [int(s) for s in args.sizes.split(",")]
    print(f"{'function':<18}{'n':>9}  {'unit':<8}{'1 thread /s':>14}{'all cores /s':>14}{'speed-up':>10}")
    for name in names:
        unit = CASES[name][0]
        for n in sizes:
            one = measure(name, n, args.repeat, 1)
            every = measure(name, n, args.repeat, None)
            print(f"{name:<18}{n:>9}  {unit:<8}{n / one:>14,.0f}{n / every:>14,.0f}{one / every:>9.2f}x",
                  flush=True)


if __name__ == "__main__":
    main()
