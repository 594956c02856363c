"""Tests of the report matcher, on excerpts of real memcheck and MSan reports."""

import subprocess
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).parent))
import match_reports as mr  # noqa: E402

SCRIPT = Path(__file__).parent / "match_reports.py"


@pytest.mark.parametrize(
    "name, parts",
    [
        # MSan prints return types of templates and full parameter lists.
        ("unsigned long vorlinde::curve::value_barrier<unsigned long>(unsigned long)",
         ["vorlinde", "curve", "value_barrier"]),
        ("vorlinde::curve::(anonymous namespace)::variable_base(vorlinde::curve::EdwardsPoint const&, "
         "vorlinde::curve::Scalar const&)", ["vorlinde", "curve", "variable_base"]),
        ("std::vector<bool, std::allocator<bool> >::push_back(bool const&)", ["std", "vector", "push_back"]),
        ("std::_Bit_reference::operator=(bool)", ["std", "_Bit_reference", "operator="]),
        ("vorlinde::runtime::(anonymous namespace)::Pool::Pool(unsigned long)::'lambda'()::operator()() const",
         ["vorlinde", "runtime", "Pool", "Pool", "'lambda'", "operator()"]),
        ("vorlinde::decrypt(A const&)::{lambda(unsigned long, unsigned long)#1}::operator()(unsigned long) const",
         ["vorlinde", "decrypt", "{lambda}", "operator()"]),
        # memcheck names inlined frames without their scope.
        ("protocol_run", ["protocol_run"]),
        ("thread<vorlinde::Pool::Pool(std::size_t)::<lambda()> >", ["thread"]),
    ],
)
def test_names_reduce_to_their_qualified_function(name, parts):
    assert mr.strip_name(name) == parts


def frames(*names):
    return [(mr.strip_name(n), n, "?") for n in names]


ZERO = [mr.strip_name("vorlinde::point_to_uniform_bytes"), mr.strip_name("vorlinde::Ciphertext::zero")]


@pytest.mark.parametrize(
    "stack, expected",
    [
        (frames("vorlinde::point_to_uniform_bytes(P const&, C)", "vorlinde::point_to_uniform_bytes(P const&)",
                "vorlinde::Ciphertext::zero(T const&)", "main"), True),
        # An inlined caller named without its class still matches.
        (frames("vorlinde::point_to_uniform_bytes(P const&, C)", "zero", "main"), True),
        # The first pattern names the reporting frame, not any frame.
        (frames("vorlinde::curve::FieldElement::to_bytes() const", "vorlinde::point_to_uniform_bytes(P const&)",
                "vorlinde::Ciphertext::zero(T const&)"), False),
        # A caller with the same last name in another scope is another function.
        (frames("vorlinde::point_to_uniform_bytes(P const&, C)", "other::Ciphertext::zero()"), False),
        (frames("vorlinde::point_to_uniform_bytes(P const&, C)", "main"), False),
        ([], False),
    ],
)
def test_entry_matching(stack, expected):
    assert mr.matches(stack, ZERO) is expected


EXPECTED = """
[zero-retry]
frames = vorlinde::point_to_uniform_bytes
         vorlinde::Ciphertext::zero
why = test

[row-result]
frames = std::_Bit_reference::operator=
         vorlinde::finish
runs = msan
why = test
"""

VALGRIND_XML = """<?xml version="1.0"?>
<valgrindoutput>
<error><kind>UninitCondition</kind><what>Conditional jump or move depends on uninitialised value(s)</what>
<stack>
<frame><fn>vorlinde::point_to_uniform_bytes(vorlinde::curve::EdwardsPoint const&amp;, vorlinde::curve::Choice)</fn>
<file>point_conversion.cpp</file><line>89</line></frame>
<frame><fn>vorlinde::Ciphertext::zero(vorlinde::curve::EdwardsBasepointTable const&amp;)</fn></frame>
<frame><fn>main</fn></frame>
</stack></error>
{extra}
<error><kind>Leak_PossiblyLost</kind><what>ignored</what><stack><frame><fn>calloc</fn></frame></stack></error>
</valgrindoutput>
"""

VALGRIND_BRANCH = """<error><kind>UninitCondition</kind><what>Conditional jump</what><stack>
<frame><fn>vorlinde::curve::(anonymous namespace)::variable_base(E const&amp;, S const&amp;)</fn>
<file>scalar_mul_serial.cpp</file><line>23</line></frame></stack></error>"""

MSAN_TEXT = """ct_check: backend serial-u64: all paths ran
==1==WARNING: MemorySanitizer: use-of-uninitialized-value
    #0 0x55af in vorlinde::point_to_uniform_bytes(vorlinde::curve::EdwardsPoint const&, vorlinde::curve::Choice) /w/src/point_conversion.cpp:89:7
    #1 0x55af in vorlinde::point_to_uniform_bytes(vorlinde::curve::EdwardsPoint const&) /w/src/point_conversion.cpp:103:10
    #2 0x55b0 in vorlinde::Ciphertext::zero(vorlinde::curve::EdwardsBasepointTable const&) /w/src/ciphertexts.cpp:28:5
    #3 0x7f50 in _start (/w/ct_check+0x23550) (BuildId: 2ab9)

SUMMARY: MemorySanitizer: use-of-uninitialized-value /w/src/point_conversion.cpp:89:7 in vorlinde::point_to_uniform_bytes
==1==WARNING: MemorySanitizer: use-of-uninitialized-value
    #0 0x55af in std::_Bit_reference::operator=(bool) /usr/include/c++/12/bits/stl_bvector.h:102:11
    #1 0x55af in std::vector<bool, std::allocator<bool> >::push_back(bool) /usr/include/c++/12/bits/stl_bvector.h:1080:4
    #2 0x55af in vorlinde::finish(A const&, A const&, A const&, A const&, A const&) /w/src/operations.cpp:76:13

SUMMARY: MemorySanitizer: use-of-uninitialized-value
"""


def run(tmp_path, tool, reports):
    (tmp_path / "expected.ini").write_text(EXPECTED)
    (tmp_path / "reports").write_text(reports)
    result = subprocess.run(
        [sys.executable, SCRIPT, tool, tmp_path / "reports", tmp_path / "expected.ini", "t"],
        capture_output=True, text=True)
    return result.returncode, result.stdout


def test_valgrind_run_with_only_listed_reports_passes(tmp_path):
    # row-result applies to msan runs only, so its absence here is not stale.
    code, out = run(tmp_path, "valgrind", VALGRIND_XML.format(extra=""))
    assert code == 0, out
    assert "[zero-retry] x1" in out


def test_unlisted_report_fails_and_names_its_place(tmp_path):
    code, out = run(tmp_path, "valgrind", VALGRIND_XML.format(extra=VALGRIND_BRANCH))
    assert code == 1
    assert "UNEXPECTED" in out and "scalar_mul_serial.cpp:23" in out


def test_msan_text_is_parsed_and_both_entries_match(tmp_path):
    code, out = run(tmp_path, "msan", MSAN_TEXT)
    assert code == 0, out
    assert "[zero-retry] x1" in out and "[row-result] x1" in out


def test_entry_that_no_longer_occurs_is_stale(tmp_path):
    only_zero = MSAN_TEXT.split("SUMMARY")[0]
    code, out = run(tmp_path, "msan", only_zero)
    assert code == 1
    assert "STALE expected entry [row-result]" in out
