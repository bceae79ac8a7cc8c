"""The deployment layers on the real application: keys and limits, the old token,
request ids, /readyz and the rate-limit metric."""
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("fastapi")
pytest.importorskip("corvane.ostrel")
from fastapi.testclient import TestClient  # noqa: E402

from corvane.keys import add_key  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
LOCAL = "http://localhost"


@pytest.fixture(scope="module")
def data(tmp_path_factory):
    top = tmp_path_factory.mktemp("wired")
    shutil.copytree(ROOT / "examples" / "data", top / "data", ignore=shutil.ignore_patterns("scene_index.*", "trees", "releases", ".cvtmp-*"))
    subprocess.run([sys.executable, "-c", "from corvane.ostrel import ostrel_main; ostrel_main()"],
                   cwd=top, check=True, capture_output=True, timeout=120)
    return top / "data"


def test_keys_token_request_ids_and_readyz_on_the_real_app(data, tmp_path):
    from corvane.service.app import create_app
    from corvane.service_wiring import install

    keys_file = str(tmp_path / "keys.json")
    key, _ = add_key(keys_file, "kiosk", requests_per_minute=3, model_calls_per_minute=1)
    app = create_app(str(data), api_token="", reload_interval=0)
    install(app, data_dir=str(data), keys_file=keys_file, token="shared-token")
    with TestClient(app, base_url=LOCAL) as client:
        assert client.get("/healthz").status_code == 200
        ready = client.get("/readyz")
        assert ready.status_code == 200 and ready.json()["checks"] == {"index": "ok", "keys_file": "ok"}
        question = {"question": "三包责任承诺"}
        r = client.post("/v1/search", json=question)
        assert r.status_code == 401 and r.json()["error"]["request_id"] == r.headers["x-request-id"]
        auth = {"Authorization": f"Bearer {key}", "X-Request-ID": "kiosk-1"}
        codes = [client.post("/v1/search", json=question, headers=auth).status_code for _ in range(4)]
        assert codes == [200, 200, 200, 429]
        r = client.post("/v1/search", json=question, headers=auth)
        assert r.headers["x-request-id"] == "kiosk-1" and int(r.headers["retry-after"]) >= 1
        assert r.json()["error"] == {"code": "rate_limited", "message": r.json()["error"]["message"],
                                     "retry_after": int(r.headers["retry-after"]), "request_id": "kiosk-1"}
        # the single token keeps working, limited apart from the key
        r = client.post("/v1/search", json=question, headers={"Authorization": "Bearer shared-token"})
        assert r.status_code == 200 and r.json()["results"]
        metrics = client.get("/metrics", headers={"Authorization": "Bearer shared-token"}).text
        assert 'corvane_rate_limited_total{client="kiosk",limit="requests"} 2.0' in metrics
        assert key not in metrics


def _support():
    sys.path.insert(0, str(Path(__file__).parent))
    import service_support

    return service_support


def test_access_log_names_the_key_and_request_and_keys_file_is_taken_by_create_app(data, tmp_path, caplog):
    """create_app itself reads the keys file (keyword, else CORVANE_KEYS_FILE); every access
    line, 401 and 429 included, has the request id and the key's name, never the key."""
    import logging

    from corvane.service.app import create_app

    keys_file = str(tmp_path / "keys.json")
    key, _ = add_key(keys_file, "kiosk", requests_per_minute=1, model_calls_per_minute=1)
    app = create_app(str(data), api_token="", keys_file=keys_file, reload_interval=0)
    question = {"question": "三包责任承诺"}
    with caplog.at_level(logging.INFO, logger="corvane.access"), TestClient(app, base_url=LOCAL) as client:
        ok = client.post("/v1/search", json=question, headers={"Authorization": f"Bearer {key}",
                                                               "X-Request-ID": "a-1"})
        limited = client.post("/v1/search", json=question, headers={"Authorization": f"Bearer {key}"})
        refused = client.post("/v1/search", json=question, headers={"X-Request-ID": "bad id\r\nx: y"})
    assert (ok.status_code, limited.status_code, refused.status_code) == (200, 429, 401)
    lines = [json.loads(r.getMessage()) for r in caplog.records if r.name == "corvane.access"]
    assert [(e["status"], e.get("key")) for e in lines] == [(200, "kiosk"), (429, "kiosk"), (401, None)]
    assert lines[0]["request_id"] == "a-1"
    assert lines[1]["request_id"] == limited.headers["x-request-id"] != "a-1"
    assert lines[2]["request_id"] == refused.headers["x-request-id"] == refused.json()["error"]["request_id"]
    assert "bad id" not in refused.headers["x-request-id"]
    assert all(key not in json.dumps(e) for e in lines)


def test_readyz_hook_for_a_database(data):
    """A check added through the hook decides /readyz; a failing one is 503 naming it, /healthz stays 200."""
    from corvane.service.app import create_app
    from corvane.service.deploy import add_readiness_check

    state = {"up": True}

    def database():
        if not state["up"]:
            raise ConnectionError("connection refused")

    app = create_app(str(data), api_token="tok", reload_interval=0)
    add_readiness_check(app, "database", database)
    with TestClient(app, base_url=LOCAL) as client:
        r = client.get("/readyz")
        assert r.status_code == 200 and r.json()["checks"] == {"index": "ok", "database": "ok"}
        state["up"] = False
        r = client.get("/readyz")
        assert r.status_code == 503 and r.json()["status"] == "not_ready"
        assert r.json()["checks"]["database"] == "failed: connection refused"
        assert client.get("/healthz").status_code == 200


def test_model_calls_share_one_client_one_deadline_and_are_measured(data):
    """/v1/answer goes through the app's one AsyncChatClient; a hanging model is 504 after the
    one deadline, a failing one 502; the model-call metrics count both, by kind and client."""
    support = _support()
    from corvane.service.app import create_app

    fake = support.FakeModel()
    try:
        question = {"question": "三包责任承诺"}
        auth = {"Authorization": "Bearer tok"}
        app = create_app(str(data), api_token="tok", llm_url=fake.url("ok"), llm_key=support.MODEL_KEY,
                         reload_interval=0)
        with TestClient(app, base_url=LOCAL) as client:
            for _ in range(2):
                r = client.post("/v1/answer", json=question, headers=auth)
                assert r.status_code == 200 and r.json()["answer"] == "".join(support.ANSWER_PIECES)
            pooled = app.state.model_client._client
            assert pooled is not None and not pooled.closed
            r = client.post("/v1/answer", json={**question, "stream": True}, headers=auth)
            assert support.sse_events(r.text)[-1][0] == "done"
            assert app.state.model_client._client is pooled  # one pool for every call
            text = client.get("/metrics", headers=auth).text
            assert 'corvane_model_call_duration_seconds_count{client="token",outcome="ok"} 3.0' in text
        assert pooled.closed  # closed with the application

        for mode, status, kind in (("hang", 504, "timeout"), ("fail", 502, "http_5xx")):
            app = create_app(str(data), api_token="tok", llm_url=fake.url(mode), llm_key=support.MODEL_KEY,
                             model_timeout=0.5, reload_interval=0)
            with TestClient(app, base_url=LOCAL) as client:
                r = client.post("/v1/answer", json=question, headers=auth)
                assert r.status_code == status, (mode, r.text)
                assert r.json()["error"]["request_id"] == r.headers["x-request-id"]
                text = client.get("/metrics", headers=auth).text
                assert f'corvane_model_call_errors_total{{client="token",kind="{kind}"}} 1.0' in text
                assert support.MODEL_KEY not in text
    finally:
        fake.close()


def test_publish_and_rollback_under_load(data, tmp_path):
    """Two replicas on one releases folder: searches keep answering (0 failures) while
    `current` switches forth and back, and one reload check puts each replica on the
    release the link names (so every replica follows within one reload interval)."""
    import threading

    from corvane import releases
    from corvane.service.app import create_app

    def run_index(folder):
        for name in ("scene_index.jsonl", "scene_index.cvx"):
            shutil.copy2(data / name, Path(folder) / name)
        return 0

    top = tmp_path / "data"
    shutil.copytree(data, top, ignore=shutil.ignore_patterns("scene_index.*"))
    rel = str(top / "releases")
    first = releases.build(str(top), rel, run_index, when=1_700_000_000).id
    second = releases.build(str(top), rel, run_index, when=1_700_000_100).id
    releases.publish(rel, first)
    current = os.path.join(rel, "current")
    apps = [create_app(current, api_token="", reload_interval=0) for _ in range(2)]
    failures, done, stop = [], [0], threading.Event()
    with TestClient(apps[0], base_url=LOCAL) as a, TestClient(apps[1], base_url=LOCAL) as b:
        clients = (a, b)

        def load(client):
            while not stop.is_set():
                r = client.post("/v1/search", json={"question": "三包责任承诺"})
                if r.status_code != 200 or not r.json()["results"]:
                    failures.append((r.status_code, r.text[:200]))
                done[0] += 1

        threads = [threading.Thread(target=load, args=(c,)) for c in clients for _ in range(2)]
        for t in threads:
            t.start()
        try:
            assert [c.get("/healthz").json()["release"] for c in clients] == [first, first]
            # A switch and its undoing between two reload checks: nothing to reload, and
            # /healthz never names a release that is not the one served.
            releases.publish(rel, second)
            assert [c.get("/healthz").json()["release"] for c in clients] == [first, first]
            releases.rollback(rel, first)
            assert [app.state.holder.check() for app in apps] == [False, False]
            assert [c.get("/healthz").json()["release"] for c in clients] == [first, first]
            for target, switch in ((second, releases.publish), (first, releases.rollback)):
                switch(rel, target)
                assert [c.get("/healthz").json()["release"] for c in clients] != [target, target]
                for app in apps:
                    assert app.state.holder.check() is True  # one reload check switches it
                assert [c.get("/healthz").json()["release"] for c in clients] == [target, target]
                assert [c.get("/readyz").json()["release"] for c in clients] == [target, target]
        finally:
            stop.set()
            for t in threads:
                t.join()
    assert failures == [] and done[0] > 0


def test_prompt_and_answer_take_one_engine_answer_and_keys_file_from_environment(data, tmp_path, monkeypatch):
    """/v1/prompt (template) and /v1/answer build everything from one Engine.answer call;
    CORVANE_KEYS_FILE is read through the settings when no keys_file is given."""
    support = _support()
    from corvane.service.app import create_app

    keys_file = str(tmp_path / "keys.json")
    key, _ = add_key(keys_file, "env-client")
    monkeypatch.setenv("CORVANE_KEYS_FILE", keys_file)
    fake = support.FakeModel()
    try:
        app = create_app(str(data), api_token="", llm_url=fake.url("echo"), llm_key=support.MODEL_KEY,
                         reload_interval=0)
        engine = app.state.holder.engine
        calls = []
        real_answer = engine.answer

        def counted(*args, **kwargs):
            calls.append(kwargs.get("template"))
            return real_answer(*args, **kwargs)

        def forbidden(*args, **kwargs):
            raise AssertionError("a second search")

        engine.answer, engine.search, engine.knowledge = counted, forbidden, forbidden
        auth = {"Authorization": f"Bearer {key}"}
        with TestClient(app, base_url=LOCAL) as client:
            assert client.post("/v1/answer", json={"question": "三包责任承诺"}).status_code == 401
            r = client.post("/v1/answer", json={"question": "三包责任承诺"}, headers=auth)
            assert r.status_code == 200 and r.json()["sources"]
            assert r.json()["answer"] == fake.requests[-1]["body"]["messages"][0]["content"]
            r = client.post("/v1/prompt", json={"question": "三包责任承诺", "prompt_template": "Q=__INPUT__"},
                            headers=auth)
            assert r.status_code == 200 and r.json()["prompt"] == "Q=三包责任承诺"
        assert calls == [None, "Q=__INPUT__"]
    finally:
        fake.close()
