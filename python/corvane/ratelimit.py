"""Per-client rate limits (token buckets) and the ASGI layer that authenticates
API keys and applies them.

Limits are held in the process: with several replicas each one counts its own
requests, so route a client to one replica (the proxy of deploy/ hashes on the
Authorization header) for the limit to hold across them.

``KeyAuthMiddleware`` is plain ASGI (it works under Starlette's
``add_middleware``).  It accepts, on every path but the public ones:

* a key of the keys file (``corvane keys add``): the client is its name, with
  the key's limits;
* the single ``CORVANE_API_TOKEN``: the client is ``"token"``, with
  ``token_limits`` (none by default), as before keys existed.

A request without either gets 401; over a limit, 429 with ``Retry-After``
(whole seconds, rounded up).  The client's name, never the key, goes to
``scope["corvane.client"]`` for the access log and metrics labels.
"""
from __future__ import annotations

import hmac
import json
import math
import threading
import time
from dataclasses import dataclass
from typing import Callable, Iterable

CLIENT_KEY = "corvane.client"
TOKEN_CLIENT = "token"
ANONYMOUS = "anonymous"
OTHER = "other"
DEFAULT_PUBLIC_PATHS = frozenset({"/healthz", "/readyz", "/", "/favicon.ico"})
DEFAULT_PUBLIC_PREFIXES = ("/static/",)
DEFAULT_MODEL_PATHS = frozenset({"/v1/answer"})
REQUESTS = "requests"
MODEL_CALLS = "model_calls"


class TokenBucket:
    """``rate`` tokens a minute, at most ``burst`` saved up (default: one minute's worth).

    Not locked itself: ``RateLimiter`` serialises access.
    """

    __slots__ = ("per_minute", "per_second", "capacity", "tokens", "stamp")

    def __init__(self, per_minute: float, burst: float | None = None, now: float = 0.0) -> None:
        if per_minute <= 0:
            raise ValueError(f"a rate limit must be above 0 per minute, not {per_minute!r}")
        self.per_minute = per_minute
        self.per_second = per_minute / 60.0
        self.capacity = float(burst if burst is not None else per_minute)
        if self.capacity < 1:
            raise ValueError(f"a burst must allow at least one request, not {burst!r}")
        self.tokens = self.capacity
        self.stamp = now

    def take(self, now: float, n: float = 1.0) -> float:
        """0.0 when ``n`` tokens were taken; else the seconds until they will be there (nothing taken)."""
        if now > self.stamp:
            self.tokens = min(self.capacity, self.tokens + (now - self.stamp) * self.per_second)
            self.stamp = now
        # A little slack for float rounding: a client that waited the whole
        # wait it was told must be let in.
        if self.tokens >= n - 1e-9:
            self.tokens = max(0.0, self.tokens - n)
            return 0.0
        return (n - self.tokens) / self.per_second

    def give_back(self, n: float = 1.0) -> None:
        self.tokens = min(self.capacity, self.tokens + n)


class RateLimiter:
    """Buckets per (client, kind), made on first use; thread-safe.

    Buckets of clients not seen for ``idle_seconds`` are dropped (a full bucket
    is what a new one would be), so memory stays bounded by the active clients.
    """

    def __init__(self, clock: Callable[[], float] = time.monotonic, idle_seconds: float = 600.0) -> None:
        self._clock = clock
        self._lock = threading.Lock()
        self._buckets: dict[tuple[str, str], tuple[TokenBucket, float]] = {}
        self._idle = idle_seconds
        self._swept = clock()

    def acquire(self, client: str, limits: Iterable[tuple[str, float]]) -> float:
        """Takes one token of every (kind, per-minute) limit, all or none.

        Returns 0.0 when allowed, else the seconds to wait (the longest of the
        limits that refused).  A limit of 0 or None means none.
        """
        now = self._clock()
        with self._lock:
            if now - self._swept > self._idle:
                self._sweep(now)
            taken: list[TokenBucket] = []
            wait = 0.0
            for kind, per_minute in limits:
                if not per_minute:
                    continue
                key = (client, kind)
                entry = self._buckets.get(key)
                if entry is None or entry[0].per_minute != per_minute:
                    bucket = TokenBucket(per_minute, now=now)  # a new or changed limit starts full
                else:
                    bucket = entry[0]
                self._buckets[key] = (bucket, now)
                retry = bucket.take(now)
                if retry:
                    wait = max(wait, retry)
                else:
                    taken.append(bucket)
            if wait:
                for bucket in taken:  # a refused request costs nothing
                    bucket.give_back()
            return wait

    def _sweep(self, now: float) -> None:
        self._swept = now
        for key, (_, used) in list(self._buckets.items()):
            if now - used > self._idle:
                del self._buckets[key]

    def __len__(self) -> int:
        return len(self._buckets)


def retry_after_header(seconds: float) -> str:
    """Retry-After is whole seconds; rounded up so a client that waits it is let in."""
    return str(max(1, math.ceil(seconds - 1e-9)))


@dataclass(frozen=True)
class Limits:
    requests_per_minute: int = 0
    model_calls_per_minute: int = 0


class BoundedLabels:
    """Client names for metrics labels: the first ``limit`` distinct ones, then ``"other"``.

    Names come from the keys file, so they are few; this keeps a mistake (a
    script adding thousands of keys) from blowing up the metrics.
    """

    def __init__(self, limit: int = 50) -> None:
        self.limit = limit
        self._seen: set[str] = set()
        self._lock = threading.Lock()

    def __call__(self, name: str) -> str:
        if name in self._seen:
            return name
        with self._lock:
            if len(self._seen) < self.limit:
                self._seen.add(name)
                return name
        return OTHER


def _header(scope, name: bytes) -> bytes | None:
    for key, value in scope.get("headers", ()):
        if key == name:
            return value
    return None


def _bearer(scope) -> str:
    value = _header(scope, b"authorization") or b""
    scheme, _, given = value.partition(b" ")
    if scheme.lower() != b"bearer":
        return ""
    try:
        return given.strip().decode("ascii")
    except UnicodeDecodeError:
        return ""


async def _send_error(send, status: int, code: str, message: str, headers: list[tuple[bytes, bytes]],
                      **extra) -> None:
    error = {"code": code, "message": message, **extra}
    data = json.dumps({"error": error}).encode()
    await send({"type": "http.response.start", "status": status,
                "headers": [(b"content-type", b"application/json"), (b"content-length", str(len(data)).encode()),
                            *headers]})
    await send({"type": "http.response.body", "body": data})


class KeyAuthMiddleware:
    """API keys and the single token, then the client's rate limits."""

    def __init__(
        self,
        app,
        *,
        store=None,
        token: str = "",
        limiter: RateLimiter | None = None,
        token_limits: Limits = Limits(),
        anonymous_limits: Limits = Limits(),
        public_paths: Iterable[str] = DEFAULT_PUBLIC_PATHS,
        public_prefixes: Iterable[str] = DEFAULT_PUBLIC_PREFIXES,
        model_paths: Iterable[str] = DEFAULT_MODEL_PATHS,
        on_limited: Callable[[str, str], None] | None = None,
    ) -> None:
        self.app = app
        self.store = store
        self.token = token.encode() if token else b""
        self.limiter = limiter if limiter is not None else RateLimiter()
        self.token_limits = token_limits
        self.anonymous_limits = anonymous_limits
        self.public_paths = frozenset(public_paths)
        self.public_prefixes = tuple(public_prefixes)
        self.model_paths = frozenset(model_paths)
        self.on_limited = on_limited

    @property
    def open(self) -> bool:
        """No token and no keys file: every request is let in (as without either before)."""
        return not self.token and self.store is None

    def _client(self, scope) -> tuple[str, Limits] | None:
        if self.open:
            return ANONYMOUS, self.anonymous_limits
        given = _bearer(scope)
        if not given:
            return None
        if self.store is not None:
            record = self.store.authenticate(given)
            if record is not None:
                return record.name, Limits(record.requests_per_minute, record.model_calls_per_minute)
        # Compared in constant time, whatever the lengths.
        if self.token and hmac.compare_digest(given.encode(), self.token):
            return TOKEN_CLIENT, self.token_limits
        return None

    async def __call__(self, scope, receive, send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        path = scope["path"]
        if path in self.public_paths or path.startswith(self.public_prefixes):
            await self.app(scope, receive, send)
            return
        found = self._client(scope)
        if found is None:
            await _send_error(send, 401, "unauthorized", "a valid API key or bearer token is required",
                              [(b"www-authenticate", b"Bearer")])
            return
        client, limits = found
        scope[CLIENT_KEY] = client
        wanted = [(REQUESTS, limits.requests_per_minute)]
        if path in self.model_paths:
            wanted.append((MODEL_CALLS, limits.model_calls_per_minute))
        wait = self.limiter.acquire(client, wanted)
        if wait:
            if self.on_limited is not None:
                try:
                    self.on_limited(client, MODEL_CALLS if len(wanted) > 1 else REQUESTS)
                except Exception:  # metrics never fail a request
                    pass
            header = retry_after_header(wait)
            await _send_error(send, 429, "rate_limited", f"rate limit exceeded; retry after {header} s",
                              [(b"retry-after", header.encode())], retry_after=int(header))
            return
        await self.app(scope, receive, send)
