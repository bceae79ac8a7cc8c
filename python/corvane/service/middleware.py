"""The outer layer every HTTP request passes: Host allow-list, Origin check,
bearer token, body type and size, error containment, security headers,
metrics and the structured access log.

Plain ASGI (no per-request task or copy of the response), so streamed
responses pass through untouched.
"""
from __future__ import annotations

import asyncio
import hmac
import json
import logging
import time
from typing import Awaitable, Callable

from corvane.service.errors import error_body

access_log = logging.getLogger("corvane.access")
log = logging.getLogger("corvane.service")

BODY_METHODS = frozenset({"POST", "PUT", "PATCH"})
ENDPOINTS = frozenset({"/", "/v1/search", "/v1/prompt", "/v1/answer", "/healthz", "/metrics",
                       "/docs", "/redoc", "/openapi.json"})
# Reachable without the token: the health check, and the page shell (static
# files without data; a browser cannot put a bearer token on a page load, the
# page sends it with its API calls).
# The documentation page is a shell too; the document it shows (/openapi.json) is not.
PUBLIC_PATHS = frozenset({"/healthz", "/readyz", "/", "/favicon.ico", "/docs"})
PUBLIC_PREFIX = "/static/"
DOCS_PREFIX = "/docs/assets/"
# Per-request facts the routes add to the access log line.
LOG_KEY = "corvane.log"
# Headers of the page and of every static file it loads.
PAGE_HEADERS = {
    "Content-Security-Policy": "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
    "connect-src 'self'; object-src 'none'; base-uri 'none'; frame-ancestors 'none'",
    "X-Content-Type-Options": "nosniff",
    "Cache-Control": "no-cache",
}
_PAGE_HEADERS = [(k.lower().encode(), v.encode()) for k, v in PAGE_HEADERS.items()]
_NOSNIFF = (b"x-content-type-options", b"nosniff")
JSON_TYPES = (b"application/json",)


def host_name(value: bytes) -> str:
    """The host of a Host header value, without port, lower case ('[::1]:80' -> '::1')."""
    text = value.decode("latin-1").strip().lower()
    if text.startswith("["):
        return text[1:].partition("]")[0]
    if text.count(":") == 1:
        text = text.partition(":")[0]
    return text.rstrip(".")


def origin_host(origin: bytes) -> str | None:
    text = origin.decode("latin-1").strip().lower()
    scheme, sep, rest = text.partition("://")
    if not sep or scheme not in ("http", "https") or not rest:
        return None
    return rest.rstrip("/")


class _Rejected(Exception):
    def __init__(self, status: int, code: str, message: str, field: str | None = None,
                 headers: list[tuple[bytes, bytes]] | None = None) -> None:
        super().__init__(message)
        self.status, self.code, self.field, self.headers = status, code, field, headers or []


def _header(scope, name: bytes) -> bytes | None:
    for key, value in scope["headers"]:
        if key == name:
            return value
    return None


async def send_json(send, status: int, body: dict, headers: list[tuple[bytes, bytes]] = ()) -> None:
    data = json.dumps(body, ensure_ascii=False).encode()
    await send({
        "type": "http.response.start",
        "status": status,
        "headers": [(b"content-type", b"application/json"), (b"content-length", str(len(data)).encode()),
                    *headers],
    })
    await send({"type": "http.response.body", "body": data})


class ServiceMiddleware:
    def __init__(self, app, *, token: str, max_body_bytes: int, metrics, log_questions: bool,
                 secrets: Callable[[], list[str]], allowed_hosts=None, cors_origins=(), loop_watch=None) -> None:
        self.app = app
        # None: any Host (a wildcard bind with no --allowed-host, or '*').
        self.allowed_hosts = None if allowed_hosts is None or "*" in allowed_hosts else \
            frozenset(h.lower().strip("[]") for h in allowed_hosts)
        self.cors_origins = frozenset(o.lower().rstrip("/") for o in cors_origins)
        self.loop_watch = loop_watch
        self.token = token.encode() if token else b""
        self.max_body = max_body_bytes
        self.metrics = metrics
        self.log_questions = log_questions
        self.secrets = secrets
        self._counters: dict = {}
        self._histograms: dict = {}

    def _authorized(self, scope) -> bool:
        value = _header(scope, b"authorization") or b""
        scheme, _, given = value.partition(b" ")
        if scheme.lower() != b"bearer":
            given = b""
        # Compares in constant time even when the lengths differ.
        return hmac.compare_digest(given.strip(), self.token)

    def _check_host_and_origin(self, scope, method: str) -> None:
        host = _header(scope, b"host")
        if self.allowed_hosts is not None and host is not None and host_name(host) not in self.allowed_hosts:
            # A name that resolves here by DNS rebinding, or a misrouted request.
            raise _Rejected(400, "host_not_allowed", "this server does not answer for that Host", "host")
        if method in BODY_METHODS:
            origin = _header(scope, b"origin")
            if origin is None:
                return  # not a browser's cross-site request (browsers send Origin on every POST)
            if origin.decode("latin-1").strip().lower().rstrip("/") in self.cors_origins:
                return
            if host is not None and origin_host(origin) == host.decode("latin-1").strip().lower():
                return  # the page of this server
            raise _Rejected(403, "origin_not_allowed", "requests from that origin are not accepted", "origin")

    @staticmethod
    def _check_content_type(scope) -> None:
        value = _header(scope, b"content-type")
        media = (value or b"").split(b";", 1)[0].strip().lower()
        if media not in JSON_TYPES:
            raise _Rejected(415, "unsupported_media_type", "the request body must be application/json",
                            "content-type")

    async def _read_body(self, scope, receive) -> bytes | None:
        """The whole request body, or None when the client went away."""
        length = _header(scope, b"content-length")
        if length is not None:
            if not length.isdigit():
                raise _Rejected(400, "bad_request", "Content-Length is not a number", "body")
            if int(length) > self.max_body:
                raise _Rejected(413, "body_too_large", f"request body exceeds {self.max_body} bytes", "body")
        chunks: list[bytes] = []
        total = 0
        while True:
            message = await receive()
            if message["type"] == "http.disconnect":
                return None
            chunk = message.get("body", b"")
            total += len(chunk)
            if total > self.max_body:
                raise _Rejected(413, "body_too_large", f"request body exceeds {self.max_body} bytes", "body")
            chunks.append(chunk)
            if not message.get("more_body", False):
                return b"".join(chunks)

    async def __call__(self, scope, receive, send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        start = time.perf_counter()
        path = scope["path"]
        method = scope["method"]
        state: dict = {}
        scope[LOG_KEY] = state
        result = {"status": 0, "bytes": 0}

        page = path == "/" or path.startswith((PUBLIC_PREFIX, DOCS_PREFIX))

        async def counting_send(message) -> None:
            if message["type"] == "http.response.start":
                result["status"] = message["status"]
                headers = list(message.get("headers", ()))
                names = {k.lower() for k, _ in headers}
                extra = [(k, v) for k, v in (_PAGE_HEADERS if page else [_NOSNIFF]) if k not in names]
                if extra:
                    message = {**message, "headers": headers + extra}
            elif message["type"] == "http.response.body":
                result["bytes"] += len(message.get("body", b""))
            await send(message)

        try:
            self._check_host_and_origin(scope, method)
            if method == "OPTIONS" and self.cors_origins:
                await self.app(scope, receive, counting_send)  # a CORS preflight: the CORS layer answers
                return
            if self.token and path not in PUBLIC_PATHS and not path.startswith((PUBLIC_PREFIX, DOCS_PREFIX)):
                if not self._authorized(scope):
                    raise _Rejected(401, "unauthorized", "a valid bearer token is required",
                                    headers=[(b"www-authenticate", b"Bearer")])
            inner_receive = receive
            if method in BODY_METHODS:
                self._check_content_type(scope)
                body = await self._read_body(scope, receive)
                if body is None:
                    result["status"] = 499  # client closed the request
                    return
                pending = [body]

                async def inner_receive() -> dict:
                    if pending:
                        return {"type": "http.request", "body": pending.pop(), "more_body": False}
                    return await receive()

            await self.app(scope, inner_receive, counting_send)
        except _Rejected as exc:
            if result["status"] == 0:
                await send_json(counting_send, exc.status, error_body(exc.code, str(exc), exc.field), exc.headers)
        except asyncio.CancelledError:
            state.setdefault("outcome", "cancelled")  # the server stopped it (shutdown) or the client left
            raise
        except Exception as exc:
            # One line, no traceback: nothing of the internals leaves the process.
            log.error("request failed: %s %s: %s", method, path, type(exc).__name__)
            if result["status"] == 0:
                await send_json(counting_send, 500, error_body("internal_error", "internal server error"))
        finally:
            self._record(scope, state, method, path, result, time.perf_counter() - start)

    def _observe(self, endpoint: str, method: str, status: int, seconds: float) -> None:
        key = (endpoint, method, status)
        counter = self._counters.get(key)
        if counter is None:
            counter = self._counters[key] = self.metrics.requests.labels(endpoint, method, str(status))
        histogram = self._histograms.get(endpoint)
        if histogram is None:
            histogram = self._histograms[endpoint] = self.metrics.latency.labels(endpoint)
        counter.inc()
        histogram.observe(seconds)

    def _record(self, scope, state: dict, method: str, path: str, result: dict, seconds: float) -> None:
        endpoint = path if path in ENDPOINTS else ("/static" if path.startswith(PUBLIC_PREFIX) else "other")
        status = result["status"]
        try:
            self._observe(endpoint, method, status, seconds)
        except Exception:  # metrics must never fail a request
            pass
        if not access_log.isEnabledFor(logging.INFO):
            return
        client = scope.get("client")
        entry = {
            "ts": _timestamp(),
            "method": method,
            "path": path,
            "status": status,
            "ms": round(seconds * 1000, 3),
            "bytes": result["bytes"],
            "client": client[0] if client else None,
            "request_id": scope.get("corvane.request_id"),
        }
        # The API key's name (or "token"), never the key.
        if scope.get("corvane.client") is not None:
            entry["key"] = scope["corvane.client"]
        if self.loop_watch is not None:
            stall = self.loop_watch.stalled_since(time.perf_counter() - seconds)
            if stall:
                entry["stall_ms"] = round(stall * 1000, 1)
        for key in ("ranker", "top_k", "stream", "question_chars", "results", "index_generation", "outcome"):
            if key in state:
                entry[key] = state[key]
        if self.log_questions and "question" in state:
            entry["question"] = state["question"]
        line = json.dumps(entry, ensure_ascii=False)
        for secret in self.secrets():
            if secret:
                line = line.replace(secret, "***")
        # A record made directly: the caller lookup of logger.info() costs more
        # than the rest of the line, once per request.
        access_log.handle(access_log.makeRecord(access_log.name, logging.INFO, __file__, 0, line, None, None))


_last_second = [0, ""]


def _timestamp() -> str:
    now = int(time.time())
    if now != _last_second[0]:
        _last_second[0] = now
        _last_second[1] = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(now))
    return _last_second[1]
