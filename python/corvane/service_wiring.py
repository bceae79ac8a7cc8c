"""Sets the deployment layers of an application of ``corvane.service.app.create_app``:
``/readyz``, API keys with rate limits, ``X-Request-ID`` and the model-call metrics.

``create_app`` puts the layers on itself (its ``keys_file``, ``api_token`` and
``readiness_checks`` keywords); ``install`` changes them on an application made
earlier, before its first request::

    app = create_app(data_dir, api_token="")
    install(app, data_dir=data_dir, keys_file=path, token=settings.get("api_token"))

Order (outermost first): request id, the service's middleware (access log),
keys and limits, the routes; so a request refused with 401/429 is in the
access log, and its client sees the request id in the response and error body.
"""
from __future__ import annotations

from corvane import settings
from corvane.ratelimit import Limits


def install(app, *, data_dir: str | None = None, keys_file: str | None = None, token: str = "",
            token_limits: Limits = Limits(), request_ids: bool = True, readiness_checks=()) -> dict:
    """Sets the keys file, the token and extra readiness checks; returns the layers by name
    (readiness, store, limiter, model_metrics).  ``data_dir`` and ``request_ids`` are
    those of ``create_app`` (kept for callers of the earlier form)."""
    layers = app.state.deploy
    if token or token_limits != Limits():
        layers.use_token(token or layers.token, token_limits)
    if keys_file:
        layers.use_keys_file(keys_file)
    for name, check in readiness_checks:
        layers.readiness.checks.append((name, check))
    return {"readiness": layers.readiness, "store": layers.store, "limiter": layers.limiter,
            "model_metrics": layers.model_metrics}


def keys_file_from_environ() -> str | None:
    return settings.get("keys_file") or None
