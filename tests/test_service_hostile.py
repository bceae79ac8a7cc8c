"""`corvane serve` under attack and under faults: the hostile-service harness.

Each case is something a client, a network or an operator did that once
killed, stalled, amplified or fooled the service."""
from __future__ import annotations

import asyncio
import json
import logging
import os
import re
import signal
import socket
import subprocess
import sys
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
    MODEL_KEY, FakeModel, ServerProcess, example_folder, rebuild_index, sse_events,
)

with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    from fastapi.testclient import TestClient  # noqa: E402

from corvane.service import create_app  # noqa: E402
from corvane.service.cli import EscapeControls  # noqa: E402
from corvane.service.guards import Busy, LoopWatch, ModelGate  # noqa: E402
from corvane.service.server import GuardedProtocol, uvicorn_config  # noqa: E402
from corvane.service.textsafe import mask_url, mask_urls_in  # noqa: E402

QUESTION = "爆胎了怎么换备胎"


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    return example_folder(tmp_path_factory.mktemp("hostile"))


@pytest.fixture(scope="module")
def model():
    m = FakeModel(piece_delay=0)
    yield m
    m.close()


class Served:
    """The application on uvicorn in a thread, with the service's connection limits."""

    def __init__(self, app, **limits) -> None:
        base = {"max_header_bytes": 64 * 1024, "header_timeout": 10.0, "keep_alive_timeout": 5.0,
                "max_connections": 100, "trusted_proxies": ()}
        base.update(limits)
        config = uvicorn_config(app, host="127.0.0.1", port=0, limits=base, log_config=None, access_log=False)
        self.server = uvicorn.Server(config)
        self.thread = threading.Thread(target=self.server.run, daemon=True)
        self.thread.start()
        deadline = time.monotonic() + 20
        while not self.server.started:
            assert time.monotonic() < deadline, "server did not start"
            time.sleep(0.02)
        self.port = self.server.servers[0].sockets[0].getsockname()[1]
        self.url = f"http://127.0.0.1:{self.port}"

    def raw(self, data: bytes, timeout: float = 10) -> bytes:
        with socket.create_connection(("127.0.0.1", self.port), timeout=timeout) as s:
            s.sendall(data)
            return _read_all(s)

    def __enter__(self):
        return self

    def __exit__(self, *exc) -> None:
        self.server.should_exit = True
        self.thread.join(10)


def _read_all(sock) -> bytes:
    out = b""
    try:
        while True:
            chunk = sock.recv(65536)
            if not chunk:
                return out
            out += chunk
    except (ConnectionResetError, socket.timeout):
        return out


def _client(app, **kw) -> TestClient:
    return TestClient(app, base_url="http://localhost", **kw)


# -- requests the application refuses ---------------------------------------------

SEARCH = {"question": QUESTION}
JSON_BODY = json.dumps(SEARCH).encode()

REQUEST_CASES = [
    # (name, method, path, headers, body, status, error code or None)
    ("text/plain body, the cross-site form a page can send", "POST", "/v1/answer",
     {"content-type": "text/plain"}, JSON_BODY, 415, "unsupported_media_type"),
    ("no content type", "POST", "/v1/search", {}, JSON_BODY, 415, "unsupported_media_type"),
    ("form encoding", "POST", "/v1/search", {"content-type": "application/x-www-form-urlencoded"},
     JSON_BODY, 415, "unsupported_media_type"),
    ("json with charset", "POST", "/v1/search", {"content-type": "application/json; charset=utf-8"},
     JSON_BODY, 200, None),
    ("DNS-rebound Host", "POST", "/v1/search", {"host": "attacker.example", "content-type": "application/json"},
     JSON_BODY, 400, "host_not_allowed"),
    ("DNS-rebound Host on a GET", "GET", "/healthz", {"host": "attacker.example:8000"}, b"", 400,
     "host_not_allowed"),
    ("loopback Host with port", "GET", "/healthz", {"host": "127.0.0.1:8000"}, b"", 200, None),
    ("IPv6 loopback Host", "GET", "/healthz", {"host": "[::1]:8000"}, b"", 200, None),
    ("cross-site Origin", "POST", "/v1/search", {"origin": "https://evil.example", "content-type": "application/json"},
     JSON_BODY, 403, "origin_not_allowed"),
    ("opaque Origin", "POST", "/v1/search", {"origin": "null", "content-type": "application/json"},
     JSON_BODY, 403, "origin_not_allowed"),
    ("the page's own Origin", "POST", "/v1/search",
     {"origin": "http://localhost", "content-type": "application/json"}, JSON_BODY, 200, None),
]


@pytest.mark.parametrize("name,method,path,headers,body,status,code", REQUEST_CASES,
                         ids=[c[0] for c in REQUEST_CASES])
def test_requests_from_other_sites_and_hosts_are_refused(site, name, method, path, headers, body, status, code):
    calls = []
    app = create_app(site / "data", llm_url="http://127.0.0.1:9/v1/chat/completions", reload_interval=0)
    with _client(app) as client:
        import corvane.service.routes_answer as service_app

        original = service_app.call_model
        service_app.call_model = lambda *a, **k: calls.append(1)
        try:
            r = client.request(method, path, headers=headers, content=body)
        finally:
            service_app.call_model = original
    assert r.status_code == status, r.text
    if code:
        assert r.json()["error"]["code"] == code
        assert not calls  # the model was never called for a refused request


def test_cors_is_off_by_default_and_allowed_origins_are_served(site):
    app = create_app(site / "data", reload_interval=0)
    with _client(app) as client:
        pre = client.options("/v1/search", headers={"origin": "https://app.example",
                                                    "access-control-request-method": "POST"})
        assert "access-control-allow-origin" not in pre.headers
    app = create_app(site / "data", reload_interval=0, cors_origins=["https://app.example"], api_token="tok")
    with _client(app) as client:
        pre = client.options("/v1/search", headers={"origin": "https://app.example",
                                                    "access-control-request-method": "POST",
                                                    "access-control-request-headers": "authorization,content-type"})
        assert pre.status_code == 200 and pre.headers["access-control-allow-origin"] == "https://app.example"
        r = client.post("/v1/search", json=SEARCH, headers={"origin": "https://app.example",
                                                            "authorization": "Bearer tok"})
        assert r.status_code == 200 and r.headers["access-control-allow-origin"] == "https://app.example"
        assert client.post("/v1/search", json=SEARCH, headers={"origin": "https://other.example",
                                                               "authorization": "Bearer tok"}).status_code == 403


def test_allowed_hosts_can_be_named_or_opened(site):
    app = create_app(site / "data", reload_interval=0, allowed_hosts=["search.example.com"])
    with TestClient(app, base_url="http://search.example.com") as client:
        assert client.get("/healthz").status_code == 200
        assert client.get("/healthz", headers={"host": "localhost"}).status_code == 400
    app = create_app(site / "data", reload_interval=0, allowed_hosts=["*"])
    with TestClient(app, base_url="http://anything.example") as client:
        assert client.get("/healthz").status_code == 200


def test_page_static_and_docs_carry_the_same_protection(site):
    app = create_app(site / "data", reload_interval=0, api_token="tok")
    with _client(app) as client:
        for path in ("/", "/static/index.html", "/static/app.js", "/static/style.css"):
            r = client.get(path)
            assert r.status_code == 200, path
            assert "frame-ancestors 'none'" in r.headers["content-security-policy"], path
            assert r.headers["x-content-type-options"] == "nosniff", path
        docs = client.get("/docs")
        assert docs.status_code == 200 and "frame-ancestors 'none'" in docs.headers["content-security-policy"]
        assets = re.findall(r'(?:src|href)="([^"]*)"', docs.text)
        assert len(assets) == 3 and all(a.startswith("/") and not a.startswith("//") for a in assets), assets
        for asset in assets:  # from this server, without the token (a page load cannot send one)
            assert client.get(asset).status_code == 200, asset
        assert client.get("/openapi.json").status_code == 401
        spec = client.get("/openapi.json", headers={"authorization": "Bearer tok"}).json()
        assert spec["components"]["securitySchemes"]["bearer"] == {
            "type": "http", "scheme": "bearer", "description": "CORVANE_API_TOKEN of the server"}
        assert spec["paths"]["/v1/search"]["post"]["security"] == [{"bearer": []}]


# -- amplification ------------------------------------------------------------------


def test_prompt_template_is_bounded_and_filled_once(site, monkeypatch):
    monkeypatch.setenv("CORVANE_MAX_PROMPT_BYTES", "200000")
    app = create_app(site / "data", reload_interval=0, max_template_bytes=8192)
    with _client(app) as client:
        def prompt(template, question=QUESTION):
            return client.post("/v1/prompt", json={"question": question, "prompt_template": template})

        # The amplifier: every marker the whole knowledge text, and the question full of markers too.
        r = prompt("__KNOWLEDGE__" * 600, question="__KNOWLEDGE__" * 100)
        assert r.status_code == 413 and r.json()["error"]["field"] == "prompt_template"
        r = prompt("x" * 8193)
        assert r.status_code == 413 and r.json()["error"]["code"] == "template_too_large"
        assert r.json()["error"]["field"] == "prompt_template"
        r = prompt("Q=__INPUT__|T=__TIME__", question="问__KNOWLEDGE____TIME__")
        assert r.status_code == 200
        text = r.json()["prompt"]
        assert text.startswith("Q=问__KNOWLEDGE____TIME__|T=") and len(text) < 100  # the question stays text
        plain = client.post("/v1/prompt", json={"question": QUESTION}).json()["prompt"]
        assert client.post("/v1/prompt", json={"question": QUESTION, "prompt_template": "K=__KNOWLEDGE__"}
                           ).json()["prompt"].startswith("K={'query': ")
        assert plain  # the default prompt is untouched by the template path


# -- the connection level -------------------------------------------------------------


def test_connection_limits(site):
    app = create_app(site / "data", reload_interval=0)
    with Served(app, max_header_bytes=4096, header_timeout=0.5, keep_alive_timeout=0.5, max_connections=3) as s:
        # A kept-alive connection left idle after its answer is closed.
        with socket.create_connection(("127.0.0.1", s.port), timeout=10) as c:
            c.sendall(b"GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
            start = time.monotonic()
            reply = _read_all(c)
            assert reply.startswith(b"HTTP/1.1 200") and b"408" not in reply and time.monotonic() - start < 5
        # A header block past the bound: 431, the rest never read.
        big = b"GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Pad: " + b"a" * 100_000 + b"\r\n\r\n"
        reply = s.raw(big)
        assert reply.startswith(b"HTTP/1.1 431"), reply[:80]
        # One just under the bound is served.
        ok = b"GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nX-Pad: " + b"a" * 3900 + b"\r\n\r\n"
        assert s.raw(ok).startswith(b"HTTP/1.1 200")
        # A head sent slowly, and a connection that sends nothing: 408 and closed.
        for first in (b"GET /healthz HTTP/1.1\r\nHost: 127", b""):
            with socket.create_connection(("127.0.0.1", s.port), timeout=10) as c:
                if first:
                    c.sendall(first)
                start = time.monotonic()
                reply = _read_all(c)
                assert reply.startswith(b"HTTP/1.1 408") and time.monotonic() - start < 5
        # Past the connection cap: 503.
        idle = [socket.create_connection(("127.0.0.1", s.port)) for _ in range(3)]
        try:
            time.sleep(0.1)
            assert httpx.get(s.url + "/healthz", timeout=5).status_code == 503
        finally:
            for c in idle:
                c.close()
        time.sleep(0.6)
        assert httpx.get(s.url + "/healthz", timeout=5).status_code == 200
        metrics = httpx.get(s.url + "/metrics").text
        assert 'corvane_connections_refused_total{reason="header_too_large"} 1.0' in metrics
        assert 'corvane_connections_refused_total{reason="header_timeout"}' in metrics


def test_forwarded_addresses_only_from_trusted_proxies(site, caplog):
    forged = {"x-forwarded-for": "203.0.113.9"}
    with caplog.at_level(logging.INFO, logger="corvane.access"):
        with Served(create_app(site / "data", reload_interval=0)) as s:
            httpx.get(s.url + "/healthz", headers=forged)
        with Served(create_app(site / "data", reload_interval=0), trusted_proxies=("127.0.0.1",)) as s:
            httpx.get(s.url + "/healthz", headers=forged)
    clients = [json.loads(r.getMessage())["client"] for r in caplog.records if r.name == "corvane.access"]
    assert clients == ["127.0.0.1", "203.0.113.9"]


@pytest.mark.skipif(GuardedProtocol is None, reason="needs httptools")
def test_memory_of_many_large_headers_is_not_kept(site):
    app = create_app(site / "data", reload_interval=0)
    with Served(app) as s:
        pad = b"a" * (1 << 20)
        for _ in range(8):
            with socket.create_connection(("127.0.0.1", s.port), timeout=10) as c:
                c.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX: ")
                try:
                    for _ in range(100):
                        c.sendall(pad)
                except (BrokenPipeError, ConnectionResetError):
                    pass
                assert _read_all(c).startswith(b"HTTP/1.1 431")


# -- model calls ------------------------------------------------------------------------


def test_model_gate_queues_then_refuses():
    async def main():
        gate = ModelGate(limit=2, queue=1, wait=0.3)
        await gate.acquire()
        await gate.acquire()
        waiter = asyncio.ensure_future(gate.acquire())
        await asyncio.sleep(0.01)
        with pytest.raises(Busy):  # the queue is full
            await gate.acquire()
        gate.release()
        await asyncio.wait_for(waiter, 1)  # the queued one got the freed slot
        with pytest.raises(Busy) as err:  # waited past the bound
            await gate.acquire()
        assert err.value.retry_after >= 1
        gate.release()
        gate.release()
        assert gate.active == 0 and gate.waiting == 0

    asyncio.run(main())


def test_concurrent_answers_past_the_cap_get_429(site):
    model = FakeModel(piece_delay=0.4)
    app = create_app(site / "data", reload_interval=0, llm_url=model.url("ok"), max_model_calls=2, model_queue=0)
    try:
        with Served(app) as s:
            results = []

            def ask():
                r = httpx.post(s.url + "/v1/answer", json=SEARCH, timeout=30)
                results.append((r.status_code, r.headers.get("retry-after")))

            threads = [threading.Thread(target=ask) for _ in range(6)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
        assert sorted(r[0] for r in results) == [200, 200, 429, 429, 429, 429]
        assert all(r[1] for r in results if r[0] == 429)
        assert len(model.requests) == 2
    finally:
        model.close()


# -- logs -----------------------------------------------------------------------------------

ESCAPE_CASES = [
    ("\x1b[2J clear", "\\u001b[2J clear"),
    ("osc \x1b]0;title\x07", "osc \\u001b]0;title\\u0007"),
    ("c1 \u009b31m", "c1 \\u009b31m"),
    ("nel \u0085 ls \u2028 ps \u2029", "nel \\u0085 ls \\u2028 ps \\u2029"),
    ("line\nbreak\r", "line\\u000abreak\\u000d"),
    ("汉字 plain", "汉字 plain"),
]


@pytest.mark.parametrize("raw,shown", ESCAPE_CASES)
def test_log_lines_escape_controls(raw, shown):
    record = logging.LogRecord("x", logging.INFO, __file__, 0, "got %s", (raw,), None)
    EscapeControls().filter(record)
    assert record.getMessage() == "got " + shown


URL_CASES = [
    # harlune's masking: user-info and query values hidden, the fragment dropped
    ("http://u:pw@host:8/v1/chat?api_key=SECRET&x=1#frag", "http://***@host:8/v1/chat?api_key=***&x=***"),
    ("https://host/v1/chat/completions", "https://host/v1/chat/completions"),
    ("https://host/p?flag", "https://host/p?***"),
]


@pytest.mark.parametrize("url,masked", URL_CASES)
def test_urls_are_masked(url, masked):
    assert mask_url(url) == masked
    assert mask_urls_in(f"failed: {url} (500)") == f"failed: {masked} (500)"


def test_served_logs_hold_no_secret_and_no_control_character(site, model):
    url = model.url("hostile", "api_key=QUERYSECRET123")
    env = {"CORVANE_LLM_URL": url, "CORVANE_LLM_KEY": MODEL_KEY}
    with ServerProcess(site, "--log-questions", env=env) as s:
        r = httpx.post(s.url + "/v1/answer", json={"question": "换备胎\u2028\x1b[2J\u0085?"}, timeout=30)
        assert r.status_code == 502 and "QUERYSECRET123" not in r.text
        stream = httpx.post(s.url + "/v1/answer", json={"question": QUESTION, "stream": True}, timeout=30)
        assert sse_events(stream.text)[-1][0] == "error"
        time.sleep(0.3)
        log_text = s.log()
    assert "QUERYSECRET123" not in log_text and MODEL_KEY not in log_text
    for bad in ("\x1b", "\x07", "\u009b", "\u0085", "\u2028"):
        assert bad not in log_text, repr(bad)
    assert "model call failed" in log_text and "\\u001b[2J" in log_text
    lines = [json.loads(line) for line in log_text.splitlines() if line.startswith("{")]
    answers = [e for e in lines if e["path"] == "/v1/answer"]
    assert answers[0]["question"] == "换备胎\u2028\x1b[2J\u0085?"  # escaped on the line, intact in the JSON
    assert answers[1]["status"] == 200 and answers[1]["outcome"] == "model_error"


@pytest.mark.parametrize("name,value", [("CORVANE_API_TOKEN", "tok\r"), ("CORVANE_API_TOKEN", "tok "),
                                        ("CORVANE_LLM_KEY", "key\n")])
def test_a_secret_with_white_space_stops_the_start(site, name, value):
    env = {k: v for k, v in os.environ.items() if k not in ("CORVANE_API_TOKEN", "CORVANE_LLM_KEY")}
    env[name] = value
    proc = subprocess.run([sys.executable, "-m", "corvane", "serve", "--port", "0"], cwd=site, env=env,
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 2
    lines = proc.stderr.strip().splitlines()
    assert len(lines) == 1 and name in lines[0] and value.strip() not in lines[0], proc.stderr


# -- the truth about streams ------------------------------------------------------------------


def test_stream_cut_by_shutdown_ends_with_an_error_event(site):
    model = FakeModel(piece_delay=2.0)
    try:
        with ServerProcess(site, "--shutdown-timeout", "2", env={"CORVANE_LLM_URL": model.url("ok")}) as s:
            got = {}

            def read():
                with httpx.stream("POST", s.url + "/v1/answer", json={"question": QUESTION, "stream": True},
                                  timeout=30) as r:
                    got["text"] = "".join(r.iter_text())

            reader = threading.Thread(target=read)
            reader.start()
            time.sleep(0.8)
            s.proc.send_signal(signal.SIGTERM)
            reader.join(30)
            assert s.proc.wait(30) == 0
            log_text = s.log()
        events = sse_events(got["text"])
        assert events[0][0] == "sources"
        assert events[-1] == ("error", {"error": {"code": "shutting_down",
                                                  "message": "the server is shutting down; ask again"}})
        entry = [json.loads(line) for line in log_text.splitlines() if line.startswith('{"')][-1]
        assert entry["path"] == "/v1/answer" and entry["outcome"] == "shutting_down"
    finally:
        model.close()


# -- the index changing under the server ---------------------------------------------------------


def test_loop_watch_reports_stalls():
    class M:
        def __init__(self):
            self.lags, self.stalls = [], 0
            outer = self

            class H:
                def observe(self, v):
                    outer.lags.append(v)

            class C:
                def inc(self):
                    outer.stalls += 1

            self.loop_lag, self.loop_stalls = H(), C()

    async def main():
        metrics = M()
        watch = LoopWatch(metrics, threshold=0.1, probe=0.02)
        watch.start()
        await asyncio.sleep(0.1)
        start = time.perf_counter()
        time.sleep(0.4)  # work that should never run on the loop
        await asyncio.sleep(0.1)
        await watch.stop()
        return metrics, watch.stalled_since(start)

    metrics, stall = asyncio.run(main())
    assert metrics.stalls == 1 and 0.3 < stall < 2


def _get(url, path):
    try:
        return httpx.get(url + path, timeout=10)
    except httpx.HTTPError as exc:  # pragma: no cover - reported by the assertion
        return exc


def test_index_rewritten_in_place_is_never_compiled_in_a_request(tmp_path):
    site = example_folder(tmp_path / "site")
    other = example_folder(tmp_path / "other")
    (other / "data" / "manuals" / "extra.md").write_text(
        "# 第一章\n\n## 雨刮更换\n\n### 说明\n雨刮片磨损后更换。\n", encoding="utf-8")
    rebuild_index(other)
    jsonl = site / "data" / "scene_index.jsonl"
    new_text = (other / "data" / "scene_index.jsonl").read_bytes()
    with ServerProcess(site, "--reload-interval", "0.1") as s:
        before = httpx.get(s.url + "/healthz").json()
        # A broken file copied over the served one: nothing is served from it, nothing hangs.
        with open(jsonl, "r+b") as f:
            f.write(b'{"broken": \n')
            f.truncate()
        statuses = set()
        deadline = time.monotonic() + 30
        health = None
        while time.monotonic() < deadline:
            statuses.add(httpx.post(s.url + "/v1/search", json=SEARCH, timeout=10).status_code)
            health = httpx.get(s.url + "/healthz", timeout=10)
            if health.json().get("reason", "").startswith("the changed index could not be opened"):
                break
            time.sleep(0.05)
        assert health.status_code == 503 and health.json()["status"] == "degraded", health.text
        assert statuses <= {200, 503}
        r = httpx.post(s.url + "/v1/search", json=SEARCH, timeout=10)
        assert r.status_code == 503 and r.json()["error"]["code"] == "index_unavailable"
        # The whole file in place: rebuilt off the loop, then served.
        with open(jsonl, "r+b") as f:
            f.write(new_text)
            f.truncate()
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            health = httpx.get(s.url + "/healthz", timeout=10).json()
            if health["status"] == "ok":
                break
            time.sleep(0.1)
        assert health["status"] == "ok" and health["entries"] == before["entries"] + 1, health
        assert httpx.post(s.url + "/v1/search", json=SEARCH, timeout=10).status_code == 200
        log_text = s.log()
    serving = log_text.split("Application startup complete", 1)[1]
    assert "compiling the index from" not in serving  # what a request used to do on the event loop
    assert "compiling the changed index" in serving


def test_new_index_waits_for_its_compiled_file(tmp_path):
    site = example_folder(tmp_path / "site")
    other = example_folder(tmp_path / "other")
    (other / "data" / "manuals" / "extra.md").write_text(
        "# 第一章\n\n## 雨刮更换\n\n### 说明\n雨刮片磨损后更换。\n", encoding="utf-8")
    rebuild_index(other)
    data = site / "data"
    with ServerProcess(site, "--reload-interval", "0.1", "--reload-compile-wait", "120") as s:
        entries = httpx.get(s.url + "/healthz").json()["entries"]
        tmp = data / "scene_index.jsonl.new"
        tmp.write_bytes((other / "data" / "scene_index.jsonl").read_bytes())
        os.replace(tmp, data / "scene_index.jsonl")  # as the index run does, before its compiled file
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            health = httpx.get(s.url + "/healthz", timeout=10).json()
            if health["status"] == "degraded":
                break
            time.sleep(0.05)
        assert health["status"] == "degraded" and "waiting for its compiled file" in health["reason"]
        assert health["entries"] == entries  # the previous index serves meanwhile
        assert httpx.post(s.url + "/v1/search", json=SEARCH, timeout=10).status_code == 200
        subprocess.run([sys.executable, "-c", "from corvane.engine import write_compiled_index as w; w('data')"],
                       cwd=site, check=True, timeout=120)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            health = httpx.get(s.url + "/healthz", timeout=10).json()
            if health["status"] == "ok":
                break
            time.sleep(0.05)
        assert health["status"] == "ok" and health["entries"] == entries + 1 and health["compiled_file"]
        metrics = httpx.get(s.url + "/metrics").text
        counts = [line for line in metrics.splitlines() if line.startswith("corvane_index_reload_duration_seconds_count")]
        assert counts and float(counts[0].split()[1]) >= 1, counts


def test_running_out_of_open_files_is_logged(site):
    import resource

    port = socket.socket()
    port.bind(("127.0.0.1", 0))
    number = port.getsockname()[1]
    port.close()
    env = {k: v for k, v in os.environ.items() if k not in ("CORVANE_API_TOKEN", "CORVANE_LLM_KEY")}
    log_path = site / "open-files.log"
    with open(log_path, "wb") as out:
        proc = subprocess.Popen(
            [sys.executable, "-m", "corvane", "serve", "--port", str(number), "--max-connections", "1000"],
            cwd=site, env=env, stdout=out, stderr=subprocess.STDOUT,
            preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (60, 60)))
        conns = []
        try:
            deadline = time.monotonic() + 60
            while time.monotonic() < deadline:
                try:
                    conns.append(socket.create_connection(("127.0.0.1", number), timeout=2))
                    break
                except OSError:
                    time.sleep(0.1)
            for _ in range(80):
                conns.append(socket.create_connection(("127.0.0.1", number), timeout=2))
            deadline = time.monotonic() + 15
            while time.monotonic() < deadline and "open files near the limit" not in log_path.read_text():
                time.sleep(0.2)
        finally:
            for c in conns:
                c.close()
            proc.terminate()
            proc.wait(30)
    text = log_path.read_text()
    assert "is near or past the open-files limit 60" in text
    assert "open files near the limit: 60 of 60" in text


def test_a_stall_shows_on_the_access_line_of_requests_under_way(caplog):
    from corvane.service.metrics import Metrics
    from corvane.service.middleware import ServiceMiddleware

    metrics = Metrics()

    async def blocking_app(scope, receive, send):
        await asyncio.sleep(0.05)
        time.sleep(0.35)  # a compile on the loop, say
        await asyncio.sleep(0.05)
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": b"{}"})

    async def main():
        watch = LoopWatch(metrics, threshold=0.1, probe=0.02)
        mw = ServiceMiddleware(blocking_app, token="", max_body_bytes=10, metrics=metrics, log_questions=False,
                               secrets=list, loop_watch=watch)
        watch.start()
        scope = {"type": "http", "path": "/healthz", "method": "GET", "headers": [(b"host", b"localhost")],
                 "client": ("127.0.0.1", 1)}

        async def send(message):
            pass

        await mw(scope, None, send)
        await watch.stop()

    with caplog.at_level(logging.INFO, logger="corvane.access"):
        asyncio.run(main())
    entry = json.loads([r for r in caplog.records if r.name == "corvane.access"][-1].getMessage())
    assert entry["status"] == 200 and entry["stall_ms"] > 300
    assert "corvane_event_loop_stalls_total 1.0" in metrics.render().decode()
