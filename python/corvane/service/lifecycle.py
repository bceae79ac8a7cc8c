"""The server's life around the application: when it began to stop (so streams
end cleanly before the graceful-shutdown bound), and failed accept() calls."""
import asyncio
import logging
import signal
import threading
from typing import Optional

from corvane.service.textsafe import escape_log

log = logging.getLogger("corvane.service")


class _Shutdown:
    """When the server began to stop, so streams can end cleanly before its
    graceful-shutdown bound cuts them.  uvicorn handles SIGTERM/SIGINT; the
    hook runs first (main thread only) and then hands the signal on."""

    SIGNALS = (signal.SIGTERM, signal.SIGINT)

    def __init__(self, grace: float) -> None:
        self.grace = grace
        self.started: Optional[asyncio.Event] = None
        self.deadline: Optional[float] = None  # loop time by which streams must have ended

    def begin(self, loop) -> None:
        if self.started is None or self.started.is_set():
            return
        if self.grace > 0:
            # uvicorn counts its bound from a moment after the signal; stay clear of it.
            self.deadline = loop.time() + max(0.0, self.grace - min(1.0, self.grace * 0.25))
        self.started.set()

    def hook_signals(self, loop):
        self.started = asyncio.Event()
        if threading.current_thread() is not threading.main_thread():
            return lambda: None
        previous = {}
        for sig in self.SIGNALS:
            handler = signal.getsignal(sig)
            if not callable(handler):
                continue

            def on_signal(signum, frame, _handler=handler):
                loop.call_soon_threadsafe(self.begin, loop)
                _handler(signum, frame)

            previous[sig] = handler
            signal.signal(sig, on_signal)

        def restore() -> None:
            for sig, handler in previous.items():
                try:
                    signal.signal(sig, handler)
                except (ValueError, TypeError):
                    pass

        return restore


def _log_accept_failures(loop, metrics) -> None:
    """A failed accept() (out of file descriptors, say) leaves a log line and a count."""
    default = loop.get_exception_handler()

    def handler(loop, context) -> None:
        message = str(context.get("message", ""))
        if "accept" in message:
            exc = context.get("exception")
            log.error("accepting a connection failed: %s%s", escape_log(message),
                      f" ({type(exc).__name__}: {escape_log(str(exc))})" if exc else "")
            try:
                metrics.connections_refused.labels("accept_failed").inc()
            except Exception:
                pass
            return
        if default is not None:
            default(loop, context)
        else:
            loop.default_exception_handler(context)

    loop.set_exception_handler(handler)
