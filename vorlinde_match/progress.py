"""What a step tells its user while it runs: a progress bar with rate and
estimate (tqdm when installed, else a plain line), sizes in human units, and
the summary at the end (text, or JSON with --json)."""

import json
import sys
import time

try:
    import resource
except ImportError:  # not a POSIX system
    resource = None


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


class Reporter:
    """Collects a step's figures and shows its progress; `quiet` shows
    nothing but errors, `as_json` prints the summary as one JSON object."""

    def __init__(self, quiet=False, as_json=False, stream=None):
        self.quiet, self.as_json = quiet, as_json
        self.stream = stream or sys.stderr
        self.summaries = []
        # The records of the steps that finished (records.py), for the reports.
        self.records = []

    def say(self, text):
        if not self.quiet and not self.as_json:
            self.stream.write(text + "\n")
            self.stream.flush()

    def warn(self, text):
        """Shown even with --quiet and --json (on stderr)."""
        self.stream.write(f"warning: {text}\n")
        self.stream.flush()

    def bar(self, total, desc, unit="rows"):
        """A progress bar over `total` rows (or bytes, with unit="bytes");
        a total of None shows the count alone."""
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
        return tqdm(total=total, desc=desc, unit=" rows", unit_scale=True, file=self.stream, leave=False,
                    dynamic_ncols=True, mininterval=0.5)

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
