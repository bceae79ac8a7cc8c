"""`corvane serve` over time: hot reload under load, SIGTERM, several workers."""
from __future__ import annotations

import json
import signal
import subprocess
import sys
import threading
import time

import httpx
import pytest

pytest.importorskip("fastapi")
pytest.importorskip("uvicorn")
pytest.importorskip("prometheus_client")

from service_support import ANSWER_PIECES, FakeModel, ServerProcess, example_folder, rebuild_index  # noqa: E402

from corvane.service.holder import IndexHolder  # noqa: E402

PROBE = "爆胎了怎么换备胎"
EXTRA_MANUAL = """# 第一章 应急

## 换备胎

### 说明
行驶中爆胎时请握紧方向盘，不要急踩制动踏板。

### 操作步骤
1. 握紧方向盘，保持直线行驶。
2. 松开加速踏板，让车辆缓慢减速。
3. 停车后更换备胎。

## 备胎存放位置

### 说明
备胎位于行李箱地板下方。
"""


# -- the holder on its own --------------------------------------------------------


class FakeEngine:
    def __init__(self, n):
        self.n, self.closed = n, False

    def close(self):
        self.closed = True

    def __len__(self):
        return self.n


def test_holder_switches_and_closes_the_old_engine_after_its_last_request(tmp_path):
    index = tmp_path / "scene_index.jsonl"
    index.write_text("{}\n")
    opened, failures = [], []
    fail = {"now": False}

    def open_engine():
        if fail["now"]:
            raise ValueError("scene_index.jsonl line 1: half written")
        opened.append(FakeEngine(len(opened) + 1))
        return opened[-1]

    holder = IndexHolder(str(tmp_path), open_engine, on_failure=lambda: failures.append(1))
    assert holder.check() is False  # nothing changed
    with holder.use() as gen:
        first = gen.engine
        index.write_text("{}\n{}\n")
        assert holder.check() is True
        assert not first.closed  # still in use by this request
        with holder.use() as gen2:
            assert gen2.engine is opened[1] and gen2.number == 2
    assert first.closed and not opened[1].closed

    fail["now"] = True
    index.write_text("{")
    assert holder.check() is False and failures == [1]
    assert holder.engine is opened[1] and not opened[1].closed
    index.unlink()
    assert holder.check() is False and holder.engine is opened[1]
    fail["now"] = False
    index.write_text("{}\n{}\n{}\n")
    assert holder.check() is True and holder.engine is opened[2] and opened[1].closed
    holder.close()
    assert opened[2].closed


# -- hot reload under load --------------------------------------------------------


def _expected(parent) -> dict:
    code = ("import json; from corvane import delmoor, farrowin; q = %r; "
            "hits = farrowin.search_knowledge_global(q, delmoor.scene_index, 3); "
            "print(json.dumps({'prompt': delmoor.answer_query(q), "
            "'search': [[e['scene_id'], s] for e, s in hits], 'entries': len(delmoor.scene_index)}))") % PROBE
    out = subprocess.run([sys.executable, "-c", code], cwd=parent, check=True, capture_output=True, text=True,
                         encoding="utf-8")
    return json.loads(out.stdout)


def test_rebuilds_under_load_fail_no_request_and_mix_no_index(tmp_path):
    small = example_folder(tmp_path / "small")
    large = example_folder(tmp_path / "large")
    (large / "data" / "manuals" / "aster_e5_emergency.md").write_text(EXTRA_MANUAL, encoding="utf-8")
    rebuild_index(large)
    versions = [_expected(small), _expected(large)]
    assert versions[0]["search"] != versions[1]["search"] and versions[0]["prompt"] != versions[1]["prompt"]

    site = example_folder(tmp_path / "site")
    fake = FakeModel(piece_delay=0)
    server = ServerProcess(site, "--reload-interval", "0.05",
                           env={"CORVANE_LLM_URL": fake.url("echo"), "CORVANE_LLM_KEY": ""})
    stop = threading.Event()
    problems: list[str] = []
    seen = {0: 0, 1: 0}
    lock = threading.Lock()

    def version_of(search=None, prompt=None):
        for i, v in enumerate(versions):
            if (search is None or search == v["search"]) and (prompt is None or prompt == v["prompt"]):
                return i
        return None

    def load(worker: int) -> None:
        with httpx.Client(base_url=server.url, timeout=30) as client:
            k = worker
            while not stop.is_set():
                k += 1
                try:
                    kind = ("search", "prompt", "answer")[k % 3]
                    r = client.post(f"/v1/{kind}", json={"question": PROBE})
                    if r.status_code != 200:
                        problems.append(f"{kind}: HTTP {r.status_code} {r.text[:200]}")
                        continue
                    data = r.json()
                    if kind == "search":
                        v = version_of(search=[[h["scene_id"], h["score"]] for h in data["results"]])
                    elif kind == "prompt":
                        v = version_of(prompt=data["prompt"])
                    else:  # the answer's sources (cited ones first): the scenes of one index
                        sources = sorted([s["scene_id"], s["score"]] for s in data["sources"])
                        v = next((i for i, ver in enumerate(versions) if sorted(ver["search"]) == sources), None)
                    if v is None:
                        problems.append(f"{kind}: an answer of neither index (mixed?)")
                    else:
                        with lock:
                            seen[v] += 1
                except httpx.HTTPError as exc:
                    problems.append(f"{kind}: {type(exc).__name__}")

    threads = [threading.Thread(target=load, args=(i,)) for i in range(6)]
    try:
        for t in threads:
            t.start()
        extra = site / "data" / "manuals" / "aster_e5_emergency.md"
        for round_ in range(6):
            target = 1 - round_ % 2  # large, small, large, ...
            if target:
                extra.write_text(EXTRA_MANUAL, encoding="utf-8")
            else:
                extra.unlink()
            rebuild_index(site)
            deadline = time.monotonic() + 15
            while httpx.get(server.url + "/healthz").json()["entries"] != versions[target]["entries"]:
                assert time.monotonic() < deadline, "the service did not switch to the rebuilt index"
                time.sleep(0.02)
            time.sleep(0.2)
    finally:
        stop.set()
        for t in threads:
            t.join(30)
        server.stop()
        fake.close()
    assert problems == []
    assert seen[0] > 0 and seen[1] > 0
    assert "Traceback" not in server.log()


# -- shutdown and workers -----------------------------------------------------------


def test_sigterm_lets_the_request_in_flight_finish(tmp_path):
    site = example_folder(tmp_path)
    fake = FakeModel()
    server = ServerProcess(site, env={"CORVANE_LLM_URL": fake.url("slow")})
    result = {}

    def ask() -> None:
        with httpx.stream("POST", server.url + "/v1/answer", json={"question": PROBE, "stream": True},
                          timeout=30) as r:
            result["status"] = r.status_code
            result["body"] = r.read().decode()

    thread = threading.Thread(target=ask)
    try:
        thread.start()
        deadline = time.monotonic() + 10
        while not fake.requests:
            assert time.monotonic() < deadline
            time.sleep(0.02)
        server.proc.send_signal(signal.SIGTERM)
        thread.join(30)
        assert server.proc.wait(30) == 0
    finally:
        server.stop()
        fake.close()
    assert result["status"] == 200
    assert "".join(ANSWER_PIECES) == "".join(
        json.loads(line[5:])["text"] for line in result["body"].splitlines()
        if line.startswith("data:") and '"text"' in line)
    assert "event: done\ndata: {" in result["body"]  # the "done" event ends the stream


def test_two_workers_serve_and_report_metrics_together(tmp_path):
    site = example_folder(tmp_path)
    with ServerProcess(site, "--workers", "2") as server:
        with httpx.Client(base_url=server.url, timeout=30) as client:
            for _ in range(20):
                assert client.post("/v1/search", json={"question": PROBE}).status_code == 200
            metrics = client.get("/metrics").text
        assert 'corvane_http_requests_total{endpoint="/v1/search",method="POST",status="200"} 20.0' in metrics
        deadline = time.monotonic() + 30
        while True:  # the second worker may still be starting
            pids = {line.split("[")[1].split("]")[0] for line in server.log().splitlines()
                    if "Started server process" in line}
            if len(pids) == 2 or time.monotonic() > deadline:
                break
            time.sleep(0.1)
        assert len(pids) == 2
        assert server.stop() == 0
