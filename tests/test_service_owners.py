"""The service for owners: vehicle filters, safe answers, conversations,
answer ids and feedback, images and the per-manual check."""
from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
import threading
import warnings
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

import httpx
import pytest

pytest.importorskip("fastapi")
pytest.importorskip("prometheus_client")
pytest.importorskip("sqlalchemy")

from service_support import (  # noqa: E402
    EXAMPLES, MODEL_KEY, FakeModel, ServerProcess, rebuild_index, sse_events,
)

with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    from fastapi.testclient import TestClient  # noqa: E402

from corvane.service import create_app  # noqa: E402

REFUSED = "量子纠缠如何影响股票价格"
PNG = b"\x89PNG\r\n\x1a\n" + b"\0" * 32

X5_MANUAL = """# Veda X5 车主手册

# 第一章 充电

## 直流快充

### 说明
Veda X5 支持最大90kW直流快充，电量从30%充至80%约需40分钟。

### 操作步骤
1. 停车并解锁车辆，打开快充口盖。
2. 插入快充枪，按充电桩提示开始充电。

## 更换轮胎

### 说明
Veda X5 配备补胎工具包，不配备备用轮胎。

### 操作步骤
1. 打开危险警告灯，拉起电子驻车制动。
2. 使用补胎液修补轮胎。

### 警告
- 补胎后车速不得超过80km/h。
"""

E5_FAST = """
## 直流快充

### 说明
Aster E5 支持最大180kW直流快充，电量从30%充至80%约需25分钟。

### 操作步骤
1. 打开快充口盖，插入快充枪。
"""


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    """The example data with a second vehicle (Veda X5) beside Aster E5, both with a fast-charging scene."""
    root = tmp_path_factory.mktemp("owners")
    data = root / "data"
    shutil.copytree(EXAMPLES, data, ignore=shutil.ignore_patterns("scene_index.*", "trees", "releases", ".cvtmp-*"))
    (data / "manuals" / "veda_x5.md").write_text(X5_MANUAL, encoding="utf-8")
    with open(data / "manuals" / "aster_e5_care.md", "a", encoding="utf-8") as f:
        f.write(E5_FAST)
    cat = json.loads((data / "catalog.json").read_text(encoding="utf-8"))
    cat["veda_x5"] = {"vehicle": "Veda X5", "model_years": [2025], "language": "zh-CN", "brand": "Brevane",
                      "vehicle_names": ["X5"]}
    (data / "catalog.json").write_text(json.dumps(cat, ensure_ascii=False), encoding="utf-8")
    (data / "images").mkdir()
    (data / "images" / "tyre_tools.png").write_bytes(PNG)
    (root / "secret.txt").write_text("not an image", encoding="utf-8")
    rebuild_index(root)
    return root


@pytest.fixture(scope="module")
def model():
    m = FakeModel(piece_delay=0.0)
    yield m
    m.close()


def client_of(site, tmp_path, *, model=None, mode="ok", **kw):
    kw.setdefault("database", str(tmp_path / "fb.db"))
    app = create_app(site / "data", llm_url=model.url(mode) if model else "", llm_key=MODEL_KEY,
                     reload_interval=0, **kw)
    return TestClient(app, base_url="http://localhost")


# -- vehicles ------------------------------------------------------------------------


def test_vehicle_and_manual_filters(site, tmp_path):
    with client_of(site, tmp_path) as c:
        listing = c.get("/v1/vehicles").json()["vehicles"]
        assert [v["vehicle"] for v in listing] == ["Aster E5", "Veda X5"]
        x5 = listing[1]["manuals"][0]
        assert x5["manual_id"] == "veda_x5" and x5["title"] == "Veda X5 车主手册"  # the first heading

        q = {"question": "直流快充要多久", "top_k": 3}
        every = c.post("/v1/search", json=q).json()["results"]
        assert {r["manual_id"] for r in every} >= {"veda_x5", "aster_e5_care"}
        for vehicle, manuals in (("Veda X5", {"veda_x5"}), ("x5", {"veda_x5"}),
                                 ("Aster E5", {"aster_e5_care", "aster_e5_warranty"})):
            hits = c.post("/v1/search", json={**q, "vehicle": vehicle}).json()["results"]
            assert hits and {h["manual_id"] for h in hits} <= manuals, vehicle
            assert all(h["vehicle"] == ("Veda X5" if "veda_x5" in manuals else "Aster E5") for h in hits)
        # top-k after filtering: the unfiltered top two hold one Aster E5 scene; filtered, two
        body = {"question": "更换轮胎", "top_k": 2, "ranker": "hybrid"}
        top = c.post("/v1/search", json=body).json()["results"]
        assert [r["vehicle"] for r in top].count("Aster E5") == 1
        tyre = c.post("/v1/search", json={**body, "vehicle": "Aster E5"}).json()
        assert [(r["manual_id"], r["title"]) for r in tyre["results"]] == [
            ("aster_e5_care", "更换轮胎"), ("aster_e5_care", "胎压检查")]
        assert all(r["manual_title"] != "document" and r["path"] == [] for r in tyre["results"])
        assert tyre["results"][0]["images"] == [{"url": "/images/tyre_tools.png", "caption": "更换轮胎-步骤2图片"}]

        only = c.post("/v1/search", json={**q, "manual": "veda_x5"}).json()["results"]
        assert {h["manual_id"] for h in only} == {"veda_x5"}
        prompt = c.post("/v1/prompt", json={"question": "直流快充要多久", "vehicle": "X5"}).json()["prompt"]
        assert "90kW" in prompt and "180kW" not in prompt

        for body, field in (({"vehicle": "Nope 9"}, "vehicle"), ({"manual": "nope"}, "manual"),
                            ({"vehicle": 5}, "vehicle")):
            r = c.post("/v1/search", json={"question": "快充", **body})
            assert r.status_code == 422 and r.json()["error"]["field"] == field, body
            r = c.post("/v1/answer", json={"question": "快充", **body})
            assert r.status_code == 422 and r.json()["error"]["field"] == field, body


def test_images_are_path_checked(site, tmp_path):
    with client_of(site, tmp_path) as c:
        r = c.get("/images/tyre_tools.png")
        assert r.status_code == 200 and r.content == PNG
        for path in ("../../secret.txt", "..%2F..%2Fsecret.txt", "%2e%2e/%2e%2e/secret.txt", "missing.png",
                     ""):
            assert c.get("/images/" + path).status_code == 404, path
    link = site / "data" / "images" / "out.txt"
    try:
        link.symlink_to(site / "secret.txt")
    except OSError:
        pytest.skip("no symbolic links here")
    try:
        with client_of(site, tmp_path) as c:
            assert c.get("/images/out.txt").status_code == 404
    finally:
        link.unlink()


# -- safe answers --------------------------------------------------------------------


def test_refused_question_never_reaches_the_model(site, tmp_path, model):
    before = len(model.requests)
    with client_of(site, tmp_path, model=model, fallback_text="手册里没有这个，请联系客服。") as c:
        r = c.post("/v1/answer", json={"question": REFUSED})
        assert r.status_code == 200, r.text
        data = r.json()
        assert data["refused"] is True and data["answer"] == "手册里没有这个，请联系客服。"
        assert data["sources"] == [] and len(data["answer_id"]) == 32
        with c.stream("POST", "/v1/answer", json={"question": REFUSED, "stream": True}) as s:
            events = sse_events(s.read().decode())
        assert [n for n, _ in events] == ["sources", "delta", "done"]
        assert events[1][1]["text"] == "手册里没有这个，请联系客服。" and events[2][1]["refused"] is True
        assert "corvane_refusals_total 2.0" in c.get("/metrics").text
    assert len(model.requests) == before
    # no model configured: a refusal still answers; a real question is 503
    with client_of(site, tmp_path) as c:
        assert c.post("/v1/answer", json={"question": REFUSED}).json()["refused"] is True
        assert c.post("/v1/answer", json={"question": "更换轮胎"}).status_code == 503


def test_answer_sources_citations_and_warnings(site, tmp_path, model):
    with client_of(site, tmp_path, model=model, mode="echo") as c:
        data = c.post("/v1/answer", json={"question": "怎么换备胎", "vehicle": "Veda X5"}).json()
    prompt = data["answer"]  # the echo model replies with the prompt it got
    assert "[1]" in prompt and "补胎后车速不得超过80km/h" in prompt  # warnings whatever the intent
    assert "Aster E5" not in prompt
    assert data["refused"] is False and data["topic"] == "更换轮胎"
    # the prompt lists "[1] ..." so the echo cites scene 1: it comes first, marked cited
    first = data["sources"][0]
    assert data["cited"] is True and first["cited"] is True and first["n"] == 1
    assert first["manual_id"] == "veda_x5" and first["vehicle"] == "Veda X5"
    assert first["manual_title"] == "Veda X5 车主手册" and first["path"] == []
    assert all(s["cited"] is False for s in data["sources"][1:])

    # a question that names one vehicle is kept to it even without the vehicle field
    with client_of(site, tmp_path, model=model, mode="echo") as c:
        named = c.post("/v1/answer", json={"question": "我开的X5，直流快充要多久"}).json()
        unnamed = c.post("/v1/answer", json={"question": "直流快充要多久"}).json()
    assert {s["manual_id"] for s in named["sources"]} == {"veda_x5"}
    assert "90kW" in named["answer"] and "180kW" not in named["answer"]
    assert {s["manual_id"] for s in unnamed["sources"]} == {"veda_x5", "aster_e5_care"}

    style = tmp_path / "style.json"
    style.write_text(json.dumps({"brand": "Veda", "tone": "亲切简洁", "cite": False}, ensure_ascii=False),
                     encoding="utf-8")
    with client_of(site, tmp_path, model=model, mode="ok", style=str(style)) as c:
        data = c.post("/v1/answer", json={"question": "怎么换备胎"}).json()
        assert data["cited"] is False and all(not s["cited"] for s in data["sources"])
        refused = c.post("/v1/answer", json={"question": REFUSED}).json()["answer"]
        assert "Veda" in refused  # the fallback speaks in the style's brand
    assert "亲切简洁" in model.requests[-1]["body"]["messages"][0]["content"]

    for bad in ({"brand": 3}, {"colour": "red"}):
        style.write_text(json.dumps(bad), encoding="utf-8")
        with pytest.raises(ValueError, match="style.json"):
            client_of(site, tmp_path, style=str(style))


def test_streamed_answer_ends_with_its_id_and_sources(site, tmp_path, model):
    with client_of(site, tmp_path, model=model) as c:
        with c.stream("POST", "/v1/answer", json={"question": "怎么换备胎", "stream": True}) as s:
            events = sse_events(s.read().decode())
        names = [n for n, _ in events]
        assert names[0] == "sources" and names[-1] == "done"
        done = events[-1][1]
        assert len(done["answer_id"]) == 32 and done["refused"] is False and done["sources"]
        assert c.post("/v1/feedback", json={"answer_id": done["answer_id"], "rating": "up"}).json() == {"ok": True}


# -- conversations ---------------------------------------------------------------------


class RewritingModel:
    """An OpenAI-compatible model on loopback: the rewrite prompt gets ``rewrite``
    as its reply, any other prompt is echoed."""

    def __init__(self, rewrite: str) -> None:
        self.prompts: list[str] = []
        owner = self

        class Handler(BaseHTTPRequestHandler):
            def log_message(self, *args) -> None:
                pass

            def do_POST(self) -> None:
                body = json.loads(self.rfile.read(int(self.headers.get("Content-Length", 0))))
                prompt = body["messages"][0]["content"]
                owner.prompts.append(prompt)
                reply = rewrite if prompt.startswith("你是汽车用户手册检索助手") else prompt
                data = json.dumps({"choices": [{"message": {"role": "assistant", "content": reply}}]},
                                  ensure_ascii=False).encode()
                self.send_response(200)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}/v1/chat/completions"

    def rewrites(self) -> int:
        return sum(p.startswith("你是汽车用户手册检索助手") for p in self.prompts)

    def close(self) -> None:
        self.server.shutdown()
        self.server.server_close()


def test_follow_up_is_resolved_against_the_history(site, tmp_path):
    history = [{"question": "慢充怎么操作", "answer": "插入充电枪即可。"}]
    follow_up = {"question": "那它怎么停止？", "history": history}

    def app_over(fake):
        return TestClient(create_app(site / "data", llm_url=fake.url, llm_key=MODEL_KEY, reload_interval=0,
                                     database=str(tmp_path / "fb.db")), base_url="http://localhost")

    # a model whose rewrite is unusable (empty): the previous turn's topic is carried by rule
    fake = RewritingModel("")
    try:
        with app_over(fake) as c:
            alone = c.post("/v1/answer", json={"question": "那它怎么停止？"}).json()
            assert alone["refused"] is True and alone["topic"] is None
            data = c.post("/v1/answer", json=follow_up).json()
            assert data["refused"] is False and data["topic"] == "交流慢充"
            assert "那它怎么停止？" in data["answer"]  # the prompt shows the owner's own question
            # the topic the service returned, sent back, is what the follow-up is about
            again = c.post("/v1/answer", json={"question": "那它怎么停止？",
                                               "history": [{"question": "这个呢", "topic": "交流慢充"}]}).json()
            assert again["topic"] == "交流慢充"
    finally:
        fake.close()

    fake = RewritingModel("交流慢充怎么停止充电")
    try:
        with app_over(fake) as c:
            for _ in range(2):
                data = c.post("/v1/answer", json=follow_up).json()
                assert data["topic"] == "交流慢充"
            assert fake.rewrites() == 1  # the second rewrite came from the cache
            assert "用户问题：" in fake.prompts[-1] and "那它怎么停止？" in fake.prompts[-1]
            assert "交流慢充怎么停止充电" not in fake.prompts[-1]
    finally:
        fake.close()

    with client_of(site, tmp_path) as c:
        for history, field in (([{"question": "q"}] * 21, "history"),
                               ([{"question": "q", "who": "me"}], "history.0.who"),
                               ([{"question": "q", "answer": "长" * 4001}], "history.0.answer"),
                               ("not a list", "history")):
            r = c.post("/v1/answer", json={"question": "x", "history": history})
            assert r.status_code == 422 and r.json()["error"]["field"] == field, field


# -- feedback and the report -------------------------------------------------------------


def test_feedback_validation(site, tmp_path, model):
    with client_of(site, tmp_path, model=model) as c:
        answer_id = c.post("/v1/answer", json={"question": "怎么换备胎"}).json()["answer_id"]
        ok = {"answer_id": answer_id, "rating": 2, "comment": "没说清楚"}
        assert c.post("/v1/feedback", json=ok).json() == {"ok": True}
        for body, status, field in (
            ({"answer_id": "0" * 32, "rating": "up"}, 404, "answer_id"),
            ({"answer_id": answer_id, "rating": 9}, 422, "rating"),
            ({"answer_id": answer_id, "rating": "meh"}, 422, "rating"),
            ({"answer_id": answer_id}, 422, "rating"),
            ({"answer_id": answer_id, "rating": 1, "comment": "x" * 2001}, 422, "comment"),
            ({"answer_id": answer_id, "rating": 1, "extra": 1}, 422, "extra"),
        ):
            r = c.post("/v1/feedback", json=body)
            assert r.status_code == status and r.json()["error"]["field"] == field, body


def test_unwritable_default_store_leaves_feedback_off(site, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    monkeypatch.delenv("CORVANE_DATABASE", raising=False)
    with client_of(site, tmp_path, database=None) as c:  # the default: ./corvane-feedback.db, made on first use
        assert not (tmp_path / "corvane-feedback.db").exists()
        assert c.post("/v1/answer", json={"question": REFUSED}).json()["refused"] is True
    assert (tmp_path / "corvane-feedback.db").exists()
    with pytest.raises(ValueError, match="no such folder"):
        client_of(site, tmp_path, database=str(tmp_path / "missing" / "fb.db"))
    # a default store that cannot be created (here a folder in its place, as a read-only working
    # folder would): the service answers, feedback is off and says why
    blocked = tmp_path / "blocked"
    (blocked / "corvane-feedback.db").mkdir(parents=True)
    monkeypatch.chdir(blocked)
    with client_of(site, tmp_path, database=None) as c:
        refused = c.post("/v1/answer", json={"question": REFUSED}).json()
        assert refused["refused"] is True and len(refused["answer_id"]) == 32
        r = c.post("/v1/feedback", json={"answer_id": refused["answer_id"], "rating": 1})
        assert r.status_code == 503 and r.json()["error"]["code"] == "feedback_unavailable"


def test_report_lists_refused_questions_of_a_served_session(site, tmp_path, model):
    db = tmp_path / "served.db"
    env = {"CORVANE_LLM_URL": model.url("ok"), "CORVANE_LLM_KEY": MODEL_KEY}
    with ServerProcess(site, "--log-questions", "--database", str(db), env=env) as s:
        for q in (REFUSED, REFUSED, "火星上怎么充电"):
            assert httpx.post(s.url + "/v1/answer", json={"question": q}, timeout=30).json()["refused"] is True
        low = httpx.post(s.url + "/v1/answer", json={"question": "怎么换备胎"}, timeout=30).json()
        r = httpx.post(s.url + "/v1/feedback", json={"answer_id": low["answer_id"], "rating": "down"}, timeout=30)
        assert r.status_code == 200
    out = subprocess.run([sys.executable, "-m", "corvane.report", "--database", str(db), "--json"],
                         cwd=site, capture_output=True, text=True, encoding="utf-8", timeout=120)
    assert out.returncode == 0, out.stderr
    rep = json.loads(out.stdout)
    text = json.dumps(rep, ensure_ascii=False)
    assert REFUSED in text and "火星上怎么充电" in text and "怎么换备胎" in text


@pytest.mark.skipif(not os.environ.get("CORVANE_TEST_POSTGRES_URL"), reason="CORVANE_TEST_POSTGRES_URL not set")
def test_feedback_on_postgresql(site, tmp_path, model):
    url = os.environ["CORVANE_TEST_POSTGRES_URL"]
    with client_of(site, tmp_path, model=model, database=url, log_questions=True) as c:
        answer_id = c.post("/v1/answer", json={"question": REFUSED}).json()["answer_id"]
        assert c.post("/v1/feedback", json={"answer_id": answer_id, "rating": 1}).json() == {"ok": True}
        assert c.post("/v1/feedback", json={"answer_id": "f" * 32, "rating": 1}).status_code == 404


def test_readyz_needs_the_feedback_database(site, tmp_path):
    """With a database asked for, /readyz answers 503 while it cannot be reached."""
    with client_of(site, tmp_path) as c:
        assert c.get("/readyz").status_code == 200
        check = next(check for name, check in c.app.state.readiness.checks if name == "database")
        owner = check.__self__
        real = owner.store.ping
        owner.store.ping = lambda: (_ for _ in ()).throw(OSError("database gone"))
        try:
            r = c.get("/readyz")
            assert r.status_code == 503 and "database" in r.text
        finally:
            owner.store.ping = real


# -- the manual check -----------------------------------------------------------------------


def test_manual_check_is_for_operators(site, tmp_path):
    with client_of(site, tmp_path) as c:  # no token: loopback only (the test client counts as local)
        r = c.get("/v1/manuals/veda_x5/check")
        assert r.status_code == 200 and r.json()["manual_id"] == "veda_x5" and "findings" in r.json()
        assert c.get("/v1/manuals/nope/check").status_code == 404
    app = create_app(site / "data", llm_url="", reload_interval=0, database=str(tmp_path / "fb.db"))
    with TestClient(app, base_url="http://localhost", client=("203.0.113.9", 5000)) as c:
        assert c.get("/v1/manuals/veda_x5/check").status_code == 403
    with client_of(site, tmp_path, api_token="tok-1") as c:
        assert c.get("/v1/manuals/veda_x5/check").status_code == 401
        ok = c.get("/v1/manuals/veda_x5/check", headers={"authorization": "Bearer tok-1"})
        assert ok.status_code == 200
