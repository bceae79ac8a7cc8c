"""The owners' features of the service: vehicle and manual filters, safe
answers (fallback for refused questions, citations, sources), conversations,
answer ids and feedback, image files and the per-manual check.

``OwnerFeatures`` holds what they share (the catalog of the data folder, the
answer style, the feedback store, the follow-up rewriter); the routes of
app.py call it, and ``add_owner_routes`` adds the endpoints of their own.
"""
from __future__ import annotations

import asyncio
import ipaddress
import logging
import os
import threading
import time
from pathlib import Path
from typing import Any, Iterable, Optional

from fastapi import FastAPI, Request
from fastapi.responses import FileResponse, JSONResponse
from prometheus_client import Counter

from corvane import answers as answers_mod
from corvane import catalog as catalog_mod
from corvane import conversation
from corvane import settings as settings_mod
from corvane.service.errors import error_body
from corvane.service.textsafe import escape_log

log = logging.getLogger("corvane.service")

DATABASE_ENV = "CORVANE_DATABASE"
# The feedback store when neither --database nor CORVANE_DATABASE names one:
# a file in the server's working folder, never in the data folder (a
# read-only volume in a deployment).  `corvane report` looks there too.
from corvane.report import SERVE_DEFAULT_DATABASE as DEFAULT_DATABASE  # noqa: E402
MAX_HISTORY_TURNS = 20
MAX_TURN_CHARS = 4000
# The exact ranker's score of a title or alias match: a question that finds
# one stands on its own in a conversation (see conversation.resolve_query).
STRONG_EXACT_SCORE = 12
IMAGE_CHECK_SECONDS = 5.0


class OwnerError(Exception):
    """A request the owners' features refuse: status, code, message, field."""

    def __init__(self, status: int, code: str, message: str, field: Optional[str] = None) -> None:
        super().__init__(message)
        self.status, self.code, self.field = status, code, field

    def response(self) -> JSONResponse:
        return JSONResponse(error_body(self.code, str(self), self.field), status_code=self.status)


def database_url(database: Optional[str]) -> tuple[str, bool]:
    """The feedback store's URL and whether it was asked for explicitly."""
    if database:
        return database, True
    env = settings_mod.get("database").strip()
    if env:
        return env, True
    return DEFAULT_DATABASE, False


def owner_style(style_file: Optional[str], fallback_text: Optional[str]) -> answers_mod.AnswerStyle:
    """The answer style of the service: the owners' style (scenes cited by
    number, warnings always in the context) with a style file's settings on
    top, and --fallback-text over both."""
    style = answers_mod.AnswerStyle.for_owners()
    if style_file:
        import json

        file_style = answers_mod.load_style(style_file)
        raw = json.loads(Path(style_file).read_text(encoding="utf-8"))
        style = style.with_options(**{k: getattr(file_style, k) for k in raw})
    if fallback_text is not None:
        if not fallback_text.strip():
            raise ValueError("--fallback-text: must not be empty")
        style = style.with_options(fallback=fallback_text)
    return style


def _is_loopback(host: Optional[str]) -> bool:
    if not host:
        return False
    if host in ("localhost", "testclient"):  # testclient: Starlette's in-process test client
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


class OwnerFeatures:
    def __init__(self, settings, metrics, model) -> None:
        """``model``: an async function prompt -> reply text (the service's one
        model call), used for follow-up rewrites; None without a model."""
        self.data_dir = Path(settings.data_dir)
        self.images_dir = self.data_dir / "images"
        self.style = owner_style(settings.style_file, settings.fallback_text)
        self.token_configured = bool(settings.api_token)
        self._image_cache: dict = {}
        self._catalog_lock = threading.Lock()
        self._catalog_key: Any = None
        self._catalog = self._load_catalog()  # a bad catalog.json stops the start, naming the key
        reg = None if metrics.multiprocess else metrics.registry
        self.refusals = Counter("corvane_refusals", "Questions answered with the fallback text (no scene matched)",
                                registry=reg)
        self.rewriter = conversation.QueryRewriter(model)
        self._store = None
        self.store_problem = ""
        self._store_lock = threading.Lock()
        self._log_questions = settings.log_questions
        self._store_url, explicit = database_url(settings.database)
        if explicit:  # one asked for must work from the start
            self._open_store(explicit=True)

    def _open_store(self, explicit: bool = False):
        from corvane.feedback import FeedbackError, FeedbackStore

        try:
            self._store = FeedbackStore(self._store_url, log_questions=self._log_questions)
        except FeedbackError as exc:
            if explicit:
                raise ValueError(str(exc)) from None
            self.store_problem = (f"the default feedback store {self._store_url} cannot be opened ({exc}); "
                                  "give --database")
            log.warning("feedback is off: %s", escape_log(self.store_problem))
        return self._store

    @property
    def store(self):
        """The feedback store; the default one is created on first use (a server
        that answers nothing leaves no file behind).  None when it cannot be opened."""
        if self._store is None and not self.store_problem:
            with self._store_lock:
                if self._store is None and not self.store_problem:
                    self._open_store()
        return self._store

    def close(self) -> None:
        if self._store is not None:
            self._store.close()

    def database_ready(self) -> None:
        """/readyz: the feedback store's database answers (raises otherwise)."""
        store = self.store
        if store is None:
            raise RuntimeError(self.store_problem or "no feedback store")
        store.ping()

    # ---- the catalog, reread when catalog.json changes --------------------------
    def _catalog_stamp(self):
        try:
            st = os.stat(self.data_dir / catalog_mod.CATALOG_FILE)
            return (st.st_mtime_ns, st.st_size, st.st_ino)
        except OSError:
            return None

    def _load_catalog(self):
        stamp = self._catalog_stamp()
        cat = catalog_mod.load_catalog(self.data_dir)
        self._catalog_key = stamp
        return cat

    def catalog(self):
        stamp = self._catalog_stamp()
        if stamp != self._catalog_key:
            with self._catalog_lock:
                if stamp != self._catalog_key:
                    try:
                        self._catalog = self._load_catalog()
                    except catalog_mod.CatalogError as exc:
                        # keep serving with the catalog that worked; say why once per change
                        self._catalog_key = stamp
                        log.error("catalog.json changed but cannot be used (the previous one stays): %s",
                                  escape_log(str(exc)))
        return self._catalog

    # ---- filters ------------------------------------------------------------------
    def allowed(self, vehicle: Optional[str], manual: Optional[str], question: Optional[str] = None):
        """The manual ids a request may see (None: every manual); OwnerError 422 naming the field.
        With ``question`` and no filter, a question naming exactly one catalog vehicle
        ("我开的X5，快充要多久") is kept to that vehicle's manuals."""
        if vehicle is None and manual is None:
            named = self.catalog().detect_vehicle(question) if question else None
            return None if named is None else self.catalog().resolve(vehicle=named)
        try:
            return self.catalog().resolve(vehicle=vehicle, manual=manual)
        except catalog_mod.CatalogError as exc:
            message = str(exc)
            field = "manual" if message.startswith("manual") else "vehicle"
            raise OwnerError(422, "invalid_request", message, field) from None

    def search(self, engine, question: str, top_k: int, ranker: Optional[str], manual_ids) -> list:
        if manual_ids is None:
            return engine.search(question, top_k, ranker=ranker)
        return catalog_mod.filtered_search(engine, question, manual_ids, top_k, ranker=ranker,
                                           catalog=self.catalog())

    # ---- what a result shows --------------------------------------------------------
    def describe(self, entry: dict, cat=None) -> dict:
        """manual_title, vehicle, path and images of an index entry."""
        cat = self.catalog() if cat is None else cat
        mid = entry.get("manual_id")
        title = cat.manual_title(mid) if isinstance(mid, str) else ""
        path = entry.get("path")
        if not (isinstance(path, list) and all(isinstance(p, str) for p in path)):
            path = []
        return {"manual_title": title, "vehicle": cat.vehicle_of(mid) if isinstance(mid, str) else None,
                "path": list(path), "images": self.images_of(entry.get("scene_data"))}

    def images_of(self, scene) -> list:
        """The scene's images (its own and its steps') that are files under data/images."""
        if not isinstance(scene, dict):
            return []
        found = list(scene.get("images") or [])
        for step in scene.get("steps") or []:
            if isinstance(step, dict):
                found.extend(step.get("images") or [])
        out, seen = [], set()
        for img in found:
            if not isinstance(img, dict) or not isinstance(img.get("url"), str):
                continue
            rel = img["url"].replace("\\", "/")
            rel = rel[len("images/"):] if rel.startswith("images/") else rel
            if rel in seen or not self._image_known(rel):
                continue
            seen.add(rel)
            caption = img.get("caption")
            out.append({"url": "/images/" + rel, "caption": caption if isinstance(caption, str) else ""})
        return out

    def _image_known(self, rel: str) -> bool:
        """Whether data/images/``rel`` is an image file, remembered for a few
        seconds (results show the same images again and again)."""
        now = time.monotonic()
        hit = self._image_cache.get(rel)
        if hit is not None and now - hit[1] < IMAGE_CHECK_SECONDS:
            return hit[0]
        if len(self._image_cache) >= 4096:
            self._image_cache.clear()
        known = self.image_file(rel) is not None
        self._image_cache[rel] = (known, now)
        return known

    def image_file(self, rel: str) -> Optional[Path]:
        """The file of data/images/``rel``, or None outside that folder or missing."""
        if not rel or "\0" in rel or rel.startswith("/") or "\\" in rel:
            return None
        parts = rel.split("/")
        if any(p in ("", ".", "..") for p in parts):
            return None
        try:
            root = self.images_dir.resolve(strict=True)
            target = (root / rel).resolve(strict=True)
        except (OSError, RuntimeError):
            return None
        if root not in target.parents or not target.is_file():
            return None  # a symbolic link out of the folder included
        return target

    # ---- answers ------------------------------------------------------------------------
    def history(self, raw) -> list:
        try:
            return conversation.parse_history(raw, max_turns=MAX_HISTORY_TURNS)
        except conversation.HistoryError as exc:
            message = str(exc)
            raise OwnerError(422, "invalid_request", message, message.split(":", 1)[0]) from None

    async def retrieval_query(self, engine, question: str, history: list, ranker: str, manual_ids) -> str:
        if not history:
            return question

        def best_title(q: str):
            hits = self.search(engine, q, 1, ranker, manual_ids)
            return hits[0][0].get("scene_title") if hits else None

        conversation.fill_topic(history, best_title)
        strong = (lambda h: bool(h) and h[0][1] >= STRONG_EXACT_SCORE) if ranker == "exact" else bool
        return await conversation.resolve_query(
            question, history, self.rewriter, search=lambda q: self.search(engine, q, 1, ranker, manual_ids),
            strong=strong)

    def plan(self, engine, question: str, *, manual_ids, ranker: Optional[str], top_k: int,
             retrieval_query: str):
        return answers_mod.plan_answer(engine, question, style=self.style, catalog=self.catalog(),
                                       manual_ids=manual_ids, ranker=ranker, top_k=top_k,
                                       retrieval_query=retrieval_query)

    def specified_prompt(self, engine, question: str, ranker: Optional[str], manual_ids) -> str:
        """The specified answer prompt over the scenes of the allowed manuals (/v1/prompt with a filter)."""
        plan = answers_mod.plan_answer(engine, question, style=answers_mod.AnswerStyle(), catalog=self.catalog(),
                                       manual_ids=manual_ids, ranker=ranker, top_k=3)
        return plan.prompt if plan.prompt is not None else answers_mod.build_answer_prompt(question, plan.matched)

    def sources(self, plan, reply: Optional[str]) -> dict:
        """{"sources": [...], "cited": bool} of a plan, in the service's shape."""
        done = plan.finish(reply)
        out = []
        for src in done["sources"]:
            rec = plan.records[src["n"] - 1]
            extra = self.describe(rec)
            score = plan.matched["results"][src["n"] - 1].get("score") if src["n"] <= len(plan.matched["results"]) \
                else None
            out.append({**src, "cited": src["role"] == "cited", "path": extra["path"], "images": extra["images"],
                        "score": score})
        return {"sources": out, "cited": done["cited"]}

    def record(self, question: str, *, refused: bool, vehicle: Optional[str], sources: Iterable[dict]) -> str:
        """Stores the answer (its question only with --log-questions) and returns its id."""
        from corvane.feedback import new_answer_id

        if self.store is None:
            return new_answer_id()
        try:
            return self.store.record_answer(question, refused=refused, vehicle=vehicle, scenes=list(sources))
        except Exception as exc:  # the answer still goes out; its feedback will find no answer
            log.error("feedback store: the answer could not be recorded: %s", escape_log(str(exc)[:300]))
            return new_answer_id()


def add_owner_routes(app: FastAPI, owners: OwnerFeatures, parse) -> None:
    """GET /v1/vehicles, POST /v1/feedback, GET /v1/manuals/{id}/check, GET /images/{path}."""
    from pydantic import BaseModel, ConfigDict, Field

    class FeedbackRequest(BaseModel):
        model_config = ConfigDict(extra="forbid")
        answer_id: str = Field(max_length=64, description="the answer_id of an answer")
        rating: "int | str" = Field(description='"up", "down" or 1..5')
        comment: Optional[str] = Field(None, max_length=2000, description="the owner's words about the answer")

    @app.get("/v1/vehicles", summary="The vehicles of the catalog and their manuals")
    async def vehicles():
        return JSONResponse({"vehicles": owners.catalog().listing()})

    @app.post("/v1/feedback", summary="An owner's rating of an answer")
    async def feedback(request: Request):
        body = await parse(FeedbackRequest, request)
        store = await asyncio.to_thread(lambda: owners.store)  # the default one opens on first use
        if store is None:
            return JSONResponse(error_body("feedback_unavailable", "feedback is not stored here: "
                                           + owners.store_problem), status_code=503)
        from corvane.feedback import FeedbackError

        try:
            await asyncio.to_thread(store.record_feedback, body.answer_id, body.rating, body.comment)
        except FeedbackError as exc:
            code = "not_found" if exc.status == 404 else "invalid_request"
            return JSONResponse(error_body(code, str(exc), exc.field), status_code=exc.status)
        return JSONResponse({"ok": True})

    @app.get("/v1/manuals/{manual_id}/check", summary="The checker's report of one manual (operators only)")
    async def manual_check(manual_id: str, request: Request):
        # With a token the middleware has checked it; without one only this machine may ask.
        if not owners.token_configured and not _is_loopback(request.client.host if request.client else None):
            return JSONResponse(error_body("forbidden", "the manual check is for operators: set CORVANE_API_TOKEN "
                                           "or ask from the server's machine"), status_code=403)
        if not manual_id or "/" in manual_id or "\\" in manual_id or manual_id.startswith("."):
            return JSONResponse(error_body("not_found", f"no manual {manual_id!r}", "manual_id"), status_code=404)
        from corvane.checking.report import manual_report

        report = await asyncio.to_thread(manual_report, owners.data_dir, manual_id)
        if report is None:
            return JSONResponse(error_body("not_found", f"no manual {manual_id!r}", "manual_id"), status_code=404)
        return JSONResponse(report)

    @app.get("/images/{path:path}", summary="An image of the manuals (data/images)")
    async def image(path: str):
        target = owners.image_file(path)
        if target is None:
            return JSONResponse(error_body("not_found", "no such image"), status_code=404)
        return FileResponse(target, headers={"X-Content-Type-Options": "nosniff", "Cache-Control": "max-age=300"})
