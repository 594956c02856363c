#!/usr/bin/env python3
"""Makes a matching data set: the sender bank's and the receiver bank's account
rows, the operator's transactions, and the known answer.

    python examples/make_sample.py [--rows 40] [--seed 7] [--out examples/sample]

A transaction matches when its sender account (IBAN and holder name, as the
operator has them) is an account of the sender bank and its receiver account
one of the receiver bank. The generator decides that per transaction, so the
answer file is known without running the protocol: a side is either a real
account of that bank, a real IBAN under a misspelt name, or an IBAN the bank
does not have.
"""

import argparse
import csv
import os
import random

BANK_COLUMNS = ["iban", "name", "opened"]
TRANSACTION_COLUMNS = ["id", "amount", "currency", "sender_iban", "sender_name", "receiver_iban", "receiver_name"]
ANSWER_COLUMNS = ["id", "match"]

FIRST = ["Anna", "Jörg", "Siân", "Zoë", "Łukasz", "Mårten", "Ngozi", "Hiroshi", "Aoife", "José", "Çağla", "Ivan"]
LAST = ["Schmidt", "Müller", "Dubois", "Nowak", "Ó Briain", "Rossi", "Okafor", "田中", "García", "Jensen", "Öztürk"]
COUNTRIES = {"DE": 18, "FR": 23, "NL": 14, "BE": 12}  # digits after the 2-letter code


def iban(rng, country):
    return country + "".join(rng.choice("0123456789") for _ in range(COUNTRIES[country] + 2))


def name(rng):
    return f"{rng.choice(FIRST)} {rng.choice(LAST)}"


def misspelt(rng, text):
    i = rng.randrange(len(text))
    return text[:i] + text[i].swapcase() + text[i + 1 :] if text[i].swapcase() != text[i] else text + "."


class Bank:
    """A bank's accounts as two parallel lists, IBANs and holder names (the
    names drawn from a few hundred, so each is stored once): at 7.5 million
    accounts this is a fraction of what a dict per row would hold."""

    def __init__(self):
        self.ibans, self.names = [], []
        self.indices = range(0)


def new_account(rng, countries, taken, names):
    """(iban, name, opened) of an account whose IBAN no other account has;
    `names` interns the holder names."""
    while True:
        number = iban(rng, rng.choice(countries))
        if number not in taken:
            break
    taken.add(number)
    opened = f"20{rng.randrange(0, 26):02d}-{rng.randrange(1, 13):02d}"
    holder = name(rng)
    return number, names.setdefault(holder, holder), opened


def write_bank(path, rng, count, countries, taken, names):
    """Draws the bank's `count` accounts and writes them as they are drawn;
    returns the Bank (IBAN and name of each) for the transactions."""
    bank = Bank()
    with open(path, "w", newline="", encoding="utf-8") as f:
        writer = csv.writer(f, lineterminator="\n")
        writer.writerow(BANK_COLUMNS)
        for _ in range(count):
            number, holder, opened = new_account(rng, countries, taken, names)
            bank.ibans.append(number)
            bank.names.append(holder)
            writer.writerow((number, holder, opened))
    bank.indices = range(len(bank.ibans))
    return bank


def pick_side(rng, bank, taken, names):
    """One side of a transaction: (iban, name, known to the bank)."""
    draw = rng.random()
    if draw < 0.7:
        k = rng.choice(bank.indices)  # the same draw as choosing from the list of accounts
        return bank.ibans[k], bank.names[k], True
    if draw < 0.8:
        k = rng.choice(bank.indices)
        return bank.ibans[k], misspelt(rng, bank.names[k]), False
    number, holder, _ = new_account(rng, list(COUNTRIES), taken, names)
    return number, holder, False


def write_set(out, rows, seed, bank_rows=None):
    """Writes the sender and receiver banks' accounts (each `bank_rows`, by
    default about three for every four transactions), `rows` transactions
    and the answer into the folder `out`, streaming: what stays in memory is
    each bank's IBANs and names and the set of IBANs drawn, never the
    transactions."""
    os.makedirs(out, exist_ok=True)
    rng = random.Random(seed)
    taken, names = set(), {}
    bank_size = bank_rows or max(1, 3 * rows // 4)
    sender_bank = write_bank(os.path.join(out, "sender_bank.csv"), rng, bank_size, ["DE", "NL"], taken, names)
    receiver_bank = write_bank(os.path.join(out, "receiver_bank.csv"), rng, bank_size, ["FR", "BE"], taken, names)
    with open(os.path.join(out, "transactions.csv"), "w", newline="", encoding="utf-8") as tf, \
            open(os.path.join(out, "expected_matches.csv"), "w", newline="", encoding="utf-8") as af:
        transactions = csv.writer(tf, lineterminator="\n")
        answer = csv.writer(af, lineterminator="\n")
        transactions.writerow(TRANSACTION_COLUMNS)
        answer.writerow(ANSWER_COLUMNS)
        for i in range(rows):
            s_iban, s_name, s_known = pick_side(rng, sender_bank, taken, names)
            r_iban, r_name, r_known = pick_side(rng, receiver_bank, taken, names)
            tid = f"T{i + 1:06d}"
            transactions.writerow((tid, f"{rng.randrange(100, 10**7) / 100:.2f}", "EUR", s_iban, s_name, r_iban,
                                   r_name))
            answer.writerow((tid, "true" if s_known and r_known else "false"))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rows", type=int, default=40, help="number of transactions")
    ap.add_argument("--seed", type=int, default=7)
    ap.add_argument("--bank-rows", type=int, help="accounts per bank (default: three for every four transactions)")
    ap.add_argument("--out", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "sample"))
    args = ap.parse_args()
    write_set(args.out, args.rows, args.seed, args.bank_rows)


if __name__ == "__main__":
    main()
