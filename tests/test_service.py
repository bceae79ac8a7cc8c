"""`corvane serve`: endpoints, limits, auth, model calls, logs and metrics."""
from __future__ import annotations

import json
import logging
import threading
import time
import warnings

import httpx
import pytest

pytest.importorskip("fastapi")
pytest.importorskip("uvicorn")
pytest.importorskip("prometheus_client")

import uvicorn  # noqa: E402

from service_support import (  # noqa: E402
    ANSWER_PIECES, MODEL_KEY, FakeModel, ServerProcess, delmoor_prompts, example_folder, sse_events,
)

with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    from fastapi.testclient import TestClient  # noqa: E402

from corvane.service import create_app  # noqa: E402

QUESTION = "爆胎了怎么换备胎"


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    return example_folder(tmp_path_factory.mktemp("site"))


@pytest.fixture(scope="module")
def model():
    m = FakeModel()
    yield m
    m.close()


@pytest.fixture(scope="module")
def server(site, model):
    env = {"CORVANE_LLM_URL": model.url("ok"), "CORVANE_LLM_KEY": MODEL_KEY}
    with ServerProcess(site, "--model-timeout", "10", env=env) as s:
        yield s


class ThreadServer:
    """uvicorn serving an application object in a thread of the test process."""

    def __init__(self, app) -> None:
        config = uvicorn.Config(app, host="127.0.0.1", port=0, log_config=None, access_log=False)
        self.server = uvicorn.Server(config)
        self.thread = threading.Thread(target=self.server.run, daemon=True)
        self.thread.start()
        deadline = time.monotonic() + 20
        while not self.server.started:
            assert time.monotonic() < deadline, "server did not start"
            time.sleep(0.02)
        port = self.server.servers[0].sockets[0].getsockname()[1]
        self.url = f"http://127.0.0.1:{port}"

    def __enter__(self):
        return self

    def __exit__(self, *exc) -> None:
        self.server.should_exit = True
        self.thread.join(10)


def post(url: str, path: str, body, **kw) -> httpx.Response:
    return httpx.post(url + path, json=body, timeout=30, **kw)


# -- search and prompt ----------------------------------------------------------


def test_search_returns_the_ranked_scenes(server):
    r = post(server.url, "/v1/search", {"question": QUESTION, "include_scene": True})
    assert r.status_code == 200
    data = r.json()
    assert data["query"] == QUESTION and data["ranker"] == "exact" and data["intent"] == "how_to"
    first = data["results"][0]
    assert (first["scene_id"], first["manual_id"], first["title"]) == ("aster_e5_care_scene_1", "aster_e5_care", "更换轮胎")
    assert isinstance(first["score"], int) and first["score"] > 0
    assert first["context"].startswith("# 更换轮胎\n## 说明\n")
    step2 = first["scene"]["steps"][1]
    assert step2["sub_points"] == ["千斤顶", "轮胎扳手", "警示三角牌"]
    assert step2["images"][0]["caption"] == "更换轮胎-步骤2图片"

    plain = post(server.url, "/v1/search", {"question": "三包", "top_k": 1}).json()
    assert len(plain["results"]) == 1 and "scene" not in plain["results"][0]
    assert plain["results"][0]["title"] == "三包责任承诺"


def test_hybrid_ranker_per_request(server, site):
    from corvane.engine import Engine

    with Engine(site / "data", ranker="hybrid") as eng:
        want = [(e["scene_id"], s) for e, s in eng.search(QUESTION, 3)]
        refused = eng.search("违章记录在哪查", 3)
        prompt = eng.prompt(QUESTION)
    r = post(server.url, "/v1/search", {"question": QUESTION, "ranker": "hybrid"})
    assert r.status_code == 200, r.text
    data = r.json()
    assert data["ranker"] == "hybrid" and want
    assert [(x["scene_id"], x["score"]) for x in data["results"]] == want
    assert all(isinstance(x["score"], float) for x in data["results"])
    assert refused == []  # shares only question words with the manuals: refused, no scenes
    assert post(server.url, "/v1/search", {"question": "违章记录在哪查", "ranker": "hybrid"}).json()["results"] == []
    r = post(server.url, "/v1/prompt", {"question": QUESTION, "ranker": "hybrid"})
    assert r.status_code == 200 and r.json() == {"prompt": prompt, "ranker": "hybrid"}


def test_prompt_is_answer_query_byte_for_byte(server, site):
    questions = [QUESTION, "三包责任承诺", "", "<script>alert(1)</script>", "怎么充电？\n第二行 \t", "__INPUT__"]
    expected = delmoor_prompts(site, questions)
    for question, want in zip(questions, expected):
        r = post(server.url, "/v1/prompt", {"question": question})
        assert r.status_code == 200
        assert r.json()["prompt"] == want, question
    templated = post(server.url, "/v1/prompt",
                     {"question": QUESTION, "prompt_template": "Q=__INPUT__|K=__KNOWLEDGE__|T=__TIME__"}).json()
    assert templated["prompt"].startswith(f"Q={QUESTION}|K=")
    assert "__KNOWLEDGE__" not in templated["prompt"] and "__TIME__" not in templated["prompt"]


@pytest.mark.parametrize(
    "path, body, status, field",
    [
        ("/v1/search", {"question": "长" * 2001}, 422, "question"),
        ("/v1/prompt", {"question": "长" * 2001}, 422, "question"),
        ("/v1/answer", {"question": "长" * 2001}, 422, "question"),
        ("/v1/search", {"question": 12}, 422, "question"),
        ("/v1/search", {}, 422, "question"),
        ("/v1/search", {"question": "a", "top_k": 0}, 422, "top_k"),
        ("/v1/search", {"question": "a", "top_k": 51}, 422, "top_k"),
        ("/v1/search", {"question": "a", "topk": 2}, 422, "topk"),
        ("/v1/search", {"question": "a", "ranker": "fuzzy"}, 422, "ranker"),
        ("/v1/prompt", {"question": "a", "prompt_template": 3}, 422, "prompt_template"),
        ("/v1/search", {"question": "a" * 70000}, 413, "body"),
        ("/v1/search", b"{not json", 422, "body"),
        ("/v1/search", b"x" * 70000, 413, "body"),
    ],
)
def test_bad_requests_get_a_json_error_naming_the_field(server, path, body, status, field):
    if isinstance(body, bytes):
        r = httpx.post(server.url + path, content=body, headers={"Content-Type": "application/json"}, timeout=30)
    else:
        r = post(server.url, path, body)
    assert r.status_code == status, r.text
    error = r.json()["error"]
    assert error["field"] == field and error["message"]


def test_body_limit_holds_without_a_content_length(server):
    def chunks():
        for _ in range(40):
            yield b'{"question": "' + b"a" * 4000  # 160 kB in total, sent chunked

    r = httpx.post(server.url + "/v1/search", content=chunks(), headers={"Content-Type": "application/json"},
                   timeout=30)
    assert r.status_code == 413 and r.json()["error"]["field"] == "body"


def test_health_docs_page_and_metrics(server):
    health = httpx.get(server.url + "/healthz").json()
    assert health["status"] == "ok" and health["entries"] == 7 and health["built_at"]
    assert health["model_configured"] is True
    assert "/v1/search" in httpx.get(server.url + "/openapi.json").json()["paths"]
    assert httpx.get(server.url + "/docs").status_code == 200
    page = httpx.get(server.url + "/")
    assert page.status_code == 200 and "text/html" in page.headers["content-type"]
    assert "script-src 'self'" in page.headers["content-security-policy"]
    for name in ("app.js", "style.css"):
        assert httpx.get(f"{server.url}/static/{name}").status_code == 200
    post(server.url, "/v1/search", {"question": "三包"})
    metrics = httpx.get(server.url + "/metrics").text
    assert 'corvane_http_requests_total{endpoint="/v1/search",method="POST",status="200"}' in metrics
    assert 'corvane_http_request_duration_seconds_bucket{endpoint="/v1/search",le="0.005"}' in metrics
    for name in ("corvane_index_reloads_total", "corvane_index_entries 7.0", "corvane_model_calls_cancelled_total"):
        assert name in metrics


def test_access_log_is_json_without_the_question(server):
    secret_question = "我的车架号是LSV123456的保养"
    post(server.url, "/v1/search", {"question": secret_question})
    time.sleep(0.2)
    log = server.log()
    lines = [json.loads(line) for line in log.splitlines() if line.startswith("{")]
    searches = [e for e in lines if e["path"] == "/v1/search" and e["status"] == 200]
    assert searches and all("question" not in e for e in searches)
    assert searches[-1]["question_chars"] == len(secret_question) and searches[-1]["ranker"] == "exact"
    assert secret_question not in log and MODEL_KEY not in log and "Traceback" not in log


# -- the model's answer ---------------------------------------------------------


def test_answer_plain_and_streamed(server, model):
    r = post(server.url, "/v1/answer", {"question": QUESTION})
    assert r.status_code == 200, r.text
    data = r.json()
    assert data["answer"] == "".join(ANSWER_PIECES)
    first = data["sources"][0]
    assert {k: first[k] for k in ("scene_id", "title", "score")} == {
        "scene_id": "aster_e5_care_scene_1", "title": "更换轮胎", "score": 12}
    assert model.requests[-1]["auth"] == f"Bearer {MODEL_KEY}"
    assert QUESTION in model.requests[-1]["body"]["messages"][0]["content"]

    with httpx.stream("POST", server.url + "/v1/answer", json={"question": QUESTION, "stream": True},
                      timeout=30) as r:
        assert r.status_code == 200 and r.headers["content-type"].startswith("text/event-stream")
        events = sse_events(r.read().decode())
    names = [name for name, _ in events]
    assert names[0] == "sources" and names[-1] == "done" and set(names[1:-1]) == {"delta"}
    assert "".join(d["text"] for n, d in events if n == "delta") == "".join(ANSWER_PIECES)
    assert events[0][1]["sources"] == data["sources"]
    assert MODEL_KEY not in server.log()


def test_answer_without_a_model_is_503(site):
    app = create_app(site / "data", llm_url="", reload_interval=0)
    with TestClient(app, base_url="http://localhost") as client:
        for stream in (False, True):
            r = client.post("/v1/answer", json={"question": QUESTION, "stream": stream})
            assert r.status_code == 503
            assert r.json()["error"]["code"] == "model_not_configured"
        assert client.post("/v1/search", json={"question": QUESTION}).status_code == 200


def test_model_failures_and_timeouts(site, caplog):
    fake = FakeModel()
    try:
        failing = create_app(site / "data", llm_url=fake.url("fail"), llm_key=MODEL_KEY, reload_interval=0)
        hanging = create_app(site / "data", llm_url=fake.url("hang"), llm_key=MODEL_KEY, model_timeout=0.5,
                             reload_interval=0)
        with caplog.at_level(logging.INFO), ThreadServer(failing) as fs, ThreadServer(hanging) as hs:
            r = post(fs.url, "/v1/answer", {"question": QUESTION})
            assert r.status_code == 502 and r.json()["error"]["code"] == "model_error"
            assert MODEL_KEY not in r.text
            with httpx.stream("POST", fs.url + "/v1/answer", json={"question": QUESTION, "stream": True}) as s:
                events = sse_events(s.read().decode())
            assert [n for n, _ in events] == ["sources", "error"]
            assert events[1][1]["error"]["code"] == "model_error"

            r = post(hs.url, "/v1/answer", {"question": QUESTION})
            assert r.status_code == 504 and r.json()["error"]["code"] == "model_timeout"
            with httpx.stream("POST", hs.url + "/v1/answer", json={"question": QUESTION, "stream": True}) as s:
                events = sse_events(s.read().decode())
            assert events[-1][0] == "error" and events[-1][1]["error"]["code"] == "model_timeout"
            metrics = httpx.get(hs.url + "/metrics").text
            assert 'corvane_model_errors_total{kind="timeout"} 2.0' in metrics
        assert MODEL_KEY not in caplog.text
        assert all(rec.exc_info is None for rec in caplog.records)
    finally:
        fake.close()


@pytest.mark.parametrize("stream", [False, True])
def test_client_disconnect_cancels_the_model_call(site, stream):
    fake = FakeModel()
    try:
        app = create_app(site / "data", llm_url=fake.url("hang"), model_timeout=30, reload_interval=0)
        with ThreadServer(app) as ts:
            with httpx.Client(timeout=httpx.Timeout(5, read=0.5)) as client:
                try:
                    with client.stream("POST", ts.url + "/v1/answer",
                                       json={"question": QUESTION, "stream": stream}) as r:
                        for _ in r.iter_bytes():
                            pass
                except httpx.ReadTimeout:
                    pass  # the client gives up and closes its connection
            assert fake.requests, "the model was never called"
            assert fake.disconnected.wait(10), "the model call went on after the client left"
            deadline = time.monotonic() + 5
            while "corvane_model_calls_cancelled_total 1.0" not in httpx.get(ts.url + "/metrics").text:
                assert time.monotonic() < deadline
                time.sleep(0.05)
    finally:
        fake.close()


# -- auth, errors, logging --------------------------------------------------------


def test_bearer_token_guards_everything_but_health_and_page(site):
    app = create_app(site / "data", api_token="s3cret-token", llm_url="", reload_interval=0)
    with TestClient(app, base_url="http://localhost") as client:
        body = {"question": QUESTION}
        for headers in ({}, {"Authorization": "Bearer wrong"}, {"Authorization": "s3cret-token"},
                        {"Authorization": "Basic s3cret-token"}, {"Authorization": "Bearer s3cret-token-x"}):
            r = client.post("/v1/search", json=body, headers=headers)
            assert r.status_code == 401 and r.json()["error"]["code"] == "unauthorized"
            assert r.headers["www-authenticate"] == "Bearer"
        for path in ("/metrics", "/openapi.json"):
            assert client.get(path).status_code == 401
        assert client.get("/docs").status_code == 200  # the page shell; it asks for the token
        ok = {"Authorization": "Bearer s3cret-token"}
        assert client.post("/v1/search", json=body, headers=ok).status_code == 200
        assert client.post("/v1/prompt", json=body, headers={"authorization": "bearer s3cret-token"}).status_code == 200
        assert client.get("/metrics", headers=ok).status_code == 200
        assert client.get("/healthz").status_code == 200
        assert client.get("/").status_code == 200 and client.get("/static/app.js").status_code == 200


def test_internal_errors_leave_no_detail_or_traceback(site, caplog):
    app = create_app(site / "data", reload_interval=0, log_questions=True)
    engine = app.state.holder.engine

    def broken(*args, **kwargs):
        raise RuntimeError("internal detail /secret/path")

    engine.search = broken
    with caplog.at_level(logging.INFO), TestClient(app, base_url="http://localhost", raise_server_exceptions=False) as client:
        r = client.post("/v1/search", json={"question": "问一下"})
        assert r.status_code == 500
        assert r.json() == {"error": {"code": "internal_error", "message": "internal server error",
                                      "request_id": r.headers["x-request-id"]}}
        assert client.post("/v1/prompt", json={"question": "记下我"}).status_code == 200
    assert "/secret/path" not in caplog.text and "Traceback" not in caplog.text
    assert all(rec.exc_info is None for rec in caplog.records)
    access = [json.loads(rec.getMessage()) for rec in caplog.records if rec.name == "corvane.access"]
    assert [a["status"] for a in access] == [500, 200]
    assert access[1]["question"] == "记下我"  # --log-questions


def test_server_ranker_flag_and_missing_index(tmp_path, site):
    from subproc import run_cli

    r = run_cli(["serve", "--ranker", "fuzzy", "--port", "0"], cwd=site, check=False, timeout=60)
    assert r.returncode == 2 and "fuzzy" in r.stderr
    r = run_cli(["serve", "--data-dir", str(tmp_path / "nowhere"), "--port", "0"], cwd=tmp_path, check=False,
                timeout=60)
    assert r.returncode == 2
    assert f"no scene index at {tmp_path / 'nowhere' / 'scene_index.jsonl'}" in r.stderr
    assert "Traceback" not in r.stderr


def test_binds_to_loopback_by_default(site):
    with ServerProcess(site, "--reload-interval", "0") as s:
        time.sleep(0.1)
        assert f"http://127.0.0.1:{s.port}" in s.log()
