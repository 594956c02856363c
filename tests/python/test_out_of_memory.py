"""Memory exhaustion is a MemoryError that says what could not be allocated.

Each case runs in a child interpreter whose address space is capped, with
RLIMIT_AS, a little above what it uses just before the call: the cap decides
whether the native result buffer or the Python result object is the
allocation that fails."""

import os
import subprocess
import sys
import textwrap

import pytest

from conftest import IS_PYPY

pytestmark = [
    pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs RLIMIT_AS and /proc/self/status"),
    # A sanitizer's allocator ends the process on a failed `new` rather than
    # throwing, and its shadow memory does not fit under the cap anyway.
    pytest.mark.unsanitized,
]

# Imports and the process's address space, for every capped child.
_PROLOGUE = textwrap.dedent(
    """
    import resource, sys
    import vorlinde

    def address_space():
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024

    def capped(slack, call):
        # call() with the address space capped slack bytes above its size
        # now; writes the MemoryError it raised, if any.
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (address_space() + slack, hard))
        try:
            call()
        except MemoryError as exhausted:
            sys.stdout.write("MemoryError: " + str(exhausted))
        else:
            sys.stdout.write("no failure")
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    """
)

_SCRIPT = _PROLOGUE + textwrap.dedent(
    """
    size, slack = int(sys.argv[1]), int(sys.argv[2])
    # The base point's encoding (RFC 8032, section 5.1), a valid point.
    G = bytes.fromhex("58" + "66" * 31)
    points = G * (size // 32)
    key = vorlinde.key_gen()[1]
    vorlinde.decrypt(G * 4, key)  # the worker pool is made before the cap
    try:
        # PyPy copies a bytes object for native code when first passed; that
        # copy too is made before the cap (the short key fails the call).
        vorlinde.decrypt(points, b"")
    except BaseException:
        pass

    capped(slack, lambda: vorlinde.decrypt(points, key))
    """
)


def _decrypt_capped(size, slack):
    # One malloc arena: threads making their own would reserve address space
    # of their own under the cap.
    env = dict(os.environ, MALLOC_ARENA_MAX="1")
    out = subprocess.run(
        [sys.executable, "-c", _SCRIPT, str(size), str(slack)],
        capture_output=True, text=True, env=env, timeout=300,
    )
    assert out.returncode == 0, out.stderr
    return out.stdout


def test_the_result_buffer_names_its_size():
    # 64 MiB asked with 8 MiB to spare: the operation's own buffer fails, before
    # any work, whatever the host allocates around the call.
    size = 64 << 20
    assert _decrypt_capped(size, 8 << 20) == f"MemoryError: could not allocate {size} bytes for the result"


@pytest.mark.skipif(IS_PYPY, reason="PyPy's collector aborts the process when the cap is reached inside it")
def test_the_result_object_names_its_size():
    # Room for the native result (computed in full) but not for a second copy
    # of it as a bytes object.
    size = 512 << 10
    assert (
        _decrypt_capped(size, size + size // 2)
        == f"MemoryError: could not allocate a bytes object of {size} bytes for the result"
    )


_BUILD_SCRIPT = _PROLOGUE + textwrap.dedent(
    """
    n, slack = int(sys.argv[1]), int(sys.argv[2])
    pk = vorlinde.key_gen()[0]
    vorlinde.build_okvs(pk, [["a"]])  # the worker pool is made before the cap
    rows = [(f"row {i}", "x") for i in range(n)]

    capped(slack, lambda: vorlinde.build_okvs(pk, rows))
    sys.stdout.write(" | then %d bytes" % len(vorlinde.build_okvs(pk, rows)))
    """
)


@pytest.mark.skipif(
    IS_PYPY,
    reason="PyPy makes native copies of the row objects during the call: under a cap they fail first, "
    "or its collector aborts the process",
)
def test_a_store_too_large_for_memory_names_its_size():
    # The store is written straight into the bytes object returned, so that
    # object is the allocation that fails, with the size of the whole store;
    # the encoder's tables (about a third of it) fit under the cap. Nothing is
    # left behind: the same call succeeds once the cap is lifted.
    n = 200_000
    size = 24 + 64 * (-(-12 * n // 5) + 32)
    env = dict(os.environ, MALLOC_ARENA_MAX="1")
    out = subprocess.run(
        [sys.executable, "-c", _BUILD_SCRIPT, str(n), str(size * 2 // 3)],
        capture_output=True, text=True, env=env, timeout=300,
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout == f"MemoryError: could not allocate {size} bytes for the result | then {size} bytes"
