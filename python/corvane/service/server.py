"""The connection level of ``corvane serve``: uvicorn's configuration from
the service's limits, and an HTTP protocol that bounds what a client may hold
before its request reaches the application.

``GuardedProtocol`` (over uvicorn's httptools protocol) answers 431 to a
request line and header block past ``max_header_bytes`` (read no further),
408 to a client that has not sent a whole request head within
``header_timeout`` (idle new connections included), and counts both.
uvicorn's own ``limit_concurrency`` gives 503 past ``max_connections`` and
``timeout_keep_alive`` closes idle kept-alive connections.  Forwarded
addresses are believed only from ``trusted_proxies``.
"""
from __future__ import annotations

import json
import logging

log = logging.getLogger("corvane.service")


def _response(status: int, reason: bytes, code: str, message: str) -> bytes:
    body = json.dumps({"error": {"code": code, "message": message}}).encode()
    return (b"HTTP/1.1 %d %s\r\ncontent-type: application/json\r\ncontent-length: %d\r\n"
            b"connection: close\r\n\r\n" % (status, reason, len(body))) + body


# Told of every refused connection ("header_too_large", "header_timeout"); the
# application of this process sets it to count them in its metrics.
refusal_listeners: list = []


def _refused(reason: str) -> None:
    for listener in list(refusal_listeners):
        try:
            listener(reason)
        except Exception:
            pass


try:
    from uvicorn.protocols.http.httptools_impl import HttpToolsProtocol
except ImportError:  # no httptools: uvicorn's h11 protocol with its own head bound
    HttpToolsProtocol = None

if HttpToolsProtocol is not None:

    class GuardedProtocol(HttpToolsProtocol):
        """uvicorn's httptools protocol with a bound on the request head (bytes and
        time); the bounds come from ``config.corvane_limits`` (a plain class at
        module level, so a worker process can be given it)."""

        def __init__(self, config, *args, **kwargs) -> None:
            super().__init__(config, *args, **kwargs)
            bounds = getattr(config, "corvane_limits", {})
            self._max_head = int(bounds.get("max_header_bytes", 64 * 1024))
            self._head_timeout = float(bounds.get("header_timeout", 0) or 0)

        def connection_made(self, transport) -> None:
            super().connection_made(transport)
            self._head_bytes = 0
            self._in_head = True
            self._head_timer = None
            self._start_head_timer()

        def _start_head_timer(self) -> None:
            if self._head_timeout > 0 and self._head_timer is None:
                self._head_timer = self.loop.call_later(self._head_timeout, self._head_timed_out)

        def _stop_head_timer(self) -> None:
            if self._head_timer is not None:
                self._head_timer.cancel()
                self._head_timer = None

        def _refuse(self, status: int, reason: bytes, code: str, message: str) -> None:
            self._stop_head_timer()
            self._in_head = False
            _refused(code)
            log.warning("connection refused: %s", message)
            if not self.transport.is_closing():
                self.transport.write(_response(status, reason, code, message))
                self.transport.close()

        def _head_timed_out(self) -> None:
            self._head_timer = None
            if self._in_head and (self.cycle is None or self.cycle.response_complete):
                self._refuse(408, b"Request Timeout", "header_timeout",
                             f"the request head did not arrive within {self._head_timeout:g} s")

        def data_received(self, data: bytes) -> None:
            if self._in_head:
                seen = self._head_bytes
                self._head_bytes = seen + len(data)
                if self._head_bytes > self._max_head:
                    end = data.find(b"\r\n\r\n", 0, max(0, self._max_head - seen))
                    if end < 0:  # the head goes on past the bound: read no more of it
                        self._refuse(431, b"Request Header Fields Too Large", "header_too_large",
                                     f"the request line and headers exceed {self._max_head} bytes")
                        return
            super().data_received(data)

        def on_message_begin(self) -> None:
            super().on_message_begin()
            self._in_head = True
            self._start_head_timer()

        def on_headers_complete(self) -> None:
            self._in_head = False
            self._head_bytes = 0
            self._stop_head_timer()
            super().on_headers_complete()

        def connection_lost(self, exc) -> None:
            self._stop_head_timer()
            super().connection_lost(exc)

else:
    GuardedProtocol = None


def uvicorn_config(app, *, host: str, port: int, limits: dict, **extra):
    """uvicorn.Config of the service: ``limits`` holds max_header_bytes,
    header_timeout, keep_alive_timeout, max_connections and trusted_proxies."""
    import uvicorn

    proxies = list(limits.get("trusted_proxies") or ())
    options = dict(
        host=host, port=port,
        timeout_keep_alive=limits["keep_alive_timeout"],
        limit_concurrency=limits["max_connections"],
        proxy_headers=bool(proxies),
        forwarded_allow_ips=",".join(proxies) if proxies else "",
        server_header=False,
    )
    if GuardedProtocol is not None:
        options["http"] = GuardedProtocol
    else:  # h11: its own bound on the head (it answers 400 past it)
        options["http"] = "h11"
        options["h11_max_incomplete_event_size"] = limits["max_header_bytes"]
    options.update(extra)
    config = uvicorn.Config(app, **options)
    config.corvane_limits = {k: limits[k] for k in ("max_header_bytes", "header_timeout")}
    return config
