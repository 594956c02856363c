#!/usr/bin/env python3
"""A complete matching run between a sender bank, a receiver bank and the
payment-network operator, each party's step reading only its own folder, its
own input and what the others handed over.

    python examples/matching_run.py [--data examples/sample] [--work DIR]
    python examples/matching_run.py --rows 100000 [--work DIR]

Work directory layout (DIR, by default a fresh temporary directory):

    sender_bank/, receiver_bank/, operator/   private to that party: its secret
                                              key and what it keeps between steps
    handover/                                 every byte string one party hands
                                              to another, one file each

The data directory holds sender_bank.csv and receiver_bank.csv (columns iban,
name, ...), transactions.csv (id, ..., sender_iban, sender_name, receiver_iban,
receiver_name) and optionally expected_matches.csv (id, match). With --rows N a
synthetic set of N transactions is generated into DIR/input instead. When an
answer file is present the matches are checked against it, and the exit status
is 1 on any difference.
"""

import argparse
import csv
import os
import sys
import tempfile
import time

import vorlinde

# The columns that identify an account; the operator looks up the same two
# fields on either side of a transaction.
BANK_KEY = ["iban", "name"]
SENDER_KEY = ["sender_iban", "sender_name"]
RECEIVER_KEY = ["receiver_iban", "receiver_name"]

SENDER, RECEIVER, OPERATOR = "sender_bank", "receiver_bank", "operator"


def read_csv(path):
    with open(path, newline="", encoding="utf-8") as f:
        return list(csv.DictReader(f))


class Party:
    """What one party can touch: its own folder and the handover folder."""

    def __init__(self, work, name):
        self.name = name
        self.home = os.path.join(work, name)
        self.handover = os.path.join(work, "handover")
        os.makedirs(self.home, exist_ok=True)
        os.makedirs(self.handover, exist_ok=True)
        self.handed = 0
        self.recipients = []

    def keep(self, item, data):
        with open(os.path.join(self.home, item), "wb") as f:
            f.write(data)

    def recall(self, item):
        with open(os.path.join(self.home, item), "rb") as f:
            return f.read()

    def hand_over(self, item, data, to):
        """Writes `data` as handover/<from>_to_<to>.<item>; `to` is a party,
        "banks" or "all"."""
        with open(os.path.join(self.handover, f"{self.name}_to_{to}.{item}"), "wb") as f:
            f.write(data)
        self.handed += len(data)
        self.recipients.append(to)

    def receive(self, sender, item):
        """The item `sender` addressed to this party, to the banks (when this
        party is one) or to all."""
        names = [self.name, "all"] + (["banks"] if self.name != OPERATOR else [])
        for to in names:
            path = os.path.join(self.handover, f"{sender}_to_{to}.{item}")
            if os.path.exists(path):
                with open(path, "rb") as f:
                    return f.read()
        raise FileNotFoundError(f"{self.name} was handed no {item} by {sender}")


# Each step: (party, description, function(party, inputs) -> rows processed).
# A step only reads through its own Party and its own input file.

def key_generation(party, inputs):
    public_key, secret_key = vorlinde.key_gen()
    party.keep("secret_key", secret_key)
    party.keep("public_key", public_key)
    party.hand_over("public_key", public_key, to="all")
    return 1


def build_store(party, inputs):
    rows = [[account[c] for c in BANK_KEY] for account in read_csv(inputs[party.name])]
    party.hand_over("okvs", vorlinde.build_okvs(party.recall("public_key"), rows), to=OPERATOR)
    return len(rows)


def query(party, inputs):
    transactions = read_csv(inputs[OPERATOR])
    sender_rows = [[t[c] for c in SENDER_KEY] for t in transactions]
    receiver_rows = [[t[c] for c in RECEIVER_KEY] for t in transactions]
    records = vorlinde.initiate_queries(sender_rows, receiver_rows, party.receive(SENDER, "okvs"),
                                        party.receive(RECEIVER, "okvs"), party.recall("public_key"))
    party.keep("transaction_ids", "\n".join(t["id"] for t in transactions).encode())
    party.hand_over("records", records, to="banks")
    return len(transactions)


def rerandomize(party, inputs):
    records = party.receive(OPERATOR, "records")
    party.hand_over("records", vorlinde.randomize(records), to=OPERATOR)
    return len(records) // 128


def combine(party, inputs):
    alpha, beta, gamma, delta = vorlinde.combine(party.receive(SENDER, "records"), party.receive(RECEIVER, "records"))
    party.hand_over("alpha", alpha, to=SENDER)
    party.hand_over("beta", beta, to=RECEIVER)
    party.keep("gamma", gamma)
    party.keep("delta", delta)
    return len(alpha) // 32


def decrypt(party, inputs):
    points = party.receive(OPERATOR, "alpha" if party.name == SENDER else "beta")
    party.hand_over("points", vorlinde.decrypt(points, party.recall("secret_key")), to=OPERATOR)
    return len(points) // 32


def finish(party, inputs):
    matches = vorlinde.finish(party.receive(SENDER, "points"), party.receive(RECEIVER, "points"),
                              party.recall("gamma"), party.recall("delta"), party.recall("secret_key"))
    ids = party.recall("transaction_ids").decode().split("\n")
    party.keep("matches.csv", "".join(f"{i},{'true' if m else 'false'}\n" for i, m in zip(ids, matches)).encode())
    return len(matches)


STEPS = [
    (SENDER, "key_gen", key_generation),
    (RECEIVER, "key_gen", key_generation),
    (OPERATOR, "key_gen", key_generation),
    (SENDER, "build_okvs", build_store),
    (RECEIVER, "build_okvs", build_store),
    (OPERATOR, "initiate_queries", query),
    (SENDER, "randomize", rerandomize),
    (RECEIVER, "randomize", rerandomize),
    (OPERATOR, "combine", combine),
    (SENDER, "decrypt", decrypt),
    (RECEIVER, "decrypt", decrypt),
    (OPERATOR, "finish", finish),
]


def run(data, work, report=print):
    """Runs every step; returns [(party, step, seconds, rows, bytes handed over)]
    and the operator's matches as [(transaction id, bool)]."""
    inputs = {SENDER: os.path.join(data, "sender_bank.csv"), RECEIVER: os.path.join(data, "receiver_bank.csv"),
              OPERATOR: os.path.join(data, "transactions.csv")}
    parties = {name: Party(work, name) for name in (SENDER, RECEIVER, OPERATOR)}
    timings = []
    report(f"{'party':<15}{'step':<18}{'seconds':>9}{'rows':>10}{'handed over':>14}  to")
    for name, step, function in STEPS:
        party = parties[name]
        party.handed, party.recipients = 0, []
        start = time.perf_counter()
        rows = function(party, inputs)
        seconds = time.perf_counter() - start
        timings.append((name, step, seconds, rows, party.handed))
        report(f"{name:<15}{step:<18}{seconds:>9.3f}{rows:>10}{party.handed:>12} B  {', '.join(party.recipients) or '-'}")
    matches = [(tid, flag == "true") for tid, flag in csv.reader(
        parties[OPERATOR].recall("matches.csv").decode().splitlines())]
    return timings, matches


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--data", default=os.path.join(here, "sample"), help="folder of the input CSV files")
    ap.add_argument("--work", help="work directory (default: a new temporary one, removed afterwards)")
    ap.add_argument("--rows", type=int, help="generate and match N synthetic transactions instead")
    ap.add_argument("--seed", type=int, default=1, help="seed of the synthetic set")
    args = ap.parse_args()

    with tempfile.TemporaryDirectory(prefix="matching-run-") as scratch:
        work = args.work or scratch
        data = args.data
        if args.rows is not None:
            sys.path.insert(0, here)
            import make_sample

            data = os.path.join(work, "input")
            make_sample.write_set(data, args.rows, args.seed)
            print(f"generated {args.rows} transactions into {data}")
        print(f"work directory: {work}")
        timings, matches = run(data, work)
        total = sum(t[2] for t in timings)
        print(f"{'total':<33}{total:>9.3f}")

        matched = [tid for tid, flag in matches if flag]
        shown = matched if len(matched) <= 50 else matched[:50] + ["..."]
        print(f"matches: {len(matched)} of {len(matches)} transactions")
        print("matched: " + " ".join(shown))

        answer_path = os.path.join(data, "expected_matches.csv")
        if os.path.exists(answer_path):
            expected = [(r["id"], r["match"] == "true") for r in read_csv(answer_path)]
            if expected != matches:
                wrong = [e[0] for e, m in zip(expected, matches) if e != m]
                print(f"MISMATCH against {answer_path}: {len(wrong)} differ (of {len(expected)} expected, "
                      f"{len(matches)} computed): {' '.join(wrong[:20])}")
                return 1
            print(f"all {len(expected)} results agree with {answer_path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
