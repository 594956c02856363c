#!/usr/bin/env python3
"""Writes the fixed-base table of the edwards25519 base point and the curve and
field constants, computed with plain Python integers and no project code, so
that the C++ that uses them is checked against an independent source.

    python3 tools/gen_curve_tables.py                     # both files, default paths
    python3 tools/gen_curve_tables.py --table PATH --constants PATH --lane-constants PATH
    python3 tools/gen_curve_tables.py --check             # compare with the tree

--check writes nothing; it prints a diff and exits 1 if a file differs from
what would be written. Standard library only, Python 3.8 or later.
"""

import argparse
import difflib
import pathlib
import sys

# How the output is spelled in the C++ tree; paths are relative to the
# repository root.
FIELD_TYPE = "FieldElement51"
NAMESPACE = "vorlinde::curve::backend::serial"
TABLE_PATH = "curve/backend/serial/scalar_mul/basepoint_table.cpp"
TABLE_INCLUDE = "curve/edwards.hpp"
TABLE_NAMESPACE = "vorlinde::curve"
CONSTANTS_PATH = "curve/backend/serial/u64/constants.hpp"
CONSTANTS_INCLUDE = "curve/backend/serial/u64/field.hpp"
LANE_CONSTANTS_PATH = "curve/backend/vector/constants.hpp"
LANE_NAMESPACE = "vorlinde::curve::backend::vector::limbs51"

ROOT = pathlib.Path(__file__).resolve().parent.parent
COMMAND = "python3 tools/gen_curve_tables.py"

P = 2**255 - 19
L = 2**252 + 27742317777372353535851937790883648493  # order of G (RFC 8032)


def inv(a):
    return pow(a, P - 2, P)


# 2 is not a square mod p, so 2^((p-1)/2) = -1 and 2^((p-1)/4) is a root of -1.
I = pow(2, (P - 1) // 4, P)


def sqrt(a):
    """The two square roots of a, even one first (p = 5 mod 8, RFC 8032 5.1.3)."""
    r = pow(a, (P + 3) // 8, P)
    if (r * r - a) % P:
        r = r * I % P
    if (r * r - a) % P:
        raise ValueError("not a square")
    return (r, P - r) if r % 2 == 0 else (P - r, r)


D = -121665 * inv(121666) % P
A = 486662
IDENTITY = (0, 1)


def on_curve(pt):
    x, y = pt
    return (-x * x + y * y - 1 - D * x * x * y * y) % P == 0


def add(p1, p2):
    """Affine -x^2 + y^2 = 1 + d x^2 y^2 addition; complete since d is not a square."""
    (x1, y1), (x2, y2) = p1, p2
    t = D * x1 * x2 * y1 * y2 % P
    return ((x1 * y2 + y1 * x2) * inv(1 + t) % P, (y1 * y2 + x1 * x2) * inv(1 - t) % P)


def mul(k, pt):
    acc = IDENTITY
    for bit in bin(k)[2:]:
        acc = add(acc, acc)
        if bit == "1":
            acc = add(acc, pt)
    return acc


def compress(pt):
    x, y = pt
    return (y | (x & 1) << 255).to_bytes(32, "little")


GY = 4 * inv(5) % P
GX = sqrt((GY * GY - 1) * inv(D * GY * GY + 1) % P)[0]
G = (GX, GY)


def constants():
    """(name, comment lines, value) for every constant of the header."""
    i = sqrt(P - 1)[0]
    root_of_minus_a_plus_2 = sqrt(-(A + 2) % P)[0]
    return [
        ("EDWARDS_D", ["d = -121665 / 121666"], D),
        ("EDWARDS_D2", ["2 d"], 2 * D % P),
        ("SQRT_M1", ["sqrt(-1) = 2^((p-1)/4), the even root"], i),
        ("MONTGOMERY_A", ["A = 486662 of the Montgomery form v^2 = u^3 + A u^2 + u"], A),
        ("MONTGOMERY_A_NEG", ["-A"], -A % P),
        ("ED25519_BASEPOINT_X", ["The base point G of RFC 8032 (y = 4/5, x even): x"], GX),
        ("ED25519_BASEPOINT_Y", ["y = 4/5"], GY),
        ("ED25519_BASEPOINT_T", ["T = x y"], GX * GY % P),
        ("MINUS_TWO", ["-2 = p - 2, the factor of the inverse Elligator map"], P - 2),
        ("MONTGOMERY_A_SQUARED", ["A^2"], A * A % P),
        ("MINUS_A_SQRT_MINUS_A_PLUS_2",
         ["-A sqrt(-(A + 2)), with the even root of -(A + 2); the product itself is odd (callers normalise the sign)"],
         -A * root_of_minus_a_plus_2 % P),
        ("SQRT_M1_MINUS_ONE", ["i - 1 with i = SQRT_M1: (i - 1)^2 = -2i"], (i - 1) % P),
    ]


def table():
    """table[i][j - 1] = j 256^i G, affine."""
    rows, base = [], G
    for _ in range(32):
        row = [base]
        for _ in range(7):
            row.append(add(row[-1], base))
        rows.append(row)
        for _ in range(8):
            base = add(base, base)
    return rows


def self_check(rows, consts):
    """Facts that do not come from the formulas above; any failure stops the run."""
    named = {name: value for name, _, value in consts}
    i = named["SQRT_M1"]
    facts = [
        ("SQRT_M1^2 = -1, SQRT_M1 = 2^((p-1)/4)", i * i % P == P - 1 and i == I),
        ("A = 2 (1 - d) / (1 + d)", 2 * (1 - D) * inv(1 + D) % P == A),
        ("G encodes as 58 66 .. 66 (RFC 8032)", compress(G) == bytes.fromhex("58" + "66" * 31)),
        ("G is on the curve", on_curve(G)),
        ("l G = identity, G != identity", mul(L, G) == IDENTITY and G != IDENTITY),
        ("(i - 1)^2 = -2i", named["SQRT_M1_MINUS_ONE"] ** 2 % P == -2 * i % P),
        ("(-A sqrt(-(A+2)))^2 = -A^2 (A + 2)",
         named["MINUS_A_SQRT_MINUS_A_PLUS_2"] ** 2 % P == -A * A * (A + 2) % P),
        ("every table point is on the curve", all(on_curve(pt) for row in rows for pt in row)),
        ("last entry = 8 256^31 G", rows[31][7] == mul(8 * 256**31, G)),
        ("constants below p", all(0 <= value < P for _, _, value in consts)),
    ]
    failed = [name for name, ok in facts if not ok]
    if failed:
        sys.exit("gen_curve_tables: self-check failed: " + "; ".join(failed))


def limbs(value):
    return ", ".join("0x%013x" % (value >> (51 * k) & (2**51 - 1)) for k in range(5))


def element(value):
    return "%s(%s::Limbs{%s})" % (FIELD_TYPE, FIELD_TYPE, limbs(value))


def table_text(rows):
    out = [
        "// Generated by tools/gen_curve_tables.py with plain integer arithmetic; do not edit.",
        "// Regenerate: %s (default paths; curve/README.md)" % COMMAND,
        "// tables[i].entries[j - 1] = j 256^i G in affine Niels form (y+x, y-x, 2dxy),",
        "// limbs fully reduced.",
        "",
        '#include "%s"' % TABLE_INCLUDE,
        "",
        "namespace %s {" % TABLE_NAMESPACE,
        "",
        "using %s::%s;" % (NAMESPACE.replace(TABLE_NAMESPACE + "::", ""), FIELD_TYPE),
        "",
        "constinit const EdwardsBasepointTable ED25519_BASEPOINT_TABLE{{{",
    ]
    for n, row in enumerate(rows):
        out += ["    // 256^%d G" % n, "    LookupTable<AffineNielsPoint>{{{"]
        for x, y in row:
            out.append("        AffineNielsPoint{")
            for value in ((y + x) % P, (y - x) % P, 2 * D * x * y % P):
                out.append("            %s," % element(value))
            out.append("        },")
        out.append("    }}},")
    out += ["}}};", "", "}  // namespace %s" % TABLE_NAMESPACE]
    return "\n".join(out) + "\n"


def constants_text(consts):
    out = [
        "#pragma once",
        "// Generated by tools/gen_curve_tables.py with plain integer arithmetic; do not edit.",
        "// Regenerate: %s (default paths; curve/README.md)" % COMMAND,
        "// Curve and field constants in the radix-2^51 form, every limb below 2^51",
        "// (canonical). p = 2^255 - 19.",
        "",
        '#include "%s"' % CONSTANTS_INCLUDE,
        "",
        "namespace %s {" % NAMESPACE,
        "",
    ]
    for name, comment, value in consts:
        out += ["// " + line for line in comment]
        out.append("inline constexpr %s %s(%s::Limbs{" % (FIELD_TYPE, name, FIELD_TYPE))
        out.append("    %s});" % limbs(value))
    out += ["",
            "template <unsigned B>",
            "constexpr %s Bounded%s<B>::sqrt_m1() {" % (FIELD_TYPE, FIELD_TYPE),
            "  return SQRT_M1;",
            "}",
            "", "}  // namespace %s" % NAMESPACE]
    return "\n".join(out) + "\n"


def lane_constants_text(consts):
    out = [
        "#pragma once",
        "// Generated by tools/gen_curve_tables.py with plain integer arithmetic; do not edit.",
        "// Regenerate: %s (default paths; curve/README.md)" % COMMAND,
        "// The constants of %s that the kernels use (all but the base point) as plain" % CONSTANTS_PATH,
        "// radix-2^51 limbs (canonical), which each lane field broadcasts into its own representation: data only, no",
        "// function that baseline code could share with the vector kernels.",
        "",
        "#include <cstdint>",
        "",
        "namespace %s {" % LANE_NAMESPACE,
        "",
    ]
    for name, comment, value in consts:
        if name.startswith("ED25519_BASEPOINT_"):
            continue
        # A one-line comment beside the declaration where it fits in 120 columns.
        declaration = "inline constexpr std::uint64_t %s[5] = {" % name
        if len(comment) == 1 and len(declaration) + 5 + len(comment[0]) <= 120:
            out.append(declaration + "  // " + comment[0])
        else:
            out += ["// " + line for line in comment] + [declaration]
        out.append("    %s};" % limbs(value))
    out += ["", "}  // namespace %s" % LANE_NAMESPACE]
    return "\n".join(out) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--table", default=str(ROOT / TABLE_PATH), help="base-point table (.cpp)")
    parser.add_argument("--constants", default=str(ROOT / CONSTANTS_PATH), help="constants header")
    parser.add_argument("--lane-constants", default=str(ROOT / LANE_CONSTANTS_PATH),
                        help="the same constants as plain limbs, for the lane fields")
    parser.add_argument("--check", action="store_true", help="compare instead of writing")
    args = parser.parse_args()

    rows, consts = table(), constants()
    self_check(rows, consts)
    outputs = [(pathlib.Path(args.table), table_text(rows)),
               (pathlib.Path(args.constants), constants_text(consts)),
               (pathlib.Path(args.lane_constants), lane_constants_text(consts))]
    status = 0
    for path, text in outputs:
        if not args.check:
            path.write_text(text)
            continue
        old = path.read_text() if path.exists() else ""
        if old != text:
            status = 1
            sys.stdout.writelines(difflib.unified_diff(
                old.splitlines(True), text.splitlines(True), str(path), "generated"))
    return status


if __name__ == "__main__":
    sys.exit(main())
