"""The HTTP service: ``create_app(data_dir, *, ranker="exact", ...)`` -> FastAPI application.

Endpoints: POST /v1/search, /v1/prompt, /v1/answer; GET /healthz, /metrics,
/ (the web page), /docs and /openapi.json.  Errors are JSON:
``{"error": {"code": ..., "message": ..., "field": ...}}``.
"""
# No "from __future__ import annotations": FastAPI reads the request models'
# annotations at run time, and those models are made per application.
import asyncio
import gc
import json
import logging
import os
from contextlib import asynccontextmanager
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, AsyncIterator, Literal, Optional

from fastapi import FastAPI, Request
from fastapi.exceptions import RequestValidationError
from fastapi.responses import FileResponse, JSONResponse, Response, StreamingResponse
from fastapi.staticfiles import StaticFiles
from pydantic import BaseModel, ConfigDict, Field, ValidationError
from starlette.exceptions import HTTPException as StarletteHTTPException
from starlette.routing import Route

from corvane.service.errors import error_body

try:
    import orjson as _orjson
except ImportError:  # the serve extra brings it; json does the same job, slower
    _orjson = None
from corvane.service.holder import IndexHolder
from corvane.service.metrics import Metrics
from corvane.service.middleware import LOG_KEY, ServiceMiddleware

log = logging.getLogger("corvane.service")

STATIC_DIR = Path(__file__).resolve().with_name("static")
TOKEN_ENV = "CORVANE_API_TOKEN"
LLM_URL_ENV = "CORVANE_LLM_URL"
LLM_KEY_ENV = "CORVANE_LLM_KEY"
ANSWER_TOP_K = 3  # the answer prompt is built from the three best scenes
CONTEXT_CACHE_SIZE = 50_000  # rendered scene contexts kept per loaded index
PAGE_HEADERS = {
    "Content-Security-Policy": "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
    "connect-src 'self'; object-src 'none'; base-uri 'none'; frame-ancestors 'none'",
    "X-Content-Type-Options": "nosniff",
    "Cache-Control": "no-cache",
}


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


def _env(value: Optional[str], name: str) -> str:
    return os.environ.get(name, "") if value is None else value


class _ClientGone(Exception):
    pass


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
) -> FastAPI:
    """The service over ``data_dir/scene_index.jsonl``.

    ``api_token``, ``llm_url`` and ``llm_key`` default to the environment
    (CORVANE_API_TOKEN, CORVANE_LLM_URL, CORVANE_LLM_KEY; HARLUNE_MODEL names the
    model).  The index is opened here: a missing index raises FileNotFoundError,
    an unknown or unavailable ranker ValueError.  ``reload_interval`` is the
    period in seconds of the check for a rebuilt index (0: never reload).
    """
    from corvane.engine import Engine

    settings = Settings(
        data_dir=os.fspath(data_dir),
        ranker=ranker,
        api_token=_env(api_token, TOKEN_ENV),
        llm_url=_env(llm_url, LLM_URL_ENV),
        llm_key=_env(llm_key, LLM_KEY_ENV),
        model_timeout=float(model_timeout),
        max_question_chars=int(max_question_chars),
        max_body_bytes=int(max_body_bytes),
        max_top_k=int(max_top_k),
        log_questions=bool(log_questions),
        reload_interval=float(reload_interval),
    )
    if settings.model_timeout <= 0:
        raise ValueError("model_timeout must be a positive number of seconds")
    metrics = Metrics()

    def on_reload(engine) -> None:
        metrics.reloads.inc()
        metrics.entries.set(len(engine))
        log.info("switched to the rebuilt index: %d entries", len(engine))

    def open_engine():
        engine = Engine(settings.data_dir, ranker=settings.ranker)
        # The index is read-only and long-lived: keep its objects out of the
        # cyclic collector, whose full passes over them would stall requests.
        gc.freeze()
        return engine

    holder = IndexHolder(
        settings.data_dir,
        open_engine,
        on_reload=on_reload,
        on_failure=metrics.reload_failures.inc,
    )
    metrics.entries.set(len(holder.engine))

    @asynccontextmanager
    async def lifespan(app: FastAPI) -> AsyncIterator[None]:
        holder.start_watching(settings.reload_interval)
        log.info("serving %d scenes from %s (ranker %s, model %s)", len(holder.engine), settings.data_dir,
                 settings.ranker, "configured" if settings.llm_url else "not configured")
        try:
            yield
        finally:
            holder.close()

    app = FastAPI(
        title="corvane",
        version=_version(),
        description="Ranked owner's-manual scenes, answer prompts and model answers for a question.",
        lifespan=lifespan,
    )
    app.state.settings = settings
    app.state.holder = holder
    app.state.metrics = metrics
    app.add_middleware(
        ServiceMiddleware,
        token=settings.api_token,
        max_body_bytes=settings.max_body_bytes,
        metrics=metrics,
        log_questions=settings.log_questions,
        secrets=lambda: [settings.api_token, settings.llm_key],
    )
    _install_error_handlers(app)
    _add_routes(app, settings, holder, metrics)
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

RANKER_DOC = "exact: the specified ranking; hybrid: title and alias matches, then BM25 (default: the server's --ranker)"


class SearchHit(BaseModel):
    scene_id: str
    manual_id: str
    manual_title: str
    title: str
    score: float
    intent: str
    context: str = Field(description="the scene's context text for this question (as given to the model)")
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
    scene_id: str
    title: str
    score: float


class AnswerResponse(BaseModel):
    answer: str
    sources: list[Source]
    ranker: str


class HealthResponse(BaseModel):
    status: str
    entries: int
    built_at: str
    ranker: str
    compiled_file: bool
    index_generation: int
    model_configured: bool


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


def _add_routes(app: FastAPI, settings: Settings, holder: IndexHolder, metrics: Metrics) -> None:
    from harlune import LLMError, chat, chat_stream

    from corvane import morlek

    max_q = settings.max_question_chars
    question_field = Field(max_length=max_q, description=f"the user's question (at most {max_q} characters)")

    class SearchRequest(BaseModel):
        model_config = ConfigDict(extra="forbid")
        question: str = question_field
        top_k: int = Field(3, ge=1, le=settings.max_top_k, description="number of scenes")
        ranker: Optional[Ranker] = Field(None, description=RANKER_DOC)
        include_scene: bool = Field(False, description="add each scene's full record (steps, warnings, ...)")

    class PromptRequest(BaseModel):
        model_config = ConfigDict(extra="forbid")
        question: str = question_field
        prompt_template: Optional[str] = Field(
            None, description="a prompt with __INPUT__, __KNOWLEDGE__ and __TIME__ (default: the answer prompt)"
        )
        ranker: Optional[Ranker] = Field(None, description=RANKER_DOC)

    class AnswerRequest(BaseModel):
        model_config = ConfigDict(extra="forbid")
        question: str = question_field
        stream: bool = Field(False, description="stream the answer as server-sent events")
        ranker: Optional[Ranker] = Field(None, description=RANKER_DOC)

    def note(request: Request, question: str, **facts: Any) -> None:
        state = request.scope.get(LOG_KEY)
        if state is not None:
            state["question_chars"] = len(question)
            state["question"] = question
            state.update(facts)

    def unavailable_ranker(name: str, exc: Exception) -> JSONResponse:
        return _fail(400, "ranker_unavailable", f"ranker {name!r} is not available: {exc}", "ranker")

    @app.post("/v1/search", response_model=SearchResponse, responses=_errors(400, 401, 413, 422),
              summary="The best scenes for a question", openapi_extra=_body_doc(SearchRequest))
    async def search(request: Request):
        body = await _parse(SearchRequest, request)
        ranker = body.ranker or settings.ranker
        note(request, body.question, ranker=ranker, top_k=body.top_k)
        with holder.use() as gen:
            engine = gen.engine
            request.scope[LOG_KEY]["index_generation"] = gen.number
            try:
                hits = engine.search(body.question, body.top_k, ranker=body.ranker)
            except ValueError as exc:
                if body.ranker is None:
                    raise
                return unavailable_ranker(body.ranker, exc)
            intent = morlek.classify_query_intent(body.question)
            contexts = gen.cache  # (scene id, intent) -> context text, for this index only
            results = []
            for entry, score in hits:
                scene = entry["scene_data"]
                key = (entry["scene_id"], intent)
                context = contexts.get(key)
                if context is None:
                    if len(contexts) >= CONTEXT_CACHE_SIZE:
                        contexts.clear()
                    context = contexts[key] = morlek.render_context_for_llm(morlek.build_scene_context(scene, intent))
                hit = {
                    "scene_id": entry["scene_id"],
                    "manual_id": entry["manual_id"],
                    "manual_title": entry.get("manual_title", ""),
                    "title": entry["scene_title"],
                    "score": score,
                    "intent": intent,
                    "context": context,
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
        with holder.use() as gen:
            engine = gen.engine
            request.scope[LOG_KEY]["index_generation"] = gen.number
            try:
                text = engine.prompt(body.question, ranker=body.ranker, template=body.prompt_template)
            except ValueError as exc:
                if body.ranker is None:
                    raise
                return unavailable_ranker(body.ranker, exc)
        return _json({"prompt": text, "ranker": ranker})

    def model_failure(exc: BaseException) -> tuple[int, dict]:
        if isinstance(exc, asyncio.TimeoutError):
            metrics.model_errors.labels("timeout").inc()
            log.warning("model call timed out after %g s", settings.model_timeout)
            return 504, error_body("model_timeout", f"the model did not answer within {settings.model_timeout:g} s")
        metrics.model_errors.labels("error").inc()
        log.warning("model call failed: %s", _scrub(str(exc), settings))
        status = getattr(exc, "status_code", None)
        message = "the model call failed" + (f" (HTTP {status})" if status else "")
        return 502, error_body("model_error", message)

    @app.post(
        "/v1/answer",
        response_model=AnswerResponse,
        responses={**_errors(400, 401, 413, 422, 502, 503, 504),
                   200: {"content": {"text/event-stream": {}},
                         "description": "with stream: events 'sources', 'delta' (text pieces), then 'done' or 'error'"}},
        summary="The model's answer and its sources",
        openapi_extra=_body_doc(AnswerRequest),
    )
    async def answer(request: Request):
        body = await _parse(AnswerRequest, request)
        ranker = body.ranker or settings.ranker
        note(request, body.question, ranker=ranker, stream=body.stream)
        if not settings.llm_url:
            return _fail(503, "model_not_configured",
                         f"no language model is configured; set {LLM_URL_ENV} (and {LLM_KEY_ENV}, HARLUNE_MODEL) "
                         "where the server runs")
        with holder.use() as gen:
            engine = gen.engine  # one index for both, never a mix
            request.scope[LOG_KEY]["index_generation"] = gen.number
            try:
                knowledge = engine.knowledge(body.question, ranker=body.ranker, top_k=ANSWER_TOP_K)
                text = engine.prompt(body.question, ranker=body.ranker)
            except ValueError as exc:
                if body.ranker is None:
                    raise
                return unavailable_ranker(body.ranker, exc)
        sources = [{"scene_id": r["node_id"], "title": r["title"], "score": r["score"]}
                   for r in knowledge["results"]]
        request.scope[LOG_KEY]["results"] = len(sources)
        timeout = settings.model_timeout

        if body.stream:
            return _EventStream(
                _answer_events(chat_stream(settings.llm_url, settings.llm_key, text, timeout=timeout),
                               sources, timeout, model_failure, metrics, LLMError),
                media_type="text/event-stream",
                headers={"Cache-Control": "no-cache", "X-Accel-Buffering": "no"},
            )
        call = asyncio.wait_for(chat(settings.llm_url, settings.llm_key, text, timeout=timeout), timeout)
        try:
            reply = await _unless_disconnected(request, call)
        except _ClientGone:
            metrics.model_cancelled.inc()
            log.info("client went away; model call cancelled")
            return Response(status_code=499)
        except (LLMError, asyncio.TimeoutError) as exc:
            status, payload = model_failure(exc)
            return JSONResponse(payload, status_code=status)
        return JSONResponse({"answer": reply, "sources": sources, "ranker": ranker})

    for path, endpoint in (("/v1/search", search), ("/v1/prompt", prompt), ("/v1/answer", answer)):
        _serve_directly(app, path, endpoint)

    @app.get("/healthz", response_model=HealthResponse, summary="Index loaded, its size and build time")
    async def healthz():
        with holder.use() as gen:
            info = gen.engine.info()
            generation = gen.number
        return JSONResponse({
            "status": "ok",
            "entries": info["entries"],
            "built_at": info["built_at"],
            "ranker": info["ranker"],
            "compiled_file": bool(info.get("compiled_file", False)),
            "index_generation": generation,
            "model_configured": bool(settings.llm_url),
        })

    @app.get("/metrics", summary="Prometheus metrics", response_class=Response,
             responses={200: {"content": {"text/plain": {}}}})
    async def metrics_endpoint():
        with holder.use() as gen:
            metrics.entries.set(len(gen.engine))
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


def _scrub(text: str, settings: Settings) -> str:
    for secret in (settings.llm_key, settings.api_token):
        if secret:
            text = text.replace(secret, "***")
    return text[:300]


def _sse(event: str, data: dict) -> bytes:
    return f"event: {event}\ndata: {json.dumps(data, ensure_ascii=False)}\n\n".encode()


async def _answer_events(pieces, sources, timeout, model_failure, metrics, llm_error) -> AsyncIterator[bytes]:
    """The SSE events of a streamed answer: sources, deltas, then done or error."""
    yield _sse("sources", {"sources": sources})
    loop = asyncio.get_running_loop()
    deadline = loop.time() + timeout
    try:
        while True:
            left = deadline - loop.time()
            if left <= 0:
                raise asyncio.TimeoutError
            try:
                piece = await asyncio.wait_for(pieces.__anext__(), left)
            except StopAsyncIteration:
                break
            yield _sse("delta", {"text": piece})
    except (llm_error, asyncio.TimeoutError) as exc:
        _, payload = model_failure(exc)
        yield _sse("error", payload)
        return
    except asyncio.CancelledError:
        metrics.model_cancelled.inc()
        log.info("client went away; model stream cancelled")
        raise
    finally:
        await pieces.aclose()
    yield _sse("done", {})


class _EventStream(StreamingResponse):
    """A streamed response that always watches for the client going away, and
    cancels the stream (and with it the model call) when it does."""

    async def __call__(self, scope, receive, send) -> None:
        scope = dict(scope)
        scope["asgi"] = {**scope.get("asgi", {}), "spec_version": "2.0"}
        await super().__call__(scope, receive, send)


async def _unless_disconnected(request: Request, awaitable):
    """Awaits ``awaitable``; cancels it and raises _ClientGone when the client disconnects first."""
    task = asyncio.ensure_future(awaitable)

    async def gone() -> None:
        while True:
            message = await request.receive()
            if message["type"] == "http.disconnect":
                return

    watcher = asyncio.ensure_future(gone())
    try:
        done, _ = await asyncio.wait({task, watcher}, return_when=asyncio.FIRST_COMPLETED)
    except BaseException:
        task.cancel()
        watcher.cancel()
        raise
    watcher.cancel()
    if task in done:
        return task.result()
    task.cancel()
    await asyncio.gather(task, return_exceptions=True)
    raise _ClientGone
