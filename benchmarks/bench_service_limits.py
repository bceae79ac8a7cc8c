"""What the service's limits buy, each as a figure without and with them:

  amplification  a 6.6 KB /v1/prompt request of __INPUT__/__KNOWLEDGE__ markers: bytes,
                 seconds and peak RSS of filling it every-marker-everywhere, and
                 with the one-pass bounded fill (413 past CORVANE_MAX_PROMPT_BYTES)
  headers        peak RSS of the server while 4 clients send 25 MB header blocks,
                 on uvicorn's plain protocol and on the service's (431 at 64 KB)
  idle           of 200 connections that send nothing, how many are still open
                 after 3 s, with no header timeout and with a 1 s one
  in_place       one search right after the JSON-lines index was rewritten in
                 place: an Engine that recompiles inside the call, and the
                 service's engine, which refuses at once (503) and rebuilds elsewhere

  python benchmarks/bench_service_limits.py [--data-dir examples/data]

Prints one JSON document.  The data folder is copied and indexed first.
"""
from __future__ import annotations

import argparse
import json
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
QUESTION = "爆胎了怎么换备胎"

AMPLIFY = r'''
import json, resource, sys, time
from corvane.engine import Engine
mode = sys.argv[1]
question = sys.argv[2] + "__KNOWLEDGE__" * 100
template = "__INPUT__" * 300 + "__KNOWLEDGE__" * 200  # 5.3 KB, with the question 6.6 KB of request
engine = Engine("data")
start = time.perf_counter()
if mode == "unbounded":
    size = len(engine.prompt(question, template=template).encode())
else:
    from corvane.service.engine_access import template_prompt
    from corvane.service.textsafe import PromptTooLarge
    try:
        size = len(template_prompt(engine, question, None, template, 4 << 20).encode())
    except PromptTooLarge:
        size = -413
print(json.dumps({"bytes": size, "seconds": round(time.perf_counter() - start, 3),
                  "peak_rss_mb": round(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024, 1)}))
'''

SERVER = r'''
import sys, uvicorn
from corvane.service import create_app
from corvane.service.server import uvicorn_config
app = create_app("data", reload_interval=0)
port, guarded, timeout = int(sys.argv[1]), sys.argv[2] == "1", float(sys.argv[3])
if guarded:
    limits = {"max_header_bytes": 65536, "header_timeout": timeout, "keep_alive_timeout": 5.0,
              "max_connections": 1000, "trusted_proxies": ()}
    uvicorn.Server(uvicorn_config(app, host="127.0.0.1", port=port, limits=limits, log_level="error")).run()
else:
    uvicorn.run(app, host="127.0.0.1", port=port, log_level="error")
'''


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def peak_rss_mb(pid: int) -> float:
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmHWM:"):
            return round(int(line.split()[1]) / 1024, 1)
    return -1.0


def start_server(cwd: Path, guarded: bool, timeout: float = 10.0):
    port = free_port()
    proc = subprocess.Popen([sys.executable, "-c", SERVER, str(port), "1" if guarded else "0", str(timeout)],
                            cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return proc, port
        except OSError:
            time.sleep(0.1)
    proc.kill()
    raise RuntimeError("server did not start")


def headers_case(cwd: Path, guarded: bool) -> dict:
    proc, port = start_server(cwd, guarded)
    pad = b"a" * (1 << 20)

    def send() -> None:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=30) as c:
                c.sendall(b"GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Pad: ")
                for _ in range(25):
                    c.sendall(pad)
                c.sendall(b"\r\n\r\n")
                c.recv(100)
        except OSError:
            pass

    try:
        threads = [threading.Thread(target=send) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        return {"peak_rss_mb": peak_rss_mb(proc.pid)}
    finally:
        proc.terminate()
        proc.wait()


def idle_case(cwd: Path, guarded: bool) -> dict:
    proc, port = start_server(cwd, guarded, timeout=1.0)
    conns = [socket.create_connection(("127.0.0.1", port)) for _ in range(200)]
    try:
        time.sleep(3)
        still_open = 0
        for c in conns:
            c.setblocking(False)
            try:
                c.recv(1)  # b"" or a 408 reply: the server closed it
            except BlockingIOError:
                still_open += 1  # nothing to read and not closed
            except OSError:
                pass
        return {"open_after_3s": still_open}
    finally:
        for c in conns:
            c.close()
        proc.terminate()
        proc.wait()


IN_PLACE = r'''
import json, sys, time
from corvane.engine import Engine
from corvane.service.engine_access import IndexStale, open_engine
engine = Engine("data") if sys.argv[1] == "plain" else open_engine("data", "exact")
text = open("data/scene_index.jsonl", "rb").read()
with open("data/scene_index.jsonl", "r+b") as f:  # cp over the served file: same inode, new bytes
    f.write(text.replace(b'"scene_title": "', b'"scene_title": "~', 3))
    f.truncate()
start = time.perf_counter()
try:
    outcome = str(len(engine.search(sys.argv[2], 3))) + " results"
except IndexStale:
    outcome = "refused (503)"
print(json.dumps({"search_seconds": round(time.perf_counter() - start, 4), "outcome": outcome}))
'''


def in_place_case(src: Path, mode: str) -> dict:
    with tempfile.TemporaryDirectory() as tmp:
        shutil.copytree(src / "data", Path(tmp) / "data")
        out = subprocess.run([sys.executable, "-c", IN_PLACE, mode, QUESTION], cwd=tmp, capture_output=True,
                             text=True, timeout=600)
        return json.loads(out.stdout) if out.returncode == 0 else {"error": out.stderr.strip()[-200:]}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--data-dir", default=str(ROOT / "examples" / "data"))
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        site = Path(tmp)
        shutil.copytree(args.data_dir, site / "data")
        subprocess.run([sys.executable, "-m", "corvane", "index"], cwd=site, check=True, capture_output=True)
        report = {"amplification": {}, "headers": {}, "idle": {}, "in_place": {}}
        for mode in ("unbounded", "bounded"):
            out = subprocess.run([sys.executable, "-c", AMPLIFY, mode, QUESTION], cwd=site, capture_output=True, text=True,
                                 timeout=600)
            report["amplification"][mode] = json.loads(out.stdout)
        for guarded in (False, True):
            name = "guarded" if guarded else "plain"
            report["headers"][name] = headers_case(site, guarded)
            report["idle"][name] = idle_case(site, guarded)
        for mode in ("plain", "serving"):
            report["in_place"][mode] = in_place_case(site, mode)
    print(json.dumps(report, indent=2))


if __name__ == "__main__":
    main()
