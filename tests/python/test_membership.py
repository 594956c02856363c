"""What anyone who holds a bank's serialised store can learn from it alone:
whether a given row key is in it, up to about one false positive in 256.

A genuine store value is a ciphertext whose two 32-byte halves are uniform
representatives made by the inverse Elligator 2 map, so each half is even and
stands for a point of the prime-order subgroup (r*G and r*PK). Looking up an
absent key XORs unrelated slots and gives 64 random bytes: a half is even with
probability 1/2 and maps into the prime-order subgroup with probability about
1/8, so both halves pass with probability about (1/16)^2 = 1/256. The test below
is what such a holder would run, written from the byte format alone; it
measures that rate on absent keys and checks that stored keys always pass.
"""

import ctypes
import ctypes.util
import math
import random

import vorlinde

from edwards25519 import L, P

# The store's byte form: three little-endian 64-bit seeds, then m sparse and 32
# dense values of 64 bytes each.
HEADER, VALUE, DENSE = 24, 64, 32

A = 486662  # Curve25519 (RFC 7748)
IDENTITY = bytes([1]) + bytes(31)
LOW_255 = (1 << 255) - 1


def _xxh3():
    """XXH3_64bits_withSeed from the system's libxxhash (the standard hash the
    store places keys with), called through ctypes."""
    lib = ctypes.CDLL(ctypes.util.find_library("xxhash") or "libxxhash.so.0")
    fn = lib.XXH3_64bits_withSeed
    fn.restype = ctypes.c_uint64
    fn.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_uint64]
    return lambda data, seed: fn(data, len(data), seed)


XXH3 = _xxh3()


class Store:
    """A serialised store, read from its documented byte form."""

    def __init__(self, data):
        self.seeds = [int.from_bytes(data[i : i + 8], "little") for i in (0, 8, 16)]
        values = [int.from_bytes(data[i : i + VALUE], "little") for i in range(HEADER, len(data), VALUE)]
        self.m = len(values) - DENSE
        self.sparse, self.dense = values[: self.m], values[self.m :]

    def lookup(self, row):
        """The 64-byte value the store gives for a row: two sparse slots and the
        dense slots picked by the low 32 bits of the third hash, XORed."""
        key = "".join(row).encode()
        seed_a, seed_b, seed_c = self.seeds
        value = self.sparse[XXH3(key, seed_a) % self.m] ^ self.sparse[XXH3(key, seed_b) % self.m]
        bits = XXH3(key, seed_c)
        for j in range(DENSE):
            if bits >> j & 1:
                value ^= self.dense[j]
        return value.to_bytes(VALUE, "little")


def elligator2_u(half):
    """The Montgomery u-coordinate that a 32-byte uniform representative stands
    for: the Elligator 2 map of RFC 9380 section 6.7.1 with Z = 2 (J = A,
    K = 1), on the low 255 bits; the top bit only picks the sign of x."""
    r = int.from_bytes(half, "little") & LOW_255
    x1 = -A * pow(1 + 2 * r * r, -1, P) % P
    e = x1 * (x1 * x1 + A * x1 + 1) % P
    is_square = pow(e, (P - 1) // 2, P) in (0, 1)
    return x1 if is_square else (-x1 - A) % P


def edwards_y_bytes(u):
    """The compressed encoding of one of the two Edwards points with this u
    (RFC 7748 section 4.1: y = (u - 1) / (u + 1)); sign bit 0, which does not
    change membership of the prime-order subgroup."""
    return ((u - 1) * pow(u + 1, -1, P) % P).to_bytes(32, "little")


def ladder_is_infinity(k, u):
    """Whether k times the point with this u is the neutral element: the
    x-only Montgomery ladder of RFC 7748 section 5, in projective (X : Z)
    form, whose Z ends at 0 exactly then."""
    x2, z2, x3, z3, swap = 1, 0, u, 1, 0
    for t in reversed(range(k.bit_length())):
        bit = k >> t & 1
        if swap ^ bit:
            x2, x3, z2, z3 = x3, x2, z3, z2
        swap = bit
        a, b, c, d = x2 + z2, x2 - z2, x3 + z3, x3 - z3
        aa, bb = a * a % P, b * b % P
        e = aa - bb
        da, cb = d * a % P, c * b % P
        x3, z3 = (da + cb) ** 2 % P, u * (da - cb) ** 2 % P
        x2, z2 = aa * bb % P, e * (aa + 121665 * e) % P
    return (z3 if swap else z2) % P == 0


def representative_y(half):
    """edwards_y_bytes(elligator2_u(half)) with two exponentiations instead of
    three. With t = 1 + 2r^2 and x1 = -A/t, e * t^4 = -A t (t^2 - A^2 t + A^2)
    has the square class of e, and y = (u - 1)/(u + 1) is (-A - t)/(t - A) for
    u = x1 and (A(1 - t) - t)/(A(1 - t) + t) for u = -x1 - A = A(1 - t)/t."""
    r = int.from_bytes(half, "little") & LOW_255
    t = (1 + 2 * r * r) % P
    if pow(-A * t * (t * t - A * A * t + A * A), (P - 1) // 2, P) in (0, 1):
        y = (-A - t) * pow(t - A, -1, P)
    else:
        y = (A * (1 - t) - t) * pow(A * (1 - t) + t, -1, P)
    return (y % P).to_bytes(32, "little")


def in_prime_subgroup(halves):
    """For each 32-byte representative, whether its point has order dividing
    the group order l: l times it is the identity. Multiplied by the module's
    decrypt with l as the key (read unreduced, so the product is l*P), which
    is what a holder of a store would use for many points; a sample is checked
    against the ladder above."""
    if not halves:
        return []
    products = vorlinde.decrypt(b"".join(representative_y(h) for h in halves), L.to_bytes(32, "little"))
    return [products[i : i + 32] == IDENTITY for i in range(0, len(products), 32)]


def looks_stored(values):
    """The membership test: both halves even and in the prime-order subgroup.
    Only values with both halves even are looked at further, and the second
    half only when the first is in the subgroup."""
    even = [v for v in values if v[0] & 1 == 0 and v[32] & 1 == 0]
    first = [v for v, inside in zip(even, in_prime_subgroup([v[:32] for v in even])) if inside]
    passing = {v for v, inside in zip(first, in_prime_subgroup([v[32:] for v in first])) if inside}
    return [v in passing for v in values]


def test_holder_of_a_store_tells_stored_rows_from_absent_ones():
    pk, _ = vorlinde.key_gen()
    stored = [[f"DE{i:020d}", f"account holder {i}"] for i in range(400)]
    store = Store(vorlinde.build_okvs(pk, stored))
    assert store.m == -(-12 * len(stored) // 5)

    # Stored rows always pass.
    assert all(looks_stored([store.lookup(row) for row in stored]))

    # Absent rows: about one in 256 passes. A binomial count with a margin of
    # six standard deviations either side.
    absent_count = 24_000
    absent = [store.lookup([f"DE{i:020d}", f"someone else {i}"]) for i in range(absent_count)]
    passed = sum(looks_stored(absent))
    rate, expected = passed / absent_count, absent_count / 256
    print(f"membership test: {passed} of {absent_count} absent keys pass, rate {rate:.5f} (1/256 = {1 / 256:.5f})")
    assert abs(passed - expected) <= 6 * math.sqrt(expected * (1 - 1 / 256))

    # Its two ingredients, on the first halves: even one time in two, and
    # an even one in the prime-order subgroup about one time in eight.
    even = [v[:32] for v in absent if v[0] & 1 == 0]
    assert abs(len(even) - absent_count / 2) <= 6 * math.sqrt(absent_count / 4)
    sample = even[:3000]
    subgroup = in_prime_subgroup(sample)
    assert abs(sum(subgroup) - len(sample) / 8) <= 6 * math.sqrt(len(sample) * (1 / 8) * (7 / 8))

    # The shortcut against the plain map, and the module's multiplication by l
    # against the plain ladder, on a sample of both outcomes.
    rng = random.Random(7)
    inside = [h for h, s in zip(sample, subgroup) if s]
    outside = [h for h, s in zip(sample, subgroup) if not s]
    for half, expect in [(h, True) for h in rng.sample(inside, 12)] + [(h, False) for h in rng.sample(outside, 12)]:
        u = elligator2_u(half)
        assert representative_y(half) == edwards_y_bytes(u)
        assert ladder_is_infinity(L, u) == expect

