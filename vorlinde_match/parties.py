"""A party's identity (its signing and sealing key pairs) and the party file
that pins the other roles' identities.

In a party's folder:

    signing.key     the Ed25519 seed (32 bytes), owner-only
    sealing.key     the X25519 secret key (32 bytes), owner-only
    identity.json   the public identity, to hand to the other parties
    parties.json    the identities this party pins for the other roles

The key files are files of the common format (files.py), kinds
`signing-key` and `sealing-key`, and are never replaced. identity.json and
parties.json are plain JSON (every claimed interpreter reads it without
extra packages):

    identity.json  {"format": "vorlinde-match identity/1", "role": R,
                    "signing_key": 64 hex, "sealing_key": 64 hex,
                    "fingerprint": 32 hex digits in groups of four}
    parties.json   {"format": "vorlinde-match parties/1", "role": this party's,
                    "pins": {R: {"signing_key": 64 hex, "sealing_key": 64 hex}}}

A fingerprint is recomputed from the keys wherever one is read
(sealing.fingerprint); the one written in identity.json is for people to
compare and must agree.
"""

import json
import os
import re
import stat

from . import files, sealing
from .errors import StepError
from .files import ROLES, Outputs, read_header, read_payload, role_name

SIGNING_KEY_FILE, SEALING_KEY_FILE = "signing.key", "sealing.key"
IDENTITY_FILE, PARTIES_FILE = "identity.json", "parties.json"
IDENTITY_FORMAT, PARTIES_FORMAT = "vorlinde-match identity/1", "vorlinde-match parties/1"
MAX_JSON = 1 << 16
_KEY_HEX = re.compile(r"[0-9a-f]{64}")


def _identity_fields(identity):
    return {"signing_key": identity.signing_key.hex(), "sealing_key": identity.sealing_key.hex()}


def identity_text(identity):
    return json.dumps({"format": IDENTITY_FORMAT, "role": identity.role, **_identity_fields(identity),
                       "fingerprint": identity.shown()}, indent=2) + "\n"


def _identity_of(role, fields):
    """An Identity from a JSON object's key fields, or None when they are not
    two 64-hex-digit keys."""
    if type(fields) is not dict:
        return None
    keys = [fields.get(name) for name in ("signing_key", "sealing_key")]
    if not all(type(k) is str and _KEY_HEX.fullmatch(k) for k in keys):
        return None
    return sealing.Identity(role, bytes.fromhex(keys[0]), bytes.fromhex(keys[1]))


def _read_json(path, what, hint):
    """The JSON object in `path` (at most MAX_JSON bytes, a regular file)."""
    try:
        if not stat.S_ISREG(os.stat(path).st_mode):
            raise StepError(f"{path} is not a regular file; {hint}")
        with open(path, "rb") as f:
            data = f.read(MAX_JSON + 1)
    except FileNotFoundError:
        raise StepError(f"{path}: no such file; {hint}") from None
    except OSError as error:
        raise StepError(f"cannot read {path}: {error.strerror}") from None
    if len(data) > MAX_JSON:
        raise StepError(f"{path} is longer than {MAX_JSON:,} bytes, which no {what} is; {hint}")
    try:
        value = json.loads(data.decode("utf-8"))
    except (UnicodeDecodeError, ValueError, RecursionError):
        raise StepError(f"{path} is not {what} (not JSON); {hint}") from None
    if type(value) is not dict:
        raise StepError(f"{path} is not {what} (not a JSON object); {hint}")
    return value


def read_identity_file(path):
    """The identity in an identity file another party handed over, checked:
    its format, role, keys, and the fingerprint it shows."""
    hint = "ask its party for the identity.json that `vorlinde-match keys` wrote"
    value = _read_json(path, "an identity file", hint)
    role = value.get("role")
    identity = _identity_of(role, value) if role in ROLES else None
    if value.get("format") != IDENTITY_FORMAT or identity is None:
        raise StepError(f"{path} is not an identity file of this vorlinde-match ({IDENTITY_FORMAT}); {hint}")
    if value.get("fingerprint") != identity.shown():
        raise StepError(f"{path} shows a fingerprint that is not its keys' ({identity.shown()}): it was altered; "
                        f"{hint}")
    return identity


# Secret halves ------------------------------------------------------------------

def _write_new(path, data, mode):
    """Writes a file that must not exist yet (O_EXCL: never replaces one)."""
    try:
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_NOFOLLOW", 0), mode)
    except FileExistsError:
        raise StepError(f"{path} exists already; a party's identity is never replaced") from None
    except OSError as error:
        raise StepError(f"cannot write {path}: {error.strerror}") from None
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
    except BaseException:
        os.unlink(path)
        raise


def has_identity(home):
    return any(os.path.lexists(os.path.join(home, name)) for name in (SIGNING_KEY_FILE, SEALING_KEY_FILE))


def make_identity(home, role):
    """Makes the party's signing and sealing key pairs in `home` (secret
    halves owner-only, never replacing a file) and its identity.json;
    returns its sealing.Secrets."""
    paths = [os.path.join(home, name) for name in (SIGNING_KEY_FILE, SEALING_KEY_FILE, IDENTITY_FILE)]
    for path in paths:
        if os.path.lexists(path):
            raise StepError(f"{path} exists already; this folder has an identity (`vorlinde-match keys "
                            f"--show-identity --home {home}` shows it)")
    seed, secret = sealing.new_secrets()
    me = sealing.Secrets(role, seed, secret)
    written = []
    try:
        for path, kind, key in ((paths[0], "signing-key", seed), (paths[1], "sealing-key", secret)):
            _write_new(path, files.file_bytes(path, {"kind": kind, "role": role}, key), 0o600)
            written.append(path)
        _write_new(paths[2], identity_text(me.identity).encode("ascii"), 0o644)
    except BaseException:
        for path in written:
            os.unlink(path)
        raise
    return me


def _read_secret(home, name, kind, role):
    path = os.path.join(home, name)
    if not os.path.lexists(path):
        raise StepError(f"{home} has no {name}: its identity (signing and sealing keys) is missing; make it with "
                        f"`vorlinde-match keys --add-identity --home {home}`")
    mode = stat.S_IMODE(os.stat(path).st_mode)
    if mode & 0o077:
        raise StepError(f"{path} can be read by other users (mode {mode:04o}); run `chmod 600 {path}` and check "
                        "who has seen it")
    meta = read_header(path, kind, "this party's identity is damaged; make a new folder with `vorlinde-match keys` "
                                   "and have the other parties pin its identity")
    if meta["role"] != role:
        raise StepError(f"{path} belongs to the {role_name(meta['role'])}, but {home}'s keys to the "
                        f"{role_name(role)}; use one party's folder for one role")
    key = read_payload(path, meta)
    if len(key) != sealing.KEY_BYTES:
        raise StepError(f"{path} holds {len(key)} bytes, not a {sealing.KEY_BYTES}-byte key; this party's identity "
                        "is damaged")
    return key


def load_secrets(home, role):
    """The party's own identity with its secret halves, from `home`."""
    return sealing.Secrets(role, _read_secret(home, SIGNING_KEY_FILE, "signing-key", role),
                           _read_secret(home, SEALING_KEY_FILE, "sealing-key", role))


# The party file -------------------------------------------------------------------

def _parties_path(home):
    return os.path.join(home, PARTIES_FILE)


def trust_command(home, role, key="FILE", replace=False):
    return (f"`vorlinde-match trust --home {home} --role {role} --key {key}{' --replace' if replace else ''}`")


def read_pins(home, role):
    """{role: Identity} pinned in the party file of `home` (none when it has
    none yet), checked."""
    path = _parties_path(home)
    if not os.path.lexists(path):
        return {}
    hint = f"remove it and pin the other parties again with {trust_command(home, 'ROLE')}"
    value = _read_json(path, "a party file", hint)
    pins = value.get("pins")
    if value.get("format") != PARTIES_FORMAT or value.get("role") != role or type(pins) is not dict:
        raise StepError(f"{path} is not the party file of this {role_name(role)} ({PARTIES_FORMAT}); {hint}")
    found = {}
    for other, fields in pins.items():
        identity = _identity_of(other, fields) if other in ROLES and other != role else None
        if identity is None:
            raise StepError(f"{path} holds a pin that is not two keys of another role; {hint}")
        found[other] = identity
    return found


def _write_pins(home, role, pins):
    path = _parties_path(home)
    text = json.dumps({"format": PARTIES_FORMAT, "role": role,
                       "pins": {r: _identity_fields(i) for r, i in sorted(pins.items())}}, indent=2) + "\n"
    with Outputs() as out, out.text(path) as f:
        f.write(text)


def pin(home, role, identity, replace=False):
    """Pins `identity` for its role in the party file of `home` (whose own
    role is `role`). Returns the identity it replaced, or None; pinning the
    same identity again changes nothing. Without `replace`, another identity
    of a pinned role is refused."""
    if identity.role == role:
        raise StepError(f"the identity is this party's own role, the {role_name(role)}; pin the other parties' "
                        "identities")
    pins = read_pins(home, role)
    old = pins.get(identity.role)
    if old == identity:
        return None
    if old is not None and not replace:
        raise StepError(f"{_parties_path(home)} pins another identity for the {role_name(identity.role)} "
                        f"({old.shown()}), not {identity.shown()}; if the {role_name(identity.role)} has made new "
                        f"keys, compare the new fingerprint with it and run the same command with --replace")
    pins[identity.role] = identity
    _write_pins(home, role, pins)
    return old


class Trust:
    """What a step knows of the parties: this party's own identity with its
    secrets (`me`) and the identities pinned for the other roles."""

    def __init__(self, home, role):
        self.home, self.role = home, role
        self.path = _parties_path(home)
        self.me = load_secrets(home, role)
        self._pins = read_pins(home, role)

    def pinned(self, role):
        """The identity pinned for `role` (this party's own for its role)."""
        if role == self.role:
            return self.me.identity
        if role not in self._pins:
            raise StepError(f"{self.path} pins no identity for the {role_name(role)}; get its identity.json and "
                            f"run {trust_command(self.home, role)}")
        return self._pins[role]

    def role_of(self, fingerprint):
        """The role whose pinned identity has `fingerprint`, or None."""
        for identity in [self.me.identity, *self._pins.values()]:
            if identity.fingerprint == fingerprint:
                return identity.role
        return None
