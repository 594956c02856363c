"""vorlinde-match: private matching of a payment-network operator's
transactions against two banks' accounts, one party and one step at a time.

Each party runs its own steps on its own machine, with its own folder (--home:
its keys and what it keeps between steps) and a handover folder through
which the files pass between the parties (copy them however you move files).
`vorlinde-match run` does a whole matching on one machine, to try it out.
"""

import argparse
import csv
import os
import shutil
import signal
import sys
import tempfile
import time

from . import steps
from .execution import executor as make_executor
from .errors import StepError
from .files import ROLES, role_name
from .progress import Reporter, human_count, human_seconds
from .tables import split_columns

PROG = "vorlinde-match"

SAMPLE_FILES = {"sender": "sender_bank.csv", "receiver": "receiver_bank.csv", "transactions": "transactions.csv",
                "expected": "expected_matches.csv"}


def _positive(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"{text} is not a positive number")
    return value


def _common(p, handover=True):
    p.add_argument("--home", required=True, help="this party's own folder: its keys and what it keeps")
    if handover:
        p.add_argument("--handover", required=True, help="the folder of the files the parties hand each other")
    _output_options(p)


def _output_options(p):
    p.add_argument("--quiet", action="store_true", help="show nothing but errors")
    p.add_argument("--json", action="store_true", help="print the step's summary as JSON on stdout, and no progress")


def _chunk_option(p, what):
    p.add_argument("--chunk-rows", type=_positive, metavar="N",
                   help=f"{what} per call of the module (default: sized so that each call is short)")


def _dask_options(p):
    g = p.add_argument_group("Dask (pip install 'vorlinde[dask]')")
    g.add_argument("--dask", metavar="ADDRESS",
                   help="run the chunks as tasks on this party's Dask scheduler (tls://host:port for another machine)")
    g.add_argument("--dask-local", type=_positive, metavar="N", help="start a local Dask cluster of N worker processes")
    g.add_argument("--dask-tls-ca", metavar="FILE", help="CA certificate for the tls:// scheduler")
    g.add_argument("--dask-tls-cert", metavar="FILE", help="this client's certificate")
    g.add_argument("--dask-tls-key", metavar="FILE", help="this client's private key")


def _chunked_step(steps, name, help, what):
    """A step that works through its input in chunks, here or on Dask."""
    p = steps.add_parser(name, help=help)
    _common(p)
    _chunk_option(p, what)
    _dask_options(p)
    return p


def parser():
    ap = argparse.ArgumentParser(prog=PROG, description=__doc__.split("\n\n")[0].replace("\n", " "),
                                 epilog=__doc__.split("\n\n", 1)[1])
    sub = ap.add_subparsers(dest="command", metavar="COMMAND", required=True)

    keys = sub.add_parser("keys", help="make a party's key pair in its folder")
    keys.add_argument("--role", required=True, choices=ROLES)
    _common(keys, handover=False)

    bank = sub.add_parser("bank", help="the banks' steps: build, randomize, decrypt")
    bank_steps = bank.add_subparsers(dest="step", metavar="STEP", required=True)
    build = bank_steps.add_parser("build", help="build the bank's store from its accounts")
    _common(build)
    build.add_argument("--accounts", required=True, metavar="FILE", help="the bank's accounts (CSV or Parquet)")
    build.add_argument("--columns", required=True, help="the key columns, comma-separated, e.g. iban,name")
    build.add_argument("--partitions", type=_positive, default=1, metavar="P",
                       help="split the rows into P padded stores (for banks past one machine)")
    _dask_options(build)
    _chunked_step(bank_steps, "randomize", "re-randomize the operator's queries", "records")
    _chunked_step(bank_steps, "decrypt", "decrypt the points the operator handed to this bank", "points")

    operator = sub.add_parser("operator", help="the operator's steps: query, combine, finish")
    operator_steps = operator.add_subparsers(dest="step", metavar="STEP", required=True)
    query = _chunked_step(operator_steps, "query", "look the transactions up in both banks' stores", "transactions")
    query.add_argument("--transactions", required=True, metavar="FILE", help="the transactions (CSV or Parquet)")
    query.add_argument("--sender-columns", required=True, help="the sender's key columns, comma-separated")
    query.add_argument("--receiver-columns", required=True, help="the receiver's key columns, comma-separated")
    query.add_argument("--id-column", default="id", help="the transaction id column (default: id)")
    _chunked_step(operator_steps, "combine", "combine the banks' re-randomized records", "records")
    finish = _chunked_step(operator_steps, "finish", "decide per transaction whether both sides matched",
                           "transactions")
    finish.add_argument("--output", metavar="FILE", help="results CSV: id, matched (default: HOME/matches.csv)")
    finish.add_argument("--summary", metavar="FILE", help="summary JSON (default: HOME/summary.json)")

    run = sub.add_parser("run", help="a whole matching on this machine, all three parties, to try it out")
    run.add_argument("--data", metavar="DIR",
                     help="a folder with sender_bank.csv, receiver_bank.csv, transactions.csv and optionally "
                          "expected_matches.csv (id, match)")
    run.add_argument("--sender-bank", metavar="FILE", help="the sender bank's accounts")
    run.add_argument("--receiver-bank", metavar="FILE", help="the receiver bank's accounts")
    run.add_argument("--transactions", metavar="FILE", help="the operator's transactions")
    run.add_argument("--expected", metavar="FILE", help="the known answer (id, match) to check the results against")
    run.add_argument("--columns", default="iban,name", help="the banks' key columns (default: iban,name)")
    run.add_argument("--sender-columns", default="sender_iban,sender_name",
                     help="default: sender_iban,sender_name")
    run.add_argument("--receiver-columns", default="receiver_iban,receiver_name",
                     help="default: receiver_iban,receiver_name")
    run.add_argument("--id-column", default="id")
    run.add_argument("--work", metavar="DIR",
                     help="folder for the parties' folders and the handover (default: a new one in the "
                          "temporary folder, removed at the end)")
    run.add_argument("--output", metavar="FILE", help="also copy the results CSV (id, matched) here")
    run.add_argument("--partitions", type=_positive, default=1, metavar="P", help="partitioned bank stores")
    _chunk_option(run, "rows")
    _dask_options(run)
    _output_options(run)
    return ap


def _executor(args):
    if getattr(args, "dask", None) and getattr(args, "dask_local", None):
        raise StepError("give either --dask or --dask-local, not both")
    return make_executor(getattr(args, "dask", None), getattr(args, "dask_local", None),
                         getattr(args, "dask_tls_ca", None), getattr(args, "dask_tls_cert", None),
                         getattr(args, "dask_tls_key", None))


def _stream_chunk(args):
    return args.chunk_rows or steps.STREAM_CHUNK


def _step(args, reporter):
    if args.command == "keys":
        steps.make_keys(args.role, args.home, reporter)
        return 0
    if args.command == "run":
        return run_all(args, reporter)
    try:
        os.makedirs(args.handover, exist_ok=True)
    except OSError as error:
        raise StepError(f"cannot make the handover folder {args.handover}: {error.strerror}") from None
    ex = _executor(args)
    try:
        if args.command == "bank" and args.step == "build":
            steps.bank_build(args.home, args.handover, args.accounts, split_columns(args.columns, "--columns"),
                             reporter, args.partitions, ex)
        elif args.command == "bank" and args.step == "randomize":
            steps.bank_randomize(args.home, args.handover, reporter, _stream_chunk(args), ex)
        elif args.command == "bank" and args.step == "decrypt":
            steps.bank_decrypt(args.home, args.handover, reporter, _stream_chunk(args), ex)
        elif args.step == "query":
            steps.operator_query(args.home, args.handover, args.transactions,
                                 split_columns(args.sender_columns, "--sender-columns"),
                                 split_columns(args.receiver_columns, "--receiver-columns"), args.id_column,
                                 reporter, args.chunk_rows, ex)
        elif args.step == "combine":
            steps.operator_combine(args.home, args.handover, reporter, _stream_chunk(args), ex)
        elif args.step == "finish":
            steps.operator_finish(args.home, args.handover, args.output or os.path.join(args.home, "matches.csv"),
                                  reporter, args.summary or os.path.join(args.home, "summary.json"),
                                  _stream_chunk(args), ex)
    finally:
        ex.close()
    return 0


def run_all(args, reporter):
    """Every step of every party, in order, on this machine."""
    files = {"sender": args.sender_bank, "receiver": args.receiver_bank, "transactions": args.transactions,
             "expected": args.expected}
    for name, value in files.items():
        if value is None and args.data:
            path = os.path.join(args.data, SAMPLE_FILES[name])
            files[name] = path if (name != "expected" or os.path.exists(path)) else None
    missing = [f"--{n.replace('sender', 'sender-bank').replace('receiver', 'receiver-bank')}"
               for n in ("sender", "receiver", "transactions") if files[n] is None]
    if missing:
        raise StepError(f"name the inputs with --data DIR or with {', '.join(missing)}")
    scratch = None
    work = args.work
    if work is None:
        scratch = tempfile.TemporaryDirectory(prefix="vorlinde-run-")
        work = scratch.name
    homes = {role: os.path.join(work, role) for role in ROLES}
    handover = os.path.join(work, "handover")
    os.makedirs(handover, exist_ok=True)
    columns = split_columns(args.columns, "--columns")
    sender_columns = split_columns(args.sender_columns, "--sender-columns")
    receiver_columns = split_columns(args.receiver_columns, "--receiver-columns")
    output = os.path.join(homes["operator"], "matches.csv")
    start = time.perf_counter()
    ex = _executor(args)
    try:
        reporter.say(f"work folder: {work}" + (" (removed at the end; keep it with --work DIR)" if scratch else ""))
        reporter.say(f"per-chunk work runs on {ex.description}")
        for role in ROLES:
            if not os.path.exists(os.path.join(homes[role], "secret.key")):
                steps.make_keys(role, homes[role], reporter)
        chunk = _stream_chunk(args)
        steps.bank_build(homes["sender-bank"], handover, files["sender"], columns, reporter, args.partitions, ex)
        steps.bank_build(homes["receiver-bank"], handover, files["receiver"], columns, reporter, args.partitions, ex)
        steps.operator_query(homes["operator"], handover, files["transactions"], sender_columns, receiver_columns,
                             args.id_column, reporter, args.chunk_rows, ex)
        for bank in ("sender-bank", "receiver-bank"):
            steps.bank_randomize(homes[bank], handover, reporter, chunk, ex)
        steps.operator_combine(homes["operator"], handover, reporter, chunk, ex)
        for bank in ("sender-bank", "receiver-bank"):
            steps.bank_decrypt(homes[bank], handover, reporter, chunk, ex)
        steps.operator_finish(homes["operator"], handover, output, reporter,
                              os.path.join(homes["operator"], "summary.json"), chunk, ex)
        seconds = time.perf_counter() - start
        status = 0
        if files["expected"]:
            differences, total = compare(output, files["expected"])
            if differences:
                status = 1
                shown = ", ".join(f"{tid} (expected {want}, got {got})" for tid, want, got in differences[:10])
                print(f"{PROG}: {len(differences):,} of {total:,} results differ from {files['expected']}: {shown}"
                      + (", ..." if len(differences) > 10 else ""), file=sys.stderr)
            else:
                reporter.say(f"all {total:,} results agree with {files['expected']}")
        if args.output:
            shutil.copyfile(output, args.output)
            output = args.output
        elif scratch:
            output += " (removed with the work folder: keep the results with --output FILE or --work DIR)"
        reporter.say(f"whole run: {human_seconds(seconds)}; results in {output}")
        return status
    finally:
        ex.close()
        if scratch is not None:
            scratch.cleanup()


def compare(results, expected):
    """The differences [(id, expected, got)] between a results CSV and an
    answer CSV (id, match), by transaction id, and the number of ids."""
    with open(expected, newline="", encoding="utf-8") as f:
        rows = list(csv.reader(f))[1:]
    answer = {row[0]: row[1].strip().lower() == "true" for row in rows if row}
    with open(results, newline="", encoding="utf-8") as f:
        got = {row[0]: row[1] == "true" for row in list(csv.reader(f))[1:] if row}
    ids = sorted(set(answer) | set(got))
    shown = {True: "true", False: "false", None: "nothing"}
    return [(i, shown[answer.get(i)], shown[got.get(i)]) for i in ids if answer.get(i) != got.get(i)], len(ids)


class Terminated(BaseException):
    """SIGTERM (a job scheduler stopping the step), raised like Ctrl-C so that
    the step cleans up the same way."""


def _terminate(signum, frame):
    raise Terminated()


def main(argv=None):
    args = parser().parse_args(argv)
    reporter = Reporter(quiet=args.quiet, as_json=args.json)
    try:
        previous = signal.signal(signal.SIGTERM, _terminate)
    except ValueError:  # not the main thread: leave signals to the caller
        previous = None
    try:
        status = _step(args, reporter)
    except StepError as error:  # OperationFailed too
        print(f"{PROG}: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted; the step wrote nothing and can be run again", file=sys.stderr)
        return 128 + signal.SIGINT
    except Terminated:
        print(f"{PROG}: terminated; the step wrote nothing and can be run again", file=sys.stderr)
        return 128 + signal.SIGTERM
    except BaseException as error:
        if type(error).__name__ == "PanicException":
            print(f"{PROG}: {error}", file=sys.stderr)
            return 1
        raise
    finally:
        if previous is not None:
            signal.signal(signal.SIGTERM, previous)
    reporter.emit_json()
    return status


if __name__ == "__main__":
    sys.exit(main())
