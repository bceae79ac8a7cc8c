"""API keys (file at rest, commands), token buckets, the auth/limit layer, request ids, model metrics."""
import argparse
import io
import json
import logging
import os
import threading

import pytest

from corvane import keys as keymod
from corvane.keys import KeyStore, KeysError, add_key, read_keys, revoke_key
from corvane.ratelimit import (CLIENT_KEY, BoundedLabels, KeyAuthMiddleware, Limits, RateLimiter, TokenBucket,
                               retry_after_header)

fastapi = pytest.importorskip("fastapi")
from fastapi import FastAPI  # noqa: E402
from fastapi.responses import JSONResponse, StreamingResponse  # noqa: E402
from fastapi.testclient import TestClient  # noqa: E402


class Clock:
    def __init__(self):
        self.t = 1000.0

    def __call__(self):
        return self.t


# --- keys file -------------------------------------------------------------------


def test_key_is_never_stored_and_verifies(tmp_path):
    path = str(tmp_path / "keys.json")
    key, record = add_key(path, "fleet-app", 30, 5)
    text = open(path).read()
    secret = key.split("_", 2)[2]
    assert secret not in text and key not in text
    assert oct(os.stat(path).st_mode & 0o777) == "0o600"
    store = KeyStore(path)
    assert store.authenticate(key).name == "fleet-app"
    for wrong in (key[:-1] + ("A" if key[-1] != "A" else "B"), key + "x", "", "cvk_" + record.id + "_" + "x" * 43,
                  "Bearer " + key):
        assert store.authenticate(wrong) is None


def test_add_list_revoke_commands(tmp_path, capsys):
    path = str(tmp_path / "keys.json")
    parser = argparse.ArgumentParser()
    keymod.add_arguments(parser)

    def run(*argv):
        out = io.StringIO()
        keymod.run(parser.parse_args(["--keys-file", path, *argv]), out)
        return out.getvalue()

    key = run("add", "dashboard", "--requests-per-minute", "120", "--model-calls-per-minute", "0").strip()
    assert key.startswith("cvk_")
    with pytest.raises(KeysError, match="a key named 'dashboard' exists"):
        run("add", "dashboard")
    with pytest.raises(KeysError, match="name 'has space'"):
        run("add", "has space")
    with pytest.raises(KeysError, match="--requests-per-minute"):
        run("add", "neg", "--requests-per-minute", "-1")
    listing = run("list")
    assert "dashboard" in listing and "120" in listing and key.split("_", 2)[2] not in listing  # the whole secret
    store = KeyStore(path, check_interval=0)
    assert store.authenticate(key) is not None
    assert "revoked key" in run("revoke", "dashboard")
    assert store.authenticate(key) is None  # a running service sees the revocation
    with pytest.raises(KeysError, match="no active key named 'dashboard'"):
        run("revoke", "dashboard")
    # the name is free again, and the revoked record is kept
    run("add", "dashboard")
    assert [r.active for r in read_keys(path)] == [False, True]


def test_concurrent_adds_lose_no_key(tmp_path):
    path = str(tmp_path / "keys.json")
    made, errors = [], []

    def worker(i):
        try:
            made.append(add_key(path, f"client{i}")[0])
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(12)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    store = KeyStore(path)
    assert len(store) == 12 and all(store.authenticate(k) for k in made)


@pytest.mark.parametrize("content, expected", [
    (b"{", "not valid JSON"),
    (b'{"version": 9, "keys": []}', "not a corvane keys file"),
    (b'{"version": 1, "keys": [{"id": "x"}]}', "key 1: fields must be"),
])
def test_bad_keys_file_is_named(tmp_path, content, expected):
    path = tmp_path / "keys.json"
    path.write_bytes(content)
    with pytest.raises(KeysError, match=expected):
        read_keys(str(path))
    with pytest.raises(KeysError, match=str(path)):
        KeyStore(str(path))


def test_store_keeps_old_keys_when_the_file_turns_bad(tmp_path):
    path = str(tmp_path / "keys.json")
    key, _ = add_key(path, "a")
    store = KeyStore(path, check_interval=0)
    with open(path, "w") as fh:
        fh.write("{broken")
    assert store.authenticate(key).name == "a"


# --- buckets -----------------------------------------------------------------------


def test_bucket_refills_and_reports_the_wait():
    b = TokenBucket(60, now=0.0)  # one a second, 60 saved up
    assert all(b.take(0.0) == 0.0 for _ in range(60))
    assert b.take(0.0) == pytest.approx(1.0)
    assert b.take(0.5) == pytest.approx(0.5)
    assert b.take(1.0) == 0.0
    assert b.take(1000.0) == 0.0 and b.tokens == pytest.approx(59)  # capped at the burst
    assert retry_after_header(0.2) == "1" and retry_after_header(1.0) == "1" and retry_after_header(1.01) == "2"
    with pytest.raises(ValueError):
        TokenBucket(0)


def test_limiter_takes_all_limits_or_none():
    clock = Clock()
    lim = RateLimiter(clock=clock)
    both = [("requests", 10), ("model_calls", 2)]
    assert lim.acquire("c", both) == 0 and lim.acquire("c", both) == 0
    assert lim.acquire("c", both) == pytest.approx(30.0)  # model calls: 2/min -> 30 s to the next
    # the refused call did not use up a request token: 8 plain requests remain
    assert [lim.acquire("c", [("requests", 10)]) for _ in range(9)].count(0.0) == 8
    assert lim.acquire("other", both) == 0  # clients are counted apart
    assert lim.acquire("free", [("requests", 0)]) == 0  # 0: no limit
    clock.t += 3600
    lim.acquire("x", [("requests", 1)])
    assert len(lim) == 1  # idle buckets were dropped


def test_bounded_labels():
    label = BoundedLabels(limit=2)
    assert [label(n) for n in ("a", "b", "c", "a")] == ["a", "b", "other", "a"]


# --- the auth/limit layer under a real Starlette app ----------------------------------


def make_app(**options):
    inner = FastAPI()
    seen = {}

    @inner.post("/v1/answer")
    @inner.post("/v1/search")
    async def route(request: fastapi.Request):
        seen["client"] = request.scope.get(CLIENT_KEY)
        return {"ok": True}

    @inner.get("/healthz")
    async def health():
        return {"ok": True}

    @inner.api_route("/boom", methods=["GET", "HEAD"])
    async def boom():
        return JSONResponse({"error": {"code": "bad", "message": "no"}}, status_code=422)

    @inner.get("/stream")
    async def stream():
        async def parts():
            yield b"a"
            yield b"b"
        return StreamingResponse(parts(), status_code=500, media_type="application/json")

    inner.add_middleware(KeyAuthMiddleware, **options)
    return inner, seen


def test_burst_gets_429_with_retry_after(tmp_path):
    path = str(tmp_path / "keys.json")
    key, _ = add_key(path, "burst", requests_per_minute=5, model_calls_per_minute=2)
    clock = Clock()
    app, seen = make_app(store=KeyStore(path), limiter=RateLimiter(clock=clock))
    client = TestClient(app)
    auth = {"Authorization": f"Bearer {key}"}
    codes = [client.post("/v1/answer", headers=auth).status_code for _ in range(3)]
    assert codes == [200, 200, 429]
    assert seen["client"] == "burst"
    statuses = [client.post("/v1/search", headers=auth) for _ in range(5)]
    assert [r.status_code for r in statuses] == [200, 200, 200, 429, 429]
    limited = statuses[-1]
    assert int(limited.headers["retry-after"]) >= 1
    body = limited.json()["error"]
    assert body["code"] == "rate_limited" and body["retry_after"] == int(limited.headers["retry-after"])
    assert key not in limited.text
    clock.t += int(limited.headers["retry-after"])
    assert client.post("/v1/search", headers=auth).status_code == 200  # waiting Retry-After is enough


def test_single_token_keeps_working_beside_keys(tmp_path):
    path = str(tmp_path / "keys.json")
    key, _ = add_key(path, "k")
    app, seen = make_app(store=KeyStore(path), token="old-shared-token")
    client = TestClient(app)
    r = client.post("/v1/search", headers={"Authorization": "Bearer old-shared-token"})
    assert r.status_code == 200 and seen["client"] == "token"
    assert client.post("/v1/search", headers={"Authorization": f"Bearer {key}"}).status_code == 200
    for headers in ({}, {"Authorization": "Bearer wrong"}, {"Authorization": "Basic old-shared-token"},
                    {"Authorization": "Bearer \xff".encode("latin-1")}):
        r = client.post("/v1/search", headers=headers)
        assert r.status_code == 401 and r.headers["www-authenticate"] == "Bearer"
    assert client.get("/healthz").status_code == 200  # public


def test_open_service_without_token_or_keys():
    app, seen = make_app()
    assert TestClient(app).post("/v1/search").status_code == 200 and seen["client"] == "anonymous"


# --- request ids --------------------------------------------------------------------


def rid_app():
    from corvane.request_id import RequestIdFilter, RequestIdMiddleware, current

    app, _ = make_app()
    records = []

    class Keep(logging.Handler):
        def emit(self, record):
            records.append(record.request_id)

    handler = Keep()
    handler.addFilter(RequestIdFilter())
    logger = logging.getLogger("corvane.test.rid")
    logger.addHandler(handler)
    logger.setLevel(logging.INFO)

    @app.get("/log")
    async def log_it():
        logger.info("inside")
        return {"rid": current.get()}

    app.add_middleware(RequestIdMiddleware)
    return TestClient(app), records


@pytest.mark.parametrize("given, kept", [
    ("abc-123.x:y_z", True),
    ("a" * 128, True),
    ("a" * 129, False),
    ("has space", False),
    ("new\r\nline", False),
    ('q"uote', False),
    ("", False),
])
def test_request_id_accepted_or_replaced(given, kept):
    from corvane.request_id import accepted

    assert (accepted(given.encode()) == given) is kept


def test_request_id_echoed_logged_and_in_error_bodies():
    client, records = rid_app()
    r = client.get("/log", headers={"X-Request-ID": "trace-42"})
    assert r.headers["x-request-id"] == "trace-42" and r.json()["rid"] == "trace-42"
    assert records == ["trace-42"]
    r = client.get("/log", headers={"X-Request-ID": "bad id\x01"})
    made = r.headers["x-request-id"]
    assert made != "bad id\x01" and len(made) == 32 and records[-1] == made
    r = client.get("/boom", headers={"X-Request-ID": "err-1"})
    assert r.status_code == 422
    assert r.json() == {"error": {"code": "bad", "message": "no", "request_id": "err-1"}}
    assert int(r.headers["content-length"]) == len(r.content)
    head = client.head("/boom", headers={"X-Request-ID": "err-1"})  # the length a GET would have
    assert head.status_code == 422 and head.content == b"" and head.headers["content-length"] == r.headers["content-length"]
    r = client.get("/stream")  # a streamed error body passes unchanged
    assert r.status_code == 500 and r.content == b"ab" and r.headers["x-request-id"]
    r = client.post("/v1/search", headers={"X-Request-ID": "x"})
    assert r.headers["x-request-id"] == "x" and r.json() == {"ok": True}


# --- model metrics --------------------------------------------------------------------


def test_model_metrics_count_tokens_errors_refusals():
    from prometheus_client import CollectorRegistry, generate_latest

    from corvane.model_metrics import ModelMetrics, usage_tokens

    reg = CollectorRegistry()
    m = ModelMetrics(reg, client_label=BoundedLabels(1))
    ticks = iter([0.0, 1.5, 2.0, 2.25])
    with m.call("a", clock=lambda: next(ticks)) as call:
        call.tokens_in, call.tokens_out = usage_tokens({"usage": {"prompt_tokens": 100, "completion_tokens": 7}})
        call.refused = True
    with pytest.raises(TimeoutError):
        with m.call("b", clock=lambda: next(ticks)):
            raise TimeoutError
    m.observe(0.1, client="a", error="weird-kind")
    assert usage_tokens({"usage": {"prompt_tokens": True}}) == (None, None) and usage_tokens({}) == (None, None)
    text = generate_latest(reg).decode()
    assert 'corvane_model_tokens_total{client="a",direction="in"} 100.0' in text
    assert 'corvane_model_tokens_total{client="a",direction="out"} 7.0' in text
    assert 'corvane_model_refusals_total{client="a"} 1.0' in text
    assert 'corvane_model_call_errors_total{client="other",kind="timeout"} 1.0' in text
    assert 'corvane_model_call_errors_total{client="a",kind="other"} 1.0' in text
    assert 'corvane_model_call_duration_seconds_sum{client="a",outcome="refused"} 1.5' in text
