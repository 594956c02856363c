"""What a step tells its user while it runs: a progress bar with rate and
estimate (tqdm when installed, else a plain line), sizes in human units, and
the summary at the end (text, or JSON with --json).

A module call holds the interpreter lock for as long as it runs (a store's
encoding, over a minute at millions of rows), so no thread of this process
can show anything meanwhile. `Reporter.waiting` shows elapsed time and an
estimate from a small helper process instead: this file run as a script,
writing to the same stream, told of work done (items, such as partitions)
and of the end through a pipe. It runs only this file's code (the
interpreter started with -I -S), ignores Ctrl-C (the step's own process
reports the interruption), and ends when the pipe closes, also when the
step's process dies.
"""

import contextlib
import json
import os
import select
import signal
import subprocess
import sys
import time

try:
    import resource
except ImportError:  # not a POSIX system
    resource = None


# A call expected to take at least this many seconds shows its progress; the
# environment variable overrides it (0 shows every call: for tests).
WAIT_SHOWN_AFTER = 2.0
WAIT_SHOWN_AFTER_ENV = "VORLINDE_MATCH_PROGRESS_AFTER"
# Seconds the step waits for the helper to end once told, before killing it.
HELPER_GRACE = 2.0


def shown_after():
    """The seconds from which a call's progress is shown."""
    try:
        return max(0.0, float(os.environ[WAIT_SHOWN_AFTER_ENV]))
    except (KeyError, ValueError):
        return WAIT_SHOWN_AFTER


def peak_memory():
    """This process's peak resident memory in bytes (0 where unknown)."""
    # VmHWM is this program's own high-water mark; ru_maxrss would also count
    # the parent's memory at the fork before this program was started.
    try:
        with open("/proc/self/status", encoding="ascii") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    if resource is None:
        return 0
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    return peak if sys.platform == "darwin" else peak * 1024


def human_bytes(n):
    for unit in ("B", "kB", "MB", "GB", "TB"):
        if n < 1000 or unit == "TB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1000


def human_count(n):
    return f"{n:,}"


def human_seconds(s):
    if s < 60:
        return f"{s:.1f} s"
    minutes, seconds = divmod(int(round(s)), 60)
    if minutes < 60:
        return f"{minutes} min {seconds:02d} s"
    return f"{minutes // 60} h {minutes % 60:02d} min"


class _PlainBar:
    """A progress line for terminals without tqdm (rewritten in place), or a
    line every few seconds when stderr is not a terminal."""

    def __init__(self, total, desc, stream, unit="rows"):
        self.total, self.desc, self.stream = total, desc, stream
        self.shown_as = human_bytes if unit == "bytes" else human_count
        self.unit = "B" if unit == "bytes" else unit
        self.done = 0
        self.start = self.shown = time.monotonic()
        self.tty = stream.isatty()
        self.every = 0.5 if self.tty else 10.0

    def update(self, n):
        self.done += n
        now = time.monotonic()
        if now - self.shown >= self.every:
            self.shown = now
            self._show(now)

    def _show(self, now, end="\r"):
        elapsed = max(now - self.start, 1e-9)
        rate = self.done / elapsed
        text = f"{self.desc}: {self.shown_as(self.done)}"
        if self.total:
            text += f"/{self.shown_as(self.total)} ({100 * self.done / self.total:.0f} %)"
        if self.unit in ("rows", "B"):  # a rate of a few partitions a minute says nothing
            text += f", {self.shown_as(int(rate))}" + (" rows" if self.unit == "rows" else "") + "/s"
        if self.total and rate > 0 and self.done < self.total:
            text += f", {human_seconds((self.total - self.done) / rate)} left"
        self.stream.write(text + (end if self.tty else "\n"))
        self.stream.flush()

    def close(self):
        if self.tty:
            self._show(time.monotonic(), end="\n")


class _NoBar:
    def update(self, n):
        pass

    def close(self):
        pass


def _waiting_line(desc, elapsed, estimate, basis, done, total):
    """The helper's line: elapsed time, items done, and the estimate."""
    text = f"{desc}: {human_seconds(elapsed)} elapsed"
    if total:
        text += f", {done} of {total} done"
    if estimate is not None:
        if elapsed < estimate:
            text += f", about {human_seconds(estimate - elapsed)} left"
        else:
            text += f", longer than the {human_seconds(estimate)} estimated"
        text += f" (an estimate from {basis})"
    return text


def _helper(desc, start, estimate, basis, total, every, tty):
    """The helper process's loop: a line now and every `every` seconds until
    its standard input closes; a line "N" on it means N items done."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    out, done, pending = sys.stderr, 0, b""
    try:
        while True:
            line = _waiting_line(desc, time.monotonic() - start, estimate, basis, done, total)
            out.write("\r\x1b[K" + line if tty else line + "\n")
            out.flush()
            ready, _, _ = select.select([0], [], [], every)
            if ready:
                data = os.read(0, 4096)
                if not data:
                    break
                pending += data
                *counts, pending = pending.split(b"\n")
                for count in counts:
                    done = int(count)
        if tty:
            out.write("\n")
            out.flush()
    except OSError:  # the stream is gone (a closed terminal): nothing left to show
        pass


class _Waiting:
    """What `Reporter.waiting` hands its caller: `done(n)` tells the helper
    (if any) that n items are done."""

    def __init__(self, helper=None):
        self.helper = helper

    def done(self, count):
        if self.helper is None:
            return
        try:
            self.helper.stdin.write(f"{count}\n".encode("ascii"))
            self.helper.stdin.flush()
        except OSError:  # the helper is gone (killed): the step goes on without it
            self.helper = None


def _start_helper(stream, desc, estimate, basis, total):
    """The helper process writing to `stream`'s descriptor, or None where
    there is none (a stream in memory) or no process can be started."""
    try:
        descriptor = stream.fileno()
        tty = stream.isatty()
    except (AttributeError, OSError, ValueError):
        return None
    stream.flush()
    arguments = [sys.executable, "-I", "-S", os.path.abspath(__file__), "--waiting", desc, repr(time.monotonic()),
                 "" if estimate is None else repr(estimate), basis, str(total or 0), "0.5" if tty else "10",
                 "tty" if tty else "log"]
    try:
        return subprocess.Popen(arguments, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=descriptor)
    except OSError:
        return None


def _stop_helper(helper):
    """Closes the helper's pipe and reaps it, killing it if it lingers."""
    try:
        helper.stdin.close()
    except OSError:
        pass
    try:
        helper.wait(HELPER_GRACE)
    except subprocess.TimeoutExpired:
        helper.kill()
        helper.wait()


class Reporter:
    """Collects a step's figures and shows its progress; `quiet` shows
    nothing but errors, `as_json` prints the summary as one JSON object."""

    def __init__(self, quiet=False, as_json=False, stream=None):
        self.quiet, self.as_json = quiet, as_json
        self.stream = stream or sys.stderr
        self.summaries = []
        # The records of the steps that finished (records.py), for the reports.
        self.records = []

    @property
    def shows_progress(self):
        return not self.quiet and not self.as_json

    def say(self, text):
        if not self.quiet and not self.as_json:
            self.stream.write(text + "\n")
            self.stream.flush()

    def warn(self, text):
        """Shown even with --quiet and --json (on stderr)."""
        self.stream.write(f"warning: {text}\n")
        self.stream.flush()

    def bar(self, total, desc, unit="rows"):
        """A progress bar over `total` rows (or bytes, with unit="bytes", or
        other items, such as unit="partitions"); a total of None shows the
        count alone."""
        if self.quiet or self.as_json:
            return _NoBar()
        try:
            if not self.stream.isatty():
                raise ImportError  # a log gets a plain line now and then, not a redrawn bar
            from tqdm import tqdm
        except ImportError:
            return _PlainBar(total, desc, self.stream, unit)
        if unit == "bytes":
            return tqdm(total=total, desc=desc, unit="B", unit_scale=True, unit_divisor=1000, file=self.stream,
                        leave=False, dynamic_ncols=True, mininterval=0.5)
        return tqdm(total=total, desc=desc, unit=f" {unit}", unit_scale=True, file=self.stream, leave=False,
                    dynamic_ncols=True, mininterval=0.5)

    @contextlib.contextmanager
    def waiting(self, desc, estimate=None, basis="", total=None):
        """Shows elapsed time (and `total` items' progress, as the caller
        reports it with `done`) from a helper process while the caller runs
        a call that holds the interpreter lock; `estimate` seconds, made
        from `basis` (what it was measured on, shown), gives the time left.
        Nothing is shown with --quiet or --json, or when the estimate is
        below shown_after(); the helper is stopped and reaped however the
        block ends."""
        helper = None
        if self.shows_progress and (estimate is None or estimate >= shown_after()):
            helper = _start_helper(self.stream, desc, estimate, basis, total)
        try:
            yield _Waiting(helper)
        finally:
            if helper is not None:
                _stop_helper(helper)

    def finished(self, step, rows, seconds, outputs, **extra):
        """Records a step's summary and shows it: the rows it handled, its time
        and rate, and the files it wrote with their sizes."""
        summary = {"step": step, "rows": rows, "seconds": round(seconds, 3), "outputs": outputs,
                   "peak_memory_bytes": peak_memory()}
        summary.update(extra)
        self.summaries.append(summary)
        if self.quiet or self.as_json:
            return
        if rows is None:
            lines = [f"{step}: done in {human_seconds(seconds)}"]
        else:
            rate = f" ({human_count(int(rows / seconds))} rows/s)" if seconds > 0 and rows else ""
            lines = [f"{step}: {human_count(rows)} rows in {human_seconds(seconds)}{rate}, "
                     f"peak memory {human_bytes(peak_memory())}"]
        for path, size in outputs.items():
            lines.append(f"  wrote {path} ({human_bytes(size)})")
        for key, value in extra.items():
            lines.append(f"  {key.replace('_', ' ')}: {value}")
        self.say("\n".join(lines))

    def emit_json(self, out=None):
        if self.as_json:
            out = out or sys.stdout
            json.dump(self.summaries[0] if len(self.summaries) == 1 else self.summaries, out, indent=2)
            out.write("\n")


if __name__ == "__main__" and sys.argv[1:2] == ["--waiting"]:
    _desc, _start, _estimate, _basis, _total, _every, _tty = sys.argv[2:9]
    _helper(_desc, float(_start), float(_estimate) if _estimate else None, _basis, int(_total), float(_every),
            _tty == "tty")
