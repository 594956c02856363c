import subprocess
import sys
import textwrap

import pytest

import vorlinde
from conftest import IS_PYPY, PanicException, panic_message

FUNCTIONS = ["key_gen", "build_okvs", "initiate_queries", "randomize", "combine", "decrypt", "finish"]


def test_module_name_and_docstring():
    assert vorlinde.__name__ == "vorlinde"
    assert vorlinde.__doc__ == (
        "A Python module for the cryptographic operations necessary to do feature "
        "extraction (element matching in two datasets)."
    )


def test_all_lists_the_functions_in_registration_order():
    assert vorlinde.__all__ == FUNCTIONS


@pytest.mark.parametrize(
    "name, doc",
    [
        ("key_gen",
         "Generates a key pair for this party, returning a tuple with (public_key: bytes, secret_key: bytes)."),
        (
            "build_okvs",
            "Builds an OKVS for one party. Takes the public key of this party and the data from the database, "
            "which is a list of rows. Each row is a list of the relevant columns as a String.",
        ),
        # An empty docstring in a method definition reads back as None on both hosts.
        ("initiate_queries", None),
        ("randomize", None),
        ("combine", None),
        ("decrypt", None),
        ("finish", None),
    ],
)
def test_function_attributes(name, doc):
    function = getattr(vorlinde, name)
    assert function.__name__ == name
    assert function.__doc__ == doc
    assert function.__module__ == "vorlinde"


@pytest.mark.skipif(IS_PYPY, reason="built-in functions have no __self__ on PyPy")
def test_functions_are_bound_to_the_module():
    for name in FUNCTIONS:
        assert getattr(vorlinde, name).__self__ is vorlinde


def test_panic_exception_class():
    assert PanicException.__qualname__ == "PanicException"
    assert PanicException.__name__ == "PanicException"
    assert PanicException.__module__ == "pyo3_runtime"
    assert PanicException.__bases__ == (BaseException,)
    assert not issubclass(PanicException, Exception)
    assert len(PanicException.__doc__) == 235
    assert "BaseException" in PanicException.__doc__ and "SystemExit" in PanicException.__doc__
    assert not hasattr(vorlinde, "PanicException")
    # One class for the whole process, whichever call failed.
    with pytest.raises(BaseException) as info:
        vorlinde.decrypt(b"", None)
    assert type(info.value) is PanicException


def test_panic_exception_escapes_except_exception_and_module_recovers():
    caught_by_exception = False
    with pytest.raises(PanicException):
        try:
            vorlinde.randomize(bytearray())
        except Exception:
            caught_by_exception = True
    assert not caught_by_exception

    try:
        vorlinde.randomize(bytearray())
    except BaseException as failure:
        assert isinstance(failure, PanicException)
    else:
        raise AssertionError("no failure")

    # The next call runs normally and reaches the same check again.
    message = panic_message(lambda: vorlinde.randomize(memoryview(b"")))
    assert message.startswith("The ciphertexts object should be of type `bytes`.")


def run_python(code):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60
    )


def test_second_initialisation_in_one_process_fails():
    result = run_python(
        """
        import sys, importlib
        import vorlinde
        del sys.modules["vorlinde"]
        try:
            importlib.import_module("vorlinde")
        except ImportError as error:
            print("ImportError:", error)
        else:
            print("imported again")
        """
    )
    assert result.returncode == 0, result.stderr
    if IS_PYPY and result.stdout.strip() == "imported again":
        pytest.skip("PyPy reuses the module without running its initialisation again")
    assert result.stdout.strip() == (
        "ImportError: PyO3 modules may only be initialized once per interpreter process"
    )


def test_import_is_silent_on_a_current_host():
    result = run_python("import warnings; warnings.simplefilter('error'); import vorlinde")
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""


OLD_PYPY_WARNING = (
    "PyPy 3.7 versions older than 7.3.8 are known to have binary compatibility issues which may cause "
    "segfaults. Please upgrade."
)


@pytest.mark.skipif(not IS_PYPY, reason="the host version check exists only in the PyPy build")
@pytest.mark.parametrize("version, warned", [((7, 3, 7), True), ((7, 3, 8), False), ((7, 4, 0), False)])
def test_old_pypy_is_warned_about(version, warned):
    result = run_python(
        f"""
        import sys, warnings
        sys.implementation.version = {version!r}
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import vorlinde
        print(repr([str(w.message) for w in caught]))
        print(vorlinde.__all__[0])
        """
    )
    assert result.returncode == 0, result.stderr
    caught, first = result.stdout.splitlines()
    assert eval(caught) == ([OLD_PYPY_WARNING] if warned else [])
    assert first == "key_gen"


@pytest.mark.skipif(not IS_PYPY, reason="the host version check exists only in the PyPy build")
def test_old_pypy_warning_turned_into_error_fails_the_import():
    result = run_python(
        """
        import sys, warnings
        sys.implementation.version = (7, 3, 0)
        warnings.simplefilter("error")
        try:
            import vorlinde
        except UserWarning as error:
            print("refused:", error)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "refused: " + OLD_PYPY_WARNING
