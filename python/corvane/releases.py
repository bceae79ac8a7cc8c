"""Versioned index releases and their atomic switch: ``index --out``, ``publish``,
``rollback`` and pruning.

Layout (``DIR`` is usually ``data/releases``)::

    DIR/20261209T021500Z-3f9a1c2e/   a release: scene_index.jsonl, scene_index.cvx,
                                     trees/, release.json (its files' sizes and SHA-256)
    DIR/current -> 20261209T021500Z-3f9a1c2e

A release folder is complete before it gets its name (it is built under a
temporary name and renamed), and never changes afterwards.  ``publish``
points ``current`` at one by making a new link under a temporary name and
renaming it over ``current``: a reader opening ``current/...`` always sees
one whole release, the old one or the new one.  Services serve
``--data-dir DIR/current``; their hot reload notices the switch (the index
files behind the link change) within one reload interval.

Release ids sort by time (UTC timestamp first), so ``rollback`` goes to the
newest release older than the current one, unless ``--to`` names another.
"""
from __future__ import annotations

import contextlib
import hashlib
import json
import os
import re
import secrets
import shutil
import time
from dataclasses import dataclass
from typing import Callable, Iterator

CURRENT = "current"
MANIFEST = "release.json"
RELEASES_ENV = "CORVANE_RELEASES_DIR"
ID_RE = re.compile(r"\d{8}T\d{6}Z-[0-9a-f]{8}")
INDEX_FILES = ("scene_index.jsonl", "scene_index.cvx")
# Only what a served index needs is kept in a release (the manuals stay in the data folder).
KEPT_FROM_DATA = ("manual_alias.json", "catalog.json")


class ReleaseError(ValueError):
    """A missing or broken release, or a bad folder; the message names it."""


@dataclass(frozen=True)
class Release:
    id: str
    path: str
    current: bool = False


# --- ids and lookups ---------------------------------------------------------------


def make_id(content_hash: str, when: float | None = None) -> str:
    stamp = time.strftime("%Y%m%dT%H%M%SZ", time.gmtime(time.time() if when is None else when))
    return f"{stamp}-{content_hash[:8]}"


def current_id(releases_dir: str) -> str | None:
    """The id ``current`` points at, or None (no link yet)."""
    try:
        target = os.readlink(os.path.join(releases_dir, CURRENT))
    except OSError:
        return None
    name = os.path.basename(target.rstrip("/"))
    return name if ID_RE.fullmatch(name) else None


def release_id_of(data_dir: str) -> str | None:
    """The release a data folder is (for /healthz): ``DIR/current`` or ``DIR/<id>`` -> the id.

    A data folder that is not a release (a plain ``data``) has none.  The
    manifest is read, so the answer is that of the folder's files as they are
    now, also when the path goes through a link that just switched.
    """
    real = os.path.realpath(data_dir)
    try:
        with open(os.path.join(real, MANIFEST), encoding="utf-8") as fh:
            doc = json.load(fh)
    except (OSError, ValueError):
        return None
    rid = doc.get("id") if isinstance(doc, dict) else None
    return rid if isinstance(rid, str) and ID_RE.fullmatch(rid) else None


def resolved(data_dir: str) -> str:
    """The real folder behind ``data_dir`` now: open every file of one index from it,
    so a switch between two opens cannot mix two releases."""
    return os.path.realpath(data_dir)


def list_releases(releases_dir: str) -> list[Release]:
    """The releases, oldest first."""
    try:
        names = os.listdir(releases_dir)
    except FileNotFoundError:
        return []
    except OSError as exc:
        raise ReleaseError(f"cannot read releases folder {releases_dir}: {exc.strerror or exc}") from None
    current = current_id(releases_dir)
    return [Release(n, os.path.join(releases_dir, n), n == current) for n in sorted(names)
            if ID_RE.fullmatch(n) and os.path.isdir(os.path.join(releases_dir, n))]


# --- the manifest -----------------------------------------------------------------------


def _sha256(path: str) -> str:
    h = hashlib.sha256()
    with open(path, "rb") as fh:
        for chunk in iter(lambda: fh.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


def _files(folder: str) -> list[str]:
    out = []
    for root, dirs, files in os.walk(folder):
        dirs.sort()
        for name in sorted(files):
            rel = os.path.relpath(os.path.join(root, name), folder)
            if rel != MANIFEST:
                out.append(rel.replace(os.sep, "/"))
    return out


def verify(path: str) -> dict:
    """The manifest of a release folder after checking every file against it."""
    where = os.path.join(path, MANIFEST)
    try:
        with open(where, encoding="utf-8") as fh:
            doc = json.load(fh)
    except OSError as exc:
        raise ReleaseError(f"release {path} has no readable {MANIFEST}: {exc.strerror or exc}") from None
    except ValueError as exc:
        raise ReleaseError(f"{where} is not valid JSON: {exc}") from None
    files = doc.get("files") if isinstance(doc, dict) else None
    if not isinstance(files, dict) or not isinstance(doc.get("id"), str):
        raise ReleaseError(f"{where} is not a release manifest")
    for name in INDEX_FILES[:1]:
        if name not in files:
            raise ReleaseError(f"release {path} has no {name}")
    for name, meta in files.items():
        full = os.path.join(path, name)
        try:
            size = os.path.getsize(full)
        except OSError:
            raise ReleaseError(f"release {path}: {name} is missing") from None
        if size != meta.get("size") or _sha256(full) != meta.get("sha256"):
            raise ReleaseError(f"release {path}: {name} does not match {MANIFEST} (changed or damaged)")
    return doc


# --- building ---------------------------------------------------------------------------


def build(data_dir: str, releases_dir: str, run_index: Callable[[str], int], when: float | None = None) -> Release:
    """Indexes ``data_dir/manuals`` into a new release folder of ``releases_dir``.

    ``run_index(folder)`` runs the ordinary index command over a data folder;
    here a staging folder that sees the manuals through a link.  The data folder
    itself is not changed; a failed or empty run leaves no release behind.
    """
    manuals = os.path.join(os.path.abspath(data_dir), "manuals")
    if not os.path.isdir(manuals):
        raise ReleaseError(f"no manuals folder at {os.path.join(data_dir, 'manuals')}; nothing was built")
    os.makedirs(releases_dir, exist_ok=True)
    staging = os.path.join(releases_dir, f".build-{secrets.token_hex(4)}")
    os.mkdir(staging)
    try:
        os.symlink(manuals, os.path.join(staging, "manuals"))
        for name in KEPT_FROM_DATA:
            source = os.path.join(data_dir, name)
            if os.path.isfile(source):
                shutil.copy2(source, os.path.join(staging, name))
        code = run_index(staging)
        os.unlink(os.path.join(staging, "manuals"))
        if code not in (0, None):
            raise ReleaseError(f"indexing {manuals} failed (exit {code}); no release was made")
        if not os.path.isfile(os.path.join(staging, INDEX_FILES[0])):
            raise ReleaseError(f"indexing {manuals} made no scene index; no release was made")
        files = {}
        digest = hashlib.sha256()
        for rel in _files(staging):
            full = os.path.join(staging, rel)
            sha = _sha256(full)
            files[rel] = {"size": os.path.getsize(full), "sha256": sha}
            digest.update(f"{rel}\0{sha}\n".encode())
        rid = make_id(digest.hexdigest(), when)
        manifest = {"id": rid, "built_at": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()),
                    "content_sha256": digest.hexdigest(), "files": files}
        with open(os.path.join(staging, MANIFEST), "w", encoding="utf-8") as fh:
            json.dump(manifest, fh, indent=2)
            fh.write("\n")
            fh.flush()
            os.fsync(fh.fileno())
        for rel in [*files, MANIFEST]:
            os.chmod(os.path.join(staging, rel), 0o444)  # a release never changes
        final = os.path.join(releases_dir, rid)
        if os.path.lexists(final):
            raise ReleaseError(f"release {final} exists already (same content built in the same second)")
        os.rename(staging, final)
        _fsync_dir(releases_dir)
        return Release(rid, final)
    except BaseException:
        shutil.rmtree(staging, ignore_errors=True)
        raise


def _fsync_dir(path: str) -> None:
    with contextlib.suppress(OSError):
        fd = os.open(path, os.O_RDONLY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)


# --- switching ------------------------------------------------------------------------------


@contextlib.contextmanager
def _locked(releases_dir: str) -> Iterator[None]:
    import fcntl

    fd = os.open(os.path.join(releases_dir, ".lock"), os.O_RDWR | os.O_CREAT, 0o644)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        yield
    finally:
        os.close(fd)


def _switch(releases_dir: str, rid: str) -> None:
    """``current`` -> ``rid`` in one rename (a relative link, so the folder can be mounted anywhere)."""
    tmp = os.path.join(releases_dir, f".current-{secrets.token_hex(4)}")
    os.symlink(rid, tmp)
    try:
        os.replace(tmp, os.path.join(releases_dir, CURRENT))
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise
    _fsync_dir(releases_dir)


def _require(releases_dir: str) -> None:
    if not os.path.isdir(releases_dir):
        raise ReleaseError(f"no releases folder at {releases_dir}; build one with 'corvane index --out {releases_dir}'")


def publish(releases_dir: str, rid: str | None = None) -> tuple[str | None, str]:
    """Points ``current`` at ``rid`` (default: the newest release) after verifying it: (previous, new)."""
    _require(releases_dir)
    with _locked(releases_dir):
        releases = list_releases(releases_dir)
        if not releases:
            raise ReleaseError(f"no releases in {releases_dir}; build one with 'corvane index --out {releases_dir}'")
        if rid is None:
            rid = releases[-1].id
        elif rid not in {r.id for r in releases}:
            raise ReleaseError(f"no release {rid!r} in {releases_dir} (see 'corvane publish --list')")
        verify(os.path.join(releases_dir, rid))
        previous = current_id(releases_dir)
        if previous != rid:
            _switch(releases_dir, rid)
        return previous, rid


def rollback(releases_dir: str, to: str | None = None) -> tuple[str | None, str]:
    """Points ``current`` back at ``to``, or at the newest release older than the current one."""
    _require(releases_dir)
    with _locked(releases_dir):
        releases = list_releases(releases_dir)
        now = current_id(releases_dir)
        if to is None:
            if now is None:
                raise ReleaseError(f"nothing is published in {releases_dir}; there is nothing to roll back")
            older = [r.id for r in releases if r.id < now]
            if not older:
                raise ReleaseError(f"release {now} is the oldest in {releases_dir}; there is none to roll back to")
            to = older[-1]
        elif to not in {r.id for r in releases}:
            raise ReleaseError(f"no release {to!r} in {releases_dir}")
        verify(os.path.join(releases_dir, to))
        _switch(releases_dir, to)
        return now, to


def prune(releases_dir: str, keep: int) -> list[str]:
    """Deletes all but the ``keep`` newest releases; the current one is always kept. The deleted ids."""
    if keep < 1:
        raise ReleaseError(f"--keep must be 1 or more, not {keep}")
    _require(releases_dir)
    removed = []
    with _locked(releases_dir):
        releases = list_releases(releases_dir)
        kept = {r.id for r in releases[-keep:]}
        for r in releases:
            if r.id in kept or r.current:
                continue
            # Renamed first: a half-deleted release never shows under a release name.
            trash = os.path.join(releases_dir, f".trash-{r.id}-{secrets.token_hex(2)}")
            os.rename(r.path, trash)
            shutil.rmtree(trash, ignore_errors=True)
            removed.append(r.id)
        # Leftovers of builds or prunes that were interrupted.
        for name in os.listdir(releases_dir):
            if name.startswith((".trash-", ".current-")):
                path = os.path.join(releases_dir, name)
                if os.path.islink(path):
                    os.unlink(path)
                else:
                    shutil.rmtree(path, ignore_errors=True)
    return removed


def __getattr__(name: str):
    # The commands live in corvane.releases_cli; their names stay reachable from here.
    if name in ("default_dir", "add_index_arguments", "run_index_out", "add_arguments", "run", "add_parsers",
                "index_out_or"):
        from corvane import releases_cli

        return getattr(releases_cli, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
