"""Ctrl-C during a long call: the pending signal handler runs while the call is
in flight, a KeyboardInterrupt ends it promptly with no result, and a handler
that returns lets it finish with the right answer.

The calls that a signal must interrupt are sized for ten seconds or more on
two cores of the portable backend (and scaled by the processors available),
still over a second and a half with the vector backend, so a call that ends
within two seconds of the signal was interrupted, not finished. The calls that
must still be running when a handler runs and then complete are sized by
measuring decrypt's speed here.
"""

import gc
import os
import signal
import subprocess
import sys
import threading
import time

import pytest

import vorlinde

from edwards25519 import G, compress, mul, secret_scalar

pytestmark = [
    pytest.mark.unsanitized,  # timing assertions
    pytest.mark.skipif(threading.current_thread() is not threading.main_thread(),
                       reason="signals need the main thread"),
]

CORES = max(1, len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1)
SIGNAL_AFTER = 0.5
PROMPT = 2.0

G_BYTES = compress(G)


def scaled(per_two_cores):
    return per_two_cores * max(1, CORES // 2)


def decrypt_points_for(seconds):
    """How many points decrypt takes about `seconds` for on this machine and
    backend, measured on a short call (at least the old fixed size)."""
    _, sk = vorlinde.key_gen()
    probe = scaled(20_000)
    start = time.monotonic()
    vorlinde.decrypt(G_BYTES * probe, sk)
    rate = probe / max(time.monotonic() - start, 1e-3)
    return max(scaled(100_000), int(rate * seconds))


def send_sigint_later(delay):
    """Starts a process that sends this one SIGINT after `delay` seconds and
    prints the monotonic time (shared by all processes) when it did. A thread
    could not do it: the call holds the interpreter lock throughout."""
    code = (
        "import os, signal, sys, time\n"
        f"time.sleep({delay})\n"
        "t = time.monotonic()\n"
        f"os.kill({os.getpid()}, signal.SIGINT)\n"
        "print(t, flush=True)\n"
    )
    killer = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True)
    # PyPy runs weakref callbacks (of import locks, for one) at the next point
    # where it runs Python code, and a signal handler that raises inside such a
    # callback has its exception swallowed as unraisable. Collect now, so none
    # is pending when the call polls for signals.
    gc.collect()
    return killer


@pytest.fixture
def sigint_handler():
    """Lets a test install its own SIGINT handler; the default one (which
    raises KeyboardInterrupt) otherwise, and the previous one afterwards."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield lambda handler: signal.signal(signal.SIGINT, handler)
    signal.signal(signal.SIGINT, previous)


def _build_okvs():
    pk, _ = vorlinde.key_gen()
    rows = [[str(i), "x"] for i in range(scaled(250_000))]
    return lambda: vorlinde.build_okvs(pk, rows)


def _initiate_queries():
    pk, _ = vorlinde.key_gen()
    store = vorlinde.build_okvs(pk, [["a"], ["b"]])
    rows = [[str(i)] for i in range(scaled(150_000))]
    return lambda: vorlinde.initiate_queries(rows, rows, store, store, pk)


def _randomize():
    records = G_BYTES * 4 * scaled(120_000)
    return lambda: vorlinde.randomize(records)


def _combine():
    records = G_BYTES * 4 * scaled(600_000)
    return lambda: vorlinde.combine(records, records)


def _decrypt():
    points = G_BYTES * scaled(450_000)
    key = vorlinde.key_gen()[1]
    return lambda: vorlinde.decrypt(points, key)


def _finish():
    points = G_BYTES * scaled(200_000)
    key = vorlinde.key_gen()[1]
    return lambda: vorlinde.finish(points, points, points, points, key)


LONG_CALLS = {
    "build_okvs": _build_okvs,
    "initiate_queries": _initiate_queries,
    "randomize": _randomize,
    "combine": _combine,
    "decrypt": _decrypt,
    "finish": _finish,
}


@pytest.mark.parametrize("name", LONG_CALLS)
def test_sigint_interrupts_a_long_call_promptly(name, sigint_handler):
    call = LONG_CALLS[name]()
    killer = send_sigint_later(SIGNAL_AFTER)
    try:
        with pytest.raises(KeyboardInterrupt):
            call()
        ended = time.monotonic()
    finally:
        sent = float(killer.communicate(timeout=30)[0])
    assert ended - sent < PROMPT, f"{name} ended {ended - sent:.2f} s after the signal"

    # The module works normally afterwards, on the pool.
    pk, sk = vorlinde.key_gen()
    assert vorlinde.decrypt(G_BYTES * 50, sk) == pk * 50


def test_handler_that_returns_lets_the_call_finish_and_may_call_the_module(sigint_handler):
    """The handler runs inside the call, calls decrypt itself (which must not
    disturb the call in flight) and returns; the outer call then completes."""
    pk, sk = vorlinde.key_gen()
    other_pk, other_sk = vorlinde.key_gen()
    seen = []

    def handler(signum, frame):
        seen.append(vorlinde.decrypt(G_BYTES * 300, other_sk))

    sigint_handler(handler)
    n = decrypt_points_for(4 * SIGNAL_AFTER)
    killer = send_sigint_later(SIGNAL_AFTER)
    result = vorlinde.decrypt(G_BYTES * n, sk)
    killer.communicate(timeout=30)
    assert seen == [other_pk * 300], "the handler ran once, inside the call, with the right answer"
    # k G for the secret k is the public key, from an independent oracle too.
    assert result == pk * n
    assert pk == compress(mul(secret_scalar(sk), G))


def test_other_threads_may_call_the_module_while_a_handler_waits(sigint_handler):
    """A handler that releases the interpreter lock lets another thread call
    the module while the first call is in flight; that call runs on its own
    thread and gets the right answer, and the first call completes too."""
    pk, sk = vorlinde.key_gen()
    other_pk, other_sk = vorlinde.key_gen()
    results = []

    def worker():
        results.append(vorlinde.decrypt(G_BYTES * 200, other_sk))

    def handler(signum, frame):
        thread = threading.Thread(target=worker)
        thread.start()
        thread.join(timeout=60)  # releases the interpreter lock while it waits

    sigint_handler(handler)
    n = decrypt_points_for(4 * SIGNAL_AFTER)
    killer = send_sigint_later(SIGNAL_AFTER)
    result = vorlinde.decrypt(G_BYTES * n, sk)
    killer.communicate(timeout=30)
    assert results == [other_pk * 200]
    assert result == pk * n


def test_sigint_during_a_sequential_loop_of_a_nested_call(sigint_handler):
    """KeyboardInterrupt from a second signal, taken inside a handler's own
    call, ends both calls."""
    pk, sk = vorlinde.key_gen()
    calls = []

    def handler(signum, frame):
        signal.signal(signal.SIGINT, signal.default_int_handler)
        calls.append("nested")
        killer = send_sigint_later(SIGNAL_AFTER)
        try:
            vorlinde.finish(*([G_BYTES * scaled(200_000)] * 4), sk)
        finally:
            killer.communicate(timeout=30)

    sigint_handler(handler)
    killer = send_sigint_later(SIGNAL_AFTER)
    started = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        vorlinde.decrypt(G_BYTES * scaled(450_000), sk)
    killer.communicate(timeout=30)
    assert calls == ["nested"]
    assert time.monotonic() - started < 2 * SIGNAL_AFTER + 2 * PROMPT
    assert vorlinde.decrypt(G_BYTES * 20, sk) == pk * 20


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork()")
def test_handler_that_forks_fails_the_call_in_the_child_only(sigint_handler):
    """The child of a fork made by a handler has none of the workers the call
    was waiting for: its call fails at once rather than hang; the parent's
    call completes with the right answer."""
    pk, sk = vorlinde.key_gen()
    forked = []

    def handler(signum, frame):
        forked.append(os.fork())

    sigint_handler(handler)
    n = decrypt_points_for(4 * SIGNAL_AFTER)
    killer = send_sigint_later(SIGNAL_AFTER)
    try:
        result = vorlinde.decrypt(G_BYTES * n, sk)
        outcome = "finished"
    except BaseException as failure:  # noqa: B036 - PanicException derives from BaseException
        result, outcome = None, f"{type(failure).__name__}: {failure}"
    if forked == [0]:  # the child: report through the exit status, never return to pytest
        expected = "PanicException: the operation cannot go on in a process forked while it ran"
        os._exit(0 if outcome == expected else 1)
    killer.communicate(timeout=30)
    assert outcome == "finished" and result == pk * n
    (child,) = forked
    deadline = time.monotonic() + 30
    while (done := os.waitpid(child, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
        time.sleep(0.05)
    if done[0] == 0:
        os.kill(child, signal.SIGKILL)
        os.waitpid(child, 0)
        pytest.fail("the child's call hung")
    assert os.waitstatus_to_exitcode(done[1]) == 0, "the child's call did not fail with the expected message"
