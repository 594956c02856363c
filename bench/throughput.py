#!/usr/bin/env python3
"""Per-function throughput of the vorlinde module.

Every measurement runs in a fresh interpreter, once with RAYON_NUM_THREADS=1 and
once with the default pool (one thread per available processor), so the pool
size is read anew each time. Prints one table: items per second for each
function and size, and the speed-up of all cores over one thread.

    python bench/throughput.py [--sizes 100000] [--repeat 3] [--only decrypt,finish]
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time

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


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sizes", default="100000", help="comma-separated item counts")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--only", default="", help="comma-separated case names")
    args = ap.parse_args()
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
