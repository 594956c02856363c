"""Where a step's per-chunk work runs: in this process, or as tasks on the
party's own Dask cluster.

Both run a task function over a sequence of jobs and hand the results back in
job order. Large values every task needs (the stores, a key) are shared once:
on Dask they are scattered to every worker once, not sent with each task.
"""

import collections
import ipaddress
import os
import time
import urllib.parse

from .errors import StepError

DASK_EXTRA = "pip install 'vorlinde[dask]'"


class Local:
    """Runs every job in this process, one after another; the module's own
    thread pool uses all processors."""

    workers = 1
    description = "this process"

    def share(self, value):
        return value

    def map(self, task, jobs, shared=()):
        for job in jobs:
            yield task(*shared, *job)

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


def _is_loopback(host):
    if host in ("localhost", None, ""):
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


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
            self._cluster = distributed.LocalCluster(
                n_workers=local_workers, threads_per_worker=1, processes=True, dashboard_address=None,
                silence_logs=40)
            self.client = distributed.Client(self._cluster)
            self.description = f"a local Dask cluster of {local_workers} worker processes"
        else:
            parsed = urllib.parse.urlparse(address if "://" in address else "tcp://" + address)
            security = None
            if parsed.scheme == "tls":
                if tls_ca or tls_cert or tls_key:
                    if not (tls_ca and tls_cert and tls_key):
                        raise StepError("--dask-tls-ca, --dask-tls-cert and --dask-tls-key go together")
                    security = distributed.security.Security(
                        tls_ca_file=tls_ca, tls_client_cert=tls_cert, tls_client_key=tls_key, require_encryption=True)
            elif parsed.scheme == "tcp" and not _is_loopback(parsed.hostname):
                raise StepError(f"--dask {address}: the cluster is reached without encryption; give its tls:// "
                                "address (and --dask-tls-ca/-cert/-key, or Dask's TLS settings)")
            try:
                self.client = distributed.Client(address, security=security, timeout="20s")
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
        workers = self.client.scheduler_info()["workers"]
        if not workers:
            self.client.wait_for_workers(1, timeout=60)
            workers = self.client.scheduler_info()["workers"]
        hosts = collections.Counter(urllib.parse.urlparse(w).hostname for w in workers)
        register = getattr(self.client, "register_plugin", None) or self.client.register_worker_plugin
        register(_pool_share(dict(hosts)))
        self.workers = sum(info.get("nthreads", 1) for info in workers.values())
        self.in_flight = max(2, in_flight_per_worker * self.workers)

    def share(self, value):
        return self.client.scatter(value, broadcast=True, hash=False)

    def map(self, task, jobs, shared=()):
        """Submits at most `in_flight` tasks at a time, so that memory holds
        only that many chunks, and yields their results in job order."""
        pending = collections.deque()
        try:
            for job in jobs:
                pending.append(self.client.submit(task, *shared, *job, pure=False))
                if len(pending) >= self.in_flight:
                    yield pending.popleft().result()
            while pending:
                yield pending.popleft().result()
        finally:
            for future in pending:
                future.cancel()

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
