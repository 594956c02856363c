"""A slow, plainly written edwards25519 (RFC 8032 section 5.1) over Python
integers: the independent oracle for key and point results of the module."""

P = 2**255 - 19
D = -121665 * pow(121666, -1, P) % P
L = 2**252 + 27742317777372353535851937790883648493
SQRT_M1 = pow(2, (P - 1) // 4, P)

IDENTITY = (0, 1)


def recover_x(y, sign):
    """The x with the given low bit on the curve at y, or None (RFC 8032 5.1.3,
    except that x = 0 with the sign bit set is taken as x = 0)."""
    x2 = (y * y - 1) * pow(D * y * y + 1, -1, P) % P
    x = pow(x2, (P + 3) // 8, P)
    if (x * x - x2) % P:
        x = x * SQRT_M1 % P
    if (x * x - x2) % P:
        return None
    if x & 1 != sign:
        x = -x % P
    return x


G = (recover_x(4 * pow(5, -1, P) % P, 0), 4 * pow(5, -1, P) % P)


def add(p1, p2):
    (x1, y1), (x2, y2) = p1, p2
    t = D * x1 * x2 * y1 * y2 % P
    return ((x1 * y2 + y1 * x2) * pow(1 + t, -1, P) % P, (y1 * y2 + x1 * x2) * pow(1 - t, -1, P) % P)


def neg(point):
    return (-point[0] % P, point[1])


def mul(k, point):
    result = IDENTITY
    for bit in bin(k)[2:] if k else "":
        result = add(result, result)
        if bit == "1":
            result = add(result, point)
    return result


def compress(point):
    x, y = point
    return (y | (x & 1) << 255).to_bytes(32, "little")


def decompress(data):
    """The point the 32 bytes encode, y taken mod p; None when there is none."""
    value = int.from_bytes(data, "little")
    y = (value & ((1 << 255) - 1)) % P
    x = recover_x(y, value >> 255)
    return None if x is None else (x, y)


def secret_scalar(key):
    """A 32-byte secret key as the module reads it: bit 255 cleared, not reduced."""
    return int.from_bytes(key, "little") & ((1 << 255) - 1)
