#!/usr/bin/env python3
"""What signing and sealing the handed-over files cost: whole runs of the
command with a parent commit's sources against these, alternately, in one
sitting, and the speed of the primitives here.

    python bench/sealing_bench.py [--sizes 100000 1000000] [--repeat 3] [--parent main] [--commit C] [--out F.json]

The parent's sources are taken with `git archive` into a scratch folder and
run with PYTHONPATH pointing at them (both use the installed module). Every
party's step runs as its own `vorlinde-match` process with the default chunk
sizes, as in bench/pipeline_bench.py; a run's time is the sum of the steps'
own --json seconds (interpreter start-up left out), its peak the largest
peak resident memory of a step. The primitives: BLAKE2b-256 (hashlib), the
secretstream in the command's 64 KiB chunks, one way and the other, Ed25519
and a sealed box, each timed in this process.
"""

import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
import pipeline_bench  # noqa: E402

ROLES = pipeline_bench.ROLES
sources = pipeline_bench.sources


def whole_run(tree, data, work):
    """Every party's step as its own process with the sources in `tree`:
    (seconds per step, peak MiB per step)."""
    env = dict(os.environ, PYTHONPATH=tree)
    base = [sys.executable, "-m", "vorlinde_match"]

    def call(*args):
        # Started in the work folder: `python -m` puts the current folder
        # first on the path, before PYTHONPATH.
        done = subprocess.run(base + [str(a) for a in args], capture_output=True, text=True, env=env, cwd=work)
        if done.returncode:
            raise SystemExit(f"{' '.join(map(str, args[:2]))} with {tree} failed: {done.stderr}")
        return done.stdout

    subprocess.run(["rm", "-rf", work], check=True)
    homes = {role: os.path.join(work, role) for role in ROLES}
    handover = os.path.join(work, "handover")
    os.makedirs(handover)
    for role in ROLES:
        call("keys", "--role", role, "--home", homes[role], "--quiet")
    if subprocess.run(base + ["trust", "--help"], capture_output=True, env=env, cwd=work).returncode == 0:
        for role in ROLES:
            for other in ROLES:
                if other != role:
                    call("trust", "--home", homes[role], "--role", other, "--key",
                         os.path.join(homes[other], "identity.json"), "--quiet")
    steps = pipeline_bench.step_arguments(data, homes)
    seconds, cpu, peak = {}, {}, {}
    for name in pipeline_bench.STEPS:
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        summary = json.loads(call(*steps[name], "--handover", handover, "--json"))
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        seconds[name] = summary["seconds"]
        # The step process's processor time (all its threads, start-up
        # included): less disturbed than wall time by other work on the machine.
        cpu[name] = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
        peak[name] = summary["peak_memory_bytes"] / 2**20
    handed = sum(os.path.getsize(os.path.join(handover, f)) for f in os.listdir(handover))
    return seconds, cpu, peak, handed


def primitives(megabytes=256):
    """MB/s of BLAKE2b-256 and of the secretstream both ways (64 KiB
    chunks), and operations per second of Ed25519 and sealed boxes, per
    second of this process's processor time (all of them run on one thread),
    so that other work on the machine does not count."""
    import hashlib

    import nacl.bindings as b
    import nacl.public
    import nacl.signing

    chunk = os.urandom(1 << 16)
    count = megabytes * 16
    out = {}
    start = time.process_time()
    h = hashlib.blake2b(digest_size=32)
    for _ in range(count):
        h.update(chunk)
    out["blake2b MB/s"] = megabytes * 1.048576 / (time.process_time() - start)
    key = b.crypto_secretstream_xchacha20poly1305_keygen()
    state = b.crypto_secretstream_xchacha20poly1305_state()
    b.crypto_secretstream_xchacha20poly1305_init_push(state, key)
    # Timed without keeping what it makes (as the command writes it out); the
    # stream opened below is made untimed.
    start = time.process_time()
    for _ in range(count):
        b.crypto_secretstream_xchacha20poly1305_push(state, chunk)
    out["secretstream seal MB/s"] = megabytes * 1.048576 / (time.process_time() - start)
    state = b.crypto_secretstream_xchacha20poly1305_state()
    header = b.crypto_secretstream_xchacha20poly1305_init_push(state, key)
    sealed = [b.crypto_secretstream_xchacha20poly1305_push(state, chunk) for _ in range(count)]
    state = b.crypto_secretstream_xchacha20poly1305_state()
    b.crypto_secretstream_xchacha20poly1305_init_pull(state, header, key)
    start = time.process_time()
    for c in sealed:
        b.crypto_secretstream_xchacha20poly1305_pull(state, c)
    out["secretstream open MB/s"] = megabytes * 1.048576 / (time.process_time() - start)
    del sealed
    signing = nacl.signing.SigningKey.generate()
    message = os.urandom(4096)
    start = time.process_time()
    for _ in range(1000):
        signature = signing.sign(message).signature
    out["Ed25519 signatures/s"] = 1000 / (time.process_time() - start)
    start = time.process_time()
    for _ in range(1000):
        signing.verify_key.verify(message, signature)
    out["Ed25519 verifications/s"] = 1000 / (time.process_time() - start)
    secret = nacl.public.PrivateKey.generate()
    box = nacl.public.SealedBox(secret.public_key)
    start = time.process_time()
    for _ in range(1000):
        box.encrypt(key)
    out["sealed boxes/s"] = 1000 / (time.process_time() - start)
    return {k: round(v, 1) for k, v in out.items()}


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sizes", type=int, nargs="+", default=[100_000])
    ap.add_argument("--repeat", type=int, default=3, help="runs of each tree, alternating; figures are medians")
    ap.add_argument("--parent", default="main", help="the commit to compare with (default: main)")
    ap.add_argument("--commit", help="a commit to measure instead of the working tree (which can then change)")
    ap.add_argument("--out", help="also write the figures as JSON")
    ap.add_argument("--work", help="scratch folder (default: a temporary one)")
    args = ap.parse_args()
    results = {"processor": pipeline_bench.processor(), "processors": len(os.sched_getaffinity(0)), "sizes": {}}
    print(f"processor: {results['processor']}; {results['processors']} processors", file=sys.stderr)
    results["primitives"] = primitives()
    print(json.dumps(results["primitives"]), file=sys.stderr)
    with tempfile.TemporaryDirectory(prefix="sealing-bench-") as scratch:
        scratch = args.work or scratch
        trees = {"parent": sources(args.parent, scratch),
                 "sealed": sources(args.commit, scratch) if args.commit else ROOT}
        for n in args.sizes:
            data = os.path.join(scratch, f"data-{n}")
            if not os.path.exists(os.path.join(data, "expected_matches.csv")):
                pipeline_bench.make_sample.write_set(data, n, 5, bank_rows=n)
            runs = {name: [] for name in trees}
            for repetition in range(args.repeat):
                for name, tree in trees.items():
                    seconds, cpu, peak, handed = whole_run(tree, data, os.path.join(scratch, "work"))
                    runs[name].append({"seconds": seconds, "total": sum(seconds.values()), "cpu": cpu,
                                       "cpu_total": sum(cpu.values()), "peak_mib": max(peak.values()),
                                       "handed_over_bytes": handed})
                    print(f"n={n:,} {name} run {repetition + 1}: {sum(seconds.values()):.2f} s, processor "
                          f"{sum(cpu.values()):.2f} s, peak {max(peak.values()):.0f} MiB, handed over {handed:,} "
                          "bytes", file=sys.stderr)
            figures = {}
            for name, rs in runs.items():
                figures[name] = {"total": statistics.median(r["total"] for r in rs),
                                 "totals": [round(r["total"], 2) for r in rs],
                                 "cpu_total": statistics.median(r["cpu_total"] for r in rs),
                                 "cpu_totals": [round(r["cpu_total"], 2) for r in rs],
                                 "cpu_steps": {s: statistics.median(r["cpu"][s] for r in rs)
                                               for s in pipeline_bench.STEPS},
                                 "peak_mib": statistics.median(r["peak_mib"] for r in rs),
                                 "handed_over_bytes": rs[0]["handed_over_bytes"],
                                 "steps": {s: statistics.median(r["seconds"][s] for r in rs)
                                           for s in pipeline_bench.STEPS}}
            results["sizes"][n] = figures
            before, after = figures["parent"], figures["sealed"]
            print(f"\n## {n:,} transactions, banks of {n:,} accounts ({args.repeat} runs each, medians)\n")
            print("| step | parent (s) | sealed (s) | change | parent, processor (s) | sealed, processor (s) "
                  "| change |")
            print("|---|---|---|---|---|---|---|")

            def row(label, b, a, cb, ca):
                print(f"| {label} | {b:.2f} | {a:.2f} | {100 * (a - b) / b:+.1f} % | {cb:.2f} | {ca:.2f} | "
                      f"{100 * (ca - cb) / cb:+.1f} % |")

            for s in pipeline_bench.STEPS:
                row(s, before["steps"][s], after["steps"][s], before["cpu_steps"][s], after["cpu_steps"][s])
            row("whole run", before["total"], after["total"], before["cpu_total"], after["cpu_total"])
            print(f"| peak memory (MiB) | {before['peak_mib']:.0f} | {after['peak_mib']:.0f} | | | | |")
            print(f"| handed over (bytes) | {before['handed_over_bytes']:,} | {after['handed_over_bytes']:,} | | | | |")
            print(f"runs (s): parent {before['totals']}, sealed {after['totals']}; processor: parent "
                  f"{before['cpu_totals']}, sealed {after['cpu_totals']}")
    if args.out:
        with open(args.out, "w") as f:
            json.dump(results, f, indent=2)


if __name__ == "__main__":
    main()
