"""The search, prompt and answer endpoints of the HTTP service (POST /v1/search,
/v1/prompt, /v1/answer) and the one place the service calls the model."""
# No "from __future__ import annotations": FastAPI reads the request models'
# annotations at run time, and those models are made per application.
import asyncio
import logging
from typing import TYPE_CHECKING, Any, Optional

from fastapi import FastAPI, Request
from fastapi.responses import JSONResponse, Response
from pydantic import BaseModel, ConfigDict, Field
from starlette.routing import Route

from corvane import errors as corvane_errors
from corvane.ratelimit import CLIENT_KEY
from corvane.service import engine_access
from corvane.service.errors import error_body
from corvane.service.guards import Busy, ModelGate
from corvane.service.holder import IndexHolder, IndexUnavailable
from corvane.service.lifecycle import _Shutdown
from corvane.service.metrics import Metrics
from corvane.service.middleware import LOG_KEY
from corvane.service.model_client import ModelClient, failure_kind
from corvane.service.schemas import (MANUAL_DOC, RANKER_DOC, VEHICLE_DOC, AnswerResponse, PromptResponse, Ranker,
                                     SearchResponse, _body_doc, _errors, _fail, _json, _parse)
from corvane.service.streaming import _answer_events, _ClientGone, _EventStream, _once, _sse, _unless_disconnected
from corvane.service.textsafe import escape_log, mask_urls_in

if TYPE_CHECKING:
    from corvane.service.app import Settings

log = logging.getLogger("corvane.service")

LLM_URL_ENV = "CORVANE_LLM_URL"
LLM_KEY_ENV = "CORVANE_LLM_KEY"
ANSWER_TOP_K = 3  # the answer prompt is built from the three best scenes
CONTEXT_CACHE_SIZE = 50_000  # rendered scene contexts kept per loaded index


def call_model(model: ModelClient, prompt: str, *, stream: bool):
    """The one place the service calls the model, through the application's one
    client (one connection pool, one deadline per call: LLMTimeout past it): an
    awaitable of the reply, or with ``stream`` an async iterator of its text pieces."""
    if stream:
        return model.chat_stream(prompt)
    return model.chat(prompt)


def _owner_features(settings: "Settings", metrics: Metrics, model_client: ModelClient):
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


def _add_routes(app: FastAPI, settings: "Settings", holder: IndexHolder, metrics: Metrics, gate: ModelGate,
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

    async def on_index(request: Request, ranker: Optional[str], work, then=None):
        """``await work(gen)`` on one index generation, then ``then(gen, result)``
        when given, the generation held from start to end.

        The index being unavailable or found stale while ``work`` runs, or a
        ranker named in the request that the index cannot serve, come back as
        the error response; a ValueError without a requested ranker, or from
        ``then``, is the handler's own fault and propagates.  The caller
        returns any Response it gets.
        """
        try:
            gen = holder.acquire()
        except IndexUnavailable as exc:
            return index_unavailable(str(exc))
        with holder.held(gen):
            request.scope[LOG_KEY]["index_generation"] = gen.number
            try:
                result = await work(gen)
            except engine_access.IndexStale as exc:
                return stale(gen, exc)
            except ValueError as exc:
                if ranker is None:
                    raise
                return unavailable_ranker(ranker, exc)
            return then(gen, result) if then is not None and not isinstance(result, Response) else result

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

        async def work(gen):
            return owners.search(gen.engine, body.question, body.top_k, body.ranker, manual_ids)

        def shown(gen, hits):
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
                about = owners.describe(entry, cat)
                hit = {
                    "scene_id": entry["scene_id"],
                    "manual_id": entry["manual_id"],
                    "manual_title": about["manual_title"],
                    "vehicle": about["vehicle"],
                    "title": entry["scene_title"],
                    "path": about["path"],
                    "score": score,
                    "intent": intent,
                    "context": context,
                    "images": about["images"],
                }
                if body.include_scene:
                    hit["scene"] = scene
                results.append(hit)
            request.scope[LOG_KEY]["results"] = len(results)
            return _json({"query": body.question, "intent": intent, "ranker": ranker, "results": results})

        return await on_index(request, body.ranker, work, shown)

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

        async def work(gen):
            engine = gen.engine
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
            return _json({"prompt": text, "ranker": ranker})

        return await on_index(request, body.ranker, work)

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

        async def work(gen):
            engine = gen.engine  # one index for the rewrite, the scenes and the prompt, never a mix
            query = await owners.retrieval_query(engine, body.question, history, ranker, manual_ids)
            return owners.plan(engine, body.question, manual_ids=manual_ids, ranker=body.ranker,
                               top_k=ANSWER_TOP_K, retrieval_query=query)

        plan = await on_index(request, body.ranker, work)
        if isinstance(plan, Response):
            return plan
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
