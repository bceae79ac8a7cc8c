"""``/readyz``: may this replica take traffic now?  (``/healthz`` only says the process lives.)

Ready means: an index is loaded and has entries, and, when the data folder is
a release (``DIR/current`` of ``corvane publish``), that release's files match
its manifest (checked once per release, then remembered), and every extra
check (the keys file readable, ...) passes.  Not ready is 503 with the failed
checks, so a load balancer or Kubernetes takes the replica out of rotation
without restarting it.
"""
from __future__ import annotations

import asyncio
import os
import threading
from typing import Callable, Iterable

from corvane import releases

PATH = "/readyz"
PATHS = frozenset({PATH})


class Readiness:
    def __init__(self, holder, data_dir: str, checks: Iterable[tuple[str, Callable[[], None]]] = (),
                 release_of: Callable[[], str | None] | None = None) -> None:
        self.holder = holder
        # The release of the index being served, as recorded when it was opened; without it the
        # release is read from the folder when the generation is first seen.
        self._release_of = release_of
        self.data_dir = data_dir
        self.checks = list(checks)
        self._verified: dict[str, str | None] = {}  # real folder -> None (good) or the error
        self._lock = threading.Lock()
        self._loaded: tuple = (None, None)  # (index generation, the release it was loaded from)

    def loaded_release(self, generation) -> str | None:
        """The release of the loaded index: read when the holder's generation changes, so a
        link switched but not yet reloaded still shows the release being served."""
        if self._release_of is not None:
            return self._release_of()
        with self._lock:
            if self._loaded[0] != generation or generation is None:
                self._loaded = (generation, releases.release_id_of(self.data_dir))
            return self._loaded[1]

    def _release(self) -> tuple[str | None, str | None]:
        """(release id, error) of the folder behind the data folder now."""
        real = releases.resolved(self.data_dir)
        if not os.path.isfile(os.path.join(real, releases.MANIFEST)):
            return None, None  # a plain data folder: nothing to verify
        with self._lock:
            if real not in self._verified:
                try:
                    releases.verify(real)
                    self._verified[real] = None
                except releases.ReleaseError as exc:
                    self._verified[real] = str(exc)
            return releases.release_id_of(real), self._verified[real]

    def state(self) -> tuple[bool, dict]:
        checks: dict[str, str] = {}
        try:
            with self.holder.use() as gen:
                entries = len(gen.engine)
                generation = getattr(gen, "number", None)
            checks["index"] = "ok" if entries > 0 else "no entries"
        except Exception as exc:  # a broken engine is "not ready", never a 500
            checks["index"] = f"failed: {type(exc).__name__}"
            generation = None
        linked, error = self._release()
        release = self.loaded_release(generation) if linked is not None else None
        if release is not None or error is not None:
            checks["release"] = error or "ok"
        for name, check in self.checks:
            try:
                check()
                checks[name] = "ok"
            except Exception as exc:
                checks[name] = f"failed: {exc}" if str(exc) else f"failed: {type(exc).__name__}"
        ok = all(v == "ok" for v in checks.values())
        body = {"status": "ready" if ok else "not_ready", "checks": checks}
        if release is not None:
            body["release"] = release
        return ok, body

    async def endpoint(self, request=None):
        from starlette.responses import JSONResponse

        # Verifying a new release reads its files: off the event loop.
        ok, body = await asyncio.to_thread(self.state)
        return JSONResponse(body, status_code=200 if ok else 503, headers={"cache-control": "no-store"})


def add_readyz(app, holder, data_dir: str, checks: Iterable[tuple[str, Callable[[], None]]] = (),
               release_of: Callable[[], str | None] | None = None) -> Readiness:
    """Adds GET /readyz to a FastAPI/Starlette app; the middleware must keep it public."""
    readiness = Readiness(holder, data_dir, checks, release_of)
    app.add_route(PATH, readiness.endpoint, methods=["GET"], include_in_schema=False)
    return readiness


def file_readable(path: str) -> Callable[[], None]:
    """A check: the file can be opened (for a configured keys file)."""
    def check() -> None:
        with open(path, "rb"):
            pass
    return check
