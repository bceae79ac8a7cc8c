"""Bounds on what one process takes on: model calls at once (``ModelGate``)
and a watch on the event loop that makes stalls visible (``LoopWatch``)."""
from __future__ import annotations

import asyncio
import errno
import logging
import os
import time
from collections import deque

log = logging.getLogger("corvane.service")


class Busy(Exception):
    """Every model call slot is taken and the queue is full (or the wait ran out)."""

    def __init__(self, retry_after: int) -> None:
        super().__init__("too many model calls at once; try again later")
        self.retry_after = retry_after


class ModelGate:
    """At most ``limit`` model calls at once; up to ``queue`` more wait for a
    slot, each at most ``wait`` seconds; past that ``Busy``."""

    def __init__(self, limit: int, queue: int, wait: float) -> None:
        self.limit, self.queue, self.wait = limit, queue, wait
        self.active = 0
        self.waiting = 0
        self._sem: asyncio.Semaphore | None = None

    def _semaphore(self) -> asyncio.Semaphore:
        if self._sem is None:  # made on the loop that uses it
            self._sem = asyncio.Semaphore(self.limit)
        return self._sem

    def retry_after(self) -> int:
        return max(1, int(round(self.wait)) or 1)

    async def acquire(self) -> None:
        sem = self._semaphore()
        if not sem.locked():
            await sem.acquire()
            self.active += 1
            return
        if self.waiting >= self.queue or self.wait <= 0:
            raise Busy(self.retry_after())
        self.waiting += 1
        try:
            await asyncio.wait_for(sem.acquire(), self.wait)
        except asyncio.TimeoutError:
            raise Busy(self.retry_after()) from None
        finally:
            self.waiting -= 1
        self.active += 1

    def release(self) -> None:
        self.active -= 1
        self._semaphore().release()


class LoopWatch:
    """Wakes every ``probe`` seconds; a wake-up later than ``threshold`` is a
    stall of the event loop (something ran on it that should not have): it is
    logged, counted in the metrics, and put on the access log line of every
    request that was under way meanwhile (``stall_ms``)."""

    def __init__(self, metrics, threshold: float, probe: float) -> None:
        self.metrics, self.threshold, self.probe = metrics, threshold, probe
        self.stalls: deque[tuple[float, float]] = deque(maxlen=64)  # (end, seconds)
        self._task: asyncio.Task | None = None

    def start(self) -> None:
        if self._task is None:
            self._task = asyncio.get_running_loop().create_task(self._run())

    async def stop(self) -> None:
        if self._task is not None:
            self._task.cancel()
            await asyncio.gather(self._task, return_exceptions=True)
            self._task = None

    async def _run(self) -> None:
        while True:
            before = time.perf_counter()
            await asyncio.sleep(self.probe)
            now = time.perf_counter()
            self.record(now, now - before - self.probe)

    def record(self, end: float, late: float) -> None:
        try:
            self.metrics.loop_lag.observe(max(late, 0.0))
        except Exception:
            pass
        if late > self.threshold:
            self.stalls.append((end, late))
            try:
                self.metrics.loop_stalls.inc()
            except Exception:
                pass
            log.warning("event loop stalled for %.0f ms", late * 1000)

    def stalled_since(self, start: float) -> float:
        """The longest stall that ended after ``start`` (perf_counter seconds), 0 if none."""
        worst = 0.0
        for end, late in reversed(self.stalls):
            if end < start:
                break
            worst = max(worst, late)
        return worst


class OpenFilesWatch:
    """Counts the process's open files every ``period`` seconds (``corvane_open_files``)
    and logs a line, at most every 10 s, while they are past 90% of the limit:
    there the event loop's accept() starts failing, silently with some loops."""

    def __init__(self, metrics, period: float = 1.0) -> None:
        self.metrics, self.period = metrics, period
        self._task: asyncio.Task | None = None
        self._last_warning = 0.0

    @staticmethod
    def counts() -> tuple[int, int] | None:
        try:
            import resource

            soft, _ = resource.getrlimit(resource.RLIMIT_NOFILE)
        except (ImportError, OSError, ValueError):
            return None
        try:
            return len(os.listdir("/proc/self/fd")), soft
        except OSError as exc:
            if exc.errno in (errno.EMFILE, errno.ENFILE):  # not even one more to count with
                return soft, soft
            return None

    def start(self) -> None:
        if self._task is None and self.counts() is not None:
            self._task = asyncio.get_running_loop().create_task(self._run())

    async def stop(self) -> None:
        if self._task is not None:
            self._task.cancel()
            await asyncio.gather(self._task, return_exceptions=True)
            self._task = None

    async def _run(self) -> None:
        while True:
            self.check()
            await asyncio.sleep(self.period)

    def check(self) -> None:
        found = self.counts()
        if found is None:
            return
        used, limit = found
        try:
            self.metrics.open_files.set(used)
        except Exception:
            pass
        now = time.monotonic()
        if limit > 0 and used >= 0.9 * limit and now - self._last_warning >= 10:
            self._last_warning = now
            try:
                self.metrics.connections_refused.labels("open_files_near_limit").inc()
            except Exception:
                pass
            log.error("open files near the limit: %d of %d; new connections may be dropped "
                      "(lower --max-connections or raise the limit)", used, limit)
