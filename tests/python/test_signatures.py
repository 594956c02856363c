"""Text signatures: inspect.signature and help() show each function's
parameters, while __doc__ stays the documentation text alone."""

import inspect
import pydoc

import pytest

import vorlinde
from conftest import PanicException

ROW_PARAMETERS = {"strings_in_each_row", "sender_data", "receiver_data"}

BUILD_OKVS_DOC = (
    "Builds an OKVS for one party. Takes the public key of this party and the data from the database, "
    "which is a list of rows. Each row is a list of the relevant columns as a String."
)
KEY_GEN_DOC = (
    "Generates a key pair for this party, returning a tuple with (public_key: bytes, secret_key: bytes)."
)

# Parameters: the keyword names the binding errors of test_binding.py spell out.
# Docstrings: recorded with print(repr(f.__doc__)) from the module as built on
# CPython 3.11 and PyPy 7.3.11 just before the functions had text signatures
# (the five empty ones read back as None on both); they must not change.
FUNCTIONS = [
    ("key_gen", [], KEY_GEN_DOC),
    ("build_okvs", ["public_key", "strings_in_each_row"], BUILD_OKVS_DOC),
    ("initiate_queries", ["sender_data", "receiver_data", "sender_okvs", "receiver_okvs", "swift_pk"], None),
    ("randomize", ["ciphertexts"], None),
    ("combine", ["sender_ciphertexts", "receiver_ciphertexts"], None),
    ("decrypt", ["points", "bank_secret_key"], None),
    ("finish", ["sender_points", "receiver_points", "gamma_points", "delta_points", "swift_secret_key"], None),
]
IDS = [name for name, _, _ in FUNCTIONS]


def test_table_covers_the_module():
    assert IDS == vorlinde.__all__


@pytest.mark.parametrize("name, params, doc", FUNCTIONS, ids=IDS)
def test_doc_is_unchanged(name, params, doc):
    assert getattr(vorlinde, name).__doc__ == doc


@pytest.mark.parametrize("name, params, doc", FUNCTIONS, ids=IDS)
def test_signature_lists_the_parameters(name, params, doc):
    signature = inspect.signature(getattr(vorlinde, name))
    assert list(signature.parameters) == params
    for parameter in signature.parameters.values():
        assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert parameter.default is inspect.Parameter.empty
        assert parameter.annotation is inspect.Parameter.empty
    # Every parameter is required and can be given by position or by keyword.
    values = [object()] * len(params)
    signature.bind(*values)
    signature.bind(**dict(zip(params, values)))
    with pytest.raises(TypeError):
        signature.bind(*values, object())


@pytest.mark.parametrize("name, params, doc", FUNCTIONS[1:], ids=IDS[1:])
def test_signature_names_are_the_bound_keywords(name, params, doc):
    # Empty row data converts; None for a byte string then fails inside the
    # operation, so reaching PanicException means binding took every keyword.
    arguments = {p: [] if p in ROW_PARAMETERS else None for p in params}
    with pytest.raises(PanicException):
        getattr(vorlinde, name)(**arguments)


@pytest.mark.parametrize("name, params, doc", FUNCTIONS, ids=IDS)
def test_help_shows_parameters_and_doc(name, params, doc):
    text = pydoc.render_doc(getattr(vorlinde, name), renderer=pydoc.plaintext)
    lines = text.splitlines()
    heading = f"{name}({', '.join(params)})"
    assert heading in lines
    after = lines[lines.index(heading) + 1 :]
    if doc is None:
        assert all(not line.strip() for line in after)
    else:
        assert after[0].strip() == doc
    assert "--" not in text and "..." not in text
