"""The files the parties hand each other, as a careless or hostile party
would hand them: crafted headers and stores (with their digests fixed, since
a digest is no secret), files left from an earlier pass through the steps,
keys changed mid-run, content the module cannot use. Every one must end in
exit status 1, one line on stderr naming the file and what to do, and nothing
written; after a stale file, running the named steps again must give the
known answer. A hostile party signs what it crafts with its own pinned key,
so that each case reaches the check it is about. The headers are read and
written, bodies sealed and opened, here from the format as docs/pipeline.md
states it (with libsodium's own functions through PyNaCl), not with the
package's own code."""

import csv
import hashlib
import json
import os
import platform
import re
import shutil
import subprocess
import sys

import pytest
from command_scan import scan

pytest.importorskip("nacl", reason="vorlinde-match needs PyNaCl")
import nacl.bindings  # noqa: E402
import nacl.public  # noqa: E402
import nacl.signing  # noqa: E402

EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples")
ROLES = ("sender-bank", "receiver-bank", "operator")
BANKS = ROLES[:2]
ROWS = 120

# Subprocess runs of the command: once, on CPython (the module calls they make
# are the ones the rest of the suite runs everywhere and under sanitizers).
pytestmark = [pytest.mark.unsanitized,
              pytest.mark.skipif(platform.python_implementation() == "PyPy", reason="runs once, on CPython")]

sys.path.insert(0, EXAMPLES)
import make_sample  # noqa: E402

sys.path.remove(EXAMPLES)


def command(*args):
    return subprocess.run([sys.executable, "-m", "vorlinde_match", *map(str, args)], capture_output=True, text=True,
                          timeout=300)


# The file format of docs/pipeline.md: "vorlinde-match/3 ", the header's
# length in seven digits and a space, JSON, spaces, and a newline at its end;
# a handed-over file's header ends in a space, the writer's Ed25519 signature
# of everything before it in 128 hex digits, and the newline. Its body is a
# libsodium secretstream in 64 KiB chunks, its file key sealed to each
# recipient.

MAGIC = b"vorlinde-match/3 "
CHUNK = 1 << 16
SIGNED_TRAILER = re.compile(rb" [0-9a-f]{128}\n")


def split(path):
    """(header fields, payload as stored) of a file."""
    data = path.read_bytes()
    assert data[:17] == MAGIC
    length = int(data[17:24])
    end = length - 130 if SIGNED_TRAILER.fullmatch(data, length - 130, length) else length - 1
    return json.loads(data[25:end]), data[length:]


def secret(home, name):
    """The 32-byte key a key file ends in."""
    return (home / name).read_bytes()[-32:]


def identity(home):
    return json.loads((home / "identity.json").read_text())


def fingerprint(who):
    keys = bytes.fromhex(who["signing_key"]) + bytes.fromhex(who["sealing_key"])
    data = b"vorlinde-match identity 1\0" + who["role"].encode() + b"\0" + keys
    return hashlib.blake2b(data, digest_size=32).hexdigest()[:32]


def opened(path, home):
    """The plaintext of a sealed file, opened with the sealing key in `home`."""
    meta, body = split(path)
    box = nacl.public.SealedBox(nacl.public.PrivateKey(secret(home, "sealing.key")))
    key = box.decrypt(bytes.fromhex(meta["recipients"][identity(home)["role"]]["file_key"]))
    state = nacl.bindings.crypto_secretstream_xchacha20poly1305_state()
    nacl.bindings.crypto_secretstream_xchacha20poly1305_init_pull(state, body[:24], key)
    plain, at, tag = [], 24, None
    while at < len(body):
        message, tag = nacl.bindings.crypto_secretstream_xchacha20poly1305_pull(state, body[at:at + CHUNK + 17])
        plain.append(message)
        at += CHUNK + 17
    assert tag == nacl.bindings.crypto_secretstream_xchacha20poly1305_TAG_FINAL
    return b"".join(plain)


def sealed(plain, *homes):
    """A body holding `plain` and its recipients field, for the parties of `homes`."""
    key = nacl.bindings.crypto_secretstream_xchacha20poly1305_keygen()
    state = nacl.bindings.crypto_secretstream_xchacha20poly1305_state()
    body = [nacl.bindings.crypto_secretstream_xchacha20poly1305_init_push(state, key)]
    pieces = [plain[i:i + CHUNK] for i in range(0, len(plain), CHUNK)] or [b""]
    for i, piece in enumerate(pieces):
        tag = (nacl.bindings.crypto_secretstream_xchacha20poly1305_TAG_FINAL if i == len(pieces) - 1
               else nacl.bindings.crypto_secretstream_xchacha20poly1305_TAG_MESSAGE)
        body.append(nacl.bindings.crypto_secretstream_xchacha20poly1305_push(state, piece, None, tag))
    recipients = {}
    for home in homes:
        who = identity(home)
        box = nacl.public.SealedBox(nacl.public.PublicKey(bytes.fromhex(who["sealing_key"])))
        recipients[who["role"]] = {"identity": fingerprint(who), "file_key": box.encrypt(key).hex()}
    return b"".join(body), recipients


def write(path, meta, payload, signer=None, fix_digest=True, length=None):
    """Writes `meta` (a dict, or JSON text as bytes) and the stored `payload`
    in the documented format, the header signed with the signing key in the
    folder `signer` (none: no signature); a dict gets the payload's length
    and digest."""
    if isinstance(meta, dict):
        if fix_digest:
            meta = {**meta, "bytes": len(payload), "blake2b": hashlib.blake2b(payload, digest_size=32).hexdigest()}
        meta = json.dumps(meta).encode("ascii")
    trailer = 130 if signer else 1
    size = -(-(25 + len(meta) + trailer) // 4096) * 4096
    text = MAGIC + b"%07d " % (length or size) + meta
    if signer:
        signed = text + b" " * (size - 129 - len(text))
        signature = nacl.signing.SigningKey(secret(signer, "signing.key")).sign(signed).signature
        header = signed + signature.hex().encode("ascii") + b"\n"
    else:
        header = text + b" " * (size - 1 - len(text)) + b"\n"
    path.write_bytes(header + payload)


def write_format_2(path, meta, payload):
    """The previous format: no signature, the payload as it is."""
    meta = json.dumps({**meta, "bytes": len(payload),
                       "blake2b": hashlib.blake2b(payload, digest_size=32).hexdigest()}).encode("ascii")
    size = -(-(25 + len(meta) + 1) // 4096) * 4096
    text = b"vorlinde-match/2 " + b"%07d " % size + meta
    path.write_bytes(text + b" " * (size - 1 - len(text)) + b"\n" + payload)


def write_format_1(path, meta, payload):
    """The first format: a fixed 4096-byte header."""
    text = b"vorlinde-match/1 " + json.dumps(meta).encode("ascii")
    path.write_bytes(text + b" " * (4095 - len(text)) + b"\n" + payload)


def snapshot(root):
    """Every file under `root` with its size, time and content digest; a
    home's lock file, which every step rewrites with its name, aside."""
    seen = {}
    for folder, _, names in os.walk(root):
        for name in names:
            if name == ".lock":
                continue
            path = os.path.join(folder, name)
            info = os.stat(path)
            with open(path, "rb") as f:
                seen[path] = (info.st_size, info.st_mtime_ns, hashlib.blake2b(f.read()).digest())
    return seen


def answer(data):
    with open(data / "expected_matches.csv", newline="", encoding="utf-8") as f:
        return [(row["id"], row["match"]) for row in csv.DictReader(f)]


def results(path):
    with open(path, newline="", encoding="utf-8") as f:
        return [(row["id"], row["matched"]) for row in csv.DictReader(f)]


class Parties:
    """Three parties' folders and a handover folder under `root`."""

    def __init__(self, root, data):
        self.root, self.data = root, data
        self.home = {role: root / role for role in ROLES}
        self.handover = root / "handover"

    def keys(self, role, home=None):
        return command("keys", "--role", role, "--home", home or self.home[role], "--quiet")

    def pin_all(self):
        for role in ROLES:
            for other in ROLES:
                if other != role:
                    done = command("trust", "--home", self.home[role], "--role", other, "--key",
                                   self.home[other] / "identity.json", "--quiet")
                    assert done.returncode == 0, done.stderr

    def new_keys(self, role):
        for name in ("secret.key", "public.key"):
            (self.home[role] / name).unlink()
        assert self.keys(role).returncode == 0

    def step(self, party, step, role, *args):
        return command(party, step, "--home", self.home[role], "--handover", self.handover, "--quiet", *args)

    def build(self, bank):
        accounts = self.data / ("sender_bank.csv" if bank == "sender-bank" else "receiver_bank.csv")
        return self.step("bank", "build", bank, "--accounts", accounts, "--columns", "iban,name")

    def query(self):
        return self.step("operator", "query", "operator", "--transactions", self.data / "transactions.csv",
                         "--sender-columns", "sender_iban,sender_name",
                         "--receiver-columns", "receiver_iban,receiver_name")

    def run(self, *steps):
        """Runs the named steps in order, each of which must succeed."""
        calls = {"build": lambda: [self.build(b) for b in BANKS], "query": lambda: [self.query()],
                 "randomize": lambda: [self.step("bank", "randomize", b) for b in BANKS],
                 "combine": lambda: [self.step("operator", "combine", "operator")],
                 "decrypt": lambda: [self.step("bank", "decrypt", b) for b in BANKS],
                 "finish": lambda: [self.step("operator", "finish", "operator")]}
        for name in steps:
            for done in calls[name]():
                assert done.returncode == 0, done.stderr

    def gives_the_answer(self):
        self.run("finish")
        return results(self.home["operator"] / "matches.csv") == answer(self.data)


ALL_STEPS = ("build", "query", "randomize", "combine", "decrypt", "finish")


@pytest.fixture(scope="module")
def data(tmp_path_factory):
    folder = tmp_path_factory.mktemp("data")
    make_sample.write_set(str(folder), ROWS, 23)
    return folder


@pytest.fixture(scope="module")
def finished(tmp_path_factory, data):
    """Every step of one run, done once; each test works on a copy."""
    root = tmp_path_factory.mktemp("finished")
    parties = Parties(root, data)
    for role in ROLES:
        assert parties.keys(role).returncode == 0
    parties.pin_all()
    parties.handover.mkdir()
    parties.run(*ALL_STEPS)
    return root


@pytest.fixture
def parties(tmp_path, data, finished):
    shutil.copytree(finished, tmp_path / "run")
    yield Parties(tmp_path / "run", data)
    # Whatever a test crafted or refused: no secret key and no account row
    # outside its owner's folder.
    assert scan(tmp_path, {bank: data / f"{bank.replace('-', '_')}.csv" for bank in BANKS}) == []


def refused(parties, run, *fragments, exact=None):
    """Runs `run` (a function giving a finished command), which must fail
    with one line holding `fragments` (or being `exact`) and change no file
    under the parties' root. Returns the line."""
    before = snapshot(parties.root)
    done = run()
    assert done.returncode == 1, done.stdout + done.stderr
    lines = done.stderr.splitlines()
    assert len(lines) == 1, done.stderr
    line = lines[0]
    assert line.startswith("vorlinde-match: ") and "Traceback" not in line
    if exact is not None:
        assert line == "vorlinde-match: " + exact
    for fragment in fragments:
        assert str(fragment) in line, line
    assert snapshot(parties.root) == before, "a refused step changed or left files"
    return line


# Hostile headers ---------------------------------------------------------------
#
# Each case edits the header of operator.queries (meta: dict -> dict or raw
# JSON bytes) and gives what the one line must say; the sender bank's
# randomize step reads the file.

def _without(meta, name):
    return {k: v for k, v in meta.items() if k != name}


QUERY_HEADER_CASES = {
    "a list": (lambda m: b"[1, 2]", "a header that is not a JSON object"),
    "null": (lambda m: b"null", "a header that is not a JSON object"),
    "nested past the parser's depth": (lambda m: b'{"kind": ' + b"[" * 100_000 + b"]" * 100_000 + b"}",
                                       "has a damaged header"),
    "nested a little": (lambda m: {**m, "kind": [[["records"]]]}, "header field 'kind' is not one of"),
    "a repeated field": (lambda m: json.dumps(m).encode()[:-1] + b', "count": 1}', "has a damaged header"),
    "NaN": (lambda m: json.dumps({**m, "count": float("nan")}).encode(), "has a damaged header"),
    "no count": (lambda m: _without(m, "count"), "header field 'count' is missing"),
    "no chain": (lambda m: _without(m, "made_from"), "header field 'made_from' is missing"),
    "count as text": (lambda m: {**m, "count": str(m["count"])}, "header field 'count' is not a whole number"),
    "count as a boolean": (lambda m: {**m, "count": True}, "header field 'count' is not a whole number"),
    "count as a fraction": (lambda m: {**m, "count": m["count"] + 0.5}, "header field 'count' is not a whole"),
    "absurd count": (lambda m: {**m, "count": 10**20}, "header field 'count' is not a whole number from 0 to"),
    "negative length": (lambda m: json.dumps({**m, "bytes": -1}).encode(), "header field 'bytes' is not a whole"),
    "unknown kind": (lambda m: {**m, "kind": "spells"}, "header field 'kind' is not one of"),
    "unknown field": (lambda m: {**m, "extra": 1}, "header field 'extra' is not one this version knows"),
    "run of the wrong shape": (lambda m: {**m, "run": "zz"}, "header field 'run' is not 16 hexadecimal digits"),
    "chain of the wrong shape": (lambda m: {**m, "made_from": ["operator.queries"]}, "header field 'made_from'"),
    "short fingerprint": (lambda m: {**m, "keys": {**m["keys"], "operator": "ab"}}, "header field 'keys'"),
}


@pytest.mark.parametrize("edit, says", list(QUERY_HEADER_CASES.values()), ids=list(QUERY_HEADER_CASES))
def test_a_malformed_header_is_refused_naming_the_file(parties, edit, says):
    queries = parties.handover / "operator.queries"
    meta, payload = split(queries)
    write(queries, edit(meta), payload, signer=parties.home["operator"])
    refused(parties, lambda: parties.step("bank", "randomize", "sender-bank"), f"{queries}", says,
            "ask the operator to run `vorlinde-match operator query` again")


def test_a_count_that_does_not_fit_the_payload_is_told_with_both_numbers(parties):
    queries = parties.handover / "operator.queries"
    meta, payload = split(queries)
    write(queries, {**meta, "count": meta["count"] + 1}, payload, signer=parties.home["operator"])
    refused(parties, lambda: parties.step("bank", "randomize", "sender-bank"),
            f"{queries}: its header says {ROWS + 1:,} items of 128 bytes, but {len(payload):,} bytes of sealed payload")


@pytest.mark.parametrize("length, says", [
    (2 << 20, "a header length of 2,097,152 bytes"),  # past the 1 MiB bound
    (5000, "a header length of 5,000 bytes"),  # not a multiple of 4096
    (1 << 20, "within the file's"),  # within the bound, past the file's end
])
def test_a_header_length_out_of_bounds_is_refused_before_parsing(parties, length, says):
    queries = parties.handover / "operator.queries"
    meta, payload = split(queries)
    write(queries, meta, payload, signer=parties.home["operator"], length=length)
    refused(parties, lambda: parties.step("bank", "randomize", "sender-bank"), f"{queries} has a damaged header",
            says)


@pytest.mark.parametrize("write_old", [write_format_2, write_format_1], ids=["format 2", "format 1"])
def test_files_of_earlier_formats_are_refused_naming_the_step_to_run_again(parties, write_old):
    queries = parties.handover / "operator.queries"
    meta, payload = split(queries)
    write_old(queries, meta, payload)
    refused(parties, lambda: parties.step("bank", "randomize", "sender-bank"),
            exact=f"{queries} is in the file format of an earlier vorlinde-match; ask the operator to run "
                  "`vorlinde-match operator query` again")
    store = parties.handover / "receiver-bank.store"
    meta, payload = split(store)
    write_old(store, meta, payload)
    refused(parties, parties.query, exact=f"{store} is in the file format of an earlier vorlinde-match; ask the "
                                          "receiver bank to run `vorlinde-match bank build` again")
    # A folder's keys of format 2 are read on (it gets an identity with `keys
    # --add-identity`); of format 1 they are not.
    key = parties.home["operator"] / "public.key"
    meta, payload = split(key)
    write_old(key, meta, payload)
    if write_old is write_format_1:
        refused(parties, parties.query, f"{key} is in the file format of an earlier vorlinde-match; make new keys")
    else:
        refused(parties, parties.query, exact=f"{store} is in the file format of an earlier vorlinde-match; ask the "
                                              "receiver bank to run `vorlinde-match bank build` again")


# A crafted store: its partition table (the sender bank's store, read by the
# operator's query step). B is the payload's length.

def _partitions(count, total):
    return [1] * (count - 1) + [total - count + 1]


STORE_CASES = {
    # Each slice payload[at:at + length] of the old reader copied the whole
    # payload again: a table like this multiplied the operator's memory.
    "negative lengths": (lambda m, b: {**m, "partitions": 3, "parts": [b, -b, b], "partition_seed": "0" * 32},
                         "header field 'parts' is not a list of 1 to 32,768 items, each a whole number from 1"),
    "too many partitions": (lambda m, b: {**m, "partitions": 10**6, "parts": [b]},
                            "header field 'partitions' is not a whole number from 1 to 32,768"),
    "lengths past the payload": (lambda m, b: {**m, "partitions": 2, "parts": [b, 1], "partition_seed": "0" * 32},
                                 "its partitions add up to {b1:,} bytes, but the payload has {stored:,} sealed"),
    "fewer lengths than partitions": (lambda m, b: {**m, "partitions": 2, "parts": [b], "partition_seed": "0" * 32},
                                      "its partition table has 1 lengths where its header says 2 partitions"),
    "no seed": (lambda m, b: {**m, "partitions": 2, "parts": [1, b - 1]}, "partition seed"),
    "another bank's fingerprint": (lambda m, b: {**m, "keys": {"receiver-bank": "0" * 32}},
                                   "does not record the fingerprint of its bank's key"),
}


@pytest.mark.parametrize("edit, says", list(STORE_CASES.values()), ids=list(STORE_CASES))
def test_a_crafted_partition_table_is_refused_before_anything_is_allocated(parties, edit, says):
    store = parties.handover / "sender-bank.store"
    meta, payload = split(store)
    b = sum(meta["parts"])  # the plaintext's length
    write(store, edit(meta, b), payload, signer=parties.home["sender-bank"])
    refused(parties, parties.query, f"{store}", says.format(b=b, b1=b + 1, stored=len(payload)),
            "ask the sender bank to run `vorlinde-match bank build` again")


def test_a_consistent_table_of_tiny_partitions_ends_in_a_named_module_failure(parties):
    # A header that adds up: thousands of one-byte stores, which the module
    # cannot parse. The operator's query names both stores.
    store = parties.handover / "sender-bank.store"
    meta, payload = split(store)
    b = sum(meta["parts"])
    count = min(32768, b // 2)
    write(store, {**meta, "partitions": count, "parts": _partitions(count, b), "partition_seed": "0" * 32}, payload,
          signer=parties.home["sender-bank"])
    refused(parties, parties.query, f"{store} or {parties.handover / 'receiver-bank.store'}: the module could not "
            "read one of them (", "); a file is damaged or not from this run: ask the banks to run `vorlinde-match "
            "bank build` again")


# Content the module cannot use ---------------------------------------------

def test_a_failure_inside_the_module_names_the_file_and_keeps_the_modules_message(parties):
    import vorlinde
    from conftest import panic_message

    queries = parties.handover / "operator.queries"
    meta, payload = split(queries)
    garbage = hashlib.shake_256(b"not records").digest(ROWS * 128)
    body, recipients = sealed(garbage, parties.home["sender-bank"], parties.home["receiver-bank"])
    # Sealed and signed by the operator: the file is as its header says.
    write(queries, {**meta, "recipients": recipients}, body, signer=parties.home["operator"])
    # The module's own message, from the module called directly.
    detail = panic_message(lambda: vorlinde.randomize(garbage))
    refused(parties, lambda: parties.step("bank", "randomize", "sender-bank"),
            exact=f"{queries}: the module could not read it ({detail}); the file is damaged or not from this "
                  "run: ask the operator to run `vorlinde-match operator query` again")
    # Without the fixed digest the same content is reported as damaged.
    write(queries, {**meta, "recipients": recipients, "bytes": len(body)}, body, signer=parties.home["operator"],
          fix_digest=False)
    refused(parties, lambda: parties.step("bank", "randomize", "sender-bank"),
            exact=f"{queries} does not match its digest: it was altered or damaged; ask the operator to run "
                  "`vorlinde-match operator query` again")
    parties.run("query", "randomize", "combine", "decrypt")
    assert parties.gives_the_answer()


# The chain: stale files, new keys, another pair's public key -------------------

def test_decrypted_points_left_from_before_randomize_and_combine_ran_again_are_refused(parties):
    # Before the chain, finish took them and reported 0 matches, exit 0.
    assert parties.step("bank", "randomize", "sender-bank").returncode == 0
    parties.run("combine")
    handover = parties.handover
    refused(parties, lambda: parties.step("operator", "finish", "operator"),
            exact=f"{handover / 'sender-bank.decrypted'} was made from an earlier "
                  f"{handover / 'operator.for-sender-bank'}, not the current one; ask the sender bank to run "
                  "`vorlinde-match bank decrypt` again")
    parties.run("decrypt")
    assert parties.gives_the_answer()


def test_points_combined_before_the_bank_randomized_again_are_refused_by_decrypt(parties):
    assert parties.step("bank", "randomize", "sender-bank").returncode == 0
    handover = parties.handover
    refused(parties, lambda: parties.step("bank", "decrypt", "sender-bank"),
            exact=f"{handover / 'operator.for-sender-bank'} was made from an earlier "
                  f"{handover / 'sender-bank.randomized'}, not the current one; ask the operator to run "
                  "`vorlinde-match operator combine` again")
    parties.run("combine", "decrypt")
    assert parties.gives_the_answer()


def test_a_store_built_again_after_the_query_stops_randomize(parties):
    parties.run("build")
    queries, store = parties.handover / "operator.queries", parties.handover / "sender-bank.store"
    refused(parties, lambda: parties.step("bank", "randomize", "sender-bank"),
            exact=f"{queries} was made from an earlier {store}, not the current one; ask the operator to run "
                  "`vorlinde-match operator query` again")
    parties.run("query", "randomize", "combine", "decrypt")
    assert parties.gives_the_answer()


def _after_new_keys(p, role):
    home, handover = p.home[role], p.handover
    return {
        "sender-bank": (("bank", "randomize", "sender-bank"),
                        f"{handover / 'operator.queries'} was made for another key of the sender bank than "
                        f"{home / 'public.key'} (new keys since?); run `vorlinde-match bank build` again, then ask "
                        "the operator to run `vorlinde-match operator query` again", ALL_STEPS[:-1]),
        "receiver-bank": (("bank", "decrypt", "receiver-bank"),
                          f"{handover / 'operator.for-receiver-bank'} was made for another key of the receiver bank "
                          f"than {home / 'public.key'} (new keys since?); run `vorlinde-match bank build` again, and "
                          "the steps after it", ALL_STEPS[:-1]),
        "operator": (("operator", "combine", "operator"),
                     f"{home / 'transactions.ids'} was made for another key of the operator than "
                     f"{home / 'public.key'} (new keys since?); run `vorlinde-match operator query` again",
                     ALL_STEPS[1:-1]),
    }[role]


@pytest.mark.parametrize("role", ROLES)
def test_new_keys_mid_run_are_refused_by_the_next_step_that_relies_on_them(parties, role):
    parties.new_keys(role)
    step, says, again = _after_new_keys(parties, role)
    refused(parties, lambda: parties.step(*step), exact=says)
    parties.run(*again)
    assert parties.gives_the_answer()


@pytest.mark.parametrize("role, first", [("receiver-bank", "build"), ("operator", "query")])
def test_a_public_key_of_another_pair_is_refused_where_the_secret_key_is_read(parties, tmp_path, role, first):
    assert parties.keys(role, tmp_path / "other").returncode == 0
    public = parties.home[role] / "public.key"
    kept = public.read_bytes()
    shutil.copy(tmp_path / "other" / "public.key", public)
    # The steps that read only the public key cannot tell; the chain carries
    # its fingerprint to the step that holds the secret key.
    start = ALL_STEPS.index(first)
    parties.run(*ALL_STEPS[start:-2])
    last = ("bank", "decrypt", role) if role in BANKS else ("operator", "finish", "operator")
    if role == "operator":
        parties.run("decrypt")
    home = parties.home[role]
    refused(parties, lambda: parties.step(*last),
            exact=f"{public} is not the public key of {home / 'secret.key'} (it belongs to another key pair); put "
                  f"back the public key made with it, or make new keys and run every step again from "
                  f"`vorlinde-match {'bank build' if role in BANKS else 'operator query'}`")
    public.write_bytes(kept)
    # The right key back: what was made for the other one is refused too.
    refused(parties, lambda: parties.step(*last), "was made for another key of the")
    parties.run(*ALL_STEPS[start:-1])
    assert parties.gives_the_answer()


def test_randomized_records_of_another_length_give_both_numbers(parties):
    randomized = parties.handover / "receiver-bank.randomized"
    meta, _ = split(randomized)
    body, recipients = sealed(opened(randomized, parties.home["operator"])[:-128], parties.home["operator"])
    write(randomized, {**meta, "count": meta["count"] - 1, "recipients": recipients}, body,
          signer=parties.home["receiver-bank"])
    refused(parties, lambda: parties.step("operator", "combine", "operator"),
            exact=f"{randomized} holds {ROWS - 1:,} items, but this run has {ROWS:,} transactions; it belongs to "
                  "another run or was cut short: ask the receiver bank to run `vorlinde-match bank randomize` again")


# Messages about tables and sizes -----------------------------------------------

def test_csv_faults_name_the_physical_line_counting_quoted_line_breaks(parties, tmp_path):
    # Rows with line breaks inside quotes, a blank line and CRLF inside a
    # field come first; the expected line is counted from the text written.
    lines = ["iban,name"]
    for i in range(7500):
        lines.append(f'DE{i:04d},"Ada\nLovelace {i}"')
    lines.append("")
    lines.append('DE9999,"Grace\r\nHopper"')
    good = "\n".join(lines) + "\n"
    short_row = good + "DE0001\n"
    path = tmp_path / "short.csv"
    path.write_text(short_row, encoding="utf-8", newline="")
    line = good.count("\n") + 1
    assert line > 15_000
    refused(parties, lambda: parties.step("bank", "build", "sender-bank", "--accounts", path, "--columns", "iban,name"),
            exact=f"{path}, line {line:,}: 1 field where the header has 2")
    path.write_bytes(good.encode("utf-8") + b"DE0002,Ad\xe9\n")
    refused(parties, lambda: parties.step("bank", "build", "sender-bank", "--accounts", path, "--columns", "iban,name"),
            exact=f"{path}, line {line:,}: not UTF-8 text; save it as UTF-8 CSV")


def test_many_partitions_fit_the_header_and_the_parsing_share_stays_a_share(data, tmp_path):
    done = command("run", "--data", data, "--work", tmp_path, "--partitions", "2000", "--json")
    assert done.returncode == 0, done.stderr
    store = tmp_path / "handover" / "sender-bank.store"
    assert int(store.read_bytes()[17:24]) > 4096  # what overflowed the fixed header
    assert results(tmp_path / "operator" / "matches.csv") == answer(data)
    query = next(s for s in json.loads(done.stdout) if s["step"] == "operator query")
    share = float(query["store_parsing"].split()[1])
    assert 0 < share <= 100
    too_many = command("bank", "build", "--home", tmp_path / "sender-bank", "--handover", tmp_path / "handover",
                       "--accounts", data / "sender_bank.csv", "--columns", "iban,name", "--partitions", "40000")
    assert too_many.returncode == 1
    assert too_many.stderr == "vorlinde-match: --partitions 40000: a store has at most 32,768 partitions\n"
