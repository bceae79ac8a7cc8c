"""The loaded index and its hot reload.

Each loaded index is one ``Engine``; a request takes the current one and uses
it for all of its work, so it never mixes two indexes.  A watcher thread checks
the index files and, when they changed, opens a new ``Engine`` beside the old
one and switches to it; the old one is closed once its last request is done.
A failed open (a rebuild still under way, a broken file) keeps the loaded index.
"""
from __future__ import annotations

import logging
import os
import threading
from contextlib import contextmanager
from typing import Callable, Iterator

log = logging.getLogger("corvane.service")

WATCHED_FILES = ("scene_index.jsonl", "scene_index.cvx")


class Generation:
    """One loaded index: its engine and what requests derive from it (``cache``)."""

    __slots__ = ("engine", "number", "users", "retired", "cache")

    def __init__(self, engine, number: int) -> None:
        self.engine = engine
        self.number = number
        self.users = 0
        self.retired = False
        self.cache: dict = {}


class IndexHolder:
    def __init__(
        self,
        data_dir: str,
        open_engine: Callable[[], object],
        *,
        on_reload: Callable[[object], None] | None = None,
        on_failure: Callable[[], None] | None = None,
    ) -> None:
        self._data_dir = data_dir
        self._open = open_engine
        self._on_reload = on_reload
        self._on_failure = on_failure
        self._lock = threading.Lock()
        self._check_lock = threading.Lock()
        self._signature = self._files_signature()
        self._gen = Generation(open_engine(), 1)
        self._stop = threading.Event()
        self._thread: threading.Thread | None = None

    # -- use ------------------------------------------------------------------

    @contextmanager
    def use(self) -> Iterator[Generation]:
        """The current generation, its engine kept open until the block ends."""
        with self._lock:
            gen = self._gen
            gen.users += 1
        try:
            yield gen
        finally:
            with self._lock:
                gen.users -= 1
                close = gen.retired and gen.users == 0
            if close:
                self._close(gen)

    @property
    def engine(self):
        return self._gen.engine

    @property
    def generation(self) -> int:
        return self._gen.number

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
            if signature == self._signature:
                return False
            self._signature = signature
            if signature[0] is None:
                log.warning("index file %s is gone; keeping the loaded index",
                            os.path.join(self._data_dir, WATCHED_FILES[0]))
                return False
            try:
                engine = self._open()
            except (OSError, ValueError) as exc:
                # Most often a rebuild that is not finished; its end changes the files again.
                log.warning("index not reloaded, keeping the loaded one: %s: %s", type(exc).__name__, exc)
                if self._on_failure:
                    self._on_failure()
                return False
            with self._lock:
                old = self._gen
                self._gen = Generation(engine, old.number + 1)
                old.retired = True
                close = old.users == 0
            if close:
                self._close(old)
            if self._on_reload:
                self._on_reload(engine)
            return True

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
            while not self._stop.wait(interval):
                try:
                    self.check()
                except Exception as exc:  # keep watching whatever happens
                    log.warning("index check failed: %s", type(exc).__name__)

        self._thread = threading.Thread(target=run, name="corvane-index-watch", daemon=True)
        self._thread.start()

    def stop_watching(self) -> None:
        self._stop.set()
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
