"""Puts the deployment layers on an application of ``corvane.service.app.create_app``:
``/readyz``, API keys with rate limits, ``X-Request-ID`` and the model-call metrics.

    app = create_app(data_dir, api_token="")        # the keys layer checks the token
    install(app, data_dir=data_dir, keys_file=path, token=os.environ.get("CORVANE_API_TOKEN", ""))

Call it before the first request (Starlette builds its middleware stack then).
The layers go outside the service's own middleware, in this order (outermost
first): request id, keys and limits, then the service.  A request refused
with 401/429 here is therefore not in the service's access log; its client
sees the request id in the response and the error body.
"""
from __future__ import annotations

import os

from corvane.keys import KeyStore
from corvane.model_metrics import ModelMetrics
from corvane.ratelimit import BoundedLabels, KeyAuthMiddleware, Limits, RateLimiter
from corvane.readiness import add_readyz, file_readable
from corvane.request_id import RequestIdMiddleware


def install(app, *, data_dir: str, keys_file: str | None = None, token: str = "",
            token_limits: Limits = Limits(), request_ids: bool = True, readiness_checks=()) -> dict:
    """Adds the layers; returns them by name (readiness, store, limiter, model_metrics)."""
    checks = list(readiness_checks)
    store = None
    if keys_file:
        store = KeyStore(keys_file)  # a bad file fails here, at start, naming the file
        checks.append(("keys_file", file_readable(keys_file)))
    readiness = add_readyz(app, app.state.holder, data_dir, checks)
    metrics = getattr(app.state, "metrics", None)
    registry = None
    if metrics is not None and not getattr(metrics, "multiprocess", False):
        registry = metrics.registry
    model_metrics = ModelMetrics(registry, client_label=BoundedLabels())
    limiter = RateLimiter()
    app.add_middleware(KeyAuthMiddleware, store=store, token=token, limiter=limiter, token_limits=token_limits,
                       on_limited=model_metrics.rate_limited)
    if request_ids:
        app.add_middleware(RequestIdMiddleware)
    app.state.model_metrics = model_metrics
    app.state.readiness = readiness
    # For /healthz: the release of the index a request is using, e.g.
    # ``app.state.release_of(gen.number)`` inside ``holder.use()``.
    app.state.release_of = readiness.loaded_release
    return {"readiness": readiness, "store": store, "limiter": limiter, "model_metrics": model_metrics}


def keys_file_from_environ() -> str | None:
    from corvane.keys import KEYS_FILE_ENV

    return os.environ.get(KEYS_FILE_ENV) or None
