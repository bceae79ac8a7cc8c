"""The model's answer as server-sent events, and waiting for a model call while
watching for the client going away."""
import asyncio
import json
import logging
from typing import AsyncIterator, Optional

from fastapi import Request
from fastapi.responses import StreamingResponse

from corvane import errors as corvane_errors
from corvane.service.errors import error_body
from corvane.service.model_client import failure_kind

log = logging.getLogger("corvane.service")


class _ClientGone(Exception):
    pass


def _sse(event: str, data: dict) -> bytes:
    return f"event: {event}\ndata: {json.dumps(data, ensure_ascii=False)}\n\n".encode()


class _ShuttingDown(Exception):
    pass


def _retrieved(task) -> None:
    if not task.cancelled():
        task.exception()


async def _next_piece(pieces, deadline: Optional[float], shutdown: "_Shutdown", loop):
    """The next text piece before ``deadline`` (loop time, None: none; else TimeoutError),
    or _ShuttingDown when the server's stop leaves the stream no more time."""
    piece = asyncio.ensure_future(pieces.__anext__())
    try:
        while True:
            started = shutdown.started
            stopping = started is not None and started.is_set()
            cut = shutdown.deadline if stopping else None
            is_cut = cut is not None and (deadline is None or cut < deadline)
            end = cut if is_cut else deadline
            left = None if end is None else end - loop.time()
            if left is not None and left <= 0:
                if is_cut:
                    raise _ShuttingDown
                raise asyncio.TimeoutError
            stop = None if (started is None or stopping) else asyncio.ensure_future(started.wait())
            try:
                done, _ = await asyncio.wait({piece} if stop is None else {piece, stop}, timeout=left,
                                             return_when=asyncio.FIRST_COMPLETED)
            finally:
                if stop is not None:
                    stop.cancel()
            if piece in done:
                return piece.result()
    finally:
        if not piece.done():
            piece.add_done_callback(_retrieved)
            piece.cancel()
            # Waited for with asyncio.wait, which (unlike gather) never cancels it again when this
            # task is cancelled once more (a cancel scope does that on every await): a second
            # cancel would cut the model connection's close short and leave it open in the pool.
            await asyncio.wait({piece})


async def _answer_events(pieces, sources, model_failure, metrics, llm_error, shutdown, log_state,
                         release, measured, finish=None) -> AsyncIterator[bytes]:
    """The SSE events of a streamed answer: sources, deltas, then done or error.
    ``log_state["outcome"]`` records how it ended, for the access log.
    ``finish(text)`` (async): the ``done`` event's data for the whole reply."""
    try:
        yield _sse("sources", {"sources": sources})
        loop = asyncio.get_running_loop()
        # The deadline is the model client's own (one per call); only a stopping server cuts earlier.
        report = None
        text: list = []
        try:
            with measured() as report:
                try:
                    while True:
                        try:
                            piece = await _next_piece(pieces, None, shutdown, loop)
                        except StopAsyncIteration:
                            break
                        text.append(piece)
                        yield _sse("delta", {"text": piece})
                except (GeneratorExit, _ShuttingDown):
                    report.error = "cancelled"  # the call was cut, not failed
                    raise
        except _ShuttingDown:
            log_state["outcome"] = "shutting_down"
            log.warning("answer stream cut short: the server is shutting down")
            yield _sse("error", error_body("shutting_down", "the server is shutting down; ask again"))
            return
        except llm_error as exc:
            timed_out = corvane_errors.http_status(exc) == 504
            log_state["outcome"] = "model_timeout" if timed_out else "model_error"
            if report is not None:
                report.error = failure_kind(exc)
            _, payload = model_failure(exc)
            yield _sse("error", payload)
            return
        except asyncio.CancelledError:
            log_state["outcome"] = "cancelled"
            metrics.model_cancelled.inc()
            log.info("client went away; model stream cancelled")
            raise
        finally:
            await pieces.aclose()
        log_state["outcome"] = "done"
        yield _sse("done", {} if finish is None else await finish("".join(map(str, text))))
    finally:
        release()


class _EventStream(StreamingResponse):
    """A streamed response that always watches for the client going away, and
    cancels the stream (and with it the model call) when it does."""

    def __init__(self, *args, on_close=None, **kwargs) -> None:
        super().__init__(*args, **kwargs)
        self._on_close = on_close

    async def __call__(self, scope, receive, send) -> None:
        scope = dict(scope)
        scope["asgi"] = {**scope.get("asgi", {}), "spec_version": "2.0"}
        try:
            await super().__call__(scope, receive, send)
        finally:
            if self._on_close is not None:
                self._on_close()  # also when the stream never started


def _once(func):
    done = []

    def call() -> None:
        if not done:
            done.append(1)
            func()

    return call


async def _unless_disconnected(request: Request, awaitable):
    """Awaits ``awaitable``; cancels it and raises _ClientGone when the client disconnects first."""
    task = asyncio.ensure_future(awaitable)

    async def gone() -> None:
        while True:
            message = await request.receive()
            if message["type"] == "http.disconnect":
                return

    watcher = asyncio.ensure_future(gone())
    try:
        done, _ = await asyncio.wait({task, watcher}, return_when=asyncio.FIRST_COMPLETED)
    except BaseException:
        task.cancel()
        watcher.cancel()
        raise
    watcher.cancel()
    if task in done:
        return task.result()
    task.cancel()
    await asyncio.gather(task, return_exceptions=True)
    raise _ClientGone
