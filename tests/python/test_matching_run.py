"""Whole matching runs: three key pairs, two stores, the operator's queries,
both banks' re-randomisations, the sum, both decryptions and the operator's
check. The expected matches are known by construction: a transaction matches
exactly when its sender row is among the sender bank's rows and its receiver
row among the receiver bank's."""

import random

import vorlinde


def run(sender_bank, receiver_bank, sender_queries, receiver_queries):
    (spk, ssk), (rpk, rsk), (xpk, xsk) = vorlinde.key_gen(), vorlinde.key_gen(), vorlinde.key_gen()
    sender_okvs = vorlinde.build_okvs(spk, sender_bank)
    receiver_okvs = vorlinde.build_okvs(rpk, receiver_bank)
    records = vorlinde.initiate_queries(sender_queries, receiver_queries, sender_okvs, receiver_okvs, xpk)
    alpha, beta, gamma, delta = vorlinde.combine(vorlinde.randomize(records), vorlinde.randomize(records))
    return vorlinde.finish(
        vorlinde.decrypt(alpha, ssk), vorlinde.decrypt(beta, rsk), gamma, delta, xsk
    )


def account(rng, prefix):
    return [f"{prefix}{rng.randrange(10**12):012d}", rng.choice(["Anna", "Jörg", "Siân", "Zoë", "李"]), "EUR"]


def test_all_four_combinations_over_a_few_hundred_transactions():
    rng = random.Random(20261208)
    sender_bank = [account(rng, "S") for _ in range(150)]
    receiver_bank = [account(rng, "R") for _ in range(120)]
    # Rows of the same shape that neither bank holds (distinct prefixes).
    unknown_senders = [account(rng, "X") for _ in range(60)]
    unknown_receivers = [account(rng, "Y") for _ in range(60)]

    sender_queries, receiver_queries, truth, cases = [], [], [], set()
    for i in range(320):
        sender_known, receiver_known = i % 2 == 0, i % 4 < 2
        if rng.random() < 0.1:  # scatter, so the four cases are not in lockstep
            sender_known = not sender_known
        sender_queries.append(list(rng.choice(sender_bank if sender_known else unknown_senders)))
        receiver_queries.append(list(rng.choice(receiver_bank if receiver_known else unknown_receivers)))
        truth.append(sender_known and receiver_known)
        cases.add((sender_known, receiver_known))
    assert len(cases) == 4

    assert run(sender_bank, receiver_bank, sender_queries, receiver_queries) == truth


def test_rows_split_differently_or_repeated_still_match():
    # The bank holds "abc" three ways and a repeated row; every spelling of a
    # stored key byte string is a hit, a near miss is not.
    sender_bank = [["ab", "c"], ["a", "bc"], ["abc"], ["k", "1"], ["k", "1"], ["日本", "銀行"]]
    receiver_bank = [["r"], ["r"], ["r", ""], []]
    queries = [
        (["abc"], ["r"], True),
        (["a", "b", "c"], [], True),
        (["k1"], ["", "r"], True),
        (["日本銀行"], ["r"], True),
        (["ab"], ["r"], False),
        (["abcd"], ["r"], False),
        (["k", "1"], ["rr"], False),
        (["日本", "銀"], [], False),
    ]
    sender_queries, receiver_queries, truth = zip(*queries)
    assert run(sender_bank, receiver_bank, list(sender_queries), list(receiver_queries)) == list(truth)


def test_longer_query_list_is_cut_to_the_shorter():
    sender_bank, receiver_bank = [["s"]], [["r"]]
    assert run(sender_bank, receiver_bank, [["s"], ["s"], ["s"]], [["r"], ["x"]]) == [True, False]
