#!/usr/bin/env python3
"""Checks that AVX-512 code stays inside the IFMA kernels.

Disassembles each given object, archive or executable (objdump -d, demangled)
and fails if a function outside namespace vorlinde::curve::backend::ifma uses
a zmm register, an opmask register, an EVEX-only register (xmm/ymm 16..31), an
embedded broadcast or an EVEX-only instruction. Such a function would be an
inline or template instance compiled with the AVX-512 flags that the linker
may pick for baseline code: it would crash on processors without AVX-512 and
under valgrind.

usage: check_isa_containment.py FILE...
"""

import re
import subprocess
import sys

ALLOWED = "vorlinde::curve::backend::ifma::"
# Hand-written AVX-512 instructions behind a run-time CPU test, not compiler
# output: clearing registers 16..31 after secrets have passed through them.
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
FUNCTION = re.compile(r"^[0-9a-f]+ <(.*)>:$")


def leaks(path):
    out = subprocess.run(
        ["objdump", "-d", "-C", "--no-show-raw-insn", path], check=True, capture_output=True, text=True
    ).stdout
    found = {}
    function = None
    for line in out.splitlines():
        m = FUNCTION.match(line)
        if m:
            function = m.group(1)
            continue
        if function is None or ALLOWED in function or function in GUARDED or "\t" not in line:
            continue
        insn = line.split("\t", 1)[1].strip()
        mnemonic = insn.split(" ", 1)[0]
        if EVEX_MNEMONIC.match(mnemonic) or EVEX_OPERAND.search(insn):
            found.setdefault(function, insn)
    return found


def main(paths):
    if not paths:
        print(__doc__, file=sys.stderr)
        return 2
    failed = False
    for path in paths:
        for function, insn in sorted(leaks(path).items()):
            print(f"{path}: {function}: AVX-512 outside the IFMA kernels: {insn}")
            failed = True
    if not failed:
        print(f"AVX-512 confined to {ALLOWED.rstrip(':')} in: {' '.join(paths)}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
