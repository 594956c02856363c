"""vorlinde-match: private matching of a payment-network operator's
transactions against two banks' accounts, one party and one step at a time.

Each party runs its own steps on its own machine, with its own folder (--home:
its keys and what it keeps between steps) and a handover through which the
files pass between the parties: a folder (copy them however you move files),
a folder on an SFTP server or a prefix in an S3 bucket.
`vorlinde-match run` does a whole matching on one machine, to try it out.
"""

import argparse
import contextlib
import os
import signal
import sys

from . import files, homes, report, steps, whole_run
from .errors import StepError
from .execution import executor as make_executor
from .files import ROLES
from .handover import close_handover, is_url, open_handover
from .progress import Reporter
from .tables import refuse_shared_pipes, split_columns

PROG = "vorlinde-match"


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
        p.add_argument("--handover", required=True,
                       help="the folder of the files the parties hand each other, or sftp://USER@HOST:PORT/PATH "
                            "(pip install 'vorlinde[sftp]') or s3://BUCKET/PREFIX (pip install 'vorlinde[s3]')")
        p.add_argument("--ssh-identity", metavar="FILE",
                       help="sftp: the private key to log in with (default: the SSH agent and ~/.ssh)")
        p.add_argument("--known-hosts", metavar="FILE",
                       help="sftp: the known_hosts file that holds the server's host key (default: "
                            "~/.ssh/known_hosts and /etc/ssh/ssh_known_hosts)")
    _output_options(p)


def _output_options(p):
    p.add_argument("--quiet", action="store_true", help="show nothing but errors")
    p.add_argument("--json", action="store_true", help="print the step's summary as JSON on stdout, and no progress")


def _integers_option(p):
    p.add_argument("--integers-as-text", action="store_true",
                   help="read integer Parquet columns as decimal text (other non-text columns are refused anyway)")


def _force_option(p):
    p.add_argument("--force", action="store_true", help="replace output files that exist already")


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


def _chunked_step(steps, name, help, what, handler):
    """A step that works through its input in chunks, here or on Dask."""
    p = steps.add_parser(name, help=help)
    _common(p)
    _chunk_option(p, what)
    _dask_options(p)
    p.set_defaults(func=handler)
    return p


def parser():
    ap = argparse.ArgumentParser(prog=PROG, description=__doc__.split("\n\n")[0].replace("\n", " "),
                                 epilog=__doc__.split("\n\n", 1)[1])
    sub = ap.add_subparsers(dest="command", metavar="COMMAND", required=True)

    keys = sub.add_parser("keys", help="make a party's key pairs and identity in its folder")
    keys.add_argument("--role", choices=ROLES, help="the party's role (needed to make new keys)")
    what = keys.add_mutually_exclusive_group()
    what.add_argument("--add-identity", action="store_true",
                      help="add the signing and sealing key pairs to a folder whose keys were made before")
    what.add_argument("--show-identity", action="store_true", help="show the party's identity and fingerprint")
    what.add_argument("--export-identity", metavar="FILE", help="write the party's identity (public) to FILE")
    _common(keys, handover=False)
    keys.set_defaults(func=_keys)

    trust = sub.add_parser("trust", help="pin another party's identity (its identity.json) for its role")
    trust.add_argument("--role", required=True, choices=ROLES, help="the role the identity is pinned for")
    trust.add_argument("--key", required=True, metavar="FILE", help="the identity file the other party handed over")
    trust.add_argument("--replace", action="store_true",
                       help="replace the identity pinned for the role (shows the old and the new fingerprint)")
    _common(trust, handover=False)
    trust.set_defaults(func=_trust)

    bank = sub.add_parser("bank", help="the banks' steps: build, randomize, decrypt")
    bank_steps = bank.add_subparsers(dest="step", metavar="STEP", required=True)
    build = bank_steps.add_parser("build", help="build the bank's store from its accounts")
    _common(build)
    build.add_argument("--accounts", required=True, metavar="FILE",
                       help="the bank's accounts (CSV or Parquet; - reads standard input)")
    build.add_argument("--columns", required=True, help="the key columns, comma-separated, e.g. iban,name")
    build.add_argument("--partitions", type=_positive, default=1, metavar="P",
                       help="split the rows into P padded stores (for banks past one machine)")
    _integers_option(build)
    _dask_options(build)
    build.set_defaults(func=_bank_build)
    _chunked_step(bank_steps, "randomize", "re-randomize the operator's queries", "records", _bank_randomize)
    _chunked_step(bank_steps, "decrypt", "decrypt the points the operator handed to this bank", "points",
                  _bank_decrypt)

    operator = sub.add_parser("operator", help="the operator's steps: query, combine, finish")
    operator_steps = operator.add_subparsers(dest="step", metavar="STEP", required=True)
    query = _chunked_step(operator_steps, "query", "look the transactions up in both banks' stores", "transactions",
                          _operator_query)
    query.add_argument("--transactions", required=True, metavar="FILE",
                       help="the transactions (CSV or Parquet; - reads standard input)")
    query.add_argument("--sender-columns", required=True, help="the sender's key columns, comma-separated")
    query.add_argument("--receiver-columns", required=True, help="the receiver's key columns, comma-separated")
    query.add_argument("--id-column", default="id", help="the transaction id column (default: id)")
    _integers_option(query)
    _chunked_step(operator_steps, "combine", "combine the banks' re-randomized records", "records", _operator_combine)
    finish = _chunked_step(operator_steps, "finish", "decide per transaction whether both sides matched",
                           "transactions", _operator_finish)
    finish.add_argument("--output", metavar="FILE", help="results CSV: id, matched (default: HOME/matches.csv)")
    finish.add_argument("--summary", metavar="FILE", help="summary JSON (default: HOME/summary.json)")
    _force_option(finish)

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
    run.add_argument("--report", metavar="FILE",
                     help="write the run's page (HTML) here (default: WORK/report.html with --work, else beside "
                          "--output as NAME.report.html, else none)")
    _force_option(run)
    run.add_argument("--partitions", type=_positive, default=1, metavar="P", help="partitioned bank stores")
    _integers_option(run)
    _chunk_option(run, "rows")
    _dask_options(run)
    _output_options(run)
    run.set_defaults(func=_run)

    page = sub.add_parser("report", help="write an HTML page of this party's steps, from the records in its folder")
    page.add_argument("--home", required=True, help="this party's own folder")
    page.add_argument("--output", metavar="FILE", help="the page (default: HOME/report.html)")
    page.add_argument("--run", metavar="RUN", help="the run to show, by its id (default: the last one)")
    _force_option(page)
    _output_options(page)
    page.set_defaults(func=_report)
    return ap


@contextlib.contextmanager
def _executor(args):
    """Where the step's chunks run, closed (a local cluster stopped) when the
    step ends."""
    if getattr(args, "dask", None) and getattr(args, "dask_local", None):
        raise StepError("give either --dask or --dask-local, not both")
    ex = make_executor(getattr(args, "dask", None), getattr(args, "dask_local", None),
                       getattr(args, "dask_tls_ca", None), getattr(args, "dask_tls_cert", None),
                       getattr(args, "dask_tls_key", None))
    try:
        yield ex
    finally:
        ex.close()


@contextlib.contextmanager
def _party_step(args, reporter, outputs=()):
    """The executor of one party's step, after checking its folders and
    `outputs` ((option, path, default path)), taking its home's lock and
    making its handover folder or connecting to its handover server
    (args.handover is then the open handover, closed when the step ends). A
    URL has no local folder to overlap: its own checks are open_handover's."""
    local = None if is_url(args.handover) else args.handover
    with homes.party_step(args.command, args.step, args.home, local, reporter, outputs,
                          getattr(args, "force", False)):
        args.handover = open_handover(args.handover, args.home, args.ssh_identity, args.known_hosts)
        try:
            with _executor(args) as ex:
                yield ex
        finally:
            close_handover(args.handover)


def _stream_chunk(args):
    return args.chunk_rows or steps.STREAM_CHUNK


# Each subcommand's handler: (args, reporter) -> exit status; set on its
# parser with set_defaults(func=...).

def _keys(args, reporter):
    if args.add_identity or args.show_identity or args.export_identity:
        role = steps.home_role(args.home)
        with homes.keys_step(role, args.home, reporter):
            if args.add_identity:
                steps.add_identity(args.home, reporter)
            else:
                steps.show_identity(args.home, reporter, args.export_identity)
    elif args.role is None:
        raise StepError("keys: give --role ROLE to make a party's keys (or --add-identity, --show-identity, "
                        "--export-identity FILE for a folder that has them)")
    else:
        with homes.keys_step(args.role, args.home, reporter):
            steps.make_keys(args.role, args.home, reporter)
    return 0


def _trust(args, reporter):
    with homes.locked(args.home, "trust"):
        steps.trust(args.home, args.role, args.key, reporter, args.replace)
    return 0


def _bank_build(args, reporter):
    with _party_step(args, reporter) as ex:
        steps.bank_build(args.home, args.handover, args.accounts, split_columns(args.columns, "--columns"),
                         reporter, args.partitions, ex, args.integers_as_text)
    return 0


def _bank_randomize(args, reporter):
    with _party_step(args, reporter) as ex:
        steps.bank_randomize(args.home, args.handover, reporter, _stream_chunk(args), ex)
    return 0


def _bank_decrypt(args, reporter):
    with _party_step(args, reporter) as ex:
        steps.bank_decrypt(args.home, args.handover, reporter, _stream_chunk(args), ex)
    return 0


def _operator_query(args, reporter):
    with _party_step(args, reporter) as ex:
        steps.operator_query(args.home, args.handover, args.transactions,
                             split_columns(args.sender_columns, "--sender-columns"),
                             split_columns(args.receiver_columns, "--receiver-columns"), args.id_column,
                             reporter, args.chunk_rows, ex, args.integers_as_text)
    return 0


def _operator_combine(args, reporter):
    with _party_step(args, reporter) as ex:
        steps.operator_combine(args.home, args.handover, reporter, _stream_chunk(args), ex)
    return 0


def _operator_finish(args, reporter):
    defaults = [os.path.join(args.home, name) for name in ("matches.csv", "summary.json")]
    output, summary = args.output or defaults[0], args.summary or defaults[1]
    with _party_step(args, reporter, [("--output", output, defaults[0]), ("--summary", summary, defaults[1])]) as ex:
        steps.operator_finish(args.home, args.handover, output, reporter, summary, _stream_chunk(args), ex)
    return 0


def _run(args, reporter):
    """A whole run: status 1 when the results differ from the answer."""
    inputs = {"sender": args.sender_bank, "receiver": args.receiver_bank, "transactions": args.transactions,
              "expected": args.expected}
    if args.data:
        for name, path in whole_run.sample_inputs(args.data).items():
            if inputs[name] is None:
                inputs[name] = path
    options = {"sender": "--sender-bank", "receiver": "--receiver-bank", "transactions": "--transactions"}
    missing = [option for name, option in options.items() if inputs[name] is None]
    if missing:
        raise StepError(f"name the inputs with --data DIR or with {', '.join(missing)}")
    refuse_shared_pipes(inputs.values())
    columns = split_columns(args.columns, "--columns")
    sender_columns = split_columns(args.sender_columns, "--sender-columns")
    receiver_columns = split_columns(args.receiver_columns, "--receiver-columns")
    with _executor(args) as ex:
        run = whole_run.run_all(inputs["sender"], inputs["receiver"], inputs["transactions"], reporter,
                                expected=inputs["expected"], work=args.work, columns=columns,
                                sender_columns=sender_columns, receiver_columns=receiver_columns,
                                id_column=args.id_column, partitions=args.partitions, chunk_rows=args.chunk_rows,
                                executor=ex, output=args.output, force=args.force,
                                integers_as_text=args.integers_as_text, report_page=args.report)
    if not run.agrees:
        print(f"{PROG}: {run.disagreement()}", file=sys.stderr)
        return EXIT_FAILED
    return EXIT_OK


def _report(args, reporter):
    report.party_report(args.home, args.output, reporter, args.run, args.force)
    return EXIT_OK


class Terminated(BaseException):
    """SIGTERM (a job scheduler stopping the step), raised like Ctrl-C so that
    the step cleans up the same way."""


def _terminate(signum, frame):
    raise Terminated()


# Exit statuses (docs/pipeline.md lists them).
EXIT_OK = 0
EXIT_FAILED = 1  # a refused input, a failed step, results that differ from --expected
EXIT_USAGE = 2  # argparse's own: an unknown option or a missing argument
EXIT_INTERRUPTED = 128 + signal.SIGINT  # 130
EXIT_TERMINATED = 128 + signal.SIGTERM  # 143
DEBUG_ENV = "VORLINDE_MATCH_DEBUG"


def _stopped(how):
    """The line for a step stopped by a signal: what it had put in place."""
    if not files.COMMITTED:
        return f"{how}; the step wrote nothing and can be run again"
    return f"{how} after these files were complete: {', '.join(files.COMMITTED)}; nothing else was written"


def main(argv=None):
    args = parser().parse_args(argv)
    reporter = Reporter(quiet=args.quiet, as_json=args.json)
    try:
        previous = signal.signal(signal.SIGTERM, _terminate)
    except ValueError:  # not the main thread: leave signals to the caller
        previous = None
    try:
        status = args.func(args, reporter)
    except StepError as error:  # OperationFailed too
        print(f"{PROG}: {error}", file=sys.stderr)
        return EXIT_FAILED
    except KeyboardInterrupt:
        print(f"{PROG}: {_stopped('interrupted')}", file=sys.stderr)
        return EXIT_INTERRUPTED
    except Terminated:
        print(f"{PROG}: {_stopped('terminated')}", file=sys.stderr)
        return EXIT_TERMINATED
    except BaseException as error:
        if type(error).__name__ == "PanicException":
            print(f"{PROG}: {error}", file=sys.stderr)
            return EXIT_FAILED
        if os.environ.get(DEBUG_ENV) or not isinstance(error, Exception):
            raise
        # The last line of defence: every failure a user can cause has its
        # own message; this one is a fault of the command.
        print(f"{PROG}: {type(error).__name__} in `{PROG} {args.command}`: this is a bug; please report it "
              f"(run again with {DEBUG_ENV}=1 for the details)", file=sys.stderr)
        return EXIT_FAILED
    finally:
        if previous is not None:
            signal.signal(signal.SIGTERM, previous)
    reporter.emit_json()
    return status


if __name__ == "__main__":
    sys.exit(main())
