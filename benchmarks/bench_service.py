"""Load test of `corvane serve` on loopback: requests/s and p50/p99 latency of
/v1/search and /v1/prompt, beside a bare uvicorn endpoint that returns a
constant JSON body (same worker count, same run; also a FastAPI route
returning that body, the framework's floor), and a rebuild of the index
during a run that must fail no request.

  python benchmarks/bench_service.py --generator path/to/gen_corpus.py \\
      [--sizes 10000,100000] [--workers 1,2] [--connections 64] [--duration 10]

Load comes from wrk (Debian package `wrk`), one thread, keep-alive
connections, POST bodies rotating over the corpus's query file.  Prints one
JSON document.
"""
from __future__ import annotations

import argparse
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import httpx

sys.path.insert(0, str(Path(__file__).resolve().parent))
from _common import prepare_run  # noqa: E402

BARE_APP = r'''
import sys, uvicorn
BODY = b'{"query":"q","intent":"general","ranker":"exact","results":[]}'
HEADERS = [(b"content-type", b"application/json"), (b"content-length", str(len(BODY)).encode())]

async def app(scope, receive, send):
    if scope["type"] != "http":
        return
    more = True
    while more:
        more = (await receive()).get("more_body", False)
    await send({"type": "http.response.start", "status": 200, "headers": HEADERS})
    await send({"type": "http.response.body", "body": BODY})

# The floor of the framework: FastAPI routing a POST to a constant body.
from fastapi import FastAPI, Request
from fastapi.responses import Response
fastapi_app = FastAPI()

@fastapi_app.post("/")
async def constant(request: Request):
    await request.body()
    return Response(BODY, media_type="application/json")

if __name__ == "__main__":
    uvicorn.run(f"bare_app:{sys.argv[3]}", host="127.0.0.1", port=int(sys.argv[1]), workers=int(sys.argv[2]),
                log_level="warning", access_log=False)
'''

LUA = r'''
local bodies = { %s }
local path = "%s"
local i = 0
request = function()
  i = i + 1
  return wrk.format("POST", path, {["Content-Type"] = "application/json"}, bodies[(i %% #bodies) + 1])
end
done = function(summary, latency, requests)
  local e = summary.errors
  io.write(string.format('RESULT {"requests":%%d,"duration_us":%%d,"non2xx":%%d,"connect":%%d,"read":%%d,' ..
    '"write":%%d,"timeout":%%d,"p50_us":%%d,"p99_us":%%d}\n', summary.requests, summary.duration, e.status,
    e.connect, e.read, e.write, e.timeout, latency:percentile(50), latency:percentile(99)))
end
'''


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_up(url: str, proc: subprocess.Popen, timeout: float = 300) -> None:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise SystemExit(f"server exited with {proc.returncode}")
        try:
            httpx.post(url, json={"question": "x"}, timeout=2)
            return
        except httpx.HTTPError:
            time.sleep(0.2)
    raise SystemExit(f"{url} did not come up")


def stop(proc: subprocess.Popen) -> None:
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(60)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def wrk(url: str, path: str, queries: list[str], args, script_dir: Path) -> dict:
    bodies = ", ".join("[==[" + json.dumps({"question": q}, ensure_ascii=False) + "]==]" for q in queries)
    script = script_dir / f"load{path.replace('/', '_')}.lua"
    script.write_text(LUA % (bodies, path), encoding="utf-8")
    out = subprocess.run(["wrk", "-t1", f"-c{args.connections}", f"-d{args.duration}s", "--timeout", "10s",
                          "-s", str(script), url], capture_output=True, text=True, check=True)
    line = next(x for x in out.stdout.splitlines() if x.startswith("RESULT "))
    r = json.loads(line[len("RESULT "):])
    failed = r["non2xx"] + r["connect"] + r["read"] + r["write"] + r["timeout"]
    return {"rps": round(r["requests"] / (r["duration_us"] / 1e6), 1), "p50_ms": round(r["p50_us"] / 1000, 2),
            "p99_ms": round(r["p99_us"] / 1000, 2), "requests": r["requests"], "failed": failed}


def prepare(generator: str, work: Path, scenes: int) -> Path:
    run = prepare_run(generator, work, scenes)
    rebuild(run)
    return run


def rebuild(run: Path) -> float:
    t = time.perf_counter()
    subprocess.run([sys.executable, "-c", "from corvane.ostrel import ostrel_main; ostrel_main()"], cwd=run,
                   check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - t


def serve(run: Path, workers: int) -> tuple[subprocess.Popen, str]:
    port = free_port()
    proc = subprocess.Popen([sys.executable, "-m", "corvane", "serve", "--data-dir", "data", "--port", str(port),
                             "--workers", str(workers), "--reload-interval", "0.5"],
                            cwd=run, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    url = f"http://127.0.0.1:{port}"
    wait_up(url + "/v1/search", proc)
    return proc, url


def bare(workers: int, work: Path, app: str = "app") -> tuple[subprocess.Popen, str]:
    port = free_port()
    (work / "bare_app.py").write_text(BARE_APP, encoding="utf-8")
    proc = subprocess.Popen([sys.executable, "bare_app.py", str(port), str(workers), app], cwd=work,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    url = f"http://127.0.0.1:{port}"
    wait_up(url + "/", proc)
    return proc, url


def during_rebuild(run: Path, url: str, queries: list[str], args, work: Path) -> dict:
    """/v1/search under load while `corvane index` rebuilds the index; the
    service must switch to the new index and fail no request."""
    before = httpx.get(url + "/healthz", timeout=120).json()["index_generation"]
    rebuilder = subprocess.Popen(
        [sys.executable, "-c", "import time; time.sleep(%g); from corvane.ostrel import ostrel_main; ostrel_main()"
         % min(2.0, args.duration / 4)], cwd=run, stdout=subprocess.DEVNULL)
    result = wrk(url, "/v1/search", queries, args, work)
    rebuilder.wait()
    deadline = time.monotonic() + 300
    def generation() -> int:
        return httpx.get(url + "/healthz", timeout=120).json()["index_generation"]

    while generation() == before and time.monotonic() < deadline:
        time.sleep(0.2)
    result["switched"] = generation() != before
    return result


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--generator", required=True, help="path of gen_corpus.py")
    ap.add_argument("--sizes", default="10000", help="scene counts, comma-separated (default: 10000)")
    ap.add_argument("--workers", default="1,2", help="worker counts, comma-separated (default: 1,2)")
    ap.add_argument("--connections", type=int, default=64)
    ap.add_argument("--duration", type=int, default=10, help="seconds per measurement (default: 10)")
    ap.add_argument("--rounds", type=int, default=3, help="interleaved rounds per figure (default: 3)")
    ap.add_argument("--work", type=Path, help="folder for corpora (default: a temporary folder)")
    args = ap.parse_args()
    if shutil.which("wrk") is None:
        raise SystemExit("wrk is not installed (apt-get install wrk)")
    work = args.work or Path(tempfile.mkdtemp(prefix="corvane-bench-serve-"))
    sizes = [int(s) for s in args.sizes.split(",") if s]
    worker_counts = [int(w) for w in args.workers.split(",") if w]
    out: dict = {"connections": args.connections, "duration_s": args.duration, "cpus": os.cpu_count(), "runs": []}
    for n in sizes:
        run = prepare(args.generator, work, n)
        queries = [q for q in (run / "queries.txt").read_text(encoding="utf-8").splitlines() if q][:500]
        for workers in worker_counts:
            row: dict = {"scenes": n, "workers": workers}
            servers = {"bare": bare(workers, work), "fastapi_constant": bare(workers, work, "fastapi_app"),
                       "corvane": serve(run, workers)}
            targets = {"bare": (servers["bare"][1], "/"),
                       "fastapi_constant": (servers["fastapi_constant"][1], "/"),
                       "search": (servers["corvane"][1], "/v1/search"),
                       "prompt": (servers["corvane"][1], "/v1/prompt")}
            try:
                # Rounds interleave the targets so that they share the machine's
                # conditions; each figure is the round with the median rate.
                rounds: dict = {name: [] for name in targets}
                for _ in range(args.rounds):
                    for name, (url, path) in targets.items():
                        rounds[name].append(wrk(url, path, queries, args, work))
                for name, results in rounds.items():
                    results.sort(key=lambda r: r["rps"])
                    row[name] = {**results[len(results) // 2], "failed": sum(r["failed"] for r in results)}
                if workers == worker_counts[0]:
                    row["search_during_rebuild"] = during_rebuild(run, servers["corvane"][1], queries, args, work)
            finally:
                for proc, _ in servers.values():
                    stop(proc)
            row["search_vs_bare"] = round(row["search"]["rps"] / row["bare"]["rps"], 3)
            row["search_vs_fastapi_constant"] = round(row["search"]["rps"] / row["fastapi_constant"]["rps"], 3)
            out["runs"].append(row)
            print(json.dumps(row), file=sys.stderr)
    print(json.dumps(out, indent=2))


if __name__ == "__main__":
    main()
