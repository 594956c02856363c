"""Where a step's per-chunk work runs: in this process, or as tasks on the
party's own Dask cluster.

Both run a task function over a sequence of jobs and hand the results back in
job order. Large values every task needs (the stores, a key) are shared once:
on Dask they are scattered to every worker once, not sent with each task.
"""

import collections
import contextlib
import ipaddress
import os
import socket
import time
import urllib.parse

from .errors import StepError

DASK_EXTRA = "pip install 'vorlinde[dask]'"


def balanced_chunk(count, chunk, workers):
    """Items per task for `count` items in tasks of at most `chunk` items on
    `workers` workers: the fewest rounds of one task per worker, every task
    the same size but the last, short by fewer items than there are tasks.
    Cut by `chunk` alone, the last round leaves workers idle (100,000
    items in chunks of 32,768 on two workers: one worker gets 65,536 items,
    the other 34,464)."""
    rounds = max(1, -(-count // (chunk * workers)))
    return max(1, -(-count // (rounds * workers)))


class Local:
    """Runs every job in this process, one after another; the module's own
    thread pool uses all processors."""

    workers = 1
    description = "this process"
    remote = False  # tasks run where the client's files are already read

    def share(self, value, everywhere=True):
        return value

    def balanced(self, count, chunk):
        return chunk  # one task at a time: nothing to balance

    def map(self, task, jobs, shared=()):
        for job in jobs:
            result = task(*shared, *job)
            # A job's inputs (a chunk of rows) go before the next is read.
            del job
            yield result

    def close(self):
        pass


def _pool_share(hosts):
    """A Dask worker plugin that gives each worker process its share of its
    machine's processors as the module's pool size, before the module starts
    its pool there."""
    from distributed.diagnostics.plugin import WorkerPlugin

    class PoolShare(WorkerPlugin):
        name = "vorlinde-pool-share"

        def __init__(self, hosts):
            self.hosts = hosts

        def setup(self, worker):
            host = urllib.parse.urlparse(worker.address).hostname
            try:
                processors = len(os.sched_getaffinity(0))
            except AttributeError:
                processors = os.cpu_count() or 1
            per_host = max(1, self.hosts.get(host, 1))
            os.environ["RAYON_NUM_THREADS"] = str(max(1, processors // per_host))

    return PoolShare(hosts)


# Schemes that encrypt and authenticate when the scheduler's certificates are
# known; every other scheme (tcp, ws, ucx, inproc, ...) sends in clear.
ENCRYPTED_SCHEMES = ("tls", "wss")
# Seconds a step waits for a scheduler to have a worker, and for a cluster
# that has lost every worker to get one back, before it gives up.
DASK_WAIT_ENV = "VORLINDE_MATCH_DASK_WAIT"
DASK_WAIT_SECONDS = 60.0


def _is_loopback(host):
    """True when `host` is a loopback address, or a name (such as localhost)
    that resolves to loopback addresses only."""
    if not host:
        return False
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        pass
    try:
        found = socket.getaddrinfo(host, None)
    except (OSError, UnicodeError):
        return False
    addresses = {info[4][0].split("%", 1)[0] for info in found}
    try:
        return bool(addresses) and all(ipaddress.ip_address(a).is_loopback for a in addresses)
    except ValueError:
        return False


def _tls_configured():
    """Whether Dask's own configuration names a CA and a client certificate."""
    try:
        import dask
        return bool(dask.config.get("distributed.comm.tls.ca-file", None)
                    and dask.config.get("distributed.comm.tls.client.cert", None))
    except Exception:  # noqa: BLE001 - no usable configuration is no certificate
        return False


def checked_address(address, certificates):
    """`address` with its scheme lower-cased, if a step may send its rows and
    keys there: to a loopback address over any scheme, or anywhere over tls://
    or wss:// with certificates (`certificates`: given on the command line).
    Anything else is refused; there is no override."""
    text = address.strip()
    scheme, sep, rest = text.partition("://")
    if not sep:
        scheme, rest = "tcp", text
    scheme = scheme.lower()
    normalised = f"{scheme}://{rest}"
    try:
        host = urllib.parse.urlsplit(normalised).hostname
    except ValueError:
        raise StepError(f"--dask {address}: not a scheduler address (give SCHEME://HOST:PORT)") from None
    if _is_loopback(host):
        return normalised
    if scheme in ENCRYPTED_SCHEMES and (certificates or _tls_configured()):
        return normalised
    raise StepError(f"--dask {address}: a scheduler on another machine is reached only over tls:// or wss:// with "
                    "certificates (--dask-tls-ca, --dask-tls-cert, --dask-tls-key, or Dask's TLS settings); "
                    "otherwise this party's rows and keys would cross the network in clear")


def dask_wait():
    """The bounded wait for workers, in seconds (VORLINDE_MATCH_DASK_WAIT)."""
    text = os.environ.get(DASK_WAIT_ENV)
    try:
        value = float(text) if text else DASK_WAIT_SECONDS
    except ValueError:
        raise StepError(f"{DASK_WAIT_ENV}={text!r}: give a number of seconds") from None
    return max(0.1, value)


# What a local worker imports before it starts: Dask's worker and the
# module the steps' tasks are pickled from, so that neither is imported in
# the step's time, nor once per worker.
WORKER_PRELOAD = ("distributed", "vorlinde_match.steps")


@contextlib.contextmanager
def _forked_workers():
    """Local workers started by a fork server (one process, started with
    this one's path and environment, that imports WORKER_PRELOAD once and
    forks each worker from itself) instead of a fresh interpreter each. The
    server holds no thread of this process, so a fork from it is clean, and
    it ends when this process does. Dask's own list for the server (every
    optional package it knows) is replaced by ours. Only the cluster's
    start is covered: a worker that a nanny restarts later starts Dask's
    own way, as a fresh interpreter."""
    import multiprocessing

    import dask
    from distributed.utils import get_mp_context

    if "forkserver" not in multiprocessing.get_all_start_methods():  # Windows: Dask's default
        yield
        return
    with dask.config.set({"distributed.worker.multiprocessing-method": "forkserver"}):
        get_mp_context()  # sets Dask's list once; ours then replaces it
        multiprocessing.get_context("forkserver").set_forkserver_preload(list(WORKER_PRELOAD))
        yield


class Dask:
    """Runs jobs as tasks on a Dask cluster: a local one of `local_workers`
    processes, or the scheduler at `address` (tls:// with the given
    certificates, or Dask's own TLS settings, for any machine but this one)."""

    def __init__(self, address=None, local_workers=None, tls_ca=None, tls_cert=None, tls_key=None,
                 in_flight_per_worker=2):
        try:
            import distributed
        except ImportError:
            raise StepError(f"--dask and --dask-local need Dask, which is not installed: {DASK_EXTRA}") from None
        self._cluster = None
        if local_workers is not None:
            if local_workers < 1:
                raise StepError("--dask-local needs at least one worker process")
            # One thread per worker process: a call holds the interpreter lock,
            # so more threads would only queue; each process gets its share of
            # the processors for the module's pool instead.
            # Each worker under a nanny: a worker that dies is restarted and
            # its tasks retried, up to the scheduler's allowed failures. Only
            # critical logs: the step says itself in one line what failed.
            # The scheduler serves HTTP whatever the dashboard setting (on
            # port 8787 unless told, warning when another cluster holds it):
            # a free loopback port instead.
            with _forked_workers():
                self._cluster = distributed.LocalCluster(
                    n_workers=local_workers, threads_per_worker=1, processes=True, worker_class=distributed.Nanny,
                    dashboard_address="127.0.0.1:0", silence_logs=50)
            self.client = distributed.Client(self._cluster)
            self.description = f"a local Dask cluster of {local_workers} worker processes"
        else:
            certificates = bool(tls_ca or tls_cert or tls_key)
            if certificates and not (tls_ca and tls_cert and tls_key):
                raise StepError("--dask-tls-ca, --dask-tls-cert and --dask-tls-key go together")
            target = checked_address(address, certificates)
            security = None
            if certificates:
                security = distributed.security.Security(
                    tls_ca_file=tls_ca, tls_client_cert=tls_cert, tls_client_key=tls_key, require_encryption=True)
            try:
                self.client = distributed.Client(target, security=security, timeout="20s")
            except TypeError as error:
                # Dask's way of saying that tls:// came without certificates.
                raise StepError(f"--dask {address}: no TLS certificates; give --dask-tls-ca, --dask-tls-cert and "
                                f"--dask-tls-key, or set them in Dask's configuration ({error})") from None
            except (OSError, TimeoutError, ValueError) as error:
                raise StepError(f"cannot reach the Dask scheduler at {address}: {error}") from None
            self.description = f"the Dask cluster at {address}"
        # The scheduler's active memory manager drops replicas that no queued
        # task needs, so a broadcast store would be dropped between chunks and
        # copied back for the next one (seen: a third of a query step spent
        # so). The step keeps it off while it runs and restores it.
        self._restart_amm = False
        try:
            if self.client.amm.running():
                self.client.amm.stop()
                self._restart_amm = True
        except Exception:  # an older scheduler without the manager
            pass
        self._wait = dask_wait()
        workers = self.client.scheduler_info()["workers"]
        if not workers:
            try:
                self.client.wait_for_workers(1, timeout=self._wait)
            except (TimeoutError, OSError):
                self.close()
                raise StepError(f"{self.description} has no workers (waited {self._wait:g} s); start its workers "
                                "and run the step again") from None
            workers = self.client.scheduler_info()["workers"]
        hosts = collections.Counter(urllib.parse.urlparse(w).hostname for w in workers)
        register = getattr(self.client, "register_plugin", None) or self.client.register_worker_plugin
        register(_pool_share(dict(hosts)))
        self.workers = sum(info.get("nthreads", 1) for info in workers.values())
        self.in_flight = max(2, in_flight_per_worker * self.workers)

    remote = True

    def share(self, value, everywhere=True):
        """`value` on the cluster, sent once: to every worker now, or (not
        `everywhere`; a list is shared item by item) to a worker the first
        time one of its tasks needs an item, and kept there for the next."""
        return self.client.scatter(value, broadcast=everywhere, hash=False)

    def balanced(self, count, chunk):
        return balanced_chunk(count, chunk, self.workers)

    def everywhere(self, function, *args):
        """`function(*args)` run on every worker now, its results as a list;
        a worker that fails to answer counts as None."""
        try:
            answers = self.client.run(function, *args, on_error="return")
        except Exception:  # noqa: BLE001 - a cluster that cannot answer is asked nothing more
            return [None]
        return [None if isinstance(a, BaseException) else a for a in answers.values()]

    def map(self, task, jobs, shared=()):
        """Submits at most `in_flight` tasks at a time, so that memory holds
        only that many chunks, and yields their results in job order."""
        pending = collections.deque()
        try:
            for job in jobs:
                pending.append(self.client.submit(task, *shared, *job, pure=False))
                if len(pending) >= self.in_flight:
                    yield self._result(pending.popleft())
            while pending:
                yield self._result(pending.popleft())
        finally:
            for future in pending:
                future.cancel()

    def _result(self, future):
        """The future's result; a cluster that loses its workers for longer
        than the bounded wait, or a task that keeps killing them, ends the
        step with a message instead of a hang or a traceback."""
        import distributed

        lost_since = None
        while True:
            try:
                return future.result(timeout=1)
            except distributed.TimeoutError:
                pass
            except StepError:
                raise
            except distributed.KilledWorker:
                raise StepError(f"the workers of {self.description} died while running this step's tasks (out of "
                                "memory?); check the workers and run the step again") from None
            except Exception as error:  # the connection or the future lost with the cluster
                if future.status == "error":
                    raise
                raise StepError(f"lost {self.description} while running the step ({type(error).__name__}); "
                                "check the cluster and run the step again") from None
            try:
                workers = len(self.client.scheduler_info()["workers"])
            except Exception:  # noqa: BLE001 - a scheduler that cannot answer has no workers for us
                workers = 0
            if workers:
                lost_since = None
            elif lost_since is None:
                lost_since = time.monotonic()
            elif time.monotonic() - lost_since > self._wait:
                raise StepError(f"{self.description} has had no workers for {self._wait:g} s while running the "
                                "step; start its workers and run the step again")

    def close(self):
        if self._restart_amm and self._cluster is None:
            try:
                self.client.amm.start()
            except Exception:
                pass
        self.client.close()
        if self._cluster is not None:
            self._cluster.close()


def executor(dask=None, dask_local=None, tls_ca=None, tls_cert=None, tls_key=None):
    if dask is None and dask_local is None:
        return Local()
    return Dask(dask, dask_local, tls_ca, tls_cert, tls_key)


def timed(task, *args):
    """Runs `task` and returns its result with the seconds it took (measured
    where it ran)."""
    start = time.perf_counter()
    result = task(*args)
    return result, time.perf_counter() - start
