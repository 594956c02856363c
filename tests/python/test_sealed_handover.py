"""Signed and sealed handed-over files, as a carrier, a stranger or a party
that deviates would hand them over: every file tampered with, taken from
elsewhere or signed by a key the reader does not pin must end in exit status
1, one line naming the file and what to do, and nothing written. Bodies are
cut, swapped and re-signed here with libsodium's own functions (PyNaCl),
from the format as docs/pipeline.md states it, not with the package's code;
a known-answer file in data/ checks that reading."""

import hashlib
import json
import os
import platform
import shutil
import subprocess
import sys

import pytest

pytest.importorskip("nacl", reason="vorlinde-match needs PyNaCl")
import nacl.bindings  # noqa: E402
import nacl.public  # noqa: E402
import nacl.signing  # noqa: E402
from test_handover_files import (ROLES, answer, command, fingerprint, identity, opened, refused,  # noqa: E402
                                 results, sealed, secret, split, write, write_format_2)

# Subprocess runs of the command: once, on CPython.
pytestmark = [pytest.mark.unsanitized,
              pytest.mark.skipif(platform.python_implementation() == "PyPy", reason="runs once, on CPython")]

EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples")
KNOWN_ANSWER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "sealed-known-answer.records")
CHUNK = 1 << 16
STORED_CHUNK = CHUNK + 17
# Enough transactions for queries of several chunks (128 bytes a record).
ROWS = 1700

sys.path.insert(0, EXAMPLES)
import make_sample  # noqa: E402

sys.path.remove(EXAMPLES)


class Run:
    """The folders of a whole run (`vorlinde-match run --work`)."""

    def __init__(self, root, data):
        self.root, self.data = root, data
        self.home = {role: root / role for role in ROLES}
        self.handover = root / "handover"

    def step(self, party, step, role, *args):
        return command(party, step, "--home", self.home[role], "--handover", self.handover, "--quiet", *args)

    def query(self):
        return self.step("operator", "query", "operator", "--transactions", self.data / "transactions.csv",
                         "--sender-columns", "sender_iban,sender_name",
                         "--receiver-columns", "receiver_iban,receiver_name")

    def build(self, bank):
        table = "sender_bank.csv" if bank == "sender-bank" else "receiver_bank.csv"
        return self.step("bank", "build", bank, "--accounts", self.data / table, "--columns", "iban,name")

    def ok(self, done):
        assert done.returncode == 0, done.stderr

    def finish_again(self):
        """randomize to finish: the known answer."""
        for step, role in (("randomize", "sender-bank"), ("randomize", "receiver-bank"), ("combine", "operator"),
                           ("decrypt", "sender-bank"), ("decrypt", "receiver-bank"), ("finish", "operator")):
            self.ok(self.step("operator" if role == "operator" else "bank", step, role))
        return results(self.home["operator"] / "matches.csv") == answer(self.data)


@pytest.fixture(scope="module")
def data(tmp_path_factory):
    folder = tmp_path_factory.mktemp("data")
    make_sample.write_set(str(folder), ROWS, 29)
    return folder


@pytest.fixture(scope="module")
def finished(tmp_path_factory, data):
    root = tmp_path_factory.mktemp("finished")
    done = command("run", "--data", data, "--work", root, "--quiet")
    assert done.returncode == 0, done.stderr
    return root


@pytest.fixture
def run(tmp_path, data, finished):
    shutil.copytree(finished, tmp_path / "run")
    return Run(tmp_path / "run", data)


def chunks(body):
    """A sealed body's stream header and its stored chunks."""
    return body[:24], [body[i:i + STORED_CHUNK] for i in range(24, len(body), STORED_CHUNK)]


def resign(path, by, **changes):
    """The file's header with `changes`, its digest and length fixed, signed
    by the party whose folder is `by`, with the same body."""
    meta, body = split(path)
    write(path, {**meta, **changes}, body, signer=by)


def ask(party, step):
    return f"ask the {party} to run `vorlinde-match {step}` again"


# Tampered bodies and headers ---------------------------------------------------
#
# Each case changes operator.queries (which has more than two chunks) and
# gives the line the sender bank's randomize must end with.

def flip_with_digest(run, path):
    # The body's digest recomputed in the header, whose signature is kept.
    meta, body = split(path)
    altered = bytearray(body)
    altered[len(body) // 2] ^= 0x20
    data = path.read_bytes()
    digest = hashlib.blake2b(bytes(altered), digest_size=32).hexdigest()
    path.write_bytes(data[:len(data) - len(body)].replace(meta["blake2b"].encode(), digest.encode()) + altered)


def flip_resigned(run, path):
    meta, body = split(path)
    altered = bytearray(body)
    altered[24 + STORED_CHUNK + 100] ^= 0x01  # in the second chunk
    write(path, meta, bytes(altered), signer=run.home["operator"])


def edit_header(run, path):
    data = bytearray(path.read_bytes())
    at = data.index(b'"run":"') + 7
    data[at] = ord("0") if data[at] != ord("0") else ord("1")
    path.write_bytes(bytes(data))


def cut_at_boundary(run, path):
    meta, body = split(path)
    header = path.read_bytes()[:len(path.read_bytes()) - len(body)]
    path.write_bytes(header + body[:24 + 2 * STORED_CHUNK])


def cut_resigned(run, path):
    # Cut after two chunks, the header made to agree (count, length, digest)
    # and signed: only the missing final chunk is left to tell.
    meta, body = split(path)
    write(path, {**meta, "count": 2 * CHUNK // 128}, body[:24 + 2 * STORED_CHUNK], signer=run.home["operator"])


def swap_chunks(run, path):
    meta, body = split(path)
    head, parts = chunks(body)
    parts[0], parts[1] = parts[1], parts[0]
    write(path, meta, head + b"".join(parts), signer=run.home["operator"])


def foreign_chunk(run, path):
    # The operator's own queries of another run, same length, sealed anew.
    meta, body = split(path)
    other, _ = sealed(opened(path, run.home["sender-bank"]), run.home["sender-bank"], run.home["receiver-bank"])
    head, parts = chunks(body)
    parts[1] = chunks(other)[1][1]
    write(path, meta, head + b"".join(parts), signer=run.home["operator"])


def unknown_version(run, path):
    data = path.read_bytes()
    path.write_bytes(b"vorlinde-match/9 " + data[17:])


AUTHENTICATE = "{q}: chunk {n} of its body does not authenticate (altered, out of order or from another file); {again}"
SIGNATURE = "{q} does not match the operator's signature: it was altered after it was signed; {again}"
# name: (tampering, the line without "vorlinde-match: "; {q} is the file,
# {length} the length its header states).
CASES = {
    "a byte flipped, the digest recomputed": (flip_with_digest, SIGNATURE),
    "a byte flipped, the digest recomputed and the header signed again": (
        flip_resigned, AUTHENTICATE.replace("{n}", "2")),
    "a header edited": (edit_header, SIGNATURE),
    "a body cut at a chunk boundary": (
        cut_at_boundary, "{q} has " + f"{24 + 2 * STORED_CHUNK:,}" + " bytes of payload where its header says "
                         "{length:,}: it was cut short or altered; {again}"),
    "a body cut at a chunk boundary, the header made to agree and signed": (
        cut_resigned, "{q}: its body ends after chunk 2, which is not its final chunk (cut short); {again}"),
    "two chunks swapped": (swap_chunks, AUTHENTICATE.replace("{n}", "1")),
    "a chunk taken from another file": (foreign_chunk, AUTHENTICATE.replace("{n}", "2")),
    "an unknown format version": (
        unknown_version, "{q} is in a file format this vorlinde-match does not know (version '9'; this one reads 3): "
                         "update vorlinde-match, or {again}"),
}


@pytest.mark.parametrize("case", list(CASES))
def test_a_tampered_file_is_refused_before_anything_is_written(run, case):
    queries = run.handover / "operator.queries"
    meta, body = split(queries)
    assert len(body) > 24 + 2 * STORED_CHUNK  # more than two chunks
    tamper, says = CASES[case]
    tamper(run, queries)
    refused(run, lambda: run.step("bank", "randomize", "sender-bank"),
            exact=says.format(q=queries, length=len(body), again=ask("operator", "operator query")))


# Who signed it, for whom, when ------------------------------------------------------

def test_a_file_signed_by_a_key_not_pinned_for_its_role_is_refused(run, tmp_path):
    stranger = tmp_path / "stranger"
    assert command("keys", "--role", "operator", "--home", stranger, "--quiet").returncode == 0
    queries = run.handover / "operator.queries"
    kept = queries.read_bytes()
    pinned = identity(run.home["operator"])
    shown = " ".join(fingerprint(identity(stranger))[i:i + 4] for i in range(0, 32, 4))
    pinned_shown = " ".join(fingerprint(pinned)[i:i + 4] for i in range(0, 32, 4))
    # Signed by the stranger, naming itself.
    resign(queries, stranger, signer=fingerprint(identity(stranger)))
    refused(run, lambda: run.step("bank", "randomize", "sender-bank"),
            exact=f"{queries} is signed by an identity that {run.home['sender-bank'] / 'parties.json'} does not pin "
                  f"for the operator ({shown}; pinned: {pinned_shown}); if the operator has made new keys, compare "
                  "its new fingerprint with it and pin it with `vorlinde-match trust --replace`; otherwise do not "
                  "use this file")
    # Signed by the stranger, naming the pinned operator.
    queries.write_bytes(kept)
    resign(queries, stranger)
    refused(run, lambda: run.step("bank", "randomize", "sender-bank"),
            exact=f"{queries} does not match the operator's signature: it was altered after it was signed; "
                  f"{ask('operator', 'operator query')}")


def test_a_store_of_the_receiver_bank_given_as_the_senders_is_refused(run):
    stores = {bank: run.handover / f"{bank}.store" for bank in ("sender-bank", "receiver-bank")}
    shutil.copy(stores["receiver-bank"], stores["sender-bank"])
    refused(run, run.query, exact=f"{stores['sender-bank']} comes from the receiver bank, not the sender bank; ask "
                                  "the sender bank for its own file")
    # The receiver bank claims to be the sender and signs its claim.
    keys = split(stores["sender-bank"])[0]["keys"]
    resign(stores["sender-bank"], run.home["receiver-bank"], role="sender-bank",
           keys={"sender-bank": keys["receiver-bank"]})
    refused(run, run.query, exact=f"{stores['sender-bank']} is signed by the receiver bank, not by the sender bank; "
                                  "ask the sender bank for its own file")


def test_a_file_of_an_earlier_run_is_refused(run):
    earlier = (run.handover / "sender-bank.randomized").read_bytes()
    run.ok(run.query())
    for bank in ("sender-bank", "receiver-bank"):
        run.ok(run.step("bank", "randomize", bank))
    (run.handover / "sender-bank.randomized").write_bytes(earlier)
    path = run.handover / "sender-bank.randomized"
    line = refused(run, lambda: run.step("operator", "combine", "operator"), f"{path} belongs to another matching "
                   "run (", f"; {ask('sender bank', 'bank randomize')}")
    assert line.startswith(f"vorlinde-match: {path} belongs to another matching run")


def test_a_file_sealed_for_another_party_is_refused(run, tmp_path):
    handover = run.handover
    shutil.copy(handover / "operator.for-sender-bank", handover / "operator.for-receiver-bank")
    refused(run, lambda: run.step("bank", "decrypt", "receiver-bank"),
            exact=f"{handover / 'operator.for-receiver-bank'} is sealed for the sender bank, not for the receiver "
                  "bank; use the file meant for this party")
    # A store the sender bank sealed for a stranger it pinned as the operator.
    stranger = tmp_path / "stranger"
    assert command("keys", "--role", "operator", "--home", stranger, "--quiet").returncode == 0
    done = command("trust", "--home", run.home["sender-bank"], "--role", "operator", "--key",
                   stranger / "identity.json", "--replace", "--quiet")
    assert done.returncode == 0, done.stderr
    run.ok(run.build("sender-bank"))
    store = handover / "sender-bank.store"
    mine = " ".join(fingerprint(identity(run.home["operator"]))[i:i + 4] for i in range(0, 32, 4))
    refused(run, run.query, exact=f"{store} is sealed for another identity of the operator than this folder's "
                                  f"({mine}); {ask('sender bank', 'bank build')}, after the sender bank has pinned "
                                  "this identity")


# Pins -----------------------------------------------------------------------------------

def test_a_pin_is_replaced_only_with_replace_showing_both_fingerprints(run, tmp_path):
    stranger = tmp_path / "stranger"
    assert command("keys", "--role", "operator", "--home", stranger, "--quiet").returncode == 0
    home = run.home["sender-bank"]
    old = " ".join(fingerprint(identity(run.home["operator"]))[i:i + 4] for i in range(0, 32, 4))
    new = " ".join(fingerprint(identity(stranger))[i:i + 4] for i in range(0, 32, 4))
    trust = ("trust", "--home", home, "--role", "operator", "--key", stranger / "identity.json")
    refused(run, lambda: command(*trust),
            exact=f"{home / 'parties.json'} pins another identity for the operator ({old}), not {new}; if the "
                  "operator has made new keys, compare the new fingerprint with it and run the same command with "
                  "--replace")
    done = command(*trust, "--replace")
    assert done.returncode == 0, done.stderr
    assert f"the operator's identity replaced: was {old}, now {new}" in done.stderr + done.stdout
    # The real operator's files are now refused; pinning it back restores the run.
    line = refused(run, lambda: run.step("bank", "randomize", "sender-bank"), "is signed by an identity that")
    assert f"pinned: {new}" in line
    assert command(*trust[:-1], run.home["operator"] / "identity.json", "--replace").returncode == 0
    assert run.finish_again()


@pytest.mark.parametrize("key_file, says", [
    ("receiver-bank", "{f} is the identity of the receiver bank, not of the operator; give --role receiver-bank, "
                      "or the operator's identity file"),
    ("altered", "{f} shows a fingerprint that is not its keys' ({shown}): it was altered; ask its party for the "
                "identity.json that `vorlinde-match keys` wrote"),
    ("not json", "{f} is not an identity file (not JSON); ask its party for the identity.json that `vorlinde-match "
                 "keys` wrote"),
])
def test_an_identity_file_that_is_not_the_roles_is_refused(run, tmp_path, key_file, says):
    f = tmp_path / "identity.json"
    shown = ""
    if key_file == "receiver-bank":
        shutil.copy(run.home["receiver-bank"] / "identity.json", f)
    elif key_file == "altered":
        value = identity(run.home["operator"])
        value["sealing_key"] = identity(run.home["receiver-bank"])["sealing_key"]  # a carrier's swap
        f.write_text(json.dumps(value))
        shown = " ".join(fingerprint(value)[i:i + 4] for i in range(0, 32, 4))
    else:
        f.write_text("operator, trust me")
    refused(run, lambda: command("trust", "--home", run.home["sender-bank"], "--role", "operator", "--key", f),
            exact=says.format(f=f, shown=shown))


def test_a_step_that_needs_an_unpinned_party_names_the_command_that_pins_it(run):
    home = run.home["operator"]
    (home / "parties.json").unlink()
    refused(run, run.query, exact=f"{home / 'parties.json'} pins no identity for the sender bank; get its "
                                  f"identity.json and run `vorlinde-match trust --home {home} --role sender-bank "
                                  "--key FILE`")


def test_a_folder_made_before_identities_gets_one_with_add_identity(run):
    # The folder as the earlier version left it: its keys in format 2, no identity.
    home = run.home["sender-bank"]
    for name in ("signing.key", "sealing.key", "identity.json"):
        (home / name).unlink()
    for name in ("secret.key", "public.key"):
        meta, payload = split(home / name)
        write_format_2(home / name, {k: v for k, v in meta.items() if k not in ("bytes", "blake2b")}, payload)
        assert (home / name).read_bytes().startswith(b"vorlinde-match/2 ")
    os.chmod(home / "secret.key", 0o600)
    refused(run, lambda: run.build("sender-bank"),
            exact=f"{home} has no signing.key: its identity (signing and sealing keys) is missing; make it with "
                  f"`vorlinde-match keys --add-identity --home {home}`")
    done = command("keys", "--add-identity", "--home", home)
    assert done.returncode == 0, done.stderr
    shown = " ".join(fingerprint(identity(home))[i:i + 4] for i in range(0, 32, 4))
    assert shown in done.stderr + done.stdout
    # Its identity is new: the operator pins it (replacing the old one).
    done = command("trust", "--home", run.home["operator"], "--role", "sender-bank", "--key", home / "identity.json",
                   "--replace", "--quiet")
    assert done.returncode == 0, done.stderr
    run.ok(run.build("sender-bank"))
    run.ok(run.query())
    assert run.finish_again()
    # Never twice, and never over an identity.
    again = command("keys", "--add-identity", "--home", home)
    assert again.returncode == 1 and "exists already" in again.stderr


def test_secret_halves_are_owner_only_and_never_in_a_handed_over_file(run):
    for role in ROLES:
        home = run.home[role]
        for name in ("signing.key", "sealing.key", "secret.key"):
            assert os.stat(home / name).st_mode & 0o077 == 0
            key = secret(home, name)
            for handed in run.handover.iterdir():
                data = handed.read_bytes()
                assert key not in data and key.hex().encode() not in data, (handed, name)


# The format, as a second implementation reads it ----------------------------------------

def _known_secret(label):
    return hashlib.blake2b(label.encode(), digest_size=32).digest()


# The known-answer file's parties: their secret halves are derived from these
# labels (BLAKE2b-256 of the label), its plaintext from SHAKE-256.
KNOWN = {role: (_known_secret(f"known answer: {name} signing"), _known_secret(f"known answer: {name} sealing"))
         for role, name in (("operator", "operator"), ("sender-bank", "sender"), ("receiver-bank", "receiver"))}
KNOWN_PLAIN = hashlib.shake_256(b"vorlinde-match known answer").digest(1172 * 128)


def _known_identity(role):
    signing, sealing = KNOWN[role]
    return {"role": role, "signing_key": bytes(nacl.signing.SigningKey(signing).verify_key).hex(),
            "sealing_key": bytes(nacl.public.PrivateKey(sealing).public_key).hex()}


@pytest.mark.parametrize("reader", ["sender-bank", "receiver-bank"])
def test_the_known_answer_file_opens_as_the_format_says(reader):
    with open(KNOWN_ANSWER, "rb") as f:
        data = f.read()
    # Header: magic, length, JSON, spaces, signature, newline; the signature
    # is the operator's over every byte before its hex digits.
    assert data[:17] == b"vorlinde-match/3 "
    length = int(data[17:24])
    head, body = data[:length], data[length:]
    meta = json.loads(head[25:length - 130])
    signature = bytes.fromhex(head[length - 129:length - 1].decode())
    operator = _known_identity("operator")
    nacl.signing.VerifyKey(bytes.fromhex(operator["signing_key"])).verify(head[:length - 129], signature)
    assert meta["signer"] == fingerprint(operator)
    assert meta["bytes"] == len(body) and meta["blake2b"] == hashlib.blake2b(body, digest_size=32).hexdigest()
    assert {r: e["identity"] for r, e in meta["recipients"].items()} == \
        {r: fingerprint(_known_identity(r)) for r in ("sender-bank", "receiver-bank")}
    # Body: the file key from the reader's sealed box, then the stream.
    box = nacl.public.SealedBox(nacl.public.PrivateKey(KNOWN[reader][1]))
    key = box.decrypt(bytes.fromhex(meta["recipients"][reader]["file_key"]))
    state = nacl.bindings.crypto_secretstream_xchacha20poly1305_state()
    nacl.bindings.crypto_secretstream_xchacha20poly1305_init_pull(state, body[:24], key)
    plain, tags = [], []
    for at in range(24, len(body), STORED_CHUNK):
        message, tag = nacl.bindings.crypto_secretstream_xchacha20poly1305_pull(state, body[at:at + STORED_CHUNK])
        plain.append(message)
        tags.append(tag)
    assert [len(p) for p in plain] == [CHUNK, CHUNK, len(KNOWN_PLAIN) - 2 * CHUNK]
    assert tags == [0, 0, nacl.bindings.crypto_secretstream_xchacha20poly1305_TAG_FINAL]
    assert b"".join(plain) == KNOWN_PLAIN and meta["count"] * 128 == len(KNOWN_PLAIN)


def test_the_package_reads_the_known_answer_file_and_refuses_it_altered(tmp_path):
    from vorlinde_match import files, sealing
    from vorlinde_match.errors import StepError

    class Known:
        """What a step knows, for the sender bank of the known-answer file."""

        path = "parties.json"
        me = sealing.Secrets("sender-bank", *KNOWN["sender-bank"])

        def pinned(self, role):
            i = _known_identity(role)
            return sealing.Identity(role, bytes.fromhex(i["signing_key"]), bytes.fromhex(i["sealing_key"]))

        def role_of(self, fp):
            return next((r for r in ROLES if fingerprint(_known_identity(r)) == fp), None)

    meta, key = files.read_handed_over(KNOWN_ANSWER, "records", "operator", Known(), "again")
    assert files.read_payload(KNOWN_ANSWER, meta, key) == KNOWN_PLAIN
    # One bit of the last chunk: the reader hands out the first two chunks'
    # plaintext, and only `verify` (before a step commits) says it is not whole.
    altered = tmp_path / "altered"
    data = bytearray(open(KNOWN_ANSWER, "rb").read())
    data[-3] ^= 1
    altered.write_bytes(bytes(data))
    meta, key = files.read_handed_over(str(altered), "records", "operator", Known(), "again")
    with files.StreamReader(str(altered), meta, 128, key, "again") as reader:
        assert reader.read(1024) == KNOWN_PLAIN[:1024 * 128]
        with pytest.raises(StepError, match="chunk 3 of its body does not authenticate"):
            reader.verify()


def test_vorlinde_match_without_pynacl_says_what_to_install(tmp_path):
    # A path entry whose `nacl` cannot be imported stands in for a missing PyNaCl.
    (tmp_path / "nacl").mkdir()
    (tmp_path / "nacl" / "__init__.py").write_text("raise ImportError('no PyNaCl here')\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(tmp_path), os.environ.get("PYTHONPATH", "")]))
    helped = subprocess.run([sys.executable, "-m", "vorlinde_match", "--help"], capture_output=True, text=True,
                            env=env, timeout=60)
    assert helped.returncode == 0
    done = subprocess.run([sys.executable, "-m", "vorlinde_match", "keys", "--role", "operator", "--home",
                           tmp_path / "operator"], capture_output=True, text=True, env=env, timeout=60)
    assert done.returncode == 1
    assert done.stderr == ("vorlinde-match: vorlinde-match signs and seals the files it hands over with PyNaCl, "
                           "which is not installed: pip install 'vorlinde[match]' (or pip install pynacl)\n")
