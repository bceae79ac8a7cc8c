"""The deployment layers of one application, as ``create_app`` puts them on:

* X-Request-ID (outermost: every other layer, the access log and the error
  bodies see the id);
* the service's own middleware (Host, body, access log, containment);
* API keys and the single token, with per-client rate limits (inside the
  service's middleware, so a 401 or 429 is in the access log with the
  client's name);
* /readyz, and the model-call metrics.

``DeployLayers`` keeps the keys layer's settings until the first request
builds the middleware stack, so ``corvane.service_wiring.install`` can still
change them (a keys file, a token, extra readiness checks) on an application
made earlier.
"""
from __future__ import annotations

from typing import Callable, Iterable

from corvane.keys import KeyStore
from corvane.model_metrics import ModelMetrics
from corvane.ratelimit import DEFAULT_PUBLIC_PATHS, BoundedLabels, KeyAuthMiddleware, Limits, RateLimiter
from corvane.readiness import Readiness, add_readyz, file_readable
from corvane.service.middleware import PUBLIC_PATHS, PUBLIC_PREFIX


class DeployLayers:
    def __init__(self, *, token: str, keys_file: str, model_metrics: ModelMetrics, readiness: Readiness,
                 token_limits: Limits = Limits()) -> None:
        self.token = token
        self.token_limits = token_limits
        self.store: KeyStore | None = None
        self.limiter = RateLimiter()
        self.model_metrics = model_metrics
        self.readiness = readiness
        self.built = False
        if keys_file:
            self.use_keys_file(keys_file)

    def use_keys_file(self, path: str) -> None:
        """Accept the keys of ``path`` (a bad file fails here, naming it)."""
        self._not_built()
        self.store = KeyStore(path)
        self.readiness.checks.append(("keys_file", file_readable(path)))

    def use_token(self, token: str, limits: Limits = Limits()) -> None:
        self._not_built()
        self.token = token
        self.token_limits = limits

    def _not_built(self) -> None:
        if self.built:
            raise RuntimeError("the application has served requests; its keys layer cannot change now")

    def layer(self, app):
        """The keys layer over ``app`` (called once, when the middleware stack is built)."""
        self.built = True
        return KeyAuthMiddleware(
            app, store=self.store, token=self.token, limiter=self.limiter, token_limits=self.token_limits,
            public_paths=DEFAULT_PUBLIC_PATHS | PUBLIC_PATHS, public_prefixes=(PUBLIC_PREFIX, "/docs/"),
            on_limited=self.model_metrics.rate_limited,
        )


class _KeysLayer:
    """Starlette middleware building the keys layer from ``DeployLayers`` at stack build time."""

    def __init__(self, app, *, layers: DeployLayers) -> None:
        self.inner = layers.layer(app)

    async def __call__(self, scope, receive, send) -> None:
        await self.inner(scope, receive, send)


def model_metrics_for(metrics) -> ModelMetrics:
    registry = None if getattr(metrics, "multiprocess", False) else metrics.registry
    return ModelMetrics(registry, client_label=BoundedLabels())


def add_keys_layer(app, layers: DeployLayers) -> None:
    app.add_middleware(_KeysLayer, layers=layers)


def add_readiness(app, holder, data_dir: str, checks: Iterable[tuple[str, Callable[[], None]]],
                  release_of: Callable[[], str | None] | None = None) -> Readiness:
    return add_readyz(app, holder, data_dir, checks, release_of)


def add_readiness_check(app, name: str, check: Callable[[], None]) -> None:
    """Adds a /readyz check (``check()`` raises when not ready), e.g. the feedback
    store's database: ``add_readiness_check(app, "database", store.ping)``."""
    app.state.readiness.checks.append((name, check))
