"""Argument binding, row-data conversion and byte-string checks.

Expected messages are the host interpreter's own wording for these errors
(TypeError of a Python function with the same parameters) and the documented
conversion messages; byte-string failures are built from the host's repr().
"""

import pytest

import vorlinde
from conftest import PanicException, downcast_message, panic_message

KEY = bytes(32)


# ---------------------------------------------------------------------------
# Binding


@pytest.mark.parametrize(
    "name, args, kwargs, message",
    [
        ("key_gen", (1,), {}, "key_gen() takes 0 positional arguments but 1 was given"),
        ("key_gen", (1, 2), {}, "key_gen() takes 0 positional arguments but 2 were given"),
        ("key_gen", (), {"x": 1}, "key_gen() got an unexpected keyword argument 'x'"),
        ("randomize", (1, 2), {}, "randomize() takes 1 positional arguments but 2 were given"),
        # Too many positionals is decided before any keyword is looked at.
        ("randomize", (1, 2), {"bogus": 3}, "randomize() takes 1 positional arguments but 2 were given"),
        ("build_okvs", (b"",), {}, "build_okvs() missing 1 required positional argument: 'strings_in_each_row'"),
        (
            "initiate_queries",
            (),
            {},
            "initiate_queries() missing 5 required positional arguments: 'sender_data', 'receiver_data', "
            "'sender_okvs', 'receiver_okvs', and 'swift_pk'",
        ),
        ("decrypt", (), {}, "decrypt() missing 2 required positional arguments: 'points' and 'bank_secret_key'"),
        (
            "finish",
            (),
            {"receiver_points": b""},
            "finish() missing 4 required positional arguments: 'sender_points', 'gamma_points', "
            "'delta_points', and 'swift_secret_key'",
        ),
        (
            "finish",
            (b"", b"", b""),
            {},
            "finish() missing 2 required positional arguments: 'delta_points' and 'swift_secret_key'",
        ),
        (
            "combine",
            (),
            {"receiver_ciphertexts": b""},
            "combine() missing 1 required positional argument: 'sender_ciphertexts'",
        ),
        (
            "build_okvs",
            (b"", []),
            {"public_key": b""},
            "build_okvs() got multiple values for argument 'public_key'",
        ),
        # Keywords are taken in the order passed; the first bad one decides.
        ("build_okvs", (b"",), {"bogus": 1, "public_key": 2},
         "build_okvs() got an unexpected keyword argument 'bogus'"),
        ("build_okvs", (b"",), {"public_key": 2, "bogus": 1},
         "build_okvs() got multiple values for argument 'public_key'"),
        # Unknown keywords beat missing parameters.
        ("decrypt", (), {"point": b""}, "decrypt() got an unexpected keyword argument 'point'"),
        ("randomize", (), {"ciphertextś": 1}, "randomize() got an unexpected keyword argument 'ciphertextś'"),
        # Names match exactly, not by case or prefix.
        ("randomize", (), {"Ciphertexts": 1}, "randomize() got an unexpected keyword argument 'Ciphertexts'"),
    ],
)
def test_binding_errors(name, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(vorlinde, name)(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message


@pytest.mark.parametrize(
    "call",
    [
        lambda: vorlinde.decrypt(bytearray(), KEY),
        lambda: vorlinde.decrypt(points=bytearray(), bank_secret_key=KEY),
        lambda: vorlinde.decrypt(bank_secret_key=KEY, points=bytearray()),
        lambda: vorlinde.decrypt(bytearray(), bank_secret_key=KEY),
    ],
)
def test_keywords_bind_like_positionals(call):
    message = panic_message(call)
    assert message == downcast_message("The points object should be of type `bytes`.", bytearray())


# ---------------------------------------------------------------------------
# Row data


class Holder:
    class Item:
        pass


class BrokenNameMeta(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise RuntimeError("no name")
        return super().__getattribute__(name)


class Nameless(metaclass=BrokenNameMeta):
    pass


class Text(str):
    pass


class UnsizedRows:
    """A sequence whose length cannot be asked for; iteration still works."""

    def __getitem__(self, index):
        if index < 2:
            return ["a", "b"]
        raise IndexError(index)

    def __len__(self):
        raise RuntimeError("no length")


class FailingRows(list):
    """Yields one row, then raises the given error."""

    def __init__(self, error):
        super().__init__()
        self.error = error

    def __iter__(self):
        yield ["a"]
        raise self.error


class TypeErrorSubclass(TypeError):
    pass


def generator_rows():
    yield ["a"]


ROWS_PREFIX = "argument 'strings_in_each_row': "


@pytest.mark.parametrize(
    "rows, error, message",
    [
        ("abc", ValueError, "Can't extract `str` to `Vec`"),
        (Text("abc"), ValueError, "Can't extract `str` to `Vec`"),
        (["abc"], ValueError, "Can't extract `str` to `Vec`"),
        ([("a",), "bc"], ValueError, "Can't extract `str` to `Vec`"),
        (5, TypeError, ROWS_PREFIX + "'int' object cannot be converted to 'Sequence'"),
        (None, TypeError, ROWS_PREFIX + "'NoneType' object cannot be converted to 'Sequence'"),
        ({"a": ["b"]}, TypeError, ROWS_PREFIX + "'dict' object cannot be converted to 'Sequence'"),
        ({("a",)}, TypeError, ROWS_PREFIX + "'set' object cannot be converted to 'Sequence'"),
        (generator_rows(), TypeError, ROWS_PREFIX + "'generator' object cannot be converted to 'Sequence'"),
        ([(c for c in "ab")], TypeError, ROWS_PREFIX + "'generator' object cannot be converted to 'Sequence'"),
        ([["a"], 7], TypeError, ROWS_PREFIX + "'int' object cannot be converted to 'Sequence'"),
        ([[1]], TypeError, ROWS_PREFIX + "'int' object cannot be converted to 'PyString'"),
        ([["a", b"b"]], TypeError, ROWS_PREFIX + "'bytes' object cannot be converted to 'PyString'"),
        ([[Holder.Item()]], TypeError, ROWS_PREFIX + "'Holder.Item' object cannot be converted to 'PyString'"),
        ([Nameless()], TypeError,
         ROWS_PREFIX + "'<failed to extract type name>' object cannot be converted to 'Sequence'"),
        (FailingRows(TypeError("boom")), TypeError, ROWS_PREFIX + "boom"),
        (FailingRows(KeyError("boom")), KeyError, "'boom'"),
        (FailingRows(TypeErrorSubclass("boom")), TypeErrorSubclass, "boom"),
    ],
)
def test_row_data_errors(rows, error, message):
    # The public key is wrong too; conversion comes first, so it is never looked at.
    with pytest.raises(BaseException) as info:
        vorlinde.build_okvs(None, rows)
    assert type(info.value) is error
    assert str(info.value) == message


def test_prefixed_type_error_keeps_the_cause():
    root = ValueError("root")
    error = TypeError("boom")
    error.__cause__ = root
    with pytest.raises(TypeError) as info:
        vorlinde.build_okvs(None, FailingRows(error))
    assert info.value is not error
    assert info.value.__cause__ is root


@pytest.mark.parametrize("text", ["\ud800", "a\udfffb", "é\ud800"])
def test_lone_surrogate_raises_the_encoding_error(text):
    # The message is the host codec's own, as str.encode gives it.
    with pytest.raises(UnicodeEncodeError) as expected:
        text.encode("utf-8")
    for call in (
        lambda: vorlinde.build_okvs(None, [["ok", text]]),
        lambda: vorlinde.initiate_queries([["ok", text]], [], b"", b"", b""),
    ):
        with pytest.raises(UnicodeEncodeError) as info:
            call()
        assert str(info.value) == str(expected.value)


def test_second_row_parameter_is_named_in_its_errors():
    with pytest.raises(TypeError) as info:
        vorlinde.initiate_queries([["a"]], [[1]], b"", b"", b"")
    assert str(info.value) == "argument 'receiver_data': 'int' object cannot be converted to 'PyString'"
    # The first row parameter is converted completely before the second.
    with pytest.raises(TypeError) as info:
        vorlinde.initiate_queries([[1]], "abc", b"", b"", b"")
    assert str(info.value) == "argument 'sender_data': 'int' object cannot be converted to 'PyString'"


PUBLIC_KEY_NONE = downcast_message("The public key object should be of type `bytes`.", None)


@pytest.mark.parametrize(
    "rows",
    [
        [],
        (),
        [[]],
        [("a", "b"), ("c",)],
        (["a", Text("b")],),
        UnsizedRows(),
        [["é", "日本", "\U0001f600", ""]],
        [["x" * 16] * 8] * 50_000,
        [["y" * 5_000_000]],
    ],
    ids=["empty", "empty-tuple", "empty-row", "tuples", "str-subclass", "len-raises", "non-ascii", "many", "long"],
)
def test_row_data_accepted(rows):
    # Reaching the public key check shows the rows were converted in full.
    assert panic_message(lambda: vorlinde.build_okvs(None, rows)) == PUBLIC_KEY_NONE


# ---------------------------------------------------------------------------
# Byte-string checks


class Blob(bytes):
    pass


class ReprRaises:
    def __repr__(self):
        raise LookupError("no repr")


class SurrogateRepr:
    def __repr__(self):
        return "odd\udc80repr"


REFUSED = [None, bytearray(b"ab"), memoryview(b"ab"), "ab", 5, SurrogateRepr()]

SENTENCE = {
    "public_key": "The public key object should be of type `bytes`.",
    "ciphertexts": "The ciphertexts object should be of type `bytes`.",
    "sender_ciphertexts": "The sender_ciphertexts object should be of type `bytes`.",
    "receiver_ciphertexts": "The receiver_ciphertexts object should be of type `bytes`.",
    "sender_okvs": "The sender_okvs object should be of type `bytes`.",
    "bank_secret_key": "The bank_secret_key object should be of type `bytes`.",
    "points": "The points object should be of type `bytes`.",
    "swift_secret_key": "The swift_secret_key object should be of type `bytes`.",
}

# Each call puts `bad` at one byte-string parameter, with every argument checked
# before it valid, so that its own check is the first to fail.
CHECKS = [
    ("public_key", lambda bad: vorlinde.build_okvs(bad, [["a"]])),
    ("sender_okvs", lambda bad: vorlinde.initiate_queries([], [], bad, None, None)),
    ("ciphertexts", lambda bad: vorlinde.randomize(bad)),
    ("sender_ciphertexts", lambda bad: vorlinde.combine(bad, None)),
    ("receiver_ciphertexts", lambda bad: vorlinde.combine(b"", bad)),
    ("receiver_ciphertexts", lambda bad: vorlinde.combine(Blob(b""), bad)),
    ("bank_secret_key", lambda bad: vorlinde.decrypt(None, bad)),
    ("points", lambda bad: vorlinde.decrypt(bad, KEY)),
    ("points", lambda bad: vorlinde.decrypt(bad, Blob(KEY))),
    ("swift_secret_key", lambda bad: vorlinde.finish(None, None, None, None, bad)),
    ("points", lambda bad: vorlinde.finish(bad, None, None, None, KEY)),
    ("points", lambda bad: vorlinde.finish(b"", bad, None, None, KEY)),
    ("points", lambda bad: vorlinde.finish(b"", Blob(b""), bad, None, KEY)),
    ("points", lambda bad: vorlinde.finish(b"", b"", b"", bad, Blob(KEY))),
]


@pytest.mark.parametrize("parameter, call", CHECKS)
@pytest.mark.parametrize("bad", REFUSED, ids=lambda obj: type(obj).__name__)
def test_byte_string_refused(parameter, call, bad):
    assert panic_message(lambda: call(bad)) == downcast_message(SENTENCE[parameter], bad)


def test_surrogate_in_repr_becomes_replacement_character():
    message = panic_message(lambda: vorlinde.randomize(SurrogateRepr()))
    assert "from: odd\ufffd" in message and "\udc80" not in message


@pytest.mark.parametrize("parameter, call", CHECKS)
def test_failing_repr_propagates(parameter, call):
    with pytest.raises(LookupError, match="no repr"):
        call(ReprRaises())
    # And the module is fine afterwards.
    assert panic_message(lambda: call(None)) == downcast_message(SENTENCE[parameter], None)


# ---------------------------------------------------------------------------
# The module is unharmed by whatever a call was given


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda: vorlinde.build_okvs(b"", UnsizedRows(), public_key=b""), TypeError),
        (lambda: vorlinde.build_okvs(None, FailingRows(KeyError("halfway"))), KeyError),
        (lambda: vorlinde.build_okvs(None, generator_rows()), TypeError),
        (lambda: vorlinde.build_okvs(None, [["\udcff"]]), UnicodeEncodeError),
        (lambda: vorlinde.initiate_queries([["a"]], Text("rows"), b"", b"", b""), ValueError),
        (lambda: vorlinde.randomize(ReprRaises()), LookupError),
        (lambda: vorlinde.decrypt(Blob(b"\x02" + bytes(31)), Blob(KEY)), PanicException),
        (lambda: vorlinde.decrypt(bytes(32 * 500 + 3), KEY), PanicException),
    ],
)
def test_next_call_works_after_a_failure(call, error):
    with pytest.raises(error):
        call()
    assert vorlinde.decrypt(bytes([1]) + bytes(31), KEY) == bytes([1]) + bytes(31)
