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


def accounts(rng, count, countries, taken):
    rows = []
    while len(rows) < count:
        number = iban(rng, rng.choice(countries))
        if number in taken:
            continue
        taken.add(number)
        opened = f"20{rng.randrange(0, 26):02d}-{rng.randrange(1, 13):02d}"
        rows.append({"iban": number, "name": name(rng), "opened": opened})
    return rows


def pick_side(rng, bank, taken):
    """One side of a transaction: (iban, name, known to the bank)."""
    draw = rng.random()
    if draw < 0.7:
        account = rng.choice(bank)
        return account["iban"], account["name"], True
    if draw < 0.8:
        account = rng.choice(bank)
        return account["iban"], misspelt(rng, account["name"]), False
    unknown = accounts(rng, 1, list(COUNTRIES), taken)[0]
    return unknown["iban"], unknown["name"], False


def generate(rows, seed, bank_rows=None):
    """(sender bank rows, receiver bank rows, transactions, answer) for `rows`
    transactions; each bank has `bank_rows` accounts, by default about three
    for every four transactions."""
    rng = random.Random(seed)
    taken = set()
    bank_size = bank_rows or max(1, 3 * rows // 4)
    sender_bank = accounts(rng, bank_size, ["DE", "NL"], taken)
    receiver_bank = accounts(rng, bank_size, ["FR", "BE"], taken)
    transactions, answer = [], []
    for i in range(rows):
        s_iban, s_name, s_known = pick_side(rng, sender_bank, taken)
        r_iban, r_name, r_known = pick_side(rng, receiver_bank, taken)
        tid = f"T{i + 1:06d}"
        transactions.append({
            "id": tid, "amount": f"{rng.randrange(100, 10**7) / 100:.2f}", "currency": "EUR",
            "sender_iban": s_iban, "sender_name": s_name, "receiver_iban": r_iban, "receiver_name": r_name,
        })
        answer.append({"id": tid, "match": "true" if s_known and r_known else "false"})
    return sender_bank, receiver_bank, transactions, answer


def write_csv(path, columns, rows):
    with open(path, "w", newline="", encoding="utf-8") as f:
        writer = csv.DictWriter(f, fieldnames=columns, lineterminator="\n")
        writer.writeheader()
        writer.writerows(rows)


def write_set(out, rows, seed, bank_rows=None):
    os.makedirs(out, exist_ok=True)
    sender_bank, receiver_bank, transactions, answer = generate(rows, seed, bank_rows)
    write_csv(os.path.join(out, "sender_bank.csv"), BANK_COLUMNS, sender_bank)
    write_csv(os.path.join(out, "receiver_bank.csv"), BANK_COLUMNS, receiver_bank)
    write_csv(os.path.join(out, "transactions.csv"), TRANSACTION_COLUMNS, transactions)
    write_csv(os.path.join(out, "expected_matches.csv"), ANSWER_COLUMNS, answer)


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
