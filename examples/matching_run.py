#!/usr/bin/env python3
"""A complete matching run between a sender bank, a receiver bank and the
payment-network operator on one machine: `vorlinde-match run` on the sample
set, or on a generated one.

    python examples/matching_run.py [--data examples/sample] [run options]
    python examples/matching_run.py --rows 100000 [--seed 1] [run options]

With --rows N a synthetic set of N transactions (and its known answer) is
generated first, into WORK/input when --work is given. Every other option goes
to `vorlinde-match run` (see `vorlinde-match run --help`: --work, --chunk-rows,
--partitions, --dask-local, --json, ...). The exit status is 1 when the
results differ from the known answer.
"""

import argparse
import os
import sys
import tempfile

from vorlinde_match.cli import main as vorlinde_match

HERE = os.path.dirname(os.path.abspath(__file__))


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0], add_help=False)
    ap.add_argument("--rows", type=int, help="generate and match N synthetic transactions")
    ap.add_argument("--seed", type=int, default=1, help="seed of the synthetic set")
    ap.add_argument("--data", help="folder of the input CSV files (default: examples/sample)")
    ap.add_argument("--work")
    args, rest = ap.parse_known_args(argv)
    if args.work:
        rest += ["--work", args.work]
    with tempfile.TemporaryDirectory(prefix="matching-input-") as scratch:
        data = args.data or os.path.join(HERE, "sample")
        if args.rows is not None:
            sys.path.insert(0, HERE)
            import make_sample

            data = os.path.join(args.work or scratch, "input")
            make_sample.write_set(data, args.rows, args.seed)
            print(f"generated {args.rows:,} transactions into {data}", file=sys.stderr)
        return vorlinde_match(["run", "--data", data, *rest])


if __name__ == "__main__":
    sys.exit(main())
