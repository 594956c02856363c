"""`run` gives memory back between its steps: what a step freed is collected
and, on CPython over glibc, returned to the system, and where that cannot be
done nothing fails."""

import ctypes
import os
import platform
import subprocess
import sys
import textwrap

import pytest

from vorlinde_match import whole_run

GLIBC = sys.platform.startswith("linux") and platform.libc_ver()[0] == "glibc"


@pytest.fixture(autouse=True)
def _fresh_lookup():
    whole_run._malloc_trim.cache_clear()
    yield
    whole_run._malloc_trim.cache_clear()


def _no_cdll(*_):
    raise OSError("no C library here")


class _NoTrim:
    """A C library without malloc_trim (musl, macOS)."""

    def __init__(self, *_):
        pass

    def __getattr__(self, name):
        raise AttributeError(name)


@pytest.mark.parametrize("implementation, cdll", [("PyPy", None), ("CPython", _no_cdll), ("CPython", _NoTrim)],
                         ids=["PyPy", "no C library", "no malloc_trim"])
def test_where_memory_cannot_be_returned_only_garbage_is_collected(monkeypatch, implementation, cdll):
    monkeypatch.setattr(platform, "python_implementation", lambda: implementation)
    if cdll is None:
        def cdll(*_):
            raise AssertionError("looked for malloc_trim on PyPy")
    monkeypatch.setattr(ctypes, "CDLL", cdll)

    class Cycle:
        pass

    cycle = Cycle()
    cycle.me = cycle
    collected = []
    import weakref
    weakref.finalize(cycle, collected.append, True)
    del cycle
    whole_run.release_memory()
    assert collected == [True]
    assert whole_run._malloc_trim() is None


# The resident memory as the kernel counts it, for the scripts below.
_RESIDENT = textwrap.dedent(
    """
    def resident():
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) * 1024
    """
)


def _run(script):
    """The output of `script` run by a fresh interpreter, with resident()."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run([sys.executable, "-c", _RESIDENT + script], capture_output=True, text=True, env=env,
                          timeout=120, check=True).stdout


# Heap pages that free() keeps: 256 MB in 64 KiB blocks (below glibc's mmap
# threshold, so they come from the heap), all freed but the last, which keeps
# them from the top of the heap, where free() itself would give them back.
_HELD_AFTER_FREE = textwrap.dedent(
    """
    import ctypes, sys
    from vorlinde_match.whole_run import release_memory

    libc = ctypes.CDLL(None)
    libc.malloc.restype, libc.malloc.argtypes = ctypes.c_void_p, [ctypes.c_size_t]
    libc.free.argtypes = [ctypes.c_void_p]
    blocks = [libc.malloc(1 << 16) for _ in range(4096)]
    for block in blocks:
        ctypes.memset(block, 1, 1 << 16)
    for block in blocks[:-1]:
        libc.free(block)
    before = resident()
    release_memory()
    print(before - resident())
    """
)


@pytest.mark.unsanitized  # a sanitizer's allocator keeps freed memory in quarantine
@pytest.mark.skipif(platform.python_implementation() != "CPython" or not GLIBC, reason="needs CPython on glibc")
def test_on_glibc_the_pages_free_keeps_go_back_to_the_system():
    out = _run(_HELD_AFTER_FREE)
    # Resident memory measured by the kernel (/proc), not by the allocator:
    # at least 200 of the 256 MB freed leave the process.
    assert int(out) > 200 << 20


# A step that makes many small objects while its memory curve is sampled,
# then frees them: what the curve keeps must not keep that memory resident.
# CPython's small-object allocator returns an arena (1 MiB) only when all of
# it is free, so one object per sample, made among the step's, would keep up
# to one arena per sample.
_CURVE_AFTER_FREE = textwrap.dedent(
    """
    import time
    from vorlinde_match.records import MemorySampler
    from vorlinde_match.whole_run import release_memory

    release_memory()
    before = resident()
    sampler = MemorySampler(every=0.001, most=200).start()
    rows = []
    for block in range(300):
        rows.append([(str(i) * 3, str(i)) for i in range(block * 5000, (block + 1) * 5000)])
        time.sleep(0.002)
    sampler.stop()
    made = resident() - before
    del rows
    release_memory()
    print(made, resident() - before, len(sampler.samples))
    """
)


@pytest.mark.unsanitized
@pytest.mark.skipif(platform.python_implementation() != "CPython" or not GLIBC, reason="needs CPython on glibc")
def test_a_memory_curve_keeps_none_of_what_its_step_freed_resident():
    made, kept, samples = map(int, _run(_CURVE_AFTER_FREE).split())
    # The objects took hundreds of MB, spread over the curve's samples.
    assert made > 200 << 20 and samples > 100
    assert kept < 30 << 20, f"{kept / 1e6:.0f} MB of {made / 1e6:.0f} MB kept resident"
