"""The files the parties keep and hand over, and writing them safely.

Every file this package writes (keys, stores, record and point streams, the
operator's kept streams) is one format: a header followed by the payload. The
header starts with the ASCII text ``vorlinde-match/3 ``, the header's own
length in seven decimal digits and a space; a JSON object follows, padded with
spaces, and the header's last byte is a newline. The length is a multiple of
4096 and at most MAX_HEADER, and is checked before anything else is read, so a
hostile header cannot make a reader allocate more than that. The JSON says
what the payload is (``kind``), which party wrote it (``role``), how long it
is (``bytes``) and its BLAKE2b-256 digest (``blake2b``), plus what each kind
needs (see SCHEMAS). A writer reserves the header's length before it streams
the payload out and fills the header in last.

Every handed-over file also records the chain it belongs to: the digests of
the handed-over files it was computed from (``made_from``) and the
fingerprints of the public keys used (``keys``), so that each step can refuse
a file that is stale or belongs to another key. Digests of a party's own
input tables never appear in a header.

A handed-over file is sealed and signed (sealing.py): its payload is a
secretstream body that only its recipients can open, its header also names
the writer's identity (``signer``) and, per recipient, its identity and the
file key sealed to it (``recipients``), ``bytes`` and ``blake2b`` describe
the body as stored, and the header ends in the writer's Ed25519 signature of
everything before it: 128 hex digits before the final newline, after a
space. The files a party keeps in its own folder are not sealed.

Outputs are written under a temporary name in the destination folder and
renamed only when the whole step has succeeded, so an interrupted or failed
step leaves nothing behind that a later step could mistake for a result.
"""

import contextlib
import csv
import errno
import hashlib
import io
import itertools
import json
import operator
import os
import re
import secrets
import signal
import stat
import threading

import vorlinde

from . import sealing
from .errors import StepError
from .handover import HandoverFile, open_for_reading
from .stages import pause

FAMILY = b"vorlinde-match/"
MAGIC = b"vorlinde-match/3 "
OLD_MAGICS = (b"vorlinde-match/1 ", b"vorlinde-match/2 ")
# Key files of format 2 are laid out as format 3's unsigned files, and are
# read on: a folder of the earlier version keeps its keys and gets an
# identity with `keys --add-identity`.
KEY_MAGICS = (MAGIC, b"vorlinde-match/2 ")
KEY_KINDS = ("secret-key", "public-key")
LENGTH_DIGITS = 7
PREFIX_SIZE = len(MAGIC) + LENGTH_DIGITS + 1
HEADER_UNIT = 4096
MAX_HEADER = 1 << 20
# Room a writer keeps in its header for the fields it fills in last (bytes,
# digest, count, handed_over: under 400 bytes).
HEADER_SLACK = 1024
KEY_SIZE = 32
# Bytes of a sealed body read or written at a time: sixteen sealed chunks,
# so that a step makes a system call and a hash update per megabyte, not per
# chunk.
BLOCK = 16 * (sealing.CHUNK + sealing.CHUNK_OVERHEAD)
RECORD_SIZE = 128  # one query record (two ciphertexts)
POINT_SIZE = 32

# The order of the group of edwards25519: a secret key is a scalar modulo L.
GROUP_ORDER = 2**252 + 27742317777372353535851937790883648493

ROLES = ("sender-bank", "receiver-bank", "operator")
BANKS = ("sender-bank", "receiver-bank")
# The fixed names of the files in the handover folder.
HANDED_OVER = ("sender-bank.store", "receiver-bank.store", "operator.queries", "sender-bank.randomized",
               "receiver-bank.randomized", "operator.for-sender-bank", "operator.for-receiver-bank",
               "sender-bank.decrypted", "receiver-bank.decrypted")
# Bounds on what a header may state, far beyond any real run; each header
# field is checked against them before it is used.
MAX_PAYLOAD = 1 << 50
MAX_COLUMNS = 1000
# A store's partition table takes at most 17 bytes per partition in the
# header, so this many fit within MAX_HEADER.
MAX_PARTITIONS = 1 << 15
FINGERPRINT_HEX = 32
# A signed header's end: a space, the signature in hex and the newline.
SIGNATURE_TRAILER = 1 + 2 * sealing.SIGNATURE_BYTES + 1
# secret * G for the base point G: the public key of a secret key.
BASEPOINT = bytes.fromhex("5866666666666666666666666666666666666666666666666666666666666666")


def role_name(role):
    return role.replace("-", " ")


def again(step, party=None):
    """What to do about a file that must be made anew by `step`: run it
    again, or ask `party` (another party than the reader) to."""
    if party is None:
        return f"run `vorlinde-match {step}` again"
    return f"ask the {role_name(party)} to run `vorlinde-match {step}` again"


def key_fingerprint(public_key):
    """A public key as headers record it: the first 128 bits of the BLAKE2b-256
    digest of its 32 bytes, in hex."""
    return hashlib.blake2b(public_key, digest_size=32).hexdigest()[:FINGERPRINT_HEX]


def public_key_of(secret_key):
    """The public key (secret * G) that belongs to `secret_key`."""
    return vorlinde.decrypt(BASEPOINT, secret_key)


def _digest():
    return hashlib.blake2b(digest_size=32)


def _json(meta):
    return json.dumps(meta, sort_keys=True, separators=(",", ":")).encode("ascii")


def _header_size(path, meta, trailer=1):
    """The header length to reserve for `meta` before its last fields are in;
    `trailer`: the bytes after the padding (the newline, or a signature)."""
    needed = PREFIX_SIZE + len(_json(meta)) + HEADER_SLACK + trailer
    size = -(-needed // HEADER_UNIT) * HEADER_UNIT
    if size > MAX_HEADER:
        raise StepError(f"{path}: its header would take {needed:,} bytes, more than the {MAX_HEADER:,} a header "
                        "may take; write fewer partitions")
    return size


def _header_bytes(path, meta, size, signer=None):
    """The header of `size` bytes holding `meta`; with `signer` (a party's
    sealing.Secrets), ending in its signature of all bytes before it."""
    trailer = SIGNATURE_TRAILER if signer is not None else 1
    text = MAGIC + b"%0*d " % (LENGTH_DIGITS, size) + _json(meta)
    if len(text) > size - trailer:
        raise StepError(f"{path}: its header would take {len(text) + trailer:,} bytes, more than the {size:,} "
                        "reserved for it; this is a fault of vorlinde-match, please report it")
    if signer is None:
        return text + b" " * (size - 1 - len(text)) + b"\n"
    signed = text + b" " * (size - trailer + 1 - len(text))
    return signed + signer.sign(signed).hex().encode("ascii") + b"\n"


def file_bytes(path, meta, payload):
    """A whole small file (header and payload), for files written at once."""
    meta = {**meta, "bytes": len(payload), "blake2b": _digest_of(payload)}
    return _header_bytes(path, meta, _header_size(path, meta)) + payload


# Header schemas ---------------------------------------------------------------
#
# Each field: a test of its value and what it must be, for the message. JSON
# gives only str, int, float, bool, None, list and dict; the tests name the
# exact types they accept (bool is not a whole number here), so a parsed
# header that passes holds nothing nested deeper than its schema.

class _Field:
    def __init__(self, test, what):
        self.test, self.what = test, what


def _whole(low, high):
    return _Field(lambda v: type(v) is int and low <= v <= high, f"a whole number from {low:,} to {high:,}")


_HEX = re.compile(r"[0-9a-f]*")


def _hex(digits):
    return _Field(lambda v: type(v) is str and len(v) == digits and _HEX.fullmatch(v) is not None,
                  f"{digits} hexadecimal digits")


def _one_of(values):
    return _Field(lambda v: type(v) is str and v in values, "one of " + ", ".join(values))


def _text(most):
    return _Field(lambda v: type(v) is str and 0 < len(v) <= most, f"a text of 1 to {most} characters")


def _table(names, value, what):
    return _Field(lambda v: type(v) is dict and all(k in names and value.test(x) for k, x in v.items()), what)


def _list(item, most):
    return _Field(lambda v: type(v) is list and 0 < len(v) <= most and all(item.test(x) for x in v),
                  f"a list of 1 to {most:,} items, each {item.what}")


def _recipients(item):
    return _Field(lambda v: type(v) is dict and 0 < len(v) and all(
        k in ROLES and type(x) is dict and set(x) == set(item) and all(item[n].test(x[n]) for n in item)
        for k, x in v.items()), "an object from roles to their identity fingerprint and sealed file key")


KINDS = ("secret-key", "public-key", "signing-key", "sealing-key", "store", "records", "points", "transaction-ids")
_COMMON = {"kind": _one_of(KINDS), "role": _one_of(ROLES), "bytes": _whole(0, MAX_PAYLOAD), "blake2b": _hex(64)}
_DIGESTS = _table(HANDED_OVER, _hex(64), "an object from handed-over file names to 64-hex-digit digests")
_KEYS = _table(ROLES, _hex(FINGERPRINT_HEX), f"an object from roles to {FINGERPRINT_HEX}-hex-digit fingerprints")
_STREAM = {"run": _hex(16), "count": _whole(0, MAX_PAYLOAD), "made_from": _DIGESTS, "keys": _KEYS}
# The fields of every sealed (handed-over) file, beside its kind's.
_SEALED = {"signer": _hex(sealing.IDENTITY_FINGERPRINT_HEX),
           "recipients": _recipients({"identity": _hex(sealing.IDENTITY_FINGERPRINT_HEX),
                                      "file_key": _hex(2 * sealing.SEALED_KEY_BYTES)})}
# kind -> (required fields, optional fields), beside the common ones.
SCHEMAS = {
    "secret-key": ({}, {}),
    "public-key": ({}, {}),
    "signing-key": ({}, {}),
    "sealing-key": ({}, {}),
    "store": ({"columns": _whole(1, MAX_COLUMNS), "partitions": _whole(1, MAX_PARTITIONS),
               "parts": _list(_whole(1, MAX_PAYLOAD), MAX_PARTITIONS), "keys": _KEYS},
              {"partition_seed": _hex(32), "keys_per_partition": _whole(1, MAX_PAYLOAD)}),
    "records": (_STREAM, {}),
    "points": ({**_STREAM, "to": _one_of(ROLES)}, {"part": _one_of(("gamma", "delta")), "handed_over": _DIGESTS}),
    "transaction-ids": ({**_STREAM, "column": _text(1000)}, {"empty_sides": _whole(0, MAX_PAYLOAD),
                                                                "transactions": _text(1 << 16)}),
}
ITEM_SIZES = {"records": RECORD_SIZE, "points": POINT_SIZE}
_FIRST = operator.itemgetter(0)


class Header(dict):
    """A file's header fields, `size`: the header's length in the file (where
    the payload starts), and for a sealed file `signed` (the header's bytes
    before its signature) and `signature`."""

    size = 0
    sealed = False
    signed = signature = None


def _unique_fields(pairs):
    fields = {}
    for name, value in pairs:
        if name in fields:
            raise ValueError("a field appears twice")
        fields[name] = value
    return fields


def _no_constant(name):
    raise ValueError(f"{name} is not JSON")


_SIGNATURE = re.compile(rb" [0-9a-f]{%d}\n" % (2 * sealing.SIGNATURE_BYTES))


def _parse(path, head, again_hint, sealed=False):
    """The JSON object of a header (at most MAX_HEADER bytes, so the parse is
    bounded; nesting past the interpreter's depth fails as RecursionError);
    a sealed file's header must end in a signature, which is left out."""
    damaged = f"{path} has a damaged header; the file is damaged or was altered: {again_hint}"
    if head[-1:] != b"\n":
        raise StepError(damaged)
    end = len(head) - 1
    if sealed:
        if not _SIGNATURE.fullmatch(head, len(head) - SIGNATURE_TRAILER):
            raise StepError(f"{path} has no signature at the end of its header: it is not a signed file of this "
                            f"vorlinde-match, or was altered; {again_hint}")
        end = len(head) - SIGNATURE_TRAILER
    try:
        meta = json.loads(head[PREFIX_SIZE:end].decode("ascii"), object_pairs_hook=_unique_fields,
                          parse_constant=_no_constant)
    except (UnicodeDecodeError, ValueError, RecursionError):
        raise StepError(damaged) from None
    if type(meta) is not dict:
        raise StepError(f"{path} has a header that is not a JSON object; the file is damaged or was altered: "
                        f"{again_hint}")
    return meta


def _check_fields(path, meta, kind, again_hint, sealed=False):
    """Every field of the header has the type and range of its kind's schema
    (and, for a sealed file, of the fields every sealed file has)."""
    def refuse(problem):
        raise StepError(f"{path}: {problem}; the file is damaged or was altered: {again_hint}")

    found = meta.get("kind")
    if not _COMMON["kind"].test(found):
        refuse(f"header field 'kind' is not {_COMMON['kind'].what}")
    if found != kind:
        raise StepError(f"{path} holds a {found}, not a {kind}; {again_hint}")
    required, optional = SCHEMAS[kind]
    required = {**_COMMON, **required, **(_SEALED if sealed else {})}
    for name in required:
        if name not in meta:
            refuse(f"header field {name!r} is missing")
    for name, value in meta.items():
        field = required.get(name) or optional.get(name)
        if field is None:
            refuse(f"header field {name[:40]!r} is not one this version knows")
        if not field.test(value):
            refuse(f"header field {name!r} is not {field.what}")


def _plain_size(meta):
    """The plaintext length a header states, where its kind states one."""
    if meta["kind"] in ITEM_SIZES:
        return meta["count"] * ITEM_SIZES[meta["kind"]]
    if meta["kind"] == "store":
        return sum(meta["parts"])
    return None


def _check_sizes(path, meta, payload, again_hint):
    """The sizes the header states agree with each other and with the file,
    before anything is allocated from them."""
    def refuse(problem):
        raise StepError(f"{path}: {problem}; the file is damaged or was altered: {again_hint}")

    if payload != meta["bytes"]:
        raise StepError(f"{path} has {payload:,} bytes of payload where its header says {meta['bytes']:,}: it was "
                        f"cut short or altered; {again_hint}")
    kind = meta["kind"]
    # A sealed body holds its plaintext and the stream's overhead.
    stored = sealing.sealed_size if meta.sealed else (lambda plain: plain)
    if kind in ITEM_SIZES and stored(meta["count"] * ITEM_SIZES[kind]) != meta["bytes"]:
        refuse(f"its header says {meta['count']:,} items of {ITEM_SIZES[kind]} bytes, but "
               f"{meta['bytes']:,} bytes of {'sealed ' if meta.sealed else ''}payload")
    if kind == "store":
        if len(meta["parts"]) != meta["partitions"]:
            refuse(f"its partition table has {len(meta['parts']):,} lengths where its header says "
                   f"{meta['partitions']:,} partitions")
        if stored(sum(meta["parts"])) != meta["bytes"]:
            refuse(f"its partitions add up to {sum(meta['parts']):,} bytes, but the payload has {meta['bytes']:,}"
                   f"{' sealed' if meta.sealed else ''}")
        if (meta["partitions"] > 1) != ("partition_seed" in meta):
            refuse("its header has a partition seed where it has one partition, or none where it has more")
        if set(meta["keys"]) != {meta["role"]}:
            refuse("its header does not record the fingerprint of its bank's key")
    elif kind in ITEM_SIZES or kind == "transaction-ids":
        if meta.get("empty_sides", 0) > meta["count"]:
            refuse(f"its header says {meta['empty_sides']:,} transactions with an empty side of {meta['count']:,}")
        if set(meta["keys"]) != set(ROLES):
            refuse("its header does not record the fingerprints of all three parties' keys")


def read_header(path, kind, again_hint="ask its sender for it again", sealed=False):
    """The header of `path`, after checking that the file holds a `kind`, that
    every header field has its schema's type and range and that the payload
    has the length the header states. `sealed`: the file is a handed-over one
    (its signature is checked by `read_handed_over`, not here). Every failure
    names the file and ends with `again_hint` (what to do, see `again`)."""
    try:
        f, size = open_for_reading(path, again_hint)
        with f:
            prefix = f.read(PREFIX_SIZE)
            length = _header_length(path, prefix, size, again_hint, KEY_MAGICS if kind in KEY_KINDS else (MAGIC,))
            head = prefix + f.read(length - PREFIX_SIZE)
    except FileNotFoundError:
        raise StepError(f"{path}: no such file") from None
    except OSError as error:
        raise StepError(f"cannot read {path}: {error.strerror}") from None
    meta = Header(_parse(path, head, again_hint, sealed))
    meta.size, meta.sealed = length, sealed
    if sealed:
        meta.signed, meta.signature = head[:-SIGNATURE_TRAILER + 1], bytes.fromhex(
            head[-SIGNATURE_TRAILER + 1:-1].decode("ascii"))
    _check_fields(path, meta, kind, again_hint, sealed)
    _check_sizes(path, meta, size - length, again_hint)
    return meta


def _header_length(path, prefix, size, again_hint, accepted=(MAGIC,)):
    if not prefix.startswith(accepted):
        if prefix.startswith(OLD_MAGICS):
            raise StepError(f"{path} is in the file format of an earlier vorlinde-match; {again_hint}")
        if prefix.startswith(b"vorlinde-match/"):
            version = prefix[len(b"vorlinde-match/"):].split(b" ", 1)[0][:10].decode("ascii", "replace")
            raise StepError(f"{path} is in a file format this vorlinde-match does not know (version {version!r}; "
                            f"this one reads {MAGIC.decode().strip().split('/')[1]}): update vorlinde-match, or "
                            f"{again_hint}")
        raise StepError(f"{path} is not a vorlinde-match file; {again_hint}")
    digits = prefix[len(MAGIC):len(MAGIC) + LENGTH_DIGITS]  # every accepted magic has MAGIC's length
    if len(prefix) < PREFIX_SIZE or not digits.isdigit() or prefix[-1:] != b" ":
        raise StepError(f"{path} has a damaged header; {again_hint}")
    length = int(digits)
    if length % HEADER_UNIT or not HEADER_UNIT <= length <= MAX_HEADER or length > size:
        raise StepError(f"{path} has a damaged header: it states a header length of {length:,} bytes, which is "
                        f"not a multiple of {HEADER_UNIT} up to {MAX_HEADER:,} within the file's {size:,}; "
                        f"{again_hint}")
    return length


def read_payload(path, meta, file_key=None, again_hint="ask its sender for it again"):
    """The whole payload of `path`, checked against its digest; a sealed
    file's plaintext, opened with `file_key` (see `read_handed_over`)."""
    if meta.sealed:
        with StreamReader(path, meta, 1, file_key, again_hint) as reader:
            data = reader.read(reader.count)
            reader.verify()
        return data
    with open_for_reading(path)[0] as f:
        f.seek(meta.size)
        data = f.read(meta["bytes"] + 1)
    if len(data) != meta["bytes"] or _digest_of(data) != meta.get("blake2b"):
        raise StepError(f"{path} does not match its digest: it was altered or damaged; ask its sender for it again")
    return data


def _digest_of(data):
    h = _digest()
    h.update(data)
    return h.hexdigest()


class _PlainBody:
    """A payload as stored, hashed as it is read."""

    def __init__(self, file, meta):
        self._file, self._digest = file, _digest()
        self._left = meta["bytes"]

    def read(self, n):
        data = self._file.read(min(n, self._left))
        self._left -= len(data)
        self._digest.update(data)
        return data

    def pieces(self, n):
        yield self.read(n)

    def rest(self):
        """Reads to the end of the file; returns whether anything was left."""
        more = False
        while block := self._file.read(1 << 20):
            more = more or self._left < len(block)
            self._left -= min(self._left, len(block))
            self._digest.update(block)
        return more

    def digest(self):
        return self._digest.hexdigest()

    def complete(self):
        return self._left == 0


class _SealedBody:
    """A sealed body, hashed as stored and opened chunk by chunk; a chunk that
    does not authenticate raises StepError at once, and `complete` says
    whether the final chunk was opened."""

    def __init__(self, file, meta, file_key, path, hint):
        self._file, self._digest, self.path, self.hint = file, _digest(), path, hint
        lengths = sealing.chunk_lengths(meta["bytes"])
        if lengths is None:  # excluded by the header's size check
            raise StepError(f"{path}: its body has a length no sealed body has; {hint}")
        header = self._file.read(sealing.STREAM_HEADER)
        self._digest.update(header)
        try:
            self._opener = sealing.Opener(file_key, header)
        except ValueError as error:
            raise StepError(f"{path}: {error}; {hint}") from None
        self._lengths = iter(lengths)
        self._left = len(lengths)
        self._rest = b""
        self._unread = meta["bytes"] - sealing.STREAM_HEADER  # of the body, never more: a reader checks its end
        self._block, self._at = memoryview(b""), 0

    def _stored(self, length):
        """The next `length` bytes of the body as stored (fewer at its end),
        read and hashed BLOCK bytes at a time."""
        if len(self._block) - self._at < length and self._unread:
            more = self._file.read(min(self._unread, max(BLOCK, length)))
            self._unread -= len(more)
            if not more:
                self._unread = 0
            self._digest.update(more)
            self._block, self._at = memoryview(bytes(self._block[self._at:]) + more), 0
        chunk = self._block[self._at:self._at + length]
        self._at += len(chunk)
        return chunk

    def _next(self):
        length = next(self._lengths)
        self._left -= 1
        chunk = self._stored(length)
        if len(chunk) != length:
            raise StepError(f"{self.path} was cut short while it was read; {self.hint}")
        try:
            return self._opener.open(chunk, self._left == 0)
        except ValueError as error:
            raise StepError(f"{self.path}: {error}; {self.hint}") from None

    def pieces(self, n):
        """The next `n` bytes of plaintext (fewer at the end), as the pieces
        they open in."""
        if self._rest:
            piece, self._rest = self._rest[:n], self._rest[n:]
            n -= len(piece)
            yield piece
        while n > 0 and self._left:
            plain = self._next()
            if len(plain) > n:
                plain, self._rest = plain[:n], plain[n:]
            n -= len(plain)
            yield plain

    def read(self, n):
        # Pieces joined once: a whole store read at once is held twice at
        # most (the pieces and the joined bytes), as a plain read's slices.
        return b"".join(self.pieces(n))

    def rest(self):
        while self._left:
            self._next()
        more = bool(self._rest) or self._at < len(self._block) or bool(self._file.read(1))
        self._rest = b""
        return more

    def digest(self):
        return self._digest.hexdigest()

    def complete(self):
        return self._opener.ended


class StreamReader:
    """Reads a payload of fixed-size items in chunks, checking the digest when
    the last chunk has been read (`verify` raises if it does not match). A
    sealed file (meta.sealed) is opened with `file_key` as it is read: every
    chunk handed out has authenticated, but only `verify` tells that the body
    was whole, so a step commits nothing before it."""

    def __init__(self, path, meta, item_size, file_key=None, again_hint="ask its sender for it again"):
        self.path, self.meta, self.item_size, self.hint = path, meta, item_size, again_hint
        plain = _plain_size(meta) if meta.sealed else meta["bytes"]
        if plain is None or plain % item_size:
            raise StepError(f"{path} holds {meta['bytes']:,} bytes, not a whole number of {item_size}-byte items")
        self.count = plain // item_size
        self._file = open_for_reading(path)[0]
        try:
            self._file.seek(meta.size)
            self._body = (_SealedBody(self._file, meta, file_key, path, again_hint) if meta.sealed
                          else _PlainBody(self._file, meta))
        except BaseException:
            self._file.close()
            raise

    def read(self, items):
        pause("reading")
        return self._body.read(items * self.item_size)

    def pieces(self, items):
        """The next `items` items' bytes as the pieces they are read or
        opened in, not joined: for a caller that copies them on anyway."""
        pause("reading")
        return self._body.pieces(items * self.item_size)

    def chunks(self, items_per_chunk):
        left = self.count
        while left:
            take = min(items_per_chunk, left)
            yield self.read(take)
            left -= take

    def intact(self):
        """Whether the whole payload, read on from wherever reading stopped,
        matches the digest (to tell a damaged file from one the module
        could not use)."""
        try:
            self._body.rest()
        except StepError:
            return False
        return self._body.digest() == self.meta["blake2b"] and self._body.complete()

    def verify(self):
        more = self._body.rest()
        if more or self._body.digest() != self.meta.get("blake2b") or not self._body.complete():
            raise StepError(f"{self.path} does not match its digest: it was altered or damaged; {self.hint}")

    def close(self):
        self._file.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class IdReader:
    """The operator's transaction ids (a `transaction-ids` file, one CSV row
    per query, written by `operator query`), in query order, read as needed.

    `plain` hands out ids whose CSV form is the id itself (no quote, comma,
    carriage return or NUL, not empty) straight from the lines, a block at a
    time; the first block holding any other line turns reading over to the
    csv module (`take`) for the rest of the file."""

    def __init__(self, path, meta):
        self.path = path
        self._reader = StreamReader(path, meta, 1)
        self._unread = self._reader.count  # payload bytes not yet read
        self._lines = b""  # read ahead of the ids handed out, by `plain`
        self._rows = None  # the csv module's reader, once `take` has started

    def plain(self, n):
        """The next `n` ids as a list of their UTF-8 bytes (each its own line
        of the file and its own CSV field), or None (nothing taken) when one
        of them is not plain; from then on only `take` reads."""
        if self._rows is not None:
            return None
        while self._lines.count(b"\n") < n and self._unread:
            block = self._reader.read(min(self._unread, max(_ID_BLOCK, 64 * n)))
            self._unread -= len(block)
            self._lines += block
        pieces = self._lines.split(b"\n", n)
        if len(pieces) <= n:
            return None
        end = len(self._lines) - len(pieces[n])
        # A NUL the csv module's reader refuses; an empty line it reads as no row.
        if any(self._lines.find(c, 0, end) >= 0 for c in (*QUOTED_IN_CSV, b"\0")) or b"" in pieces[:n]:
            return None
        if not self._lines.isascii():  # ASCII is UTF-8; anything else is checked
            try:
                str(memoryview(self._lines)[:end], "utf-8")
            except UnicodeDecodeError:
                return None
        self._lines = pieces.pop()  # after the last line break
        return pieces

    def _csv_rows(self):
        if self._rows is None:
            raw = _RawPayload(self._reader, self._unread, self._lines)
            self._lines = b""
            self._rows = csv.reader(io.TextIOWrapper(raw, encoding="utf-8", newline=""))
        return self._rows

    def take(self, n):
        # The rows taken and checked as a block, at C speed: a Python step
        # per id would cost a tenth of the module's work on them.
        rows = list(itertools.islice(self._csv_rows(), n))
        if len(rows) != n or (rows and (min(map(len, rows)) != 1 or max(map(len, rows)) != 1)):
            raise StepError(f"{self.path} has fewer transaction ids than queries; rerun `operator query`")
        return list(map(_FIRST, rows))

    def finish(self):
        if next(self._csv_rows(), None) is not None:
            raise StepError(f"{self.path} has more transaction ids than queries; rerun `operator query`")
        self._reader.verify()

    def close(self):
        self._reader.close()


# Bytes of ids read at a time.
_ID_BLOCK = 1 << 20
# Beside the line break, what makes the csv module quote a value or treat it
# apart (a value holding none, but not empty, is written and read as it is).
QUOTED_IN_CSV = (b'"', b",", b"\r")


class _RawPayload(io.RawIOBase):
    """A `StreamReader`'s payload as a binary file, for a text wrapper: `head`
    (bytes already read from it) and then its `left` unread bytes; the digest
    is still checked by the reader's `verify`."""

    def __init__(self, reader, left, head=b""):
        self._reader = reader
        self._left = left
        self._head = head

    def readable(self):
        return True

    def readinto(self, buffer):
        if self._head:
            data, self._head = self._head[:len(buffer)], self._head[len(buffer):]
        else:
            data = self._reader.read(min(len(buffer), self._left))
            self._left -= len(data)
        buffer[:len(data)] = data
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
    commit (an error, Ctrl-C) the temporary files are removed. A file of a
    remote handover is an upload of its transport, finished with the others
    before anything is renamed or published."""

    def __init__(self):
        self._pending = []  # (temporary path, final path)
        self._uploads = []

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

    def _binary(self, path, mode):
        """The binary file `path` is written through: a temporary file beside
        it, or an upload to a remote handover (seekable either way)."""
        if isinstance(path, HandoverFile):
            upload = path.transport.upload(path.name)
            self._uploads.append((upload, path))
            return upload.file
        return os.fdopen(self._temporary(path, mode), "wb")

    def stream(self, path, meta, mode=0o644):
        """A `StreamWriter` for a payload written in pieces; its header is
        `meta` plus length and digest."""
        return StreamWriter(self._binary(path, mode), meta, path)

    def sealed(self, path, meta, signer, recipients):
        """A `SealedWriter`: the payload sealed for `recipients` (identities)
        and the header signed by `signer` (this party's sealing.Secrets)."""
        return SealedWriter(self._binary(path, 0o644), meta, path, signer, recipients)

    def whole(self, path, meta, payload, mode=0o644):
        with self.stream(path, meta, mode) as writer:
            writer.write(payload)

    def text(self, path, encoding="utf-8", newline=""):
        """A text file (a CSV or a summary) with no header."""
        return TextWriter(os.fdopen(self._temporary(path), "w", encoding=encoding, newline=newline), path)

    def utf8(self, path):
        """A text file with no header, written as its UTF-8 bytes (as `text`
        writes str with newline="")."""
        return TextWriter(os.fdopen(self._temporary(path), "wb"), path)

    def commit(self):
        """Sends what remote uploads still hold, then publishes them and
        renames every local output into place, with Ctrl-C and SIGTERM held
        until the last; a failure there names what was put in place."""
        try:
            for upload, _ in self._uploads:
                upload.finish()
        except BaseException:
            self.discard()
            raise
        done = []
        with _signals_held():
            try:
                while self._uploads:
                    pause("renaming")
                    upload, path = self._uploads[0]
                    try:
                        upload.publish()
                    except StepError as error:
                        raise StepError(f"{error}; {self._written(done)}") from None
                    del self._uploads[0]
                    done.append(path)
                    COMMITTED.append(path)
                for temp, path in self._pending:
                    pause("renaming")
                    try:
                        os.replace(temp, path)
                    except OSError as error:
                        raise StepError(f"cannot put {path} in place: {error.strerror}; {self._written(done)}; "
                                        "run the step again") from None
                    done.append(path)
                    COMMITTED.append(path)
            finally:
                self._pending = [(temp, path) for temp, path in self._pending if path not in done]

    @staticmethod
    def _written(done):
        return f"{', '.join(done)} were written already" if done else "nothing was written"

    def discard(self):
        for upload, _ in self._uploads:
            upload.abort()
        self._uploads = []
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
    """Writes a payload in pieces after a reserved header, which `close`
    fills in with `meta` plus the payload's length and digest."""

    def __init__(self, file, meta, path):
        self._file, self.meta, self.path = file, dict(meta), path
        self._digest = _digest()
        self.bytes = 0
        self._header = _header_size(path, {**self.meta, "bytes": MAX_PAYLOAD, "blake2b": "0" * 64})
        self._put(b"\0" * self._header)

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
            self._file.write(_header_bytes(self.path, self.meta, self._header))
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
    """A text output file (written as str, or as its UTF-8 bytes) whose write
    failures name it."""

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


class SealedWriter:
    """Writes a sealed payload in pieces after a reserved header, which
    `close` fills in with `meta`, the body's length and digest, the signer,
    the sealed file keys, and signs. `bytes` counts the plaintext written."""

    def __init__(self, file, meta, path, signer, recipients):
        self._file, self.path, self._signer = file, path, signer
        self.meta = {**meta, "signer": signer.identity.fingerprint}
        placeholder = {r.role: {"identity": "0" * sealing.IDENTITY_FINGERPRINT_HEX,
                                "file_key": "0" * (2 * sealing.SEALED_KEY_BYTES)} for r in recipients}
        self._header = _header_size(path, {**self.meta, "recipients": placeholder, "bytes": MAX_PAYLOAD,
                                           "blake2b": "0" * 64}, SIGNATURE_TRAILER)
        try:
            self._file.write(b"\0" * self._header)
        except OSError as error:
            raise write_failure(path, error) from None
        self._digest = _digest()
        self._stored = 0
        self._pending, self._pending_size = [], 0  # sealed chunks not yet written
        self._sealer = sealing.Sealer(self._put)
        self.meta["recipients"] = {r.role: {"identity": r.fingerprint,
                                            "file_key": sealing.seal_key(r, self._sealer.file_key).hex()}
                                   for r in recipients}
        self.bytes = 0

    def _put(self, data):
        self._pending.append(data)
        self._pending_size += len(data)
        if self._pending_size >= BLOCK:
            self._flush()

    def _flush(self):
        """Writes and hashes the sealed chunks held, as one block."""
        block = b"".join(self._pending)
        self._pending, self._pending_size = [], 0
        try:
            self._file.write(block)
        except OSError as error:
            raise write_failure(self.path, error) from None
        self._digest.update(block)
        self._stored += len(block)

    def write(self, data):
        pause("writing")
        self._sealer.write(data)
        self.bytes += len(data)

    def close(self):
        if self._file.closed:
            return
        self._sealer.finish()
        self._flush()
        self.meta.update(bytes=self._stored, blake2b=self._digest.hexdigest())
        header = _header_bytes(self.path, self.meta, self._header, self._signer)
        try:
            self._file.seek(0)
            self._file.write(header)
            self._file.close()
        except OSError as error:
            raise write_failure(self.path, error) from None

    def __enter__(self):
        return self

    def __exit__(self, kind, *exc):
        if kind is None:
            self.close()
        else:
            self._sealer.wipe()
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
    meta = read_header(path, kind, f"make new keys with `vorlinde-match keys --role ROLE --home {home}` "
                                   "after removing the old ones, and run the steps again")
    _check_role(path, meta, roles)
    key = read_payload(path, meta)
    if len(key) != KEY_SIZE:
        raise StepError(f"{path} holds {len(key)} bytes, not a {KEY_SIZE}-byte key; "
                        "make new keys with `vorlinde-match keys`")
    if not valid_key(key, secret):
        raise StepError(f"{path} is not a valid key (it is all zeros{', or zero as a scalar' if secret else ''}); "
                        f"remove {home}'s keys and make new ones with `vorlinde-match keys`")
    return meta["role"], key


def read_key_pair(home, roles):
    """The party's role, public key and secret key from `home`, after checking
    that the public key is the secret key's (a folder can end up holding the
    public key of another pair, whose results would silently be wrong)."""
    role, secret_key = read_key(home, roles, secret=True)
    _, public_key = read_key(home, [role], secret=False)
    try:
        derived = public_key_of(secret_key)
    except BaseException as error:  # the module's PanicException, for a key it cannot use
        if type(error).__name__ != "PanicException":
            raise
        derived = None
    if derived != public_key:
        first = "bank build" if role in BANKS else "operator query"
        raise StepError(f"{os.path.join(home, PUBLIC_KEY_FILE)} is not the public key of "
                        f"{os.path.join(home, SECRET_KEY_FILE)} (it belongs to another key pair); put back the "
                        f"public key made with it, or make new keys and run every step again from `vorlinde-match "
                        f"{first}`")
    return role, public_key, secret_key


# The chain ------------------------------------------------------------------

def read_handed_over(path, kind, writer, trust, hint, open_it=True):
    """The header of the handed-over (sealed) file `path` and, when `open_it`,
    its file key opened with this party's sealing key: checked to be written
    and signed by the identity `trust` (parties.Trust) pins for `writer`, and
    sealed for this party. The file is refused before any of its body is read.
    """
    meta = read_header(path, kind, hint, sealed=True)
    check_from(path, meta, writer)
    pinned = trust.pinned(writer)
    if meta["signer"] != pinned.fingerprint:
        other = trust.role_of(meta["signer"])
        if other is not None:
            raise StepError(f"{path} is signed by the {role_name(other)}, not by the {role_name(writer)}; "
                            f"ask the {role_name(writer)} for its own file")
        raise StepError(f"{path} is signed by an identity that {trust.path} does not pin for the "
                        f"{role_name(writer)} ({sealing.grouped(meta['signer'])}; pinned: {pinned.shown()}); if "
                        f"the {role_name(writer)} has made new keys, compare its new fingerprint with it and pin it "
                        f"with `vorlinde-match trust --replace`; otherwise do not use this file")
    if not sealing.verify(pinned, meta.signed, meta.signature):
        raise StepError(f"{path} does not match the {role_name(writer)}'s signature: it was altered after it was "
                        f"signed; {hint}")
    if not open_it:
        return meta, None
    me = trust.me.identity
    entry = meta["recipients"].get(me.role)
    if entry is None:
        to = " and ".join(f"the {role_name(r)}" for r in meta["recipients"])
        raise StepError(f"{path} is sealed for {to}, not for the {role_name(me.role)}; use the file meant for "
                        "this party")
    if entry["identity"] != me.fingerprint:
        raise StepError(f"{path} is sealed for another identity of the {role_name(me.role)} than this folder's "
                        f"({me.shown()}); {hint}, after the {role_name(writer)} has pinned this identity")
    file_key = trust.me.unseal(bytes.fromhex(entry["file_key"]))
    if file_key is None:
        raise StepError(f"{path}: its file key does not open with this folder's sealing key; {hint}")
    return meta, file_key


def check_made_from(path, meta, source, digest, hint):
    """Checks that `path` was computed from the handed-over file `source`
    whose payload digest is `digest` (None: unknown, always refused)."""
    if digest is None or meta["made_from"].get(os.path.basename(source)) != digest:
        raise StepError(f"{path} was made from an earlier {source}, not the current one; {hint}")


def check_key(path, meta, role, public_key, key_path, hint):
    """Checks that `path` was made for `role`'s public key `public_key` (read
    from `key_path`)."""
    if meta["keys"].get(role) != key_fingerprint(public_key):
        raise StepError(f"{path} was made for another key of the {role_name(role)} than {key_path} (new keys "
                        f"since?); {hint}")


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


def check_run(path, meta, run, hint="rerun the step that writes it on this run's files"):
    if meta.get("run") != run:
        raise StepError(f"{path} belongs to another matching run ({meta.get('run')}, this one is {run}); {hint}")
