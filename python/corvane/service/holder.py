"""The loaded index and its hot reload.

Each loaded index is one ``Engine``; a request takes the current one and uses
it for all of its work, so it never mixes two indexes.  A watcher thread checks
the index files and, when they changed, opens a new ``Engine`` beside the old
one and switches to it; the old one is closed once its last request is done.
A failed open (a rebuild still under way, a broken file) keeps the loaded index.

Nothing here runs on the event loop: ``prepare`` (given by the service) waits
for the compiled file of a changed index or compiles it in a child process.
A JSON-lines file rewritten in place (same inode) takes the data from under
the loaded index: that generation is marked stale and ``use()`` refuses it
(IndexUnavailable, a 503) until the rebuilt one is there.  ``problem`` tells
why the service is degraded, for /healthz.
"""
from __future__ import annotations

import logging
import os
import threading
from contextlib import contextmanager
from typing import Callable, Iterator

log = logging.getLogger("corvane.service")

WATCHED_FILES = ("scene_index.jsonl", "scene_index.cvx")


class IndexUnavailable(Exception):
    """The loaded index cannot serve (its files changed under it); the message says why."""


class Generation:
    """One loaded index: its engine and what requests derive from it (``cache``)."""

    __slots__ = ("engine", "number", "users", "retired", "cache", "stale")

    def __init__(self, engine, number: int) -> None:
        self.engine = engine
        self.number = number
        self.users = 0
        self.retired = False
        self.cache: dict = {}
        self.stale: str | None = None  # why it must not be used any more


class IndexHolder:
    def __init__(
        self,
        data_dir: str,
        open_engine: Callable[[], object],
        *,
        on_reload: Callable[[object], None] | None = None,
        on_failure: Callable[[], None] | None = None,
        prepare: Callable[[bool, Callable[[str], None], Callable[[], bool]], None] | None = None,
    ) -> None:
        self._data_dir = data_dir
        self._open = open_engine
        self._on_reload = on_reload
        self._on_failure = on_failure
        self._prepare = prepare
        self.problem: str | None = None
        self._wake = threading.Event()
        self._failed_for: tuple | None = None
        self._lock = threading.Lock()
        self._check_lock = threading.Lock()
        self._signature = self._files_signature()
        self._gen = Generation(open_engine(), 1)
        self._stop = threading.Event()
        self._thread: threading.Thread | None = None

    # -- use ------------------------------------------------------------------

    def acquire(self) -> Generation:
        """The current generation, kept open until ``release``; IndexUnavailable when it is stale."""
        with self._lock:
            gen = self._gen
            if gen.stale:
                raise IndexUnavailable(gen.stale)
            gen.users += 1
        return gen

    def release(self, gen: Generation) -> None:
        with self._lock:
            gen.users -= 1
            close = gen.retired and gen.users == 0
        if close:
            self._close(gen)

    @contextmanager
    def held(self, gen: Generation) -> Iterator[Generation]:
        """Releases ``gen`` (from ``acquire``) when the block ends."""
        try:
            yield gen
        finally:
            self.release(gen)

    @contextmanager
    def use(self) -> Iterator[Generation]:
        """The current generation, its engine kept open until the block ends."""
        gen = self.acquire()
        try:
            yield gen
        finally:
            self.release(gen)

    @property
    def engine(self):
        return self._gen.engine

    @property
    def current(self) -> Generation:
        """The current generation, stale or not, without holding it open (for status reports)."""
        return self._gen

    @property
    def generation(self) -> int:
        return self._gen.number

    def mark_stale(self, gen: Generation, reason: str) -> None:
        """Stops serving ``gen`` (its files changed under it) and wakes the watcher to rebuild."""
        with self._lock:
            if gen.stale is None:
                gen.stale = reason
        if self._gen is gen:
            self.problem = reason
        self._wake.set()

    # -- reload ---------------------------------------------------------------

    def _files_signature(self) -> tuple:
        sig = []
        for name in WATCHED_FILES:
            try:
                st = os.stat(os.path.join(self._data_dir, name))
            except OSError:
                sig.append(None)
            else:
                sig.append((st.st_mtime_ns, st.st_size, st.st_ino))
        return tuple(sig)

    def check(self) -> bool:
        """Switches to the index on disk when its files changed; True if it switched."""
        with self._check_lock:
            signature = self._files_signature()
            current = self._gen
            if signature == self._signature and (not current.stale or self._failed_for == signature):
                return False
            previous, self._signature = self._signature, signature
            if signature[0] is None:
                self.problem = (f"index file {os.path.join(self._data_dir, WATCHED_FILES[0])} is gone; "
                                "serving the loaded index")
                log.warning("%s", self.problem)
                return False
            in_place = (previous[0] is not None and signature[0] != previous[0]
                        and signature[0][2] == previous[0][2])
            if in_place:
                # Its records are read from that file: they are gone.
                self.mark_stale(current, "the index file was rewritten in place; rebuilding the index")
                log.warning("%s", current.stale)
            try:
                if self._prepare is not None:
                    self._prepare(in_place or bool(current.stale), self._note, self._stop.is_set)
                engine = self._open()
            except Exception as exc:
                # Most often a rebuild that is not finished; its end changes the files again.
                what = "no index is served" if current.stale else "serving the previous index"
                self.problem = f"the changed index could not be opened ({type(exc).__name__}: {exc}); {what}"
                log.warning("index not reloaded: %s: %s", type(exc).__name__, exc)
                self._failed_for = signature
                if self._on_failure:
                    self._on_failure()
                return False
            # What was opened is what is on disk now (a compile wrote the compiled file).
            self._signature = self._files_signature()
            with self._lock:
                old = self._gen
                self._gen = Generation(engine, old.number + 1)
                old.retired = True
                close = old.users == 0
            self.problem = None
            if close:
                self._close(old)
            if self._on_reload:
                self._on_reload(engine)
            return True

    def _note(self, text: str) -> None:
        self.problem = text

    @staticmethod
    def _close(gen: Generation) -> None:
        try:
            gen.engine.close()
        except Exception as exc:  # a failed close must not fail a request
            log.warning("closing a replaced index failed: %s", type(exc).__name__)

    def start_watching(self, interval: float) -> None:
        if interval <= 0 or self._thread is not None:
            return
        self._stop.clear()

        def run() -> None:
            while not self._stop.is_set():
                self._wake.wait(interval)
                self._wake.clear()
                if self._stop.is_set():
                    return
                try:
                    self.check()
                except Exception as exc:  # keep watching whatever happens
                    log.warning("index check failed: %s", type(exc).__name__)

        self._thread = threading.Thread(target=run, name="corvane-index-watch", daemon=True)
        self._thread.start()

    def stop_watching(self) -> None:
        self._stop.set()
        self._wake.set()
        if self._thread is not None:
            self._thread.join(timeout=10)
            self._thread = None

    def close(self) -> None:
        self.stop_watching()
        with self._lock:
            gen = self._gen
            gen.retired = True
            close = gen.users == 0
        if close:
            self._close(gen)
