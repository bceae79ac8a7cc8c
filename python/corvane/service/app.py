"""The HTTP service: ``create_app(data_dir, *, ranker="exact", ...)`` -> FastAPI application.

Endpoints: POST /v1/search, /v1/prompt, /v1/answer; GET /healthz, /metrics, / (the web
page), /docs, /openapi.json.  Errors are JSON: ``{"error": {"code", "message", "field"}}``.
"""
# No "from __future__ import annotations": FastAPI reads the request models'
# annotations at run time, and those models are made per application.
import asyncio
import gc
import logging
import os
import time
from contextlib import asynccontextmanager
from dataclasses import dataclass, field
from pathlib import Path
from typing import AsyncIterator, Optional

from fastapi import FastAPI, Request
from fastapi.exceptions import RequestValidationError
from fastapi.responses import FileResponse, JSONResponse, Response
from fastapi.staticfiles import StaticFiles
from starlette.exceptions import HTTPException as StarletteHTTPException

from corvane import releases
from corvane import settings as corvane_settings
from corvane.request_id import RequestIdMiddleware
from corvane.service import config as limits
from corvane.service import deploy, engine_access
from corvane.service.docs_page import _add_docs, _docs_mode
from corvane.service.errors import error_body
from corvane.service.guards import LoopWatch, ModelGate, OpenFilesWatch
from corvane.service.holder import IndexHolder
from corvane.service.lifecycle import _log_accept_failures, _Shutdown
from corvane.service.metrics import Metrics
from corvane.service.middleware import PAGE_HEADERS, ServiceMiddleware
from corvane.service.model_client import ModelClient
from corvane.service.textsafe import escape_log, url_secrets

# The request/response models and the answer routes live in their own modules; their
# names stay importable from here.
from corvane.service.routes_answer import (  # noqa: F401
    ANSWER_TOP_K, CONTEXT_CACHE_SIZE, LLM_KEY_ENV, LLM_URL_ENV, _add_routes, _owner_features, _scrub,
    _serve_directly, call_model,
)
from corvane.service.schemas import (  # noqa: F401
    MANUAL_DOC, RANKER_DOC, VEHICLE_DOC, AnswerResponse, ErrorDetail, ErrorResponse, HealthResponse, Image,
    PromptResponse, Ranker, SearchHit, SearchResponse, Source, _body_doc, _errors, _fail, _json, _parse,
)

log = logging.getLogger("corvane.service")

STATIC_DIR = Path(__file__).resolve().with_name("static")
TOKEN_ENV = "CORVANE_API_TOKEN"


@dataclass
class Settings:
    data_dir: str = "data"
    ranker: str = "exact"
    api_token: str = ""
    llm_url: str = ""
    llm_key: str = field(default="", repr=False)
    model_timeout: float = 60.0
    max_question_chars: int = 2000
    max_body_bytes: int = 64 * 1024
    max_top_k: int = 50
    log_questions: bool = False
    reload_interval: float = 1.0
    max_template_bytes: int = 16 * 1024
    max_prompt_bytes: int = limits.DEFAULT_MAX_PROMPT_BYTES
    max_model_calls: int = 8
    model_queue: int = 16
    model_queue_wait: float = 10.0
    reload_compile_wait: float = 10.0
    shutdown_timeout: float = 0.0
    database: Optional[str] = None  # the feedback store (routes_owners.database_url)
    style_file: Optional[str] = None
    fallback_text: Optional[str] = None


def _check_secret(value: str, name: str) -> str:
    """A token or key as given; one with white space around it (a trailing CR
    from a Windows file, a newline from echo) would never match or would break
    every call, so it is refused, naming where it came from."""
    if value and value != value.strip():
        raise ValueError(f"{name} has white space or a line break at its start or end; remove it")
    return value

def _env(value: Optional[str], name: str) -> str:
    """``value``, or when None the setting ``name`` (its environment variable, else its default)."""
    return corvane_settings.get(name) if value is None else value


def create_app(
    data_dir: "str | os.PathLike[str]" = "data",
    *,
    ranker: str = "exact",
    api_token: Optional[str] = None,
    llm_url: Optional[str] = None,
    llm_key: Optional[str] = None,
    model_timeout: float = 60.0,
    max_question_chars: int = 2000,
    max_body_bytes: int = 64 * 1024,
    max_top_k: int = 50,
    log_questions: bool = False,
    reload_interval: float = 1.0,
    max_template_bytes: Optional[int] = None,
    max_model_calls: Optional[int] = None,
    model_queue: Optional[int] = None,
    model_queue_wait: Optional[float] = None,
    allowed_hosts: Optional["list[str] | tuple[str, ...]"] = None,
    cors_origins: "list[str] | tuple[str, ...]" = (),
    reload_compile_wait: Optional[float] = None,
    shutdown_timeout: float = 0.0,
    docs: str = "auto",
    database: Optional[str] = None,
    style: Optional[str] = None,
    fallback_text: Optional[str] = None,
    keys_file: Optional[str] = None,
    request_ids: bool = True,
    readiness_checks: "list | tuple" = (),
) -> FastAPI:
    """The service over ``data_dir/scene_index.jsonl``.

    ``api_token``, ``llm_url`` and ``llm_key`` default to the environment
    (CORVANE_API_TOKEN, CORVANE_LLM_URL, CORVANE_LLM_KEY; HARLUNE_MODEL names the
    model).  The index is opened here: a missing index raises FileNotFoundError,
    an unknown or unavailable ranker ValueError.  ``reload_interval`` is the
    period in seconds of the check for a rebuilt index (0: never reload).
    The other limits default as service/config.py's table says;
    ``allowed_hosts`` None means localhost names only, ``["*"]`` any Host.
    ``shutdown_timeout`` is the server's graceful-shutdown bound (0: none):
    streams still running close to it end with an ``error`` event.  ``docs``:
    "auto" (the packaged Swagger UI when installed, else a plain page),
    "swagger" or "none".  A token or key with white space at an end: ValueError.
    ``database``: the feedback store (a file, sqlite:///FILE or postgresql://…;
    default CORVANE_DATABASE, else ./corvane-feedback.db); ``style``: a JSON
    file of the answer style; ``fallback_text``: the reply to a refused question.
    ``keys_file`` (default: CORVANE_KEYS_FILE; "" none) holds the API keys and
    their rate limits, accepted beside the token; ``request_ids`` adds the
    X-Request-ID layer; ``readiness_checks`` are extra (name, callable) checks
    of /readyz (see ``add_readiness_check``).
    """

    def pick(value, name):
        return limits.default_of(name) if value is None else value

    settings = Settings(
        data_dir=os.fspath(data_dir),
        ranker=ranker,
        api_token=_check_secret(_env(api_token, "api_token"), TOKEN_ENV if api_token is None else "api_token"),
        llm_url=_env(llm_url, "llm_url").strip(),
        llm_key=_check_secret(_env(llm_key, "llm_key"), LLM_KEY_ENV if llm_key is None else "llm_key"),
        model_timeout=float(model_timeout),
        max_question_chars=int(max_question_chars),
        max_body_bytes=int(max_body_bytes),
        max_top_k=int(max_top_k),
        log_questions=bool(log_questions),
        reload_interval=float(reload_interval),
        max_template_bytes=int(pick(max_template_bytes, "max_template_bytes")),
        max_prompt_bytes=int(corvane_settings.get("max_prompt_bytes")),
        max_model_calls=int(pick(max_model_calls, "max_model_calls")),
        model_queue=int(pick(model_queue, "model_queue")),
        model_queue_wait=float(pick(model_queue_wait, "model_queue_wait")),
        reload_compile_wait=float(pick(reload_compile_wait, "reload_compile_wait")),
        shutdown_timeout=float(shutdown_timeout or 0.0),
        database=database,
        style_file=None if style is None else os.fspath(style),
        fallback_text=fallback_text,
    )
    if settings.model_timeout <= 0:
        raise ValueError("model_timeout must be a positive number of seconds")
    if settings.max_model_calls < 1 or settings.model_queue < 0:
        raise ValueError("max_model_calls must be 1 or more and model_queue 0 or more")
    if docs not in ("auto", "swagger", "none"):
        raise ValueError(f"docs must be 'auto', 'swagger' or 'none', not {docs!r}")
    hosts = limits.default_allowed_hosts(None) if allowed_hosts is None else tuple(allowed_hosts)
    metrics = Metrics()
    try:
        from corvane.service import server as _server

        _server.refusal_listeners[:] = [lambda reason: metrics.connections_refused.labels(reason).inc()]
    except ImportError:  # uvicorn is not installed: the application is served by something else
        pass
    loop_watch = LoopWatch(metrics, limits.STALL_SECONDS, limits.STALL_PROBE_SECONDS)
    files_watch = OpenFilesWatch(metrics)
    gate = ModelGate(settings.max_model_calls, settings.model_queue, settings.model_queue_wait)
    shutdown = _Shutdown(settings.shutdown_timeout)
    # One pool of model connections, as many as model calls may run at once.
    model_client = ModelClient(settings.llm_url, settings.llm_key, settings.model_timeout, settings.max_model_calls)

    def on_reload(engine) -> None:
        metrics.reloads.inc()
        metrics.entries.set(len(engine))
        log.info("switched to the rebuilt index: %d entries", len(engine))

    def open_engine():
        # The folder behind the data folder now (a release's ``current`` link
        # followed once), so both index files come from one release.
        real = releases.resolved(settings.data_dir)
        engine = engine_access.open_engine(real, settings.ranker)
        # The release these files are (None for a plain data folder), read now: the link may
        # switch again before the next reload, and /healthz must name what is served.
        engine.release = releases.release_id_of(real)
        # The index is read-only and long-lived: keep its objects out of the
        # cyclic collector, whose full passes over them would stall requests.
        gc.freeze()
        return engine

    def prepare(in_place: bool, note, stopped) -> None:
        """Off the event loop: the compiled file of the changed index, waited for
        (``corvane index`` writes it right after the JSON-lines file) or, for a
        file rewritten in place or past the wait, compiled in a child process."""
        start = time.monotonic()
        data_dir = settings.data_dir
        if not engine_access.compiled_file_ready(data_dir):
            if not in_place:
                note("the index changed; waiting for its compiled file")
                deadline = start + settings.reload_compile_wait
                while time.monotonic() < deadline and not engine_access.compiled_file_ready(data_dir):
                    if stopped():
                        raise OSError("the server is stopping")
                    time.sleep(0.1)
            if not engine_access.compiled_file_ready(data_dir):
                note("compiling the changed index in a child process")
                log.info("compiling the changed index of %s in a child process", data_dir)
                engine_access.compile_in_child(data_dir)
        metrics.reload_seconds.observe(time.monotonic() - start)

    holder = IndexHolder(
        settings.data_dir,
        open_engine,
        on_reload=on_reload,
        on_failure=metrics.reload_failures.inc,
        prepare=prepare,
    )
    metrics.entries.set(len(holder.engine))
    owners = _owner_features(settings, metrics, model_client)

    @asynccontextmanager
    async def lifespan(app: FastAPI) -> AsyncIterator[None]:
        holder.start_watching(settings.reload_interval)
        loop = asyncio.get_running_loop()
        loop_watch.start()
        files_watch.start()
        _log_accept_failures(loop, metrics)
        restore = shutdown.hook_signals(loop)
        log.info("serving %d scenes from %s (ranker %s, model %s)", len(holder.engine), settings.data_dir,
                 settings.ranker, "configured" if settings.llm_url else "not configured")
        try:
            yield
        finally:
            restore()
            await loop_watch.stop()
            await files_watch.stop()
            await model_client.aclose()
            holder.close()
            owners.close()

    docs_mode = _docs_mode(docs)
    app = FastAPI(
        title="corvane",
        version=_version(),
        description="Ranked owner's-manual scenes, answer prompts and model answers for a question.",
        lifespan=lifespan,
        docs_url=None,
        redoc_url=None,
    )
    app.state.settings = settings
    app.state.holder = holder
    app.state.metrics = metrics
    app.state.shutdown = shutdown
    app.state.model_client = model_client
    secrets = [s for s in (settings.api_token, settings.llm_key, *url_secrets(settings.llm_url)) if s]
    # The layers, innermost first: keys and limits, the service's own, request ids.
    # A feedback database asked for: /readyz needs it reachable.
    checks = [*readiness_checks, *([("database", owners.database_ready)] if settings.database else [])]
    readiness = deploy.add_readiness(app, holder, settings.data_dir, checks,
                                     release_of=lambda: getattr(holder.current.engine, "release", None))
    model_metrics = deploy.model_metrics_for(metrics)
    layers = deploy.DeployLayers(token=settings.api_token,
                                 keys_file=_env(keys_file, "keys_file"), model_metrics=model_metrics,
                                 readiness=readiness)
    app.state.deploy = layers
    app.state.readiness = readiness
    app.state.model_metrics = model_metrics
    app.state.release_of = readiness.loaded_release
    deploy.add_keys_layer(app, layers)
    # CORS outside the keys layer: a browser's preflight carries no token.
    if cors_origins:
        from starlette.middleware.cors import CORSMiddleware

        app.add_middleware(CORSMiddleware, allow_origins=list(cors_origins), allow_methods=["GET", "POST"],
                           allow_headers=["Authorization", "Content-Type"], max_age=600)
    app.add_middleware(
        ServiceMiddleware,
        token="",  # checked by the keys layer
        max_body_bytes=settings.max_body_bytes,
        metrics=metrics,
        log_questions=settings.log_questions,
        secrets=lambda: secrets,
        allowed_hosts=hosts,
        cors_origins=tuple(cors_origins),
        loop_watch=loop_watch,
    )
    if request_ids:
        app.add_middleware(RequestIdMiddleware)
    _install_error_handlers(app)
    _add_routes(app, settings, holder, metrics, gate, shutdown, secrets, owners)
    _add_status_routes(app, settings, holder, metrics)
    _add_docs(app, docs_mode, bool(settings.api_token))
    app.mount("/static", StaticFiles(directory=STATIC_DIR), name="static")
    return app


def _version() -> str:
    from corvane import __version__

    return __version__


# -- errors -------------------------------------------------------------------


def _field_of(loc: tuple) -> str:
    parts = [str(p) for p in loc if p != "body"]
    return ".".join(parts) if parts else "body"


def _install_error_handlers(app: FastAPI) -> None:
    @app.exception_handler(RequestValidationError)
    async def invalid_request(request: Request, exc: RequestValidationError) -> JSONResponse:
        details = []
        for err in exc.errors():
            loc = tuple(err.get("loc", ()))
            if err.get("type") == "json_invalid":
                loc = ("body",)
            details.append({"field": _field_of(loc), "message": err.get("msg", "invalid value"),
                            "type": err.get("type", "")})
        first = details[0] if details else {"field": "body", "message": "invalid request"}
        return JSONResponse(
            error_body("invalid_request", f"{first['field']}: {first['message']}", first["field"], details=details),
            status_code=422,
        )

    @app.exception_handler(StarletteHTTPException)
    async def http_error(request: Request, exc: StarletteHTTPException) -> JSONResponse:
        codes = {404: "not_found", 405: "method_not_allowed"}
        message = exc.detail if isinstance(exc.detail, str) else "request failed"
        return JSONResponse(error_body(codes.get(exc.status_code, "http_error"), message),
                            status_code=exc.status_code, headers=getattr(exc, "headers", None))


def _add_status_routes(app: FastAPI, settings: Settings, holder: IndexHolder, metrics: Metrics) -> None:
    @app.get("/healthz", response_model=HealthResponse, summary="Index loaded, its size and build time")
    async def healthz():
        gen = holder.current
        try:
            info = gen.engine.info()
        except Exception as exc:  # closed under us by a switch: the next call sees the new one
            info = {"entries": 0, "built_at": "", "ranker": settings.ranker, "compiled_file": False}
            problem = f"index not readable ({type(exc).__name__})"
        else:
            problem = holder.problem
        generation = gen.number
        serving = not gen.stale
        metrics.index_degraded.set(1 if problem or not serving else 0)
        body = {
            "status": "ok" if not problem and serving else "degraded",
            "entries": info["entries"],
            "built_at": info["built_at"],
            "ranker": info["ranker"],
            "compiled_file": bool(info.get("compiled_file", False)),
            "index_generation": generation,
            "model_configured": bool(settings.llm_url),
        }
        # The release (``corvane publish``) of the index being served, when the data folder is one.
        release = getattr(gen.engine, "release", None)
        if release is not None:
            body["release"] = release
        if problem or not serving:
            body["reason"] = escape_log(gen.stale or problem or "")
        # 503 only when no index can answer; a previous index still serving is 200 "degraded".
        return JSONResponse(body, status_code=200 if serving else 503)

    @app.get("/metrics", summary="Prometheus metrics", response_class=Response,
             responses={200: {"content": {"text/plain": {}}}})
    async def metrics_endpoint():
        try:
            current = holder.current
            metrics.index_degraded.set(1 if holder.problem or current.stale else 0)
            metrics.entries.set(len(current.engine))
        except Exception:
            pass
        return Response(metrics.render(), media_type=metrics.content_type)

    @app.get("/", include_in_schema=False)
    async def page():
        return FileResponse(STATIC_DIR / "index.html", media_type="text/html; charset=utf-8",
                            headers=PAGE_HEADERS)
