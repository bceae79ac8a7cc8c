"""A small stand-in for the service behind the owners' page: the real static files
plus fake /healthz, /v1/vehicles, /v1/search, /v1/prompt, /v1/answer (SSE) and
/v1/feedback speaking the service's JSON, so the page's browser tests do not need
an index, a model or a database.  Every request body is recorded in ``calls``.
"""
from __future__ import annotations

import asyncio
import json
import socket
import struct
import threading
import time
import zlib
from pathlib import Path

import uvicorn
from starlette.applications import Starlette
from starlette.responses import FileResponse, JSONResponse, Response, StreamingResponse
from starlette.routing import Mount, Route
from starlette.staticfiles import StaticFiles

from corvane.service.middleware import PAGE_HEADERS

STATIC = Path(__file__).resolve().parents[1] / "python" / "corvane" / "service" / "static"
FALLBACK = "抱歉，手册中没有这方面的内容。建议您联系授权服务中心。"
REFUSED_WORDS = ("天气", "股票")


def _png(width: int = 8, height: int = 6) -> bytes:
    """A small grey PNG, for the image cards."""
    def chunk(kind: bytes, data: bytes) -> bytes:
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    rows = b"".join(b"\x00" + b"\x99\x99\x99" * width for _ in range(height))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


PNG = _png()


SCENES = [
    {"scene_id": "x5_scene_1", "manual_id": "x5", "manual_title": "X5 用户手册", "vehicle": "X5",
     "title": "快充", "path": ["充电", "直流充电"],
     "context": "场景：快充\n说明：X5 快充约 30 分钟\n功率：60 kW；时间：30 分钟\n功率：120 kW；时间：18 分钟",
     "images": [{"url": "/images/x5/charge.png", "caption": "X5 快充接口"}],
     "scene": {"description": "X5 快充约 30 分钟。\n| 功率 | 时间 |\n|---|---|\n| 60 kW | 30 分钟 |\n| 120 kW | 18 分钟 |",
               "steps": [{"index": 1, "text": "打开充电口盖", "sub_points": [], "images": []}],
               "warning": ["充电时请勿洗车"], "notice": [], "tip": [], "images": []}},
    {"scene_id": "x5_scene_2", "manual_id": "x5", "manual_title": "X5 用户手册", "vehicle": "X5",
     "title": "自动大灯", "path": ["灯光", "大灯"],
     "context": "场景：自动大灯\n说明：灯光旋钮转到 AUTO 打开，转到 OFF 关闭", "images": [],
     "scene": {"description": "灯光旋钮转到 AUTO 打开，转到 OFF 关闭。", "steps": [], "warning": [], "notice": [],
               "tip": [], "images": []}},
    {"scene_id": "y7_scene_1", "manual_id": "y7", "manual_title": "Y7 车主手册", "vehicle": "Y7",
     "title": "快充", "path": ["充电"],
     "context": "场景：快充\n说明：Y7 快充 180 kW，约 25 分钟", "images": [],
     "scene": {"description": "Y7 快充 180 kW，约 25 分钟。", "steps": [], "warning": [], "notice": [],
               "tip": ["使用官方充电桩"], "images": []}},
]
VEHICLES = [
    {"vehicle": "X5", "manuals": [{"id": "x5", "title": "X5 用户手册", "vehicle": "X5"}]},
    {"vehicle": "Y7", "manuals": [{"id": "y7", "title": "Y7 车主手册", "vehicle": "Y7"}]},
]


def _error(status: int, code: str, message: str, field: str | None = None) -> JSONResponse:
    body = {"error": {"code": code, "message": message}}
    if field:
        body["error"]["field"] = field
    return JSONResponse(body, status_code=status)


def _sse(name: str, data: dict) -> bytes:
    return f"event: {name}\ndata: {json.dumps(data, ensure_ascii=False)}\n\n".encode()


class FakeService:
    """The fake service on a loopback port (``url``), run by uvicorn in a thread.

    ``scenes``/``vehicles`` are what it knows; ``fail`` maps a path to a
    (status, code, English message) it answers with instead; ``stream_error``
    makes /v1/answer stream an error event after its first piece, ``stream_cut``
    end it there."""

    def __init__(self, scenes=SCENES, vehicles=VEHICLES, model=True):
        self.scenes = scenes
        self.vehicles = vehicles
        self.model = model
        self.fail: dict[str, tuple[int, str, str]] = {}
        self.stream_error: tuple[str, str] | None = None
        self.stream_cut = False  # end the stream after the first piece, with no done event
        self.calls: list[tuple[str, dict]] = []
        self.answers: dict[str, dict] = {}
        self.feedback: list[dict] = []
        self._lock = threading.Lock()
        app = Starlette(routes=[
            Route("/", self.page),
            Route("/healthz", self.healthz),
            Route("/v1/vehicles", self.list_vehicles),
            Route("/v1/search", self.search, methods=["POST"]),
            Route("/v1/prompt", self.prompt, methods=["POST"]),
            Route("/v1/answer", self.answer, methods=["POST"]),
            Route("/v1/feedback", self.give_feedback, methods=["POST"]),
            Route("/images/{path:path}", self.image),
            Mount("/static", StaticFiles(directory=STATIC)),
        ])
        app.add_middleware(_PageHeaders)
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        self.url = f"http://127.0.0.1:{port}"
        self._server = uvicorn.Server(uvicorn.Config(app, host="127.0.0.1", port=port, log_level="warning",
                                                     lifespan="off"))
        self._thread = threading.Thread(target=self._server.run, daemon=True)

    def __enter__(self) -> "FakeService":
        self._thread.start()
        deadline = time.monotonic() + 15
        while not self._server.started:
            if time.monotonic() > deadline or not self._thread.is_alive():
                raise RuntimeError("the fake service did not start")
            time.sleep(0.02)
        return self

    def __exit__(self, *exc) -> None:
        self._server.should_exit = True
        self._thread.join(10)

    def bodies(self, path: str) -> list[dict]:
        return [body for p, body in self.calls if p == path]

    # -- routes ----------------------------------------------------------------------
    async def page(self, request):
        return FileResponse(STATIC / "index.html", media_type="text/html; charset=utf-8")

    async def healthz(self, request):
        return JSONResponse({"status": "ok", "entries": len(self.scenes), "built_at": "2026-12-01T00:00:00Z",
                             "ranker": "exact", "compiled_file": True, "index_generation": 1,
                             "model_configured": self.model})

    async def list_vehicles(self, request):
        return JSONResponse({"vehicles": self.vehicles})

    async def image(self, request):
        if request.path_params["path"].endswith(".png"):
            return Response(PNG, media_type="image/png")
        return _error(404, "not_found", "no such image")

    async def _body(self, request) -> dict | Response:
        path = request.url.path
        body = await request.json()
        with self._lock:
            self.calls.append((path, body))
        if path in self.fail:
            return _error(*self.fail[path])
        vehicle = body.get("vehicle")
        if vehicle is not None and vehicle not in {v["vehicle"] for v in self.vehicles}:
            return _error(422, "invalid_request", f"vehicle: unknown vehicle {vehicle!r}", "vehicle")
        return body

    def _find(self, question: str, vehicle: str | None, top_k: int) -> list[dict]:
        scored = []
        for s in self.scenes:
            if vehicle and s["vehicle"] != vehicle:
                continue
            overlap = sum(1 for ch in set(s["title"]) if ch in question)
            overlap += 0.1 if s["manual_title"] in question else 0  # the manual named
            if overlap:
                scored.append((overlap, s))
        scored.sort(key=lambda p: -p[0])  # stable: ties in catalog order
        return [{**s, "score": round(10.0 * n, 1)} for n, s in scored[:top_k]]

    async def search(self, request):
        body = await self._body(request)
        if isinstance(body, Response):
            return body
        hits = self._find(body["question"], body.get("vehicle"), body.get("top_k", 5))
        if not body.get("include_scene"):
            hits = [{k: v for k, v in h.items() if k != "scene"} for h in hits]
        return JSONResponse({"query": body["question"], "intent": "general", "ranker": "exact", "results": hits})

    async def prompt(self, request):
        body = await self._body(request)
        if isinstance(body, Response):
            return body
        return JSONResponse({"prompt": "知识：…\n问题：" + body["question"], "ranker": "exact"})

    async def answer(self, request):
        body = await self._body(request)
        if isinstance(body, Response):
            return body
        if not self.model:
            return _error(503, "model_not_configured", "no language model is configured")
        question = body["question"]
        history = body.get("history") or []
        refused = any(w in question for w in REFUSED_WORDS)
        query = question
        if history and question.startswith("那") and history[-1].get("topic"):
            query = history[-1]["topic"] + question  # the follow-up, resolved by the carried topic
        shown = [] if refused else [{k: v for k, v in h.items() if k != "scene"}
                                    for h in self._find(query, body.get("vehicle"), 3)]
        if not refused and not shown:
            refused = True
        answer_id = f"ans-{len(self.answers) + 1}"
        topic = shown[0]["title"] if shown else None
        pieces = [FALLBACK] if refused else [f"{shown[0]['vehicle']} 的{shown[0]['title']}：",
                                             shown[0]["context"].split("\n")[1] + "[1]"]
        sources = [{"n": i + 1, "cited": i == 0, **{k: s[k] for k in
                    ("scene_id", "manual_id", "manual_title", "vehicle", "title", "path")}}
                   for i, s in enumerate(shown)]
        self.answers[answer_id] = {"question": question, "refused": refused}
        stream_error, stream_cut = self.stream_error, self.stream_cut

        async def events():
            yield _sse("sources", {"sources": shown})
            for piece in pieces:
                await asyncio.sleep(0.05)
                yield _sse("delta", {"text": piece})
                if stream_error:
                    yield _sse("error", {"error": {"code": stream_error[0], "message": stream_error[1]}})
                    return
                if stream_cut:
                    return
            yield _sse("done", {"answer_id": answer_id, "refused": refused, "cited": not refused,
                                "sources": sources, "topic": topic})

        return StreamingResponse(events(), media_type="text/event-stream")

    async def give_feedback(self, request):
        body = await self._body(request)
        if isinstance(body, Response):
            return body
        if body.get("rating") not in ("up", "down", 1, 2, 3, 4, 5):
            return _error(422, "invalid_request", "rating: must be up, down or 1..5", "rating")
        if body.get("answer_id") not in self.answers:
            return _error(404, "unknown_answer", "no answer with this answer_id")
        self.feedback.append(body)
        return JSONResponse({"ok": True})


class _PageHeaders:
    """The real service's page headers (its Content-Security-Policy included) on every response."""

    def __init__(self, app):
        self.app = app
        self.headers = [(k.lower().encode(), v.encode()) for k, v in PAGE_HEADERS.items()]

    async def __call__(self, scope, receive, send):
        async def send_with_headers(message):
            if message["type"] == "http.response.start":
                message["headers"] = list(message.get("headers", [])) + self.headers
            await send(message)
        await self.app(scope, receive, send_with_headers)
