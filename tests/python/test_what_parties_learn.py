"""What crosses between the parties shows nothing about which lookups hit.

A looked-up value of an absent key is random bytes, whose points carry a
small-order part; if that part reached the records, each bank could tell most
missed lookups (on either side) from hits, and the operator could learn each
bank's key mod 8 from the decrypted points. Every point handed on must lie in
the prime-order subgroup: the records, both banks' randomized records, the
combined alpha, beta, gamma and delta, and the decrypted points.

The oracle is libsodium's crypto_core_ed25519_is_valid_point (through ctypes),
which accepts exactly the canonical encodings of points of order l; it refuses
the identity, so that encoding is counted apart. A sample is checked against
the plain Python-integer model of tests/python/edwards25519.py, which also
shows on each sampled point that the oracle does refuse a point with a
small-order part.
"""

import ctypes
import ctypes.util
import random

import vorlinde

import edwards25519 as model
from test_membership import A, elligator2_u, representative_y

IDENTITY = bytes([1]) + bytes(31)


def _sodium():
    lib = ctypes.CDLL(ctypes.util.find_library("sodium") or "libsodium.so.23")
    assert lib.sodium_init() >= 0
    fn = lib.crypto_core_ed25519_is_valid_point
    fn.restype = ctypes.c_int
    fn.argtypes = [ctypes.c_char_p]
    return fn


IS_VALID_POINT = _sodium()


def points(stream):
    return [stream[i : i + 32] for i in range(0, len(stream), 32)]


def column(records, field):
    """One of the four 32-byte fields of every 128-byte record."""
    return b"".join(records[i + 32 * field : i + 32 * field + 32] for i in range(0, len(records), 128))


def outside(stream):
    """How many points of a stream lie outside the prime-order subgroup."""
    return sum(1 for p in points(stream) if p != IDENTITY and IS_VALID_POINT(p) != 1)


def model_in_subgroup(encoding):
    point = model.decompress(encoding)
    return point is not None and model.mul(model.L, point) == model.IDENTITY


def order_eight_point():
    """A point of order exactly 8 in the model: l times points of the whole
    group (decoded from seeded bytes) until 4 times the result is not the
    identity."""
    rng = random.Random(8)
    while True:
        q = model.decompress(rng.getrandbits(256).to_bytes(32, "little"))
        if q is None:
            continue
        t = model.mul(model.L, q)
        if model.mul(4, t) != model.IDENTITY:
            return t


def order(point):
    """The order of a small-order point."""
    return next(k for k in (1, 2, 4, 8) if model.mul(k, point) == model.IDENTITY)


def sqrt_mod_p(a):
    x = pow(a, (model.P + 3) // 8, model.P)
    if (x * x - a) % model.P:
        x = x * model.SQRT_M1 % model.P
    return x if (x * x - a) % model.P == 0 else None


def half_point(rep):
    """The point a 32-byte representative stands for, up to the sign of x
    (which changes no order): the map of test_membership, then the model."""
    return model.decompress(representative_y(rep))


def order_four_representative():
    """32 bytes that the Elligator 2 map takes to a point of order 4 (u = 1):
    the inverse map of RFC 9380 (Z = 2), r^2 = -u / (2 (u + A)), checked with
    the forward map. (Points of order 8 have no preimage: -2 u (u + A) is not
    a square for them, so a half is never purely of order 8.)"""
    r = sqrt_mod_p(-pow(2 * (1 + A), -1, model.P) % model.P)
    rep = r.to_bytes(32, "little")
    assert elligator2_u(rep) == 1 and order(half_point(rep)) == 4
    return rep


def mixed_order_eight_representative():
    """Seeded random 32 bytes until the point has a component of order 8
    (l times it has order 8): the most common shape of a missed lookup."""
    rng = random.Random(88)
    while True:
        rep = rng.getrandbits(256).to_bytes(32, "little")
        if order(model.mul(model.L, half_point(rep))) == 8:
            return rep


def store_of(sparse, dense, m=40):
    """A store in its byte form (three seeds, m sparse and 32 dense values):
    every sparse value `sparse`, every dense value `dense`."""
    return bytes(24) + sparse * m + dense * 32


def test_every_point_handed_on_lies_in_the_subgroup():
    (sender_pk, a), (receiver_pk, b), (operator_pk, x) = vorlinde.key_gen(), vorlinde.key_gen(), vorlinde.key_gen()
    per_kind = {"hit/hit": 500, "miss/hit": 2000, "hit/miss": 2000, "miss/miss": 2000}
    sender_rows = [[f"DE{i:020d}", f"sender {i}"] for i in range(2000)]
    receiver_rows = [[f"FR{i:020d}", f"receiver {i}"] for i in range(2000)]
    sender_store = vorlinde.build_okvs(sender_pk, sender_rows)
    receiver_store = vorlinde.build_okvs(receiver_pk, receiver_rows)
    senders, receivers, expected = [], [], []
    for kind, n in per_kind.items():
        sender_hit, receiver_hit = (side == "hit" for side in kind.split("/"))
        for i in range(n):
            senders.append(sender_rows[i] if sender_hit else [f"DE{i:020d}", f"stranger {i}"])
            receivers.append(receiver_rows[i] if receiver_hit else [f"FR{i:020d}", f"stranger {i}"])
            expected.append(sender_hit and receiver_hit)

    records = vorlinde.initiate_queries(senders, receivers, sender_store, receiver_store, operator_pk)
    from_sender, from_receiver = vorlinde.randomize(records), vorlinde.randomize(records)
    alpha, beta, gamma, delta = vorlinde.combine(from_sender, from_receiver)
    decrypted_a, decrypted_b = vorlinde.decrypt(alpha, a), vorlinde.decrypt(beta, b)
    assert vorlinde.finish(decrypted_a, decrypted_b, gamma, delta, x) == expected

    fields = ("alpha", "beta", "gamma", "delta")
    streams = {f"records {name}": column(records, f) for f, name in enumerate(fields)}
    streams["sender's randomized"], streams["receiver's randomized"] = from_sender, from_receiver
    streams.update(alpha=alpha, beta=beta, gamma=gamma, delta=delta, decrypted_a=decrypted_a, decrypted_b=decrypted_b)
    counts = {name: outside(stream) for name, stream in streams.items()}
    print("points outside the prime-order subgroup:", counts, f"of {len(expected)} transactions each")
    assert counts == dict.fromkeys(streams, 0)

    # The oracle against the model on a sample of records of every kind, and
    # on the same points plus a point of order 8, which it must refuse.
    t8 = order_eight_point()
    rng = random.Random(20)
    start = 0
    for n in per_kind.values():
        for i in rng.sample(range(start, start + n), 3):
            for p in points(records[128 * i : 128 * i + 128]):
                assert model_in_subgroup(p) and (p == IDENTITY or IS_VALID_POINT(p) == 1)
                shifted = model.compress(model.add(model.decompress(p), t8))
                assert not model_in_subgroup(shifted) and IS_VALID_POINT(shifted) != 1
        start += n


def test_small_order_values_give_the_identity_in_every_record():
    """No statistics: stores whose every lookup gives halves of order 2 (zero
    bytes) or 4 give alpha = beta = identity in every record, and gamma, delta
    of order l with delta = x gamma. Halves with a component of order 8 give
    alpha, beta of order l in every record (before the factor 8, s times that
    component vanished only for s a multiple of 8)."""
    zero, four, mixed = bytes(64), order_four_representative() * 2, mixed_order_eight_representative() * 2
    operator_pk, x = vorlinde.key_gen()
    # Lookups XOR two sparse values and the dense values picked by a hash:
    # with every sparse value zero and every dense value V, about half of the
    # lookups give V and the others zero bytes.
    pure = [store_of(zero, zero), store_of(zero, four)]
    rows = [[f"row {i}"] for i in range(200)]
    for sender_store in pure + [store_of(zero, mixed)]:
        for receiver_store in pure + [store_of(zero, mixed)]:
            records = vorlinde.initiate_queries(rows, rows, sender_store, receiver_store, operator_pk)
            alpha, beta, gamma, delta = (column(records, f) for f in range(4))
            if sender_store in pure:
                assert alpha == IDENTITY * len(rows)
            if receiver_store in pure:
                assert beta == IDENTITY * len(rows)
            assert IDENTITY not in points(gamma)
            assert [outside(c) for c in (alpha, beta, gamma, delta)] == [0, 0, 0, 0]
            if sender_store in pure and receiver_store in pure:
                assert vorlinde.decrypt(gamma, x) == delta


def test_genuine_lookups_keep_the_relation_in_the_model():
    """The factor that clears small-order parts leaves records of genuine
    lookups as they were: delta = a alpha + b beta + x gamma, computed in the
    model from the parties' keys."""
    (sender_pk, a), (receiver_pk, b), (operator_pk, x) = vorlinde.key_gen(), vorlinde.key_gen(), vorlinde.key_gen()
    rows = [["DE01", "Ada"], ["DE02", "Alan"]]
    records = vorlinde.initiate_queries(rows, rows, vorlinde.build_okvs(sender_pk, rows),
                                        vorlinde.build_okvs(receiver_pk, rows), operator_pk)
    for i in range(0, len(records), 128):
        alpha, beta, gamma, delta = (model.decompress(p) for p in points(records[i : i + 128]))
        want = model.add(model.add(model.mul(model.secret_scalar(a), alpha), model.mul(model.secret_scalar(b), beta)),
                         model.mul(model.secret_scalar(x), gamma))
        assert model.compress(want) == records[i + 96 : i + 128]


def ys(stream):
    """The y-coordinates of a point stream: each encoding without its sign
    bit, for comparisons up to the sign of x."""
    return [p[:31] + bytes([p[31] & 0x7F]) for p in points(stream)]


def test_a_deviating_operator_learns_a_key_mod_8_from_one_crafted_point():
    """decrypt multiplies whatever it is given: a point of order 8 comes back
    as (k mod 8) times it, which names k mod 8. An operator that follows the
    steps never sends one (its records lie in the subgroup, above)."""
    t8 = order_eight_point()
    multiples = [model.compress(model.mul(j, t8)) for j in range(8)]
    for _ in range(16):
        _, key = vorlinde.key_gen()
        learned = multiples.index(vorlinde.decrypt(model.compress(t8), key))
        assert learned == model.secret_scalar(key) % 8


def test_a_deviating_operator_can_use_decrypt_as_a_membership_oracle():
    """The first half of a stored value is r G and the second r PK = k r G: a
    bank that decrypts the first half of a lookup hands back the second when,
    and only when, the account is stored. The operator computes lookups from
    the store's bytes (test_membership.Store) and needs no key."""
    from test_membership import Store

    pk, key = vorlinde.key_gen()
    stored = [[f"DE{i:020d}", f"holder {i}"] for i in range(300)]
    absent = [[f"DE{i:020d}", f"someone else {i}"] for i in range(300)]
    store = Store(vorlinde.build_okvs(pk, stored))

    def answers(rows):
        values = [store.lookup(row) for row in rows]
        first = b"".join(representative_y(v[:32]) for v in values)
        return [a == b for a, b in zip(ys(vorlinde.decrypt(first, key)), ys(b"".join(representative_y(v[32:])
                                                                                       for v in values)))]

    assert sum(answers(stored)) == len(stored)
    assert sum(answers(absent)) == 0


def representative_of(point):
    """The representative of a model point on the branch that has one, or
    None: the inverse map of RFC 9380 (Z = 2), checked with the forward map."""
    x, y = point
    u = (1 + y) * pow(1 - y, -1, model.P) % model.P
    for ratio in (-(u + A) * pow(2 * u, -1, model.P), -u * pow(2 * (u + A), -1, model.P)):
        r = sqrt_mod_p(ratio % model.P)
        if r is not None and elligator2_u(r.to_bytes(32, "little")) == u:
            return r.to_bytes(32, "little")
    return None


def test_a_bank_that_kept_its_scalars_links_hits_to_rows():
    """A genuine value is (r G, r PK); a record of a lookup that hit it has
    alpha = 8 s r G = r gamma. A bank that kept r for a row (build_okvs
    discards them; a bank that makes its own store need not) recognises
    every record of that row among the records it receives. Built here as a
    store whose lookups give that value for about half of all keys (every
    dense value V, every sparse value zero: V when the key's dense bits are
    odd in number, zero bytes otherwise)."""
    from test_membership import Store

    pk, _ = vorlinde.key_gen()
    bank_point = model.decompress(pk)
    rng = random.Random(7)
    while True:
        r = rng.randrange(1, model.L)
        c1, c2 = representative_of(model.mul(r, model.G)), representative_of(model.mul(r, bank_point))
        if c1 is not None and c2 is not None:
            break
    value = c1 + c2
    store = store_of(bytes(64), value)
    rows = [[f"row {i}"] for i in range(400)]
    named = [Store(store).lookup(row) == value for row in rows]
    assert 100 < sum(named) < 300

    operator_pk, _ = vorlinde.key_gen()
    receiver_pk, _ = vorlinde.key_gen()
    receiver_store = vorlinde.build_okvs(receiver_pk, rows)
    records = vorlinde.initiate_queries(rows, rows, store, receiver_store, operator_pk)
    linked = [a == b for a, b in zip(ys(column(records, 0)),
                                     ys(vorlinde.decrypt(column(records, 2), r.to_bytes(32, "little"))))]
    assert linked == named
