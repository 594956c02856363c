"""The worker pool seen from Python: pool size and fork() change no result."""

import os
import select
import signal
import subprocess
import sys
import textwrap

import pytest

import vorlinde

from edwards25519 import G, compress, mul, secret_scalar

pytestmark = pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork()")

_DECRYPT_SCRIPT = textwrap.dedent(
    """
    import sys, vorlinde
    points, key = bytes.fromhex(sys.argv[1]), bytes.fromhex(sys.argv[2])
    sys.stdout.write(vorlinde.decrypt(points, key).hex())
    """
)


def _points_and_key(count=300):
    pool = [vorlinde.key_gen()[0] for _ in range(17)]
    points = b"".join(pool[i % len(pool)] for i in range(count))
    return points, vorlinde.key_gen()[1]


def _decrypt_in_subprocess(points, key, threads):
    env = dict(os.environ)
    env.pop("RAYON_RS_NUM_CPUS", None)
    if threads is None:
        env.pop("RAYON_NUM_THREADS", None)
    else:
        env["RAYON_NUM_THREADS"] = threads
    out = subprocess.run(
        [sys.executable, "-c", _DECRYPT_SCRIPT, points.hex(), key.hex()],
        capture_output=True, text=True, env=env, timeout=120, check=True,
    )
    return bytes.fromhex(out.stdout)


def test_decrypt_does_not_depend_on_the_pool_size():
    points, key = _points_and_key()
    expected = vorlinde.decrypt(points, key)
    for threads in ("1", "3", "0", None):
        assert _decrypt_in_subprocess(points, key, threads) == expected, threads


def _run_in_child(work, timeout=60):
    """Runs work() in a fork()ed child and returns what it wrote, or fails if
    the child hangs, dies or raises."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:  # child
        status = 0
        try:
            os.close(read_end)
            os.write(write_end, work())
        except BaseException:  # noqa: B036 - report any failure through the exit status
            status = 1
        finally:
            os._exit(status)
    os.close(write_end)
    chunks = []
    try:
        while True:
            ready, _, _ = select.select([read_end], [], [], timeout)
            if not ready:
                os.kill(pid, signal.SIGKILL)
                pytest.fail("the forked child hung")
            chunk = os.read(read_end, 1 << 16)
            if not chunk:
                break
            chunks.append(chunk)
    finally:
        os.close(read_end)
        _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    return b"".join(chunks)


def test_forked_child_gets_a_working_pool():
    points, key = _points_and_key()
    # The parent's pool exists (and its threads are running) before the fork.
    expected = vorlinde.decrypt(points, key)
    assert _run_in_child(lambda: vorlinde.decrypt(points, key)) == expected
    # And the parent's pool still works after it.
    assert vorlinde.decrypt(points, key) == expected


def test_forked_child_draws_its_own_randomness():
    vorlinde.key_gen()  # the parent's generator is keyed before the fork
    child_keys = _run_in_child(lambda: b"".join(vorlinde.key_gen()))
    parent_keys = b"".join(vorlinde.key_gen())
    assert child_keys != parent_keys


def test_decrypt_in_child_matches_independent_arithmetic():
    public, secret = vorlinde.key_gen()
    expected = compress(mul(secret_scalar(secret), G))
    g = compress(G)
    vorlinde.decrypt(g, secret)  # start the pool in the parent
    assert _run_in_child(lambda: vorlinde.decrypt(g * 40, secret)) == expected * 40
    assert expected == public
