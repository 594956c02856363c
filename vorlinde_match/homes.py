"""A party's folder (its home) at the start of a step: kept private, apart
from the handover folder and from every other party's folder, used by one
step at a time, and cleared of what a killed step left behind.

Folders are compared after resolving symbolic links (os.path.realpath): two
folders overlap when they are the same or one lies inside the other. A folder
holding another party's keys is recognised by its key files, whose headers
name the role that made them.
"""

import contextlib
import fcntl
import json
import os
import shutil
import stat

from .errors import StepError
from .files import FAMILY, KEY_MAGICS, PREFIX_SIZE, PUBLIC_KEY_FILE, SECRET_KEY_FILE, role_name

LOCK_FILE = ".lock"
SPILL_PREFIX = ".partitions-"
# What a party keeps in its home between steps: never the target of an output
# the user names.
KEPT_FILES = (SECRET_KEY_FILE, PUBLIC_KEY_FILE, "signing.key", "sealing.key", "identity.json", "parties.json",
              "transactions.ids", "gamma.points", "delta.points", LOCK_FILE, "steps.jsonl")
# The handover files each step writes, by (party, step); {role} is the bank's.
HANDOVER_OUTPUTS = {
    ("bank", "build"): ("{role}.store",),
    ("bank", "randomize"): ("{role}.randomized",),
    ("bank", "decrypt"): ("{role}.decrypted",),
    ("operator", "query"): ("operator.queries",),
    ("operator", "combine"): ("operator.for-sender-bank", "operator.for-receiver-bank"),
    ("operator", "finish"): (),
}
# Subfolders of a handover folder or home searched for another party's keys:
# both are flat in normal use, so a shallow, bounded look suffices.
SEARCH_DEPTH = 3
SEARCH_ENTRIES = 10000
# Enough for any header this package writes.
HEADER_READ = 1 << 20


def _real(path):
    return os.path.realpath(os.path.abspath(path))


def overlap(a, b):
    """Whether real paths `a` and `b` are the same or one lies inside the other."""
    return a == b or a.startswith(b.rstrip(os.sep) + os.sep) or b.startswith(a.rstrip(os.sep) + os.sep)


def _header_field(path, field):
    """A field of the JSON header of the vorlinde-match file `path`, or None
    (no such file, not one of ours, no such field). Reads up to the end of
    the JSON object, whatever padding follows it."""
    if not os.path.isfile(path):  # never open a FIFO or device planted there
        return None
    try:
        with open(path, "rb") as f:
            head = f.read(HEADER_READ)
    except OSError:
        return None
    if not head.startswith(KEY_MAGICS):
        return None
    try:
        meta, _ = json.JSONDecoder().raw_decode(head[PREFIX_SIZE:].decode("ascii", "replace"))
    except ValueError:
        return None
    return meta.get(field) if isinstance(meta, dict) else None


def key_role(folder):
    """The role named by the key files in `folder`, or None when it holds
    none; a key file whose role cannot be read still marks the folder as a
    party's ("unknown")."""
    for name in (SECRET_KEY_FILE, PUBLIC_KEY_FILE):
        path = os.path.join(folder, name)
        if not os.path.lexists(path):
            continue
        role = _header_field(path, "role")
        return role if isinstance(role, str) else "unknown"
    return None


def _key_folders(real, below=True):
    """(folder, role) of every folder holding keys that overlaps the real
    path `real`: itself, its ancestors and (shallowly, when `below`) its
    subfolders."""
    found = []
    folder = real
    while True:
        role = key_role(folder)
        if role:
            found.append((folder, role))
        parent = os.path.dirname(folder)
        if parent == folder:
            break
        folder = parent
    if below and os.path.isdir(real):
        seen = 0
        for top, dirs, _ in os.walk(real):
            depth = top[len(real):].count(os.sep)
            if depth >= SEARCH_DEPTH:
                dirs[:] = []
            for name in dirs:
                seen += 1
                sub = os.path.join(top, name)
                role = key_role(sub)
                if role:
                    found.append((sub, role))
            if seen > SEARCH_ENTRIES:
                break
    return found


def _others(real, role, below=True):
    return [(folder, r) for folder, r in _key_folders(real, below) if r != role]


def check_private(home):
    """Refuses a home that other users can read, enter or change."""
    try:
        mode = stat.S_IMODE(os.stat(home).st_mode)
    except OSError as error:
        raise StepError(f"cannot use the folder {home}: {error.strerror}") from None
    if mode & 0o077:
        raise StepError(f"{home} can be read or changed by other users (mode {mode:04o}); run `chmod 700 {home}`")


def check_layout(home, role, handover=None, outputs=()):
    """Refuses a home, handover folder or named output (a file) that overlaps
    another of them or a folder holding another party's keys."""
    real_home = _real(home)
    for folder, other in _others(real_home, role):
        raise StepError(f"--home {home} overlaps {folder}, the {role_name(other)}'s folder; "
                        "give each party a folder of its own, apart from the others")
    real_handover = None
    if handover is not None:
        real_handover = _real(handover)
        if overlap(real_home, real_handover):
            raise StepError(f"--home {home} and --handover {handover} overlap; keep this party's folder apart from "
                            "the handover folder, whose files leave this party")
        for folder, other in _others(real_handover, None):
            raise StepError(f"--handover {handover} overlaps {folder}, the {role_name(other)}'s folder; "
                            "give the handover a folder of its own")
    for option, path in outputs:
        real = _real(path)
        if real_handover is not None and overlap(real, real_handover):
            raise StepError(f"{option} {path} is inside the handover folder {handover}; name a file that stays with "
                            "this party")
        for folder, other in _others(os.path.dirname(real), role, below=False):
            raise StepError(f"{option} {path} is inside {folder}, the {role_name(other)}'s folder; name a file of "
                            "this party's own")


def check_outputs(outputs, force=False, own=(), inputs=(), home=None, apart_from=None):
    """Refuses output files the user named (`outputs`: (option, path)) that
    are an input (`inputs`: paths), a file a party keeps in `home`, a
    vorlinde-match file, inside the folder `apart_from` (option, folder), the
    same file as another output, or an existing file when `force` is false;
    the step's own outputs (`own`: paths) are replaced as on every run."""
    own = {_real(p) for p in own}
    inputs = {_real(p): p for p in inputs if p}
    kept = {_real(os.path.join(home, name)) for name in KEPT_FILES} if home else set()
    seen = {}
    for option, path in outputs:
        real = _real(path)
        if real in seen:
            raise StepError(f"{seen[real]} and {option} name the same file {path}; give two different files")
        seen[real] = option
        if real in inputs:
            raise StepError(f"{option} {path} is an input of this run; name another file for the output")
        if real in kept:
            raise StepError(f"{option} {path} is a file this party keeps in {home}; name another file")
        if apart_from is not None and overlap(real, _real(apart_from[1])):
            raise StepError(f"{option} {path} is inside {apart_from[0]} {apart_from[1]}; name a file outside it")
        if os.path.isdir(real):
            raise StepError(f"{option} {path} is a folder; name a file")
        if not os.path.isdir(os.path.dirname(real)):
            raise StepError(f"{option} {path}: folder {os.path.dirname(os.path.abspath(path))} does not exist; "
                            "make it first or name a file in another folder")
        if not os.path.lexists(path):
            continue
        try:
            with open(real, "rb") as f:
                ours = f.read(len(FAMILY)) == FAMILY  # of any version
        except OSError:
            ours = False
        if ours:
            raise StepError(f"{option} {path} is a vorlinde-match file (a key, a store or a step's state); "
                            "name another file")
        if real not in own and not force:
            raise StepError(f"{option} {path} exists already; give --force to replace it, or name another file")


@contextlib.contextmanager
def locked(home, step):
    """Holds the home's lock for the step: one step at a time per home. The
    kernel releases it when the process ends, however it ends."""
    path = os.path.join(home, LOCK_FILE)
    try:
        fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o600)
    except OSError as error:
        raise StepError(f"cannot lock {home} for this step ({path}: {error.strerror})") from None
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            holder = os.pread(fd, 200, 0).decode("utf-8", "replace").strip() or "unknown step"
            raise StepError(f"{home}: another step is running in this folder ({holder}); "
                            "wait for it to finish") from None
        try:
            os.ftruncate(fd, 0)
            os.pwrite(fd, f"{step}, pid {os.getpid()}".encode(), 0)
        except OSError:  # a full disk: the name only serves the message of another step
            pass
        yield
    finally:
        os.close(fd)  # releases the lock


def _partials(folder, names=None):
    """The temporary files of unfinished outputs in `folder` (of the given
    output names only, when `names` is given)."""
    try:
        entries = os.listdir(folder)
    except OSError:
        return []
    found = []
    for entry in entries:
        if not entry.startswith(".") or ".partial-" not in entry:
            continue
        if names is not None and entry.rsplit(".partial-", 1)[0][1:] not in names:
            continue
        found.append(os.path.join(folder, entry))
    return found


def clear_leftovers(home, reporter, handover=None, handover_names=(), outputs=()):
    """Removes what a killed step (SIGKILL, a power cut) left behind: spilled
    rows and partial files in the home, and the partial files of this step's
    own outputs in the handover folder and beside named outputs. Called with
    the home's lock held, so no running step of this party owns them."""
    spills = [os.path.join(home, e) for e in os.listdir(home) if e.startswith(SPILL_PREFIX)]
    for spill in spills:
        shutil.rmtree(spill, ignore_errors=True)
    partials = _partials(home)
    if handover is not None:
        partials += _partials(handover, set(handover_names))
    for path in outputs:
        partials += _partials(os.path.dirname(os.path.abspath(path)), {os.path.basename(path)})
    for path in partials:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(path)
    if spills:
        reporter.warn(f"removed {', '.join(spills)}: the spilled rows of an earlier build that was stopped")
    if partials:
        reporter.warn(f"removed {', '.join(sorted(set(partials)))}: partial files of an earlier step that was "
                      "stopped")


def _kept_input(path, field):
    """The input path a state file records in its header `field`, or None."""
    value = _header_field(path, field)
    return value if isinstance(value, str) else None


def make_home(home):
    """The home folder for new keys: made owner-only, or an existing folder
    that is owner-only already."""
    if os.path.lexists(home) and not os.path.isdir(home):
        raise StepError(f"--home {home} is a file, not a folder; give a folder (it is made if missing)")
    try:
        os.makedirs(home, mode=0o700, exist_ok=True)
    except OSError as error:
        raise StepError(f"cannot make the folder {home}: {error.strerror}") from None
    check_private(home)


@contextlib.contextmanager
def party_step(party, step, home, handover, reporter, outputs=(), force=False):
    """The checks and the lock around one party's step: `outputs` are the
    output files the user named, as (option, path, default path); they never
    replace the operator's transactions, named in its transaction ids."""
    name = f"{party} {step}"
    if not os.path.isdir(home):
        if os.path.lexists(home):
            raise StepError(f"--home {home} is not a folder; give this party's folder")
        yield  # the step's own key check says how to make the folder
        return
    check_private(home)
    role = key_role(home)
    named = [(option, path) for option, path, _ in outputs]
    check_layout(home, role, handover, named)
    inputs = []
    if named:
        inputs.append(_kept_input(os.path.join(home, "transactions.ids"), "transactions"))
    check_outputs(named, force=force, own=[default for _, _, default in outputs], home=home, inputs=inputs)
    with locked(home, name):
        names = [n.format(role=role) for n in HANDOVER_OUTPUTS.get((party, step), ())]
        clear_leftovers(home, reporter, handover, names, [path for _, path, _ in outputs])
        yield


@contextlib.contextmanager
def keys_step(role, home, reporter):
    """The checks and the lock around making a party's keys in `home`."""
    check_layout(home, role)
    make_home(home)
    with locked(home, "keys"):
        clear_leftovers(home, reporter)
        yield
