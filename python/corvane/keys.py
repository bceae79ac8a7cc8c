"""API keys per client: the keys file and ``corvane keys add|list|revoke``.

A key looks like ``cvk_<id>_<secret>``: ``id`` (8 hex digits) finds the
record, ``secret`` (43 URL-safe characters, 256 random bits) proves it.  The
file keeps, per key, a random salt and SHA-256(salt + secret), never the key;
the key is printed once, by ``keys add``.  A plain salted hash is enough here
(no slow password hash): the secrets are random, not chosen by people, so they
cannot be guessed from a list, and a fast check keeps every request cheap.

The file is JSON, written whole to a temporary file and renamed over the old
one (mode 0600), under a lock, so a crash or two concurrent ``keys add`` never
leave a half-written or lost key.  A running service re-reads it when it
changes, so a new or revoked key takes effect without a restart.
"""
from __future__ import annotations

import argparse
import contextlib
import hashlib
import hmac
import json
import os
import re
import secrets
import sys
import tempfile
import threading
import time
from dataclasses import asdict, dataclass
from typing import Iterator

from corvane import settings

KEYS_FILE_ENV = "CORVANE_KEYS_FILE"
DEFAULT_KEYS_FILE = "corvane_keys.json"
PREFIX = "cvk_"
NAME_RE = re.compile(r"[A-Za-z0-9][A-Za-z0-9_.-]{0,63}")
KEY_RE = re.compile(r"cvk_([0-9a-f]{8})_([A-Za-z0-9_-]{43})")
FORMAT_VERSION = 1
DEFAULT_REQUESTS_PER_MINUTE = 60
DEFAULT_MODEL_CALLS_PER_MINUTE = 10


class KeysError(ValueError):
    """A bad keys file or command argument; the message names the file or the parameter."""


@dataclass
class KeyRecord:
    id: str
    name: str
    salt: str
    hash: str
    requests_per_minute: int
    model_calls_per_minute: int
    created: str
    revoked: str | None = None

    @property
    def active(self) -> bool:
        return self.revoked is None

    def matches(self, secret: str) -> bool:
        digest = hashlib.sha256(bytes.fromhex(self.salt) + secret.encode()).hexdigest()
        return hmac.compare_digest(digest, self.hash)


def _now() -> str:
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())


def _positive_limit(value, what: str, where: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or value < 0:
        raise KeysError(f"{where}: {what} must be a whole number of 0 or more (0: no limit), not {value!r}")
    return value


# --- the file -------------------------------------------------------------------


def read_keys(path: str) -> list[KeyRecord]:
    """The records of a keys file; a missing file has none."""
    try:
        with open(path, "rb") as fh:
            data = fh.read()
    except FileNotFoundError:
        return []
    except OSError as exc:
        raise KeysError(f"cannot read keys file {path}: {exc.strerror or exc}") from None
    try:
        doc = json.loads(data.decode("utf-8"))
    except (UnicodeDecodeError, ValueError) as exc:
        raise KeysError(f"keys file {path} is not valid JSON: {exc}") from None
    if not isinstance(doc, dict) or doc.get("version") != FORMAT_VERSION or not isinstance(doc.get("keys"), list):
        raise KeysError(f"keys file {path} is not a corvane keys file (version {FORMAT_VERSION})")
    records = []
    for number, item in enumerate(doc["keys"], 1):
        where = f"keys file {path}, key {number}"
        try:
            record = KeyRecord(**item)
        except TypeError:
            raise KeysError(f"{where}: fields must be {', '.join(KeyRecord.__dataclass_fields__)}") from None
        if not (isinstance(record.id, str) and re.fullmatch(r"[0-9a-f]{8}", record.id)):
            raise KeysError(f"{where}: bad id {record.id!r}")
        if not (isinstance(record.name, str) and NAME_RE.fullmatch(record.name)):
            raise KeysError(f"{where}: bad name {record.name!r}")
        try:
            bytes.fromhex(record.salt)
            bytes.fromhex(record.hash)
        except (TypeError, ValueError):
            raise KeysError(f"{where}: salt and hash must be hex") from None
        _positive_limit(record.requests_per_minute, "requests_per_minute", where)
        _positive_limit(record.model_calls_per_minute, "model_calls_per_minute", where)
        records.append(record)
    return records


def write_keys(path: str, records: list[KeyRecord]) -> None:
    """Replaces the file whole: the old one stays intact until the new one is complete."""
    folder = os.path.dirname(os.path.abspath(path))
    os.makedirs(folder, exist_ok=True)
    data = json.dumps({"version": FORMAT_VERSION, "keys": [asdict(r) for r in records]}, indent=2) + "\n"
    fd, tmp = tempfile.mkstemp(prefix=".keys-", dir=folder)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as fh:
            os.fchmod(fh.fileno(), 0o600)
            fh.write(data)
            fh.flush()
            os.fsync(fh.fileno())
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


@contextlib.contextmanager
def _locked(path: str) -> Iterator[None]:
    """An exclusive lock beside the file, for read-modify-write."""
    import fcntl

    folder = os.path.dirname(os.path.abspath(path))
    os.makedirs(folder, exist_ok=True)
    fd = os.open(os.path.abspath(path) + ".lock", os.O_RDWR | os.O_CREAT, 0o600)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        yield
    finally:
        os.close(fd)


def add_key(path: str, name: str, requests_per_minute: int = DEFAULT_REQUESTS_PER_MINUTE,
            model_calls_per_minute: int = DEFAULT_MODEL_CALLS_PER_MINUTE) -> tuple[str, KeyRecord]:
    """A new key for ``name``: (the key, its record).  Only the record is stored."""
    if not NAME_RE.fullmatch(name or ""):
        raise KeysError(f"name {name!r}: 1 to 64 of letters, digits, '_', '.', '-', starting with a letter or digit")
    _positive_limit(requests_per_minute, "requests per minute", "--requests-per-minute")
    _positive_limit(model_calls_per_minute, "model calls per minute", "--model-calls-per-minute")
    with _locked(path):
        records = read_keys(path)
        if any(r.name == name and r.active for r in records):
            raise KeysError(f"a key named {name!r} exists in {path}; revoke it first or choose another name")
        ids = {r.id for r in records}
        key_id = secrets.token_hex(4)
        while key_id in ids:
            key_id = secrets.token_hex(4)
        secret = secrets.token_urlsafe(32)
        salt = secrets.token_bytes(16)
        record = KeyRecord(
            id=key_id, name=name, salt=salt.hex(),
            hash=hashlib.sha256(salt + secret.encode()).hexdigest(),
            requests_per_minute=requests_per_minute, model_calls_per_minute=model_calls_per_minute,
            created=_now(),
        )
        write_keys(path, records + [record])
    return f"{PREFIX}{key_id}_{secret}", record


def revoke_key(path: str, which: str) -> KeyRecord:
    """Marks the active key with this name or id revoked (kept in the file, for the record)."""
    with _locked(path):
        records = read_keys(path)
        found = [r for r in records if r.active and which in (r.name, r.id)]
        if not found:
            raise KeysError(f"no active key named {which!r} in {path}")
        for r in found:
            r.revoked = _now()
        write_keys(path, records)
    return found[0]


# --- lookups for the service -------------------------------------------------------


class KeyStore:
    """The keys file as the service sees it, re-read when it changes (checked at most once a second)."""

    def __init__(self, path: str, check_interval: float = 1.0, clock=time.monotonic) -> None:
        self.path = path
        self._interval = check_interval
        self._clock = clock
        self._lock = threading.Lock()
        self._by_id: dict[str, KeyRecord] = {}
        self._signature = None
        self._checked = float("-inf")
        self._load(force=True)

    def _stat(self):
        try:
            st = os.stat(self.path)
        except FileNotFoundError:
            return None
        return (st.st_mtime_ns, st.st_size, st.st_ino)

    def _load(self, force: bool = False) -> None:
        signature = self._stat()
        if not force and signature == self._signature:
            return
        try:
            records = read_keys(self.path)
        except KeysError:
            if force:
                raise
            import logging

            logging.getLogger("corvane.service").warning(
                "keys file %s could not be read; keeping the keys loaded before", self.path)
            self._signature = signature
            return
        self._by_id = {r.id: r for r in records if r.active}
        self._signature = signature

    def refresh(self) -> None:
        now = self._clock()
        if now - self._checked < self._interval:
            return
        with self._lock:
            if now - self._checked < self._interval:
                return
            self._checked = now
            self._load()

    def authenticate(self, key: str) -> KeyRecord | None:
        """The active record of ``key``, or None."""
        m = KEY_RE.fullmatch(key)
        if m is None:
            return None
        self.refresh()
        record = self._by_id.get(m.group(1))
        if record is None or not record.matches(m.group(2)):
            return None
        return record

    def names(self) -> list[str]:
        return sorted({r.name for r in self._by_id.values()})

    def __len__(self) -> int:
        return len(self._by_id)


# --- the command ---------------------------------------------------------------------


def add_arguments(parser: argparse.ArgumentParser) -> None:
    """``keys add|list|revoke`` on the parser of the ``keys`` command."""
    parser.add_argument("--keys-file", metavar="FILE", default=None,
                        help=f"the keys file (default: ${KEYS_FILE_ENV}, else ./{DEFAULT_KEYS_FILE})")
    sub = parser.add_subparsers(dest="keys_command", required=True, metavar="ACTION")
    p = sub.add_parser("add", help="make a key for a client; it is printed once")
    p.add_argument("name", metavar="NAME", help="the client's name, shown in logs and metrics")
    p.add_argument("--requests-per-minute", type=int, default=DEFAULT_REQUESTS_PER_MINUTE, metavar="N",
                   help=f"requests per minute, 0: no limit (default: {DEFAULT_REQUESTS_PER_MINUTE})")
    p.add_argument("--model-calls-per-minute", type=int, default=DEFAULT_MODEL_CALLS_PER_MINUTE, metavar="N",
                   help=f"model calls (/v1/answer) per minute, 0: no limit (default: {DEFAULT_MODEL_CALLS_PER_MINUTE})")
    sub.add_parser("list", help="the keys: id, name, limits, created, revoked")
    p = sub.add_parser("revoke", help="revoke a key by name or id")
    p.add_argument("which", metavar="NAME_OR_ID")


def keys_path(args) -> str:
    return getattr(args, "keys_file", None) or settings.get("keys_file") or DEFAULT_KEYS_FILE


def run(args, out=None) -> int:
    """Runs ``keys <action>``; a KeysError is a user's error (the CLI maps it to exit 2)."""
    out = out or sys.stdout
    path = keys_path(args)
    if args.keys_command == "add":
        key, record = add_key(path, args.name, args.requests_per_minute, args.model_calls_per_minute)
        print(key, file=out)
        print(f"key {record.id} for {record.name!r} added to {path} "
              f"({record.requests_per_minute} requests/min, {record.model_calls_per_minute} model calls/min); "
              f"it is shown only now", file=sys.stderr)
    elif args.keys_command == "list":
        records = read_keys(path)
        print(f"{'ID':8}  {'NAME':20}  {'REQ/MIN':>7}  {'MODEL/MIN':>9}  {'CREATED':20}  REVOKED", file=out)
        for r in records:
            print(f"{r.id:8}  {r.name:20}  {r.requests_per_minute:>7}  {r.model_calls_per_minute:>9}  "
                  f"{r.created:20}  {r.revoked or '-'}", file=out)
    elif args.keys_command == "revoke":
        record = revoke_key(path, args.which)
        print(f"revoked key {record.id} ({record.name})", file=out)
    return 0


def add_parser(subparsers) -> None:
    """Registers ``keys`` on the CLI's subparsers; errors become the CLI's one-line errors (exit 2)."""
    p = subparsers.add_parser("keys", help="API keys of the service's clients: add, list, revoke",
                              description=__doc__.split("\n\n")[0])
    add_arguments(p)

    def run_cli(args) -> int:
        from corvane.cli_errors import CliError

        try:
            return run(args)
        except KeysError as exc:
            raise CliError(str(exc), 2) from None

    p.set_defaults(run=run_cli)
