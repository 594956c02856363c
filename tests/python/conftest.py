import platform

import pytest

import vorlinde

IS_PYPY = platform.python_implementation() == "PyPy"


def failure_class():
    """The module's failure class, which is not reachable as an attribute."""
    try:
        vorlinde.randomize(None)
    except BaseException as failure:  # noqa: B036 - the class derives from BaseException
        return type(failure)
    raise AssertionError("randomize(None) did not fail")


PanicException = failure_class()


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        "unsanitized: skipped in the sanitizer stages (measures memory or time, which a sanitizer distorts)",
    )


def downcast_message(sentence, obj):
    """The type-check failure text for `obj`, built from the host's own repr().

    Ill-formed UTF-8 from lone surrogates is replaced the standard way (what the
    host's own "replace" decoder does), independently of the module.
    """
    text = repr(obj).encode("utf-8", "surrogatepass").decode("utf-8", "replace")
    return f'{sentence}: PyDowncastError {{ from: {text}, to: "PyBytes" }}'


def panic_message(call):
    """Runs `call`, which must raise PanicException, and returns its message."""
    with pytest.raises(PanicException) as info:
        call()
    assert len(info.value.args) == 1
    assert str(info.value) == info.value.args[0]
    return info.value.args[0]
