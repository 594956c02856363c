#!/usr/bin/env python3
"""A whole `vorlinde-match run` at one size, plain and with partitioned
stores: its time, its memory through the run, and the memory beyond the
stores.

    python bench/ten_million.py --data DIR [--partitions 1 8] [--module] [--out FILE.json]

DIR is a sample set made by examples/make_sample.py (at 10^7 transactions:
`--rows 10000000`, banks of 7.5 million accounts). Each run is a child
process `python -m vorlinde_match run --data DIR --work W --partitions P`;
this process samples the resident memory of the child and its descendants
every 0.2 s from /proc (records.MemorySampler with a pid), and reads the
steps' own records (HOME/steps.jsonl: each step's seconds and its peak, the
step's VmHWM) afterwards.

Memory beyond the stores. A step holds in memory, by design, the stores it
works on: a bank's build its own store (the module's result, sealed and
written), the operator's query both banks' stores; every other step none.
For each step, excess = its peak resident memory - the bytes of the stores it
holds; the run's figure is the largest excess over its steps. With
--module, the bench also measures the module's own memory for one build:
a child process reads the sender bank's key columns into row tuples, resets
its peak, calls build_okvs once, and reports its peak above what it held
before the call, minus the store; that is memory the module needs whatever
calls it, so the command's own excess at the build is the build's excess less
this figure.

The machine's load (os.getloadavg) and processor are recorded with the
figures. The work folders (several GB at 10^7) are removed afterwards unless
--keep.
"""

import argparse
import json
import os
import resource
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, ROOT)
sys.path.insert(0, HERE)

from pipeline_bench import processor  # noqa: E402
from vorlinde_match.records import MemorySampler  # noqa: E402

ROLES = ("sender-bank", "receiver-bank", "operator")
GB = 1e9

# Measures build_okvs alone on the rows of a bank's CSV (first two columns):
# prints {"rows", "held_before", "peak", "store", "seconds"} as JSON.
MODULE_BUILD = r"""
import csv, json, sys, time, vorlinde

def status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1]) * 1024

rows = []
with open(sys.argv[1], newline="", encoding="utf-8") as f:
    reader = csv.reader(f)
    next(reader)
    rows.extend((row[0], row[1]) for row in reader)
public_key, _ = vorlinde.key_gen()
held = status("VmRSS:")
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
start = time.perf_counter()
store = vorlinde.build_okvs(public_key, rows)
seconds = time.perf_counter() - start
print(json.dumps({"rows": len(rows), "held_before": held, "peak": status("VmHWM:"), "store": len(store),
                  "seconds": round(seconds, 1)}))
"""


def watched(command, env=None, log=None):
    """Runs `command`, sampling its process tree's memory; (exit status,
    wall seconds, CPU seconds of the child and its descendants, sampler)."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    child = subprocess.Popen(command, env=env, stdout=log, stderr=subprocess.STDOUT if log else None)
    sampler = MemorySampler(every=0.2, most=4000, pid=child.pid).start()
    try:
        status = child.wait()
    finally:
        sampler.stop()
    wall = time.monotonic() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return status, wall, cpu, sampler


def step_records(work):
    steps = []
    for role in ROLES:
        with open(os.path.join(work, role, "steps.jsonl"), encoding="utf-8") as f:
            steps.extend(json.loads(line) for line in f if line.strip())
    return sorted(steps, key=lambda r: r["started"])


def stores_held(record, stores):
    """The bytes of the stores the step of `record` holds by design."""
    if record["what"] == "build":
        return stores[record["party"]]
    if record["what"] == "query":
        return sum(stores.values())
    return 0


def one_run(python, data, partitions, work, log_path):
    env = dict(os.environ, PYTHONPATH=ROOT + os.pathsep + os.environ.get("PYTHONPATH", ""))
    command = [python, "-m", "vorlinde_match", "run", "--data", data, "--work", work, "--partitions",
               str(partitions)]
    load_before = os.getloadavg()
    with open(log_path, "w") as log:
        status, wall, cpu, sampler = watched(command, env, log)
    load_after = os.getloadavg()
    if status != 0:
        raise SystemExit(f"the run with --partitions {partitions} failed (exit {status}); see {log_path}")
    steps = step_records(work)
    stores = {r["party"]: sum(w["bytes"] for w in r["written"] if w["file"].endswith(".store"))
              for r in steps if r["what"] == "build"}
    per_step = []
    for r in steps:
        if r["what"] == "keys":
            continue
        held = stores_held(r, stores)
        per_step.append({"step": r["step"], "seconds": r["seconds"], "peak": r["peak_memory_bytes"],
                         "stores_held": held, "excess": r["peak_memory_bytes"] - held})
    worst = max(per_step, key=lambda s: s["excess"])
    return {"partitions": partitions, "seconds": round(wall, 1), "cpu_seconds": round(cpu, 1),
            "sampled_peak": sampler.peak, "stores": stores, "steps": per_step,
            "excess": worst["excess"], "excess_step": worst["step"],
            "load_before": [round(x, 2) for x in load_before], "load_after": [round(x, 2) for x in load_after],
            "log": log_path}


def module_build(python, data):
    out = subprocess.run([python, "-c", MODULE_BUILD, os.path.join(data, "sender_bank.csv")], check=True,
                         capture_output=True, text=True)
    figures = json.loads(out.stdout)
    figures["excess"] = figures["peak"] - figures["held_before"] - figures["store"]
    return figures


def shown(result):
    lines = [f"--partitions {result['partitions']}: {result['seconds']:.0f} s wall, {result['cpu_seconds']:.0f} s CPU, "
             f"sampled peak {result['sampled_peak'] / GB:.2f} GB, stores "
             + ", ".join(f"{p} {b / GB:.2f} GB" for p, b in result["stores"].items())
             + f"; peak minus stores held {result['excess'] / GB:.2f} GB (at {result['excess_step']}); "
             f"load {result['load_before'][0]:.1f} -> {result['load_after'][0]:.1f}"]
    for s in result["steps"]:
        lines.append(f"  {s['step']:<26} {s['seconds']:8.1f} s  peak {s['peak'] / GB:6.2f} GB  "
                     f"stores {s['stores_held'] / GB:5.2f} GB  excess {s['excess'] / GB:6.2f} GB")
    return "\n".join(lines)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--data", required=True, help="a sample set folder (examples/make_sample.py)")
    ap.add_argument("--partitions", type=int, nargs="+", default=[1, 8])
    ap.add_argument("--module", action="store_true", help="also measure build_okvs alone on the sender bank")
    ap.add_argument("--python", default=sys.executable, help="the interpreter that runs the command")
    ap.add_argument("--work-root", help="where the work folders go (default: beside DIR)")
    ap.add_argument("--keep", action="store_true", help="keep the work folders")
    ap.add_argument("--out", help="write the figures as JSON to this file")
    args = ap.parse_args()
    data = os.path.abspath(args.data)
    root = args.work_root or os.path.dirname(data)
    figures = {"data": data, "processor": processor(), "processors": os.cpu_count(), "runs": []}
    for partitions in args.partitions:
        work = os.path.join(root, f"work-{os.path.basename(data)}-p{partitions}")
        shutil.rmtree(work, ignore_errors=True)
        try:
            result = one_run(args.python, data, partitions, work, work + ".log")
        finally:
            if not args.keep:
                shutil.rmtree(work, ignore_errors=True)
        figures["runs"].append(result)
        print(shown(result), flush=True)
    if args.module:
        figures["module_build"] = module_build(args.python, data)
        m = figures["module_build"]
        print(f"build_okvs alone on {m['rows']:,} rows: {m['seconds']} s, peak {m['peak'] / GB:.2f} GB with "
              f"{m['held_before'] / GB:.2f} GB held before the call, store {m['store'] / GB:.2f} GB; "
              f"the module's own excess {m['excess'] / GB:.2f} GB", flush=True)
    figures["processor"] += f" ({figures['processors']} processors)"
    if args.out:
        with open(args.out, "w") as f:
            json.dump(figures, f, indent=2)
            f.write("\n")


if __name__ == "__main__":
    main()
