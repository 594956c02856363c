"""A scan for secrets and account rows outside their owner's folder, for
tests that run the vorlinde-match command.

A party's folder (home) is any folder holding a `secret.key`; its role is the
one its key header names. `scan(root, accounts)` looks at every file under
`root` (the handover, the outputs, the $TMPDIR given to the command) and
reports each one holding a secret key (raw bytes, or hex in either case)
outside the home it came from, or a bank's account value (a sample of its
`iban` column) outside that bank's home. Files listed in `exempt` (the tables
the parties were given, copied under `root`) are not scanned.

    from command_scan import scan
    assert scan(tmp_path, {"sender-bank": sender_csv, "receiver-bank": receiver_csv}) == []
"""

import csv
import json
import os

KEY_SIZE = 32
SAMPLE = 25


def _inside(path, folder):
    return path == folder or path.startswith(folder.rstrip(os.sep) + os.sep)


# Every secret a party's folder holds: the module's key and its identity's
# signing and sealing keys, each 32 bytes at the end of its file.
SECRET_FILES = ("secret.key", "signing.key", "sealing.key")


def homes(root):
    """{real path of a folder holding a secret key: (role, [key bytes])}."""
    found = {}
    for top, _, names in os.walk(root):
        if "secret.key" not in names:
            continue
        with open(os.path.join(top, "secret.key"), "rb") as f:
            data = f.read()
        # A header ("vorlinde-match/N " and a JSON object, padded), then the
        # key: its last 32 bytes, whatever the header's length.
        role = None
        if data.startswith(b"vorlinde-match/") and b" " in data[:32]:
            try:
                meta, _ = json.JSONDecoder().raw_decode(data[data.index(b" ") + 1:].decode("ascii", "replace"))
                role = meta.get("role") if isinstance(meta, dict) else None
            except ValueError:
                pass
        keys = []
        for name in SECRET_FILES:
            if name in names:
                with open(os.path.join(top, name), "rb") as f:
                    data = f.read()
                key = data[-KEY_SIZE:]
                if len(data) > KEY_SIZE and any(key):  # a test's all-zero key would match anywhere
                    keys.append(key)
        if keys:
            found[os.path.realpath(top)] = (role, keys)
    return found


def account_values(path, column="iban", sample=SAMPLE):
    """Up to `sample` values of `column`, spread over the table."""
    with open(path, newline="", encoding="utf-8") as f:
        values = [row[column] for row in csv.DictReader(f) if row.get(column)]
    step = max(1, len(values) // sample)
    return [v.encode("utf-8") for v in values[::step][:sample]]


def scan(root, accounts=None, exempt=()):
    """[(file, what)] for every secret or account value found under `root`
    outside its owner's home; `accounts` maps a bank's role to its table."""
    found_homes = homes(root)
    rows = {role: account_values(path) for role, path in (accounts or {}).items()}
    skip = {os.path.realpath(p) for p in exempt}
    findings = []
    for top, _, names in os.walk(root):
        for name in names:
            path = os.path.realpath(os.path.join(top, name))
            if path in skip or not os.path.isfile(path) or os.path.islink(os.path.join(top, name)):
                continue
            with open(path, "rb") as f:
                data = f.read()
            for home, (_, keys) in found_homes.items():
                if _inside(path, home):
                    continue
                for key in keys:
                    if any(form in data for form in (key, key.hex().encode(), key.hex().upper().encode())):
                        findings.append((path, f"a secret key of {home}"))
                        break
            for role, values in rows.items():
                owners = [h for h, (r, _) in found_homes.items() if r == role]
                if any(_inside(path, h) for h in owners):
                    continue
                hits = [v for v in values if v in data]
                if hits:
                    findings.append((path, f"{len(hits)} account values of the {role}"))
    return findings
