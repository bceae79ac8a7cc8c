"""Helpers of the service tests: the example data folder, `corvane serve` in a
subprocess, and a fake OpenAI-compatible model server on loopback."""
from __future__ import annotations

import json
import os
import select
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

import httpx

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples" / "data"
ANSWER_PIECES = ["更换备胎前，", "请打开危险警告灯", "并拉起电子驻车制动。"]
MODEL_KEY = "sk-test-7f3a9c-secret"


def rebuild_index(parent: Path) -> None:
    """`corvane index` (scene index, then its compiled file) in a fresh
    interpreter whose working folder holds data/."""
    subprocess.run([sys.executable, "-m", "corvane", "index"], cwd=parent, check=True, capture_output=True,
                   timeout=120)


def example_folder(dst: Path) -> Path:
    """A copy of examples/ with its index built; returns the folder that holds data/."""
    shutil.copytree(EXAMPLES, dst / "data", ignore=shutil.ignore_patterns("scene_index.*", "trees", "releases", ".cvtmp-*"))
    rebuild_index(dst)
    return dst


def delmoor_prompts(parent: Path, questions: list[str]) -> list[str]:
    code = ("import json, sys; from corvane import delmoor; "
            "print(json.dumps([delmoor.answer_query(q) for q in json.loads(sys.argv[1])]))")
    out = subprocess.run([sys.executable, "-c", code, json.dumps(questions)], cwd=parent, check=True,
                         capture_output=True, text=True, encoding="utf-8", timeout=120)
    return json.loads(out.stdout)


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class ServerProcess:
    """`python -m corvane serve` on a free loopback port, working folder `cwd`."""

    def __init__(self, cwd: Path, *args: str, env: dict | None = None, wait: bool = True) -> None:
        self.port = free_port()
        self.url = f"http://127.0.0.1:{self.port}"
        self.log_path = Path(cwd) / f"serve-{self.port}.log"
        full_env = {k: v for k, v in os.environ.items()
                    if k not in ("CORVANE_API_TOKEN", "CORVANE_LLM_URL", "CORVANE_LLM_KEY")}
        full_env.update(env or {})
        full_env["PYTHONIOENCODING"] = "utf-8"
        self._log = open(self.log_path, "wb")
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "corvane", "serve", "--port", str(self.port), *args],
            cwd=cwd, env=full_env, stdout=self._log, stderr=subprocess.STDOUT,
        )
        if wait:
            self.wait_ready()

    def wait_ready(self, timeout: float = 60) -> None:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise AssertionError(f"server exited with {self.proc.returncode}:\n{self.log()}")
            try:
                if httpx.get(self.url + "/healthz", timeout=1).status_code == 200:
                    return
            except httpx.HTTPError:
                pass
            time.sleep(0.1)
        raise AssertionError(f"server did not come up:\n{self.log()}")

    def log(self) -> str:
        if not self._log.closed:
            self._log.flush()
        return self.log_path.read_text(encoding="utf-8", errors="replace")

    def stop(self, sig: int = signal.SIGTERM, timeout: float = 30) -> int:
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self._log.close()
        return self.proc.returncode

    def __enter__(self) -> "ServerProcess":
        return self

    def __exit__(self, *exc) -> None:
        self.stop()


class FakeModel:
    """An OpenAI-compatible chat-completions server.  The first path segment
    picks the behaviour: /ok, /echo (the reply is the prompt), /slow, /hang
    (answers nothing until the client goes away), /fail (HTTP 500 that quotes
    the key)."""

    def __init__(self, piece_delay: float = 0.05) -> None:
        self.requests: list[dict] = []
        self.disconnected = threading.Event()
        self.piece_delay = piece_delay
        model = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args) -> None:
                pass

            def do_POST(self) -> None:
                body = json.loads(self.rfile.read(int(self.headers.get("Content-Length", 0))))
                mode = self.path.strip("/").split("/")[0]
                model.requests.append({"mode": mode, "body": body, "auth": self.headers.get("Authorization")})
                prompt = body["messages"][0]["content"]
                if mode == "fail":
                    self._send(500, "application/json",
                               json.dumps({"error": f"backend broke for key {MODEL_KEY}"}).encode())
                    return
                if mode == "hostile":  # an error body meant for a terminal, quoting the URL's key
                    text = ("upstream \x1b[2J\x1b]0;pwned\x07\u009b31mred\u2028second line "
                            f"for {self.path}")
                    self._send(500, "application/json", json.dumps({"error": text}, ensure_ascii=False).encode())
                    return
                if mode == "hang":
                    self._wait_for_disconnect()
                    return
                pieces = [prompt] if mode == "echo" else ANSWER_PIECES
                delay = 0.5 if mode == "slow" else model.piece_delay
                if not body.get("stream"):
                    time.sleep(delay * len(pieces))
                    doc = {"choices": [{"message": {"role": "assistant", "content": "".join(pieces)}}]}
                    self._send(200, "application/json", json.dumps(doc, ensure_ascii=False).encode())
                    return
                self.send_response(200)
                self.send_header("Content-Type", "text/event-stream")
                self.send_header("Connection", "close")
                self.end_headers()
                try:
                    for piece in pieces:
                        time.sleep(delay)
                        chunk = {"choices": [{"delta": {"content": piece}}]}
                        self.wfile.write(f"data: {json.dumps(chunk, ensure_ascii=False)}\n\n".encode())
                        self.wfile.flush()
                    self.wfile.write(b"data: [DONE]\n\n")
                    self.wfile.flush()
                except OSError:
                    model.disconnected.set()
                self.close_connection = True

            def _send(self, status: int, ctype: str, data: bytes) -> None:
                self.send_response(status)
                self.send_header("Content-Type", ctype)
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            def _wait_for_disconnect(self) -> None:
                sock = self.connection
                deadline = time.monotonic() + 30
                while time.monotonic() < deadline:
                    readable, _, _ = select.select([sock], [], [], 0.05)
                    if readable:
                        try:
                            if sock.recv(1, socket.MSG_PEEK) == b"":
                                break
                        except OSError:
                            break
                model.disconnected.set()
                self.close_connection = True

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.base = f"http://127.0.0.1:{self.server.server_address[1]}"
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def url(self, mode: str, query: str = "") -> str:
        return f"{self.base}/{mode}/v1/chat/completions" + (f"?{query}" if query else "")

    def close(self) -> None:
        self.server.shutdown()
        self.server.server_close()


def sse_events(text: str) -> list[tuple[str, dict]]:
    events = []
    for block in text.split("\n\n"):
        name, data = "message", None
        for line in block.splitlines():
            if line.startswith("event:"):
                name = line[6:].strip()
            elif line.startswith("data:"):
                data = json.loads(line[5:])
        if data is not None:
            events.append((name, data))
    return events
