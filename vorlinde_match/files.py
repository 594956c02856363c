"""The files the parties keep and hand over, and writing them safely.

Every file this package writes (keys, stores, record and point streams, the
operator's kept streams) is one format: a 4096-byte header followed by the
payload. The header is the ASCII text ``vorlinde-match/1 `` and a JSON object,
padded with spaces and ended by a newline in its last byte. The JSON says what
the payload is (``kind``), which party wrote it (``role``), how long it is
(``bytes``) and its BLAKE2b-256 digest (``blake2b``), plus what each kind needs
(the run it belongs to, record counts, the partitions of a store). A fixed
header lets a step stream its payload out and fill the header in last.

Outputs are written under a temporary name in the destination folder and
renamed only when the whole step has succeeded, so an interrupted or failed
step leaves nothing behind that a later step could mistake for a result.
"""

import contextlib
import csv
import errno
import hashlib
import io
import json
import os
import secrets
import signal
import stat
import threading

from .errors import StepError
from .stages import pause

MAGIC = b"vorlinde-match/1 "
HEADER_SIZE = 4096
KEY_SIZE = 32
RECORD_SIZE = 128  # one query record (two ciphertexts)
POINT_SIZE = 32

# The order of the group of edwards25519: a secret key is a scalar modulo L.
GROUP_ORDER = 2**252 + 27742317777372353535851937790883648493

ROLES = ("sender-bank", "receiver-bank", "operator")
BANKS = ("sender-bank", "receiver-bank")


def role_name(role):
    return role.replace("-", " ")


def _digest():
    return hashlib.blake2b(digest_size=32)


def _header_bytes(meta):
    text = MAGIC + json.dumps(meta, sort_keys=True, separators=(",", ":")).encode("ascii")
    if len(text) > HEADER_SIZE - 1:
        raise StepError(f"a file header would take {len(text)} bytes, more than {HEADER_SIZE - 1}")
    return text + b" " * (HEADER_SIZE - 1 - len(text)) + b"\n"


def read_header(path, kind):
    """The header of `path` as a dict, after checking that the file holds a
    `kind` whose payload has the length its header states."""
    try:
        with open(path, "rb") as f:
            head = f.read(HEADER_SIZE)
            size = os.fstat(f.fileno()).st_size
    except FileNotFoundError:
        raise StepError(f"{path}: no such file") from None
    except OSError as error:
        raise StepError(f"cannot read {path}: {error.strerror}") from None
    if not head.startswith(MAGIC):
        raise StepError(f"{path} is not a vorlinde-match file")
    try:
        meta = json.loads(head[len(MAGIC):].decode("ascii"))
    except (UnicodeDecodeError, ValueError):
        raise StepError(f"{path} has a damaged header; ask its sender for it again") from None
    if meta.get("kind") != kind:
        raise StepError(f"{path} holds a {meta.get('kind')}, not a {kind}")
    expected = HEADER_SIZE + meta.get("bytes", -1)
    if size != expected:
        raise StepError(f"{path} has {size - HEADER_SIZE} bytes of payload where its header says "
                        f"{meta.get('bytes')}: it was cut short or altered; ask its sender for it again")
    return meta


def read_payload(path, meta):
    """The whole payload of `path`, checked against its digest."""
    with open(path, "rb") as f:
        f.seek(HEADER_SIZE)
        data = f.read()
    if _digest_of(data) != meta.get("blake2b"):
        raise StepError(f"{path} does not match its digest: it was altered or damaged; ask its sender for it again")
    return data


def _digest_of(data):
    h = _digest()
    h.update(data)
    return h.hexdigest()


class StreamReader:
    """Reads a payload of fixed-size items in chunks, checking the digest when
    the last chunk has been read (`close` raises if it does not match)."""

    def __init__(self, path, meta, item_size):
        self.path, self.meta, self.item_size = path, meta, item_size
        if meta["bytes"] % item_size:
            raise StepError(f"{path} holds {meta['bytes']} bytes, not a whole number of {item_size}-byte items")
        self.count = meta["bytes"] // item_size
        self._file = open(path, "rb")
        self._file.seek(HEADER_SIZE)
        self._digest = _digest()

    def read(self, items):
        pause("reading")
        data = self._file.read(items * self.item_size)
        self._digest.update(data)
        return data

    def chunks(self, items_per_chunk):
        left = self.count
        while left:
            take = min(items_per_chunk, left)
            yield self.read(take)
            left -= take

    def verify(self):
        rest = self._file.read()
        self._digest.update(rest)
        if rest or self._digest.hexdigest() != self.meta.get("blake2b"):
            raise StepError(f"{self.path} does not match its digest: it was altered or damaged; "
                            "ask its sender for it again")

    def close(self):
        self._file.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class IdReader:
    """The operator's transaction ids (a `transaction-ids` file, one CSV row
    per query, written by `operator query`), in query order, read as needed."""

    def __init__(self, path, meta):
        self.path = path
        self._reader = StreamReader(path, meta, 1)
        self._text = io.TextIOWrapper(_RawPayload(self._reader), encoding="utf-8", newline="")
        self._rows = csv.reader(self._text)

    def take(self, n):
        out = []
        for _ in range(n):
            row = next(self._rows, None)
            if row is None or len(row) != 1:
                raise StepError(f"{self.path} has fewer transaction ids than queries; rerun `operator query`")
            out.append(row[0])
        return out

    def finish(self):
        if next(self._rows, None) is not None:
            raise StepError(f"{self.path} has more transaction ids than queries; rerun `operator query`")
        self._reader.verify()

    def close(self):
        self._reader.close()


class _RawPayload(io.RawIOBase):
    """A `StreamReader`'s payload as a binary file, for a text wrapper; the
    digest is still checked by the reader's `verify`."""

    def __init__(self, reader):
        self._reader = reader
        self._left = reader.count

    def readable(self):
        return True

    def readinto(self, buffer):
        n = min(len(buffer), self._left)
        data = self._reader.read(n)
        buffer[:len(data)] = data
        self._left -= len(data)
        return len(data)


# Every output path this process has put in place, in order: what a step
# interrupted after (part of) its commit has written.
COMMITTED = []


def write_failure(path, error):
    """The StepError for an OSError while writing `path`."""
    if error.errno in (errno.ENOSPC, errno.EDQUOT):
        return StepError(f"cannot write {path}: no space left on its disk; free some space and run the step again")
    return StepError(f"cannot write {path}: {error.strerror or error}")


@contextlib.contextmanager
def _signals_held():
    """Holds SIGINT and SIGTERM until the block ends, then delivers them to
    the handlers of before: the renames of a commit are not cut in two. (A
    handler, not a signal mask: another thread would take a masked signal.)"""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    caught = []
    held = (signal.SIGINT, signal.SIGTERM)
    previous = {}
    try:
        for s in held:
            previous[s] = signal.signal(s, lambda number, frame: caught.append(number))
        yield
    finally:
        for s, handler in previous.items():
            signal.signal(s, handler)
        for number in dict.fromkeys(caught):
            signal.raise_signal(number)


class Outputs:
    """A step's output files, written under temporary names beside their
    destinations and renamed into place by `commit`; on any exit without
    commit (an error, Ctrl-C) the temporary files are removed."""

    def __init__(self):
        self._pending = []  # (temporary path, final path)

    def _temporary(self, path, mode=0o644):
        folder = os.path.dirname(os.path.abspath(path))
        if not os.path.isdir(folder):
            raise StepError(f"cannot write {path}: folder {folder} does not exist")
        temp = os.path.join(folder, f".{os.path.basename(path)}.partial-{secrets.token_hex(4)}")
        try:
            fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, mode)
        except OSError as error:
            raise write_failure(path, error) from None
        self._pending.append((temp, path))
        return fd

    def stream(self, path, meta, mode=0o644):
        """A `StreamWriter` for a payload written in pieces; its header is
        `meta` plus length and digest."""
        return StreamWriter(os.fdopen(self._temporary(path, mode), "wb"), meta, path)

    def whole(self, path, meta, payload, mode=0o644):
        with self.stream(path, meta, mode) as writer:
            writer.write(payload)

    def text(self, path, encoding="utf-8", newline=""):
        """A text file (a CSV or a summary) with no header."""
        return TextWriter(os.fdopen(self._temporary(path), "w", encoding=encoding, newline=newline), path)

    def commit(self):
        """Renames every output into place, with Ctrl-C and SIGTERM held
        until the last; a rename that fails names what was put in place."""
        done = []
        with _signals_held():
            try:
                for temp, path in self._pending:
                    pause("renaming")
                    try:
                        os.replace(temp, path)
                    except OSError as error:
                        written = f"{', '.join(done)} were written already" if done else "nothing was written"
                        raise StepError(f"cannot put {path} in place: {error.strerror}; {written}; "
                                        "run the step again") from None
                    done.append(path)
                    COMMITTED.append(path)
            finally:
                self._pending = [(temp, path) for temp, path in self._pending if path not in done]

    def discard(self):
        for temp, _ in self._pending:
            try:
                os.unlink(temp)
            except FileNotFoundError:
                pass
        self._pending = []

    def __enter__(self):
        return self

    def __exit__(self, kind, value, trace):
        if kind is None:
            try:
                self.commit()
            finally:
                self.discard()
        else:
            self.discard()


class StreamWriter:
    def __init__(self, file, meta, path=None):
        self._file, self.meta, self.path = file, dict(meta), path
        self._digest = _digest()
        self.bytes = 0
        self._put(b"\0" * HEADER_SIZE)

    def _put(self, data):
        try:
            self._file.write(data)
        except OSError as error:
            raise write_failure(self.path, error) from None

    def write(self, data):
        pause("writing")
        self._put(data)
        self._digest.update(data)
        self.bytes += len(data)

    def close(self):
        if self._file.closed:
            return
        self.meta.update(bytes=self.bytes, blake2b=self._digest.hexdigest())
        try:
            self._file.seek(0)
            self._file.write(_header_bytes(self.meta))
            self._file.close()
        except OSError as error:
            raise write_failure(self.path, error) from None

    def abandon(self):
        """Closes the file without completing it (its Outputs removes it)."""
        with contextlib.suppress(OSError):
            self._file.close()

    def __enter__(self):
        return self

    def __exit__(self, kind, *exc):
        if kind is None:
            self.close()
        else:
            self.abandon()


class TextWriter:
    """A text output file whose write failures name it."""

    def __init__(self, file, path):
        self._file, self.path = file, path
        pause("writing")

    def write(self, text):
        try:
            return self._file.write(text)
        except OSError as error:
            raise write_failure(self.path, error) from None

    def close(self):
        try:
            self._file.close()
        except OSError as error:
            raise write_failure(self.path, error) from None

    def __enter__(self):
        return self

    def __exit__(self, kind, *exc):
        if kind is None:
            self.close()
        else:
            with contextlib.suppress(OSError):
                self._file.close()


# Keys -----------------------------------------------------------------------

SECRET_KEY_FILE, PUBLIC_KEY_FILE = "secret.key", "public.key"


def write_keys(home, role, public_key, secret_key):
    """Writes the party's key pair into its folder `home`; the secret key is
    readable by its owner only. Refuses to replace existing keys."""
    if os.path.lexists(home) and not os.path.isdir(home):
        raise StepError(f"--home {home} is a file, not a folder; give a folder (it is made if missing)")
    try:
        os.makedirs(home, mode=0o700, exist_ok=True)
    except OSError as error:
        raise StepError(f"cannot make the folder {home}: {error.strerror}") from None
    paths = [os.path.join(home, name) for name in (SECRET_KEY_FILE, PUBLIC_KEY_FILE)]
    for path in paths:
        if os.path.exists(path):
            raise StepError(f"{path} exists already; remove it first to make new keys (the old ones stop working)")
    with Outputs() as out:
        out.whole(paths[0], {"kind": "secret-key", "role": role}, secret_key, mode=0o600)
        out.whole(paths[1], {"kind": "public-key", "role": role}, public_key)


def _check_role(path, meta, roles):
    if meta.get("role") not in roles:
        wanted = " or ".join(role_name(r) for r in roles)
        raise StepError(f"{path} belongs to the {role_name(str(meta.get('role')))}, but this step is the {wanted}'s; "
                        "use that party's own folder (--home)")


def read_key(home, roles, secret):
    """The party's role and its secret (or public) key from `home`, checked:
    the file belongs to one of `roles`, is 32 bytes long and, if secret, is
    readable by its owner only."""
    path = os.path.join(home, SECRET_KEY_FILE if secret else PUBLIC_KEY_FILE)
    kind = "secret-key" if secret else "public-key"
    if not os.path.exists(path):
        raise StepError(f"{path}: no such file; make this party's keys first with "
                        f"`vorlinde-match keys --role ROLE --home {home}`")
    if secret and os.path.exists(path):
        mode = stat.S_IMODE(os.stat(path).st_mode)
        if mode & 0o077:
            raise StepError(f"{path} can be read by other users (mode {mode:04o}); "
                            f"run `chmod 600 {path}` and check who has seen it")
    meta = read_header(path, kind)
    _check_role(path, meta, roles)
    key = read_payload(path, meta)
    if len(key) != KEY_SIZE:
        raise StepError(f"{path} holds {len(key)} bytes, not a {KEY_SIZE}-byte key; "
                        "make new keys with `vorlinde-match keys`")
    if not valid_key(key, secret):
        raise StepError(f"{path} is not a valid key (it is all zeros{', or zero as a scalar' if secret else ''}); "
                        f"remove {home}'s keys and make new ones with `vorlinde-match keys`")
    return meta["role"], key


def valid_key(key, secret):
    """False for a key that cannot be one: all zero bytes, or for a secret
    key, a scalar that is zero modulo the group order (read little-endian,
    bit 255 cleared), which would send every point to the identity."""
    if secret:
        return (int.from_bytes(key, "little") & ((1 << 255) - 1)) % GROUP_ORDER != 0
    return any(key)


def check_from(path, meta, role):
    """Checks that the handed-over file `path` was written by `role`."""
    if meta.get("role") != role:
        raise StepError(f"{path} comes from the {role_name(str(meta.get('role')))}, not the {role_name(role)}; "
                        f"ask the {role_name(role)} for its own file")


def check_run(path, meta, run):
    if meta.get("run") != run:
        raise StepError(f"{path} belongs to another matching run ({meta.get('run')}, this one is {run}); "
                        "rerun the step that writes it on this run's files")
