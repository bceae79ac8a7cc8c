"""Metrics of the model calls (prometheus-client): latency, tokens, errors by kind, refusals.

``ModelMetrics(registry)`` registers its metrics on the application's
registry (``Metrics.registry`` of the service, or None in a process with
``PROMETHEUS_MULTIPROC_DIR``).  Labels are bounded: error kinds outside
``ERROR_KINDS`` count as ``"other"``, and client names go through
``ratelimit.BoundedLabels``.
"""
from __future__ import annotations

import contextlib
import time
from typing import Iterator

from prometheus_client import Counter, Histogram

MODEL_BUCKETS = (0.05, 0.1, 0.25, 0.5, 1, 2, 3, 5, 8, 13, 20, 30, 45, 60, 90, 120)
ERROR_KINDS = frozenset({"timeout", "connect", "http_4xx", "http_5xx", "bad_reply", "cancelled", "error"})


class ModelCall:
    """What one call reports while it runs (tokens, refusal); see ``ModelMetrics.call``."""

    __slots__ = ("tokens_in", "tokens_out", "refused", "error")

    def __init__(self) -> None:
        self.tokens_in = self.tokens_out = None
        self.refused = False
        self.error: str | None = None


class ModelMetrics:
    def __init__(self, registry=None, client_label=None) -> None:
        self._label = client_label or (lambda name: name)
        self.latency = Histogram(
            "corvane_model_call_duration_seconds", "Time of one model call, by client and outcome",
            ["client", "outcome"], buckets=MODEL_BUCKETS, registry=registry,
        )
        self.tokens = Counter(
            "corvane_model_tokens", "Tokens the model endpoint reported, by direction (in: prompt, out: completion)",
            ["client", "direction"], registry=registry,
        )
        self.errors = Counter(
            "corvane_model_call_errors", "Failed model calls by kind", ["client", "kind"], registry=registry,
        )
        self.refusals = Counter(
            "corvane_model_refusals", "Answers in which the model declined to answer", ["client"], registry=registry,
        )
        self.limited = Counter(
            "corvane_rate_limited", "Requests refused with 429, by client and limit", ["client", "limit"],
            registry=registry,
        )

    def observe(self, seconds: float, *, client: str = "-", tokens_in: int | None = None,
                tokens_out: int | None = None, error: str | None = None, refused: bool = False) -> None:
        client = self._label(client)
        outcome = "error" if error else ("refused" if refused else "ok")
        self.latency.labels(client, outcome).observe(max(0.0, seconds))
        if tokens_in is not None and tokens_in >= 0:
            self.tokens.labels(client, "in").inc(tokens_in)
        if tokens_out is not None and tokens_out >= 0:
            self.tokens.labels(client, "out").inc(tokens_out)
        if error:
            self.errors.labels(client, error if error in ERROR_KINDS else "other").inc()
        if refused:
            self.refusals.labels(client).inc()

    def rate_limited(self, client: str, limit: str) -> None:
        self.limited.labels(self._label(client), limit).inc()

    @contextlib.contextmanager
    def call(self, client: str = "-", clock=time.perf_counter) -> Iterator[ModelCall]:
        """Times the block; an exception escaping it counts as an error of kind ``error_kind(exc)``."""
        report = ModelCall()
        start = clock()
        try:
            yield report
        except BaseException as exc:
            report.error = report.error or error_kind(exc)
            raise
        finally:
            self.observe(clock() - start, client=client, tokens_in=report.tokens_in, tokens_out=report.tokens_out,
                         error=report.error, refused=report.refused)


def error_kind(exc: BaseException) -> str:
    """A bounded name for a failed call's exception."""
    import asyncio

    if isinstance(exc, (asyncio.CancelledError,)):
        return "cancelled"
    name = type(exc).__name__.lower()
    if isinstance(exc, TimeoutError) or "timeout" in name:
        return "timeout"
    if isinstance(exc, ConnectionError) or "connect" in name:
        return "connect"
    status = getattr(getattr(exc, "response", None), "status_code", None) or getattr(exc, "status", None)
    if isinstance(status, int):
        return "http_4xx" if 400 <= status < 500 else "http_5xx" if status >= 500 else "error"
    if isinstance(exc, ValueError):
        return "bad_reply"
    return "error"


def usage_tokens(reply: dict) -> tuple[int | None, int | None]:
    """(prompt, completion) tokens from an OpenAI-style reply's ``usage``, when the endpoint sent them."""
    usage = reply.get("usage") if isinstance(reply, dict) else None
    if not isinstance(usage, dict):
        return None, None

    def count(key):
        value = usage.get(key)
        return value if isinstance(value, int) and not isinstance(value, bool) and value >= 0 else None

    return count("prompt_tokens"), count("completion_tokens")
