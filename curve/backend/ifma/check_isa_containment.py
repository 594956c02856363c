#!/usr/bin/env python3
"""Checks that AVX-512 code stays inside the IFMA kernels and AVX code inside
the IFMA and AVX2 kernels.

Disassembles each given object, archive or executable (objdump -d, demangled)
and fails if
  - a function outside namespace vorlinde::curve::backend::ifma uses a zmm
    register, an opmask register, an EVEX-only register (xmm/ymm 16..31), an
    embedded broadcast or an EVEX-only instruction;
  - a function outside that namespace and vorlinde::curve::backend::avx2 uses
    a ymm register or any VEX-encoded instruction (AVX, AVX2; baseline x86-64
    code has none).
  - a function of namespace vorlinde::curve::backend::vector (the templates
    shared by the vector instruction sets) names no ifma:: or avx2:: type;
  - a function defined in a kernel archive (libifma.a, libifma_vpmullq.a, libavx2.a) names no type
    of that archive's instruction set.
Such a function would be an inline or template instance compiled with the
kernels' flags that the linker may pick for baseline code, or for the other
instruction set: it would crash on processors without those extensions (and,
for AVX-512, under valgrind). The last two rules hold whether or not the
compiler happened to emit a vector instruction in it, so a shared helper on
ordinary types is caught before it does.

usage: check_isa_containment.py FILE...
"""

import re
import subprocess
import sys

ALLOWED = "vorlinde::curve::backend::ifma::"
ALLOWED_VEX = (ALLOWED, "vorlinde::curve::backend::avx2::")
# Hand-written AVX and AVX-512 instructions behind a run-time CPU test, not
# compiler output: clearing the vector registers after secrets have passed
# through them.
GUARDED = {"vorlinde::runtime::scrub_stack()"}

EVEX_OPERAND = re.compile(r"%zmm\d+|%[xy]mm(?:1[6-9]|2\d|3[01])\b|%k[0-7]\b|\{1to\d+\}")
EVEX_MNEMONIC = re.compile(
    r"^(?:k[a-z]+[bwdq]?"  # opmask instructions
    r"|vpmadd52[lh]uq|vmovdq[au](?:8|16|32|64)|vpternlog[dq]|vperm[it]2[bwdq]|vpermt2p[sd]"
    r"|vpblendm[bwdq]|vblendmp[sd]|valign[dq]|vp(?:cmp|cmpu)[bwdq]|vpabsq|vpmullq"
    r"|v(?:extract|insert)[if](?:32x4|32x8|64x2|64x4)|vshuf[if](?:32x4|64x2)|vbroadcast[if](?:32x[248]|64x[24])"
    r"|vpmov(?:s|us)?(?:qd|qw|qb|dw|db|wb)|vpmov[bwdq]2m|vpmovm2[bwdq]|vpro[lr]v?[dq]|vpsra[v]?q"
    r"|vp(?:compress|expand)[bwdq]|vpconflict[dq]|vplzcnt[dq]|vpmultishiftqb|vpermb|vpermw"
    r"|vrcp14|vrsqrt14|vscalef|vgetexp|vgetmant|vrndscale|vfixupimm|vrange|vreduce|vfpclass|vdbpsadbw"
    r"|vcvt[a-z0-9]*u[dq]q|vcvtu[dq]q2p[sd])"
)
VEX_OPERAND = re.compile(r"%ymm\d+")
# Every VEX- or EVEX-encoded instruction has a v-prefixed mnemonic; verr and
# verw are the only legacy ones that do.
VEX_MNEMONIC = re.compile(r"^v(?!err\b|erw\b)[a-z0-9]+$")
FUNCTION = re.compile(r"^[0-9a-f]+ <(.*)>:$")
SHARED = "vorlinde::curve::backend::vector::"
ISA_OF_ARCHIVE = {"libifma.a": ALLOWED, "libifma_vpmullq.a": ALLOWED, "libavx2.a": ALLOWED_VEX[1]}


def own_name(function):
    """The qualified name of a demangled function, without its return type,
    template arguments, parameters or qualifiers."""
    name = function
    while True:
        shorter = re.sub(r"<[^<>]*>|\([^()]*\)", "", name)
        if shorter == name:
            break
        name = shorter
    tokens = [t for t in name.split() if t not in ("const", "volatile", "&", "&&")]
    return tokens[-1] if tokens else name


def leaks(path):
    """Maps each offending function to (what leaked, its first such instruction)."""
    out = subprocess.run(
        ["objdump", "-d", "-C", "--no-show-raw-insn", path], check=True, capture_output=True, text=True
    ).stdout
    found = {}
    function = None
    archive_isa = ISA_OF_ARCHIVE.get(path.rsplit("/", 1)[-1])
    for line in out.splitlines():
        m = FUNCTION.match(line)
        if m:
            function = m.group(1)
            if own_name(function).startswith(SHARED) and not any(a in function for a in ALLOWED_VEX):
                found.setdefault(function, ("shared vector function without an ISA type", "(any)"))
            if archive_isa and archive_isa not in function:
                found.setdefault(function, ("kernel archive function without its ISA's type", "(any)"))
            continue
        if function is None or function in GUARDED or "\t" not in line:
            continue
        insn = line.split("\t", 1)[1].strip()
        mnemonic = insn.split(" ", 1)[0]
        if ALLOWED not in function and (EVEX_MNEMONIC.match(mnemonic) or EVEX_OPERAND.search(insn)):
            found.setdefault(function, ("AVX-512 outside the IFMA kernels", insn))
        elif not any(a in function for a in ALLOWED_VEX) and (
            VEX_MNEMONIC.match(mnemonic) or VEX_OPERAND.search(insn)
        ):
            found.setdefault(function, ("AVX outside the IFMA and AVX2 kernels", insn))
    return found


def main(paths):
    if not paths:
        print(__doc__, file=sys.stderr)
        return 2
    failed = False
    for path in paths:
        for function, (what, insn) in sorted(leaks(path).items()):
            print(f"{path}: {function}: {what}: {insn}")
            failed = True
    if not failed:
        print(
            f"AVX-512 confined to {ALLOWED.rstrip(':')}, AVX to it and {ALLOWED_VEX[1].rstrip(':')} in: "
            f"{' '.join(paths)}"
        )
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
