"""Where the handed-over files live: a local folder, a folder on an SFTP
server or a prefix in an S3 bucket. The steps name files in the handover by
their fixed names and never learn which transport holds them; this layer
moves bytes and does not look at them.

A local handover is a plain folder path, and its files plain paths, exactly
as before transports existed. A remote handover (`Remote`) names its files
with `HandoverFile`, a str holding the file's URL (so that every message and
summary shows it) that also carries its transport; the readers in files.py
and `Outputs` open such a file through the transport.

Publishing is atomic on every transport: a reader sees either the previous
file or the whole new one under the final name, never part of one. SFTP
writes `.NAME.partial-XXXXXXXX` beside the destination and renames it over
the destination (OpenSSH's posix-rename) when the step commits. S3 spools the
file in the party's own folder, uploads it as a multipart upload opened when
the file is created, and completes the upload (the moment the object
appears) when the step commits. Whatever a killed step leaves (SFTP partial
files, unfinished multipart uploads, spool files) is removed by the next step
that writes the same file; each handed-over name has one writer, so this
never touches another party's upload in progress.

Credentials never come from the command line, where `ps` shows them: a URL
holding a password is refused. SFTP authenticates with the SSH agent and the
keys in ~/.ssh (or `--ssh-identity FILE`) and accepts only a host whose key
known_hosts holds (~/.ssh/known_hosts and /etc/ssh/ssh_known_hosts, or
`--known-hosts FILE`); an unknown or changed host key is refused, never
added. S3 takes everything from the standard AWS environment and files
(AWS_ACCESS_KEY_ID, AWS_PROFILE, ~/.aws/config, AWS_ENDPOINT_URL_S3, ...);
an endpoint in plain http:// is accepted on this machine only.
"""

import getpass
import ipaddress
import math
import os
import posixpath
import secrets
import socket
import stat
import urllib.parse

from .errors import StepError

SFTP_EXTRA = "pip install 'vorlinde[sftp]'"
S3_EXTRA = "pip install 'vorlinde[s3]'"
SCHEMES = ("sftp", "s3")
# An S3 multipart upload has at most 10,000 parts of at least 5 MiB (but the
# last); parts of 16 MiB cover 156 GiB before they need to grow.
PART_SIZE = 16 << 20
MAX_PARTS = 10000
READ_BLOCK = 4 << 20


def is_url(where):
    """Whether `--handover` names a remote handover (`scheme://...`) rather
    than a local folder."""
    return "://" in str(where)


def partial_prefix(name):
    """The start of the temporary names a file `name` is written under until
    it is committed."""
    return f".{name}.partial-"


def _one_line(error):
    text = " ".join(str(error).split())
    return text or type(error).__name__


def _is_loopback(host):
    """Whether every address `host` resolves to is on this machine."""
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        pass
    try:
        infos = socket.getaddrinfo(host, None)
    except OSError:
        return False
    return bool(infos) and all(ipaddress.ip_address(info[4][0].split("%")[0]).is_loopback for info in infos)


def open_handover(where, home, ssh_identity=None, known_hosts=None):
    """The handover `where` (a folder, or an sftp:// or s3:// URL) for a step of
    the party whose folder is `home`: the folder itself (made if missing), or
    a connected `Remote` that the caller closes. Refuses, before any work, a
    URL with a password, an unknown scheme, a missing extra, and a server or
    bucket that cannot be used, each with one line saying what to do."""
    if not is_url(where):
        try:
            os.makedirs(where, exist_ok=True)
        except OSError as error:
            raise StepError(f"cannot make the handover folder {where}: {error.strerror}") from None
        return where
    try:
        url = urllib.parse.urlsplit(where)
        port = url.port
    except ValueError as error:
        raise StepError(f"--handover: not a URL one can use ({_one_line(error)}); give a folder, "
                        "sftp://USER@HOST:PORT/PATH or s3://BUCKET/PREFIX") from None
    if url.password is not None:
        # The URL itself is not repeated: it holds the password.
        raise StepError("--handover: the URL holds a password, which every user of this machine can read in the "
                        "process list; remove it and let the SSH agent or keys (sftp) or the AWS environment "
                        "or config (s3) provide the credentials")
    scheme = url.scheme.lower()
    if scheme not in SCHEMES:
        raise StepError(f"--handover {where}: the scheme {url.scheme}:// is not one vorlinde-match speaks; give a "
                        "folder, sftp://USER@HOST:PORT/PATH or s3://BUCKET/PREFIX")
    if url.query or url.fragment:
        # Not repeated whole: a query could hold what a password should not.
        raise StepError(f"--handover {url.scheme}://{url.hostname or ''}{url.path}?...: a handover URL takes no "
                        "?query or #fragment; remove it")
    if scheme == "sftp":
        _refuse_local_overlap(where, url, home)
        return SftpHandover(url.hostname, port or 22, url.username, url.path, home, ssh_identity, known_hosts)
    if url.username is not None:
        raise StepError(f"--handover {where}: an s3:// URL names a bucket and a prefix, not a user; the AWS "
                        "environment or config provides the credentials")
    return S3Handover(url.hostname or "", url.path.strip("/"), home)


def _inside(path, folder):
    return path == folder or path.startswith(folder.rstrip(os.sep) + os.sep)


def _refuse_local_overlap(where, url, home):
    """An sftp:// URL to this machine names a folder of this machine's
    (unless the server confines its users elsewhere): it must not overlap
    the party's own folder, as a local handover must not."""
    if not url.hostname or not _is_loopback(url.hostname) or not url.path.startswith("/"):
        return
    there, own = os.path.realpath(url.path), os.path.realpath(home)
    if _inside(there, own) or _inside(own, there):
        raise StepError(f"--handover {where} is on this machine and overlaps the party's folder {home}: what is "
                        "handed over would sit beside its secret key; use a handover folder outside the party's "
                        "folder")


def locate(handover, name):
    """The file `name` of the handover: a path in a local folder, or a
    `HandoverFile` of a remote handover."""
    if isinstance(handover, Remote):
        return HandoverFile(handover, name)
    return os.path.join(handover, name)


def close_handover(handover):
    if isinstance(handover, Remote):
        handover.close()


class HandoverFile(str):
    """A file of a remote handover: its URL as text, plus `transport` and
    `name` (the file's name in the handover)."""

    def __new__(cls, transport, name):
        self = super().__new__(cls, transport.url_of(name))
        self.transport, self.name = transport, name
        return self


# What files.py and the steps call, for local paths and handover files alike.

def open_for_reading(path, again_hint="ask its sender for it again"):
    """A binary file object of `path` positioned at its start, and its size.
    Raises FileNotFoundError for a missing local file; StepError for the
    failures of a remote one, and for a local path that is not a regular
    file: a FIFO or device planted under a file's name would block the step
    or feed it without end (O_NONBLOCK keeps the open itself from waiting for
    a FIFO's writer; the type is checked on the open descriptor)."""
    if isinstance(path, HandoverFile):
        return path.transport.open_read(path.name)
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            what = ("a folder" if stat.S_ISDIR(info.st_mode) else "a named pipe" if stat.S_ISFIFO(info.st_mode)
                    else "not a regular file")
            raise StepError(f"{path} is {what}, not a file this step can read; remove it and {again_hint}")
        os.set_blocking(fd, True)
        f = os.fdopen(fd, "rb")
    except BaseException:
        os.close(fd)
        raise
    return f, info.st_size


def exists(path):
    if isinstance(path, HandoverFile):
        return path.transport.exists(path.name)
    return os.path.exists(path)


class Remote:
    """A handover on a server. Each operation raises StepError with one line
    naming the URL and what to do."""

    url = ""

    def url_of(self, name):
        return f"{self.url.rstrip('/')}/{name}"

    def open_read(self, name):
        raise NotImplementedError

    def exists(self, name):
        raise NotImplementedError

    def upload(self, name):
        """An `Upload` of `name`, after removing the leftovers of earlier
        uploads of it."""
        raise NotImplementedError

    def remove(self, name):
        raise NotImplementedError

    def close(self):
        pass


class Upload:
    """A file being written to a remote handover: `file` (binary, writable,
    seekable) receives the bytes; `finish` sends whatever is not on the
    server yet, `publish` makes the file appear under its name at once, and
    `abort` discards it. Outputs finishes every upload of a step before it
    publishes any."""

    file = None

    def finish(self):
        raise NotImplementedError

    def publish(self):
        raise NotImplementedError

    def abort(self):
        raise NotImplementedError


class _Guarded:
    """A remote file whose failures (the connection dropped, the object
    deleted) are one-line StepErrors naming it; `verb` says what the step
    was doing with it."""

    def __init__(self, file, url, verb="read"):
        self._file, self._url, self._verb = file, url, verb

    def _call(self, method, *args):
        try:
            return getattr(self._file, method)(*args)
        except StepError:
            raise
        except Exception as error:
            raise StepError(f"cannot {self._verb} {self._url}: {_one_line(error)}; check the connection and run "
                            "the step again") from None

    def read(self, n=-1):
        return self._call("read", n)

    def write(self, data):
        return self._call("write", data)

    def seek(self, offset, whence=0):
        return self._call("seek", offset, whence)

    @property
    def closed(self):
        return self._file.closed

    def close(self):
        """Closes the file; for a written one, reports whether every write
        reached the server."""
        if self._verb == "read":
            try:
                self._file.close()
            except Exception:
                pass
        else:
            self._call("close")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


# SFTP ---------------------------------------------------------------------------

class _UnknownHost(Exception):
    def __init__(self, fingerprint):
        super().__init__(fingerprint)
        self.fingerprint = fingerprint


class SftpHandover(Remote):
    """A folder on an SFTP server, through paramiko's SSH client with host
    keys checked against known_hosts and unknown hosts rejected."""

    def __init__(self, host, port, user, path, home, identity=None, known_hosts=None):
        try:
            import paramiko
        except ImportError:
            raise StepError(f"--handover sftp://...: the SFTP transport needs paramiko: {SFTP_EXTRA}") from None
        if not host:
            raise StepError("--handover: an sftp:// URL needs a host: sftp://USER@HOST:PORT/PATH")
        user = user or getpass.getuser()
        self.folder = path or "."
        self.url = f"sftp://{user}@{host}{'' if port == 22 else f':{port}'}{path}"
        where = f"{host}:{port}"
        self._client = client = paramiko.SSHClient()
        self._sftp = None
        if known_hosts is not None:
            self._load_known_hosts(client, known_hosts)
        else:
            for system in ("/etc/ssh/ssh_known_hosts", os.path.expanduser("~/.ssh/known_hosts")):
                if os.path.isfile(system):
                    self._load_known_hosts(client, system)
        known = known_hosts or "~/.ssh/known_hosts"

        class Reject(paramiko.MissingHostKeyPolicy):
            def missing_host_key(self, client, hostname, key):
                raise _UnknownHost(key.fingerprint)

        client.set_missing_host_key_policy(Reject())
        if identity is not None and not os.path.isfile(identity):
            raise StepError(f"--ssh-identity {identity}: no such file")
        try:
            sock = socket.create_connection((host, port), timeout=30)
            client.connect(host, port, username=user, key_filename=identity, allow_agent=True,
                           look_for_keys=identity is None, timeout=30, banner_timeout=30, auth_timeout=30, sock=sock)
            self._sftp = client.open_sftp()
        except _UnknownHost as unknown:
            self.close()
            keyscan = f"ssh-keyscan -p {port} {host}" if port != 22 else f"ssh-keyscan {host}"
            raise StepError(f"{self.url}: the host {where} is not in {known}; it offers the key {unknown.fingerprint}: "
                            f"compare it with the fingerprint its administrator gives you, then add it ({keyscan} "
                            f">> {known}, checked with ssh-keygen -lf)") from None
        except paramiko.BadHostKeyException:
            self.close()
            raise StepError(f"{self.url}: the host key of {where} is not the one {known} holds for it (the server "
                            "was replaced, or someone is in between); nothing was sent: ask its administrator "
                            "for its fingerprint before you change known_hosts") from None
        except paramiko.PasswordRequiredException:
            self.close()
            raise StepError(f"{self.url}: the key {identity or 'in ~/.ssh'} is protected by a passphrase; add it "
                            "to the SSH agent (ssh-add FILE) and run the step again") from None
        except paramiko.AuthenticationException:
            self.close()
            raise StepError(f"{self.url}: the server refused every key offered for {user} (the SSH agent's and "
                            f"{identity or 'those in ~/.ssh'}); give the key its administrator authorised with "
                            "--ssh-identity FILE or add it to the agent") from None
        except socket.gaierror as error:
            self.close()
            raise StepError(f"{self.url}: cannot find the host {host} ({_one_line(error.strerror)}); check the "
                            "URL") from None
        except ConnectionRefusedError:
            self.close()
            raise StepError(f"{self.url}: {where} refused the connection; check the host and port and that the "
                            "SSH server runs") from None
        except paramiko.SSHException as error:
            self.close()
            if str(error) == "No authentication methods available":  # paramiko found no agent and no key
                raise StepError(f"{self.url}: no SSH key to log in with (no SSH agent, no key in ~/.ssh); give "
                                "the key its administrator authorised with --ssh-identity FILE") from None
            raise StepError(f"{self.url}: cannot connect to {where} ({_one_line(error)}); check the host and port "
                            "and that the SSH server runs") from None
        except (OSError, EOFError) as error:
            self.close()
            raise StepError(f"{self.url}: cannot connect to {where} ({_one_line(error)}); check the host and port "
                            "and that the SSH server runs") from None
        self._check_folder()

    def _load_known_hosts(self, client, path):
        try:
            client.get_host_keys().load(path)
        except OSError as error:
            raise StepError(f"--known-hosts {path}: {error.strerror}") from None
        except Exception as error:  # paramiko's own for a line it cannot parse
            raise StepError(f"{path}: not a known_hosts file ({_one_line(error)}); fix or remove the line") from None

    def _check_folder(self):
        import stat

        try:
            mode = self._sftp.stat(self.folder).st_mode
        except FileNotFoundError:
            self.close()
            raise StepError(f"{self.url}: no such folder on the server; create it (or correct the path) and run "
                            "the step again") from None
        except OSError as error:
            self.close()
            raise StepError(f"{self.url}: {_one_line(error)}") from None
        if not stat.S_ISDIR(mode):
            self.close()
            raise StepError(f"{self.url} is not a folder on the server; name the handover folder")

    def _path(self, name):
        return posixpath.join(self.folder, name)

    def _failed(self, what, name, error):
        if isinstance(error, FileNotFoundError):
            return StepError(f"{self.url_of(name)}: no such file")
        return StepError(f"cannot {what} {self.url_of(name)}: {_one_line(error)}; check the connection and the "
                         "folder's permissions on the server, then run the step again")

    def open_read(self, name):
        try:
            f = self._sftp.open(self._path(name), "rb")
            size = f.stat().st_size
        except (OSError, EOFError) as error:
            raise self._failed("read", name, error) from None
        return _Guarded(_SftpReader(f, size), self.url_of(name)), size

    def exists(self, name):
        try:
            self._sftp.stat(self._path(name))
        except FileNotFoundError:
            return False
        except (OSError, EOFError) as error:
            raise self._failed("read", name, error) from None
        return True

    def remove(self, name):
        try:
            self._sftp.remove(self._path(name))
        except FileNotFoundError:
            pass
        except (OSError, EOFError) as error:
            raise self._failed("remove", name, error) from None

    def clean(self, name):
        """Removes the partial files that earlier uploads of `name` left."""
        try:
            leftovers = [n for n in self._sftp.listdir(self.folder) if n.startswith(partial_prefix(name))]
        except (OSError, EOFError) as error:
            raise self._failed("list the folder of", name, error) from None
        for leftover in leftovers:
            self.remove(leftover)

    def upload(self, name):
        self.clean(name)
        return _SftpUpload(self, name)

    def close(self):
        if self._sftp is not None:
            try:
                self._sftp.close()
            except Exception:
                pass
        self._client.close()


class _SftpReader:
    """A remote file read through paramiko's readv, which keeps all the
    32 KiB requests of one read in flight at once (a plain read waits for
    each in turn: one round trip per 32 KiB) and holds no more than was asked
    for."""

    def __init__(self, file, size):
        self._file, self._size, self._at = file, size, 0

    def seek(self, offset, whence=0):
        self._at = offset if whence == 0 else self._at + offset if whence == 1 else self._size + offset
        return self._at

    def read(self, n=-1):
        left = max(0, self._size - self._at)
        n = left if n is None or n < 0 else min(n, left)
        if n == 0:
            return b""
        data = b"".join(self._file.readv([(self._at, n)]))
        self._at += len(data)
        return data

    def close(self):
        self._file.close()


class _SftpUpload(Upload):
    def __init__(self, transport, name):
        self._transport, self._name = transport, name
        self._temp = partial_prefix(name) + secrets.token_hex(4)
        try:
            # "x": a new file (O_EXCL); "w" makes paramiko's file writable.
            f = transport._sftp.open(transport._path(self._temp), "wxb")
            f.set_pipelined(True)
            self.file = _Guarded(f, transport.url_of(name), "write")
        except (OSError, EOFError) as error:
            raise transport._failed("write", name, error) from None

    def finish(self):
        if not self.file.closed:
            self.file.close()  # waits for every pipelined write's status

    def publish(self):
        t = self._transport
        try:
            # Replaces the destination in one step (rename(2) on the server).
            t._sftp.posix_rename(t._path(self._temp), t._path(self._name))
        except (OSError, EOFError) as error:
            raise t._failed("write", self._name, error) from None

    def abort(self):
        try:
            self.file.close()
        except StepError:
            pass
        try:
            self._transport.remove(self._temp)
        except StepError:
            pass  # the next upload of this name removes it


# S3 -----------------------------------------------------------------------------

class _Missing(StepError):
    """An object that is not in the bucket."""


class S3Handover(Remote):
    """A prefix in an S3 bucket, through s3fs with the AWS SDK's own
    credentials and endpoint settings. `home` (the party's own folder) holds
    the spool files of uploads."""

    def __init__(self, bucket, prefix, home):
        try:
            import botocore.exceptions
            import s3fs
        except ImportError:
            raise StepError(f"--handover s3://...: the S3 transport needs s3fs: {S3_EXTRA}") from None
        if not bucket:
            raise StepError("--handover: an s3:// URL needs a bucket: s3://BUCKET/PREFIX")
        self.bucket, self.prefix, self.home = bucket, prefix, home
        self.url = f"s3://{bucket}/{prefix}" if prefix else f"s3://{bucket}"
        self._errors = botocore.exceptions
        try:
            self._fs = s3fs.S3FileSystem(skip_instance_cache=True, use_listings_cache=False)
            self._fs.connect()
            endpoint = self._fs.s3.meta.endpoint_url
        except botocore.exceptions.BotoCoreError as error:
            raise StepError(f"{self.url}: the AWS configuration cannot be used ({_one_line(error)}); check "
                            "AWS_PROFILE, AWS_REGION and ~/.aws/config") from None
        parts = urllib.parse.urlsplit(endpoint)
        if parts.scheme != "https" and not (parts.scheme == "http" and _is_loopback(parts.hostname or "")):
            raise StepError(f"{self.url}: the S3 endpoint {endpoint} is not https:// and not on this machine; the "
                            "files and requests would cross the network in clear: use its https:// address "
                            "(AWS_ENDPOINT_URL_S3)")
        self.endpoint = endpoint
        self._call("reach the bucket of", None, "head_bucket", Bucket=bucket)

    def _key(self, name):
        return f"{self.prefix}/{name}" if self.prefix else name

    def _call(self, what, name, method, **kwargs):
        """One S3 request through s3fs (which retries what is worth it and
        turns the service's errors into OSErrors)."""
        shown = self.url if name is None else self.url_of(name)
        try:
            return self._fs.call_s3(method, **kwargs)
        except FileNotFoundError:
            if name is None:
                raise StepError(f"{self.url}: the bucket {self.bucket} does not exist (at {self.endpoint}); check "
                                "the bucket's name and AWS_ENDPOINT_URL_S3 or the region") from None
            raise _Missing(f"{shown}: no such file") from None
        except PermissionError as error:
            raise StepError(f"{shown}: the S3 service refused the request ({_one_line(error)}); check the "
                            "credentials (AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY, or AWS_PROFILE) and "
                            "their access to the bucket") from None
        except self._errors.NoCredentialsError:
            raise StepError(f"{self.url}: no AWS credentials found; set AWS_PROFILE or AWS_ACCESS_KEY_ID and "
                            "AWS_SECRET_ACCESS_KEY, or write them to ~/.aws/credentials") from None
        except self._errors.EndpointConnectionError:
            raise StepError(f"{self.url}: cannot connect to the S3 endpoint {self.endpoint}; check "
                            "AWS_ENDPOINT_URL_S3 (or the region) and that the service runs") from None
        except (OSError, self._errors.BotoCoreError, self._errors.ClientError) as error:
            raise StepError(f"cannot {what} {shown}: {_one_line(error)}; check the connection and run the step "
                            "again") from None

    def open_read(self, name):
        self._call("read", name, "head_object", Bucket=self.bucket, Key=self._key(name))  # the one-line errors
        try:
            # Read ahead in large ranges, each on the condition that the
            # object still has the ETag it had when opened (a replaced object
            # fails instead of mixing with the old one).
            f = self._fs.open(f"{self.bucket}/{self._key(name)}", "rb", block_size=READ_BLOCK,
                              cache_type="readahead")
        except (OSError, self._errors.BotoCoreError, self._errors.ClientError) as error:
            raise StepError(f"cannot read {self.url_of(name)}: {_one_line(error)}; check the connection and run "
                            "the step again") from None
        return _Guarded(f, self.url_of(name)), f.size

    def exists(self, name):
        try:
            self._call("read", name, "head_object", Bucket=self.bucket, Key=self._key(name))
        except _Missing:
            return False
        return True

    def remove(self, name):
        self._call("remove", name, "delete_object", Bucket=self.bucket, Key=self._key(name))

    def clean(self, name):
        """Aborts the multipart uploads of `name` that earlier steps left
        unfinished, and removes their spool files in this party's folder."""
        key = self._key(name)
        listed = self._call("list the uploads of", name, "list_multipart_uploads", Bucket=self.bucket, Prefix=key)
        for upload in listed.get("Uploads", []):
            if upload["Key"] == key:
                self._call("clean up an upload of", name, "abort_multipart_upload", Bucket=self.bucket, Key=key,
                           UploadId=upload["UploadId"])
        for leftover in os.listdir(self.home):
            if leftover.startswith(partial_prefix(name)):
                try:
                    os.unlink(os.path.join(self.home, leftover))
                except FileNotFoundError:
                    pass

    def upload(self, name):
        self.clean(name)
        return _S3Upload(self, name)

    def close(self):
        pass


class _S3Upload(Upload):
    """A multipart upload opened at once, so that a step killed at any point
    after this leaves an unfinished upload for the next one to abort; the
    bytes are spooled in the party's folder (the writer fills in the file's
    beginning last) and sent as parts by `finish`."""

    def __init__(self, transport, name):
        self._t, self._name = transport, name
        self._spool = os.path.join(transport.home, partial_prefix(name) + secrets.token_hex(4))
        try:
            fd = os.open(self._spool, os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o600)
        except OSError as error:
            raise StepError(f"cannot write {self._spool}: {error.strerror}") from None
        self.file = os.fdopen(fd, "w+b")
        self._id = None
        try:
            self._id = self._t._call("write", name, "create_multipart_upload", Bucket=transport.bucket,
                                     Key=transport._key(name))["UploadId"]
        except BaseException:
            self.abort()
            raise
        self._parts = []

    def finish(self):
        if not self.file.closed:
            self.file.close()
        size = os.path.getsize(self._spool)
        part = max(PART_SIZE, math.ceil(size / MAX_PARTS))
        self._parts = []
        with open(self._spool, "rb") as f:
            number = 1
            while True:
                data = f.read(part)
                if not data and number > 1:
                    break
                done = self._t._call("write", self._name, "upload_part", Bucket=self._t.bucket,
                                     Key=self._t._key(self._name), UploadId=self._id, PartNumber=number, Body=data)
                self._parts.append({"PartNumber": number, "ETag": done["ETag"]})
                number += 1
                if len(data) < part:
                    break

    def publish(self):
        # The object appears, whole, when the upload completes.
        self._t._call("write", self._name, "complete_multipart_upload", Bucket=self._t.bucket,
                      Key=self._t._key(self._name), UploadId=self._id, MultipartUpload={"Parts": self._parts})
        self._id = None
        self._remove_spool()

    def abort(self):
        if self.file is not None and not self.file.closed:
            self.file.close()
        self._remove_spool()
        if self._id is not None:
            try:
                self._t._call("clean up an upload of", self._name, "abort_multipart_upload", Bucket=self._t.bucket,
                              Key=self._t._key(self._name), UploadId=self._id)
            except StepError:
                pass  # the next upload of this name aborts it
            self._id = None

    def _remove_spool(self):
        try:
            os.unlink(self._spool)
        except FileNotFoundError:
            pass
