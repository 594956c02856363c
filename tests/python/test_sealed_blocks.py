"""Sealed bodies written and read a block of chunks at a time: the bytes on
disk are the format's chunk by chunk (opened here with PyNaCl alone, as the
format describes), whatever the body's length against the block, and the
package reads back what it wrote, in any piece sizes, refusing a body cut
short or altered at the chunk where it happens."""

import hashlib
import itertools
import json
import os

import pytest

pytest.importorskip("nacl.bindings")
import nacl.bindings  # noqa: E402
import nacl.public  # noqa: E402
import nacl.signing  # noqa: E402

from vorlinde_match import files, sealing  # noqa: E402
from vorlinde_match.errors import StepError  # noqa: E402

CHUNK = 1 << 16  # the format's plaintext chunk
STORED_CHUNK = CHUNK + 17
RECORD = 128
# Plaintext lengths around the reader's and writer's 16-chunk blocks.
LENGTHS = [0, RECORD, 16 * CHUNK - RECORD, 16 * CHUNK, 16 * CHUNK + RECORD, 33 * CHUNK + 10 * RECORD]


def _party(role):
    return sealing.Secrets(role, os.urandom(32), os.urandom(32))


def _write(path, plain, writer, reader):
    meta = {"kind": "records", "role": writer.identity.role, "count": len(plain) // RECORD}
    with open(path, "wb") as f:
        out = files.SealedWriter(f, meta, str(path), writer, [reader.identity])
        # Pieces of odd sizes, so that chunks and blocks fall across them.
        for at in range(0, len(plain), 100_000):
            out.write(plain[at:at + 100_000])
        out.close()


def _opened_by_hand(path, reader):
    """(header fields, plaintext, tags) as the format says to open them."""
    data = path.read_bytes()
    length = int(data[17:24])
    head, body = data[:length], data[length:]
    meta = json.loads(head[25:length - 130])
    assert meta["bytes"] == len(body) and meta["blake2b"] == hashlib.blake2b(body, digest_size=32).hexdigest()
    key = nacl.public.SealedBox(reader._sealing).decrypt(bytes.fromhex(meta["recipients"][reader.identity.role]
                                                                       ["file_key"]))
    b = nacl.bindings
    state = b.crypto_secretstream_xchacha20poly1305_state()
    b.crypto_secretstream_xchacha20poly1305_init_pull(state, body[:24], key)
    opened = [b.crypto_secretstream_xchacha20poly1305_pull(state, body[at:at + STORED_CHUNK])
              for at in range(24, len(body), STORED_CHUNK)]
    return meta, length, key, b"".join(m for m, _ in opened), [t for _, t in opened]


def _header(meta, length):
    header = files.Header(meta)
    header.size, header.sealed = length, True
    return header


@pytest.mark.parametrize("length", LENGTHS)
def test_a_sealed_body_is_the_formats_chunks_and_reads_back(tmp_path, length):
    operator, bank = _party("operator"), _party("sender-bank")
    plain = hashlib.shake_256(b"sealed blocks %d" % length).digest(length)
    path = tmp_path / "records"
    _write(path, plain, operator, bank)
    meta, size, key, opened, tags = _opened_by_hand(path, bank)
    chunks = max(1, -(-length // CHUNK))
    final = nacl.bindings.crypto_secretstream_xchacha20poly1305_TAG_FINAL
    assert opened == plain and tags == [0] * (chunks - 1) + [final]
    with files.StreamReader(str(path), _header(meta, size), 1, key, "again") as reader:
        pieces = []
        while piece := reader.read(70_001):
            pieces.append(piece)
        reader.verify()
    assert b"".join(pieces) == plain
    # Unjoined, in sizes that start and end inside chunks, between reads.
    with files.StreamReader(str(path), _header(meta, size), 1, key, "again") as reader:
        at = 0
        for n in itertools.cycle((70_001, 5, CHUNK)):
            got = b"".join(reader.pieces(n)) if n != 5 else reader.read(n)
            assert got == plain[at:at + n]
            at += n
            if at >= length:
                break
        reader.verify()


@pytest.mark.parametrize("cut_chunk", [1, 17, 30])
def test_a_body_cut_or_altered_fails_at_its_chunk(tmp_path, cut_chunk):
    operator, bank = _party("operator"), _party("sender-bank")
    plain = os.urandom(33 * CHUNK + 10 * RECORD)
    path = tmp_path / "records"
    _write(path, plain, operator, bank)
    meta, size, key, _, _ = _opened_by_hand(path, bank)
    data = path.read_bytes()
    at = size + 24 + cut_chunk * STORED_CHUNK + 5  # inside chunk cut_chunk + 1 (from 1)
    altered = bytearray(data)
    altered[at] ^= 1
    path.write_bytes(bytes(altered))
    with files.StreamReader(str(path), _header(meta, size), 1, key, "again") as reader:
        # Every chunk before the altered one is handed out as it was.
        assert reader.read(cut_chunk * CHUNK) == plain[:cut_chunk * CHUNK]
        with pytest.raises(StepError, match=f"chunk {cut_chunk + 1:,} of its body does not authenticate"):
            reader.read(1)
    path.write_bytes(data[:at])
    cut = _header({**meta, "bytes": len(data) - size}, size)
    with files.StreamReader(str(path), cut, 1, key, "again") as reader:
        assert reader.read(cut_chunk * CHUNK) == plain[:cut_chunk * CHUNK]
        with pytest.raises(StepError, match="was cut short while it was read"):
            reader.read(1)
