"""The HTTP service: ``create_app(data_dir, *, ranker="exact", ...)`` -> FastAPI application.

Endpoints: POST /v1/search, /v1/prompt, /v1/answer; GET /healthz, /metrics,
/ (the web page), /docs and /openapi.json.  Errors are JSON:
``{"error": {"code": ..., "message": ..., "field": ...}}``.
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
from typing import Any, AsyncIterator, Literal, Optional

from fastapi import FastAPI, Request
from fastapi.exceptions import RequestValidationError
from fastapi.responses import FileResponse, JSONResponse, Response
from fastapi.staticfiles import StaticFiles
from pydantic import BaseModel, ConfigDict, Field, ValidationError
from starlette.exceptions import HTTPException as StarletteHTTPException
from starlette.routing import Route

from corvane import errors as corvane_errors
from corvane import releases
from corvane import settings as corvane_settings
from corvane.ratelimit import CLIENT_KEY
from corvane.request_id import RequestIdMiddleware
from corvane.service import config as limits
from corvane.service import deploy, engine_access
from corvane.service.docs_page import _add_docs, _docs_mode
from corvane.service.errors import error_body
from corvane.service.guards import Busy, LoopWatch, ModelGate, OpenFilesWatch
from corvane.service.lifecycle import _log_accept_failures, _Shutdown
from corvane.service.model_client import ModelClient, failure_kind
from corvane.service.streaming import _answer_events, _ClientGone, _EventStream, _once, _sse, _unless_disconnected
from corvane.service.textsafe import escape_log, mask_urls_in, url_secrets

try:
    import orjson as _orjson
except ImportError:  # the serve extra brings it; json does the same job, slower
    _orjson = None
from corvane.service.holder import IndexHolder, IndexUnavailable
from corvane.service.metrics import Metrics
from corvane.service.middleware import LOG_KEY, PAGE_HEADERS, ServiceMiddleware

log = logging.getLogger("corvane.service")

STATIC_DIR = Path(__file__).resolve().with_name("static")
TOKEN_ENV = "CORVANE_API_TOKEN"
LLM_URL_ENV = "CORVANE_LLM_URL"
LLM_KEY_ENV = "CORVANE_LLM_KEY"
ANSWER_TOP_K = 3  # the answer prompt is built from the three best scenes
CONTEXT_CACHE_SIZE = 50_000  # rendered scene contexts kept per loaded index


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
    checks = list(readiness_checks)
    if settings.database:  # a feedback database asked for: /readyz needs it reachable
        checks.append(("database", owners.database_ready))
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


def _json(payload: Any, status_code: int = 200) -> Response:
    """A JSON response encoded with orjson when it can (several times faster
    than json for the Chinese texts); json for what orjson refuses (integers
    beyond 64 bits, such as a very long step number)."""
    if _orjson is not None:
        try:
            return Response(_orjson.dumps(payload), status_code=status_code, media_type="application/json")
        except TypeError:
            pass
    return JSONResponse(payload, status_code=status_code)


def _fail(status: int, code: str, message: str, field: Optional[str] = None) -> JSONResponse:
    return JSONResponse(error_body(code, message, field), status_code=status)


# -- routes -------------------------------------------------------------------

Ranker = Literal["exact", "hybrid"]

VEHICLE_DOC = "only scenes of this vehicle (a name from GET /v1/vehicles)"
MANUAL_DOC = "only scenes of this manual (its id)"
RANKER_DOC = "exact: the specified ranking; hybrid: title and alias matches, then BM25 (default: the server's --ranker)"


class Image(BaseModel):
    url: str = Field(description="/images/<path> under the data folder's images/")
    caption: str


class SearchHit(BaseModel):
    scene_id: str
    manual_id: str
    manual_title: str = Field(description="the catalog's title, else the manual's first heading")
    vehicle: Optional[str] = Field(None, description="the catalog's vehicle of the manual")
    title: str
    path: list[str] = Field([], description="the scene's ancestor headings ([] when not recorded)")
    score: float
    intent: str
    context: str = Field(description="the scene's context text for this question (as given to the model)")
    images: list[Image] = []
    scene: Optional[dict] = Field(None, description="the whole scene (with include_scene)")


class SearchResponse(BaseModel):
    query: str
    intent: str
    ranker: str
    results: list[SearchHit]


class PromptResponse(BaseModel):
    prompt: str
    ranker: str


class Source(BaseModel):
    n: int = Field(description="the scene's number in the prompt")
    cited: bool = Field(description="the answer cites this scene (cited ones come first)")
    scene_id: str
    manual_id: str
    manual_title: str
    vehicle: Optional[str]
    title: str
    path: list[str] = Field(description="the scene's ancestor headings ([] when the index does not record them)")
    heading_path: list[str] = Field(description="manual title, ancestor headings, scene title")
    images: list[Image]
    score: float


class AnswerResponse(BaseModel):
    answer_id: str = Field(description="for POST /v1/feedback")
    answer: str = Field(description="the model's answer, or the fallback text of a refused question")
    refused: bool = Field(description="no scene matched: the fallback text, no model call")
    cited: bool = Field(description="the answer cites scenes by number")
    sources: list[Source]
    topic: Optional[str] = Field(description="the best scene's title: send it back in the next turn's history")
    ranker: str


class HealthResponse(BaseModel):
    status: str
    entries: int
    built_at: str
    ranker: str
    compiled_file: bool
    index_generation: int
    model_configured: bool
    release: Optional[str] = Field(None, description="the release id of the served index (corvane publish)")


class ErrorDetail(BaseModel):
    code: str
    message: str
    field: Optional[str] = None


class ErrorResponse(BaseModel):
    error: ErrorDetail


def _errors(*codes: int) -> dict:
    return {code: {"model": ErrorResponse} for code in codes}


def _body_doc(model) -> dict:
    """OpenAPI text of a JSON request body read by ``_parse``."""
    schema = model.model_json_schema()
    return {"requestBody": {"required": True, "content": {"application/json": {"schema": schema}}}}


async def _parse(model, request: Request):
    """The request body validated by ``model`` (pydantic's JSON parser, straight from the bytes).

    The hot endpoints read their body this way rather than through FastAPI's
    parameter resolution, which costs several times the search itself; errors
    take the same path as FastAPI's own (RequestValidationError -> 422)."""
    try:
        return model.model_validate_json(await request.body())
    except ValidationError as exc:
        raise RequestValidationError(exc.errors(include_input=False, include_url=False)) from None


def call_model(model: ModelClient, prompt: str, *, stream: bool):
    """The one place the service calls the model, through the application's one
    client (one connection pool, one deadline per call: LLMTimeout past it): an
    awaitable of the reply, or with ``stream`` an async iterator of its text pieces."""
    if stream:
        return model.chat_stream(prompt)
    return model.chat(prompt)


def _owner_features(settings: Settings, metrics: Metrics, model_client: ModelClient):
    from corvane.answers import StyleError
    from corvane.catalog import CatalogError
    from corvane.service.routes_owners import OwnerFeatures

    model = None
    if settings.llm_url:
        def model(prompt: str):
            return call_model(model_client, prompt, stream=False)
    try:
        return OwnerFeatures(settings, metrics, model)
    except (StyleError, CatalogError) as exc:
        raise ValueError(str(exc)) from None


def _add_routes(app: FastAPI, settings: Settings, holder: IndexHolder, metrics: Metrics, gate: ModelGate,
                shutdown: _Shutdown, secrets: list, owners) -> None:
    from harlune import LLMError

    from corvane import morlek

    from corvane.service import routes_owners as owner_routes
    model = app.state.model_client
    model_metrics = app.state.model_metrics

    max_q = settings.max_question_chars
    turn_chars = owner_routes.MAX_TURN_CHARS

    class HistoryTurn(BaseModel):
        model_config = ConfigDict(extra="forbid")
        question: str = Field(max_length=max_q)
        answer: Optional[str] = Field(None, max_length=turn_chars)
        topic: Optional[str] = Field(None, max_length=500, description="the topic the service returned for it")
    question_field = Field(max_length=max_q, description=f"the user's question (at most {max_q} characters)")

    class SearchRequest(BaseModel):
        model_config = ConfigDict(extra="forbid")
        question: str = question_field
        top_k: int = Field(3, ge=1, le=settings.max_top_k, description="number of scenes")
        ranker: Optional[Ranker] = Field(None, description=RANKER_DOC)
        include_scene: bool = Field(False, description="add each scene's full record (steps, warnings, ...)")
        vehicle: Optional[str] = Field(None, max_length=200, description=VEHICLE_DOC)
        manual: Optional[str] = Field(None, max_length=200, description=MANUAL_DOC)

    class PromptRequest(BaseModel):
        model_config = ConfigDict(extra="forbid")
        question: str = question_field
        prompt_template: Optional[str] = Field(
            None, description="a prompt with __INPUT__, __KNOWLEDGE__ and __TIME__ (default: the answer prompt)"
        )
        ranker: Optional[Ranker] = Field(None, description=RANKER_DOC)
        vehicle: Optional[str] = Field(None, max_length=200, description=VEHICLE_DOC)
        manual: Optional[str] = Field(None, max_length=200, description=MANUAL_DOC)

    class AnswerRequest(BaseModel):
        model_config = ConfigDict(extra="forbid")
        question: str = question_field
        stream: bool = Field(False, description="stream the answer as server-sent events")
        ranker: Optional[Ranker] = Field(None, description=RANKER_DOC)
        vehicle: Optional[str] = Field(None, max_length=200, description=VEHICLE_DOC)
        manual: Optional[str] = Field(None, max_length=200, description=MANUAL_DOC)
        history: Optional[list[HistoryTurn]] = Field(
            None, max_length=owner_routes.MAX_HISTORY_TURNS,
            description="the conversation's previous turns, oldest first (a follow-up is resolved against them)")

    def note(request: Request, question: str, **facts: Any) -> None:
        state = request.scope.get(LOG_KEY)
        if state is not None:
            state["question_chars"] = len(question)
            state["question"] = question
            state.update(facts)

    def unavailable_ranker(name: str, exc: Exception) -> JSONResponse:
        return _fail(400, "ranker_unavailable", f"ranker {name!r} is not available: {exc}", "ranker")

    def index_unavailable(reason: str) -> JSONResponse:
        response = _fail(503, "index_unavailable", f"the index cannot serve now: {reason}")
        response.headers["Retry-After"] = "1"
        return response

    def stale(gen, exc: Exception) -> JSONResponse:
        holder.mark_stale(gen, str(exc))
        return index_unavailable(str(exc))

    @app.post("/v1/search", response_model=SearchResponse, responses=_errors(400, 401, 413, 422),
              summary="The best scenes for a question", openapi_extra=_body_doc(SearchRequest))
    async def search(request: Request):
        body = await _parse(SearchRequest, request)
        ranker = body.ranker or settings.ranker
        note(request, body.question, ranker=ranker, top_k=body.top_k)
        try:
            manual_ids = owners.allowed(body.vehicle, body.manual)
        except owner_routes.OwnerError as exc:
            return exc.response()
        try:
            gen = holder.acquire()
        except IndexUnavailable as exc:
            return index_unavailable(str(exc))
        with holder.held(gen):
            engine = gen.engine
            request.scope[LOG_KEY]["index_generation"] = gen.number
            try:
                hits = owners.search(engine, body.question, body.top_k, body.ranker, manual_ids)
            except engine_access.IndexStale as exc:
                return stale(gen, exc)
            except ValueError as exc:
                if body.ranker is None:
                    raise
                return unavailable_ranker(body.ranker, exc)
            intent = morlek.classify_query_intent(body.question)
            contexts = gen.cache  # (scene id, intent) -> context text, for this index only
            cat = owners.catalog()
            results = []
            for entry, score in hits:
                scene = entry["scene_data"]
                key = (entry["scene_id"], intent)
                context = contexts.get(key)
                if context is None:
                    if len(contexts) >= CONTEXT_CACHE_SIZE:
                        contexts.clear()
                    context = contexts[key] = morlek.render_context_for_llm(morlek.build_scene_context(scene, intent))
                shown = owners.describe(entry, cat)
                hit = {
                    "scene_id": entry["scene_id"],
                    "manual_id": entry["manual_id"],
                    "manual_title": shown["manual_title"],
                    "vehicle": shown["vehicle"],
                    "title": entry["scene_title"],
                    "path": shown["path"],
                    "score": score,
                    "intent": intent,
                    "context": context,
                    "images": shown["images"],
                }
                if body.include_scene:
                    hit["scene"] = scene
                results.append(hit)
        request.scope[LOG_KEY]["results"] = len(results)
        return _json({"query": body.question, "intent": intent, "ranker": ranker, "results": results})

    @app.post("/v1/prompt", response_model=PromptResponse, responses=_errors(400, 401, 413, 422),
              summary="The answer prompt for a question", openapi_extra=_body_doc(PromptRequest))
    async def prompt(request: Request):
        body = await _parse(PromptRequest, request)
        ranker = body.ranker or settings.ranker
        note(request, body.question, ranker=ranker)
        template = body.prompt_template
        if template is not None and len(template.encode("utf-8", "surrogatepass")) > settings.max_template_bytes:
            return _fail(413, "template_too_large",
                         f"prompt_template exceeds {settings.max_template_bytes} bytes", "prompt_template")
        try:
            manual_ids = owners.allowed(body.vehicle, body.manual)
        except owner_routes.OwnerError as exc:
            return exc.response()
        if manual_ids is not None and template is not None:
            return _fail(422, "invalid_request", "prompt_template: cannot be combined with vehicle or manual",
                         "prompt_template")
        try:
            gen = holder.acquire()
        except IndexUnavailable as exc:
            return index_unavailable(str(exc))
        with holder.held(gen):
            engine = gen.engine
            request.scope[LOG_KEY]["index_generation"] = gen.number
            try:
                if manual_ids is not None:
                    text = owners.specified_prompt(engine, body.question, body.ranker, manual_ids)
                elif template is None:
                    text = engine.prompt(body.question, ranker=body.ranker)
                else:
                    # Up to the prompt bound of work: off the event loop.
                    text = (await asyncio.to_thread(engine.answer, body.question, ranker=body.ranker,
                                                    template=template)).prompt
            except corvane_errors.PromptTooLargeError as exc:
                return _fail(413, "prompt_too_large", f"prompt_template: {exc} (CORVANE_MAX_PROMPT_BYTES)",
                             "prompt_template")
            except engine_access.IndexStale as exc:
                return stale(gen, exc)
            except ValueError as exc:
                if body.ranker is None:
                    raise
                return unavailable_ranker(body.ranker, exc)
        return _json({"prompt": text, "ranker": ranker})

    def model_failure(exc: BaseException) -> tuple[int, dict]:
        if corvane_errors.http_status(exc) == 504:
            metrics.model_errors.labels("timeout").inc()
            log.warning("model call timed out after %g s", settings.model_timeout)
            return 504, error_body("model_timeout", f"the model did not answer within {settings.model_timeout:g} s")
        metrics.model_errors.labels("error").inc()
        log.warning("model call failed: %s", _scrub(str(exc), secrets))
        status = getattr(exc, "status_code", None)
        message = "the model call failed" + (f" (HTTP {status})" if status else "")
        return 502, error_body("model_error", message)

    @app.post(
        "/v1/answer",
        response_model=AnswerResponse,
        responses={**_errors(400, 401, 413, 415, 422, 429, 502, 503, 504),
                   200: {"content": {"text/event-stream": {}},
                         "description": "with stream: events 'sources', 'delta' (text pieces), then 'done' or 'error'"}},
        summary="The model's answer and its sources",
        openapi_extra=_body_doc(AnswerRequest),
    )
    async def answer(request: Request):
        body = await _parse(AnswerRequest, request)
        ranker = body.ranker or settings.ranker
        note(request, body.question, ranker=ranker, stream=body.stream)
        try:
            manual_ids = owners.allowed(body.vehicle, body.manual, body.question)
            history = owners.history([t.model_dump(exclude_none=True) for t in body.history or ()])
        except owner_routes.OwnerError as exc:
            return exc.response()
        try:
            gen = holder.acquire()
        except IndexUnavailable as exc:
            return index_unavailable(str(exc))
        with holder.held(gen):
            engine = gen.engine  # one index for the rewrite, the scenes and the prompt, never a mix
            request.scope[LOG_KEY]["index_generation"] = gen.number
            try:
                query = await owners.retrieval_query(engine, body.question, history, ranker, manual_ids)
                plan = owners.plan(engine, body.question, manual_ids=manual_ids, ranker=body.ranker,
                                   top_k=ANSWER_TOP_K, retrieval_query=query)
            except engine_access.IndexStale as exc:
                return stale(gen, exc)
            except ValueError as exc:
                if body.ranker is None:
                    raise
                return unavailable_ranker(body.ranker, exc)
        topic = plan.records[0].get("scene_title") if plan.records else None
        vehicle = body.vehicle
        if vehicle is None and plan.records:
            vehicle = owners.catalog().vehicle_of(plan.records[0].get("manual_id"))
        request.scope[LOG_KEY]["results"] = len(plan.records)

        if plan.refused:
            # Nothing in the manuals: the fallback text, and no model call.
            owners.refusals.inc()
            request.scope[LOG_KEY]["outcome"] = "refused"
            answer_id = await asyncio.to_thread(owners.record, body.question, refused=True, vehicle=vehicle,
                                                sources=())
            done = {"answer_id": answer_id, "refused": True, "cited": False, "sources": [], "topic": topic}
            if body.stream:
                async def refused_events():
                    yield _sse("sources", {"sources": []})
                    yield _sse("delta", {"text": plan.fallback})
                    yield _sse("done", done)

                return _EventStream(refused_events(), media_type="text/event-stream",
                                    headers={"Cache-Control": "no-cache", "X-Accel-Buffering": "no"})
            return _json({**done, "answer": plan.fallback, "ranker": ranker})

        if not settings.llm_url:
            return _fail(503, "model_not_configured",
                         f"no language model is configured; set {LLM_URL_ENV} (and {LLM_KEY_ENV}, HARLUNE_MODEL) "
                         "where the server runs")
        text = plan.prompt
        shown = owners.sources(plan, None)["sources"]

        async def finish(reply: str) -> dict:
            used = owners.sources(plan, reply)
            answer_id = await asyncio.to_thread(owners.record, body.question, refused=False, vehicle=vehicle,
                                                sources=used["sources"])
            return {"answer_id": answer_id, "refused": False, "cited": used["cited"], "sources": used["sources"],
                    "topic": topic}

        log_state = request.scope.get(LOG_KEY, {})
        who = request.scope.get(CLIENT_KEY) or "-"
        try:
            await gate.acquire()
        except Busy as exc:
            metrics.model_busy.inc()
            response = _fail(429, "too_many_model_calls", str(exc))
            response.headers["Retry-After"] = str(exc.retry_after)
            return response

        if body.stream:
            release = _once(gate.release)
            try:
                pieces = call_model(model, text, stream=True)
            except BaseException:
                release()
                raise
            return _EventStream(
                _answer_events(pieces, shown, model_failure, metrics, LLMError, shutdown, log_state,
                               release, lambda: model_metrics.call(who), finish),
                media_type="text/event-stream",
                headers={"Cache-Control": "no-cache", "X-Accel-Buffering": "no"},
                on_close=release,
            )
        try:
            with model_metrics.call(who) as report:
                try:
                    # One deadline: the client's (model_timeout), for the whole exchange.
                    reply = await _unless_disconnected(request, call_model(model, text, stream=False))
                except _ClientGone:
                    report.error = "cancelled"
                    raise
                except LLMError as exc:
                    report.error = failure_kind(exc)
                    raise
        except _ClientGone:
            metrics.model_cancelled.inc()
            log.info("client went away; model call cancelled")
            return Response(status_code=499)
        except LLMError as exc:
            status, payload = model_failure(exc)
            return JSONResponse(payload, status_code=status)
        finally:
            gate.release()
        done = await finish(reply)
        return _json({**done, "answer": reply, "ranker": ranker})

    owner_routes.add_owner_routes(app, owners, _parse)

    for path, endpoint in (("/v1/search", search), ("/v1/prompt", prompt), ("/v1/answer", answer)):
        _serve_directly(app, path, endpoint)

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


def _serve_directly(app: FastAPI, path: str, endpoint) -> None:
    """Routes POST ``path`` to ``endpoint`` through a plain Starlette route put
    before FastAPI's own route for it.  FastAPI's route stays for the OpenAPI
    document; requests skip its parameter resolution, which the endpoint does
    not need (it reads and validates its body itself with ``_parse``) and which
    costs about a third of a search request."""
    app.router.routes.insert(0, Route(path, endpoint, methods=["POST"]))


def _scrub(text: str, secrets: list) -> str:
    """A model error for the log: secrets and URL query values masked, control
    characters escaped, at most 300 characters."""
    for secret in secrets:
        if secret:
            text = text.replace(secret, "***")
    return escape_log(mask_urls_in(text[:300]))
